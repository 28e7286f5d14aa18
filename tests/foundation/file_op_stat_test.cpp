// Examination and listing: FSStat, IsFileExist, FSReadDir, isFileLocked,
// volume and sync-folder checks, over real fixtures of every entry type.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "foundation/file_op.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr time_t kTime = 1234567890;

class FileOpStatTest : public testsupport::TempDirTest {
 protected:
  void MakeDir(const std::string& rel, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(Path(rel).c_str(), mode)) << rel;
    ASSERT_EQ(0, chmod(Path(rel).c_str(), mode)) << rel;  // past the umask
  }
  void MakeSocket(const std::string& rel) {
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string p = Path(rel);
    ASSERT_LT(p.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, p.c_str());
    ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
    close(sock);
  }
  void SetMtime(const std::string& rel, time_t t) {
    struct timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW)) << rel;
  }
  // One entry of every type under `folder`, each with mtime kTime.
  void MakeEveryType(const std::string& folder) {
    std::string f = folder.empty() ? "" : folder + "/";
    WriteFile(f + "file", "12345");
    MakeDir(f + "dir");
    ASSERT_EQ(0, symlink("file", Path(f + "link").c_str()));
    ASSERT_EQ(0, mkfifo(Path(f + "fifo").c_str(), 0644));
    MakeSocket(f + "sock");
    WriteFile(f + "\xff\xfe", "abc");
    for (const char* n : {"file", "dir", "link", "fifo", "sock", "\xff\xfe"}) SetMtime(f + n, kTime);
  }
};

TEST_F(FileOpStatTest, StatClassifiesEveryEntryTypeWithOneLstat) {
  MakeEveryType("");
  struct Case {
    std::string path;
    bool exists;
    FILE_TYPE type;
    uint64_t size;
  } cases[] = {
      {Path("file"), true, FT_FILE, 5},
      {Path("dir"), true, FT_DIR, 0},
      {Path("link"), true, FT_SLINK, 0},  // the link itself, not "file"
      {Path("fifo"), true, FT_FIFO, 0},
      {Path("sock"), true, FT_SOCK, 0},
      {Path("\xff\xfe"), true, FT_FILE, 3},
      {"/dev/null", true, FT_ERR, 0},
      {Path("missing"), false, FT_ERR, 0},
      {Path("file/below"), false, FT_ERR, 0},  // ENOTDIR: missing as well
  };
  for (bool case_check : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.path + (case_check ? " with case check" : ""));
      FILE_INFO info;
      info.name = "kept";
      CaptureStderr();
      ASSERT_EQ(0, FSStat(c.path.c_str(), info, case_check));
      EXPECT_EQ("", GetCapturedStderr());  // a missing path is not an error
      EXPECT_EQ(c.exists, info.isExist);
      EXPECT_EQ(c.exists, IsFileExist(c.path.c_str(), case_check));
      EXPECT_STREQ("kept", info.name.c_str_utf8());
      if (!c.exists) continue;
      EXPECT_STREQ(c.path.c_str(), info.path.c_str_utf8());
      EXPECT_EQ(c.type, info.type);
      EXPECT_EQ(c.size, info.size);
      if (c.path != "/dev/null") {
        EXPECT_EQ(static_cast<uint32_t>(kTime), info.mtime);
      }
    }
  }
  EXPECT_FALSE(IsFileExist("", false));
}

TEST_F(FileOpStatTest, CaseCheckOnCaseSensitiveFileSystemNeedsExactName) {
  WriteFile("Foo", "");
  EXPECT_TRUE(IsFileExist(Path("Foo").c_str(), true));
  EXPECT_FALSE(IsFileExist(Path("foo").c_str(), true));
  EXPECT_TRUE(IsFileExist((Path("") + "/").c_str(), true));
}

// The Windows text answered "missing" (0) for any path the existence test
// could not read; a worker would take an unreadable file for a deleted one.
TEST_F(FileOpStatTest, UnreadablePathIsAnErrorNotMissing) {
  MakeDir("locked", 0700);  // root's, closed to everyone else
  WriteFile("locked/f", "x");
  ASSERT_EQ(0, chmod(Path().c_str(), 0755));
  std::string path = Path("locked/f");
  int r = testsupport::RunInChild(
      [&] {
        int bad = 0;
        FILE_INFO info;
        CaptureStderr();
        if (FSStat(path.c_str(), info, false) != -1) bad |= 1;
        std::string log = GetCapturedStderr();
        if (log.find("FSStat: Failed on " + path + ". Error code 13") == std::string::npos) bad |= 2;
        CaptureStderr();
        if (IsFileExist(path.c_str(), true)) bad |= 4;
        if (GetCapturedStderr().find("FindFirstFile: 13") == std::string::npos) bad |= 8;
        return bad;
      },
      true);
  EXPECT_EQ(0, r);
}

