// The kill rounds' workload: each path touched once, so that the final tree
// is known, with the contents the test put at each path for the checks
// after a kill and after convergence. Shared by the kill rounds and the
// ThreadSanitizer run that loops control requests through it.
#ifndef TESTS_E2E_WORKLOAD_H_
#define TESTS_E2E_WORKLOAD_H_

#include <unistd.h>

#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "e2e_fixture.h"

namespace e2e {

constexpr uint64_t kWorkloadBig = 20u << 20;

// Threads: the workload may run on a thread of its own beside the checks'
// thread; the path records are guarded.
class KnownTree {
 public:
  // The contents the test put at each path (a renamed folder's files count
  // for both names), and the tree expected at the end (path -> SHA-256).
  std::map<std::string, std::set<std::string>> allowed_;
  std::map<std::string, std::string> expected_;
  std::mutex mu_;

  // Written beside the folder and renamed in: the daemon never reads a
  // half-written file, whose bytes the test never put anywhere.
  void Local(SyncBed& bed, const std::string& rel, const std::string& bytes) {
    Note(rel, bytes);
    bed.PlaceLocal(rel, bytes);
  }
  void Server(SyncBed& bed, const std::string& rel, const std::string& bytes) {
    Note(rel, bytes);
    bed.PutServer(rel, bytes);
  }
  void Note(const std::string& rel, const std::string& bytes) {
    const std::string sha = testsupport::Sha256Hex(bytes);
    std::lock_guard<std::mutex> lock(mu_);
    allowed_[rel].insert(sha);
    expected_[rel] = sha;
  }
  // `rel` is deleted. A local delete the daemon had not carried out when
  // it was killed may come back: the first rescan after a start fetches
  // what the records hold and the folder lacks from the server again,
  // rather than delete it there.
  void Forget(const std::string& rel, bool local) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = expected_.find(rel);
    if (local && it != expected_.end()) may_return_[rel] = it->second;
    expected_.erase(rel);
  }
  std::map<std::string, std::string> may_return_;
  void Move(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = expected_.begin(); it != expected_.end();) {
      if (it->first.rfind(from + "/", 0) == 0) {
        const std::string moved = to + it->first.substr(from.size());
        allowed_[moved].insert(it->second);
        expected_[moved] = it->second;
        may_return_[it->first] = it->second;  // the old name, as a local delete
        it = expected_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Every local file at a final path holds a content put there; the three
  // databases pass an integrity check.
  void CheckAfterKill(SyncBed& bed) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [path, e] : bed.LocalTree()) {
      if (e.type != 'f') continue;
      auto it = allowed_.find(path);
      EXPECT_TRUE(it != allowed_.end() && it->second.count(e.sha256) != 0)
          << path << " holds a content nobody put there";
    }
    for (const std::string& db : {bed.event_db_path(), bed.filter_db_path(), bed.fstat_db_path()}) {
      const json r = SyncBed::Query(db, "PRAGMA integrity_check;");
      EXPECT_TRUE(r.is_array() && !r.empty() && r[0].value("integrity_check", "") == "ok") << db << ": " << r;
    }
  }

  // What the signature folder holds besides records' signatures, which
  // are named from their row ids (".05", "01/.00"): the temporary
  // signature files that a kill left, one "path (type)" each.
  static std::string NonRecordSignatures(SyncBed& bed) {
    auto hex2 = [](const std::string& s, size_t at) {
      return s.size() >= at + 2 && isxdigit(static_cast<unsigned char>(s[at])) &&
             isxdigit(static_cast<unsigned char>(s[at + 1])) && !isupper(static_cast<unsigned char>(s[at])) &&
             !isupper(static_cast<unsigned char>(s[at + 1]));
    };
    std::string out;
    const testsupport::TreeSnapshot sign = testsupport::TreeSnapshot::Take(bed.config_path() + "/db/sign");
    for (const auto& [path, e] : sign.entries()) {
      // Folders "/xx" and "/xx/yy"; files "/.xx" and "/xx/.yy".
      const size_t last = path.rfind('/');
      bool ok = e.type == 'd' || e.type == 'f';
      for (size_t at = 0; ok && at < last; at += 3) ok = path[at] == '/' && hex2(path, at + 1);
      const std::string name = path.substr(last + 1);
      if (e.type == 'd') ok = ok && name.size() == 2 && hex2(name, 0);
      if (e.type == 'f') ok = ok && name.size() == 3 && name[0] == '.' && hex2(name, 1);
      if (!ok) out += path + " (" + testsupport::Describe(e) + ")\n";
    }
    return out;
  }

