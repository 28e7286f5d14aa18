// The real daemon shutting down while its workers are stuck in transfers
// that the server has stalled.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

#include "app/app.h"
#include "support/daemon_process.h"
#include "support/pki.h"
#include "support/server_stand_in.h"
#include "support/temp_dir.h"
#include "support/ui_stand_in.h"

namespace {

using namespace std::chrono_literals;
using testsupport::DaemonProcess;
using testsupport::ServerStandIn;
using testsupport::UiStandIn;
using Clock = std::chrono::steady_clock;

// How the daemon is told to end: "stop" (0) or a signal.
class DaemonShutdownTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(Path("daemon").c_str(), 0755));
    daemon_ = std::make_unique<DaemonProcess>(DAEMON_BINARY, Path("daemon"));
    testsupport::ServerStandInOptions o;
    o.tokens = {"app-token"};
    o.views = {11};
    o.expect_tls = true;
    ASSERT_TRUE(server_.Start(o));
  }

  PObject Request(const PObject& req) {
    PObject reply;
    EXPECT_EQ(ui_.request(req, &reply), UiStandIn::kReply) << req.toString().c_str_utf8();
    EXPECT_FALSE(std::as_const(reply).hasMember("error")) << reply.toString().c_str_utf8();
    return reply;
  }

  // The daemon with two workers, trusting the stand-in's CA, announced to
  // the user-interface stand-in.
  void StartDaemon() {
    daemon_->Set("ui_port", std::to_string(ui_.port()));
    daemon_->Set("cert_path", testsupport::PkiPath("ca.pem"));
    daemon_->Set("worker_count", "3");
    ASSERT_TRUE(daemon_->Start());
    ASSERT_GT(ui_.daemonPort(), 0) << daemon_->Stdout();
  }

  // The session's folder, its configuration folder and its rule files.
  void MakeSessionFolders() {
    ASSERT_EQ(0, mkdir(Path("local").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("config").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("config/conf").c_str(), 0755));
    WriteFile("config/conf/blacklist.filter", "");
    WriteFile("config/conf/whitelist.filter", "[File]\nwhite_ext = \"*\"\n");
    WriteFile("config/conf/force-hash-check-list.filter", "");
  }

  // link, link_connection (TLS to the stand-in), add_session 2 on
  // MakeSessionFolders' folders, resume: each answered without an error.
  // The link_connection request.
  PObject LinkAndResumeSession() {
    PObject req;
    req["action"] = "link";
    Request(req);
    PObject connection;
    connection["action"] = "link_connection";
    connection["connection_id"] = 1;
    connection["server_ip"] = "127.0.0.1";
    connection["server_port"] = server_.port();
    connection["session"] = "app-token";
    connection["use_ssl"] = 1;
    connection["ssl_server_hostname"] = "server.test";
    connection["computer_name"] = "PC1";
    Request(connection);
    req = PObject();
    req["action"] = "add_session";
    req["connection_id"] = 1;
    req["session_id"] = 2;
    req["view_id"] = 11;
    req["config_path"] = Path("config").c_str();
    req["sync_folder"] = Path("local").c_str();
    Request(req);
    req = PObject();
    req["action"] = "resume";
    req["session_id"] = 2;
    Request(req);
    return connection;
  }

  size_t StalledBodies() {
    size_t n = 0;
    for (const nlohmann::json& e : server_.Journal()) {
      if (e.value("event", "") == "fault" && e.value("effect", "").rfind("stall ", 0) == 0) ++n;
    }
    return n;
  }

  UiStandIn ui_;
  ServerStandIn server_;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_P(DaemonShutdownTest, EndsWithinFiveSecondsWhileTwoWorkersStreamStalledBodies) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon());

  // Two files that each take a resumable upload whose body the server stops
  // reading after 1 MiB, for a minute: more than the socket buffers hold,
  // so both senders block.
  ASSERT_NO_FATAL_FAILURE(MakeSessionFolders());
  for (const char* name : {"one.bin", "two.bin"}) {
    std::string bytes(32 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(i + name[0]);
    WriteFile(std::string("local/") + name, bytes);
  }
  server_.Fault({{"action", "resume_upload"}, {"stall_ms", 60000}, {"bytes", 1 << 20}, {"count", 2}});

  LinkAndResumeSession();

  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return StalledBodies() == 2; }, 60s)) << daemon_->Stdout();
  // Both senders run into the stall, each still reported as uploading.
  PObject status_req;
  status_req["action"] = "get_status";
  PObject status;
  auto both_uploading = [&] {
    status = Request(status_req);
    const PObject& list = status["worker_list"];
    if (!list.isArray() || list.asArray().size() != 2) return false;
    for (const PObject& w : list.asArray()) {
      if (w["status"].asString() != "uploading") return false;
    }
    return true;
  };
  (void)ServerStandIn::WaitFor(both_uploading, 30s);
  ASSERT_EQ(status["worker_list"].asArray().size(), 2u) << status.toString().c_str_utf8();
  for (const PObject& w : status["worker_list"].asArray()) EXPECT_EQ(w["status"].asString(), "uploading");

  const Clock::time_point start = Clock::now();
  if (GetParam() == 0) {
    EXPECT_TRUE(ui_.stop());
  } else {
    ASSERT_TRUE(daemon_->Signal(GetParam()));
  }
  int code = -1;
  ASSERT_TRUE(daemon_->WaitExit(&code, 5s)) << daemon_->Stdout();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
  EXPECT_EQ(code, 0) << daemon_->Stdout() << daemon_->Stderr();
  struct stat st;
  EXPECT_NE(0, lstat(daemon_->PidFilePath().c_str(), &st));
  // The stalled bodies were never completed.
  EXPECT_FALSE(server_.Get("/one.bin").has_value());
  EXPECT_FALSE(server_.Get("/two.bin").has_value());
}

