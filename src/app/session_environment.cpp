// The folders of a session.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/app.h"
#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "session/detector.h"
#include "session/session_folders.h"
#include "session/session_path.h"

namespace {

constexpr const char* kComponent = "client_debug";

// Clears the way for a fresh working folder. A real folder goes with
// everything in it; anything else at its name (a link, a file, a FIFO) is
// unlinked and never followed, so that a link planted there cannot make
// downloads and recycled files land outside the session, nor have the
// removal delete its target's content.
void RemoveWorkingFolder(const ustring& working) {
  struct stat st;
  if (lstat(working.c_str_utf8(), &st) != 0) return;  // missing: nothing to clear
  if (S_ISDIR(st.st_mode)) {
    // What cannot be removed stays; the checks after the folder is made
    // again decide.
    (void)FSRemove(working, false);
    return;
  }
  if (unlink(working.c_str_utf8()) != 0) {
    LOG_WITH_LINE(L_WARNING, kComponent, "[WARNING] app(%d): cannot unlink %s: error %d\n", working.c_str_utf8(),
                  errno);
  }
}

}  // namespace

int VelkoraApp::create_session_environment(const ustring& local_path, const ustring& config_path) {
  if (!IsValidSyncFolder(local_path)) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): local watch folder (%s) is not a directory\n",
                  local_path.c_str_utf8());
    return -1;
  }
  if (!is_dir(config_path)) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): local config folder (%s) is not a directory\n",
                  config_path.c_str_utf8());
    return -1;
  }
  const ustring sign_path = config_path + "/db/sign";
  if (FSMKDir(sign_path, true) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to create signature directory at %s.\n",
                  sign_path.c_str_utf8());
    return -1;
  }

  // Made anew at every creation: partial downloads and recycled files of an
  // earlier run go.
  const ustring working = local_path + "/" + kWorkingDirName;
  const ustring recycle = working + "/" + kRecycleDirName;
  RemoveWorkingFolder(working);
  if (FSMKDir(working, true) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to create working directory at %s.\n",
                  working.c_str_utf8());
    return -1;
  }
  if (FSMKDir(recycle, true) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to create recycle bin directory at %s.\n",
                  recycle.c_str_utf8());
    return -1;
  }
  // FSMKDir accepts an existing link to a folder: one planted meanwhile
  // would still lead outside the session.
  for (const ustring* folder : {&working, &recycle}) {
    if (!IsRealFolder(*folder)) {
      LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to create working directory at %s.\n",
                    folder->c_str_utf8());
      return -1;
    }
  }
  return 0;
}

bool VelkoraApp::is_dir(const ustring& path) {
  FILE_INFO info;
  return FSStat(path, info, true) == 0 && info.isExist && info.type == FT_DIR;
}
