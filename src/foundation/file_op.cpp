#include "foundation/file_op.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/logger.h"
#include "foundation/tmp_name_gen.h"
#include "platform/access_probe.h"
#include "platform/copy_data.h"
#include "platform/fs_type.h"
#include "platform/name_case.h"
#include "platform/remove_tree.h"
#include "platform/rename_noreplace.h"
#include "platform/trash.h"
#include "platform/unique_fd.h"

std::atomic<bool> is_fat{false};

namespace {

const char kComp[] = "file_op_debug";

// Buffer of FSCopy; the rename fallback across file systems uses a smaller
// one since it runs on every download to another file system.
constexpr size_t kCopyBufferSize = 33554432;
constexpr size_t kMoveBufferSize = 1 << 20;
constexpr int kMaxTempTries = 100;


// Splits `path` (trailing "/" ignored) into its folder and last component:
// "a/b" -> "a", "b"; "b" -> ".", "b"; "/b" -> "/", "b".
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
  if (slash == std::string::npos) {
    folder->assign(1, '.');
    name->assign(path.data(), end);
  } else {
    folder->assign(path.data(), slash == 0 ? 1 : slash);
    name->assign(path.data() + slash + 1, end - slash - 1);
  }
}

enum class Lookup { kFound, kMissing, kError };

// One lstat of `path`, then, with do_case_check on a case-insensitive
// folder, a scan of the folder for the exact name. *err holds the errno
// value for kError.
Lookup LookUp(const ustring& path, bool do_case_check, struct stat* st, int* err) {
  if (lstat(path.c_str_utf8(), st) != 0) {
    *err = errno;
    return (*err == ENOENT || *err == ENOTDIR) ? Lookup::kMissing : Lookup::kError;
  }
  if (!do_case_check || platform::DeviceKnownCaseSensitive(st->st_dev)) return Lookup::kFound;
  std::string folder, name;
  SplitPath(path.c_str_utf8(), &folder, &name);
  if (name.empty() || name == "." || name == "..") return Lookup::kFound;
  bool insensitive = false;
  if ((*err = platform::FolderIgnoresCase(folder.c_str(), st->st_dev, &insensitive)) != 0) {
    return Lookup::kError;
  }
  if (!insensitive) return Lookup::kFound;
  bool found = false;
  if ((*err = platform::FolderHasExactName(folder.c_str(), name.c_str(), &found)) != 0) {
    return Lookup::kError;
  }
  return found ? Lookup::kFound : Lookup::kMissing;
}

std::mutex& TrashMutex() {
  static std::mutex* mutex = new std::mutex;  // never destroyed: used at exit
  return *mutex;
}

// Flushes the folder holding `path`, so that a rename into it survives a
// crash. Returns 0 or the errno value.
int SyncFolderOf(const std::string& path) {
  std::string folder, name;
  SplitPath(path, &folder, &name);
  platform::UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  if (fsync(fd.get()) != 0) return errno;
  return 0;
}

