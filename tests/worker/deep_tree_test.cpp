// Trees deeper than the descriptor limit and than PATH_MAX: the walk of
// expansions and rescans and the conflict test's subtree comparison hold a
// bounded number of descriptors, and what lies past PATH_MAX (which every
// later step opens by path) is logged and kept out, never taken for removed
// or for unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "platform/remove_tree.h"
#include "platform/unique_fd.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "support/queued_events.h"
#include "support/temp_dir.h"
#include "support/user_namespace_child.h"
#include "support/worker_rig.h"
#include "worker/walk.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;

constexpr int kLevels = 5000;

std::string Chain(int levels) {
  std::string out;
  for (int i = 0; i < levels; ++i) out += "/d";
  return out;
}

// Folders "d" nested `levels` deep in `root`, each made and opened from its
// parent (their paths pass PATH_MAX), with a file "x" in the deepest one and
// a file "m" at level 10. Removed again with RemoveTree.
class DeepTree {
 public:
  DeepTree(const std::string& root, int levels) : top_(root + "/d") {
    platform::UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 1; fd.valid() && i <= levels; ++i) {
      if (mkdirat(fd.get(), "d", 0700) != 0) return;
      fd.reset(openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (i == 10) Leaf(fd.get(), "m");
    }
    if (fd.valid()) made_ = Leaf(fd.get(), "x");
  }
  ~DeepTree() { EXPECT_EQ(0, platform::RemoveTree(top_.c_str(), nullptr)); }
  bool made() const { return made_; }
  // The modification time of the last file made ("x").
  uint32_t leaf_mtime() const { return leaf_mtime_; }

 private:
  bool Leaf(int dir_fd, const char* name) {
    platform::UniqueFd f(openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    struct stat st;
    if (!f.valid() || write(f.get(), "x", 1) != 1 || fstat(f.get(), &st) != 0) return false;
    leaf_mtime_ = static_cast<uint32_t>(st.st_mtime);
    return true;
  }
  std::string top_;
  bool made_ = false;
  uint32_t leaf_mtime_ = 0;
};

class DeepTreeTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<WorkerRig>(Path());
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
    // Folder k of the chain has the full path local + 2k bytes.
    reachable_ = static_cast<int>((PATH_MAX - 1 - rig_->local().size()) / 2);
  }
  void TearDown() override { rig_.reset(); }

  void Record(const std::string& rel, bool is_dir, uint64_t size = 0, uint32_t mtime = 0) {
    DBFileInfo r;
    r.path = rel.c_str();
    r.syncID = r.maxSyncID = 100;
    r.fileType = is_dir ? 1 : 0;
    r.fileSize = size;
    r.fileModTime = mtime;
    ASSERT_EQ(0, rig_->eventDb().setEventInfo(r)) << rel;
  }
  // A record of what is on disk now at `rel` (reachable by path).
  void RecordAsIs(const std::string& rel) {
    struct stat st;
    ASSERT_EQ(0, lstat(rig_->local(rel).c_str(), &st)) << rel;
    Record(rel, S_ISDIR(st.st_mode), S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size),
           static_cast<uint32_t>(st.st_mtime));
  }
  Event FolderEvent(const std::string& rel, uint32_t bits) {
    Event ev = rig_->localEvent(Event::EV_CREATE, rel, true);
    ev.m_mode |= bits;
    return ev;
  }
  // Every event queued so far, sorted; the queue is empty afterwards.
  std::vector<std::string> Pushed() { return testsupport::TakeQueued(*EventManager::getInstance()); }
  // What the walk of "/" must push as uploads: every reachable folder of
  // the chain and the file at level 10.
  std::vector<std::string> ReachableUploads() const {
    std::vector<std::string> out;
    for (int k = 1; k <= reachable_; ++k) out.push_back("local modify " + Chain(k) + "/");
    out.push_back("local modify " + Chain(10) + "/m");
    return out;
  }
  // The entries of `all` not beginning with `prefix`; the others go to
  // `*taken`, in order.
  static std::vector<std::string> Without(std::vector<std::string> all, const std::string& prefix,
                                          std::vector<std::string>* taken) {
    std::vector<std::string> rest;
    for (std::string& s : all) (s.rfind(prefix, 0) == 0 ? *taken : rest).push_back(std::move(s));
    return rest;
  }

  std::unique_ptr<WorkerRig> rig_;
  int reachable_ = 0;
};

// A handler that counts what it is handed and looks at the descriptors at
// the deepest reachable folder.
struct Counter {
  struct Seen {
    int folders = 0;
    int files = 0;
    size_t fds_at_bottom = 0;
    std::vector<std::string> too_long;
  };
  Seen* seen;
  size_t root_len;
  int reachable;
  bool operator()(const DIR_ENTRY& entry, const ustring& full) {
    if (entry.type != FT_DIR) {
      ++seen->files;
      return false;
    }
    ++seen->folders;
    if (static_cast<int>((full.length() - root_len) / 2) == reachable) {
      seen->fds_at_bottom = testsupport::OpenDescriptorCount(/*sockets=*/false);
    }
    return true;
  }
  bool Skip(const DIR_ENTRY& entry, const ustring& /*full*/) const { return IsWorkingDirName(entry.name); }
  void TooLong(const ustring& full) { seen->too_long.push_back(full.c_str_utf8()); }
};

