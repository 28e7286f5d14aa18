// The relay token cipher and its Base64.
//
// The token only hides the target from casual view: its key is derived from
// a seed that travels inside the token, by a transform that every relay
// knows. It is obfuscation, not protection.
//
// Enciphered block, integers big-endian:
//   0   2  marker 0xFFFF          10  4  seed R
//   2   2  format version 1       14  2  random filler
//   4   4  random filler          16  4  random filler
//   8   2  random filler          20  4  length K of the ciphertext
//   24  K  3DES-EDE-CBC, PKCS#7 padding, of the plain text
//   24+K 2 random filler
// Key: S = T(R) written big-endian (4 bytes); SHA-1(S) followed by MD5(S)
// gives 36 bytes, of which the first 24 are the 3DES key. The IV is fixed.
//
// Threads: no shared state.
#ifndef TRANSPORT_ZARQ_CRYPTO_H_
#define TRANSPORT_ZARQ_CRYPTO_H_

#include <cstdint>

// ---- Constants binding on every relay ----
// A relay that accepts our tokens must use exactly these: T(R) =
// ((R XOR kTokenSeedXor) * kTokenSeedMul + kTokenSeedAdd) mod 2^32, with R
// read big-endian from offset 10 of the block, and the IV below.
inline constexpr uint32_t kTokenSeedXor = 0x5A3C96E1u;
inline constexpr uint32_t kTokenSeedMul = 0x2C1B3C6Du;  // odd: T is a bijection
inline constexpr uint32_t kTokenSeedAdd = 0x297A2D39u;
inline constexpr uint8_t kTokenIV[8] = {0x5E, 0x1D, 0xA7, 0x43, 0x0C, 0x92, 0x6B, 0xF8};

// Bytes before and after the ciphertext.
inline constexpr int kTokenHeaderLength = 24;
inline constexpr int kTokenOverhead = 26;

// T(R) as above.
uint32_t ZARQCryptoTransformSeed(uint32_t r);

// Enciphers `cbContext` bytes into the block layout above. The bytes
// written (K + 26), or 0 when an argument is null or negative, `cbOutput` is
// below cbContext + 34, or OpenSSL fails.
int ZARQCryptoEncrypt(unsigned char* pOutput, int cbOutput, const unsigned char* pContext, int cbContext);

// Reverses ZARQCryptoEncrypt. The plain length, or 0 when `cbContext` is 26
// or less, the marker is not 0xFFFF, the version is above 1, K is not a
// positive multiple of 8 or exceeds cbContext - 26, the padding is bad, or
// the plain text does not fit `cbOutput`.
int ZARQCryptoDecrypt(unsigned char* pOutput, int cbOutput, const unsigned char* pContext, int cbContext);

// The output size ZARQCryptoEncrypt needs: cbContext + 34.
int ZARQCryptoEncryptLength(int cbContext);

// Base64 (standard alphabet, no line breaks) of `cbContext` bytes. The
// characters written; no terminator. 0 when an argument is null or
// negative, or when the text would not fit `cbEncoded` (never truncated).
int ZARQCryptoBase64Encode(char* pszEncoded, int cbEncoded, const unsigned char* pContext, int cbContext);

// Decodes `cbEncoded` characters of Base64 (no line breaks). The byte count,
// or -1 for text that is not Base64 or a result that does not fit
// `cbDecoded`.
int ZARQCryptoBase64Decode(unsigned char* pszDecoded, int cbDecoded, const char* pszEncoded, int cbEncoded);

#endif  // TRANSPORT_ZARQ_CRYPTO_H_
