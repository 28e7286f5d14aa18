#include "transport/zarq_tunnel_client.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "transport/zarq_crypto.h"

namespace {

constexpr int kLocalFailure = -ZARQTUNNEL_ERR_CONN_FAILED;
constexpr int kLocalTimeout = -ZARQTUNNEL_ERR_CONN_TIMEOUT;

long long WaitMs(const timeval& t) {
  long long ms = static_cast<long long>(t.tv_sec) * 1000 + t.tv_usec / 1000;
  return ms < 0 ? 0 : (ms > INT_MAX ? INT_MAX : ms);
}

// A wait that times out counts at least 1 ms, so that the allowance always
// runs out.
long long CountedMs(long long ms) { return ms > 0 ? ms : 1; }

enum class Ready { kYes, kTimeout, kFailed };

Ready WaitFor(SSL* ssl, unsigned want, const timeval& timeout) {
  unsigned ready = 0;
  int error = 0;
  switch (platform::WaitSocket(SSL_get_fd(ssl), want, static_cast<int>(WaitMs(timeout)), nullptr, &ready, &error)) {
    case platform::WaitStatus::kReady:
      return (ready & want) ? Ready::kYes : Ready::kFailed;
    case platform::WaitStatus::kTimeout:
      return Ready::kTimeout;
    case platform::WaitStatus::kAborted:
    case platform::WaitStatus::kError:
      break;
  }
  return Ready::kFailed;
}

// 0 once bytes can be read, -402 on a failure, -403 after the allowance.
// The allowance is checked before adding each wait, so channel_timeout 0
// still allows one wait.
int SSL_read_timeout(SSL* ssl, timeval timeout, uint32_t channel_timeout) {
  if (SSL_pending(ssl) > 0) return 0;
  long long waited_ms = 0;
  const long long limit_ms = static_cast<long long>(channel_timeout) * 1000;
  for (;;) {
    switch (WaitFor(ssl, platform::kWaitRead, timeout)) {
      case Ready::kYes:
        return 0;
      case Ready::kFailed:
        return kLocalFailure;
      case Ready::kTimeout:
        break;
    }
    long long before = waited_ms;
    waited_ms += CountedMs(WaitMs(timeout));
    if (before >= limit_ms) return kLocalTimeout;
  }
}

bool Retryable(SSL* ssl, int rc) {
  int e = SSL_get_error(ssl, rc);
  return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
}

// Reads one answer line, at most kZarqTunnelLineMax bytes, into `line`
// (NUL-terminated). Its length (> 0), or a negative local code.
int ReadLinePiece(SSL* ssl, char* line, timeval timeout, uint32_t channel_timeout) {
  int len = 0;
  for (;;) {
    int rc = SSL_read_timeout(ssl, timeout, channel_timeout);
    if (rc < 0) return rc;
    ERR_clear_error();
    int n = SSL_peek(ssl, line + len, kZarqTunnelLineMax - len);
    if (n <= 0) {
      if (Retryable(ssl, n)) continue;
      return kLocalFailure;  // end of stream or a TLS failure
    }
    const void* lf = std::memchr(line + len, '\n', static_cast<size_t>(n));
    int take = lf ? static_cast<int>(static_cast<const char*>(lf) - (line + len)) + 1 : n;
    ERR_clear_error();
    int got = SSL_read(ssl, line + len, take);
    if (got <= 0) {
      if (Retryable(ssl, got)) continue;
      return kLocalFailure;
    }
    len += got;
    if ((got == take && lf != nullptr) || len >= kZarqTunnelLineMax) break;
  }
  line[len] = '\0';
  return len;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    char a = *text, b = *prefix;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// The number after the header name, the colon and blanks; 400 when there
// is none (an unreadable verdict is no consent).
int ParseStatus(const char* rest) {
  while (*rest == ' ' || *rest == '\t') ++rest;
  if (*rest == ':') ++rest;
  while (*rest == ' ' || *rest == '\t') ++rest;
  int value = 0, digits = 0;
  for (; *rest >= '0' && *rest <= '9'; ++rest) {
    if (++digits > 9) return ZARQTUNNEL_ERR_UNKNOWN;
    value = value * 10 + (*rest - '0');
  }
  return digits == 0 ? ZARQTUNNEL_ERR_UNKNOWN : value;
}

// Host names go into header lines: no control characters, no blanks.
bool SafeHeaderValue(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

int ZARQTunnelNonBlockingWrite(SSL* ssl, char const* buffer, int len, timeval m_timeout, uint32_t channel_timeout) {
  if (ssl == nullptr || buffer == nullptr || len <= 0) return kLocalFailure;
  long long waited_ms = 0;
  const long long limit_ms = static_cast<long long>(channel_timeout) * 1000;
  for (;;) {
    switch (WaitFor(ssl, platform::kWaitWrite, m_timeout)) {
      case Ready::kFailed:
        return kLocalFailure;
      case Ready::kTimeout:
        waited_ms += CountedMs(WaitMs(m_timeout));
        if (waited_ms >= limit_ms) return kLocalTimeout;
        continue;
      case Ready::kYes:
        break;
    }
    ERR_clear_error();
    int n = SSL_write(ssl, buffer, len);
    if (n > 0) return 0;
    if (!Retryable(ssl, n)) return kLocalFailure;
  }
}

int ZARQTunnelClientHandshake(SSL* ssl, char const* pszTargetHost, int targetPort, timeval timeout,
                              uint32_t channel_timeout) {
  if (ssl == nullptr || pszTargetHost == nullptr || targetPort < 0 || targetPort > 65535 ||
      !SafeHeaderValue(pszTargetHost)) {
    return kLocalFailure;
  }
  std::string port = std::to_string(targetPort);
  std::string plain = std::string(pszTargetHost) + ":" + port;
  if (plain.size() > static_cast<size_t>(INT_MAX / 2)) return kLocalFailure;
  int plain_len = static_cast<int>(plain.size()) + 1;  // the NUL travels too
  int block_cap = ZARQCryptoEncryptLength(plain_len);
  std::unique_ptr<unsigned char[]> block(new unsigned char[block_cap]);
  int block_len = ZARQCryptoEncrypt(block.get(), block_cap, reinterpret_cast<const unsigned char*>(plain.c_str()),
                                    plain_len);
  if (block_len <= 0) return kLocalFailure;
  int token_cap = (block_len + 2) / 3 * 4;
  std::unique_ptr<char[]> token(new char[token_cap + 1]);
  int token_len = ZARQCryptoBase64Encode(token.get(), token_cap, block.get(), block_len);
  if (token_len <= 0) return kLocalFailure;
  token[token_len] = '\0';

  std::string request = std::string("GET /zarq-tunnel HTTP/1.1\r\nHost: ") + kZarqTunnelHost +
                        "\r\nUpgrade: ZarqelonTunnel\r\nX-Target-Host: " + pszTargetHost +
                        "\r\nX-Target-Port: " + port + "\r\nX-AuthToken: " + token.get() + "\r\n\r\n";
  if (request.size() > static_cast<size_t>(INT_MAX)) return kLocalFailure;
  int rc = ZARQTunnelNonBlockingWrite(ssl, request.data(), static_cast<int>(request.size()), timeout,
                                      channel_timeout);
  if (rc < 0) return rc;

  int status = ZARQTUNNEL_OK;
  char line[kZarqTunnelLineMax + 1];
  for (;;) {
    int n = ReadLinePiece(ssl, line, timeout, channel_timeout);
    if (n < 0) return n;
    if (line[0] == '\r' || line[0] == '\n') return status;
    if (StartsWithIgnoringCase(line, "X-Target-Status")) status = ParseStatus(line + 15);
  }
}
