// Legacy ciphers and digests that OpenSSL 3 keeps only as deprecated
// low-level functions. They need no provider, so nothing here loads the
// "legacy" provider (which would switch the default algorithms off, TLS
// included). This is the only module that includes those OpenSSL headers;
// callers see plain byte interfaces and no OpenSSL type.
#ifndef PLATFORM_LEGACY_CRYPTO_H_
#define PLATFORM_LEGACY_CRYPTO_H_

#include <cstddef>
#include <cstdint>

namespace platform {

enum class CipherDirection { kEncrypt, kDecrypt };

// Longest Blowfish key the key schedule uses, in bytes.
constexpr size_t kBlowfishMaxKeyLength = 72;

// Blowfish in 64-bit cipher feedback mode over `len` bytes, starting at
// position 0 of the 8-byte initial vector `iv` (not changed). The output is
// exactly as long as the input; `out` may be `in`. A key shorter than 16
// bytes is used as the schedule uses any key: repeated cyclically.
// Returns 0, or EINVAL (nothing written) when `key_len` is 0 or above
// kBlowfishMaxKeyLength, or a pointer is null while `len` is not 0.
// Thread-safe: keeps no state between calls.
int BlowfishCfb64(const uint8_t* key, size_t key_len, const uint8_t iv[8], const uint8_t* in,
                  uint8_t* out, size_t len, CipherDirection direction);


// ---- MD4 (RFC 1320), for the delta engine's block and file sums ----------

constexpr size_t kMd4DigestLength = 16;

// A streaming MD4 computation. The OpenSSL state lives in opaque storage, so
// callers need no OpenSSL header. One thread uses an object at a time;
// copying it copies the state (the copy continues the same digest).
class Md4Context {
 public:
  // Ready for Update, as after Init.
  Md4Context() noexcept;

  // Starts a new digest.
  void Init() noexcept;
  // Adds `len` bytes; `data` may be null when `len` is 0.
  void Update(const void* data, size_t len) noexcept;
  // Writes the digest of everything added since Init. Call Init before
  // adding more.
  void Final(uint8_t digest[kMd4DigestLength]) noexcept;

 private:
  alignas(8) unsigned char state_[96];
};

// The digest of `len` bytes in one call.
void Md4(const void* data, size_t len, uint8_t digest[kMd4DigestLength]) noexcept;

// ---- end of MD4 -----------------------------------------------------------


// ---- single DES (NTLM's LM hash and version-1 responses) -------------------

// Encrypts one 8-byte block with single DES in ECB mode. The parity bit of
// each of the 8 key bytes is set to odd first, so a key spread from 56 bits
// into the high 7 bits of each byte can be passed as it is; weak keys are not
// refused (the protocol does not). `out` may be `in`. Thread-safe: keeps no
// state between calls.
void DesEcbEncryptBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]) noexcept;

// ---- end of single DES ------------------------------------------------------

}  // namespace platform

#endif  // PLATFORM_LEGACY_CRYPTO_H_
