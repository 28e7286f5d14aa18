// Changes: FSRename, FSRemove, FSUTime, FSMKDir/FSMKDirP, FSMktemp, FSCopy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "foundation/file_op.h"
#include "foundation/tmp_name_gen.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/tmp_name_key.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class FileOpChangeTest : public testsupport::TempDirTest {
 protected:
  void MakeDir(const std::string& rel, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(Path(rel).c_str(), mode)) << rel;
    ASSERT_EQ(0, chmod(Path(rel).c_str(), mode)) << rel;
  }
  bool Exists(const std::string& abs) {
    struct stat st;
    return lstat(abs.c_str(), &st) == 0;
  }
  bool IsDir(const std::string& abs) {
    struct stat st;
    return lstat(abs.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::set<std::string> Names(const std::string& abs) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(abs)) names.insert(e.path().filename());
    return names;
  }
  // A file under /dev/shm, on another file system than the test folder, or
  // "" (test skipped) when there is no such place.
  std::string OtherFileSystemFile(const std::string& content) {
    struct stat a, b;
    if (stat("/dev/shm", &a) != 0 || stat(Path().c_str(), &b) != 0 || a.st_dev == b.st_dev) return "";
    char tmpl[] = "/dev/shm/file-op-test-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) return "";
    EXPECT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
    shm_files_.insert(tmpl);
    return tmpl;
  }
  void TearDown() override {
    for (const std::string& f : shm_files_) unlink(f.c_str());
  }
  std::set<std::string> shm_files_;
};

// ---- FSRename ----

TEST_F(FileOpChangeTest, RenameReplacesFilesButNeverFolders) {
  struct Case {
    const char* what;
    bool from_dir;
    int to_kind;  // 0 missing, 1 file, 2 empty folder
    int result;
    bool moved;
  } cases[] = {
      {"file to free name", false, 0, 0, true},
      {"file over file", false, 1, 0, true},
      {"file over empty folder", false, 2, -1, false},
      {"folder to free name", true, 0, 0, true},
      // rename(2) would replace an empty folder without a word.
      {"folder over empty folder", true, 2, -1, false},
      {"folder over file", true, 1, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string from = Path(std::string("from ") + c.what), to = Path(std::string("to ") + c.what);
    if (c.from_dir) {
      ASSERT_EQ(0, mkdir(from.c_str(), 0755));
      ASSERT_EQ(0, close(open((from + "/inner").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)));
    } else {
      WriteFile(std::string("from ") + c.what, "new");
    }
    if (c.to_kind == 1) WriteFile(std::string("to ") + c.what, "old");
    if (c.to_kind == 2) {
      ASSERT_EQ(0, mkdir(to.c_str(), 0755));
    }
    CaptureStderr();
    EXPECT_EQ(c.result, FSRename(from.c_str(), to.c_str(), false));
    std::string log = GetCapturedStderr();
    EXPECT_EQ(c.moved, !Exists(from));
    if (c.moved) {
      EXPECT_EQ("", log);
      if (c.from_dir) {
        EXPECT_TRUE(Exists(to + "/inner"));
      } else {
        EXPECT_EQ("new", ReadFile(std::string("to ") + c.what));
      }
    } else {
      EXPECT_NE(std::string::npos, log.find("): FSRename: error code ")) << log;
      if (c.to_kind == 1) {
        EXPECT_EQ("old", ReadFile(std::string("to ") + c.what));
      }
      if (c.to_kind == 2) {
        EXPECT_TRUE(Names(to).empty());
      }
    }
  }
}

TEST_F(FileOpChangeTest, RenameErrorCodes) {
  WriteFile("f", "x");
  MakeDir("d");
  std::string long_name(300, 'n');
  CaptureStderr();
  EXPECT_EQ(-100, FSRename(Path("f").c_str(), Path(long_name).c_str(), false));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("FSRename: error code 36\n"));
  CaptureStderr();
  EXPECT_EQ(-1, FSRename(Path("missing").c_str(), Path("g").c_str(), false));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("FSRename: error code 2\n"));
  EXPECT_EQ("x", ReadFile("f"));
  // A folder renamed onto itself is no conflict.
  EXPECT_EQ(0, FSRename(Path("d").c_str(), Path("d").c_str(), false));
  EXPECT_TRUE(IsDir(Path("d")));
}

