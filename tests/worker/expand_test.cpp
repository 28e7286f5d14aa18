// Folder expansion and rescans: the comparison's decision table without a
// disk, and expands and rescans of real folders with the pushes read back
// from the event queue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "filter/black_list2.h"
#include "filter/file_status_db.h"
#include "filter/filter_db.h"
#include "server/connection_manager.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/registry.h"
#include "session/ui_ipc.h"
#include "session/ui_notifier.h"
#include "session/file_event_db.h"
#include "session/string_buffer.h"
#include "support/command.h"
#include "support/queued_events.h"
#include "support/recording_task.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "worker/compare_file_list.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;

// ---- The decision table ----

class RecordingSink : public CompareSink {
 public:
  bool Aborted() override { return abort_after >= 0 && steps++ >= abort_after; }
  void Upload(const ustring& p, bool d) override { out.push_back("up " + Name(p, d)); }
  void Remove(const ustring& p, bool d) override { out.push_back("rm " + Name(p, d)); }
  void Download(const ustring& p, bool d) override { out.push_back("down " + Name(p, d)); }
  bool HeldBack(const ustring& p, bool /*d*/) override { return std::string(p.c_str_utf8()) == held; }

  static std::string Name(const ustring& p, bool d) { return std::string(p.c_str_utf8()) + (d ? "/" : ""); }
  std::vector<std::string> out;
  std::string held;
  int abort_after = -1;
  int steps = 0;
};

// "d /a" a folder, "f /a/x 5 10" a file with time 5 and size 10; "+" in a
// path stands for a blank.
void Fill(FileList& list, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    char kind = 0;
    char path[256];
    unsigned mtime = 0;
    unsigned long long size = 0;
    ASSERT_GE(sscanf(e.c_str(), "%c %255s %u %llu", &kind, path, &mtime, &size), 2) << e;
    std::replace(path, path + strlen(path), '+', ' ');
    if (kind == 'd') {
      ASSERT_GE(list.AddDirectory(path, mtime, ustring()), 0) << e;
    } else {
      ASSERT_EQ(0, list.AddFile(path, mtime, size, ustring())) << e;
    }
  }
}

struct Case {
  const char* name;
  std::vector<std::string> disk;
  std::vector<std::string> records;
  std::vector<std::string> plain;   // without merge, sorted
  std::vector<std::string> merged;  // with merge, sorted
};

TEST(CompareFileList, Table) {
  const Case cases[] = {
      {"only on disk", {"f /n 1 1"}, {}, {"up /n"}, {"up /n"}},
      {"only in the records", {}, {"f /gone 1 1", "d /gd"}, {"rm /gd/", "rm /gone"}, {"down /gd/", "down /gone"}},
      {"same file and folders", {"d /a", "f /a/x 5 10"}, {"d /a", "f /a/x 5 10"}, {}, {}},
      {"time differs", {"f /t 6 10"}, {"f /t 5 10"}, {"up /t"}, {"up /t"}},
      {"size differs", {"f /s 5 11"}, {"f /s 5 10"}, {"up /s"}, {"up /s"}},
      {"folder time differs", {"d /d 9"}, {"d /d 1"}, {}, {}},
      {"file on disk, folder recorded", {"f /k 1 1"}, {"d /k"}, {"up /k"}, {"down /k/", "up /k"}},
      {"folder on disk, file recorded", {"d /k"}, {"f /k 1 1"}, {"up /k/"}, {"down /k", "up /k/"}},
      // Names that sort between a folder and its contents by bytes: "." and
      // "-" and " " come before "/". The walk puts them after the folder's
      // contents; nothing here differs.
      {"neighbours of a folder",
       {"d /a", "f /a/x 1 1", "f /a.txt 1 1", "f /a-b 1 1", "f /a+b 1 1"},
       {"d /a", "f /a/x 1 1", "f /a.txt 1 1", "f /a-b 1 1", "f /a+b 1 1"},
       {},
       {}},
      {"neighbours, one missing on disk",
       {"d /a", "f /a.txt 1 1"},
       {"d /a", "f /a/x 1 1", "f /a.txt 1 1"},
       {"rm /a/x"},
       {"down /a/x"}},
  };
  for (const Case& c : cases) {
    for (const bool merge : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (merge ? " (merge)" : ""));
      StringBuffer buf;
      FileList disk(buf);
      FileList records(buf);
      Fill(disk, c.disk);
      Fill(records, c.records);
      RecordingSink sink;
      EXPECT_EQ(0, CompareFileLists("/", disk, records, merge, {}, sink));
      std::sort(sink.out.begin(), sink.out.end());
      EXPECT_EQ(merge ? c.merged : c.plain, sink.out);
    }
  }
}

