// A rig with the storage-server stand-in and workers that carry uploads out
// for real, with the checks every upload test makes: the stand-in's bytes
// by cmp, the hash by openssl, the signature by rdiff, the row by sqlite3.
#ifndef TESTS_WORKER_UPLOAD_FIXTURE_H_
#define TESTS_WORKER_UPLOAD_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../delta/delta_fixture.h"
#include "../filter/sqlite_shell.h"
#include "session/file_event_db.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"

namespace uploadtest {

using nlohmann::json;
using testsupport::ScriptedWorker;
using testsupport::WorkerRig;

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void Spill(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline void SetMtime(const std::string& path, time_t t) {
  struct utimbuf times{t, t};
  ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

inline time_t Mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// Booleans travel as integers in the journal.
inline bool Flag(const json& obj, const char* key) {
  if (!obj.is_object() || !obj.contains(key)) return false;
  const json& v = obj[key];
  return v.is_boolean() ? v.get<bool>() : v.get<int64_t>() != 0;
}

class UploadTest : public testsupport::TempDirTest {
 protected:
  void Make(WorkerRig::Options options = WorkerRig::Options()) {
    options.server = true;
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    // The session's working folder, as session creation makes it.
    ASSERT_EQ(0, mkdir(rig_->local("/.ZarqelonWorkingDirectory").c_str(), 0700));
    worker_ = &rig_->addWorker();
    worker_->UseRealOperations();
  }
  void TearDown() override { rig_.reset(); }

  std::string Put(const std::string& rel, const std::string& bytes) {
    const std::string full = rig_->local(rel);
    Spill(full, bytes);
    return full;
  }

  // One local modify of `rel` through the queue and the first worker.
  WorkerRig::Outcome Upload(const std::string& rel, bool is_dir = false) {
    return rig_->runOne(rig_->localEvent(Event::EV_MODIFY, rel, is_dir));
  }

  // The upload requests ("upload" and "resume_upload" with a body or a
  // reference; dry runs left out) seen so far.
  std::vector<json> Uploads() {
    std::vector<json> out;
    for (const json& e : rig_->requests()) {
      const std::string a = e.value("action", "");
      if ((a == "upload" || a == "resume_upload") && !Flag(e["request"], "dry_run")) out.push_back(e["request"]);
    }
    return out;
  }

  // The session's record of `rel`, by the sqlite3 shell:
  // "fileType|syncID|fileSize|fileModTime|fileCheckSum".
  std::string Row(const std::string& rel) {
    return filter_test::Shell(rig_->eventDbPath(),
                             "SELECT fileType, syncID, fileSize, fileModTime, fileCheckSum FROM event_table "
                             "WHERE path = '" + rel + "';");
  }

  // The stand-in holds exactly the local bytes of `rel`, the record names
  // that version, hash and time, and the stored signature is rdiff's.
  void ExpectStored(const std::string& rel) {
    SCOPED_TRACE(rel);
    const std::string local = rig_->local(rel);
    const auto object = rig_->server().Get(rel);
    ASSERT_TRUE(object.has_value());
    const auto cmp = testsupport::RunCommand({"cmp", local, object->content_path});
    EXPECT_EQ(0, cmp.exit_code) << cmp.out << cmp.err;
    const std::string md4 = deltatest::OpensslMd4(local);
    EXPECT_EQ(md4, object->md4);
    EXPECT_EQ("0|" + std::to_string(object->version) + "|" + std::to_string(Slurp(local).size()) + "|" +
                  std::to_string(Mtime(local)) + "|" + md4 + "\n",
              Row(rel));
    DBFileInfo record;
    ASSERT_EQ(1, rig_->eventDb().getEventInfo(rel.c_str(), record));
    const std::string want = Path("rdiff.sig");
    deltatest::RdiffSignature(local, want);
    EXPECT_EQ(Slurp(want), Slurp(record.signaturePath.c_str_utf8())) << "signature differs from rdiff's";
  }

  std::unique_ptr<WorkerRig> rig_;
  ScriptedWorker* worker_ = nullptr;
};

}  // namespace uploadtest

#endif  // TESTS_WORKER_UPLOAD_FIXTURE_H_
