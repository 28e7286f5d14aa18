// The event tests: rule files written here decide which events may cross,
// which are held back in the filter database, and when a file counts as
// changed locally.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <cstring>
#include <string>

#include "filter/black_list2.h"
#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "platform/fs_type.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"
#include "transport/error_code.h"

namespace {

constexpr FilterVerdict kCarry = FilterVerdict::CarryOut();
constexpr FilterVerdict kFinish = FilterVerdict::Finish();

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;
using namespace std::chrono_literals;

enum Direction { kUp, kDown, kRemoveLocal, kRemoveRemote };

struct FilterCase {
  const char* name;
  const char* system_rules;   // the system black list
  const char* session_rules;  // the session's blacklist.filter
  const char* white_rules;    // the session's whitelist.filter
  Direction direction;
  const char* path;
  bool dir;
  uint64_t local_size;  // bytes written at the path (uploads), or the event's size
  FilterVerdict expected;
  Worker::NotifyEventType notify;
  std::optional<int> recorded;  // the held-back row's filter type, if any
};

const char kAll[] = "[File]\nwhite_ext = \"*\"\n";
const char kDocOnly[] = "[File]\nwhite_ext = \"doc\"\n";
// "/中文/😀.txt" under the session folder counts 3 UTF-16 units for "/中文",
// 3 for "/😀" and 4 for ".txt".
const char kCjkEmoji[] = "/\xE4\xB8\xAD\xE6\x96\x87/\xF0\x9F\x98\x80.txt";

const FilterCase kCases[] = {
    // The white list: files of other extensions are held back in every
    // direction, recorded only for local ones; folders are never subject.
    {"WhiteListUp", "", "", kDocOnly, kUp, "/a.txt", false, 1, kFinish, Worker::NOTIFY_FILTERED, FILTER_EXT_SELECTIVE_SYNC},
    {"WhiteListDown", "", "", kDocOnly, kDown, "/a.txt", false, 1, kFinish, Worker::NOTIFY_FILTERED, std::nullopt},
    {"WhiteListRemoveLocal", "", "", kDocOnly, kRemoveLocal, "/a.txt", false, 1, kFinish, Worker::NOTIFY_FILTERED,
     std::nullopt},
    {"WhiteListRemoveRemote", "", "", kDocOnly, kRemoveRemote, "/a.txt", false, 1, kFinish, Worker::NOTIFY_FILTERED,
     FILTER_EXT_SELECTIVE_SYNC},
    {"WhiteListPassesItsExtension", "", "", kDocOnly, kUp, "/a.doc", false, 1, kCarry, Worker::NOTIFY_NONE,
     std::nullopt},
    {"WhiteListIgnoresFolders", "", "", kDocOnly, kUp, "/d", true, 0, kCarry, Worker::NOTIFY_NONE, std::nullopt},
    // Path length in UTF-16 units of the full local path: the limit is set
    // per test to the exact length (passes) or one less (blocks).
    {"PathLengthAtLimitPasses", "", "max_path=0", kAll, kUp, kCjkEmoji, false, 1, kCarry, Worker::NOTIFY_NONE,
     std::nullopt},
    {"PathLengthOverLimitBlocks", "", "max_path=-1", kAll, kUp, kCjkEmoji, false, 1, kFinish, Worker::NOTIFY_FILTERED,
     std::nullopt},
    {"SystemPathLengthBlocksDownload", "max_path=-1", "", kAll, kDown, kCjkEmoji, false, 1, kFinish,
     Worker::NOTIFY_FILTERED, std::nullopt},
    // Sizes: the system list blocks without a record, even for its
    // selective-sync limit; the session's selective-sync limit records.
    {"SystemSizeBlocksUnrecorded", "[File]\nmax_size = 10\n", "", kAll, kUp, "/big", false, 11, kFinish,
     Worker::NOTIFY_FILTERED, std::nullopt},
    {"SystemSelectiveSizeUnrecorded", "[File]\nmax_size_selective_sync = 10\n", "", kAll, kUp, "/big", false, 11, kFinish,
     Worker::NOTIFY_FILTERED, std::nullopt},
    {"SessionSelectiveSizeRecorded", "", "[File]\nmax_size_selective_sync = 10\n", kAll, kUp, "/big", false, 11, kFinish,
     Worker::NOTIFY_FILTERED, FILTER_FILE_SIZE_SELECTIVE_SYNC},
    {"SessionSizeAtLimitPasses", "", "[File]\nmax_size = 11\n", kAll, kUp, "/big", false, 11, kCarry,
     Worker::NOTIFY_NONE, std::nullopt},
    {"DownloadSizeUsesTheEvent", "", "[File]\nmax_size = 10\n", kAll, kDown, "/big", false, 11, kFinish,
     Worker::NOTIFY_FILTERED, std::nullopt},
    {"RemoveLocalHasNoSizeTest", "", "[File]\nmax_size = 10\n", kAll, kRemoveLocal, "/big", false, 11, kCarry,
     Worker::NOTIFY_NONE, std::nullopt},
    // Selective-sync rules of the session.
    {"PrefixUpRecorded", "", "[Common]\nblack_path_prefix_selective_sync = \"/sel\"\n", kAll, kUp, "/sel/x", false,
     1, kFinish, Worker::NOTIFY_FILTERED, FILTER_PATH_PREFIX_SELECTIVE_SYNC},
    {"PrefixDownNotRecorded", "", "[Common]\nblack_path_prefix_selective_sync = \"/sel\"\n", kAll, kDown, "/sel/x",
     false, 1, kFinish, Worker::NOTIFY_FILTERED, std::nullopt},
    {"NameRemoveRemoteRecorded", "", "[File]\nblack_name_selective_sync = \"n.bin\"\n", kAll, kRemoveRemote,
     "/n.bin", false, 1, kFinish, Worker::NOTIFY_FILTERED, FILTER_NAME_SELECTIVE_SYNC},
    {"BlackNameBlocksUnrecorded", "", "[Common]\nblack_name = \"junk\"\n", kAll, kUp, "/junk", false, 1, kFinish,
     Worker::NOTIFY_FILTERED, std::nullopt},
};

class WorkerFilter : public testsupport::TempDirTest {
 protected:
  void Make(const std::string& session_rules = "", const std::string& white = kAll) {
    WorkerRig::Options options;
    options.black_list = session_rules;
    options.white_list = white;
    options.force_hash_list = "[File]\nforce_hash_ext = \"psd\"\n";
    // A fresh folder per rig: a test may build a second one.
    rig_.reset();
    root_ = "s" + std::to_string(++rigs_);
    EXPECT_EQ(0, mkdir(Path(root_).c_str(), 0700));
    rig_ = std::make_unique<WorkerRig>(Path(root_), options);
    w_ = &rig_->addWorker();
  }
  void TearDown() override { platform::SetFsTypeForTest(nullptr); }

