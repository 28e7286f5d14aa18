// The daemon's one access path to local files and folders.
//
// Paths are ustring values whose UTF-8 bytes go to the kernel unchanged; only
// "/" separates components. Nothing here follows a symbolic link unless said
// so, and nothing opens a FIFO, socket or device. Every failure is logged on
// "file_op_debug" (IsValidSyncFolder: "default_component") with the errno
// value and answered with a negative result; nothing throws except
// std::bad_alloc. All functions may be called from any thread.
#ifndef FOUNDATION_FILE_OP_H_
#define FOUNDATION_FILE_OP_H_

#include <dirent.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "foundation/ustring.h"

// Access masks for isFileLocked (callers pass GENERIC_READ,
// GENERIC_WRITE | DELETE or GENERIC_READ | GENERIC_WRITE | DELETE).
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t DELETE = 0x00010000u;

// Kind of a directory entry. Classification (lstat mode / d_type):
// regular FT_FILE, folder FT_DIR, symbolic link FT_SLINK, FIFO FT_FIFO,
// socket FT_SOCK, character or block device FT_ERR. FT_HLINK and FT_DEV are
// never produced. Callers act only on FT_FILE and FT_DIR.
typedef enum {
  FT_ERR = 0,
  FT_FILE = 1,
  FT_DIR = 2,
  FT_SLINK = 3,
  FT_HLINK = 4,
  FT_DEV = 5,
  FT_FIFO = 6,
  FT_SOCK = 7,
} FILE_TYPE;

// The kind of an lstat mode, and of a dirent d_type (FT_ERR for DT_UNKNOWN
// too: the caller then asks fstatat).
FILE_TYPE FileTypeOfMode(mode_t mode);
FILE_TYPE FileTypeOfDtype(unsigned char d_type);

// What is known of one file or folder.
struct FILE_INFO {
  ustring path;           // the path that was examined
  ustring name;           // last component; FSStat leaves it as the caller set it
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;     // last-write time, Unix seconds
  uint64_t size = 0;      // bytes; 0 for anything but a regular file
  bool isExist = false;
  uint32_t uid = 0;       // not filled
  uint32_t gid = 0;       // not filled
};
typedef FILE_INFO LocalFileInfo;

// Compare isExist, size, mtime, type, path and name (not uid, gid).
bool operator==(const FILE_INFO& a, const FILE_INFO& b);
bool operator!=(const FILE_INFO& a, const FILE_INFO& b);

// An open folder listing. The stream is opened by the first FSReadDir and
// closed by FSCloseDir or the destructor. Not copyable (it owns the stream);
// one thread at a time.
struct DIR_HANDLE {
  ustring path;           // the folder
  int flag = 0;           // bit 0: fill mtime and size of each entry
  DIR* handle = nullptr;  // null until the first FSReadDir and after FSCloseDir

  DIR_HANDLE() = default;
  ~DIR_HANDLE();
  DIR_HANDLE(const DIR_HANDLE&) = delete;
  DIR_HANDLE& operator=(const DIR_HANDLE&) = delete;
};

// One entry of a listing.
struct DIR_ENTRY {
  ustring name;           // the raw name bytes as on disk (may be invalid UTF-8)
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;     // only with flag bit 0, else 0
  uint64_t size = 0;      // only with flag bit 0 and for FT_FILE, else 0
};

// When set, times have the two-second resolution of FAT: FSUTime rounds
// down to an even second and FSTimeEqual allows a difference below 2.
// Only FSInit sets it.
extern std::atomic<bool> is_fat;

// ---- Examination ----

// True when `path` names an existing entry of any type (one lstat; the last
// component is not followed). ENOENT and ENOTDIR mean missing and are not
// logged; other errors are logged and give false. With do_case_check, on a
// case-insensitive file system the last component must also appear in its
// folder with exactly these bytes. An empty path gives false.
bool IsFileExist(const ustring& path, bool do_case_check);

// Fills `info` for `path` from one lstat: isExist, path, type, mtime, size.
// Missing (or, with do_case_check, present only with other letter case):
// isExist false and 0. Any other failure (EACCES, ELOOP, ...): logged, -1.
[[nodiscard]] int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check);

// True when the file system holding `path` is FAT or exFAT (logged as a
// WARNING naming the file system); false otherwise and when statfs fails.
bool IsMSDOS(const ustring& path);

// Sets is_fat when `path` lies on FAT or exFAT. 0, or -1 when statfs fails.
[[nodiscard]] int FSInit(const ustring& path);

// Equal times; with is_fat, times less than 2 seconds apart.
bool FSTimeEqual(long a, long b);

// Whether the access in `flag` (GENERIC_READ, GENERIC_WRITE, DELETE bits)
// would be refused: permission denied (checked for the effective ids), or,
// when reading a regular file, a conflicting record lock held through
// another open file description. A missing path, a link, FIFO, socket or
// device gives false and nothing is opened.
bool isFileLocked(const ustring& path, uint32_t flag);

