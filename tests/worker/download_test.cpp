// Downloads of server changes against the storage-server stand-in: the
// cheap ways (echo, merge, local copy), whole and delta bodies, the conflict
// test, and the faults a peer or a user can cause (a cut body, a reply
// without a version, an oversize body, a save right before the rename).
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download_fixture.h"
#include "foundation/file_op.h"
#include "foundation/tmp_name_gen.h"
#include "protocol/proto_common.h"
#include "session/file_event_db.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"
#include "worker/worker_error.h"

namespace {

using namespace downloadtest;  // the fixture's helpers and names
using namespace std::chrono_literals;

// ---- Whole, delta, reference ----

TEST_F(DownloadTest, WholeFileReachesPathAndRecord) {
  const std::string bytes = Pattern(300000, 1);
  rig_->server().Put("/n.bin", bytes, 1500000001);
  ScriptedWorker* w = nullptr;
  ASSERT_EQ(ERR_OK, Download(ServerChange("/n.bin"), &w));
  EXPECT_TRUE(Slurp(rig_->local("/n.bin")) == bytes);
  const DBFileInfo rec = Record("/n.bin");
  EXPECT_EQ(rig_->server().Head(), rec.syncID);
  EXPECT_EQ(OpensslMd4(rig_->local("/n.bin")), rec.fileCheckSum.c_str_utf8());
  EXPECT_EQ(1500000001u, rec.fileModTime);
  EXPECT_TRUE(IsFileExist(rec.signaturePath, false));
  EXPECT_EQ(Worker::NOTIFY_SERVER_MODIFY, w->notify_event_type);
  EXPECT_EQ("", Leftovers(Working()));
}

TEST_F(DownloadTest, DeltaAgainstRecordedCopy) {
  std::string v1 = Pattern(400000, 2);
  const uint64_t s1 = rig_->server().Put("/d.bin", v1);
  Recorded("/d.bin", v1, s1);
  std::string v2 = v1;
  for (size_t i = 0; i < v2.size(); i += 40000) v2[i] ^= 0x5A;
  rig_->server().Put("/d.bin", v2);
  ASSERT_EQ(ERR_OK, Download(ServerChange("/d.bin")));
  // rdiff made the delta: equal bytes mean its format was read.
  EXPECT_TRUE(Slurp(rig_->local("/d.bin")) == Content("/d.bin"));
  const auto reqs = rig_->requests();
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(s1, reqs.back()["request"].value("sync_id", uint64_t{0}));
  EXPECT_EQ(OpensslMd4(rig_->local("/d.bin")), Record("/d.bin").fileCheckSum.c_str_utf8());
  EXPECT_EQ("", Leftovers(Working()));
}

TEST_F(DownloadTest, EchoAndFastMergeSendNothing) {
  const std::string v1 = Pattern(1000, 3);
  const uint64_t s1 = rig_->server().Put("/e.txt", v1, 1600000000);
  Recorded("/e.txt", v1, s1);
  // The recorded version again, with the file changed meanwhile: an echo.
  Spill(rig_->local("/e.txt"), "edited");
  ASSERT_EQ(ERR_OK, Download(ServerChange("/e.txt")));
  EXPECT_EQ("edited", Slurp(rig_->local("/e.txt")));
  EXPECT_TRUE(rig_->logged("is already up-to-date (server echo)"));
  // A newer version describing exactly the recorded file: only ids move.
  Recorded("/e.txt", v1, s1);
  Event ev = ServerChange("/e.txt");
  ev.m_sync_id = ev.m_max_id = s1 + 5;
  ASSERT_EQ(ERR_OK, Download(ev));
  EXPECT_EQ(s1 + 5, Record("/e.txt").syncID);
  EXPECT_TRUE(rig_->logged("fast event merge for"));
  EXPECT_EQ(0u, Count("resume_download"));
}

TEST_F(DownloadTest, MergeTakesServerTimeWithoutTransfer) {
  const std::string v1 = Pattern(5000, 4);
  const uint64_t s1 = rig_->server().Put("/m.txt", v1, 1600000000);
  Recorded("/m.txt", v1, s1, 1600000000);
  rig_->server().Put("/m.txt", v1, 1700000000);  // same bytes, another time
  ScriptedWorker* w = nullptr;
  ASSERT_EQ(ERR_OK, Download(ServerChange("/m.txt"), &w));
  struct stat st;
  ASSERT_EQ(0, stat(rig_->local("/m.txt").c_str(), &st));
  EXPECT_EQ(1700000000, st.st_mtime);
  EXPECT_EQ(1700000000u, Record("/m.txt").fileModTime);
  EXPECT_EQ(0u, Count("resume_download"));
  EXPECT_EQ(Worker::NOTIFY_SERVER_MODIFY, w->notify_event_type);
}

TEST_F(DownloadTest, ServerRefusals) {
  struct Case {
    uint32_t code;
    ErrorCode result;
  } cases[] = {{SPROTO_ERR_DOWNLOAD_NOFILE, ERR_OK}, {0xB001, ERR_INT}, {0x7000, ERR_INT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const std::string rel = "/r" + std::to_string(c.code) + ".txt";
    const uint64_t s1 = rig_->server().Put(rel, "old");
    Recorded(rel, "old", s1);
    rig_->server().Put(rel, "new");
    rig_->server().Fault({{"action", "resume_download"}, {"error", c.code}});
    ScriptedWorker* w = nullptr;
    EXPECT_EQ(c.result, Download(ServerChange(rel), &w));
    EXPECT_TRUE(w->cached_request.isEmpty());
    if (c.code == SPROTO_ERR_DOWNLOAD_NOFILE) {
      // Handled as a server delete: the unchanged file is recycled.
      EXPECT_FALSE(IsFileExist(rig_->local(rel).c_str(), false));
      EXPECT_EQ(0u, Record(rel).syncID);
    } else {
      EXPECT_EQ("old", Slurp(rig_->local(rel)));
      EXPECT_EQ(s1, Record(rel).syncID);
    }
  }
  // 0x7000 is not done: the error policy gives the event back.
  EXPECT_NE(WorkerAction::kDone, WorkerErrorRowOf(ERR_INT).action);
}

TEST_F(DownloadTest, MsdosTimeEven) {
  Registry::Entry e = rig_->entry();
  e.isMSDOS = true;
  rig_->setEntry(e);
  rig_->server().Put("/t.txt", "even", 1000001);
  ASSERT_EQ(ERR_OK, Download(ServerChange("/t.txt")));
  struct stat st;
  ASSERT_EQ(0, stat(rig_->local("/t.txt").c_str(), &st));
  EXPECT_EQ(1000000, st.st_mtime);
  EXPECT_EQ(1000000u, Record("/t.txt").fileModTime);
}

// ---- Conflicts ----

TEST_F(DownloadTest, EditedFileKeptUnderConflictName) {
  const std::string v1 = Pattern(20000, 5);
  const uint64_t s1 = rig_->server().Put("/c.txt", v1);
  Recorded("/c.txt", v1, s1);
  Spill(rig_->local("/c.txt"), "the user's edit");
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  rig_->server().Put("/c.txt", Pattern(20000, 6));
  ASSERT_EQ(ERR_OK, Download(ServerChange("/c.txt")));
  EXPECT_TRUE(Slurp(rig_->local("/c.txt")) == Content("/c.txt"));
  const std::string sibling = ConflictSibling("/c.txt");
  ASSERT_NE("", sibling);
  EXPECT_EQ("the user's edit", Slurp(rig_->local(sibling)));
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

TEST_F(DownloadTest, ConflictVerdicts) {
  using V = ScriptedWorker::Verdict;
  ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_MODIFY, "/v.txt", 99));
  const std::string recorded = "recorded!";
  Recorded("/v.txt", recorded, 5);
  DBFileInfo rec = Record("/v.txt");
  auto reply_for = [&](const std::string& bytes, bool is_dir) {
    const std::string p = Path("srv");
    Spill(p, bytes);
    PObject r;
    r["is_dir"] = is_dir ? 1ull : 0ull;
    r["file"]["size"] = static_cast<ull>(bytes.size());
    r["file"]["hash"] = OpensslMd4(p).c_str();
    return r;
  };
  auto verdict = [&](const PObject& reply, const DBFileInfo& record) {
    FILE_INFO local;
    EXPECT_EQ(0, FSStat(rig_->local("/v.txt").c_str(), local, true));
    return w.TestDownloadConflict(local, record, reply);
  };
  const PObject server = reply_for("server's!", false);
  EXPECT_EQ(V::kUnchanged, verdict(server, rec));  // as recorded
  Spill(rig_->local("/v.txt"), "edited!!!");
  EXPECT_EQ(V::kConflict, verdict(server, rec));  // edited, same size
  Spill(rig_->local("/v.txt"), "server's!");
  EXPECT_EQ(V::kAlreadyServer, verdict(server, rec));  // edited to the server's content
  DBFileInfo none;
  EXPECT_EQ(V::kAlreadyServer, verdict(server, none));  // no record, the server's content
  Spill(rig_->local("/v.txt"), "other size");
  EXPECT_EQ(V::kConflict, verdict(server, none));
  ASSERT_EQ(0, unlink(rig_->local("/v.txt").c_str()));
  EXPECT_EQ(V::kVanished, verdict(server, rec));
  EXPECT_EQ(V::kUnchanged, verdict(server, none));
}

// ---- One read of an unchanged local file ----

// Waits until the kernel's coarse clock, which stamps file changes, has
// passed the last change of `path`: only then can a later change be told
// from it by its time.
void WaitPastChange(const std::string& path) {
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  const int64_t changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  for (int i = 0; i < 10000; ++i) {
    struct timespec now;
    ASSERT_EQ(0, clock_gettime(CLOCK_REALTIME_COARSE, &now));
    if (static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec > changed) return;
    std::this_thread::sleep_for(1ms);
  }
  FAIL() << "the coarse clock did not pass the change of " << path;
}

// The recorded v1, and the server's v2 that changes bytes at offset 100000
// (`grow`: inserts 5000 bytes there). Either way the delta carries the
// 2048-byte block of v1 around that offset as new data.
struct BasisCase {
  std::string v1, v2;
};
BasisCase MakeBasisCase(unsigned seed, bool grow) {
  BasisCase c;
  c.v1 = Pattern(300000, seed);
  c.v2 = c.v1;
  if (grow) {
    c.v2.insert(100000, Pattern(5000, seed + 1));
  } else {
    for (size_t i = 100000; i < 100010; ++i) c.v2[i] ^= 0x5A;
  }
  return c;
}

constexpr char kMd4Reused[] = "Basis file unchanged since it was read, MD4 of that read taken";

TEST_F(DownloadTest, UnchangedBasisReadOnceBeforeTheRequest) {
  // Same size: the merge check's read serves the conflict test. Another
  // size: the file is read while the server answers. Either way the test
  // after the transfer reads nothing.
  for (bool grow : {false, true}) {
    SCOPED_TRACE(grow ? "grown" : "same size");
    const std::string rel = grow ? "/grown.bin" : "/same.bin";
    const BasisCase c = MakeBasisCase(20, grow);
    const uint64_t s1 = rig_->server().Put(rel, c.v1);
    Recorded(rel, c.v1, s1);
    WaitPastChange(rig_->local(rel));
    rig_->server().Put(rel, c.v2);
    const size_t reused = rig_->countLogged(kMd4Reused);
    ASSERT_EQ(ERR_OK, Download(ServerChange(rel)));
    EXPECT_TRUE(Slurp(rig_->local(rel)) == c.v2);
    EXPECT_EQ(reused + 1, rig_->countLogged(kMd4Reused));
    EXPECT_EQ("", ConflictSibling(rel));
    EXPECT_EQ(OpensslMd4(rig_->local(rel)), Record(rel).fileCheckSum.c_str_utf8());
  }
  EXPECT_FALSE(rig_->logged("Basis file is locally modified"));
  EXPECT_EQ("", Leftovers(Working()));
}

TEST_F(DownloadTest, EditDuringTransferReadAgainAndKept) {
  // The user saves the file, keeping its size, while the body is on its
  // way. Within the block the server changed the rebuild still comes out
  // right, and only a new read of the file shows the edit; elsewhere the
  // rebuild is wrong. Setting the time back leaves only the change time.
  struct Case {
    const char* name;
    bool grow;
    size_t at;         // the byte the user changes
    bool old_time;     // the modification time set back to the recorded one
    ErrorCode result;
    bool server_in_place;  // the server's version at the path afterwards
  } cases[] = {
      {"same size, in the changed block", false, 99000, false, ERR_OK, true},
      {"same size, time set back", false, 99000, true, ERR_OK, true},
      {"same size, elsewhere", false, 200000, false, ERR_INT, false},
      {"grown, in the changed block", true, 99000, false, ERR_OK, true},
      {"grown, time set back", true, 99000, true, ERR_OK, true},
  };
  unsigned seed = 30;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string rel = "/e" + std::to_string(seed) + ".bin";
    const BasisCase c = MakeBasisCase(seed++, k.grow);
    const uint64_t s1 = rig_->server().Put(rel, c.v1);
    Recorded(rel, c.v1, s1);
    WaitPastChange(rig_->local(rel));
    rig_->server().Put(rel, c.v2);
    std::string edited = c.v1;
    edited[k.at] ^= 0x33;
    TreeSnapshot before;  // the tree as the user left it
    const size_t reused = rig_->countLogged(kMd4Reused);
    ScriptedWorker& w = rig_->holding(ServerChange(rel));
    w.SetOnBodyReceived([&](ScriptedWorker&) {
      Spill(rig_->local(rel), edited);
      if (k.old_time) {
        ASSERT_EQ(0, FSUTime(rig_->local(rel).c_str(), 1600000000, 1600000000));
      }
      before = TreeSnapshot::Take(rig_->local(), {.skip_working_folder = true});
    });
    EXPECT_EQ(k.result, w.RealOperation(ScriptedWorker::kDownload));
    EXPECT_EQ(reused, rig_->countLogged(kMd4Reused));
    const std::string sibling = ConflictSibling(rel);
    ASSERT_NE("", sibling);
    EXPECT_TRUE(Slurp(rig_->local(sibling)) == edited);
    if (k.server_in_place) {
      EXPECT_TRUE(Slurp(rig_->local(rel)) == c.v2);
    } else {
      EXPECT_FALSE(IsFileExist(rig_->local(rel).c_str(), false));
      EXPECT_EQ(0u, w.patch_err_count);
    }
    ExpectNothingLost(before, TreeSnapshot::Take(rig_->local(), {.skip_working_folder = true}), rig_->storeSha256());
  }
  EXPECT_EQ("", Leftovers(Working()));
}

