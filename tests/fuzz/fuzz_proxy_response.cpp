// A proxy's answer to CONNECT, fed through a socket pair whose writing end
// is closed after the input, handled as each method would.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transport/zarq_proxy_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input must fit the pair's buffer: nothing reads it while it is written.
  if (size < 1 || size > 60000) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  int buf = 1 << 20;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  size_t off = 1;
  while (off < size) {
    ssize_t n = send(sv[1], data + off, size - off, MSG_NOSIGNAL);
    if (n <= 0) abort();
    off += static_cast<size_t>(n);
  }
  close(sv[1]);
  static char target_host[] = "10.0.0.1";
  static char user[] = "user", pw[] = "pw", dom[] = "dom1", host[] = "ws1";
  PROXY_TARGET_INFO target{target_host, 443};
  PROXY_AUTH_TYPE type = static_cast<PROXY_AUTH_TYPE>(data[0] % 4);
  ZARQ_PROXY_AUTH_DATA auth{user, pw, dom, host, type == PROXY_NTLMv2_AUTH, type == PROXY_NTLM_AUTH,
                            type == PROXY_NTLM_AUTH, 0};
  int rc = ZARQProxyClientHandleHttpResponse(sv[0], type, &target, &auth);
  if (rc > 0 || rc < -6) abort();
  close(sv[0]);
  return 0;
}
