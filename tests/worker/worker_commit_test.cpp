// Recording results: the rows an upload, a download, a merged server event
// and a removal leave in the session's event database, read back with the
// sqlite3 shell.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <memory>
#include <string>

#include "filter/filter_db.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/worker_rig.h"

namespace {

using testsupport::ScriptedWorker;
using testsupport::WorkerRig;

// Above 32 bits, so that a sync id cut to 32 bits shows.
constexpr uint64_t kSyncId = (1ull << 32) + 10;

class WorkerCommit : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    rig_ = std::make_unique<WorkerRig>(Path());
    w_ = &rig_->addWorker();
    Hold(rig_->localEvent(Event::EV_MODIFY, "/f.txt"));
  }

  // Puts `ev` in the worker's context as the loop would.
  void Hold(const Event& ev) {
    w_->context.clear();
    w_->Inject(ev);
    ASSERT_EQ(0, w_->UpdateContext());
  }

  // One query's rows as the sqlite3 shell prints them ("|" between columns).
  std::string Query(const std::string& sql) {
    const auto r = testsupport::RunSqlite3({"-readonly", rig_->eventDbPath(), sql});
    EXPECT_EQ(0, r.exit_code) << r.err;
    return r.out;
  }
  std::string Row(const std::string& columns, const std::string& path) {
    return Query("SELECT " + columns + " FROM event_table WHERE path = '" + path + "'");
  }

  // A record of "/f.txt" as an earlier sync left it.
  DBFileInfo OldRecord() {
    DBFileInfo d;
    d.isExist = 1;
    d.syncID = 5;
    d.maxSyncID = 5;
    d.fileSize = 3;
    d.fileCheckSum = "oldhash";
    d.fileModTime = 1000;
    d.macHash = "oldmac";
    d.execBit = 1;
    d.unixUid = 11;
    d.unixGid = 12;
    d.unixMode = 0644;
    d.unixHash = "oldunix";
    d.aclAttribute = "oldacl";
    d.aclHash = "oldaclhash";
    d.sharePrivDisabled = 1;
    d.sharePrivDenyList = "deny";
    d.sharePrivRoList = "ro";
    d.sharePrivRwList = "rw";
    d.sharePrivHash = "sharehash";
    d.path = "/f.txt";
    return d;
  }

  PObject Reply(bool is_dir = false) {
    PObject r;
    r["sync_id"] = static_cast<unsigned long long>(kSyncId);
    r["max_id"] = static_cast<unsigned long long>(kSyncId + 1);
    r["is_dir"] = is_dir;
    return r;
  }

  std::unique_ptr<WorkerRig> rig_;
  ScriptedWorker* w_ = nullptr;
};

TEST_F(WorkerCommit, UploadContentByRequestReferenceAndFileId) {
  struct Case {
    const char* name;
    bool request_has_file;
    bool reply_refer;
    uint64_t reply_file_id;
    const char* expected;  // fileSize|fileCheckSum
  } cases[] = {
      {"new content", true, false, 0, "600|newhash\n"},
      {"the server had it, no stored object named", true, true, 0, "3|oldhash\n"},
      {"the server had it as object 77", true, true, 77, "600|newhash\n"},
      {"no content in the request", false, false, 0, "3|oldhash\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PObject q;
    if (c.request_has_file) {
      q["file"]["size"] = 600ull;
      q["file"]["hash"] = "newhash";
    }
    q["mtime"]["mtime"] = 2000u;
    PObject r = Reply();
    if (c.reply_refer) r["file"]["refer"] = true;
    if (c.reply_file_id != 0) r["file"]["file_id"] = static_cast<unsigned long long>(c.reply_file_id);
    ASSERT_EQ(0, w_->CommitDatabaseUpload(q, r, OldRecord(), ""));
    EXPECT_EQ(c.expected, Row("fileSize, fileCheckSum", "/f.txt"));
  }
  EXPECT_EQ("4294967306|4294967307|2000|0\n", Row("syncID, maxSyncID, fileModTime, fileType", "/f.txt"));
}

TEST_F(WorkerCommit, AttributesFromTheRequestUnlessReferred) {
  PObject q;
  q["file"]["size"] = 1ull;
  q["file"]["hash"] = "h";
  q["mtime"]["refer"] = true;  // unchanged: the old time
  q["mac_attribute"]["hash"] = "newmac";
  q["exec_bit"]["refer"] = true;
  q["unix_perm"]["uid"] = 21u;
  q["unix_perm"]["gid"] = 22u;
  q["unix_perm"]["mode"] = 0600u;
  q["unix_perm"]["local_hash"] = "newunix";
  q["zarqelon_acl"]["refer"] = true;
  q["share_priv"]["disabled"] = false;
  q["share_priv"]["deny_list"] = "d2";
  q["share_priv"]["ro_list"] = "r2";
  q["share_priv"]["rw_list"] = "w2";
  q["share_priv"]["local_hash"] = "s2";
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), OldRecord(), ""));
  EXPECT_EQ("1000|newmac|1|21|22|384|newunix|oldacl|oldaclhash|0|d2|r2|w2|s2\n",
            Row("fileModTime, macHash, execBit, unixUid, unixGid, unixMode, unixHash, aclAttribute, aclHash, "
                "sharePrivDisabled, sharePrivDenyList, sharePrivRoList, sharePrivRwList, sharePrivHash",
                "/f.txt"));
}