// rename(2) for a file (replacing a file target); the no-replace rename for
// a folder, which rename(2) would let replace an empty folder. Returns 0 or
// the errno value. Runs under rename_mutex().
int RenameLocked(const char* from, const char* to) {
  struct stat st;
  if (lstat(from, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return rename(from, to) == 0 ? 0 : errno;
  int err = platform::RenameNoReplace(from, to);
  if (err == EEXIST) {
    // Only the folder itself may be "in the way": a change of letter case
    // on a case-insensitive file system, or a rename onto itself.
    struct stat target;
    if (lstat(to, &target) == 0 && target.st_dev == st.st_dev && target.st_ino == st.st_ino) {
      return rename(from, to) == 0 ? 0 : errno;
    }
  }
  return err;
}

// The move of a regular file to another file system: a copy beside the
// target under a fresh name, flushed, then renamed over the target, then
// the source removed. The target is always either its old content or the
// whole new file. Returns 0 or the errno value (EXDEV for anything but a
// regular file).
int MoveAcrossFileSystems(const char* from, const char* to) {
  platform::UniqueFd in(open(from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!in.valid()) return errno == ELOOP ? EXDEV : errno;
  struct stat st;
  if (fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EXDEV;

  std::string folder, name;
  SplitPath(to, &folder, &name);
  std::string temp;
  platform::UniqueFd out;
  for (int tries = 0; tries < kMaxTempTries && !out.valid(); ++tries) {
    // A hidden name, so that nobody takes the half-copied file for a file.
    temp = folder + "/." + TmpNameGen::getInstance()->getTmpName().c_str_utf8();
    out.reset(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() && errno != EEXIST) return errno;
  }
  if (!out.valid()) return EEXIST;

  std::unique_ptr<char[]> buf(new (std::nothrow) char[kMoveBufferSize]);
  int err = buf ? 0 : ENOMEM;
  platform::CopyStep step;
  if (err == 0) err = platform::CopyData(in.get(), out.get(), buf.get(), kMoveBufferSize, &step);
  // The moved file keeps its permission bits and times, as a rename would.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (err == 0 && fchmod(out.get(), st.st_mode & 07777) != 0) err = errno;
  if (err == 0 && futimens(out.get(), times) != 0) err = errno;
  if (err == 0 && fsync(out.get()) != 0) err = errno;
  if (err == 0 && close(out.release()) != 0) err = errno;
  if (err == 0) {
    std::lock_guard<std::mutex> lock(rename_mutex());
    if (rename(temp.c_str(), to) != 0) err = errno;
  }
  if (err != 0) {
    out.reset();
    (void)unlink(temp.c_str());  // our own partial copy; the source is untouched
    return err;
  }
  in.reset();
  if (unlink(from) != 0) return errno;  // the target is complete; the source stays
  return 0;
}

// Creates one folder of FSMKDirP's walk; 0 or -1.
int MakeOneFolder(const char* p, bool force) {
  struct stat st;
  if (stat(p, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    if (!force || unlink(p) != 0) {
      Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMKDirP fail: %s\n", __LINE__, p);
      return -1;
    }
  } else if (errno != ENOENT) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMKDirP fail: %s\n", __LINE__, p);
    return -1;
  }
  if (mkdir(p, 0777) == 0) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMKDirP: %s\n", __LINE__, p);
    return 0;
  }
  if (errno == EEXIST) {
    // Another thread or process made it first: a folder is what we wanted.
    if (stat(p, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    // A dangling link, which stat took for missing.
    if (force && lstat(p, &st) == 0 && !S_ISDIR(st.st_mode) && unlink(p) == 0 && mkdir(p, 0777) == 0) {
      Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMKDirP: %s\n", __LINE__, p);
      return 0;
    }
  }
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMKDirP fail: %s\n", __LINE__, p);
  return -1;
}

}  // namespace

bool operator==(const FILE_INFO& a, const FILE_INFO& b) {
  return a.isExist == b.isExist && a.size == b.size && a.mtime == b.mtime && a.type == b.type &&
         a.path == b.path && a.name == b.name;
}

bool operator!=(const FILE_INFO& a, const FILE_INFO& b) { return !(a == b); }

DIR_HANDLE::~DIR_HANDLE() {
  if (handle != nullptr) (void)closedir(handle);  // read-only stream
}

// ---- Examination ----

bool IsFileExist(const ustring& path, bool do_case_check) {
  if (path.empty()) return false;
  struct stat st;
  int err = 0;
  switch (LookUp(path, do_case_check, &st, &err)) {
    case Lookup::kFound:
      return true;
    case Lookup::kMissing:
      return false;
    case Lookup::kError:
      break;
  }
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FindFirstFile: %d\n", __LINE__, err);
  return false;
}

int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check) {
  struct stat st;
  int err = 0;
  switch (LookUp(path, do_case_check, &st, &err)) {
    case Lookup::kMissing:
      info.isExist = false;
      return 0;
    case Lookup::kError:
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSStat: Failed on %s. Error code %d\n",
                     __LINE__, path.c_str_utf8(), err);
      return -1;
    case Lookup::kFound:
      break;
  }
  info.isExist = true;
  info.path = path;
  info.type = FileTypeOfMode(st.st_mode);
  info.mtime = static_cast<uint32_t>(st.st_mtime);
  info.size = info.type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
  return 0;
}

bool IsMSDOS(const ustring& path) {
  unsigned long f_type = 0;
  int err = platform::FsTypeOfPath(path.c_str_utf8(), &f_type);
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): GetVolumeInformation: Error code %d\n",
                   __LINE__, err);
    return false;
  }
  if (!platform::IsFatType(f_type)) return false;
  Logger::LogMsg(Logger::L_WARNING, kComp,
                 "[WARNING] file-op-win(%d): Detect a non-NTFS platform (%s) for path '%s'.\n", __LINE__,
                 platform::FsTypeName(f_type).c_str(), path.c_str_utf8());
  return true;
}