TEST_F(DownloadTest, CorruptDeltaOnUnchangedBasis) {
  const std::string v1 = Pattern(100000, 7);
  const uint64_t s1 = rig_->server().Put("/p.bin", v1);
  Recorded("/p.bin", v1, s1);
  std::string v2 = v1;
  v2[500] ^= 1;
  rig_->server().Put("/p.bin", v2);
  // A flipped byte in the literal data: the rebuild's MD4 is wrong.
  rig_->server().Fault({{"action", "resume_download"}, {"corrupt_body_byte", 40}, {"count", -1}});
  ScriptedWorker* w = nullptr;
  EXPECT_EQ(ERR_SYS, Download(ServerChange("/p.bin"), &w));
  EXPECT_EQ(1u, w->patch_err_count);
  EXPECT_TRUE(Slurp(rig_->local("/p.bin")) == v1);
  EXPECT_EQ(s1, Record("/p.bin").syncID);
  EXPECT_TRUE(rig_->logged("Basis unchanged but cannot prepare file (incorrect patch file)"));
  EXPECT_EQ("", Leftovers(Working()));
  // Once the user has edited it, the edit is kept and the event retried.
  Spill(rig_->local("/p.bin"), "edit");
  EXPECT_EQ(ERR_INT, Download(ServerChange("/p.bin")));
  EXPECT_EQ("edit", Slurp(rig_->local(ConflictSibling("/p.bin"))));
  // A local file already at the new content is taken as it is.
  rig_->server().ClearFaults();
  Recorded("/p.bin", v1, s1);
  rig_->server().Fault({{"action", "resume_download"}, {"corrupt_body_byte", 40}, {"count", -1}});
  Spill(rig_->local("/p.bin"), v2);
  EXPECT_EQ(ERR_OK, Download(ServerChange("/p.bin")));
  EXPECT_TRUE(Slurp(rig_->local("/p.bin")) == v2);
  EXPECT_EQ(OpensslMd4(rig_->local("/p.bin")), Record("/p.bin").fileCheckSum.c_str_utf8());
}

