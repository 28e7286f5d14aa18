// A user interface that listens and never accepts, against the linked
// daemon: two workers keep syncing both ways at about the pace they have
// with one that accepts, the lost notifications are logged, and "unlink"
// does not wait for the user interface. Built also under ThreadSanitizer.
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "app_fixture.h"
#include "session/ui_notifier.h"
#include "support/stuck_listener.h"

namespace {

using apptest::AppFixture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class UiStallConcurrencyTest : public AppFixture {
 protected:
  static constexpr int kEachWay = 20;

  void Configure(Options& o) override {
    o.worker_count = 3;  // two workers
    o.log_levels =
        "client_debug=4\nworker_debug=4\nsyncer_debug=4\nprogress_syncer_debug=4\nconnection_debug=4\n"
        "channel_ui_debug=4\n";
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::string Content(const std::string& name) { return "content of " + name; }

  // Which of the round's files are not yet on both sides.
  std::string Missing(const std::string& prefix) {
    std::string missing;
    for (int i = 0; i < kEachWay; ++i) {
      const std::string up = prefix + "up" + std::to_string(i) + ".txt";
      const std::string down = prefix + "down" + std::to_string(i) + ".txt";
      const auto on_server = server_.Get("/" + up);
      if (!on_server.has_value() || Slurp(on_server->content_path) != Content(up)) missing += " /" + up;
      if (Slurp(LocalPath(1) + "/" + down) != Content(down)) missing += " local /" + down;
    }
    return missing;
  }

  // Writes kEachWay local files and puts kEachWay server files, all named
  // after `prefix`, and waits until both sides hold all of them. The time it
  // took; the test fails after 120 s.
  std::chrono::milliseconds Round(const std::string& prefix) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kEachWay; ++i) {
      const std::string up = prefix + "up" + std::to_string(i) + ".txt";
      const std::string down = prefix + "down" + std::to_string(i) + ".txt";
      WriteFile("local1/" + up, Content(up));
      EXPECT_NE(0u, server_.Put("/" + down, Content(down)));
    }
    EXPECT_TRUE(WaitUntil([&] { return Missing(prefix).empty(); }, 120s)) << "missing:" << Missing(prefix);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  // The notifications among `messages` that name a file of the round.
  static size_t Naming(const std::vector<PObject>& messages, const std::string& prefix) {
    size_t n = 0;
    for (const PObject& m : messages) {
      if (m.hasMember("path") && std::string(m["path"].asString().c_str_utf8()).rfind("/" + prefix, 0) == 0) ++n;
    }
    return n;
  }
};

TEST_F(UiStallConcurrencyTest, TwoWorkersKeepTheirPaceWhenTheUserInterfaceNeverAccepts) {
  Link();
  Connect(1);
  MakeSessionFolders(1);
  PObject ids;
  ids["session_id"] = 1;
  ASSERT_FALSE(Call("add_session", SessionRequest(1)).hasMember("error")) << Log();
  Call("resume", ids);
  ASSERT_TRUE(WaitUntil(
      [&] { return Call("get_status")["session_list"][0]["status"].asString() == "uptodate"; }, 60s))
      << Text(Call("get_status"));

  // The pace with a user interface that takes every notification.
  const std::chrono::milliseconds accepting = Round("a");
  // At least one notification per file ("syncing_file" when queued).
  EXPECT_TRUE(
      ui_->waitFor([&](const std::vector<PObject>& m) { return Naming(m, "a") >= 2u * kEachWay; }, 30s))
      << Naming(ui_->messages(), "a") << " notifications of the first round arrived";

  // The same against one that never accepts: every delivery waits out the
  // connect time-out (about 20 s), so one notification per file on the
  // workers' or the queue's path would make this round last minutes.
  testsupport::StuckListener stuck;
  ASSERT_TRUE(stuck.ok()) << stuck.error();
  WriteFile("ui.conf", "ui_port=" + std::to_string(stuck.port()) + "\n");
  ASSERT_EQ(0, Settings::getInstance()->loadConfigSettings(Path("ui.conf").c_str()));
  const uint64_t dropped_before = UiNotifier::getInstance().dropped();
  const std::chrono::milliseconds stalled = Round("s");
  EXPECT_LT(stalled, 2 * accepting + 10s) << "with an accepting user interface the round took "
                                          << accepting.count() << " ms";
  EXPECT_EQ(Naming(ui_->messages(), "s"), 0u);

  // "unlink" stops the sender without waiting for the user interface; what
  // it could not deliver is logged, each notification on a line.
  const Clock::time_point unlink = Clock::now();
  EXPECT_FALSE(Call("unlink").hasMember("error"));
  EXPECT_LT(Clock::now() - unlink, UiNotifier::kStopGrace + 10s);
  EXPECT_FALSE(UiNotifier::getInstance().running());
  const uint64_t dropped = UiNotifier::getInstance().dropped() - dropped_before;
  // One a file at least, but the one in flight (aborted, "is not sent").
  EXPECT_GE(dropped, 2u * kEachWay - 1);
  EXPECT_EQ(CountInLog("notification dropped ("), dropped) << Log();
}

}  // namespace