// The walk, both orders: every reachable folder and file handed once, the
// first entry past PATH_MAX reported once and nothing below it, at most the
// bound of descriptors open at the bottom, and all of them closed after.
TEST_F(DeepTreeTest, WalkHoldsBoundedDescriptorsAndReportsWhatIsTooLong) {
  DeepTree tree(rig_->local(), kLevels);
  ASSERT_TRUE(tree.made());
  for (const int flag : {0, kWalkContentsFirst | kWalkTimes}) {
    SCOPED_TRACE(flag);
    const size_t before = testsupport::OpenDescriptorCount(/*sockets=*/false);
    Counter::Seen seen;
    std::atomic<int> abort_flag{0};
    ASSERT_EQ(0, Walk(rig_->local().c_str(), Counter{&seen, rig_->local().size(), reachable_}, flag, &abort_flag));
    EXPECT_EQ(reachable_, seen.folders);
    EXPECT_EQ(1, seen.files);  // "m"; "x" is far below the limit
    EXPECT_EQ(std::vector<std::string>{rig_->local() + Chain(reachable_ + 1)}, seen.too_long);
    EXPECT_GT(seen.fds_at_bottom, 0u);
    EXPECT_LE(seen.fds_at_bottom, before + WalkFolders::kMaxOpen + 2);
    EXPECT_EQ(before, testsupport::OpenDescriptorCount(/*sockets=*/false));
  }
  EXPECT_TRUE(rig_->logged("is too long a path to be synchronised, kept out"));
}

// Rescans of "/" over a tree whose whole chain is recorded (the record of
// "x" at the bottom brings every ancestor's): records at and below the
// first folder past PATH_MAX are neither removed on the server nor fetched
// again; a record whose file is really gone is (the evidence that the
// rescan compared), and the one unrecorded reachable file is uploaded.
TEST_F(DeepTreeTest, RescanKeepsRecordsPastPathMaxOut) {
  DeepTree tree(rig_->local(), kLevels);
  ASSERT_TRUE(tree.made());
  Record("/gone.txt", false, 1, 1);
  Record(Chain(kLevels) + "/x", false, 1, 1);
  for (const bool merge : {false, true}) {
    SCOPED_TRACE(merge);
    const size_t before = testsupport::OpenDescriptorCount(/*sockets=*/false);
    ScriptedWorker& w = rig_->holding(
        FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN | (merge ? static_cast<uint32_t>(Event::F_MERGE) : 0u)));
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
    EXPECT_EQ(before, testsupport::OpenDescriptorCount(/*sockets=*/false));
    std::vector<std::string> uploads;  // sorted, as Pushed() gives them
    const std::vector<std::string> others = Without(Pushed(), "local modify ", &uploads);
    EXPECT_EQ(std::vector<std::string>{"local modify " + Chain(10) + "/m"}, uploads);
    EXPECT_EQ(std::vector<std::string>{merge ? "server modify /gone.txt" : "local remove /gone.txt"}, others);
  }
}

// An expand of "/" pushes exactly the reachable entries.
TEST_F(DeepTreeTest, ExpandPushesWhatIsReachable) {
  DeepTree tree(rig_->local(), kLevels);
  ASSERT_TRUE(tree.made());
  const size_t before = testsupport::OpenDescriptorCount(/*sockets=*/false);
  ScriptedWorker& w = rig_->holding(FolderEvent("/", Event::F_EXPAND));
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpand));
  EXPECT_EQ(before, testsupport::OpenDescriptorCount(/*sockets=*/false));
  std::vector<std::string> want = ReachableUploads();
  std::sort(want.begin(), want.end());
  const std::vector<std::string> got = Pushed();
  EXPECT_TRUE(want == got) << got.size() << " pushed, " << want.size() << " wanted";
}

// The subtree comparison of a server folder delete and of a download's
// conflict test: a fully recorded tree deeper than the descriptor limit is
// unchanged, a new file at its bottom is a change; and in a tree past
// PATH_MAX, even fully recorded, the part no step can reach counts as a
// change (nothing can have synced it, so the server cannot hold it), so
// the folder delete keeps the folder under a conflict name.
TEST_F(DeepTreeTest, SubtreeComparisonBeyondTheDescriptorLimitAndPathMax) {
  {
    constexpr int kDeep = 300;
    DeepTree tree(rig_->local(), kDeep);
    ASSERT_TRUE(tree.made());
    RecordAsIs(Chain(kDeep) + "/x");  // and every folder above it
    RecordAsIs(Chain(10) + "/m");
    struct rlimit lim;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &lim));  // put back by the fixture
    lim.rlim_cur = testsupport::OpenDescriptorCount(/*sockets=*/false) + 64;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lim));
    ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_REMOVE, "/d", 200, true));
    EXPECT_FALSE(w.LocalFolderChanged());
    WriteFile("local" + Chain(kDeep) + "/new", "new");
    EXPECT_TRUE(w.LocalFolderChanged());
  }
  DeepTree tree(rig_->local(), kLevels);
  ASSERT_TRUE(tree.made());
  // Every entry recorded as it is, so that only its reach decides.
  Record(Chain(kLevels) + "/x", false, 1, tree.leaf_mtime());
  RecordAsIs(Chain(10) + "/m");
  ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_REMOVE, "/d", 300, true));
  const size_t before = testsupport::OpenDescriptorCount(/*sockets=*/false);
  EXPECT_TRUE(w.LocalFolderChanged());
  EXPECT_EQ(before, testsupport::OpenDescriptorCount(/*sockets=*/false));
  EXPECT_TRUE(rig_->logged("is too long a path to be synchronised, kept as a change"));
}

}  // namespace