// The folder's path prefixes every push; a held-back path pushes nothing;
// an unlisted folder keeps everything below it out, and its own record too
// when it is not in the listing (too long a path to reach); an abort stops
// at the next step and keeps what was decided.
TEST(CompareFileList, PrefixHeldBackUnlistedAbort) {
  StringBuffer buf;
  FileList disk(buf);
  FileList records(buf);
  Fill(disk, {"f /new 1 1", "d /u"});
  Fill(records, {"f /held 1 1", "f /old 1 1", "d /u", "f /u/inside 1 1", "d /v", "f /v/in 1 1"});
  RecordingSink sink;
  sink.held = "/sub/held";
  EXPECT_EQ(0, CompareFileLists("/sub", disk, records, false, {"/u", "/v"}, sink));
  std::sort(sink.out.begin(), sink.out.end());
  EXPECT_EQ((std::vector<std::string>{"rm /sub/old", "up /sub/new"}), sink.out);

  RecordingSink stopping;
  stopping.abort_after = 1;
  EXPECT_EQ(-1, CompareFileLists("/", disk, records, false, {}, stopping));
  EXPECT_EQ(1u, stopping.out.size());
}

// ---- Folder by folder ----

// The node of the folder `rel` ("" the root, "/a/b") in `list`, or null.
const FileList::DirNode* FindFolder(const FileList& list, const std::string& rel) {
  const FileList::DirNode* node = list.root;
  std::istringstream parts(rel);
  std::string name;
  while (node != nullptr && std::getline(parts, name, '/')) {
    if (name.empty()) continue;
    auto it = node->dir.find(StringBuffer::String(name.c_str()));
    node = it == node->dir.end() ? nullptr : it->second;
  }
  return node;
}

// Hands out one folder of two whole listings at a time, as the rescan's
// source does, and keeps count of what it lists and holds.
class TreeSource : public FolderSource {
 public:
  TreeSource(const FileList& disk, const FileList& records) : disk_(disk), records_(records) {}

  int Enter(const ustring& rel, bool on_disk, bool recorded, FolderListing& out) override {
    const std::string r = rel.c_str_utf8();
    entered.push_back(r);
    max_open = std::max(max_open, ++open);
    if (on_disk) Copy(FindFolder(disk_, r), out.disk, r);
    if (recorded) Copy(FindFolder(records_, r), out.records, "");
    for (const std::string& k : kept_out) {
      if (k.rfind(r + "/", 0) == 0 && k.find('/', r.size() + 1) == std::string::npos) {
        out.kept_out.push_back(k.substr(r.size()).c_str());
      }
    }
    out.unknown = unknown.count(r) != 0;
    return 0;
  }
  void Leave(const ustring& rel, bool /*on_disk*/) override {
    EXPECT_GT(open, 0) << rel.c_str_utf8();
    --open;
  }

  std::set<std::string> unknown;   // folders whose contents cannot be known
  std::set<std::string> kept_out;  // entries left off the disk listing
  std::vector<std::string> entered;
  int open = 0;
  int max_open = 0;

 private:
  void Copy(const FileList::DirNode* node, FileList& out, const std::string& rel) const {
    if (node == nullptr) return;
    for (const FileList::FileNode& f : node->file) {
      if (kept_out.count(rel + "/" + f.name.c_str()) == 0) {
        ASSERT_EQ(0, out.AddFile(0, f.name.c_str(), f.attr));
      }
    }
    for (const auto& [name, dir] : node->dir) {
      if (kept_out.count(rel + "/" + name.c_str()) == 0) {
        ASSERT_GE(out.AddDirectory(0, name.c_str(), dir->attr), 0);
      }
    }
  }

  const FileList& disk_;
  const FileList& records_;
};

// Folder by folder, the comparison decides what the whole-tree one decides,
// in the same order, while it holds only the folders from the root down to
// the one in hand, and lists each folder once: contents that differ below
// folders on both sides, on one side only, or of another kind on the
// other; names that sort between a folder and its contents by bytes.
TEST(CompareFolders, SameDecisionsInTheSameOrderOneFolderPathAtATime) {
  const std::vector<std::vector<std::string>> trees[] = {
      {{"f /n 1 1", "d /a", "f /a/x 5 10"}, {"f /gone 1 1", "d /a", "f /a/x 5 11", "d /gd", "f /gd/y 1 1"}},
      {{"d /k", "f /k/a 1 1", "d /k/s", "f /k/s/b 1 1", "f /z 1 1"},
       {"f /k 1 1", "d /z", "f /z/y 1 1", "d /z/w", "f /z/w/v 1 1"}},
      {{"d /a", "d /a/b", "d /a/b/c", "f /a/b/c/x 2 1", "f /a/b/y 1 1", "f /a.b 1 1", "f /a-b 1 1", "d /a+b"},
       {"d /a", "d /a/b", "d /a/b/c", "f /a/b/c/x 1 1", "f /a/b/c/gone 1 1", "f /a.b 1 1", "d /a/old",
        "f /a/old/f 1 1", "f /a+b/q 1 1"}},
      {{}, {"d /only", "d /only/in", "f /only/in/records 1 1"}},
      {{"d /only", "d /only/on", "f /only/on/disk 1 1"}, {}},
  };
  for (const auto& tree : trees) {
    for (const bool merge : {false, true}) {
      SCOPED_TRACE(testing::PrintToString(tree[0]) + " | " + testing::PrintToString(tree[1]) + (merge ? " merge" : ""));
      StringBuffer buf;
      FileList disk(buf);
      FileList records(buf);
      Fill(disk, tree[0]);
      Fill(records, tree[1]);
      RecordingSink whole;
      ASSERT_EQ(0, CompareFileLists("/sub", disk, records, merge, {}, whole));
      ASSERT_FALSE(whole.out.empty());
      TreeSource source(disk, records);
      RecordingSink by_folder;
      EXPECT_EQ(0, CompareFolders("/sub", source, merge, by_folder));
      EXPECT_EQ(whole.out, by_folder.out);
      EXPECT_EQ(0, source.open);
      EXPECT_LE(source.max_open, 4);  // the root and three levels at most
      std::vector<std::string> entered = source.entered;
      std::sort(entered.begin(), entered.end());
      EXPECT_TRUE(std::adjacent_find(entered.begin(), entered.end()) == entered.end()) << "a folder listed twice";
    }
  }
}