TEST_F(WorkerCommit, FolderIsStoredWithoutSizeOrHash) {
  Hold(rig_->localEvent(Event::EV_MODIFY, "/dir", true));
  PObject q;
  q["is_dir"] = true;
  q["file"]["size"] = 55ull;
  q["file"]["hash"] = "nonsense";
  q["mtime"]["mtime"] = 7u;
  PObject r = Reply(true);
  r["file"]["size"] = 66ull;
  r["file"]["hash"] = "nonsense";
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, r, DBFileInfo(), ""));
  EXPECT_EQ("1|0|\n", Row("fileType, fileSize, fileCheckSum", "/dir"));
  Hold(rig_->serverEvent(Event::EV_MODIFY, "/dir2", kSyncId, true));
  ASSERT_EQ(0, w_->CommitDatabaseDownload(r, DBFileInfo(), ""));
  EXPECT_EQ("1|0|\n", Row("fileType, fileSize, fileCheckSum", "/dir2"));
}

TEST_F(WorkerCommit, ModTimeFromTheLocalFileOrTheOldRecord) {
  // Without "mtime" in the request the local file's time is stored; when
  // the file cannot be read then, the old time stays and a WARNING says so.
  PObject q;
  q["file"]["size"] = 2ull;
  q["file"]["hash"] = "h";
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), OldRecord(), ""));
  EXPECT_EQ("1000\n", Row("fileModTime", "/f.txt"));
  EXPECT_TRUE(rig_->logged("failure, missing modify time"));

  WriteFile("local/f.txt", "ab");
  struct utimbuf t = {123456789, 123456789};
  ASSERT_EQ(0, utime(rig_->local("/f.txt").c_str(), &t));
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), OldRecord(), ""));
  EXPECT_EQ("123456789\n", Row("fileModTime", "/f.txt"));

  // On a volume marked MS-DOS the time is rounded down to an even second.
  Registry::Entry e = rig_->entry();
  e.isMSDOS = true;
  rig_->setEntry(e);
  Hold(rig_->localEvent(Event::EV_MODIFY, "/f.txt"));
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), OldRecord(), ""));
  EXPECT_EQ("123456788\n", Row("fileModTime", "/f.txt"));
}

TEST_F(WorkerCommit, DownloadTakesTheReplyAndItsSignature) {
  Hold(rig_->serverEvent(Event::EV_MODIFY, "/f.txt", kSyncId));
  WriteFile("sig.new", "signature bytes");
  PObject r = Reply();
  r["file"]["size"] = 9ull;
  r["file"]["hash"] = "dlhash";
  r["mtime"]["mtime"] = 4321u;
  ASSERT_EQ(0, w_->CommitDatabaseDownload(r, OldRecord(), Path("sig.new").c_str()));
  EXPECT_EQ("4294967306|9|dlhash|4321|oldmac\n", Row("syncID, fileSize, fileCheckSum, fileModTime, macHash", "/f.txt"));
  DBFileInfo stored;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/f.txt", stored));
  ASSERT_FALSE(stored.signaturePath.empty());
  EXPECT_EQ("signature bytes", ReadFile(stored.signaturePath.c_str_utf8() + Path().size() + 1));

  // A referred content and an empty signature keep the old ones.
  r["file"]["refer"] = true;
  ASSERT_EQ(0, w_->CommitDatabaseDownload(r, stored, ""));
  DBFileInfo again;
  ASSERT_EQ(1, rig_->eventDb().getEventInfo("/f.txt", again));
  EXPECT_EQ(stored.signaturePath, again.signaturePath);
  EXPECT_EQ(ustring("dlhash"), again.fileCheckSum);
  EXPECT_TRUE(rig_->logged("commit upload response"));
}