// Across file systems: the target is replaced whole, with the source's mode
// and time, and no half-written copy or temporary name stays behind.
TEST_F(FileOpChangeTest, RenameAcrossFileSystemsCopiesThenReplaces) {
  std::string content(3 * 1024 * 1024 + 17, 'c');
  for (size_t i = 0; i < content.size(); i += 4093) content[i] = static_cast<char>(i);
  std::string src = OtherFileSystemFile(content);
  if (src.empty()) GTEST_SKIP() << "no second file system";
  ASSERT_EQ(0, chmod(src.c_str(), 0640));
  struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, src.c_str(), times, 0));
  MakeDir("dest");
  WriteFile("dest/target", "old content");

  ASSERT_EQ(0, FSRename(src.c_str(), Path("dest/target").c_str(), false));
  EXPECT_FALSE(Exists(src));
  EXPECT_EQ(content, ReadFile("dest/target"));
  EXPECT_EQ(std::set<std::string>{"target"}, Names(Path("dest")));
  struct stat st;
  ASSERT_EQ(0, stat(Path("dest/target").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(1100000000, st.st_mtime);
}

TEST_F(FileOpChangeTest, RenameAcrossFileSystemsFailsWithoutHarm) {
  std::string src = OtherFileSystemFile("source");
  if (src.empty()) GTEST_SKIP() << "no second file system";
  ASSERT_EQ(0, chmod(src.c_str(), 0644));
  ASSERT_EQ(0, chmod(Path().c_str(), 0755));
  MakeDir("closed", 0755);  // nobody cannot make the copy here
  WriteFile("closed/target", "old");
  std::string target = Path("closed/target");
  EXPECT_EQ(0, testsupport::RunInChild([&] { return FSRename(src.c_str(), target.c_str(), false) == -1 ? 0 : 1; },
                                       true));
  EXPECT_EQ("old", ReadFile("closed/target"));
  EXPECT_TRUE(Exists(src));
  EXPECT_EQ(std::set<std::string>{"target"}, Names(Path("closed")));

  // A folder is not copied across: -1, nothing changed.
  char tmpl[] = "/dev/shm/file-op-dir-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  EXPECT_EQ(-1, FSRename(tmpl, Path("moved-dir").c_str(), false));
  EXPECT_TRUE(IsDir(tmpl));
  EXPECT_FALSE(Exists(Path("moved-dir")));
  rmdir(tmpl);
}

// ---- FSRemove ----

TEST_F(FileOpChangeTest, RemoveMissingIsDoneSilently) {
  CaptureStderr();
  EXPECT_EQ(0, FSRemove(Path("missing").c_str(), false));
  EXPECT_EQ(0, FSRemove(Path("missing").c_str(), true));
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_EQ(-1, FSRemove("", false));
}

TEST_F(FileOpChangeTest, RemoveNamedLinkOrSpecialFileIsRefused) {
  MakeDir("target");
  WriteFile("target/keep", "k");
  ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0644));
  EXPECT_EQ(-1, FSRemove(Path("link").c_str(), false));
  EXPECT_EQ(-1, FSRemove(Path("fifo").c_str(), false));
  EXPECT_TRUE(Exists(Path("link")));
  EXPECT_TRUE(Exists(Path("fifo")));
  EXPECT_EQ("k", ReadFile("target/keep"));
}

