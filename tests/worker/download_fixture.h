// A rig with the storage-server stand-in for downloads and removes: files
// recorded as the server's versions (size, time, MD4 and signature), server
// events of the stand-in's current versions, and the real operations.
#ifndef TESTS_WORKER_DOWNLOAD_FIXTURE_H_
#define TESTS_WORKER_DOWNLOAD_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "delta/simple_file_reader.h"
#include "foundation/file_op.h"
#include "session/file_event_db.h"
#include "support/command.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "support/worker_rig.h"
#include "upload_fixture.h"

namespace downloadtest {

using nlohmann::json;
using testsupport::ExpectNothingLost;
using testsupport::ScriptedWorker;
using testsupport::TreeSnapshot;
using testsupport::WorkerRig;
using uploadtest::Slurp;
using uploadtest::Spill;
using ull = unsigned long long;

inline std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string OpensslMd4(const std::string& path) {
  const auto r = testsupport::RunCommand(
      {"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r", path});
  EXPECT_EQ(0, r.exit_code) << r.err;
  return r.out.substr(0, r.out.find(' '));
}

// Every entry of a folder but the recycle folder ("" when none).
inline std::string Leftovers(const std::string& dir) {
  std::string out;
  const TreeSnapshot snap = TreeSnapshot::Take(dir);
  for (const auto& [path, entry] : snap.entries()) {
    if (path.rfind("/#ZarqRecycle", 0) == 0) continue;
    out += path + " ";
  }
  return out;
}

class DownloadTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WorkerRig::Options options;
    options.server = true;
    options.timing.worker_reply_timeout = std::chrono::seconds(10);
    rig_ = std::make_unique<WorkerRig>(Path(), options);
    ASSERT_EQ(0, mkdir(Working().c_str(), 0700));
    ASSERT_EQ(0, mkdir((Working() + "/#ZarqRecycle").c_str(), 0700));
  }
  void TearDown() override { rig_.reset(); }

  std::string Working() const { return rig_->local("/.ZarqelonWorkingDirectory"); }

  // The server's file at `rel` as a server event of its current version.
  Event ServerChange(const std::string& rel) {
    const auto obj = rig_->server().Get(rel);
    EXPECT_TRUE(obj.has_value()) << rel;
    Event ev = rig_->serverEvent(Event::EV_MODIFY, rel, obj ? obj->version : 0, obj && obj->is_dir);
    if (obj) {
      ev.m_max_id = obj->max_id;
      ev.m_data_size = obj->size;
      ev.m_data_hash = obj->md4.c_str();
      ev.m_time = obj->mtime;
    }
    return ev;
  }

  // A local file with `bytes` recorded as the server's version `sync_id`
  // (its size, time and MD4, with a signature).
  void Recorded(const std::string& rel, const std::string& bytes, uint64_t sync_id, uint32_t mtime = 1600000000) {
    const std::string full = rig_->local(rel);
    Spill(full, bytes);
    ASSERT_EQ(0, FSUTime(full.c_str(), mtime, mtime));
    DBFileInfo rec;
    rec.isExist = 1;
    rec.syncID = sync_id;
    rec.maxSyncID = sync_id;
    rec.fileSize = bytes.size();
    rec.fileModTime = mtime;
    rec.path = rel.c_str();
    ustring md4;
    const std::string sign = Path("sign-" + std::to_string(++signs_));
    SimpleFileReader reader;
    reader.setFile(full.c_str());
    reader.setHashString(md4);
    reader.setSignature(sign.c_str(), 2048, 8);
    ASSERT_EQ(0, reader.readFile());
    rec.fileCheckSum = md4;
    rec.signaturePath = sign.c_str();
    ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  }
  void RecordedDir(const std::string& rel, uint64_t sync_id) {
    ASSERT_EQ(0, mkdir(rig_->local(rel).c_str(), 0700));
    DBFileInfo rec;
    rec.isExist = 1;
    rec.syncID = sync_id;
    rec.maxSyncID = sync_id;
    rec.fileType = 1;
    rec.path = rel.c_str();
    ASSERT_EQ(0, rig_->eventDb().setEventInfo(rec));
  }
  DBFileInfo Record(const std::string& rel) {
    DBFileInfo rec;
    // A path without a record reads as the empty record.
    (void)rig_->eventDb().getEventInfo(rel.c_str(), rec);
    return rec;
  }
  std::string Content(const std::string& rel) {
    const auto obj = rig_->server().Get(rel);
    return obj ? Slurp(obj->content_path) : std::string();
  }
  // Runs the real download of `ev` on a fresh worker holding it.
  ErrorCode Download(const Event& ev, ScriptedWorker** out = nullptr) {
    ScriptedWorker& w = rig_->holding(ev);
    if (out != nullptr) *out = &w;
    return w.RealOperation(ScriptedWorker::kDownload);
  }
  // A conflict-named sibling of `rel` (its stem followed by "_PC1_").
  std::string ConflictSibling(const std::string& rel) {
    const std::string stem = rel.substr(1, rel.find('.') == std::string::npos ? std::string::npos : rel.find('.') - 1);
    const TreeSnapshot snap = TreeSnapshot::Take(rig_->local());
    for (const auto& [path, entry] : snap.entries()) {
      if (path.rfind("/" + stem + "_PC1_", 0) == 0 && path.find("Conflict") != std::string::npos) return path;
    }
    return "";
  }
  size_t Count(const std::string& action) {
    size_t n = 0;
    for (const std::string& a : rig_->actions()) n += a == action ? 1 : 0;
    return n;
  }

  int signs_ = 0;
  std::unique_ptr<WorkerRig> rig_;
};

}  // namespace downloadtest

#endif  // TESTS_WORKER_DOWNLOAD_FIXTURE_H_
