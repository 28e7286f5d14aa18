// What every end-to-end test shares: a SyncBed per test, content
// makers, the journal's transfers by path, and the conflict-name pattern.
#ifndef TESTS_E2E_E2E_FIXTURE_H_
#define TESTS_E2E_E2E_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/command.h"
#include "support/sync_bed.h"

namespace e2e {

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ServerStandIn;
using testsupport::SyncBed;
using testsupport::SyncBedOptions;
using testsupport::Transport;

// The daemon built in this tree (daemon_binary.cpp).
const char* DaemonBinary();

inline std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (size_t i = 0; i < size; i += 4) {
    const uint32_t v = gen();
    for (size_t k = 0; k < 4 && i + k < size; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

// `bytes` with about `percent` of it changed in one run in the middle.
inline std::string EditPercent(std::string bytes, double percent, uint32_t seed) {
  const size_t n = static_cast<size_t>(static_cast<double>(bytes.size()) * percent / 100.0);
  const std::string fresh = RandomBytes(n, seed);
  bytes.replace(bytes.size() / 2, n, fresh);
  return bytes;
}

// Booleans travel as integers in the journal.
inline bool Flag(const json& obj, const char* key) {
  if (!obj.is_object() || !obj.contains(key)) return false;
  const json& v = obj[key];
  return v.is_boolean() ? v.get<bool>() : (v.is_number() && v.get<int64_t>() != 0);
}

inline uint64_t BodyOf(const json& request) {
  const json& data = request.value("file", json::object()).value("data", json::object());
  return data.is_object() ? data.value("binary", uint64_t{0}) : 0;
}

// Whether `candidate` is a conflict name of `name`:
// "<stem>_<computer>_<Mon-DD-HHMM-YYYY>_<kind>[_<n>]<ext>" (the minute may
// turn, and a taken name gets "_<n>"). std::regex is avoided: GCC 12 warns
// inside it.
inline bool IsConflictName(const std::string& candidate, const std::string& name, const std::string& computer,
                           const std::string& kind = "Conflict") {
  const size_t dot = name.rfind('.');
  const bool has_ext = dot != std::string::npos && dot != 0;
  const std::string stem = has_ext ? name.substr(0, dot) : name;
  const std::string ext = has_ext ? name.substr(dot) : "";
  const std::string head = stem + "_" + computer + "_";
  if (candidate.compare(0, head.size(), head) != 0) return false;
  size_t at = head.size();
  const char* shape = "Aaa-99-9999-9999";  // A upper, a lower, 9 digit
  for (const char* c = shape; *c != '\0'; ++c, ++at) {
    if (at >= candidate.size()) return false;
    const char got = candidate[at];
    const bool ok = *c == 'A' ? (got >= 'A' && got <= 'Z')
                    : *c == 'a' ? (got >= 'a' && got <= 'z')
                    : *c == '9' ? (got >= '0' && got <= '9')
                                : got == *c;
    if (!ok) return false;
  }
  const std::string tail = "_" + kind;
  if (candidate.compare(at, tail.size(), tail) != 0) return false;
  at += tail.size();
  if (at < candidate.size() && candidate[at] == '_') {
    const size_t digits = ++at;
    while (at < candidate.size() && candidate[at] >= '0' && candidate[at] <= '9') ++at;
    if (at == digits) return false;
  }
  return candidate.substr(at) == ext;
}

class E2eTest : public ::testing::Test {
 protected:
  static SyncBedOptions Defaults() {
    SyncBedOptions o;
    o.daemon_binary = DaemonBinary();
    return o;
  }

  // `options` for a daemon run in a user and mount namespace of its own,
  // with a tmpfs of `size` (e.g. "8m") mounted at `mount_point`: the sync
  // folder `sync` or a folder below it, made beforehand. The test reaches
  // the sync folder through /proc/<pid>/root. False, with the reason in
  // `why`, where such a namespace is not allowed.
  static bool InTmpfsNamespace(SyncBedOptions& options, const std::string& sync, const std::string& mount_point,
                               const std::string& size, std::string* why) {
    const std::vector<std::string> launcher = {
        "/usr/bin/unshare", "--user", "--map-root-user", "--mount", "/bin/sh", "-c",
        "mount -t tmpfs -o size=" + size + " tmpfs '" + mount_point + "' && exec \"$0\" \"$@\""};
    std::vector<std::string> probe = launcher;
    probe.push_back("/bin/true");
    const testsupport::CommandResult r = testsupport::RunCommand(probe);
    if (r.exit_code != 0) {
      *why = "user namespaces with a mount of their own are not allowed here: " + r.err;
      return false;
    }
    options.launcher = launcher;
    options.sync_folder = sync;
    options.test_view = "/proc/{pid}/root" + sync;
    return true;
  }

  // Notifications of `kind` about `path`.
  static std::vector<PObject> About(SyncBed& bed, const std::string& kind, const std::string& path) {
    std::vector<PObject> out;
    for (const PObject& m : bed.Notifications(kind)) {
      if (m.hasMember("path") && std::string(m["path"].asString().c_str_utf8()) == path) out.push_back(m);
    }
    return out;
  }

  // Starts a bed; the test stops at a failure.
  SyncBed& Bed(SyncBedOptions options = Defaults()) {
    if (options.daemon_binary.empty()) options.daemon_binary = DaemonBinary();
    beds_.push_back(std::make_unique<SyncBed>());
    started_ = beds_.back()->Start(options);
    return *beds_.back();
  }

  void TearDown() override { beds_.clear(); }

  // Upload requests with a body or a reference for `path` (dry runs left
  // out), from the stand-in's journal.
  static std::vector<json> Uploads(SyncBed& bed, const std::string& path = "") {
    std::vector<json> out;
    for (const json& e : bed.JournalOf("request")) {
      const std::string a = e.value("action", "");
      const json& q = e["request"];
      if ((a != "upload" && a != "resume_upload") || Flag(q, "dry_run")) continue;
      if (!path.empty() && q.value("path", "") != path) continue;
      out.push_back(q);
    }
    return out;
  }

  // Download replies for `path` (their summaries: sync_id, delta, refer,
  // offset, body).
  static std::vector<json> Downloads(SyncBed& bed, const std::string& path = "") {
    std::vector<json> out;
    const std::vector<json> journal = bed.server().Journal();
    std::map<uint64_t, std::string> last_path;  // connection -> path of its last request
    for (const json& e : journal) {
      const std::string ev = e.value("event", "");
      const uint64_t conn = e.value("conn", uint64_t{0});
      if (ev == "request" && e.value("action", "") == "resume_download") {
        last_path[conn] = e["request"].value("path", "");
      } else if (ev == "reply" && e.value("action", "") == "resume_download" && e.value("error", json()).is_null()) {
        if (path.empty() || last_path[conn] == path) out.push_back(e["summary"]);
      }
    }
    return out;
  }

  // Bodies sent by the stand-in in downloads of `path`.
  static uint64_t DownloadBodyBytes(SyncBed& bed, const std::string& path) {
    uint64_t n = 0;
    for (const json& s : Downloads(bed, path)) n += s.value("body", uint64_t{0});
    return n;
  }

  static std::vector<std::string> Names(const std::map<std::string, testsupport::TreeEntry>& tree,
                                        const std::string& folder = "") {
    std::vector<std::string> out;
    for (const auto& [path, e] : tree) {
      if (path.rfind(folder + "/", 0) == 0 && path.find('/', folder.size() + 1) == std::string::npos) {
        out.push_back(path.substr(folder.size() + 1));
      }
    }
    return out;
  }

  // The one conflict name of `name` in `folder` of the local tree, or "".
  static std::string ConflictOf(SyncBed& bed, const std::string& name, const std::string& folder = "",
                                const std::string& kind = "Conflict") {
    std::string found;
    for (const std::string& candidate : Names(bed.LocalTree(), folder)) {
      if (IsConflictName(candidate, name, bed.options().computer_name, kind)) {
        EXPECT_TRUE(found.empty()) << "two names match: " << found << ", " << candidate;
        found = candidate;
      }
    }
    return found;
  }

  static time_t Mtime(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
  }

  // Both ways in short: 20 files and a 5 MiB file each way, converged;
  // then a 1% edit of each 5 MiB file on its side, converged, each gone as
  // a delta of under 3% of the file.
  static void ShortBothWays(SyncBed& bed) {
    const std::string local_big = RandomBytes(5 << 20, 101);
    const std::string server_big = RandomBytes(5 << 20, 102);
    for (int i = 0; i < 20; ++i) {
      bed.WriteLocal("/up/f" + std::to_string(i), RandomBytes(100 + 997 * i, 200 + i));
      bed.PutServer("/down/f" + std::to_string(i), RandomBytes(150 + 991 * i, 300 + i));
    }
    bed.WriteLocal("/up/big", local_big);
    bed.PutServer("/down/big", server_big);
    ASSERT_TRUE(bed.WaitConverged());

    bed.OverwriteLocal("/up/big", EditPercent(local_big, 1, 103));
    bed.PutServer("/down/big", EditPercent(server_big, 1, 104));
    ASSERT_TRUE(bed.WaitConverged());
    const std::vector<json> ups = Uploads(bed, "/up/big");
    ASSERT_FALSE(ups.empty());
    EXPECT_TRUE(Flag(ups.back()["file"], "is_delta")) << ups.back();
    EXPECT_LT(BodyOf(ups.back()), (5u << 20) * 3 / 100);
    const std::vector<json> downs = Downloads(bed, "/down/big");
    ASSERT_FALSE(downs.empty());
    EXPECT_TRUE(Flag(downs.back(), "delta")) << downs.back();
    EXPECT_LT(downs.back().value("body", uint64_t{0}), (5u << 20) * 3 / 100);
  }

  std::vector<std::unique_ptr<SyncBed>> beds_;
  bool started_ = false;
};

}  // namespace e2e

#endif  // TESTS_E2E_E2E_FIXTURE_H_
