// The end-to-end cases that also run under ThreadSanitizer: both ways in
// short, two daemons on one server folder, and control requests looped
// through the kill rounds' workload.
#include <atomic>

#include "workload.h"

namespace e2e {
namespace {

TEST_F(E2eTest, ShortBothWaysConcurrency) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  ShortBothWays(bed);
  bed.Finish();
}

// Two daemons on one server folder, each with its own session token, edit
// at the same time; every change reaches the other. One file edited on both
// within one pull interval leaves one conflict copy, the same on both.
TEST_F(E2eTest, TwoDaemonsOnOneFolder) {
  SyncBedOptions first_options = Defaults();
  first_options.computer_name = "first-pc";
  SyncBed& first = Bed(first_options);
  ASSERT_TRUE(started_);
  first.server().AddToken("second-token");
  SyncBedOptions second_options = Defaults();
  second_options.shared_server = &first.server();
  second_options.session = "second-token";
  second_options.computer_name = "second-pc";
  SyncBed& second = Bed(second_options);
  ASSERT_TRUE(started_);

  first.WriteLocal("/shared.txt", "before both edit it");
  ASSERT_TRUE(first.WaitConverged());
  ASSERT_TRUE(second.WaitConverged());
  for (int i = 0; i < 20; ++i) {
    first.WriteLocal("/from-first/f" + std::to_string(i), RandomBytes(1000 + i, 500 + i));
    second.WriteLocal("/from-second/f" + std::to_string(i), RandomBytes(1100 + i, 600 + i));
  }
  first.WriteLocal("/shared.txt", "the first daemon's edit", time(nullptr) + 10);
  second.WriteLocal("/shared.txt", "the second daemon's edit", time(nullptr) + 20);
  second.Remember("the first daemon's edit");
  first.Remember("the second daemon's edit");
  // Each converges with the server; then once more, as the later of the
  // two may have changed the server after the other's check.
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(first.WaitConverged(120s));
    ASSERT_TRUE(second.WaitConverged(120s));
  }
  const auto a = first.LocalTree();
  const auto b = second.LocalTree();
  EXPECT_TRUE(a == b) << "the two folders differ";
  int conflicts = 0;
  for (const auto& [path, e] : a) conflicts += path.find("_Conflict") != std::string::npos ? 1 : 0;
  EXPECT_EQ(1, conflicts);
  EXPECT_EQ(20u, Names(a, "/from-first").size());
  EXPECT_EQ(20u, Names(a, "/from-second").size());
  first.Finish();
  second.Finish();
}

// "pause", "resume" and "get_status" in a loop while the workload runs;
// once the loop ends with a "resume", both sides converge on the tree.
TEST_F(E2eTest, ControlRequestsThroughTheWorkload) {
  SyncBed& bed = Bed();
  ASSERT_TRUE(started_);
  KnownTree tree;
  tree.Prepare(bed);
  std::atomic<bool> done{false};
  std::atomic<int> requests{0};
  std::thread control([&] {
    int i = 0;
    while (!done.load()) {
      // Replies are checked by Request itself (a failure when none comes).
      (void)(i % 3 == 0 ? bed.Action("pause") : i % 3 == 1 ? bed.Action("resume") : bed.Status());
      requests = ++i;
      std::this_thread::sleep_for(100ms);
    }
  });
  tree.Workload(bed, 4242);
  // Thirty more requests (ten of each) after the workload's last change.
  const int after_workload = requests.load();
  EXPECT_TRUE(ServerStandIn::WaitFor([&] { return requests.load() >= after_workload + 30; }, 60s));
  done = true;
  control.join();
  ASSERT_TRUE(bed.Action("resume").hasMember("ack"));
  tree.CheckAfterRestart(bed);
}

}  // namespace
}  // namespace e2e