// As CompareFileLists with those folders unlisted: a folder whose contents
// are unknown keeps everything below it out, and a kept-out entry its
// record too; the root unknown decides nothing. A held-back path pushes
// nothing; an abort stops at the next step; a folder the sink does not
// want is decided without being listed.
TEST(CompareFolders, UnknownKeptOutHeldBackAbortNotWanted) {
  StringBuffer buf;
  FileList disk(buf);
  FileList records(buf);
  Fill(disk, {"f /new 1 1", "d /u", "f /u/n 1 1", "d /w", "f /w/n 1 1"});
  Fill(records, {"f /held 1 1", "f /old 1 1", "d /u", "f /u/inside 1 1", "d /v", "f /v/in 1 1"});
  RecordingSink whole;
  whole.held = "/sub/held";
  ASSERT_EQ(0, CompareFileLists("/sub", disk, records, false, {"/u", "/v"}, whole));
  TreeSource source(disk, records);
  source.unknown = {"/u"};
  source.kept_out = {"/v"};
  RecordingSink by_folder;
  by_folder.held = "/sub/held";
  EXPECT_EQ(0, CompareFolders("/sub", source, false, by_folder));
  EXPECT_EQ(whole.out, by_folder.out);
  EXPECT_EQ((std::vector<std::string>{"up /sub/w/n", "up /sub/w/", "rm /sub/old", "up /sub/new"}), by_folder.out);

  TreeSource unknown_root(disk, records);
  unknown_root.unknown = {""};
  RecordingSink nothing;
  EXPECT_EQ(0, CompareFolders("/", unknown_root, false, nothing));
  EXPECT_TRUE(nothing.out.empty());
  EXPECT_EQ(0, unknown_root.open);

  TreeSource stopped_source(disk, records);
  RecordingSink stopping;
  stopping.abort_after = 1;
  EXPECT_EQ(-1, CompareFolders("/", stopped_source, false, stopping));
  EXPECT_EQ(1u, stopping.out.size());

  class NotW : public RecordingSink {
   public:
    bool Wants(const ustring& path) override { return std::string(path.c_str_utf8()) != "/w"; }
  };
  TreeSource partial(disk, records);
  NotW not_w;
  EXPECT_EQ(0, CompareFolders("/", partial, false, not_w));
  EXPECT_EQ(0, std::count(partial.entered.begin(), partial.entered.end(), "/w"));
  EXPECT_EQ(1, std::count(not_w.out.begin(), not_w.out.end(), "up /w/"));
  EXPECT_EQ(0, std::count(not_w.out.begin(), not_w.out.end(), "up /w/n"));
}

// ---- Against a real folder and the real queue ----

class ExpandTest : public testsupport::TempDirTest {
 protected:
  // Not in SetUp: a case that forks must do so before any thread starts.
  void Make(WorkerRig::Options options = WorkerRig::Options()) {
    rig_ = std::make_unique<WorkerRig>(Path(), std::move(options));
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
  }
  void TearDown() override { rig_.reset(); }

  void Dir(const std::string& rel) { ASSERT_EQ(0, mkdir(rig_->local(rel).c_str(), 0700)) << rel; }
  void File(const std::string& rel, const std::string& bytes = "x") {
    std::ofstream(rig_->local(rel), std::ios::binary) << bytes;
  }
  struct stat Stat(const std::string& rel) {
    struct stat st{};
    EXPECT_EQ(0, lstat(rig_->local(rel).c_str(), &st)) << rel;
    return st;
  }
  // A record of what is on disk now; with `signed_` a file's record gets a
  // signature file, as a finished transfer leaves it.
  void Record(const std::string& rel, uint64_t sync_id = 100, bool signed_ = false) {
    const struct stat st = Stat(rel);
    DBFileInfo r;
    if (signed_) {
      r.signaturePath = Path("sig-" + std::to_string(signatures_++)).c_str();
      std::ofstream(r.signaturePath.c_str_utf8()) << "signature";
    }
    r.path = rel.c_str();
    r.syncID = sync_id;
    r.maxSyncID = sync_id;
    r.fileType = S_ISDIR(st.st_mode) ? 1 : 0;
    r.fileSize = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    r.fileModTime = static_cast<uint32_t>(st.st_mtime);
    ASSERT_EQ(0, rig_->eventDb().setEventInfo(r)) << rel;
  }