// ---- Data safety ----

TEST_F(DownloadTest, ThirdCorruptDeltaThenWholeBody) {
  // Through the loop: every delta on an unchanged basis is bad. After the
  // third the worker asks once for the body whole (no basis). When that
  // one is good the file ends right; when it is bad too, the event ends
  // unapplied and the user interface is told which file, never in silence.
  struct Case {
    const char* name;
    int bad_bodies;  // -1: every body
    ErrorCode last_result;
  } cases[] = {{"whole body good", 3, ERR_OK}, {"whole body bad too", -1, ERR_SYS}};
  ScriptedWorker& w = rig_->addWorker();
  w.UseRealOperations();
  rig_->startWorkers();
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string rel = "/p" + std::to_string(++n) + ".bin";
    // Each case its own content: no local copy of the other applies.
    const std::string v1 = Pattern(60000, 20 + static_cast<unsigned>(n));
    const uint64_t s1 = rig_->server().Put(rel, v1);
    Recorded(rel, v1, s1);
    std::string v2 = v1;
    v2[100] ^= 1;
    rig_->server().Put(rel, v2);
    rig_->server().ClearFaults();
    rig_->server().Fault({{"action", "resume_download"}, {"corrupt_body_byte", 40}, {"count", c.bad_bodies}});
    const size_t requests_before = rig_->requests().size();
    const size_t calls_before = w.calls().size();
    const char* kWholeLine = "patch error count has reached limit, asking for the whole body.";
    const size_t whole_lines = rig_->countLogged(kWholeLine);
    rig_->push(ServerChange(rel));
    ASSERT_TRUE(w.waitForCalls(calls_before + 4, std::chrono::seconds(30))) << rig_->log();
    ASSERT_TRUE(rig_->drain(std::chrono::seconds(10)));
    auto calls = w.calls();
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(calls_before));
    ASSERT_EQ(4u, calls.size());
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(ERR_SYS, calls[i].result) << i;
      EXPECT_EQ(WorkerAction::kRetry, calls[i].action) << i;
    }
    EXPECT_EQ(c.last_result, calls[3].result);
    EXPECT_EQ(WorkerAction::kDone, calls[3].action);
    // Three requests against the recorded basis, then one naming none.
    std::vector<uint64_t> bases;
    const auto reqs = rig_->requests();
    for (size_t i = requests_before; i < reqs.size(); ++i) {
      if (reqs[i]["action"] == "resume_download") bases.push_back(reqs[i]["request"].value("sync_id", uint64_t{99}));
    }
    EXPECT_EQ((std::vector<uint64_t>{s1, s1, s1, 0}), bases);
    EXPECT_EQ(whole_lines + 1, rig_->countLogged(kWholeLine));
    EXPECT_EQ("", Leftovers(Working()));
    // Reports of this file among `messages`.
    auto reports = [&](const std::vector<PObject>& messages) {
      std::vector<PObject> out;
      for (const PObject& m : messages) {
        if (m["notify"].asString() == "locked_file" && m["path"].asString() == rel.c_str()) out.push_back(m);
      }
      return out;
    };
    if (c.last_result == ERR_OK) {
      EXPECT_TRUE(Slurp(rig_->local(rel)) == v2);
      EXPECT_EQ(rig_->server().Head(), Record(rel).syncID);
      EXPECT_EQ(OpensslMd4(rig_->local(rel)), Record(rel).fileCheckSum.c_str_utf8());
      // The success was reported as a finished file; no error went with it.
      ASSERT_TRUE(rig_->ui().waitFor(
          [&](const std::vector<PObject>& m) {
            for (const PObject& x : m) {
              if (x["notify"].asString() == "recent_file" && x["path"].asString() == rel.c_str()) return true;
            }
            return false;
          },
          5s));
      EXPECT_TRUE(reports(rig_->ui().messages()).empty());
    } else {
      EXPECT_TRUE(Slurp(rig_->local(rel)) == v1);
      EXPECT_EQ(s1, Record(rel).syncID);
      EXPECT_TRUE(rig_->logged("event ends unapplied and is reported"));
      ASSERT_TRUE(rig_->ui().waitFor([&](const std::vector<PObject>& m) { return !reports(m).empty(); }, 5s))
          << "no report of the unapplied change";
      const PObject told = reports(rig_->ui().messages()).front();
      EXPECT_EQ(ErrorNumber(ERR_SYS), testsupport::UiStandIn::ErrorCode(told));
      EXPECT_EQ(ustring("server content fails its checksum"), told["error"]["reason"].asString());
      EXPECT_EQ(7u, told["session_id"].asUInt64());
    }
  }
}

