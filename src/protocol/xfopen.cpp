#include "protocol/xfopen.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/logger.h"
#include "foundation/tmp_name_gen.h"

namespace {

constexpr const char* kComponent = "stream";

// Names tried before a fresh file is given up: a taken name is rare, so many
// in a row mean something else is wrong.
constexpr int kCreateTries = 100;

// Wraps an open descriptor in a stream; the descriptor is closed when that
// fails.
FILE* Wrap(int fd, const ustring& path, const char* mode) {
  // Only a hint: a file system or device that refuses it still works.
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  FILE* fp = fdopen(fd, mode);
  if (fp == nullptr) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): _wfdopen(\"%s\", \"%s\"): Error code %d\n",
                   __LINE__, path.c_str_utf8(), mode, err);
    (void)close(fd);  // never written: nothing to lose
  }
  return fp;
}

}  // namespace

FILE* xfopen(const ustring& path, const char* mode) {
  int flags;
  switch (mode[0]) {
    case 'r':
      flags = O_RDONLY;
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      break;
    default:
      flags = O_RDWR | O_CREAT | O_TRUNC;
      break;
  }
  int fd = open(path.c_str_utf8(), flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    int err = errno;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): CreateFile(\"%s\"): Error code %d\n", __LINE__,
                   path.c_str_utf8(), err);
    return nullptr;
  }
  return Wrap(fd, path, mode);
}

FILE* xfcreate(const ustring& folder, ustring& path) {
  for (int i = 0; i < kCreateTries; ++i) {
    ustring name = TmpNameGen::getInstance()->getTmpPath(folder);
    int fd = open(name.c_str_utf8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      int err = errno;
      if (err == EEXIST) continue;
      Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): CreateFile(\"%s\"): Error code %d\n",
                     __LINE__, name.c_str_utf8(), err);
      return nullptr;
    }
    FILE* fp = Wrap(fd, name, "wb");
    if (fp == nullptr) {
      (void)unlink(name.c_str_utf8());  // empty and ours: no stray file
      return nullptr;
    }
    path = name;
    return fp;
  }
  Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] stream(%d): CreateFile(\"%s\"): no free name after %d tries\n",
                 __LINE__, folder.c_str_utf8(), kCreateTries);
  return nullptr;
}