  Event FolderEvent(const std::string& rel, uint32_t bits) {
    Event ev = rig_->localEvent(Event::EV_CREATE, rel, true);
    ev.m_mode |= bits;
    return ev;
  }

  // Every event queued so far, sorted; the queue is empty afterwards.
  std::vector<std::string> Pushed() { return testsupport::TakeQueued(*EventManager::getInstance()); }

  std::unique_ptr<WorkerRig> rig_;
  int signatures_ = 0;
};

class Expand : public ExpandTest {};
class Rescan : public ExpandTest {};

// An expand of "/" and of "/sub" pushes exactly what find lists below it,
// and never the working folder.
TEST_F(Expand, RootPathsExact) {
  Make();
  Dir("/sub");
  Dir("/sub/deeper");
  File("/sub/deeper/f");
  File("/top");
  File("/.ZarqelonWorkingDirectory/tmp");
  ASSERT_EQ(0, symlink("/etc", rig_->local("/link").c_str()));
  ASSERT_EQ(0, mkfifo(rig_->local("/fifo").c_str(), 0600));
  for (const std::string rel : {"/", "/sub"}) {
    SCOPED_TRACE(rel);
    const std::string base = rel == "/" ? "" : rel;
    ScriptedWorker& w = rig_->holding(FolderEvent(rel, Event::F_EXPAND));
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpand));
    const auto found = testsupport::RunCommand(
        {"find", rig_->local(base), "-mindepth", "1", "(", "-type", "f", "-o", "-type", "d", ")", "-not", "-path",
         "*/.ZarqelonWorkingDirectory*", "-printf", "%y %P\\n"});
    std::vector<std::string> want;
    std::string line;
    std::istringstream lines(found.out);
    while (std::getline(lines, line)) {
      want.push_back("local modify " + base + "/" + line.substr(2) + (line[0] == 'd' ? "/" : ""));
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, Pushed());
  }
  EXPECT_FALSE(rig_->logged("Unsafe path"));
}

// A folder that a download made is expanded once its files are in place:
// a file its upload would find unchanged since its record (size, time and
// signature as recorded) is not pushed. Every other file still is: one that
// changed, one without record or signature, a name the upload renames, a
// name whose content is always hashed; and every folder.
TEST_F(Expand, LeavesOutFilesAsRecorded) {
  WorkerRig::Options options;
  options.force_hash_list = "[File]\nforce_hash_ext = \"chk\"\n";
  Make(std::move(options));
  Dir("/d");
  Dir("/d/sub");
  for (const char* rel : {"/d/same", "/d/sub/deep", "/d/grown", "/d/retimed", "/d/unsigned", "/d/tail.", "/d/x.chk",
                          "/d/unrecorded"}) {
    File(rel, "content");
  }
  Record("/d");
  Record("/d/sub");
  for (const char* rel : {"/d/same", "/d/sub/deep", "/d/grown", "/d/retimed", "/d/tail.", "/d/x.chk"}) {
    Record(rel, 100, true);
  }
  Record("/d/unsigned");
  File("/d/grown", "more content");
  struct utimbuf t{1000000, 1000000};
  ASSERT_EQ(0, utime(rig_->local("/d/retimed").c_str(), &t));
  const auto before = testsupport::TreeSnapshot::Take(rig_->local());

  ScriptedWorker& w = rig_->holding(FolderEvent("/d", Event::F_EXPAND));
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpand));
  EXPECT_EQ((std::vector<std::string>{"local modify /d/grown", "local modify /d/retimed", "local modify /d/sub/",
                                      "local modify /d/tail.", "local modify /d/unrecorded",
                                      "local modify /d/unsigned", "local modify /d/x.chk"}),
            Pushed());
  EXPECT_TRUE(before == testsupport::TreeSnapshot::Take(rig_->local()));

  // On an MS-DOS session the times compare in even seconds.
  File("/odd");
  struct utimbuf odd{1000001, 1000001};
  ASSERT_EQ(0, utime(rig_->local("/odd").c_str(), &odd));
  Record("/odd", 100, true);
  DBFileInfo r;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/odd", r));
  r.fileModTime = 1000000;
  r.signaturePath = "";  // keeps the one in place
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(r));
  for (const bool msdos : {false, true}) {
    SCOPED_TRACE(msdos);
    Registry::Entry e = rig_->entry();
    e.isMSDOS = msdos;
    rig_->setEntry(e);
    ScriptedWorker& w2 = rig_->holding(FolderEvent("/", Event::F_EXPAND));
    EXPECT_EQ(ERR_OK, w2.RealOperation(ScriptedWorker::kExpand));
    std::vector<std::string> pushed = Pushed();
    EXPECT_EQ(msdos ? 0 : 1, std::count(pushed.begin(), pushed.end(), "local modify /odd"));
  }
}