// The recursive removal of the text followed every entry with the folder
// attribute: a link to a folder outside would have been emptied.
TEST_F(FileOpChangeTest, RemoveFolderNeverFollowsLinksInside) {
  MakeDir("outside");
  WriteFile("outside/keep", "precious");
  MakeDir("tree");
  MakeDir("tree/sub");
  WriteFile("tree/sub/f", "x");
  WriteFile("tree/g", "y");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("tree/sub/link").c_str()));
  ASSERT_EQ(0, mkfifo(Path("tree/fifo").c_str(), 0644));
  EXPECT_EQ(0, FSRemove(Path("tree").c_str(), false));
  EXPECT_FALSE(Exists(Path("tree")));
  EXPECT_EQ("precious", ReadFile("outside/keep"));
  WriteFile("file", "z");
  EXPECT_EQ(0, FSRemove(Path("file").c_str(), false));
  EXPECT_FALSE(Exists(Path("file")));
}

TEST_F(FileOpChangeTest, RemoveGoesOnPastEntriesItCannotRemove) {
  ASSERT_EQ(0, chmod(Path().c_str(), 0755));
  MakeDir("tree", 0777);
  WriteFile("tree/a", "");
  WriteFile("tree/z", "");
  MakeDir("tree/sub", 0755);  // root's: nobody cannot empty it
  WriteFile("tree/sub/x", "");
  std::string tree = Path("tree");
  int r = testsupport::RunInChild(
      [&] {
        CaptureStderr();
        int result = FSRemove(tree.c_str(), false);
        std::string log = GetCapturedStderr();
        if (result != -1) return 1;
        if (log.find("): DeleteFile: error code 13\n") == std::string::npos) return 2;
        if (log.find("): RemoveDirectory: error code 39\n") == std::string::npos) return 3;
        return 0;
      },
      true);
  EXPECT_EQ(0, r);
  EXPECT_EQ((std::set<std::string>{"sub"}), Names(tree));
  EXPECT_TRUE(Exists(tree + "/sub/x"));
}

// ---- FSUTime ----

TEST_F(FileOpChangeTest, UTimeSetsOnlyTheLastWriteTimeOfTheEntryItself) {
  WriteFile("f", "x");
  struct timespec times[2] = {{777, 0}, {888, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, Path("f").c_str(), times, 0));
  ASSERT_EQ(0, FSUTime(Path("f").c_str(), 12345, 0));
  struct stat st;
  ASSERT_EQ(0, lstat(Path("f").c_str(), &st));
  EXPECT_EQ(0, st.st_mtime);  // 1970-01-01 00:00:00 UTC
  EXPECT_EQ(777, st.st_atime);

  ASSERT_EQ(0, symlink("f", Path("link").c_str()));
  ASSERT_EQ(0, FSUTime(Path("link").c_str(), 0, 5000));
  ASSERT_EQ(0, lstat(Path("link").c_str(), &st));
  EXPECT_EQ(5000, st.st_mtime);
  ASSERT_EQ(0, lstat(Path("f").c_str(), &st));
  EXPECT_EQ(0, st.st_mtime);

  is_fat = true;
  EXPECT_EQ(0, FSUTime(Path("f").c_str(), 0, 1001));
  is_fat = false;
  ASSERT_EQ(0, lstat(Path("f").c_str(), &st));
  EXPECT_EQ(1000, st.st_mtime);

  CaptureStderr();
  EXPECT_EQ(-1, FSUTime(Path("missing").c_str(), 0, 1));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("): FSUTime: error code 2\n"));
}

// ---- FSMKDir / FSMKDirP ----