int FSInit(const ustring& path) {
  unsigned long f_type = 0;
  int err = platform::FsTypeOfPath(path.c_str_utf8(), &f_type);
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): GetVolumeInformation: Error code %d\n",
                   __LINE__, err);
    return -1;
  }
  if (platform::IsFatType(f_type)) {
    Logger::LogMsg(Logger::L_WARNING, kComp, "[WARNING] file-op-win(%d): Detect a non-NTFS platform (%s)\n",
                   __LINE__, platform::FsTypeName(f_type).c_str());
    is_fat = true;
  }
  return 0;
}

bool FSTimeEqual(long a, long b) {
  if (is_fat) return (a > b ? a - b : b - a) < 2;
  return a == b;
}

bool isFileLocked(const ustring& path, uint32_t flag) {
  if (path.empty()) return false;
  platform::AccessWanted wanted;
  wanted.read = (flag & GENERIC_READ) != 0;
  wanted.write = (flag & GENERIC_WRITE) != 0;
  wanted.remove = (flag & DELETE) != 0;
  return platform::AccessBlocked(path.c_str_utf8(), wanted);
}

int FSGetRealPath(ustring& path) {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d):  org path [%s]\n", __LINE__,
                 path.c_str_utf8());
  struct stat st;
  if (lstat(path.c_str_utf8(), &st) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): Cannot Get Short Path name for [%s].\n",
                   __LINE__, path.c_str_utf8());
    return -1;
  }
  size_t end = path.length();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] file-op-win(%d): Unexpected error, Null path is resolved. path = [%s]\n",
                   __LINE__, path.c_str_utf8());
    return -1;
  }
  path = path.substr(0, end);
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d):  get full path [%s].\n", __LINE__,
                 path.c_str_utf8());
  return 0;
}

// ---- Listing ----

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh) {
  if (dh.handle != nullptr) (void)closedir(dh.handle);  // read-only stream
  dh.handle = nullptr;
  dh.path = path;
  dh.flag = flag;
  return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
  if (dh.handle == nullptr) {
    if (dh.path.empty()) return -1;
    dh.handle = opendir(dh.path.c_str_utf8());
    if (dh.handle == nullptr) return -1;
  }
  const bool want_stat = (dh.flag & 1) != 0;
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dh.handle);
    if (e == nullptr) return errno == 0 ? 0 : -1;
    FILE_TYPE type = FileTypeOfDtype(e->d_type);
    struct stat st;
    if (want_stat || e->d_type == DT_UNKNOWN) {
      if (fstatat(dirfd(dh.handle), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        return -1;
      }
      type = FileTypeOfMode(st.st_mode);
    }
    entry.name = e->d_name;
    entry.type = type;
    entry.mtime = want_stat ? static_cast<uint32_t>(st.st_mtime) : 0;
    entry.size = want_stat && type == FT_FILE ? static_cast<uint64_t>(st.st_size) : 0;
    return 1;
  }
}

