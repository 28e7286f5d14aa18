// A seeded storm of control requests against the real daemon while its two
// workers sync both ways with a storage server that answers with
// keep-alives, holds its pulls and stalls upload bodies: every request is
// answered within its bound, "stop" ends the daemon within its own, and no
// content the test put on either side is lost.
//
// The seed is printed; STORM_SEED=<n> replays that storm.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "app/app.h"
#include "foundation/daemon_timing_text.h"
#include "support/short_timing.h"
#include "support/sync_bed.h"

namespace {

using namespace std::chrono_literals;
using testsupport::SyncBed;
using testsupport::SyncBedOptions;
using testsupport::UiStandIn;
using Clock = std::chrono::steady_clock;

uint64_t StormSeed() {
  if (const char* env = std::getenv("STORM_SEED")) return std::strtoull(env, nullptr, 10);
  return static_cast<uint64_t>(Clock::now().time_since_epoch().count());
}

// What the storm has made of the daemon so far.
struct DaemonState {
  bool linked = true;
  bool session = true;
  bool paused = false;
  // Whether the daemon should be syncing.
  bool active() const { return linked && session && !paused; }
};

class ControlStorm : public ::testing::Test {
 protected:
  void SetUp() override {
    timing_ = testsupport::ShortTiming();
    // Short, so that an upload's reply wait holds an interruption briefly;
    // the stop cuts it in any case.
    timing_.worker_reply_timeout = 2s;
    SyncBedOptions o;
    o.daemon_binary = DAEMON_BINARY;
    o.worker_count = 3;  // two workers
    o.timing = FormatDaemonTiming(timing_);
    ASSERT_TRUE(bed_.Start(o));
    // Every pull and every upload answered after keep-alives, every upload
    // body stalled past its first 64 KiB: a channel is nearly always held
    // in a wait that only an interruption ends.
    bed_.server().Fault({{"action", "pull_event"}, {"keep_alives", 8}, {"keep_alive_ms", 250}, {"count", -1}});
    bed_.server().Fault({{"action", "upload"}, {"keep_alives", 10}, {"keep_alive_ms", 250}, {"count", -1}});
    bed_.server().Fault({{"action", "upload"}, {"stall_ms", 1500}, {"bytes", 1 << 16}, {"count", -1}});
  }

  // Reads the stand-in's journal from where the last call stopped: its
  // next sequence number grows with every request, keep-alive and stall.
  uint64_t JournalNext() {
    for (const nlohmann::json& e : bed_.server().Journal(next_, &next_)) {
      if (e.value("event", "") != "fault") continue;
      const nlohmann::json& effect = e["effect"];
      if (effect.is_string() && effect.get<std::string>().rfind("stall ", 0) == 0) ++stalls_;
    }
    return next_;
  }
  // Upload bodies the stand-in stalled so far.
  size_t Stalls() {
    (void)JournalNext();
    return stalls_;
  }

  // Sends `req` and checks that it is answered within the bound of every
  // control request.
  void Timed(const PObject& req) {
    const Clock::time_point start = Clock::now();
    const PObject reply = bed_.Request(req);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(reply.isNull()) << UiStandIn::Describe(req);
    EXPECT_LT(took, ControlRequestBound(timing_))
        << UiStandIn::Describe(req) << " took " << took.count() << " ms";
    log_ += UiStandIn::Describe(req) + " " + std::to_string(took.count()) + " ms\n";
  }

  PObject SessionAction(const char* action) {
    PObject req = SyncBed::MakeRequest(action);
    req["session_id"] = static_cast<unsigned long long>(SyncBed::kSessionId);
    return req;
  }

  // One request of the storm, chosen by `pick`, and its effect on `state`.
  void Step(unsigned pick, DaemonState& state) {
    switch (pick) {
      case 0:
        Timed(SessionAction("pause"));
        state.paused = state.session || state.paused;
        break;
      case 1:
        Timed(SessionAction("resume"));
        state.paused = false;
        break;
      case 2:
        Timed(bed_.ConnectionRequest("reload_connection"));
        break;
      case 3:
        Timed(SessionAction("remove_session"));
        state.session = false;
        state.paused = false;
        break;
      case 4:
        Timed(bed_.SessionRequest());
        // A new session starts paused until "resume".
        state.session = state.linked;
        state.paused = state.linked;
        break;
      case 5:
        Timed(SyncBed::MakeRequest("unlink"));
        state = DaemonState{false, false, false};
        break;
      default:
        Timed(SyncBed::MakeRequest("link"));
        Timed(bed_.ConnectionRequest());
        Timed(bed_.SessionRequest());
        state = DaemonState{true, true, true};
        break;
    }
  }

  DaemonTiming timing_;
  SyncBed bed_;
  std::string log_;  // the requests sent and how long each took
  uint64_t next_ = 0;
  size_t stalls_ = 0;
};

TEST_F(ControlStorm, EveryRequestAnsweredInBoundStopEndsTheDaemonAndNothingIsLost) {
  const uint64_t seed = StormSeed();
  std::printf("control storm seed %llu (STORM_SEED=%llu replays it)\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  DaemonState state;

  constexpr int kSteps = 12;
  for (int i = 0; i < kSteps; ++i) {
    // A change on each side, now and then a large one whose upload body the
    // stand-in stalls.
    const size_t size = rng() % 4 == 0 ? (1u << 20) + rng() % 4096 : 100 + rng() % 4096;
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    bed_.WriteLocal("/local" + std::to_string(i) + ".bin", bytes);
    bed_.PutServer("/server" + std::to_string(i) + ".txt", "server change " + std::to_string(i) + " of " +
                                                             std::to_string(seed));

    const uint64_t before = JournalNext();
    Step(static_cast<unsigned>(rng() % 7), state);
    if (HasFatalFailure()) return;
    // The daemon works again after the request: the stand-in hears from it.
    if (state.active()) {
      ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return JournalNext() > before; }, 30s))
          << "nothing reached the stand-in after:\n" << log_;
    }
  }

  // Syncing once more, with an upload body stalled at the stand-in, then
  // "stop".
  if (!state.linked) Step(6, state);
  if (!state.session) Step(4, state);
  if (state.paused) Step(1, state);
  const size_t stalls = Stalls();
  std::string last(2u << 20, '\0');
  for (char& c : last) c = static_cast<char>(rng());
  bed_.WriteLocal("/last.bin", last);
  ASSERT_TRUE(testsupport::ServerStandIn::WaitFor([&] { return Stalls() > stalls; }, 30s))
      << "no upload body was stalled after the last change:\n" << log_;

  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(bed_.ui().stop());
  int code = -1;
  ASSERT_TRUE(bed_.daemon().WaitExit(&code, kStopBound)) << log_;
  EXPECT_LT(Clock::now() - start, kStopBound);
  EXPECT_EQ(code, 0);
  bed_.ExpectNothingLost();
}

}  // namespace
