#include "transport/zarq_proxy_client.h"

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/socket.h"
#include "platform/socket_extra.h"
#include "transport/zarq_proxy_auth.h"
#include "transport/zarq_proxy_http.h"
#include "transport/zarq_proxy_util.h"

namespace {

// The target goes into the request line and the Host header: a blank or a
// control character there would split or add header lines.
bool SafeTarget(const char* s) {
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool ValidParameters(pPROXY_SERVER_INFO server, pPROXY_TARGET_INFO target, pZARQ_PROXY_AUTH_DATA auth) {
  return server != nullptr && target != nullptr && auth != nullptr && server->szProxyAddress != nullptr &&
         server->szProxyAddress[0] != '\0' && target->szTargetAddress != nullptr &&
         target->szTargetAddress[0] != '\0' && SafeTarget(target->szTargetAddress) && auth->szUserName != nullptr && auth->szUserPasswd != nullptr &&
         auth->szDomainName != nullptr && auth->szHostName != nullptr;
}

int CloseAndFail(int sock) {
  (void)platform::CloseSocket(sock);  // never connected as far as the caller knows
  return -1;
}

// The body of one race thread: the method's result (a socket or a code).
void ExecuteProxyAuthByType(PROXY_AUTH_INFO_PACK pack, int* result) {
  *result = HandleProxyAuthByProto(&pack.server_info, &pack.target_info, &pack.auth_info, pack.auth_type);
}

}  // namespace

void ZARQProxyTunnelClose(int sock) {
  if (sock < 0) return;
  // A peer that has gone already makes shutdown fail; close all the same.
  (void)platform::ShutdownSocket(sock);
  (void)platform::CloseSocket(sock);
}

int ZARQProxyConnect(char const* address, uint16_t port) {
  if (address == nullptr || address[0] == '\0') return -1;
  in_addr addr;
  if (!platform::ResolveIPv4(address, &addr)) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_util [%d]Proxy server could not be resolved.\n",
                    __LINE__);
    return -1;
  }
  int sock = platform::CreateTcpSocket();
  if (sock < 0) return -1;
  if (platform::SetSocketLinger(sock, 1) != 0 || platform::SetSocketNonBlocking(sock) != 0 ||
      platform::SetSocketNoDelay(sock) != 0) {
    return CloseAndFail(sock);
  }
  int err = platform::StartConnect(sock, addr, port);
  if (err == 0) return sock;
  if (err != EINPROGRESS) return CloseAndFail(sock);
  for (int waits = 0; waits < kProxyMaxWaits;) {
    unsigned ready = 0;
    int error = 0;
    switch (platform::WaitSocket(sock, platform::kWaitWrite, 2000, nullptr, &ready, &error)) {
      case platform::WaitStatus::kTimeout:
        ++waits;
        continue;
      case platform::WaitStatus::kReady: {
        // Writable or failed: the pending error tells which.
        int so_error = 0;
        if (platform::PendingSocketError(sock, &so_error) != 0 || so_error != 0) return CloseAndFail(sock);
        if (ready & platform::kWaitWrite) {
          PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient [%d]Connect to proxy server success\n",
                          __LINE__);
          return sock;
        }
        ++waits;
        continue;
      }
      case platform::WaitStatus::kAborted:
      case platform::WaitStatus::kError:
        return CloseAndFail(sock);
    }
  }
  PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_util [%d]connect retry %d times and fail\n", __LINE__,
                  kProxyMaxWaits - 1);
  return CloseAndFail(sock);
}

int HandleProxyAuthByProto(pPROXY_SERVER_INFO server, pPROXY_TARGET_INFO target, pZARQ_PROXY_AUTH_DATA auth,
                           PROXY_AUTH_TYPE type) {
  if (!ValidParameters(server, target, auth)) return ZARQ_PROXY_ERR_PARAM;
  int sock = ZARQProxyConnect(server->szProxyAddress, server->ProxyPort);
  if (sock < 0) return ZARQ_PROXY_ERR_IO;
  const ZARQ_PROXY_AUTH_CONTROL* control = nullptr;
  for (const ZARQ_PROXY_AUTH_CONTROL& row : AuthControlList) {
    if (row.type == type) control = &row;
  }
  if (control == nullptr || control->auth_cb == nullptr) {
    ZARQProxyTunnelClose(sock);
    return ZARQ_PROXY_ERR_UNUSABLE;
  }
  if (control->auth_cb(sock, auth, target) >= 0) return sock;
  ZARQProxyTunnelClose(sock);
  return ZARQ_PROXY_ERR_AUTH;
}

int HandleProxyAnyAuth(pPROXY_SERVER_INFO server, pPROXY_TARGET_INFO target, pZARQ_PROXY_AUTH_DATA auth) {
  if (!ValidParameters(server, target, auth)) return ZARQ_PROXY_ERR_PARAM;
  std::thread threads[kAuthControlCount];
  int results[kAuthControlCount];
  for (int i = 0; i < kAuthControlCount; ++i) {
    results[i] = -1;
    PROXY_AUTH_INFO_PACK pack{AuthControlList[i].type, *server, *target, *auth};
    try {
      threads[i] = std::thread(ExecuteProxyAuthByType, pack, &results[i]);
    } catch (const std::system_error&) {
      // A method whose thread cannot start takes no part in the race.
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient [%d]thread for %s not started\n", __LINE__,
                      AuthControlList[i].auth_str);
    }
  }
  int kept = -1;
  for (int i = 0; i < kAuthControlCount; ++i) {
    if (!threads[i].joinable()) continue;
    threads[i].join();
    // Descriptor 0 is a socket like any other (stdin may be closed).
    if (results[i] < 0) continue;
    if (kept < 0) {
      kept = results[i];
      PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient [%d]%s kept\n", __LINE__,
                      AuthControlList[i].auth_str);
    } else {
      ZARQProxyTunnelClose(results[i]);
    }
  }
  return kept;
}

int ZARQProxyTunnelOpen(pPROXY_SERVER_INFO pProxyServerInfo, pPROXY_TARGET_INFO pProxyTargetInfo,
                        pPROXY_AUTH_INFO pProxyAuthInfo) {
  if (pProxyServerInfo == nullptr || pProxyTargetInfo == nullptr || pProxyAuthInfo == nullptr) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient [%d]Bad parameter\n", __LINE__);
    return ZARQ_PROXY_ERR_PARAM;
  }
  ZARQ_PROXY_AUTH_DATA auth{pProxyAuthInfo->szUserName,
                            pProxyAuthInfo->szUserPasswd,
                            pProxyAuthInfo->szUserDomain,
                            pProxyAuthInfo->szUserHost,
                            0,
                            0,
                            0,
                            0};
  if (!ValidParameters(pProxyServerInfo, pProxyTargetInfo, &auth)) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient [%d]Bad parameter\n", __LINE__);
    return ZARQ_PROXY_ERR_PARAM;
  }
  int sock = pProxyAuthInfo->AuthType == PROXY_AUTO_AUTH
                 ? HandleProxyAnyAuth(pProxyServerInfo, pProxyTargetInfo, &auth)
                 : HandleProxyAuthByProto(pProxyServerInfo, pProxyTargetInfo, &auth, pProxyAuthInfo->AuthType);
  return sock < 0 ? ZARQ_PROXY_ERR_AUTH : sock;
}