int FSCloseDir(DIR_HANDLE& dh) {
  if (dh.handle != nullptr) (void)closedir(dh.handle);  // read-only stream
  dh.handle = nullptr;
  dh.path = "";
  return 0;
}

int TraverseDir(const ustring& dir, int (*fn)(const ustring&, void*), void* pPriv) {
  if (fn(dir, pPriv) != 0) return -2;
  FILE_INFO info;
  if (FSStat(dir, info, true) != 0 || !info.isExist || info.type != FT_DIR) {
    Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): TraverseDir: '%s' is not directory, stop here\n",
                   __LINE__, dir.c_str_utf8());
    return 0;
  }
  DIR_HANDLE dh;
  FSOpenDir(dir, 0, dh);
  DIR_ENTRY entry;
  int r;
  while ((r = FSReadDir(dh, entry)) == 1) {
    const char* n = entry.name.c_str_utf8();
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    ustring child = dir + "/" + entry.name;
    bool stop = entry.type == FT_DIR ? TraverseDir(child, fn, pPriv) < 0 : fn(child, pPriv) != 0;
    if (stop) {
      Logger::LogMsg(Logger::L_NOTICE, kComp, "[NOTE] file-op-win(%d): TraverseDir: stopped at '%s'\n", __LINE__,
                     child.c_str_utf8());
      break;
    }
  }
  return r < 0 ? -1 : 0;
}

// ---- Creation ----

int FSMKDir(const ustring& path, bool isCreateParent) {
  if (isCreateParent) return FSMKDirP(path, nullptr, false, -1, -1, 0xFFFF);
  const char* p = path.c_str_utf8();
  if (mkdir(p, 0777) == 0) return 0;
  int err = errno;
  struct stat st;
  // Only a folder (or a link to one) is "already there"; a file of that
  // name is not the folder the caller wants.
  if (err == EEXIST && stat(p, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSMKDirP: error code %d\n", __LINE__, err);
  return -1;
}

int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, int uid, int gid, unsigned short mode) {
  (void)endptr;  // no effect on this platform, as uid, gid and mode
  (void)uid;
  (void)gid;
  (void)mode;
  if (path.empty()) return -1;
  const std::string p = path.c_str_utf8();
  // Every prefix that ends before a "/" (the root and repeated "/" aside),
  // then the whole path unless it ends with "/".
  for (size_t i = 1; i < p.size(); ++i) {
    if (p[i] != '/' || p[i - 1] == '/') continue;
    if (MakeOneFolder(p.substr(0, i).c_str(), blForceCreate) != 0) return -1;
  }
  if (p.back() == '/') return 0;
  return MakeOneFolder(p.c_str(), blForceCreate);
}

int FSCreateTempPath(const ustring& prefix, ustring& path) {
  path = TmpNameGen::getInstance()->getTmpPath(prefix);
  return path.empty() ? -1 : 0;
}

int FSMktemp(const ustring& prefix, ustring& path) {
  Logger::LogMsg(Logger::L_DEBUG, kComp, "[DEBUG] file-op-win(%d): FSMktemp: prefix [%s], path[%s]\n", __LINE__,
                 prefix.c_str_utf8(), path.c_str_utf8());
  for (int tries = 0; tries < kMaxTempTries; ++tries) {
    ustring candidate = TmpNameGen::getInstance()->getTmpPath(prefix);
    if (candidate.empty()) break;
    // O_EXCL|O_NOFOLLOW: a file or link planted at the name is never
    // truncated or followed; a taken name just draws the next one.
    platform::UniqueFd fd(open(candidate.c_str_utf8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.valid()) {
      path = candidate;
      return 0;
    }
    if (errno != EEXIST) break;
  }
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSMktemp failed.\n", __LINE__);
  return -1;
}

// ---- Changes ----

int FSUTime(const ustring& path, long atime, long mtime) {
  (void)atime;  // only the last-write time is set
  long t = is_fat ? mtime - (mtime & 1) : mtime;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(t);
  times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, path.c_str_utf8(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSUTime: error code %d\n", __LINE__, errno);
    return -1;
  }
  return 0;
}

std::mutex& rename_mutex() {
  static std::mutex* mutex = new std::mutex;  // never destroyed: used at exit
  return *mutex;
}

namespace {

// FSRename's move, with or without the flush of the target's folder.
int RenameAndMaybeFlush(const ustring& from, const ustring& to, const std::function<void()>& moved, bool flush) {
  const char* f = from.c_str_utf8();
  const char* t = to.c_str_utf8();
  int err;
  {
    std::lock_guard<std::mutex> lock(rename_mutex());
    err = RenameLocked(f, t);
  }
  // The copy runs without the mutex: it may take long, and only its final
  // rename needs it.
  if (err == EXDEV) err = MoveAcrossFileSystems(f, t);
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSRename: error code %d\n", __LINE__, err);
    return (err == ENAMETOOLONG || err == EILSEQ) ? -100 : -1;
  }
  if (moved) moved();
  if (!flush) return 0;
  // Write-through, outside the mutex so that the flushes of several threads
  // overlap. The move itself is done and visible, so a failed flush is
  // logged but not reported as a failed move.
  err = SyncFolderOf(t);
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSRename: error code %d\n", __LINE__, err);
  }
  return 0;
}

}  // namespace

