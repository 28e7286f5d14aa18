// The deprecated low-level interfaces are the only way to reach these
// algorithms without the legacy provider; silence their deprecation here and
// nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "platform/legacy_crypto.h"

#include <openssl/blowfish.h>
#include <openssl/crypto.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {

int BlowfishCfb64(const uint8_t* key, size_t key_len, const uint8_t iv[8], const uint8_t* in,
                  uint8_t* out, size_t len, CipherDirection direction) {
  if (key == nullptr || iv == nullptr || key_len == 0 || key_len > kBlowfishMaxKeyLength) {
    return EINVAL;
  }
  if (len == 0) return 0;
  if (in == nullptr || out == nullptr || len > static_cast<size_t>(LONG_MAX)) return EINVAL;

  BF_KEY schedule;
  BF_set_key(&schedule, static_cast<int>(key_len), key);
  unsigned char ivec[8];
  std::memcpy(ivec, iv, sizeof ivec);
  int num = 0;
  BF_cfb64_encrypt(in, out, static_cast<long>(len), &schedule, ivec, &num,
                   direction == CipherDirection::kEncrypt ? BF_ENCRYPT : BF_DECRYPT);
  OPENSSL_cleanse(&schedule, sizeof schedule);
  OPENSSL_cleanse(ivec, sizeof ivec);
  return 0;
}

}  // namespace platform
