// A CHALLENGE from a proxy, decoded, turned into an AUTHENTICATE message of
// each version: no read outside the challenge, and the message's own fields
// always point inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "transport/zarq_proxy_ntlm.h"

namespace {

uint32_t Le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 70000) return 0;
  // An exact-size copy, so that any read past the end is caught.
  std::unique_ptr<uint8_t[]> challenge(new uint8_t[size ? size : 1]);
  for (size_t i = 0; i < size; ++i) challenge[i] = data[i];
  static char user[] = "user", pw[] = "Password", dom[] = "dom1", host[] = "ws1";
  const NtlmV2Entropy fixed{NtlmTimestamp(0), {1, 2, 3, 4, 5, 6, 7, 8}};
  for (int v2 = 0; v2 < 2; ++v2) {
    ZARQ_PROXY_AUTH_DATA auth{user, pw, dom, host, v2, !v2, !v2, 0};
    std::unique_ptr<uint8_t[]> msg;
    int n = ZARQProxyClientNTLMResponseType3Cal(&msg, challenge.get(), static_cast<int>(size), &auth, &fixed);
    if (size < 32) {
      if (n != -1) abort();
      continue;
    }
    if (n < 64) abort();
    for (int field = 12; field <= 44; field += 8) {
      if (Le32(&msg[field + 4]) + Le16(&msg[field]) > static_cast<uint32_t>(n)) abort();
    }
    // NT response: 24 bytes for version 1, the blob around in-bounds TI for version 2.
    uint32_t nt = Le16(&msg[20]);
    if (v2 ? (nt < 48 || nt - 48 > size) : nt != 24) abort();
  }
  return 0;
}