// An expansion of more than a pass queues one pass at a time, its rest as
// a continuation behind the pass's events; together its passes push every
// path below the folder exactly once: what one unbounded pass pushes, also
// where names sort between a folder and its contents by bytes.
TEST_F(Expand, PassesQueueOneBatchEachAndPushEveryPathOnce) {
  Make();
  for (const char* d : {"/e", "/e/a", "/e/a-", "/e/b", "/e/b/c", "/e/b/c/d"}) Dir(d);
  for (const char* f : {"/e/a/1", "/e/a/2", "/e/a/3", "/e/a-/x", "/e/a.txt", "/e/b/1", "/e/b/c/1", "/e/b/c/2",
                        "/e/b/c/d/1", "/e/top"}) {
    File(f);
  }
  EventManager& em = *EventManager::getInstance();
  // One pass: its queued paths, and its continuation if any.
  auto run = [&](const Event& ev, size_t batch, std::vector<std::string>& paths) {
    ScriptedWorker& w = rig_->holding(ev);
    w.set_rescan_batch(batch);
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpand));
    testsupport::RecordingTask task;
    Event out, next, handed;
    size_t queued = 0;
    while (em.PullEvent(&task, out) == 0) {
      if (out.isExpand()) {
        EXPECT_FALSE(next.isValid()) << "two continuations";
        next = out;
      } else {
        ++queued;
        paths.push_back(std::string(out.m_path.c_str_utf8()) + (out.isDir() ? "/" : ""));
      }
      while (em.DoneEvent(&task, handed) < 0) {
      }
    }
    EXPECT_LE(queued, batch) << "one pass queued more than its batch";
    return next;
  };

  std::vector<std::string> want;
  EXPECT_FALSE(run(FolderEvent("/e", Event::F_EXPAND), 1000, want).isValid());
  std::sort(want.begin(), want.end());
  ASSERT_EQ(15u, want.size());  // 5 folders and 10 files
  constexpr size_t kBatch = 3;
  std::vector<std::string> got;
  Event ev = FolderEvent("/e", Event::F_EXPAND);
  size_t passes = 0;
  do {
    ASSERT_LT(++passes, 20u) << "the passes do not end";
    ev = run(ev, kBatch, got);
  } while (ev.isValid());
  EXPECT_GE(passes, want.size() / kBatch);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(want, got);
}

// A rescan and an expand of "/" never walk into the working folder: no
// pushes, no "Unsafe path" line, nothing of it on the server side, bytes
// untouched.
TEST_F(Rescan, WorkingFolderNeverUploaded) {
  Make();
  Dir("/.ZarqelonWorkingDirectory/#ZarqRecycle");
  Dir("/.ZarqelonWorkingDirectory/#ZarqRecycle/ab12cd34");
  File("/.ZarqelonWorkingDirectory/#ZarqRecycle/ab12cd34/x", "recycled");
  File("/.ZarqelonWorkingDirectory/partial", "half a download");
  File("/real", "real");
  const auto before = testsupport::TreeSnapshot::Take(rig_->local());
  ScriptedWorker& w = rig_->holding(FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN));
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
  EXPECT_EQ(std::vector<std::string>{"local modify /real"}, Pushed());
  ScriptedWorker& w2 = rig_->holding(FolderEvent("/", Event::F_EXPAND));
  EXPECT_EQ(ERR_OK, w2.RealOperation(ScriptedWorker::kExpand));
  EXPECT_EQ(std::vector<std::string>{"local modify /real"}, Pushed());
  EXPECT_FALSE(rig_->logged("Unsafe path"));
  EXPECT_FALSE(rig_->logged("ZarqRecycle"));
  EXPECT_TRUE(before == testsupport::TreeSnapshot::Take(rig_->local()));
}