// Makes every rename of the calling thread fail with `err`, as a file system
// that refuses the name would: a seccomp filter, which the thread keeps
// until it ends. false when the kernel does not take it.
bool RefuseRenamesOnThisThread(int err) {
#if defined(__x86_64__)
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rename, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
  };
  struct sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
#else
  (void)err;
  return false;
#endif
}

TEST_F(DownloadTest, RefusedNameToldToTheUserInterface) {
  // The final rename of a new file is refused for its name: no retry can
  // help, so the event ends without a record, the body is not left behind,
  // and the user interface hears which file did not arrive and why.
  rig_->server().Put("/n.txt", "the server's new file");
  ScriptedWorker& w = rig_->holding(ServerChange("/n.txt"));
  std::atomic<bool> refused{false};
  w.SetOnBeforeReplace([&](ScriptedWorker&) { refused = RefuseRenamesOnThisThread(ENAMETOOLONG); });
  ErrorCode result = ERR_MAX;  // no code: not run
  // Its own thread: the filter goes with it.
  std::thread([&] { result = w.RealOperation(ScriptedWorker::kDownload); }).join();
  if (!refused) GTEST_SKIP() << "the kernel took no seccomp filter";
  EXPECT_EQ(ERR_OK, result);
  EXPECT_TRUE(rig_->logged("encounter MAX_PATH_ERR when renaming"));
  EXPECT_FALSE(IsFileExist(rig_->local("/n.txt").c_str(), false));
  EXPECT_EQ(0u, Record("/n.txt").syncID);
  EXPECT_EQ("", Leftovers(Working()));
  auto told = [](const std::vector<PObject>& m) {
    for (const PObject& x : m) {
      if (x["notify"].asString() == "locked_file" && x["path"].asString() == "/n.txt") return true;
    }
    return false;
  };
  ASSERT_TRUE(rig_->ui().waitFor(told, 5s)) << "no report of the refused name";
  for (const PObject& x : rig_->ui().messages()) {
    if (x["notify"].asString() != "locked_file") continue;
    EXPECT_EQ(ErrorNumber(ERR_INVAL), testsupport::UiStandIn::ErrorCode(x));
    EXPECT_EQ(ustring("name not accepted by the local file system"), x["error"]["reason"].asString());
    EXPECT_EQ(7u, x["session_id"].asUInt64());
  }
}

TEST_F(DownloadTest, ReferKeepsEditVisible) {
  // DownloadSafety.ReferKeepsEditVisible
  const std::string v1 = "0123456789";
  const uint64_t s1 = rig_->server().Put("/r.txt", v1, 1600000000);
  Recorded("/r.txt", v1, s1, 1600000000);
  rig_->server().Put("/r.txt", v1, 1700000000);
  // Edited at the same size; the record is not told.
  Spill(rig_->local("/r.txt"), "abcdefghij");
  ASSERT_EQ(0, FSUTime(rig_->local("/r.txt").c_str(), 1650000000, 1650000000));
  // The server answers with a reference to the local copy.
  rig_->server().Fault({{"action", "resume_download"}, {"set", {{"file.refer", 1}}}, {"omit", {"file.data"}}});
  EXPECT_EQ(ERR_OK, Download(ServerChange("/r.txt")));
  struct stat st;
  ASSERT_EQ(0, stat(rig_->local("/r.txt").c_str(), &st));
  EXPECT_EQ(1650000000, st.st_mtime) << "the edit's time must stay";
  EXPECT_EQ("abcdefghij", Slurp(rig_->local("/r.txt")));
  // The edit still differs from its record, so the watcher's event uploads it.
  EXPECT_EQ(ERR_OK, rig_->holding(rig_->localEvent(Event::EV_MODIFY, "/r.txt")).RealOperation(ScriptedWorker::kUpload));
  EXPECT_EQ("abcdefghij", Content("/r.txt"));
}

TEST_F(DownloadTest, ReplyWithoutVersionRetried) {
  // DownloadSafety.ReplyWithoutVersionRetried
  const json knobs[] = {
      {{"action", "resume_download"}, {"omit", {"sync_id"}}},
      {{"action", "resume_download"}, {"omit", {"file"}}},
      {{"action", "resume_download"}, {"set", {{"file.refer", 1}}}},
  };
  int n = 0;
  for (const json& knob : knobs) {
    SCOPED_TRACE(knob.dump());
    const std::string rel = "/w" + std::to_string(++n) + ".txt";
    const std::string content = "server's content " + std::to_string(n);
    rig_->server().Put(rel, content);
    Spill(rig_->local(rel), "local, never synced");
    rig_->server().ClearFaults();
    rig_->server().Fault(knob);
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    EXPECT_EQ(ERR_SYS, Download(ServerChange(rel)));
    EXPECT_EQ("local, never synced", Slurp(rig_->local(rel)));
    EXPECT_EQ(0u, Record(rel).syncID);
    EXPECT_EQ("", Leftovers(Working()));
    EXPECT_NE(WorkerAction::kDone, WorkerErrorRowOf(ERR_SYS).action);
    rig_->server().ClearFaults();
    EXPECT_EQ(ERR_OK, Download(ServerChange(rel)));
    EXPECT_EQ(content, Slurp(rig_->local(rel)));
    ExpectNothingLost(before, TreeSnapshot::Take(rig_->local(), {.skip_working_folder = true}), rig_->storeSha256());
  }
}

TEST_F(DownloadTest, OversizeBodyRejected) {
  // DownloadSafety.OversizeBodyRejected: a whole body and a delta that make
  // more than "file"."size" announces.
  for (bool delta : {false, true}) {
    SCOPED_TRACE(delta);
    const std::string rel = delta ? "/o-delta.bin" : "/o-whole.bin";
    const std::string v1 = Pattern(50000, 8);
    const uint64_t s1 = rig_->server().Put(rel, v1);
    if (delta) Recorded(rel, v1, s1);
    std::string v2 = v1 + v1;
    rig_->server().Put(rel, v2);
    rig_->server().Fault({{"action", "resume_download"}, {"set", {{"file.size", 1000}}}});
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    EXPECT_EQ(ERR_SYS, Download(ServerChange(rel)));
    TreeSnapshot after = TreeSnapshot::Take(rig_->local());
    EXPECT_EQ("", before.Diff(after));
    EXPECT_EQ("", Leftovers(Working()));
  }
}