// SIGTERM while a control request waits for a worker whose upload's reply
// never comes (keep-alives alone, the daemon's own 90-s reply time-out):
// the request's wait is cut and the daemon ends within its stop bound.
TEST_F(DaemonShutdownTest, SigtermCutsARequestThatWaitsForAnUploadsReply) {
  daemon_->SetLogLevels("client_debug=7\nipc=7\nworker_debug=6\n");
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  ASSERT_NO_FATAL_FAILURE(MakeSessionFolders());
  WriteFile("local/a.txt", "committed, then keep-alives alone");
  server_.Fault({{"action", "upload"}, {"keep_alives", 100000}, {"keep_alive_ms", 200}, {"count", 1}});

  PObject connection = LinkAndResumeSession();
  auto keep_alives = [&] {
    size_t n = 0;
    for (const nlohmann::json& e : server_.Journal()) n += e.value("event", "") == "keep_alive" ? 1 : 0;
    return n;
  };
  ASSERT_TRUE(ServerStandIn::WaitFor([&] { return keep_alives() >= 10; }, 30s)) << daemon_->Stdout();

  // The reload interrupts the uploading worker and waits for it.
  connection["action"] = "reload_connection";
  std::thread reload([&] {
    PObject reply;
    (void)ui_.request(connection, &reply);  // answered or cut off by the end: either is fine
  });
  const bool waiting = ServerStandIn::WaitFor(
      [&] { return daemon_->Stdout().find("register barrier") != std::string::npos; }, 30s);
  EXPECT_TRUE(waiting) << daemon_->Stdout();

  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(daemon_->Signal(SIGTERM));
  int code = -1;
  const bool ended = daemon_->WaitExit(&code, kStopBound);
  const std::string out = daemon_->Stdout();
  if (!ended) daemon_->Kill();  // so that the request ends too
  reload.join();
  ASSERT_TRUE(ended) << out;
  EXPECT_LT(Clock::now() - start, kStopBound);
  EXPECT_EQ(code, 0) << daemon_->Stdout() << daemon_->Stderr();
}

INSTANTIATE_TEST_SUITE_P(StopAndTerm, DaemonShutdownTest, ::testing::Values(0, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 0 ? std::string("Stop") : std::string("Sigterm");
                         });

}  // namespace
