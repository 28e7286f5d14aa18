// Relay tokens: decryption of arbitrary blocks, the Base64 decoders, and the
// round trip of arbitrary plain text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "transport/zarq_crypto.h"
#include "transport/zarq_proxy_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  int n = static_cast<int>(size);
  std::unique_ptr<unsigned char[]> block(new unsigned char[size ? size : 1]);
  std::memcpy(block.get(), data, size);

  // Decrypt into an output that may be too small.
  int room = size > 0 ? data[0] : 0;
  std::unique_ptr<unsigned char[]> out(new unsigned char[room ? room : 1]);
  int plain = ZARQCryptoDecrypt(out.get(), room, block.get(), n);
  if (plain < 0 || plain > room || (plain > 0 && n <= 26)) abort();

  // The decoders on the same bytes as text.
  std::unique_ptr<unsigned char[]> decoded(new unsigned char[size ? size : 1]);
  int d = ZARQCryptoBase64Decode(decoded.get(), n, reinterpret_cast<const char*>(data), n);
  if (d > n) abort();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<uint8_t[]> b64;
  int f = FromBase64(&b64, text.c_str());
  if (f > static_cast<int>(text.size())) abort();

  // Round trip.
  std::unique_ptr<unsigned char[]> enc(new unsigned char[ZARQCryptoEncryptLength(n)]);
  int e = ZARQCryptoEncrypt(enc.get(), ZARQCryptoEncryptLength(n), block.get(), n);
  if (e <= 26 || e > ZARQCryptoEncryptLength(n)) abort();
  std::unique_ptr<unsigned char[]> back(new unsigned char[size ? size : 1]);
  int b = ZARQCryptoDecrypt(back.get(), n, enc.get(), e);
  if (b != n || std::memcmp(back.get(), data, size) != 0) abort();
  return 0;
}