TEST_F(FileOpStatTest, ReadDirGivesEveryEntryWithItsOwnType) {
  MakeDir("list");
  MakeEveryType("list");
  struct Want {
    FILE_TYPE type;
    uint64_t size;
  };
  const std::map<std::string, Want> want = {
      {".", {FT_DIR, 0}},     {"..", {FT_DIR, 0}},    {"file", {FT_FILE, 5}},
      {"dir", {FT_DIR, 0}},   {"link", {FT_SLINK, 0}}, {"fifo", {FT_FIFO, 0}},
      {"sock", {FT_SOCK, 0}}, {"\xff\xfe", {FT_FILE, 3}},
  };
  for (int flag : {0, 1}) {
    SCOPED_TRACE(flag);
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(Path("list").c_str(), flag, dh));
    std::map<std::string, DIR_ENTRY> got;
    DIR_ENTRY e;
    int r;
    while ((r = FSReadDir(dh, e)) == 1) {
      // Raw bytes, also when they are not UTF-8.
      std::string name(e.name.c_str_utf8(), e.name.length());
      got[name] = e;
    }
    EXPECT_EQ(0, r);
    ASSERT_EQ(want.size(), got.size());
    for (const auto& [name, w] : want) {
      SCOPED_TRACE(name);
      ASSERT_EQ(1u, got.count(name));
      const DIR_ENTRY& g = got[name];
      EXPECT_EQ(w.type, g.type);
      EXPECT_EQ(flag ? w.size : 0, g.size);
      if (flag == 0) {
        EXPECT_EQ(0u, g.mtime);
      } else if (name != "." && name != "..") {
        EXPECT_EQ(static_cast<uint32_t>(kTime), g.mtime);
      }
    }
    EXPECT_EQ(0, FSCloseDir(dh));
    EXPECT_EQ(-1, FSReadDir(dh, e));  // closed: the path is gone
  }
}

TEST_F(FileOpStatTest, ReadDirOfEmptyAndMissingFolders) {
  MakeDir("empty");
  DIR_HANDLE dh;
  FSOpenDir(Path("empty").c_str(), 1, dh);
  DIR_ENTRY e;
  std::map<std::string, int> seen;
  ASSERT_EQ(1, FSReadDir(dh, e));
  seen[e.name.c_str_utf8()]++;
  ASSERT_EQ(1, FSReadDir(dh, e));
  seen[e.name.c_str_utf8()]++;
  EXPECT_EQ((std::map<std::string, int>{{".", 1}, {"..", 1}}), seen);
  EXPECT_EQ(0, FSReadDir(dh, e));
  EXPECT_EQ(0, FSReadDir(dh, e));

  FSOpenDir(Path("missing").c_str(), 0, dh);  // reuses the handle
  EXPECT_EQ(-1, FSReadDir(dh, e));
  FSOpenDir("", 0, dh);
  EXPECT_EQ(-1, FSReadDir(dh, e));
}

struct Visits {
  std::vector<std::string> paths;
  std::string stop_at;
};

int Visit(const ustring& path, void* priv) {
  auto* v = static_cast<Visits*>(priv);
  v->paths.push_back(path.c_str_utf8());
  return v->paths.back() == v->stop_at ? 1 : 0;
}

