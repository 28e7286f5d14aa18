// `openssl s_server` as a TLS peer for the channel tests: it answers each
// line with the line reversed ("hello world\n" -> "dlrow olleh\n") and serves
// one client, until that client closes.
#ifndef TESTS_TRANSPORT_S_SERVER_H_
#define TESTS_TRANSPORT_S_SERVER_H_

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/pki.h"

namespace tlstest {

// Starts s_server with the test PKI's `cert_name`.pem and .key and the
// `extra` options (e.g. "-tls1_3") and returns its port in *port. A missing
// openssl fails the test.
inline void StartSServer(testsupport::BackgroundProcess* server, const std::string& cert_name,
                         const std::vector<std::string>& extra, int* port) {
  std::vector<std::string> argv = {"openssl",
                                   "s_server",
                                   "-accept",
                                   "127.0.0.1:0",
                                   "-cert",
                                   testsupport::PkiPath(cert_name + ".pem"),
                                   "-key",
                                   testsupport::PkiPath(cert_name + ".key"),
                                   "-rev",
                                   "-naccept",
                                   "1"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::string error;
  ASSERT_TRUE(server->Start(argv, &error)) << error;
  // A line on DH parameters may come first.
  const std::string prefix = "ACCEPT 127.0.0.1:";
  std::string line, seen;
  ASSERT_TRUE(server->WaitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, &line,
                                  std::chrono::seconds(10), &seen))
      << "s_server did not start; its output:\n"
      << seen;
  *port = std::stoi(line.substr(prefix.size()));
}

}  // namespace tlstest

#endif  // TESTS_TRANSPORT_S_SERVER_H_