TEST_F(FileOpChangeTest, MkDirAcceptsOnlyAFolderAsAlreadyThere) {
  MakeDir("exists");
  WriteFile("file", "keep");
  MakeDir("real");
  ASSERT_EQ(0, symlink(Path("real").c_str(), Path("dirlink").c_str()));
  struct Case {
    const char* rel;
    int result;
  } cases[] = {
      {"new", 0},
      {"exists", 0},
      {"dirlink", 0},
      // "already exists" counted as success, also for a file of that name.
      {"file", -1},
      {"no/parent", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rel);
    CaptureStderr();
    EXPECT_EQ(c.result, FSMKDir(Path(c.rel).c_str(), false));
    std::string log = GetCapturedStderr();
    if (c.result == 0) {
      EXPECT_EQ("", log);
      EXPECT_TRUE(std::filesystem::is_directory(Path(c.rel)));
    } else {
      EXPECT_NE(std::string::npos, log.find("): FSMKDirP: error code ")) << log;
    }
  }
  EXPECT_EQ("keep", ReadFile("file"));
  EXPECT_EQ(-1, FSMKDir("", false));
}

TEST_F(FileOpChangeTest, MkDirPCreatesEveryMissingFolder) {
  MakeDir("real");
  ASSERT_EQ(0, symlink(Path("real").c_str(), Path("dirlink").c_str()));
  WriteFile("file", "f");
  WriteFile("mid", "m");
  ASSERT_EQ(0, symlink("nowhere", Path("dangling").c_str()));
  struct Case {
    const char* rel;
    bool force;
    int result;
    const char* then_dir;  // must be a folder afterwards ("" none)
  } cases[] = {
      {"a/b/c/d", false, 0, "a/b/c/d"},
      {"a/b/c/d", false, 0, "a/b/c/d"},  // all there: nothing to do
      {"t/u/", false, 0, "t/u"},
      {"x//y", false, 0, "x/y"},
      {"dirlink/inner", false, 0, "real/inner"},  // a link to a folder is a folder
      {"file", false, -1, ""},
      {"mid/sub", false, -1, ""},
      {"mid/sub", true, 0, "mid/sub"},
      {"dangling/sub", false, -1, ""},
      {"dangling/sub", true, 0, "dangling/sub"},
      {"dirlink/forced", true, 0, "real/forced"},  // never removes the link
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rel);
    EXPECT_EQ(c.result, FSMKDirP(Path(c.rel).c_str(), nullptr, c.force, -1, -1, 0xFFFF));
    if (*c.then_dir) {
      EXPECT_TRUE(IsDir(Path(c.then_dir)));
    }
  }
  struct stat st;
  ASSERT_EQ(0, lstat(Path("dirlink").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("f", ReadFile("file"));
  EXPECT_EQ(0, FSMKDir(Path("p/q").c_str(), true));
  EXPECT_TRUE(IsDir(Path("p/q")));
  EXPECT_EQ(-1, FSMKDirP("", nullptr, false, -1, -1, 0xFFFF));
}

// A relative path's first component was treated as a drive letter and never
// made; a path without "/" gave 0 having made nothing.
TEST_F(FileOpChangeTest, MkDirPMakesRelativePathsFromTheirFirstFolder) {
  ASSERT_EQ(0, chdir(Path().c_str()));
  EXPECT_EQ(0, FSMKDir("single", true));
  EXPECT_EQ(0, FSMKDir("rel/sub", true));
  EXPECT_TRUE(IsDir(Path("single")));
  EXPECT_TRUE(IsDir(Path("rel/sub")));
}

// ---- FSMktemp / FSCreateTempPath ----

TEST_F(FileOpChangeTest, MktempCreatesAnEmptyFileWithAFreshName) {
  umask(022);
  ustring path = "ignored";
  ASSERT_EQ(0, FSMktemp(Path().c_str(), path));
  std::string p = path.c_str_utf8();
  ASSERT_EQ(Path().size() + 9, p.size());
  EXPECT_EQ(Path() + "/", p.substr(0, Path().size() + 1));
  struct stat st;
  ASSERT_EQ(0, lstat(p.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0644u, st.st_mode & 07777);  // 0666 under the umask, as downloads expect

  ustring other;
  ASSERT_EQ(0, FSCreateTempPath(Path().c_str(), other));
  EXPECT_NE(path, other);
  EXPECT_FALSE(Exists(other.c_str_utf8()));
  ASSERT_EQ(0, FSCreateTempPath("", other));
  EXPECT_EQ(9u, other.length());
  EXPECT_EQ('/', other[0]);

  CaptureStderr();
  EXPECT_EQ(-1, FSMktemp(Path("missing").c_str(), path));
  EXPECT_NE(std::string::npos, GetCapturedStderr().find("): FSMktemp failed.\n"));
  EXPECT_STREQ(p.c_str(), path.c_str_utf8());
}

// The text created the file with fopen("w"): a file planted at the next name
// was truncated, a link planted there was followed.
TEST_F(FileOpChangeTest, MktempNeverTouchesWhatIsPlantedAtTheNextName) {
  unsigned char key[256];
  for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(i * 7);
  for (bool plant_link : {false, true}) {
    SCOPED_TRACE(plant_link ? "link" : "file");
    TmpNameGen probe;
    probe.setKeyForTest(key);
    std::string next = probe.getTmpName().c_str_utf8();
    testsupport::ScopedTmpNameKey known(key);
    if (plant_link) {
      WriteFile("victim", "victim");
      ASSERT_EQ(0, symlink(Path("victim").c_str(), Path(next).c_str()));
    } else {
      WriteFile(next, "planted");
    }
    ustring path;
    ASSERT_EQ(0, FSMktemp(Path().c_str(), path));
    EXPECT_NE(Path(next), path.c_str_utf8());
    if (plant_link) {
      EXPECT_EQ("victim", ReadFile("victim"));
      ASSERT_EQ(0, unlink(Path(next).c_str()));
    } else {
      EXPECT_EQ("planted", ReadFile(next));
      ASSERT_EQ(0, unlink(Path(next).c_str()));
    }
  }
}

// ---- FSCopy ----

TEST_F(FileOpChangeTest, CopyWritesWholeFileAndCanRemoveTheSource) {
  std::string content(100000, 'q');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  WriteFile("src", content);
  WriteFile("dst", std::string(300000, 'o'));  // longer: must be truncated
  ASSERT_EQ(0, FSCopy(Path("src").c_str(), Path("dst").c_str(), false));
  EXPECT_EQ(content, ReadFile("dst"));
  EXPECT_EQ(0, FSCopy(Path("src").c_str(), Path("new").c_str(), true));
  EXPECT_EQ(content, ReadFile("new"));
  EXPECT_FALSE(Exists(Path("src")));
}

// "Created or truncated" target: a copy onto the source itself, or onto a
// hard link of it, emptied the source before reading it.
TEST_F(FileOpChangeTest, CopyRefusesWhatWouldDestroyTheSourceOrFollowALink) {
  WriteFile("src", "precious");
  ASSERT_EQ(0, link(Path("src").c_str(), Path("hard").c_str()));
  ASSERT_EQ(0, symlink(Path("src").c_str(), Path("soft").c_str()));
  WriteFile("other", "other");
  ASSERT_EQ(0, symlink(Path("other").c_str(), Path("to-other").c_str()));
  MakeDir("dir");
  struct Case {
    const char* from;
    const char* to;
    const char* log;
  } cases[] = {
      {"src", "src", "FSCopy: Invalid destination. Error code 22\n"},
      {"src", "hard", "FSCopy: Invalid destination. Error code 22\n"},
      {"src", "to-other", "FSCopy: Invalid destination. Error code 40\n"},
      {"src", "dir", "FSCopy: Invalid destination. Error code 21\n"},
      {"soft", "x", "FSCopy: Invalid source ("},
      {"dir", "x", "FSCopy: Invalid source ("},
      {"missing", "x", "). Error code 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    CaptureStderr();
    EXPECT_EQ(-1, FSCopy(Path(c.from).c_str(), Path(c.to).c_str(), true));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find(c.log));
    EXPECT_EQ("precious", ReadFile("src"));
    EXPECT_EQ("other", ReadFile("other"));
  }
  EXPECT_FALSE(Exists(Path("x")));
}

}  // namespace