TEST_F(FileOpStatTest, TraverseVisitsEverythingBelowWithoutFollowingLinks) {
  MakeDir("top");
  MakeDir("top/sub");
  WriteFile("top/sub/f", "");
  WriteFile("top/g", "");
  MakeDir("elsewhere");
  WriteFile("elsewhere/hidden", "");
  ASSERT_EQ(0, symlink(Path("elsewhere").c_str(), Path("top/link").c_str()));
  Visits v;
  EXPECT_EQ(0, TraverseDir(Path("top").c_str(), &Visit, &v));
  std::sort(v.paths.begin(), v.paths.end());
  EXPECT_EQ((std::vector<std::string>{Path("top"), Path("top/g"), Path("top/link"), Path("top/sub"),
                                      Path("top/sub/f")}),
            v.paths);

  Visits stop;
  stop.stop_at = Path("top");
  EXPECT_EQ(-2, TraverseDir(Path("top").c_str(), &Visit, &stop));
  EXPECT_EQ(1u, stop.paths.size());
  Visits file;
  EXPECT_EQ(0, TraverseDir(Path("top/g").c_str(), &Visit, &file));  // not a folder: visited alone
  EXPECT_EQ(1u, file.paths.size());
}

// A FIFO that anything opened would block the thread until a writer comes:
// none of the layer's functions may open one.
TEST_F(FileOpStatTest, NothingBlocksOnFifo) {
  MakeDir("d");
  ASSERT_EQ(0, mkfifo(Path("d/fifo").c_str(), 0666));
  std::string dir = Path("d"), fifo = Path("d/fifo"), copy = Path("copy");
  int r = testsupport::RunInChild(
      [&] {
        FILE_INFO info;
        if (FSStat(fifo.c_str(), info, true) != 0 || info.type != FT_FIFO) return 1;
        DIR_HANDLE dh;
        FSOpenDir(dir.c_str(), 1, dh);
        DIR_ENTRY e;
        while (FSReadDir(dh, e) == 1) {
        }
        for (uint32_t mask : {GENERIC_READ, GENERIC_WRITE | DELETE, GENERIC_READ | GENERIC_WRITE | DELETE}) {
          if (isFileLocked(fifo.c_str(), mask)) return 2;
        }
        if (FSCopy(fifo.c_str(), copy.c_str(), false) != -1) return 3;
        if (FSCopy(copy.c_str(), fifo.c_str(), false) != -1) return 4;
        if (FSRemove(fifo.c_str(), false) != -1) return 5;
        if (FSRemove(dir.c_str(), false) != 0) return 6;
        return 0;
      },
      false, 20);
  EXPECT_EQ(0, r) << "timed out: " << (r == testsupport::kTimedOut);
}

class FileLockTest : public FileOpStatTest {};

TEST_F(FileLockTest, OnlyRegularFilesAndFoldersAreProbed) {
  MakeEveryType("");
  for (const std::string& p : {Path("missing"), Path("link"), Path("fifo"), Path("sock"), std::string("/dev/null")}) {
    SCOPED_TRACE(p);
    for (uint32_t mask : {GENERIC_READ, GENERIC_WRITE | DELETE, GENERIC_READ | GENERIC_WRITE | DELETE}) {
      EXPECT_FALSE(isFileLocked(p.c_str(), mask));
    }
  }
  EXPECT_FALSE(isFileLocked(Path("file").c_str(), 0xC0010000u));
  EXPECT_FALSE(isFileLocked(Path("dir").c_str(), 0xC0010000u));
}

// A record lock held through a second descriptor is the lock violation.
TEST_F(FileLockTest, ConflictingRecordLockIsALock) {
  WriteFile("f", "data");
  int holder = open(Path("f").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  struct Case {
    short held;
    uint32_t mask;
    bool locked;
  } cases[] = {
      {F_WRLCK, GENERIC_READ, true},
      {F_WRLCK, GENERIC_READ | GENERIC_WRITE | DELETE, true},
      {F_RDLCK, GENERIC_READ, false},
      {F_RDLCK, GENERIC_READ | GENERIC_WRITE | DELETE, true},
      {F_UNLCK, GENERIC_READ | GENERIC_WRITE | DELETE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "held " << c.held << " mask " << std::hex << c.mask);
    struct flock fl = {};
    fl.l_type = c.held;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(0, fcntl(holder, F_OFD_SETLK, &fl));
    EXPECT_EQ(c.locked, isFileLocked(Path("f").c_str(), c.mask));
  }
  close(holder);
}

TEST_F(FileLockTest, PermissionDeniedIsALockForTheAccessAsked) {
  ASSERT_EQ(0, chmod(Path().c_str(), 0755));
  MakeDir("closed", 0755);  // not writable for others: no delete inside
  MakeDir("open", 0777);
  struct Case {
    std::string path;
    mode_t mode;
    uint32_t mask;
    bool locked;
  } cases[] = {
      {"closed/private", 0600, GENERIC_READ, true},
      {"closed/readable", 0644, GENERIC_READ, false},
      {"closed/readable", 0644, GENERIC_WRITE | DELETE, true},
      {"closed/writable", 0666, GENERIC_WRITE | DELETE, true},  // the folder refuses the delete
      {"open/writable", 0666, GENERIC_READ | GENERIC_WRITE | DELETE, false},
      {"open/readable", 0644, GENERIC_WRITE, true},
      {"closed", 0755, GENERIC_READ, false},
      {"closed", 0755, GENERIC_WRITE, true},
  };
  for (const Case& c : cases) {
    struct stat st;
    if (lstat(Path(c.path).c_str(), &st) != 0) WriteFile(c.path, "x");
    ASSERT_EQ(0, chmod(Path(c.path).c_str(), c.mode));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.path << " mask " << std::hex << c.mask);
    std::string p = Path(c.path);
    uint32_t mask = c.mask;
    EXPECT_EQ(c.locked ? 1 : 0, testsupport::RunInChild([&] { return isFileLocked(p.c_str(), mask) ? 1 : 0; }, true));
  }
}

