// Selective sync, one case per rule. Excluded files stay on
// their side (the local ones held back in the filter database) while the
// rest converges; loosening the rule and reloading the session pulls the
// held part from the rule's sync id, and both sides converge.
#include <fstream>

#include "e2e_fixture.h"

namespace e2e {
namespace {

struct SelectiveCase {
  const char* name;
  const char* rule;            // blacklist.filter
  const char* server_path;     // excluded on the server
  const char* local_path;      // excluded locally
  size_t size;                 // of the excluded files
  std::vector<std::string> condition;  // keys of the pull's "condition"
};

void PrintTo(const SelectiveCase& c, std::ostream* os) { *os << c.name; }

class SelectiveSync : public E2eTest, public ::testing::WithParamInterface<SelectiveCase> {};

TEST_P(SelectiveSync, HeldThenReleased) {
  const SelectiveCase& c = GetParam();
  SyncBedOptions options = Defaults();
  options.black_list = c.rule;
  SyncBed& bed = Bed(options);
  ASSERT_TRUE(started_);
  const std::string filter_db = bed.filter_db_path();
  const std::string held_server = RandomBytes(c.size, 91);
  const std::string held_local = RandomBytes(c.size, 92);
  bed.PutServer(c.server_path, held_server);
  bed.WriteLocal(c.local_path, held_local);
  bed.PutServer("/plain-server.txt", "not excluded");
  bed.WriteLocal("/plain-local.txt", "not excluded either");
  bed.IgnoreInTrees({c.server_path, c.local_path});
  ASSERT_TRUE(bed.WaitConverged());
  // The first white list's own condition is worked off first.
  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        const json n = SyncBed::Query(filter_db, "SELECT count(*) AS n FROM filter_resume_table;");
        return n.is_array() && !n.empty() && n[0].value("n", 1) == 0;
      },
      60s));
  auto tree = bed.LocalTree();
  EXPECT_EQ(0u, tree.count(c.server_path)) << "an excluded server file came down";
  EXPECT_FALSE(bed.server().Get(c.local_path).has_value()) << "an excluded local file went up";
  const json held = SyncBed::Query(filter_db, "SELECT path FROM filtered_local_event_table;");
  ASSERT_TRUE(held.is_array());
  bool recorded = false;
  for (const json& r : held) recorded = recorded || r.value("path", "") == c.local_path;
  EXPECT_TRUE(recorded) << held;

  // Loosened.
  uint64_t since = 0;
  (void)bed.server().Journal(0, &since);
  {
    std::ofstream out(bed.config_path() + "/conf/blacklist.filter", std::ios::binary | std::ios::trunc);
  }
  // Paused while the rule is loosened, so that the condition is read as it
  // was made: the ProgressSyncer takes no paused session's condition, and
  // once it has worked one off the row changes or goes.
  ASSERT_TRUE(bed.Action("pause").hasMember("ack"));
  PObject reload = SyncBed::MakeRequest("reload_session");
  reload["session_id"] = static_cast<unsigned long long>(SyncBed::kSessionId);
  reload["do_reload_filter"] = 1;
  const PObject reply = bed.Request(reload);
  EXPECT_FALSE(reply.hasMember("error")) << testsupport::UiStandIn::Describe(reply);
  const json rows = SyncBed::Query(filter_db, "SELECT sync_id, filter_type FROM filter_resume_table;");
  ASSERT_TRUE(rows.is_array());
  EXPECT_FALSE(rows.empty()) << "a resume condition for the loosened rule";
  ASSERT_TRUE(bed.Action("resume").hasMember("ack"));
  bed.IgnoreInTrees({});
  ASSERT_TRUE(bed.WaitConverged(90s));
  bool pulled = false;
  for (const json& e : bed.server().Journal(since)) {
    if (e.value("event", "") != "request" || e.value("action", "") != "pull_event") continue;
    const json& cond = e["request"].value("condition", json());
    if (!cond.is_object()) continue;
    bool all = true;
    for (const std::string& key : c.condition) all = all && cond.contains(key);
    if (!all) continue;
    // The first such pull starts at the condition's sync id; later ones
    // at the sync id the previous one reached.
    if (!pulled && !rows.empty()) {
      EXPECT_EQ(rows[0].value("sync_id", uint64_t{0}), e["request"].value("sync_id", uint64_t{1})) << e;
    }
    pulled = true;
  }
  EXPECT_TRUE(pulled) << "no pull with the condition";
  tree = bed.LocalTree();
  EXPECT_EQ(testsupport::Sha256Hex(held_server), tree[c.server_path].sha256);
  EXPECT_TRUE(bed.server().Get(c.local_path).has_value());
  ASSERT_TRUE(ServerStandIn::WaitFor(
      [&] {
        const json n = SyncBed::Query(filter_db, "SELECT count(*) AS n FROM filter_resume_table;");
        return n.is_array() && !n.empty() && n[0].value("n", 1) == 0;
      },
      60s));
  // Normal pulls go on.
  bed.PutServer("/later.txt", "after the release");
  ASSERT_TRUE(bed.WaitConverged());
  bed.Finish();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, SelectiveSync,
    ::testing::Values(
        SelectiveCase{"Prefix", "[Common]\nblack_path_prefix_selective_sync = \"/big\"\n", "/big/s.bin", "/big/l.bin",
                      3000, {"prefix"}},
        SelectiveCase{"Name", "[File]\nblack_name_selective_sync = \"skip.me\"\n", "/s/skip.me", "/l/skip.me", 3000,
                      {"name"}},
        SelectiveCase{"Size", "[File]\nmax_size_selective_sync = 1000\n", "/s/large.bin", "/l/large.bin", 3000,
                      {"min_size", "max_size"}}),
    [](const ::testing::TestParamInfo<SelectiveCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
