// FileIdentity: what lstat tells of a file at one moment, precise enough to
// see a rewrite that keeps the size and the second of the modification time.
#ifndef WORKER_FILE_IDENTITY_H_
#define WORKER_FILE_IDENTITY_H_

#include <sys/stat.h>

#include <cstdint>

#include "foundation/ustring.h"

struct FileIdentity {
  bool valid = false;  // false: never taken, or lstat failed
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;

  // lstat of `path`; invalid when it fails.
  static FileIdentity Of(const ustring& path) {
    FileIdentity id;
    struct stat st;
    if (lstat(path.c_str_utf8(), &st) != 0) return id;
    id.valid = true;
    id.dev = static_cast<uint64_t>(st.st_dev);
    id.ino = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<uint64_t>(st.st_size);
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return id;
  }

  // Both valid and every field equal. A change of ctime alone (a new link,
  // a chmod) counts as a change: better one whole upload too many.
  bool Same(const FileIdentity& o) const {
    return valid && o.valid && dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns;
  }
};

#endif  // WORKER_FILE_IDENTITY_H_
