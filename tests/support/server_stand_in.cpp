#include "support/server_stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace testsupport {

ServerStandIn::ServerStandIn()
    : ServerStandInCore([](const std::string& text) { ADD_FAILURE() << text; }) {}

ServerStandIn::~ServerStandIn() { Stop(); }

bool ServerStandIn::Start(const ServerStandInOptions& options) {
  std::string error;
  bool ok = ServerStandInCore::Start(options, &error);
  if (!ok) ADD_FAILURE() << error;
  return ok;
}

void ServerStandIn::Stop() {
  if (!running()) return;
  std::vector<nlohmann::json> violations = Violations();
  {
    std::lock_guard<std::mutex> lock(expected_mu_);
    for (const nlohmann::json& v : violations) {
      std::string text = v.value("text", std::string());
      bool expected = std::any_of(expected_.begin(), expected_.end(),
                                  [&](const std::string& sub) { return text.find(sub) != std::string::npos; });
      if (!expected) ADD_FAILURE() << "the server stand-in recorded an unexpected violation: " << v.dump();
    }
    expected_.clear();
  }
  std::string error;
  if (!ServerStandInCore::Stop(&error)) ADD_FAILURE() << error;
}

void ServerStandIn::ExpectViolation(const std::string& substring) {
  std::lock_guard<std::mutex> lock(expected_mu_);
  expected_.push_back(substring);
}

}  // namespace testsupport