TEST_F(DownloadTest, CutBodyLeavesFileIntact) {
  // DownloadSafety.CutBodyLeavesFileIntact
  const size_t kLen = 300000;
  for (bool delta : {false, true}) {
    for (uint64_t k : {uint64_t{1}, uint64_t{81920}, uint64_t{kLen - 1}}) {
      if (delta && k == kLen - 1) continue;  // a delta is shorter than that
      SCOPED_TRACE(std::to_string(delta) + "/" + std::to_string(k));
      const std::string rel = "/cut" + std::to_string(delta) + "-" + std::to_string(k) + ".bin";
      const std::string v1 = Pattern(kLen, 9);
      const uint64_t s1 = rig_->server().Put(rel, v1);
      Recorded(rel, v1, s1);
      std::string v2 = delta ? v1 : Pattern(kLen, 10 + static_cast<unsigned>(k));
      v2[k % kLen] ^= 0x77;  // each case its own content: no local copy applies
      for (size_t i = 0; i < v2.size(); i += 1000) v2[i] ^= 0x33;
      rig_->server().Put(rel, v2);
      rig_->server().ClearFaults();
      rig_->server().Fault({{"action", "resume_download"}, {"close", "send_bytes"}, {"bytes", k}});
      ScriptedWorker* w = nullptr;
      const Event ev = ServerChange(rel);
      EXPECT_EQ(ERR_IO, Download(ev, &w));
      EXPECT_TRUE(Slurp(rig_->local(rel)) == v1);
      const PObject& cached = w->cached_response;
      const PObject::binary_type partial = cached["file"]["data"].asBinary();
      ASSERT_FALSE(partial.path.empty());
      EXPECT_EQ(0, partial.path.compare(w->context.working_directory, w->context.working_directory.length()));
      // The retry continues from the partial file's length.
      EXPECT_EQ(ERR_OK, w->RealOperation(ScriptedWorker::kDownload));
      const json last = rig_->requests().back()["request"];
      EXPECT_EQ(partial.length, last["file"].value("offset", uint64_t{0}));
      EXPECT_TRUE(Slurp(rig_->local(rel)) == v2);
      EXPECT_EQ("", Leftovers(Working()));
    }
  }
  // A server that ignores the offset sends the body from its start again:
  // the result fails its MD4 and the local file stays.
  const std::string v1 = Pattern(kLen, 11);
  const uint64_t s1 = rig_->server().Put("/ig.bin", v1);
  Recorded("/ig.bin", v1, s1);
  rig_->server().Put("/ig.bin", Pattern(kLen, 12));
  rig_->server().ClearFaults();
  rig_->server().Fault({{"action", "resume_download"}, {"close", "send_bytes"}, {"bytes", 81920}});
  rig_->server().Fault({{"action", "resume_download"}, {"nth", 2}, {"ignore_offset", true}});
  ScriptedWorker* w = nullptr;
  const Event ev = ServerChange("/ig.bin");
  EXPECT_EQ(ERR_IO, Download(ev, &w));
  EXPECT_EQ(ERR_SYS, w->RealOperation(ScriptedWorker::kDownload));
  EXPECT_TRUE(Slurp(rig_->local("/ig.bin")) == v1);
}

TEST_F(DownloadTest, StrayBodiesLeaveNoFile) {
  // Bodies a server sends under keys the download never reads: each lands
  // in the working folder and must go with its reply, whatever the outcome.
  struct Case {
    const char* name;
    std::vector<json> faults;
    ErrorCode result;
  } cases[] = {
      {"beside a whole body", {{{"action", "resume_download"}, {"set", {{"fyle.data", "b64:Ym9keQ=="}}}}}, ERR_OK},
      {"in an unusable reply",
       {{{"action", "resume_download"}, {"set", {{"fyle.data", "b64:Ym9keQ=="}}}, {"omit", {"sync_id"}}}},
       ERR_SYS},
      {"in the token reply", {{{"action", "resume_get_token"}, {"set", {{"junk", "b64:Ym9keQ=="}}}}}, ERR_OK},
      {"before a cut body",
       {{{"action", "resume_download"},
         {"set", {{"aaa.data", "b64:Ym9keQ=="}}},
         {"close", "send_bytes"},
         {"bytes", 1004}}},
       ERR_IO},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string rel = "/stray" + std::to_string(++n) + ".bin";
    const std::string content = Pattern(5000, 30 + n);
    rig_->server().Put(rel, content);
    rig_->server().ClearFaults();
    for (const json& f : c.faults) rig_->server().Fault(f);
    ScriptedWorker* w = nullptr;
    EXPECT_EQ(c.result, Download(ServerChange(rel), &w));
    if (c.result == ERR_IO) {
      // Only the partial body stays, for the retry.
      const std::string partial = w->cached_response["file"]["data"].asBinary().path.c_str_utf8();
      EXPECT_EQ(partial.substr(partial.rfind('/')) + " ", Leftovers(Working()));
      EXPECT_EQ(ERR_OK, w->RealOperation(ScriptedWorker::kDownload));
      EXPECT_TRUE(Slurp(rig_->local(rel)) == content);
    }
    w->ClearCache();
    EXPECT_EQ("", Leftovers(Working()));
  }
}

TEST_F(DownloadTest, SaveBeforeRenameKept) {
  // DownloadSafety.SaveBeforeRenameKept
  const std::string v1 = Pattern(30000, 13);
  const uint64_t s1 = rig_->server().Put("/s.txt", v1);
  Recorded("/s.txt", v1, s1);
  rig_->server().Put("/s.txt", Pattern(30000, 14));
  ScriptedWorker& w = rig_->holding(ServerChange("/s.txt"));
  w.SetOnBeforeReplace([&](ScriptedWorker&) { Spill(rig_->local("/s.txt"), "saved just now"); });
  EXPECT_EQ(ERR_INT, w.RealOperation(ScriptedWorker::kDownload));
  EXPECT_EQ("saved just now", Slurp(rig_->local("/s.txt")));
  EXPECT_EQ(s1, Record("/s.txt").syncID);
  EXPECT_EQ("", Leftovers(Working()));
  // A new file made at a path that was free at the test is never replaced.
  rig_->server().Put("/fresh.txt", "server");
  ScriptedWorker& w2 = rig_->holding(ServerChange("/fresh.txt"));
  w2.SetOnBeforeReplace([&](ScriptedWorker&) { Spill(rig_->local("/fresh.txt"), "made by the user"); });
  EXPECT_EQ(ERR_INT, w2.RealOperation(ScriptedWorker::kDownload));
  EXPECT_EQ("made by the user", Slurp(rig_->local("/fresh.txt")));
  EXPECT_NE(WorkerAction::kDone, WorkerErrorRowOf(ERR_INT).action);
}

TEST_F(DownloadTest, LocalCopyKeepsEdit) {
  // DownloadSafety.LocalCopyKeepsEdit: the server's v2 is found on disk.
  enum Source { kSession, kRecycled, kNeverSynced };
  for (Source source : {kSession, kRecycled, kNeverSynced}) {
    SCOPED_TRACE(source);
    const std::string rel = "/a" + std::to_string(source) + ".txt";
    const std::string v2 = "version two " + std::to_string(source);
    if (source == kNeverSynced) {
      Spill(rig_->local(rel), "never synced");
    } else {
      Recorded(rel, "version one", 5);
      Spill(rig_->local(rel), "the edit");
    }
    if (source == kRecycled) {
      const std::string name = "/recycle" + std::to_string(source);
      Spill(Working() + "/#ZarqRecycle" + name, v2);
      ASSERT_EQ(0, rig_->eventDb().addFileToRecycleBin(name.c_str(), v2.size(),
                                                       OpensslMd4(Working() + "/#ZarqRecycle" + name).c_str(), ""));
    } else {
      Recorded("/b" + std::to_string(source) + ".txt", v2, 6);
    }
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    rig_->server().Put(rel, v2);
    ASSERT_EQ(ERR_OK, Download(ServerChange(rel)));
    EXPECT_EQ(0u, Count("resume_download"));
    EXPECT_EQ(v2, Slurp(rig_->local(rel)));
    const std::string sibling = ConflictSibling(rel);
    ASSERT_NE("", sibling);
    EXPECT_EQ(source == kNeverSynced ? "never synced" : "the edit", Slurp(rig_->local(sibling)));
    ExpectNothingLost(before, TreeSnapshot::Take(rig_->local(), {.skip_working_folder = true}), rig_->storeSha256());
  }
}

