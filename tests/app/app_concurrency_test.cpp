// Threads around the application object, the control loop, the stand-in and
// the settings. Built also under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/ipc_loop.h"
#include "protocol/ipc_sender.h"
#include "raw_peer.h"
#include "settings/settings.h"
#include "support/temp_dir.h"
#include "support/ui_stand_in.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TempDirTest;
using testsupport::UiStandIn;

std::string Text(const PObject& obj) { return obj.toString().c_str_utf8(); }

TEST(AppConcurrencyTest, FourSendersGetEveryReplyWhole) {
  VelkoraApp app;
  ASSERT_EQ(app.run(), 0);
  PObject status_reply;
  status_reply["ack"] = "ok";
  status_reply["session_list"];
  status_reply["connection_list"];
  status_reply["worker_list"];
  PObject bare_reply;
  bare_reply["ack"] = "ok";
  const std::string status_text = Text(status_reply);
  const std::string bare_text = Text(bare_reply);

  std::atomic<int> wrong{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        PObject req;
        req["action"] = (i + t) % 2 == 0 ? "get_status" : "pause";
        PObject rsp;
        // A reply handed back before it is complete would lack "ack" or a list.
        if (app.send_message(req, rsp) != 0 || Text(rsp) != ((i + t) % 2 == 0 ? status_text : bare_text)) ++wrong;
      }
    });
  }
  for (std::thread& s : senders) s.join();
  EXPECT_EQ(wrong.load(), 0);
  app.kill();
  EXPECT_EQ(app.send_message(PObject()), -1);
}

TEST(AppConcurrencyTest, SendersRacingKillAreAnsweredOrRefusedNeverLeftWaiting) {
  VelkoraApp app;
  ASSERT_EQ(app.run(), 0);
  std::atomic<int> answered{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        PObject req;
        req["action"] = "get_status";
        (app.send_message(req) == 0 ? answered : refused)++;
      }
    });
  }
  std::this_thread::sleep_for(1ms);
  app.kill();
  for (std::thread& s : senders) s.join();
  EXPECT_EQ(answered.load() + refused.load(), 800);
}

TEST(AppConcurrencyTest, TheStandInDrainsEightSenders) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();
  constexpr int kThreads = 8;
  constexpr int kEach = 50;
  std::atomic<int> send_failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        IPCSender sender;
        PObject msg;
        msg["notify"] = "syncing_file";
        msg["session_id"] = t;
        msg["path"] = ("/" + std::to_string(i)).c_str();
        msg["is_dir"] = 0;
        msg["event_type"] = 1;
        if (sender.connect(ui.port()) != 0 || sender.send(msg) != 0) ++send_failures;
      }
    });
  }
  for (std::thread& s : senders) s.join();
  EXPECT_EQ(send_failures.load(), 0);
  ASSERT_TRUE(ui.waitFor([](const std::vector<PObject>& m) { return m.size() >= kThreads * kEach; }, 30s));
  EXPECT_EQ(ui.decodeFailures(), 0u);
  std::set<std::string> seen;
  for (const PObject& m : ui.messages()) {
    seen.insert(std::to_string(m["session_id"].asUInt64()) + m["path"].asString().c_str_utf8());
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

class SettingsConcurrencyTest : public TempDirTest {};

TEST_F(SettingsConcurrencyTest, GettersSeeWholeValuesWhileTheLoaderWrites) {
  WriteFile("a.conf", "ui_port=4000\npid_file_path=/run/a.pid\nworker_count=5\n");
  WriteFile("b.conf", "ui_port=5000\npid_file_path=/run/b-with-a-longer-name.pid\nworker_count=9\n");
  Settings settings;
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        int port = settings.getUIPort();
        ustring pid = settings.getPidFilePath();
        uint32_t workers = settings.getWorkerCount();
        if (port != 1024 && port != 4000 && port != 5000) ++wrong;
        if (pid != "/var/run/trelvik-daemon.pid" && pid != "/run/a.pid" && pid != "/run/b-with-a-longer-name.pid") {
          ++wrong;
        }
        if (workers != 3 && workers != 5 && workers != 9) ++wrong;
        (void)settings.getUISocketPath();
        (void)settings.isForeground();
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(settings.loadConfigSettings(ustring(Path(i % 2 ? "a.conf" : "b.conf").c_str())), 0);
    if (i % 3 == 0) settings.resetToDefaults();
  }
  done.store(true);
  for (std::thread& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
}

class ControlLoopConcurrencyTest : public TempDirTest {
 protected:
  void TearDown() override { Settings::getInstance()->resetToDefaults(); }
};

TEST_F(ControlLoopConcurrencyTest, ClientsOnSeveralThreadsAreServedOneAtATime) {
  UiStandIn ui;
  ASSERT_GT(ui.port(), 0) << ui.error();
  WriteFile("daemon.conf", "ui_port=" + std::to_string(ui.port()) + "\n");
  ASSERT_EQ(Settings::getInstance()->loadConfigSettings(ustring(Path("daemon.conf").c_str())), 0);

  VelkoraApp app;
  ASSERT_EQ(app.run(), 0);
  std::atomic<int> loop_result{1};
  std::thread loop([&] { loop_result = recieve_from_ipc(app); });
  const int port = ui.daemonPort();
  ASSERT_GT(port, ui.port());

  const std::string status_reply =
      apptest::MapOf(apptest::Str("ack") + apptest::Str("ok") + apptest::Str("connection_list") +
                     std::string("\0\0", 2) + apptest::Str("session_list") + std::string("\0\0", 2) +
                     apptest::Str("worker_list") + std::string("\0\0", 2));
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        bool ok = false;
        if (apptest::Exchange(port, apptest::Action("get_status"), &ok) != status_reply || !ok) ++wrong;
      }
    });
  }
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(wrong.load(), 0);

  bool ok = false;
  EXPECT_EQ(apptest::Exchange(port, apptest::Action("stop"), &ok), "");
  loop.join();
  EXPECT_EQ(loop_result.load(), 0);
  app.kill();
}

}  // namespace
