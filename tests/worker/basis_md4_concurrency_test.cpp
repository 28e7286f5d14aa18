// The MD4 of a download's local file kept from one read: taken only while
// the file is provably the one read, hashed on a helper thread that a pause
// stops and that never outlives its owner.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "download_fixture.h"
#include "foundation/file_op.h"
#include "support/temp_dir.h"
#include "worker/basis_md4.h"

namespace {

using downloadtest::OpensslMd4;
using downloadtest::Pattern;
using uploadtest::Spill;
using namespace std::chrono_literals;

class BasisMd4Test : public testsupport::TempDirTest {
 protected:
  // A file of `n` bytes whose last change the coarse clock has passed.
  std::string Settled(const std::string& name, size_t n) {
    const std::string path = Path(name);
    Spill(path, Pattern(n, 7));
    struct stat st;
    EXPECT_EQ(0, lstat(path.c_str(), &st));
    const int64_t changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    for (int i = 0; i < 10000 && Coarse() <= changed; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_GT(Coarse(), changed);
    return path;
  }
  static int64_t Coarse() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
  std::atomic<int> abort_{0};
};

TEST_F(BasisMd4Test, TakenOnlyWhileTheFileIsTheOneRead) {
  enum Change { kNone, kInTheReadsTick, kDuringRead, kAfterReadTimeSetBack, kOtherPath };
  const struct {
    const char* name;
    Change change;
    bool taken;
  } cases[] = {
      {"unchanged", kNone, true},
      {"last change in the read's clock tick", kInTheReadsTick, false},
      {"rewritten during the read", kDuringRead, false},
      {"rewritten after, time set back", kAfterReadTimeSetBack, false},
      {"asked for another path", kOtherPath, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Settled("f" + std::to_string(n++), 10000);
    const std::string md4 = OpensslMd4(path);
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    BasisMd4 basis;
    BasisMd4::ReadStart start = BasisMd4::Begin(path.c_str());
    ASSERT_TRUE(start.identity.valid);
    if (c.change == kInTheReadsTick) start.clock_ns = start.identity.ctime_ns;
    const auto rewrite = [&] {
      std::string other = Pattern(10000, 7);
      other[5] ^= 1;
      Spill(path, other);
      ASSERT_EQ(0, FSUTime(path.c_str(), static_cast<uint32_t>(st.st_mtime), static_cast<uint32_t>(st.st_mtime)));
    };
    if (c.change == kDuringRead) rewrite();
    basis.Keep(path.c_str(), start, md4.c_str());
    if (c.change == kAfterReadTimeSetBack) rewrite();
    const std::string asked = c.change == kOtherPath ? Path("other") : path;
    if (c.change == kOtherPath) Spill(asked, Pattern(10000, 7));
    ustring got;
    EXPECT_EQ(c.taken, basis.Take(asked.c_str(), abort_, got));
    if (c.taken) {
      EXPECT_EQ(md4, got.c_str_utf8());
    }
  }
}

TEST_F(BasisMd4Test, HelperReadsWhileTheCallerWorks) {
  const std::string path = Settled("big", 8 << 20);
  BasisMd4 basis;
  basis.Start(path.c_str());
  EXPECT_TRUE(basis.Held());
  ustring got;
  ASSERT_TRUE(basis.Take(path.c_str(), abort_, got));
  EXPECT_EQ(OpensslMd4(path), got.c_str_utf8());
  // Taken again by a later test of the same download, without a read.
  ASSERT_TRUE(basis.Take(path.c_str(), abort_, got));
  basis.Reset();
  EXPECT_FALSE(basis.Held());
  EXPECT_FALSE(basis.Take(path.c_str(), abort_, got));
}

TEST_F(BasisMd4Test, PauseAndEndStopTheHelper) {
  const std::string path = Settled("big", 32 << 20);
  {
    // A raised abort flag: the wait ends and nothing is taken, however far
    // the helper got.
    BasisMd4 basis;
    basis.Start(path.c_str());
    abort_.store(1);
    ustring got;
    EXPECT_FALSE(basis.Take(path.c_str(), abort_, got));
    EXPECT_TRUE(got.empty());
    abort_.store(0);
  }
  {
    // Reset and the destructor stop and join a helper still reading.
    BasisMd4 basis;
    basis.Start(path.c_str());
    basis.Reset();
    EXPECT_FALSE(basis.Held());
    basis.Start(path.c_str());
  }
  // A file that cannot be read gives nothing to take.
  BasisMd4 basis;
  basis.Start(Path("missing").c_str());
  ustring got;
  EXPECT_FALSE(basis.Take(Path("missing").c_str(), abort_, got));
}

}  // namespace
