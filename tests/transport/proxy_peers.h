// Real HTTP proxies for the tests: tinyproxy and squid (with its fake NTLM
// helper), each started with its own configuration in a test folder on a
// free loopback port, and stopped by its pid when the holder goes. A missing
// program fails the test.
#ifndef TESTS_TRANSPORT_PROXY_PEERS_H_
#define TESTS_TRANSPORT_PROXY_PEERS_H_

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "loopback.h"
#include "support/background_process.h"

namespace proxypeers {

// A port that was free a moment ago.
inline int FreePort() {
  int port = 0;
  loopback::Fd probe = loopback::Listener(1, &port);
  return port;
}

inline bool WaitAccepting(int port, std::chrono::seconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (loopback::Connect(port).get() >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// tinyproxy; with `basic_auth` ("user password") it asks for Basic.
inline void StartTinyproxy(testsupport::BackgroundProcess* proc, const std::string& dir,
                           const std::string& basic_auth, int* port) {
  *port = FreePort();
  std::string conf = dir + "/tp.conf";
  std::string text = "Port " + std::to_string(*port) +
                     "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nPidFile \"" + dir + "/tp.pid\"\nLogFile \"" +
                     dir + "/tp.log\"\n";
  if (!basic_auth.empty()) text += "BasicAuth " + basic_auth + "\n";
  WriteText(conf, text);
  std::string error;
  ASSERT_TRUE(proc->Start({"tinyproxy", "-d", "-c", conf}, &error)) << error;
  ASSERT_TRUE(WaitAccepting(*port, std::chrono::seconds(10))) << ReadText(dir + "/tp.log");
}

// squid with ntlm_fake_auth (and basic_fake_auth when `basic`). `dir` is
// handed to the user "proxy", to which squid drops when started as root.
inline void StartSquid(testsupport::BackgroundProcess* proc, const std::string& dir, bool basic, int* port) {
  if (geteuid() == 0) {
    struct passwd* pw = getpwnam("proxy");
    ASSERT_NE(nullptr, pw) << "no user proxy";
    ASSERT_EQ(0, chown(dir.c_str(), pw->pw_uid, pw->pw_gid));
  }
  *port = FreePort();
  std::string conf = dir + "/squid.conf";
  std::string text = "http_port 127.0.0.1:" + std::to_string(*port) + "\npid_filename " + dir +
                     "/squid.pid\ncache deny all\ncache_mem 8 MB\naccess_log stdio:" + dir +
                     "/access.log\ncache_log " + dir + "/cache.log\ncoredump_dir " + dir +
                     "\nshutdown_lifetime 1 seconds\ncache_effective_user proxy\n"
                     "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\nauth_param ntlm children 2\n";
  if (basic) text += "auth_param basic program /usr/lib/squid/basic_fake_auth\n";
  text += "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
  WriteText(conf, text);
  std::string error;
  ASSERT_TRUE(proc->Start({"squid", "-N", "-f", conf}, &error)) << error;
  ASSERT_TRUE(WaitAccepting(*port, std::chrono::seconds(20))) << ReadText(dir + "/cache.log");
}

// Stops squid and waits for it to write its logs and exit.
inline void StopSquid(testsupport::BackgroundProcess* proc) { proc->Stop(std::chrono::seconds(15)); }

}  // namespace proxypeers

#endif  // TESTS_TRANSPORT_PROXY_PEERS_H_
