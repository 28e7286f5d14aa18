// A scripted proxy policy for the fake proxy: which authentication methods
// it accepts, the NTLM challenge it sends, and how it refuses. It tells the
// methods apart by their Proxy-Authorization header and tags the kept
// connection: 'N' no authentication, 'B' Basic, '1' NTLMv1, '2' NTLMv2.
#ifndef TESTS_TRANSPORT_FAKE_PROXY_SCRIPT_H_
#define TESTS_TRANSPORT_FAKE_PROXY_SCRIPT_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_proxy.h"
#include "transport/zarq_proxy_util.h"

namespace fakeproxy {

inline const char kOk[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// A 407 that keeps the connection alive, with a 20-byte body the client
// must drop before its next request.
inline std::string Refusal(const std::string& extra_headers = "") {
  return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\n"
         "Proxy-Authenticate: Basic realm=\"t\"\r\n" +
         extra_headers + "Content-Length: 20\r\n\r\n" + std::string(20, 'z');
}

// A CHALLENGE of `len` bytes (at least 32): flags 0x00088205, server
// challenge 0123456789abcdef.
inline std::vector<uint8_t> ChallengeBytes(size_t len) {
  std::vector<uint8_t> m(len < 32 ? 32 : len, 0);
  std::memcpy(m.data(), "NTLMSSP", 8);
  m[8] = 2;
  const uint8_t flags[4] = {0x05, 0x82, 0x08, 0x00};
  std::memcpy(&m[20], flags, 4);
  const uint8_t ch[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  std::memcpy(&m[24], ch, 8);
  m.resize(len);
  return m;
}

// The decoded token of the request's "Proxy-Authorization: <scheme> " line,
// or "" when there is none.
inline std::string Token(const std::string& request, const std::string& scheme) {
  std::string key = "Proxy-Authorization: " + scheme + " ";
  size_t at = request.find(key);
  if (at == std::string::npos) return "";
  size_t end = request.find("\r\n", at);
  return request.substr(at + key.size(), end - at - key.size());
}

inline std::string Decode(const std::string& b64) {
  std::unique_ptr<uint8_t[]> out;
  int n = FromBase64(&out, b64.c_str());
  return n < 0 ? "" : std::string(reinterpret_cast<char*>(out.get()), static_cast<size_t>(n));
}

inline uint32_t Le16(const std::string& m, size_t at) {
  return static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8;
}

struct Policy {
  std::string accept = "NB12";      // methods that get a 200
  std::string basic = "user:s3cret";  // the one Basic pair accepted
  size_t challenge_len = 56;

  // The method a request belongs to: 'N', 'B', 'n' (NEGOTIATE), '1' or '2'
  // (AUTHENTICATE with that version), '?' for anything else.
  static char Classify(const std::string& request) {
    if (request.find("Proxy-Authorization:") == std::string::npos) return 'N';
    if (!Token(request, "Basic").empty()) return 'B';
    std::string m = Decode(Token(request, "NTLM"));
    if (m.size() < 12 || m.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0) return '?';
    if (m[8] == 1) return 'n';
    if (m[8] == 3 && m.size() >= 24) return Le16(m, 20) == 24 ? '1' : '2';
    return '?';
  }

  testsupport::FakeProxyReply Reply(const std::string& request) const {
    testsupport::FakeProxyReply r;
    char method = Classify(request);
    if (method == 'n') {
      std::vector<uint8_t> ch = ChallengeBytes(challenge_len);
      std::unique_ptr<char[]> b64;
      ToBase64(&b64, ch.data(), ch.size());
      r.bytes = Refusal("Proxy-Authenticate: NTLM " + std::string(b64.get()) + "\r\n");
      return r;
    }
    bool ok = accept.find(method) != std::string::npos;
    if (method == 'B') ok = ok && Decode(Token(request, "Basic")) == basic;
    if (!ok) {
      r.bytes = Refusal();
      return r;
    }
    r.bytes = kOk;
    r.tunnel = true;
    r.tag = method;
    return r;
  }

  testsupport::FakeProxy::Script Script() const {
    Policy copy = *this;
    return [copy](int, const std::string& request) { return copy.Reply(request); };
  }
};

}  // namespace fakeproxy

#endif  // TESTS_TRANSPORT_FAKE_PROXY_SCRIPT_H_