int FSRename(const ustring& from, const ustring& to, bool do_case_check, const std::function<void()>& moved) {
  (void)do_case_check;  // no effect
  return RenameAndMaybeFlush(from, to, moved, true);
}

int FSRenameUnflushed(const ustring& from, const ustring& to) { return RenameAndMaybeFlush(from, to, nullptr, false); }

int FSRemove(const ustring& path, bool allowundo) {
  if (path.empty()) return -1;
  FILE_INFO info;
  if (FSStat(path, info, true) != 0) return -1;
  if (!info.isExist) return 0;
  const char* p = path.c_str_utf8();

  if (allowundo) {
    std::lock_guard<std::mutex> lock(TrashMutex());
    int err = platform::MoveToTrash(p);
    if (err == 0) return 0;
    // Never a permanent delete in its place: the caller asked for undo.
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] file-op-win(%d): SHFileOperation fail: %s %s  GetLastError:%d   return code: %d=%x\n",
                   __LINE__, p, p, err, err, static_cast<unsigned>(err));
    return -3;
  }

  switch (info.type) {
    case FT_DIR: {
      auto on_error = [](platform::RemoveStep step, int err) {
        switch (step) {
          case platform::RemoveStep::kOpenFolder:
            Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): RemoveDirectoryRecursive: error code %d\n",
                           __LINE__, err);
            break;
          case platform::RemoveStep::kRemoveEntry:
            Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): DeleteFile: error code %d\n", __LINE__, err);
            break;
          case platform::RemoveStep::kRemoveFolder:
            Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): RemoveDirectory: error code %d\n", __LINE__,
                           err);
            break;
        }
      };
      return platform::RemoveTree(p, on_error) == 0 ? 0 : -1;
    }
    case FT_FILE:
      if (unlink(p) == 0 || errno == ENOENT) return 0;
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSRemove: failed on %s. error code %d\n",
                     __LINE__, p, errno);
      return -1;
    default:
      return -1;  // a link or special file named directly is not removed
  }
}

