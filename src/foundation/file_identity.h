// FileIdentity: what lstat tells of a file at one moment, precise enough to
// see a rewrite that keeps the size and the second of the modification time.
#ifndef FOUNDATION_FILE_IDENTITY_H_
#define FOUNDATION_FILE_IDENTITY_H_

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
  uint32_t mode = 0;  // type and permission bits

  // lstat of `path`; invalid when it fails.
  static FileIdentity Of(const ustring& path) { return Of(path.c_str_utf8()); }
  static FileIdentity Of(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return FileIdentity();
    return FromStat(st);
  }

  // What `st` (a successful stat) says.
  static FileIdentity FromStat(const struct stat& st) {
    FileIdentity id;
    id.valid = true;
    id.dev = static_cast<uint64_t>(st.st_dev);
    id.ino = static_cast<uint64_t>(st.st_ino);
    id.size = static_cast<uint64_t>(st.st_size);
    id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    id.mode = static_cast<uint32_t>(st.st_mode);
    return id;
  }

  // Both valid and every field equal. A change of ctime or mode alone (a
  // new link, a chmod) counts as a change: better one whole upload too many.
  // The mode is compared too because two changes within one tick of the
  // kernel's clock can leave the same ctime.
  bool Same(const FileIdentity& o) const {
    return valid && o.valid && dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns && mode == o.mode;
  }
};

#endif  // FOUNDATION_FILE_IDENTITY_H_