TEST_F(DownloadTest, DamagedRecycleRowsMoveNothingIn) {
  // A recycle row whose path climbs out of the recycle folder, with the MD4
  // of the server's version: the file it names (beside the session folder,
  // or the session's own "/x") must stay, and the body come from the server.
  const struct {
    std::string row;
    std::string canary;
  } cases[] = {
      {"/../../../x", Path("x")},
      {"/../../x", rig_->local("/x")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    // A content of its own: a file downloaded before would be copied instead.
    const std::string v2 = "the server's version two of " + c.row;
    Spill(c.canary, v2);
    ASSERT_EQ(0, rig_->eventDb().addFileToRecycleBin(c.row.c_str(), v2.size(), OpensslMd4(c.canary).c_str(), ""));
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    const std::string rel = "/got" + std::to_string(&c - cases) + ".txt";
    rig_->server().Put(rel, v2);
    const size_t bodies = Count("resume_download");
    ASSERT_EQ(ERR_OK, Download(ServerChange(rel)));
    EXPECT_EQ(bodies + 1, Count("resume_download"));
    EXPECT_EQ(v2, Slurp(rig_->local(rel)));
    EXPECT_EQ(v2, Slurp(c.canary));
    // The downloaded file is the session's only change.
    EXPECT_EQ("+ " + rel + " (" + testsupport::Describe(TreeSnapshot::Take(rig_->local()).entries().at(rel)) + ")\n",
              before.Diff(TreeSnapshot::Take(rig_->local())));
    ASSERT_EQ(0, rig_->eventDb().resetRecycleBin());
  }
}

TEST_F(DownloadTest, HostileHashSkipsLookup) {
  // DownloadSafety.HostileHashSkipsLookup
  Recorded("/x.txt", "some content", 5);
  const std::string md4 = Record("/x.txt").fileCheckSum.c_str_utf8();
  std::string upper = md4;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  for (const std::string& hash : {std::string("x' OR '1'='1"), upper}) {
    SCOPED_TRACE(hash);
    Spill(rig_->local("/y.txt"), "mine");
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    Event ev = rig_->serverEvent(Event::EV_MODIFY, "/y.txt", 9);
    ev.m_data_hash = hash.c_str();
    ev.m_data_size = 12;
    ScriptedWorker& w = rig_->holding(ev);
    EXPECT_EQ(ScriptedWorker::LocalCopy::kNone, w.PrepareFileFromLocal());
    EXPECT_EQ("", before.Diff(TreeSnapshot::Take(rig_->local())));
  }
}

TEST_F(DownloadTest, TypeJumpKeepsChangedFolder) {
  // DownloadSafety.TypeJumpKeepsChangedFolder
  RecordedDir("/d", 5);
  Recorded("/d/kept.txt", "recorded", 5);
  Spill(rig_->local("/d/new.txt"), "never synced");
  Recorded("/d/edited.txt", "before", 5);
  Spill(rig_->local("/d/edited.txt"), "after the edit");
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  rig_->server().Put("/d", "the server's file");
  ASSERT_EQ(ERR_OK, Download(ServerChange("/d")));
  EXPECT_EQ("the server's file", Slurp(rig_->local("/d")));
  const std::string sibling = ConflictSibling("/d");
  ASSERT_NE("", sibling);
  EXPECT_EQ("never synced", Slurp(rig_->local(sibling + "/new.txt")));
  EXPECT_EQ("after the edit", Slurp(rig_->local(sibling + "/edited.txt")));
  EXPECT_EQ(0u, Record("/d/kept.txt").syncID);
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

TEST_F(DownloadTest, TypeJumpRecycles) {
  // DownloadSafety.TypeJumpRecycles
  RecordedDir("/d", 5);
  Recorded("/d/one.txt", "one", 5);
  Recorded("/d/two.txt", "two", 5);
  Recorded("/f", "a file", 5);
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  rig_->server().Put("/d", "now a file");
  ASSERT_EQ(ERR_OK, Download(ServerChange("/d")));
  rig_->server().Mkdir("/f");
  ASSERT_EQ(ERR_OK, Download(ServerChange("/f")));
  struct stat st;
  ASSERT_EQ(0, stat(rig_->local("/f").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ("now a file", Slurp(rig_->local("/d")));
  const auto rows = testsupport::RunSqlite3(
      {"-readonly", rig_->eventDbPath(), "SELECT path, fileSize FROM recycle_bin_table ORDER BY path;"});
  ASSERT_EQ(0, rows.exit_code) << rows.err;
  // The folder (size 0), its two files and the recycled file "/f".
  EXPECT_EQ(4, std::count(rows.out.begin(), rows.out.end(), '\n')) << rows.out;
  EXPECT_NE(std::string::npos, rows.out.find("/one.txt|3"));
  EXPECT_NE(std::string::npos, rows.out.find("|6\n"));
  EXPECT_GT(rig_->entry().recycle_time, 0u);
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
}

// ---- Forced download ----

// A forced download (sync id MAX_SYNC_ID, as a released held-back path
// queues it, described by the path's record): nothing is asked of the
// server without a record or while the local file is as recorded; a local
// file that is gone or differs gets the recorded version whole, recorded
// under its own sync id (a record of MAX_SYNC_ID would pass every later
// change of the path for an echo), and an edit is kept aside.
TEST_F(DownloadTest, ForcedDownloadFetchesTheRecordedVersionOnlyWhenTheLocalFileDiffers) {
  enum class Local { kAbsent, kAsRecorded, kEdited, kTouched };
  const struct {
    const char* name;
    bool recorded;
    Local local;
    bool fetched;  // one request for the recorded version, no basis
    const char* logged;
  } rows[] = {
      {"no record, no local file", false, Local::kAbsent, false, "cannot find any record in event DB, skipping"},
      {"no record, a local file", false, Local::kEdited, false, "cannot find any record in event DB, skipping"},
      {"as recorded", true, Local::kAsRecorded, false, "Force download event but NOT LocallyModified"},
      {"deleted locally", true, Local::kAbsent, true, "Convert MAX_SYNC_ID  to target_sync_id"},
      {"edited locally", true, Local::kEdited, true, "Convert MAX_SYNC_ID  to target_sync_id"},
      // Same bytes, another time: merged without a transfer, time put back.
      {"touched only", true, Local::kTouched, false, "is merged successfully"},
  };
  constexpr uint32_t kTime = 1600000000;
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string rel = "/forced" + std::to_string(++n) + ".txt";
    const std::string recorded = Pattern(3000 + n, 40 + n);
    const uint64_t s1 = rig_->server().Put(rel, recorded, kTime);
    if (row.recorded) Recorded(rel, recorded, s1, kTime);
    switch (row.local) {
      case Local::kAbsent:
        (void)unlink(rig_->local(rel).c_str());  // absent already without a record
        break;
      case Local::kAsRecorded:
        break;
      case Local::kEdited:
        Spill(rig_->local(rel), "the user's edit");
        break;
      case Local::kTouched:
        ASSERT_EQ(0, FSUTime(rig_->local(rel).c_str(), kTime + 100, kTime + 100));
        break;
    }
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    const DBFileInfo rec = Record(rel);
    // As the generator makes it: both ids MAX_SYNC_ID, the rest from the record.
    Event forced = rig_->serverEvent(Event::EV_MODIFY, rel, MAX_SYNC_ID);
    forced.m_max_id = MAX_SYNC_ID;
    forced.m_data_size = rec.fileSize;
    forced.m_time = rec.fileModTime;
    forced.m_data_hash = rec.fileCheckSum;
    const size_t requests_before = rig_->requests().size();
    const size_t log_mark = rig_->log().size();

    ASSERT_EQ(ERR_OK, Download(forced));
    EXPECT_NE(std::string::npos, rig_->log().find(row.logged, log_mark)) << rig_->log().substr(log_mark);
    std::vector<json> asked;
    const std::vector<json> requests = rig_->requests();
    for (size_t i = requests_before; i < requests.size(); ++i) {
      if (requests[i].value("action", "") == "resume_download") asked.push_back(requests[i]["request"]);
    }
    if (row.fetched) {
      ASSERT_EQ(1u, asked.size());
      EXPECT_EQ(0u, asked[0].value("sync_id", uint64_t{1}));
      EXPECT_EQ(0u, asked[0].value("max_id", uint64_t{1}));
      EXPECT_EQ(s1, asked[0].value("target_sync_id", uint64_t{0}));
      EXPECT_EQ(rel, asked[0].value("path", ""));
    } else {
      EXPECT_TRUE(asked.empty()) << asked.size() << " requests";
    }
    const DBFileInfo after = Record(rel);
    if (!row.recorded) {
      EXPECT_EQ(0u, after.syncID);
      if (row.local == Local::kAbsent) {
        EXPECT_FALSE(IsFileExist(rig_->local(rel).c_str(), false));
      } else {
        EXPECT_EQ("the user's edit", Slurp(rig_->local(rel)));
      }
    } else {
      EXPECT_TRUE(Slurp(rig_->local(rel)) == recorded);
      EXPECT_EQ(s1, after.syncID);
      EXPECT_EQ(s1, after.maxSyncID);
      EXPECT_EQ(rec.fileCheckSum, after.fileCheckSum);
      struct stat st;
      ASSERT_EQ(0, stat(rig_->local(rel).c_str(), &st));
      EXPECT_EQ(kTime, st.st_mtime);
    }
    const std::string sibling = ConflictSibling(rel);
    if (row.recorded && row.local == Local::kEdited) {
      ASSERT_NE("", sibling);
      EXPECT_EQ("the user's edit", Slurp(rig_->local(sibling)));
    } else {
      EXPECT_EQ("", sibling);
    }
    ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()), rig_->storeSha256());
  }
  EXPECT_EQ("", Leftovers(Working()));
}

// ---- Removes on either side ----

class RemoveTest : public DownloadTest {
 protected:
  ErrorCode RemoveLocal(const Event& ev, ScriptedWorker** out = nullptr) {
    ScriptedWorker& w = rig_->holding(ev);
    if (out != nullptr) *out = &w;
    return w.RealOperation(ScriptedWorker::kRemoveLocal);
  }
  ErrorCode RemoveRemote(const Event& ev) { return rig_->holding(ev).RealOperation(ScriptedWorker::kRemoveRemote); }
  std::string Rows() {
    const auto rows = testsupport::RunSqlite3(
        {"-readonly", rig_->eventDbPath(), "SELECT path, fileSize FROM recycle_bin_table ORDER BY path;"});
    EXPECT_EQ(0, rows.exit_code) << rows.err;
    return rows.out;
  }
};

TEST_F(RemoveTest, ServerDeleteRecyclesOrKeeps) {
  Recorded("/same.txt", "as recorded", 5);
  Recorded("/edited.txt", "as recorded", 5);
  Spill(rig_->local("/edited.txt"), "edited locally");
  Spill(rig_->local("/unsynced.txt"), "never synced");
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  ScriptedWorker* w = nullptr;
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/same.txt", 9), &w));
  EXPECT_EQ(Worker::NOTIFY_SERVER_REMOVE, w->notify_event_type);
  EXPECT_FALSE(IsFileExist(rig_->local("/same.txt").c_str(), false));
  EXPECT_NE(std::string::npos, Rows().find("|11\n"));
  EXPECT_GT(rig_->entry().recycle_time, 0u);
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/edited.txt", 9)));
  EXPECT_EQ("edited locally", Slurp(rig_->local(ConflictSibling("/edited.txt"))));
  EXPECT_EQ(0u, Record("/edited.txt").syncID);
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/unsynced.txt", 9)));
  EXPECT_EQ("never synced", Slurp(rig_->local(ConflictSibling("/unsynced.txt"))));
  // Older than the record: nothing moves.
  Recorded("/newer.txt", "newer", 20);
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/newer.txt", 9)));
  EXPECT_EQ("newer", Slurp(rig_->local("/newer.txt")));
  EXPECT_EQ(20u, Record("/newer.txt").syncID);
  // Already gone: the record goes.
  Recorded("/gone.txt", "x", 5);
  ASSERT_EQ(0, unlink(rig_->local("/gone.txt").c_str()));
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/gone.txt", 9)));
  EXPECT_EQ(0u, Record("/gone.txt").syncID);
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()));
}