TEST_F(FileOpStatTest, VolumeChecksOnANonFatFileSystem) {
  CaptureStderr();
  EXPECT_FALSE(IsMSDOS(Path().c_str()));
  EXPECT_EQ(0, FSInit(Path().c_str()));
  EXPECT_FALSE(is_fat);
  EXPECT_EQ("", GetCapturedStderr());

  CaptureStderr();
  EXPECT_FALSE(IsMSDOS(Path("missing").c_str()));
  EXPECT_EQ(-1, FSInit(Path("missing").c_str()));
  std::string log = GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("[ERROR] file-op-win(")) << log;
  EXPECT_NE(std::string::npos, log.find("): GetVolumeInformation: Error code 2\n")) << log;
}

TEST_F(FileOpStatTest, FatTimesCompareWithinTwoSeconds) {
  EXPECT_TRUE(FSTimeEqual(100, 100));
  EXPECT_FALSE(FSTimeEqual(100, 101));
  is_fat = true;
  EXPECT_TRUE(FSTimeEqual(100, 101));
  EXPECT_TRUE(FSTimeEqual(101, 100));
  EXPECT_FALSE(FSTimeEqual(100, 102));
  is_fat = false;
}

TEST_F(FileOpStatTest, SyncFolderMustBeARealFolder) {
  MakeEveryType("");
  struct Case {
    std::string path;
    bool valid;
    const char* log;
  } cases[] = {
      {Path("dir"), true, ""},
      {Path("file"), false, "[ERROR] policy(%): cannot accept File Attributes = 33188"},
      {Path("link"), false, "[ERROR] policy(%): cannot accept DEVICE REPARSE.\n"},
      {"/dev/null", false, "[ERROR] policy(%): cannot accept DEVICE ATTRIBE.\n"},
      {Path("missing"), false, "[ERROR] policy(%): get file attributes fail, error code [2]\n"},
  };
  ASSERT_EQ(0, chmod(Path("file").c_str(), 0644));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CaptureStderr();
    EXPECT_EQ(c.valid, IsValidSyncFolder(c.path.c_str()));
    std::string log = GetCapturedStderr();
    std::string want = c.log;
    if (want.empty()) {
      EXPECT_EQ("", log);
      continue;
    }
    // The line number stands where "%" is.
    size_t pct = want.find('%');
    EXPECT_NE(std::string::npos, log.find(want.substr(0, pct))) << log;
    EXPECT_NE(std::string::npos, log.find(want.substr(pct + 1))) << log;
  }
}

TEST_F(FileOpStatTest, RealPathLosesTrailingSlashes) {
  MakeDir("d");
  ustring p = (Path("d") + "///").c_str();
  ASSERT_EQ(0, FSGetRealPath(p));
  EXPECT_STREQ(Path("d").c_str(), p.c_str_utf8());
  ustring missing = Path("missing").c_str();
  CaptureStderr();
  EXPECT_EQ(-1, FSGetRealPath(missing));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("Cannot Get Short Path name for [" + Path("missing") + "]."));
  ustring root = "/";
  CaptureStderr();
  EXPECT_EQ(-1, FSGetRealPath(root));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("Unexpected error, Null path is resolved. path = [/]"));
}

}  // namespace
