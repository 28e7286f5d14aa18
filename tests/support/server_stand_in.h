// ServerStandIn: the storage-server stand-in for end-to-end tests, as
// ServerStandInCore (server_stand_in_core.h) with every error a test
// failure, and the stand-in's protocol violations checked when it stops.
#ifndef TESTS_SUPPORT_SERVER_STAND_IN_H_
#define TESTS_SUPPORT_SERVER_STAND_IN_H_

#include <mutex>
#include <string>
#include <vector>

#include "support/server_stand_in_core.h"

namespace testsupport {

// Threads: as ServerStandInCore. A failed control call adds a non-fatal
// test failure naming the operation.
class ServerStandIn : public ServerStandInCore {
 public:
  ServerStandIn();
  // Stop() when still running, so a test that forgets it still has its
  // violations checked.
  ~ServerStandIn() override;

  // Starts the stand-in with a fresh data folder (unless the options name
  // one). false, with a test failure that quotes every line the child
  // printed, when any step fails (the child is then stopped).
  bool Start(const ServerStandInOptions& options = {});

  // Checks the violations against ExpectViolation (each one that matches no
  // expected substring adds a test failure quoting it), then asks the
  // stand-in to shut down and reaps it; a stand-in that does not end within
  // 5 s is killed, and one that ends with a status other than 0 adds a
  // failure. Idempotent.
  void Stop();

  // Marks violations whose text contains `substring` as expected: Stop lets
  // them pass. It does not require that one occurs.
  void ExpectViolation(const std::string& substring);

 private:
  std::mutex expected_mu_;  // guards expected_
  std::vector<std::string> expected_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SERVER_STAND_IN_H_