// Strips trailing "/" from an existing path. 0; -1 (logged) when the path
// does not exist or nothing is left.
[[nodiscard]] int FSGetRealPath(ustring& path);

// ---- Listing ----

// Prepares `dh` for `path` (closing a stream it still holds); always 0.
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);
// 1 per entry ("." and ".." included), 0 at the end, -1 on error (also for
// an empty path or a closed handle). An entry that vanishes between readdir
// and its fstatat is skipped.
[[nodiscard]] int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
// Closes the stream, empties path. 0.
int FSCloseDir(DIR_HANDLE& dh);

// Calls fn(dir) and then walks the folder: subfolders (never links)
// recursively, every other entry through fn. fn's non-zero result on `dir`
// itself gives -2; later non-zero results stop that folder's walk (logged).
// -1 when the folder cannot be listed, else 0.
[[nodiscard]] int TraverseDir(const ustring& dir, int (*fn)(const ustring&, void*), void* pPriv);

// ---- Creation ----

// Creates the folder; with isCreateParent every missing parent too
// (FSMKDirP). An existing folder (or link to one) is success; an existing
// non-folder is -1. 0 or -1.
[[nodiscard]] int FSMKDir(const ustring& path, bool isCreateParent);

// Creates every missing folder of `path`, following links as stat does.
// A prefix that exists as a non-folder is removed when blForceCreate (a link
// to a folder is a folder and never removed), else -1. A folder made by
// another thread or process meanwhile counts as made. endptr, uid, gid and
// mode have no effect. 0 or -1.
[[nodiscard]] int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, int uid, int gid,
                           unsigned short mode);

// `path` = prefix + "/" + a fresh 8-character name; nothing is created.
// 0, or -1 when the result is empty.
[[nodiscard]] int FSCreateTempPath(const ustring& prefix, ustring& path);

// Creates a new empty file with a fresh random name in the folder `prefix`
// (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0666 under the umask), never opening an
// existing file or link; a taken name is replaced by a new one, at most 100
// tries. Stores the path in `path`; 0, or -1 (logged).
[[nodiscard]] int FSMktemp(const ustring& prefix, ustring& path);

// ---- Changes ----

// Sets the last-write time (not following a link) to mtime, rounded down to
// an even second when is_fat; atime is not used. 0 or -1.
[[nodiscard]] int FSUTime(const ustring& path, long atime, long mtime);

// The mutex under which every FSRename (and every conflict rename) moves
// entries. Callers that rename on their own take it with std::lock_guard;
// never hold it while calling FSRename.
std::mutex& rename_mutex();

// Moves `from` to `to` under rename_mutex(), then flushes the target's folder
// (after releasing the mutex). A file replaces an existing target file; a
// folder never replaces anything. Across file systems a regular file is
// copied to a temporary name beside the target, flushed, renamed over the
// target and the source removed, so the target is always either the old or
// the whole new file; a folder or other entry gives -1.
// 0; -100 when the name is refused (ENAMETOOLONG, EILSEQ); -1 otherwise
// (logged "FSRename: error code %d"). do_case_check has no effect.
// `moved`, when given, runs once the entry is in place and before the
// flush, outside rename_mutex().
[[nodiscard]] int FSRename(const ustring& from, const ustring& to, bool do_case_check,
                           const std::function<void()>& moved = nullptr);

// FSRename without the flush of the target's folder: for files whose loss
// in a system crash costs only work (a cache), never data.
[[nodiscard]] int FSRenameUnflushed(const ustring& from, const ustring& to);

// Removes a file or a folder with everything in it; links and special files
// inside are unlinked, never followed. An empty path: -1. Missing: 0, not
// logged. A link, FIFO, socket or device at `path` itself: -1.
// allowundo moves the entry into a trash instead (platform::MoveToTrash:
// the home trash, $XDG_DATA_HOME/Trash read at each call, or the entry's own
// volume's trash when it is on another file system): 0, or -3 when no trash
// takes it; it never falls back to deleting.
// Otherwise -1 when anything could not be removed (the walk goes on).
[[nodiscard]] int FSRemove(const ustring& path, bool allowundo);

// Copies the regular file `from` to `to` (created or truncated; never
// through a link; never onto `from` itself or a hard link of it), then with
// isDelOrigin removes `from`. 0; -2 when the disk is full (ENOSPC, EDQUOT);
// -1 otherwise.
[[nodiscard]] int FSCopy(const ustring& from, const ustring& to, bool isDelOrigin);

// Do nothing; 0.
int FSInitialize(int u, int g);
int FSChown(const ustring& path);

// ---- Sync-folder check ----

// True when `folder_path` is an existing folder, not a link or device
// (lstat). Failures and refusals are logged on "default_component".
bool IsValidSyncFolder(const ustring& folder_path);

#endif  // FOUNDATION_FILE_OP_H_