int FSCopy(const ustring& from, const ustring& to, bool isDelOrigin) {
  const char* f = from.c_str_utf8();
  const char* t = to.c_str_utf8();
  // O_NONBLOCK: a FIFO must not block the open; it is refused below.
  platform::UniqueFd in(open(f, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat in_st;
  int err = 0;
  if (!in.valid() || fstat(in.get(), &in_st) != 0) {
    err = errno;
  } else if (!S_ISREG(in_st.st_mode)) {
    err = EINVAL;
  }
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: Invalid source (%s). Error code %d\n",
                   __LINE__, f, err);
    return -1;
  }
  // Not O_TRUNC: the target is truncated only once it is known not to be
  // the source itself (or a hard link of it), which truncating would empty.
  platform::UniqueFd out(open(t, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
  struct stat out_st;
  if (!out.valid() || fstat(out.get(), &out_st) != 0) {
    err = errno;
  } else if (!S_ISREG(out_st.st_mode) || (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino)) {
    err = EINVAL;
  } else if (ftruncate(out.get(), 0) != 0) {
    err = errno;
  }
  if (err != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: Invalid destination. Error code %d\n",
                   __LINE__, err);
    return -1;
  }
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kCopyBufferSize]);
  if (!buf) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: Buffer allocated failed\n", __LINE__);
    return -1;
  }
  platform::CopyStep step = platform::CopyStep::kRead;
  err = platform::CopyData(in.get(), out.get(), buf.get(), kCopyBufferSize, &step);
  if (err == 0 && close(out.release()) != 0) {
    // A delayed write error (NFS, quota) shows only here.
    err = errno;
    step = platform::CopyStep::kWrite;
  }
  if (err != 0) {
    if (step == platform::CopyStep::kRead) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: ReadFile failed with error code %d\n",
                     __LINE__, err);
      return -1;
    }
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: WriteFile failed with error code %d\n",
                   __LINE__, err);
    return (err == ENOSPC || err == EDQUOT) ? -2 : -1;
  }
  if (isDelOrigin && unlink(f) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-op-win(%d): FSCopy: DeleteFile failed with error code %d\n",
                   __LINE__, errno);
    return -1;
  }
  return 0;
}

int FSInitialize(int u, int g) {
  (void)u;
  (void)g;
  return 0;
}

int FSChown(const ustring& path) {
  (void)path;
  return 0;
}

// ---- Sync-folder check ----

bool IsValidSyncFolder(const ustring& folder_path) {
  const char* comp = "default_component";
  struct stat st;
  if (lstat(folder_path.c_str_utf8(), &st) != 0) {
    Logger::LogMsg(Logger::L_ERR, comp, "[ERROR] policy(%d): get file attributes fail, error code [%d]\n", __LINE__,
                   errno);
    return false;
  }
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    Logger::LogMsg(Logger::L_ERR, comp, "[ERROR] policy(%d): cannot accept DEVICE ATTRIBE.\n", __LINE__);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    Logger::LogMsg(Logger::L_ERR, comp, "[ERROR] policy(%d): cannot accept DEVICE REPARSE.\n", __LINE__);
    return false;
  }
  if (S_ISDIR(st.st_mode)) return true;
  Logger::LogMsg(Logger::L_ERR, comp, "[ERROR] policy(%d): cannot accept File Attributes = %d", __LINE__,
                 static_cast<int>(st.st_mode));
  return false;
}

FILE_TYPE FileTypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FT_FILE;
  if (S_ISDIR(mode)) return FT_DIR;
  if (S_ISLNK(mode)) return FT_SLINK;
  if (S_ISFIFO(mode)) return FT_FIFO;
  if (S_ISSOCK(mode)) return FT_SOCK;
  return FT_ERR;  // character and block devices
}

FILE_TYPE FileTypeOfDtype(unsigned char d_type) {
  switch (d_type) {
    case DT_REG: return FT_FILE;
    case DT_DIR: return FT_DIR;
    case DT_LNK: return FT_SLINK;
    case DT_FIFO: return FT_FIFO;
    case DT_SOCK: return FT_SOCK;
    default: return FT_ERR;
  }
}