  void Hold(const Event& ev) {
    w_->context.clear();
    w_->Inject(ev);
    ASSERT_EQ(0, w_->UpdateContext());
  }

  std::optional<FilterLocalEvent> Held(const std::string& path) {
    FilterLocalEvent out;
    if (FilterDB::getInstance()->getLocalFilteredEventByPath(7, path.c_str(), out) != 1) return std::nullopt;
    return out;
  }

  // rel under the rig's local folder, for WriteFile.
  std::string Local(const std::string& rel) const { return root_ + "/local" + rel; }

  std::string root_;
  int rigs_ = 0;
  std::unique_ptr<WorkerRig> rig_;
  ScriptedWorker* w_ = nullptr;
};

class WorkerFilterTable : public WorkerFilter, public ::testing::WithParamInterface<FilterCase> {};

// "max_path=N" in a case stands for a limit of the path's UTF-16 length
// plus N, written as a real rule.
std::string Rules(const std::string& text, uint64_t full_length) {
  if (text.rfind("max_path=", 0) != 0) return text;
  const long delta = std::stol(text.substr(9));
  return "[Common]\nmax_path = " + std::to_string(static_cast<long>(full_length) + delta) + "\n";
}

TEST_P(WorkerFilterTable, DecidesAndRecords) {
  const FilterCase& c = GetParam();
  // The full path's UTF-16 length: the session folder is ASCII.
  const uint64_t full_length = Path("s1/local").size() + Utf16Length(c.path);
  Make(Rules(c.session_rules, full_length), c.white_rules);
  if (*c.system_rules != '\0') {
    WriteFile("system.filter", Rules(c.system_rules, full_length));
    ASSERT_EQ(0, BlackList2::getInstance()->Load(Path("system.filter").c_str()));
  }
  const bool server = c.direction == kDown || c.direction == kRemoveLocal;
  const bool remove = c.direction == kRemoveLocal || c.direction == kRemoveRemote;
  Event ev = server ? rig_->serverEvent(remove ? Event::EV_REMOVE : Event::EV_MODIFY, c.path, 9, c.dir)
                    : rig_->localEvent(remove ? Event::EV_REMOVE : Event::EV_MODIFY, c.path, c.dir);
  ev.m_data_size = c.local_size;
  if (c.direction == kUp) {
    const std::string full = rig_->local(c.path);
    if (c.dir) {
      ASSERT_EQ(0, mkdir(full.c_str(), 0700));
    } else {
      const std::string parent = full.substr(0, full.rfind('/'));
      mkdir(parent.c_str(), 0700);  // may exist
      std::string bytes(c.local_size, 'x');
      WriteFile(Local(c.path), bytes);
    }
  }
  Hold(ev);
  w_->notify_event_type = Worker::NOTIFY_SERVER_MODIFY;  // each test resets it
  FilterVerdict r = kFinish;
  switch (c.direction) {
    case kUp: r = w_->TestUploadLocalFilter(); break;
    case kDown: r = w_->TestDownloadRemoteFilter(); break;
    case kRemoveLocal: r = w_->TestRemoveLocalFilter(); break;
    case kRemoveRemote: r = w_->TestRemoveRemoteFilter(); break;
  }
  EXPECT_EQ(c.expected, r);
  EXPECT_EQ(c.notify, w_->notify_event_type);
  const auto held = Held(c.path);
  ASSERT_EQ(c.recorded.has_value(), held.has_value());
  if (held) {
    EXPECT_EQ(*c.recorded, held->filtered_type);
    EXPECT_EQ(remove ? 0 : 1, held->is_exist);
    EXPECT_EQ(c.dir ? 1 : 0, held->file_type);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, WorkerFilterTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST(WorkerUtf16, CountsSurrogatePairsForCharactersAboveTheBasicPlane) {
  EXPECT_EQ(0u, Utf16Length(""));
  EXPECT_EQ(4u, Utf16Length("/a.b"));
  EXPECT_EQ(3u, Utf16Length("/\xE4\xB8\xAD\xE6\x96\x87"));  // "/中文": 7 bytes
  EXPECT_EQ(3u, Utf16Length("/\xF0\x9F\x98\x80"));          // "/😀": 5 bytes
  EXPECT_EQ(10u, Utf16Length(kCjkEmoji));
}

TEST_F(WorkerFilter, RemoveOfAHeldBackPathStaysLocal) {
  Make();
  // The server knows the file, and its path is held back: the remove is not
  // sent, and the held-back row becomes a removal of filter type 0.
  DBFileInfo rec;
  rec.path = "/h.txt";
  rec.syncID = 4;
  rec.fileSize = 3;
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  FilterLocalEvent held;
  held.sess_id = 7;
  held.path = "/h.txt";
  held.is_exist = 1;
  held.filtered_type = FILTER_NAME_SELECTIVE_SYNC;
  ASSERT_EQ(0, FilterDB::getInstance()->setLocalFilteredEvent(held));
  Hold(rig_->localEvent(Event::EV_REMOVE, "/h.txt"));
  EXPECT_EQ(kFinish, w_->TestRemoveRemoteFilter());
  EXPECT_EQ(Worker::NOTIFY_FILTERED, w_->notify_event_type);
  const auto row = Held("/h.txt");
  ASSERT_TRUE(row);
  EXPECT_EQ(0, row->filtered_type);
  EXPECT_EQ(0, row->is_exist);
  // A path the server does not know, or a folder, passes.
  Hold(rig_->localEvent(Event::EV_REMOVE, "/new.txt"));
  EXPECT_EQ(kCarry, w_->TestRemoveRemoteFilter());
  Hold(rig_->localEvent(Event::EV_REMOVE, "/h.txt", true));
  EXPECT_EQ(kCarry, w_->TestRemoveRemoteFilter());
}

TEST_F(WorkerFilter, ForcedDownloadUsesTheRecordedSize) {
  Make("[File]\nmax_size = 10\n");
  Event forced = rig_->serverEvent(Event::EV_MODIFY, "/f.bin", MAX_SYNC_ID);
  forced.m_data_size = 5;
  // No record: every size test and the large-file test are skipped.
  Hold(forced);
  EXPECT_EQ(kCarry, w_->TestDownloadRemoteFilter());
  EXPECT_TRUE(rig_->logged("but cannot find any record in event DB"));
  // A record of 11 bytes: its size is tested, not the event's.
  DBFileInfo rec;
  rec.path = "/f.bin";
  rec.syncID = 3;
  rec.fileSize = 11;
  ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  Hold(forced);
  EXPECT_EQ(kFinish, w_->TestDownloadRemoteFilter());
  // The common filter still holds.
  Make("[Common]\nblack_name = \"f.bin\"\n");
  Hold(forced);
  EXPECT_EQ(kFinish, w_->TestDownloadRemoteFilter());
}

TEST_F(WorkerFilter, LargeFilesDroppedOnVfatOnly) {
  Make();
  struct Row {
    unsigned long fs;
    uint64_t size;
    FilterVerdict expected;
  } rows[] = {
      {0x4d44, 4294967295ull, kFinish},     {0x4d44, 4294967294ull, kCarry}, {0x2011BAB0, 4294967295ull, kCarry},
      {0x2011BAB0, 1ull << 40, kCarry},     {0xEF53, 4294967295ull, kCarry}, {0x4d44, 1ull << 33, kFinish},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    platform::SetFsTypeForTest(&row.fs);
    Event ev = rig_->serverEvent(Event::EV_MODIFY, "/huge.iso", 9);
    ev.m_data_size = row.size;
    Hold(ev);
    w_->notify_event_type = Worker::NOTIFY_FILTERED;
    EXPECT_EQ(row.expected, w_->TestDownloadRemoteFilter());
    EXPECT_EQ(Worker::NOTIFY_NONE, w_->notify_event_type);
  }
  EXPECT_TRUE(rig_->logged("(file system is not support large file)"));
}

TEST_F(WorkerFilter, RescanHoldsBackOnlyPrefixRules) {
  Make("[Common]\nblack_path_prefix_selective_sync = \"/sel\"\nblack_name = \"junk\"\n"
       "[File]\nblack_ext_selective_sync = \"tmp\"\n");
  Hold(rig_->localEvent(Event::EV_MODIFY, "/x"));
  EXPECT_TRUE(w_->TestFilteredDeleteEvent(7, "/sel/a", false));
  EXPECT_TRUE(w_->TestFilteredDeleteEvent(7, "/sel/d", true));
  EXPECT_FALSE(w_->TestFilteredDeleteEvent(7, "/junk", false));
  EXPECT_FALSE(w_->TestFilteredDeleteEvent(7, "/a.tmp", false));
  EXPECT_FALSE(w_->TestFilteredDeleteEvent(7, "/plain", false));
  const auto a = Held("/sel/a");
  ASSERT_TRUE(a);
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, a->filtered_type);
  EXPECT_EQ(0, a->is_exist);
  EXPECT_EQ(ustring("a"), a->base_name);
  const auto d = Held("/sel/d");
  ASSERT_TRUE(d);
  EXPECT_EQ(1, d->file_type);
  EXPECT_EQ(ustring(""), d->base_name);
  EXPECT_FALSE(Held("/junk"));
  EXPECT_FALSE(Held("/a.tmp"));
}

TEST_F(WorkerFilter, LockedFileIsReportedAndSpecialFilesBlockNothing) {
  Make();
  WriteFile(Local("/locked.txt"), "data");
  const int fd = open(rig_->local("/locked.txt").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &lock));
  Hold(rig_->localEvent(Event::EV_MODIFY, "/locked.txt"));
  EXPECT_EQ(FilterVerdict::Fail(ERR_LOCKED_FILE), w_->TestUploadLocalFilter());
  EXPECT_TRUE(rig_->logged("unable to handle locked/no permission file"));
  close(fd);
  EXPECT_EQ(kCarry, w_->TestUploadLocalFilter());

  // A FIFO and a socket are examined, never opened: the tests return at once.
  ASSERT_EQ(0, mkfifo(rig_->local("/fifo").c_str(), 0600));
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = rig_->local("/sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, sock_path.c_str(), sock_path.size());
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  for (const char* path : {"/fifo", "/sock"}) {
    Hold(rig_->localEvent(Event::EV_MODIFY, path));
    auto done = std::async(std::launch::async, [this] { return w_->TestUploadLocalFilter(); });
    ASSERT_EQ(std::future_status::ready, done.wait_for(5s)) << path;
    EXPECT_EQ(kCarry, done.get()) << path;
  }
  close(sock);
}

TEST_F(WorkerFilter, LocallyModifiedChecks) {
  Make();
  Hold(rig_->localEvent(Event::EV_MODIFY, "/f.txt"));
  DBFileInfo file_rec;
  file_rec.fileType = 0;
  file_rec.fileSize = 4;
  file_rec.fileModTime = 100;
  file_rec.fileCheckSum = "h";
  DBFileInfo dir_rec;
  dir_rec.fileType = 1;
  auto info = [](FILE_TYPE type, uint64_t size, uint32_t mtime) {
    FILE_INFO i;
    i.path = "/x";
    i.type = type;
    i.size = size;
    i.mtime = mtime;
    i.isExist = true;
    return i;
  };
  struct Row {
    const char* name;
    FILE_INFO info;
    DBFileInfo rec;
    const char* hash;
    bool modified;
  } rows[] = {
      {"folder recorded as folder", info(FT_DIR, 0, 0), dir_rec, "", false},
      {"folder recorded as file", info(FT_DIR, 0, 0), file_rec, "", true},
      {"file recorded as folder", info(FT_FILE, 4, 100), dir_rec, "", true},
      {"link is never modified", info(FT_SLINK, 9, 9), file_rec, "zzz", false},
      {"size differs", info(FT_FILE, 5, 100), file_rec, "", true},
      {"time differs", info(FT_FILE, 4, 101), file_rec, "", true},
      {"hash differs", info(FT_FILE, 4, 100), file_rec, "other", true},
      {"same, no hash given", info(FT_FILE, 4, 100), file_rec, "", false},
      {"same hash", info(FT_FILE, 4, 100), file_rec, "h", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.modified, w_->LocallyModified(row.info, row.rec, row.hash)) << row.name;
  }
  // A listed extension forces a hash check; the root never does.
  Hold(rig_->localEvent(Event::EV_MODIFY, "/art.psd"));
  EXPECT_EQ(1, w_->TestForceHash());
  EXPECT_TRUE(w_->LocallyModified(info(FT_FILE, 4, 100), file_rec, ""));
  Event root = rig_->localEvent(Event::EV_CREATE, "/", true);
  root.setExpand();
  Hold(root);
  EXPECT_EQ(-1, w_->TestForceHash());
}

}  // namespace