// A worker built on a queue of its own: its rescan's and expansion's
// events, local and server ones, go into that queue and none into the
// process-wide one, which a pass of the daemon's workers would otherwise
// carry out for a session they do not serve.
TEST_F(Rescan, OwnQueueTakesEveryPush) {
  Make();
  Dir("/d");
  File("/d/new");
  File("/d/gone");
  Record("/d");
  Record("/d/gone");
  ASSERT_EQ(0, unlink(rig_->local("/d/gone").c_str()));
  EventManager own;
  EventGenerator generator(own);
  UiNotifier notifier(8, [](const PObject&, const std::atomic<int>*) { return 0; });
  UiReporter ui(notifier);
  FileStatusDBRows file_status;
  const Worker::Collaborators with{own, Registry::getInstance(), *ConnectionManager::getInstance(),
                                   *FilterDB::getInstance(), *BlackList2::getInstance(), file_status,
                                   ui, generator, testsupport::ShortTiming()};
  const struct {
    uint32_t bits;
    ScriptedWorker::Op op;
    std::vector<std::string> want;
  } cases[] = {
      {Event::F_EXPAND | Event::F_RESCAN, ScriptedWorker::kRescan, {"local modify /d/new", "local remove /d/gone"}},
      {Event::F_EXPAND | Event::F_RESCAN | Event::F_MERGE, ScriptedWorker::kRescan,
       {"local modify /d/new", "server modify /d/gone"}},
      {Event::F_EXPAND, ScriptedWorker::kExpand, {"local modify /d/new"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    ScriptedWorker w(with);
    w.Inject(FolderEvent("/d", c.bits));
    ASSERT_EQ(0, w.UpdateContext());
    EXPECT_EQ(ERR_OK, w.RealOperation(c.op));
    std::vector<std::string> want = c.want;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, testsupport::TakeQueued(own));
    EXPECT_EQ(std::vector<std::string>{}, Pushed());
  }
  // A server removal below a folder (a subfolder rescan's) goes there too.
  Event ev = rig_->serverEvent(Event::EV_REMOVE, "/d", 200, true);
  ev.setServerSubDirRescan();
  ScriptedWorker w(with);
  w.Inject(ev);
  ASSERT_EQ(0, w.UpdateContext());
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpandDelete));
  EXPECT_EQ(std::vector<std::string>{"server remove /d/gone"}, testsupport::TakeQueued(own));
  EXPECT_EQ(std::vector<std::string>{}, Pushed());
}

// The rescan's decisions on disk: new, changed, gone, kinds swapped, with
// and without merge; a folder before its contents in the log.
TEST_F(Rescan, Decisions) {
  Make();
  Dir("/d");
  File("/d/same");
  File("/d/changed", "old");
  File("/d/gone");
  File("/d/kind");
  Record("/d");
  Record("/d/same");
  Record("/d/changed");
  Record("/d/gone");
  Record("/d/kind");
  File("/d/changed", "newer bytes");
  ASSERT_EQ(0, unlink(rig_->local("/d/gone").c_str()));
  ASSERT_EQ(0, unlink(rig_->local("/d/kind").c_str()));
  Dir("/d/kind");
  File("/d/new");
  for (const bool merge : {false, true}) {
    SCOPED_TRACE(merge);
    ScriptedWorker& w =
        rig_->holding(FolderEvent("/d", Event::F_EXPAND | Event::F_RESCAN | (merge ? static_cast<uint32_t>(Event::F_MERGE) : 0u)));
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
    std::vector<std::string> want{"local modify /d/changed", "local modify /d/kind/", "local modify /d/new"};
    if (merge) {
      want.push_back("server modify /d/gone");
      want.push_back("server modify /d/kind");
    } else {
      want.push_back("local remove /d/gone");
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, Pushed());
  }
}

// A rescan of more than a pass queues one pass at a time, its rest as a
// continuation behind the pass's events, and its passes together decide
// every path exactly once and nothing else: the decisions of one unbounded
// pass. Whether the earlier passes' events were carried out (recorded, and
// with them the folders above) or not (failed, or still in progress) makes
// no difference: a folder whose contents span passes is still uploaded, a
// pass never repeats a decision, and the passes always end.
TEST_F(Rescan, PassesQueueOneBatchEachAndDecideEveryPathOnce) {
  Make();
  for (const char* d : {"/a", "/b", "/b/c", "/b/c/d"}) Dir(d);
  for (const char* f : {"/a/1", "/a/2", "/a/3", "/a/4", "/a.txt", "/b/1", "/b/c/1", "/b/c/2", "/b/c/d/1", "/top",
                        "/gone"}) {
    File(f);
  }
  Record("/a");
  Record("/a/1");  // unchanged: decided by no pass
  Record("/gone");
  ASSERT_EQ(0, unlink(rig_->local("/gone").c_str()));
  constexpr size_t kBatch = 3;

  EventManager& em = *EventManager::getInstance();
  // One pass: its queued events by name, and its continuation if any.
  auto run = [&](const Event& ev, size_t batch, bool carry_out, std::vector<std::string>& names) {
    ScriptedWorker& w = rig_->holding(ev);
    w.set_rescan_batch(batch);
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
    testsupport::RecordingTask task;
    Event out, next, handed;
    size_t queued = 0;
    while (em.PullEvent(&task, out) == 0) {
      if (out.isRescan()) {
        next = out;
      } else {
        ++queued;
        static const char* kTypes[] = {"empty", "create", "remove", "modify", "rename"};
        names.push_back(std::string(out.isServerEvent() ? "server " : "local ") + kTypes[out.m_type] + " " +
                        out.m_path.c_str_utf8() + (out.isDir() ? "/" : ""));
        if (carry_out) {
          const std::string path = out.m_path.c_str_utf8();
          if (out.m_type == Event::EV_REMOVE) {
            EXPECT_EQ(0, rig_->eventDb().rmEventInfo(out.m_path));
          } else {
            Record(path);
          }
        }
      }
      while (em.DoneEvent(&task, handed) < 0) {
      }
    }
    // Plus the folders above the pass's last decision (three at most here).
    EXPECT_LE(queued, batch + 3) << "one pass queued more than its batch";
    return next;
  };

  std::vector<std::string> want;
  EXPECT_FALSE(run(FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN), 1000, false, want).isValid());
  std::sort(want.begin(), want.end());
  ASSERT_EQ(13u, want.size());  // 3 folders and 9 files to upload, 1 remove

  for (const bool carry_out : {false, true}) {
    SCOPED_TRACE(carry_out ? "passes carried out" : "passes not carried out");
    std::vector<std::string> got;
    Event ev = FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN);
    size_t passes = 0;
    do {
      ASSERT_LT(++passes, 20u) << "the passes do not end";
      ev = run(ev, kBatch, carry_out, got);
    } while (ev.isValid());
    EXPECT_GE(passes, want.size() / (kBatch + 3) + 1);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(want, got);
    // Back to the state before, for the next round.
    for (const char* p : {"/b", "/b/c", "/b/c/d", "/a/2", "/a/3", "/a/4", "/a.txt", "/b/1", "/b/c/1", "/b/c/2",
                          "/b/c/d/1", "/top"}) {
      ASSERT_EQ(0, rig_->eventDb().rmEventInfo(p));
    }
    Record("/a");
    File("/gone");
    Record("/gone");
    ASSERT_EQ(0, unlink(rig_->local("/gone").c_str()));
  }
}