TEST_F(RemoveTest, ServerFolderDeleteRecyclesMatchingTree) {
  RecordedDir("/d", 5);
  Recorded("/d/a.txt", "aaa", 5);
  RecordedDir("/d/sub", 5);
  Recorded("/d/sub/b.txt", "bb", 5);
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/d", 9, true)));
  EXPECT_FALSE(IsFileExist(rig_->local("/d").c_str(), false));
  const std::string rows = Rows();
  // One row for the folder and one per file, all under one recycle name.
  EXPECT_EQ(3, std::count(rows.begin(), rows.end(), '\n')) << rows;
  EXPECT_NE(std::string::npos, rows.find("/a.txt|3"));
  EXPECT_NE(std::string::npos, rows.find("/sub/b.txt|2"));
  EXPECT_EQ(0u, Record("/d").syncID);
  EXPECT_EQ(0u, Record("/d/a.txt").syncID);
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()));
}

TEST_F(RemoveTest, ServerFolderDeleteKeepsUnsynced) {
  // RemoveSafety.ServerFolderDeleteKeepsUnsynced: a recorded file, a new
  // one, and one a selective-sync rule holds back (never recorded).
  RecordedDir("/d", 5);
  Recorded("/d/recorded.txt", "recorded", 5);
  Spill(rig_->local("/d/new.txt"), "new");
  Spill(rig_->local("/d/held.tmp"), "held back");
  const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
  EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, "/d", 9, true)));
  const std::string sibling = ConflictSibling("/d");
  ASSERT_NE("", sibling);
  EXPECT_EQ("new", Slurp(rig_->local(sibling + "/new.txt")));
  EXPECT_EQ("held back", Slurp(rig_->local(sibling + "/held.tmp")));
  EXPECT_EQ(0u, Record("/d").syncID);
  EXPECT_EQ(0u, Record("/d/recorded.txt").syncID);
  EXPECT_EQ("", Rows());
  ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()));
}