  // Converged on the expected tree, with no conflict copy and no temporary
  // signature file left.
  void CheckAfterRestart(SyncBed& bed) {
    ASSERT_TRUE(bed.WaitConverged(180s));
    EXPECT_EQ("", NonRecordSignatures(bed)) << "left in the signature folder";
    std::map<std::string, std::string> files;
    for (const auto& [path, e] : bed.LocalTree()) {
      if (e.type == 'f') files[path] = e.sha256;
      EXPECT_EQ(std::string::npos, path.find("Conflict")) << "a conflict copy: " << path;
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [path, sha] : expected_) {
      auto it = files.find(path);
      EXPECT_TRUE(it != files.end() && it->second == sha) << "expected " << path;
    }
    for (const auto& [path, sha] : files) {
      auto back = may_return_.find(path);
      EXPECT_TRUE(expected_.count(path) != 0 || (back != may_return_.end() && back->second == sha))
          << "unexpected " << path;
    }
    bed.ExpectStoreFromLedger();
    bed.Finish();
  }

  // The state before the workload: files to delete on each side, two
  // folders to rename.
  //
  // /pre keeps a file: a rescan keeps the records of a folder that lists
  // nothing out of its comparison (an unmounted drive looks like that), so
  // a folder emptied while the daemon is down would never be synced.
  void Prepare(SyncBed& bed) {
    Local(bed, "/pre/keep", "keeps /pre from being empty");
    for (int i = 0; i < 50; ++i) {
      Local(bed, "/pre/l" + std::to_string(i), RandomBytes(500 + i, 1000 + i));
      Server(bed, "/pre/s" + std::to_string(i), RandomBytes(600 + i, 2000 + i));
    }
    for (const char* folder : {"/ren1", "/ren2"}) {
      for (int i = 0; i < 5; ++i) {
        Local(bed, std::string(folder) + "/f" + std::to_string(i), RandomBytes(700 + i, 3000 + i));
      }
    }
    ASSERT_TRUE(bed.WaitConverged(120s));
  }

  // The workload; each path is touched once.
  void Workload(SyncBed& bed, uint32_t seed) {
    for (int i = 0; i < 3; ++i) {
      Local(bed, "/big/up" + std::to_string(i), RandomBytes(kWorkloadBig, seed + 10 + i));
      Server(bed, "/big/down" + std::to_string(i), RandomBytes(kWorkloadBig, seed + 20 + i));
    }
    for (int i = 0; i < 500; ++i) {
      Local(bed, "/w/l" + std::to_string(i), RandomBytes(100 + i, seed + 100 + i));
      if (i < 200) Server(bed, "/w/s" + std::to_string(i), RandomBytes(200 + i, seed + 1000 + i));
      if (i < 50) {
        const std::string l = "/pre/l" + std::to_string(i);
        Forget(l, true);
        EXPECT_EQ(0, unlink(bed.local(l).c_str())) << l;
        const std::string s = "/pre/s" + std::to_string(i);
        Forget(s, false);
        bed.server().Remove(s);
      }
      if (i == 100 || i == 300) {
        const std::string from = i == 100 ? "/ren1" : "/ren2";
        Move(from, from + "b");
        EXPECT_EQ(0, rename(bed.local(from).c_str(), bed.local(from + "b").c_str()));
      }
    }
  }
};

}  // namespace e2e

#endif  // TESTS_E2E_WORKLOAD_H_