// On an MS-DOS session the rescan compares even seconds.
TEST_F(Rescan, EvenSecondsOnMsdos) {
  Make();
  File("/odd");
  struct utimbuf t{1000001, 1000001};
  ASSERT_EQ(0, utime(rig_->local("/odd").c_str(), &t));
  Record("/odd");
  DBFileInfo r;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/odd", r));
  r.fileModTime = 1000000;
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(r));
  Registry::Entry e = rig_->entry();
  e.isMSDOS = true;
  rig_->setEntry(e);
  ScriptedWorker& w = rig_->holding(FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN));
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
  EXPECT_TRUE(Pushed().empty());
  e.isMSDOS = false;
  rig_->setEntry(e);
  ScriptedWorker& w2 = rig_->holding(FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN));
  EXPECT_EQ(ERR_OK, w2.RealOperation(ScriptedWorker::kRescan));
  EXPECT_EQ(std::vector<std::string>{"local modify /odd"}, Pushed());
}

// Everything of a recorded folder moved out, as an unmount leaves its mount
// point: no event below it, with or without merge; the root too.
TEST_F(Rescan, EmptyMountPointPushesNothing) {
  Make();
  Dir("/mnt");
  File("/mnt/a");
  Dir("/mnt/b");
  File("/mnt/b/c");
  File("/top");
  for (const char* rel : {"/mnt", "/mnt/a", "/mnt/b", "/mnt/b/c", "/top"}) Record(rel);
  ASSERT_EQ(0, rename(rig_->local("/mnt").c_str(), Path("away").c_str()));
  Dir("/mnt");
  for (const bool merge : {false, true}) {
    for (const std::string target : {"/", "/mnt"}) {
      SCOPED_TRACE(target + (merge ? " merge" : ""));
      ScriptedWorker& w = rig_->holding(
          FolderEvent(target, Event::F_EXPAND | Event::F_RESCAN | (merge ? static_cast<uint32_t>(Event::F_MERGE) : 0u)));
      EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
      EXPECT_TRUE(Pushed().empty());
    }
  }
  // The root emptied (its working folder aside).
  ASSERT_EQ(0, unlink(rig_->local("/top").c_str()));
  ASSERT_EQ(0, rmdir(rig_->local("/mnt").c_str()));
  for (const bool merge : {false, true}) {
    ScriptedWorker& w =
        rig_->holding(FolderEvent("/", Event::F_EXPAND | Event::F_RESCAN | (merge ? static_cast<uint32_t>(Event::F_MERGE) : 0u)));
    EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kRescan));
    EXPECT_TRUE(Pushed().empty()) << merge;
  }
  EXPECT_TRUE(rig_->logged("kept out of the rescan"));
}