TEST_F(WorkerCommit, MergedServerEventKeepsTimeAndClearsAttributes) {
  Event ev = rig_->serverEvent(Event::EV_MODIFY, "/f.txt", kSyncId);
  ev.m_max_id = kSyncId + 5;
  ev.m_data_size = 42;
  ev.m_data_hash = "evhash";
  ev.m_exec_bit = 1;
  Hold(ev);
  ASSERT_EQ(0, w_->CommitServerEvent(ev, FILE_INFO(), OldRecord()));
  EXPECT_EQ("4294967306|4294967311|42|evhash|1000|1||0|\n",
            Row("syncID, maxSyncID, fileSize, fileCheckSum, fileModTime, execBit, macHash, unixUid, aclHash",
                "/f.txt"));
}

TEST_F(WorkerCommit, CommitsAndRemovalsDropHeldBackEvents) {
  // Held-back local events at and below "/dir"; a commit of "/dir/a" drops
  // its own, a removal of "/dir" drops every one below it, other paths stay.
  for (const char* path : {"/dir", "/dir/a", "/dir/b", "/dir2"}) {
    FilterLocalEvent held;
    held.sess_id = 7;
    held.path = path;
    held.is_exist = 1;
    ASSERT_EQ(0, FilterDB::getInstance()->setLocalFilteredEvent(held));
  }
  FilterLocalEvent out;
  Hold(rig_->localEvent(Event::EV_MODIFY, "/dir/a"));
  PObject q;
  q["mtime"]["mtime"] = 1u;
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), DBFileInfo(), ""));
  EXPECT_EQ(0, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/dir/a", out));
  EXPECT_EQ(1, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/dir/b", out));

  Hold(rig_->localEvent(Event::EV_MODIFY, "/dir/b"));
  ASSERT_EQ(0, w_->CommitDatabaseUpload(q, Reply(), DBFileInfo(), ""));
  EXPECT_EQ("/\n/dir\n/dir/a\n/dir/b\n", Query("SELECT path FROM event_table ORDER BY path"));
  Hold(rig_->localEvent(Event::EV_REMOVE, "/dir", true));
  ASSERT_EQ(0, w_->RemoveDatabaseInfo());
  EXPECT_EQ("/\n", Query("SELECT path FROM event_table ORDER BY path"));
  EXPECT_EQ(0, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/dir", out));
  EXPECT_EQ(0, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/dir/b", out));
  EXPECT_EQ(1, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/dir2", out));
}

TEST_F(WorkerCommit, MissingDatabaseFailsBeforeTheFilterDatabase) {
  FilterLocalEvent held;
  held.sess_id = 7;
  held.path = "/f.txt";
  ASSERT_EQ(0, FilterDB::getInstance()->setLocalFilteredEvent(held));
  w_->context.root_entry.event_db = static_cast<FileEventDB*>(nullptr);
  EXPECT_EQ(-1, w_->CommitDatabaseUpload(PObject(), Reply(), OldRecord(), ""));
  EXPECT_EQ(-1, w_->RemoveDatabaseInfo());
  EXPECT_TRUE(rig_->logged("UpdateDatabaseInfo: missing databasehandle"));
  EXPECT_TRUE(rig_->logged("RemoveDatabaseInfo: missing databasehandle"));
  FilterLocalEvent out;
  EXPECT_EQ(1, FilterDB::getInstance()->getLocalFilteredEventByPath(7, "/f.txt", out));
}

}  // namespace