TEST_F(RemoveTest, RecycleNeverReplaces) {
  // RemoveSafety.RecycleNeverReplaces: the next recycle name is already
  // taken in the recycle folder.
  for (bool folder : {false, true}) {
    SCOPED_TRACE(folder);
    unsigned char key[256];
    for (int i = 0; i < 256; ++i) key[i] = static_cast<unsigned char>(i * 7 + (folder ? 3 : 1));
    TmpNameGen probe;
    probe.setKeyForTest(key);
    const std::string next = probe.getTmpName().c_str_utf8();
    TmpNameGen::getInstance()->setKeyForTest(key);
    const std::string planted = "/" + next;
    Spill(Working() + "/#ZarqRecycle" + planted, "recycled earlier");
    ASSERT_EQ(0, rig_->eventDb().addFileToRecycleBin(planted.c_str(), 16, "", ""));
    const std::string rel = folder ? "/dir" : "/file.txt";
    if (folder) {
      RecordedDir(rel, 5);
      Recorded(rel + "/in.txt", "inside", 5);
    } else {
      Recorded(rel, "recycled now", 5);
    }
    const TreeSnapshot before = TreeSnapshot::Take(rig_->local());
    EXPECT_EQ(ERR_OK, RemoveLocal(rig_->serverEvent(Event::EV_REMOVE, rel, 9, folder)));
    EXPECT_EQ("recycled earlier", Slurp(Working() + "/#ZarqRecycle" + planted));
    const std::string rows = Rows();
    EXPECT_NE(std::string::npos, rows.find(planted + "|16")) << rows;
    EXPECT_NE(std::string::npos, rows.find(folder ? "/in.txt|6" : "|12")) << rows;
    ExpectNothingLost(before, TreeSnapshot::Take(rig_->local()));
    ASSERT_EQ(0, FSRemove((Working() + "/#ZarqRecycle" + planted).c_str(), false));
    ASSERT_EQ(0, rig_->eventDb().resetRecycleBin());
  }
}

TEST_F(RemoveTest, DownloadedFileRecycledNeverUserFile) {
  ScriptedWorker& w = rig_->holding(rig_->serverEvent(Event::EV_MODIFY, "/x.txt", 9));
  const std::string mine = Working() + "/downloaded";
  Spill(mine, "body");
  EXPECT_EQ(0, w.moveFileToRecycleBin(mine.c_str(), 4, "0123456789abcdef0123456789abcdef", ""));
  EXPECT_FALSE(IsFileExist(mine.c_str(), false));
  EXPECT_NE(std::string::npos, Rows().find("|4"));
}

TEST_F(RemoveTest, LocalDeleteReachesServer) {
  struct Case {
    const char* name;
    json fault;
    bool folder;
    bool record_stays;
  } cases[] = {
      {"plain", nullptr, false, false},
      {"nofile", {{"action", "remove"}, {"error", 0xA001}}, false, false},
      {"modified file", {{"action", "remove"}, {"error", 0xA002}}, false, false},
      {"modified folder", {{"action", "remove"}, {"error", 0xA002}}, true, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string rel = "/l" + std::to_string(++n);
    const uint64_t v = c.folder ? rig_->server().Mkdir(rel) : rig_->server().Put(rel, "x");
    if (c.folder) {
      RecordedDir(rel, v);
      ASSERT_EQ(0, rmdir(rig_->local(rel).c_str()));
    } else {
      Recorded(rel, "x", v);
      ASSERT_EQ(0, unlink(rig_->local(rel).c_str()));
    }
    rig_->server().ClearFaults();
    if (!c.fault.is_null()) rig_->server().Fault(c.fault);
    EXPECT_EQ(ERR_OK, RemoveRemote(rig_->localEvent(Event::EV_REMOVE, rel, c.folder)));
    EXPECT_EQ(c.record_stays, Record(rel).syncID != 0);
  }
  EXPECT_FALSE(rig_->server().Get("/l1").has_value());
  // No record: nothing is sent.
  const size_t sent = Count("remove");
  EXPECT_EQ(ERR_OK, RemoveRemote(rig_->localEvent(Event::EV_REMOVE, "/never")));
  EXPECT_EQ(sent, Count("remove"));
  // A path that exists again: nothing is sent either.
  Recorded("/back.txt", "back", 5);
  EXPECT_EQ(ERR_OK, RemoveRemote(rig_->localEvent(Event::EV_REMOVE, "/back.txt")));
  EXPECT_EQ(sent, Count("remove"));
  EXPECT_EQ("back", Slurp(rig_->local("/back.txt")));
}

TEST_F(RemoveTest, UnsafePathsNeverReachDisk) {
  // The real download and remove operations behind the frame's checks: a
  // server remove of "/" or "/.." and the other unsafe paths act on nothing.
  const std::string outside = Path("outside");
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  Spill(outside + "/x", "outside bytes");
  ASSERT_EQ(0, symlink(outside.c_str(), rig_->local("/ln").c_str()));
  Recorded("/keep", "user bytes", 5);
  const char* paths[] = {"/", "/..", "/../x", "x", "/a/../../x", "/.ZarqelonWorkingDirectory/#ZarqRecycle/y", "/ln/x"};
  const TreeSnapshot before = TreeSnapshot::Take(Path());
  for (const char* path : paths) {
    for (bool remove : {true, false}) {
      ScriptedWorker& w = rig_->addWorker();
      w.UseRealOperations();
      w.Inject(rig_->serverEvent(remove ? Event::EV_REMOVE : Event::EV_MODIFY, path, 9,
                                 std::string(path) == "/"));
    }
  }
  rig_->startWorkers();
  // Every worker has looked at its event: one line each that drops it.
  auto drops = [&] { return rig_->countLogged(", drop event") + rig_->countLogged("Ignore root folder event"); };
  EXPECT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return drops() >= std::size(paths) * 2; }, 20s))
      << drops() << " drops\n"
      << rig_->log();
  rig_->stopWorkers();
  for (size_t i = 0; i < std::size(paths) * 2; ++i) EXPECT_TRUE(rig_->worker(i).calls().empty()) << i;
  const TreeSnapshot after = TreeSnapshot::Take(Path());
  EXPECT_EQ(before.entries().at("/outside/x"), after.entries().at("/outside/x"));
  EXPECT_EQ(before.entries().at("/local/keep"), after.entries().at("/local/keep"));
  EXPECT_EQ("", Rows());
}

}  // namespace
