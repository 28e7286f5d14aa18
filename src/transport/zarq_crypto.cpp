#include "transport/zarq_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "transport/zarq_proxy_util.h"

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

uint32_t GetBe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

void PutBe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

bool Digest(const EVP_MD* md, const unsigned char* data, size_t len, unsigned char* out, unsigned int* out_len) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 && EVP_DigestUpdate(ctx.get(), data, len) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), out, out_len) == 1;
}

// The 24-byte 3DES key from the seed stored in the block.
bool DeriveKey(uint32_t r, unsigned char key[24]) {
  unsigned char seed[4];
  PutBe32(seed, ZARQCryptoTransformSeed(r));
  unsigned char material[EVP_MAX_MD_SIZE * 2];
  unsigned int sha_len = 0, md5_len = 0;
  if (!Digest(EVP_sha1(), seed, sizeof seed, material, &sha_len) ||
      !Digest(EVP_md5(), seed, sizeof seed, material + sha_len, &md5_len) || sha_len + md5_len < 24) {
    return false;
  }
  std::memcpy(key, material, 24);
  OPENSSL_cleanse(material, sizeof material);
  return true;
}

// One 3DES-EDE-CBC pass with PKCS#7 padding. The output length, or -1.
int Cipher(bool encrypt, const unsigned char key[24], const unsigned char* in, int in_len, unsigned char* out) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, kTokenIV, encrypt ? 1 : 0) != 1) {
    return -1;
  }
  int n = 0, tail = 0;
  if (in_len > 0 && EVP_CipherUpdate(ctx.get(), out, &n, in, in_len) != 1) return -1;
  if (EVP_CipherFinal_ex(ctx.get(), out + n, &tail) != 1) return -1;
  return n + tail;
}

}  // namespace

uint32_t ZARQCryptoTransformSeed(uint32_t r) { return (r ^ kTokenSeedXor) * kTokenSeedMul + kTokenSeedAdd; }

int ZARQCryptoEncryptLength(int cbContext) { return cbContext + 34; }

int ZARQCryptoEncrypt(unsigned char* pOutput, int cbOutput, const unsigned char* pContext, int cbContext) {
  if (pOutput == nullptr || (pContext == nullptr && cbContext != 0) || cbContext < 0 ||
      cbContext > INT_MAX - 34 || cbOutput < cbContext + 34) {
    return 0;
  }
  unsigned char header[kTokenHeaderLength];
  if (RAND_bytes(header, sizeof header) != 1) return 0;
  header[0] = 0xFF;
  header[1] = 0xFF;
  header[2] = 0x00;
  header[3] = 0x01;
  unsigned char key[24];
  if (!DeriveKey(GetBe32(header + 10), key)) return 0;
  int k = Cipher(true, key, pContext, cbContext, pOutput + kTokenHeaderLength);
  OPENSSL_cleanse(key, sizeof key);
  if (k < 0) return 0;
  PutBe32(header + 20, static_cast<uint32_t>(k));
  std::memcpy(pOutput, header, sizeof header);
  if (RAND_bytes(pOutput + kTokenHeaderLength + k, 2) != 1) return 0;
  return k + kTokenOverhead;
}

int ZARQCryptoDecrypt(unsigned char* pOutput, int cbOutput, const unsigned char* pContext, int cbContext) {
  if (pOutput == nullptr || pContext == nullptr || cbOutput < 0 || cbContext <= kTokenOverhead) return 0;
  if (pContext[0] != 0xFF || pContext[1] != 0xFF) return 0;
  if ((static_cast<unsigned>(pContext[2]) << 8 | pContext[3]) > 1) return 0;
  uint32_t k = GetBe32(pContext + 20);
  // K comes from the block: check it against what arrived before any use.
  if (k == 0 || k % 8 != 0 || k > static_cast<uint32_t>(cbContext - kTokenOverhead)) return 0;
  unsigned char key[24];
  if (!DeriveKey(GetBe32(pContext + 10), key)) return 0;
  std::unique_ptr<unsigned char[]> plain(new unsigned char[k + 8]);
  int n = Cipher(false, key, pContext + kTokenHeaderLength, static_cast<int>(k), plain.get());
  OPENSSL_cleanse(key, sizeof key);
  if (n < 0 || n > cbOutput) return 0;
  std::memcpy(pOutput, plain.get(), static_cast<size_t>(n));
  OPENSSL_cleanse(plain.get(), k + 8);
  return n;
}

int ZARQCryptoBase64Encode(char* pszEncoded, int cbEncoded, const unsigned char* pContext, int cbContext) {
  if (pszEncoded == nullptr || (pContext == nullptr && cbContext != 0) || cbContext < 0 || cbEncoded < 0) return 0;
  std::unique_ptr<char[]> text;
  if (ToBase64(&text, pContext, static_cast<size_t>(cbContext)) < 0) return 0;
  size_t n = std::strlen(text.get());
  if (n > static_cast<size_t>(cbEncoded)) return 0;
  std::memcpy(pszEncoded, text.get(), n);
  return static_cast<int>(n);
}

int ZARQCryptoBase64Decode(unsigned char* pszDecoded, int cbDecoded, const char* pszEncoded, int cbEncoded) {
  if (pszDecoded == nullptr || pszEncoded == nullptr || cbEncoded < 0 || cbDecoded < 0) return -1;
  std::string text(pszEncoded, static_cast<size_t>(cbEncoded));
  // An embedded NUL would end the text early and hide the rest.
  if (text.find('\0') != std::string::npos) return -1;
  std::unique_ptr<uint8_t[]> bytes;
  int n = FromBase64(&bytes, text.c_str());
  if (n < 0 || n > cbDecoded) return -1;
  if (n > 0) std::memcpy(pszDecoded, bytes.get(), static_cast<size_t>(n));
  return n;
}
