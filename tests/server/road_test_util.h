// Helpers of the server library's tests: a captured log, a recording log
// profile, a worker-shaped test profile and a peek at a channel's abort flag.
#ifndef TESTS_SERVER_ROAD_TEST_UTIL_H_
#define TESTS_SERVER_ROAD_TEST_UTIL_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/logger.h"
#include "foundation/ustring.h"
#include "server/request_road.h"
#include "server/road_log.h"
#include "server/server_code_map.h"
#include "support/text_count.h"
#include "support/temp_dir.h"
#include "transport/channel.h"

namespace roadtest {

// The abort flag a channel holds (null when detached). Reads the protected
// member through a member pointer formed in a derived class, which the
// language allows for any Channel.
struct ChannelPeek : Channel {
  static const std::atomic<int>* Flag(const Channel& ch) { return ch.*(&ChannelPeek::flag); }
};

// A fixture whose log goes to test.log in a temporary folder with every
// component of the server road at DEBUG. TearDown gives the process its
// default log back.
class LogTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    WriteFile("levels.conf",
              "syncer_debug=7\nconnection_debug=7\nroad_test_debug=7\nchannel_ui_debug=7\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, Path("test.log").c_str(), Path("levels.conf").c_str(),
                                    50));
  }
  void TearDown() override {
    Logger::Destroy();
    (void)Logger::Initialize(Logger::STDERR_LOGGER, "", "", 0);
  }
  std::string Log() const { return ReadFile("test.log"); }
  bool Logged(const std::string& piece) const { return Log().find(piece) != std::string::npos; }
  size_t Count(const std::string& piece) const { return testsupport::CountOf(Log(), piece); }
};

// Records every road line as "Name arg..." (thread-safe), and writes it to
// the log under "road_test_debug" too, so a failing test shows the story.
class RecordingLog : public RoadLog {
 public:
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lk(mu_);
    return lines_;
  }
  bool Has(const std::string& line) const {
    for (const std::string& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> lk(mu_);
    lines_.clear();
  }

  void EstablishFailed(const char* exchange, ErrorCode code) const override {
    Add("EstablishFailed " + std::string(exchange) + " " + std::to_string(ErrorNumber(code)));
  }
  void ExchangeFailed(const char* exchange, ErrorCode code) const override {
    Add("ExchangeFailed " + std::string(exchange) + " " + std::to_string(ErrorNumber(code)));
  }
  void Connecting(const char* ip, int port) const override {
    Add("Connecting " + std::string(ip) + ":" + std::to_string(port));
  }
  void OpenFailed(ErrorCode code) const override { Add("OpenFailed " + std::to_string(ErrorNumber(code))); }
  void RequestSsl() const override { Add("RequestSsl"); }
  void SslRefused(const char* reply) const override { Add("SslRefused " + std::string(reply)); }
  void ConvertingToSsl() const override { Add("ConvertingToSsl"); }
  void ConvertFailed(ErrorCode code) const override { Add("ConvertFailed " + std::to_string(ErrorNumber(code))); }
  void Encrypted() const override { Add("Encrypted"); }
  void ConnectError(const char* error) const override { Add("ConnectError " + std::string(error)); }
  void ServerBuild(uint32_t build) const override { Add("ServerBuild " + std::to_string(build)); }
  void Refused() const override { Add("Refused"); }
  void RequestOut(const char* request) const override { Add("RequestOut " + std::string(request)); }
  void HeaderFailed(const char* action, ErrorCode code) const override {
    Add("HeaderFailed " + std::string(action) + " " + std::to_string(ErrorNumber(code)));
  }
  void SendFailed(const char* action, int code) const override {
    Add("SendFailed " + std::string(action) + " " + std::to_string(code));
  }
  void KeepAlive() const override { Add("KeepAlive"); }
  void RecvFailed(const char* action, int code) const override {
    Add("RecvFailed " + std::string(action) + " " + std::to_string(code));
  }
  void ReplyIn(const char* reply) const override { Add("ReplyIn " + std::string(reply)); }
  void ViewInvalidPath(uint32_t code) const override { Add("ViewInvalidPath " + std::to_string(code)); }
  void ServerError(uint32_t code) const override { Add("ServerError " + std::to_string(code)); }
  void UnhandledCode(uint32_t code) const override { Add("UnhandledCode " + std::to_string(code)); }

 private:
  void Add(const std::string& line) const {
    Logger::LogMsg(Logger::L_DEBUG, "road_test_debug", "[DEBUG] road-test(%d): %s\n", __LINE__, line.c_str());
    std::lock_guard<std::mutex> lk(mu_);
    lines_.push_back(line);
  }
  mutable std::mutex mu_;
  mutable std::vector<std::string> lines_;
};

// A profile shaped as the worker's: "connect" with "do_ssl", TLS after the
// reply; build line; no CRIT for 0x3003; the worker's class table; the
// abort flag per exchange, detached for upload replies.
inline RoadProfile WorkerShapedProfile(const RoadLog* log) {
  return RoadProfile{
      "road_test_debug",
      HandshakeOrder::kConnectThenTls,
      true,
      ServerCodeRules{false, kWorkerClassTable},
      AbortFlagPolicy::kPerExchange,
      90,
      60,
      log,
  };
}

// Hooks as a worker would set them: stream codes mapped by a fixed rule
// (recorded), a receive folder.
class TestHooks : public RoadHooks {
 public:
  ErrorCode StreamError(PStream::Code stream_code) override {
    stream_codes.push_back(stream_code);
    return stream_code == PStream::Code::kDiskFull ? ERR_LOCAL_DISKFULL : ERR_SYS;
  }
  ustring ReceiveFolder() override { return folder; }

  std::vector<PStream::Code> stream_codes;
  ustring folder;
};

}  // namespace roadtest

#endif  // TESTS_SERVER_ROAD_TEST_UTIL_H_
