// A hostile server. Pull records that name paths outside the
// sync folder or inside its working folder, a removal of the root, and
// malformed replies; none may touch anything outside the folder, crash
// the daemon or stop it from converging once they end.
#include <dirent.h>

#include <fstream>

#include "e2e_fixture.h"

namespace e2e {
namespace {

std::set<std::string> TopNames(const std::string& folder) {
  std::set<std::string> out;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return out;
  while (dirent* d = readdir(dir)) out.insert(d->d_name);
  closedir(dir);
  return out;
}

TEST_F(E2eTest, HostilePathsTouchNothingOutside) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  bed.WriteLocal("/kept.txt", "stays where it is");
  ASSERT_TRUE(bed.WaitConverged());
  // A sibling whose name continues the sync folder's ("<sync>x"), and the
  // parent folder's entries.
  const std::string canary = bed.local() + "x";
  { std::ofstream(canary, std::ios::binary) << "canary"; }
  const std::set<std::string> parent_before = TopNames(bed.root());
  const auto working_before = testsupport::TreeSnapshot::Take(bed.local("/.ZarqelonWorkingDirectory"));

  const uint64_t head = bed.PutServer("/benign.txt", "the benign file");
  ASSERT_NE(0u, head);
  const std::string md4 = bed.server().Get("/benign.txt")->md4;
  auto record = [&](const std::string& path, bool removed) {
    json r = {{"path", path}, {"is_dir", 0}, {"is_removed", removed ? 1 : 0}, {"sync_id", head}, {"max_id", head}};
    if (!removed) {
      r["file"] = {{"hash", md4}, {"size", 15}};
      r["mtime"] = {{"mtime", 1600000000}};
    }
    return r;
  };
  json extra = json::array();
  for (const char* p : {"/../escape", "x", "", "/a/../../x", "/.ZarqelonWorkingDirectory/x"}) {
    extra.push_back(record(p, false));
  }
  extra.push_back(record("/", true));
  ASSERT_NE(0u, bed.server().Fault({{"action", "pull_event"}, {"extra_records", extra}}));
  ASSERT_TRUE(bed.WaitConverged());

  EXPECT_TRUE(bed.daemon().running());
  EXPECT_EQ(testsupport::Sha256Hex("the benign file"), bed.LocalTree()["/benign.txt"].sha256);
  EXPECT_EQ(testsupport::Sha256Hex("stays where it is"), bed.LocalTree()["/kept.txt"].sha256);
  std::ifstream in(canary, std::ios::binary);
  std::string canary_now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("canary", canary_now);
  EXPECT_EQ(parent_before, TopNames(bed.root()));
  const auto working_after = testsupport::TreeSnapshot::Take(bed.local("/.ZarqelonWorkingDirectory"));
  EXPECT_EQ(0u, working_after.entries().count("/x"));
  EXPECT_TRUE(working_after.entries().count("/#ZarqRecycle") != 0) << working_after.Diff(working_before);
  const json rows = SyncBed::Query(bed.event_db_path(), "SELECT path FROM event_table;");
  ASSERT_TRUE(rows.is_array());
  for (const json& r : rows) {
    const std::string p = r.value("path", "");
    EXPECT_TRUE(p == "/" || p == "/kept.txt" || p == "/benign.txt") << "a record of " << p;
  }
  bed.Finish();
}

// Each malformed reply in turn, twice, then cleared: the daemon lives on,
// without a sanitizer report (checked when the bed reaps it), and
// converges.
TEST_F(E2eTest, MalformedRepliesThenConverges) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  ASSERT_TRUE(bed.WaitConverged());
  int n = 0;
  for (const char* preset :
       {"unknown_tag", "non_string_key", "width_9", "deep_nesting", "truncated", "binary_in_pull"}) {
    SCOPED_TRACE(preset);
    const size_t fired = bed.JournalOf("fault").size();
    ASSERT_NE(0u, bed.server().Fault({{"action", "pull_event"}, {"preset", preset}, {"count", 2}}));
    bed.PutServer("/after-" + std::string(preset), "arrives once the replies are sound " + std::to_string(++n));
    EXPECT_TRUE(ServerStandIn::WaitFor([&] { return bed.JournalOf("fault").size() >= fired + 2; }, 60s));
    bed.server().ClearFaults();
    ASSERT_TRUE(bed.WaitConverged(90s));
    ASSERT_TRUE(bed.daemon().running());
  }
  bed.Finish();
}

}  // namespace
}  // namespace e2e