// A subfolder that cannot be listed (mode 000, as an unprivileged user):
// nothing below it is pushed; a new file beside it is.
TEST_F(Rescan, UnlistableFolderKeepsRecords) {
  const std::string root = Path();
  ASSERT_EQ(0, chmod(root.c_str(), 0777));
  const int rc = testsupport::RunInChild(
      [&] {
        int failures = 0;
        {
          WorkerRig rig(root);
          const std::string locked = rig.local("/locked");
          if (mkdir(locked.c_str(), 0700) != 0) return 10;
          std::ofstream(locked + "/inside") << "x";
          for (const char* rel : {"/locked", "/locked/inside"}) {
            struct stat st;
            lstat(rig.local(rel).c_str(), &st);
            DBFileInfo r;
            r.path = rel;
            r.syncID = r.maxSyncID = 50;
            r.fileType = S_ISDIR(st.st_mode) ? 1 : 0;
            r.fileSize = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
            r.fileModTime = static_cast<uint32_t>(st.st_mtime);
            if (rig.eventDb().setEventInfo(r) != 0) return 11;
          }
          std::ofstream(rig.local("/beside")) << "new";
          chmod(locked.c_str(), 0);
          Event ev = rig.localEvent(Event::EV_CREATE, "/", true);
          ev.m_mode |= Event::F_EXPAND | Event::F_RESCAN;
          ScriptedWorker& w = rig.holding(ev);
          if (w.RealOperation(ScriptedWorker::kRescan) != ERR_OK) ++failures;
          testsupport::RecordingTask task;
          Event got;
          std::vector<std::string> pushed;
          for (int misses = 0; misses < 3;) {
            if (EventManager::getInstance()->PullEvent(&task, got) < 0) {
              ++misses;
              continue;
            }
            pushed.push_back(got.m_path.c_str_utf8());
            Event next;
            while (EventManager::getInstance()->DoneEvent(&task, next) < 0) {
            }
          }
          if (pushed != std::vector<std::string>{"/beside"}) failures += 100;
          chmod(locked.c_str(), 0700);
        }
        return failures;
      },
      true);
  EXPECT_EQ(0, rc);
}

}  // namespace

namespace {

class SubfolderRescan : public ExpandTest {};

// A server folder delete expands into deletes of the direct children whose
// records are not newer than the delete.
TEST_F(SubfolderRescan, ServerDeleteGoesUpToItsSyncIdOnly) {
  Make();
  Dir("/s");
  File("/s/old");
  File("/s/newer");
  Dir("/s/sub");
  File("/s/sub/deep");
  Record("/s", 10);
  Record("/s/old", 10);
  Record("/s/newer", 30);
  Record("/s/sub", 10);
  Record("/s/sub/deep", 10);
  Event ev = rig_->serverEvent(Event::EV_REMOVE, "/s", 20, true);
  ev.setServerSubDirRescan();
  ScriptedWorker& w = rig_->holding(ev);
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpandDelete));
  EXPECT_EQ((std::vector<std::string>{"server remove /s/old", "server remove /s/sub/"}), Pushed());
}

// A local subfolder rescan compares one level, without the working folder,
// with the times as listed.
TEST_F(SubfolderRescan, LocalOneLevel) {
  Make();
  Dir("/l");
  File("/l/kept");
  File("/l/gone");
  Dir("/l/sub");
  File("/l/sub/deep");
  for (const char* rel : {"/l", "/l/kept", "/l/gone", "/l/sub", "/l/sub/deep"}) Record(rel);
  ASSERT_EQ(0, unlink(rig_->local("/l/gone").c_str()));
  ASSERT_EQ(0, unlink(rig_->local("/l/sub/deep").c_str()));  // below the level: not looked at
  File("/l/fresh");
  Event ev = rig_->localEvent(Event::EV_REMOVE, "/l", true);
  ev.setLocalSubDirRescan();
  ScriptedWorker& w = rig_->holding(ev);
  EXPECT_EQ(ERR_OK, w.RealOperation(ScriptedWorker::kExpandDelete));
  EXPECT_EQ((std::vector<std::string>{"local modify /l/fresh", "local remove /l/gone"}), Pushed());
}

// After a subfolder rescan: without _STAT the folder's own event is queued
// again as a bare folder event; with _STAT an upload (folder present) or a
// forced download (folder absent).
TEST_F(SubfolderRescan, CreateDirSelfEvent) {
  Make();
  Dir("/here");
  Record("/here");
  DBFileInfo r;
  r.path = "/absent";
  r.fileType = 1;
  r.syncID = r.maxSyncID = 40;
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(r));
  struct Row {
    const char* path;
    uint32_t bits;
    bool server;
    std::string want;
  };
  const Row rows[] = {
      {"/here", Event::F_LOCAL_SUBDIR_RESCAN, false, "local create /here/"},
      {"/here", Event::F_SERVER_SUBDIR_RESCAN, true, "server create /here/"},
      {"/here", Event::F_LOCAL_SUBDIR_RESCAN_STAT, false, "local modify /here/"},
      {"/absent", Event::F_SERVER_SUBDIR_RESCAN_STAT, true, "server modify /absent/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.want);
    Event ev = row.server ? rig_->serverEvent(Event::EV_CREATE, row.path, 40, true)
                          : rig_->localEvent(Event::EV_CREATE, row.path, true);
    ev.m_mode |= row.bits;
    ScriptedWorker& w = rig_->holding(ev);
    w.CreateDirSelfEvent();
    EXPECT_EQ(std::vector<std::string>{row.want}, Pushed());
  }
}

}  // namespace
