// The deprecated low-level interfaces are the only way to reach these
// algorithms without the legacy provider; silence their deprecation here and
// nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "platform/legacy_crypto.h"

#include <openssl/blowfish.h>
#include <openssl/md4.h>
#include <openssl/des.h>
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


// ---- MD4 ------------------------------------------------------------------

static_assert(sizeof(MD4_CTX) <= sizeof(unsigned char[96]) && alignof(MD4_CTX) <= 8,
              "Md4Context storage too small for MD4_CTX");

// MD4_Init, MD4_Update and MD4_Final only compute; they always return 1.
Md4Context::Md4Context() noexcept { Init(); }

void Md4Context::Init() noexcept { (void)MD4_Init(reinterpret_cast<MD4_CTX*>(state_)); }

void Md4Context::Update(const void* data, size_t len) noexcept {
  if (len == 0) return;
  (void)MD4_Update(reinterpret_cast<MD4_CTX*>(state_), data, len);
}

void Md4Context::Final(uint8_t digest[kMd4DigestLength]) noexcept {
  (void)MD4_Final(digest, reinterpret_cast<MD4_CTX*>(state_));
}

void Md4(const void* data, size_t len, uint8_t digest[kMd4DigestLength]) noexcept {
  Md4Context ctx;
  ctx.Update(data, len);
  ctx.Final(digest);
}

// ---- end of MD4 -------------------------------------------------------------


// ---- single DES ---------------------------------------------------------------

void DesEcbEncryptBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]) noexcept {
  DES_cblock k;
  std::memcpy(k, key, sizeof k);
  DES_set_odd_parity(&k);
  DES_key_schedule schedule;
  // Unchecked: NTLM keys are password bytes, weak ones included.
  DES_set_key_unchecked(&k, &schedule);
  DES_cblock block;
  std::memcpy(block, in, sizeof block);
  DES_cblock result;
  DES_ecb_encrypt(&block, &result, &schedule, DES_ENCRYPT);
  std::memcpy(out, result, sizeof result);
  OPENSSL_cleanse(&schedule, sizeof schedule);
  OPENSSL_cleanse(k, sizeof k);
}

// ---- end of single DES --------------------------------------------------------

}  // namespace platform
