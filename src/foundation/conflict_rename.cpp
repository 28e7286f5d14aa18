#include "foundation/conflict_rename.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "platform/local_time.h"
#include "platform/rename_noreplace.h"
#include "platform/unique_fd.h"

namespace {

constexpr char kComponent[] = "conflict_rename_debug";

// Counter of the plain candidate, which carries no "_<n>".
constexpr int kNoCounter = -1;
constexpr int kLastCounter = 99;

// Position of the extension's "." in `path`, or npos. Only "/" separates:
// "\" is an ordinary byte of a name here.
size_t ExtensionDot(const ustring& path) {
  size_t slash = path.find_last_of('/');
  if (slash == ustring::npos) return ustring::npos;
  size_t dot = path.find_last_of('.');
  if (dot == ustring::npos || dot < slash) return ustring::npos;
  return dot;
}

// `path` with `suffix` and, unless n is kNoCounter, "_<n>" inserted before
// the extension. A "." that ends the path counts as an extension for the
// counted candidates always, for the plain one only when `split_trailing_dot`.
ustring Candidate(const ustring& path, const ustring& suffix, int n, bool split_trailing_dot) {
  size_t dot = ExtensionDot(path);
  ustring tail = suffix;
  if (n != kNoCounter) {
    char counter[16];
    snprintf(counter, sizeof counter, "_%d", n);
    tail += counter;
  }
  if (n == kNoCounter && !split_trailing_dot && dot + 1 == path.length()) dot = ustring::npos;
  if (dot == ustring::npos) return path + tail;
  return path.substr(0, dot) + tail + path.substr(dot);
}

// "_<client>_<time>_<reason>".
ustring Suffix(const ustring& client_name, const char* reason) {
  ustring client = client_name;
  client.replace('/', '_');
  char when[128];
  if (platform::FormatLocalTime(platform::CurrentTime(), "%b-%d-%H%M-%Y", when, sizeof when) < 0) {
    when[0] = '\0';  // no usable local time: the name still differs by reason
  }
  return ustring("_") + client + "_" + when + "_" + reason;
}

// fsync of the folder holding `path`, so the move is on disk when the
// caller goes on (the Windows move was write-through).
void FlushFolderOf(const ustring& path) {
  size_t slash = path.find_last_of('/');
  ustring folder = slash == ustring::npos ? ustring(".") : slash == 0 ? ustring("/")
                                                                      : path.substr(0, slash);
  platform::UniqueFd fd(open(folder.c_str_utf8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The move has happened either way; a folder that cannot be flushed
  // leaves it to the next sync of the file system, as a crash would.
  if (fd.valid()) (void)fsync(fd.get());
}

// One no-replace move under rename_mutex(). 0 or the errno value.
int MoveNoReplace(const ustring& from, const ustring& to) {
  int err;
  {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = platform::RenameNoReplace(from.c_str_utf8(), to.c_str_utf8());
  }
  if (err == 0) FlushFolderOf(to);
  return err;
}

// Tries the candidates of `base` in order until one is free. Returns 0, the
// errno value of the first failure other than EEXIST, or EEXIST when all
// are taken; `to` is the last candidate tried.
int MoveToFreeCandidate(const ustring& from, const ustring& base, const ustring& suffix,
                        int first_counter, bool split_trailing_dot, ustring& to) {
  int err = MoveNoReplace(from, to = Candidate(base, suffix, kNoCounter, split_trailing_dot));
  for (int n = first_counter; err == EEXIST && n <= kLastCounter; ++n) {
    err = MoveNoReplace(from, to = Candidate(base, suffix, n, split_trailing_dot));
  }
  return err;
}

int ResultOf(int err) { return err == ENAMETOOLONG || err == EILSEQ ? -100 : -1; }

}  // namespace

int ConflictRename(const ustring& org_path, const ustring& client_name, const ustring& reason) {
  ustring to;
  int err = MoveToFreeCandidate(org_path, org_path, Suffix(client_name, reason.c_str_utf8()), 1,
                                false, to);
  if (err == 0) {
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] conflict-rename(%d): ConflictRename from [%s] to [%s], reason = [%s].\n",
                   __LINE__, org_path.c_str_utf8(), to.c_str_utf8(), reason.c_str_utf8());
    return 0;
  }
  int result = ResultOf(err);
  Logger::LogMsg(Logger::L_ERR, kComponent,
                 "[ERROR] conflict-rename(%d): ConflictRename failed. From:[%s] To:[%s] err = [%d]\n",
                 __LINE__, org_path.c_str_utf8(), to.c_str_utf8(), result);
  return result;
}

int WhiteSpaceConflictRename(const ustring& fullpath, const ustring& basename,
                             const ustring& clientname) {
  ustring name = basename;
  name.trim(" ");
  // Without a "/" the path is a bare name: the trimmed name alone is its
  // sibling (the folder + "/" of a path that has none would be the file).
  size_t slash = fullpath.find_last_of('/');
  ustring target = slash == ustring::npos ? name : fullpath.substr(0, slash + 1) + name;

  // An empty trimmed name would be the folder itself: straight to the
  // conflict names, which then begin with the suffix.
  if (!name.empty() && MoveNoReplace(fullpath, target) == 0) {
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] conflict-rename(%d): WhiteSpaceConflictRename from [%s] to [%s].\n",
                   __LINE__, fullpath.c_str_utf8(), target.c_str_utf8());
    return 0;
  }

  ustring to;
  int err = MoveToFreeCandidate(fullpath, target, Suffix(clientname, "WhiteSpaceConflict"), 0,
                                true, to);
  if (err == 0) {
    Logger::LogMsg(Logger::L_INFO, kComponent,
                   "[INFO] conflict-rename(%d): WhiteSpaceConflictRename from [%s] to [%s].\n",
                   __LINE__, fullpath.c_str_utf8(), to.c_str_utf8());
    return 0;
  }
  int result = ResultOf(err);
  Logger::LogMsg(Logger::L_ERR, kComponent,
                 "[ERROR] conflict-rename(%d): WhiteSpaceConflictRename failed. From:[%s] To:[%s] err=[%d]\n",
                 __LINE__, fullpath.c_str_utf8(), to.c_str_utf8(), result);
  return result;
}
