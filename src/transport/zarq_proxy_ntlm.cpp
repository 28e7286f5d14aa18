#include "transport/zarq_proxy_ntlm.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <cstring>
#include <string>

#include "platform/legacy_crypto.h"
#include "transport/zarq_proxy_util.h"

namespace {

const uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
const uint8_t kLmMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};

void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }

// A length/length/offset field of a message.
void PutField(uint8_t* p, size_t len, size_t offset) {
  PutLe16(p, static_cast<uint32_t>(len));
  PutLe16(p + 2, static_cast<uint32_t>(len));
  PutLe32(p + 4, static_cast<uint32_t>(offset));
}

// Spreads 56 key bits over the high 7 bits of 8 bytes; the platform call
// sets the parity bits.
void setup_des_key(const uint8_t key56[7], uint8_t key[8]) {
  key[0] = key56[0];
  key[1] = static_cast<uint8_t>((key56[0] << 7) | (key56[1] >> 1));
  key[2] = static_cast<uint8_t>((key56[1] << 6) | (key56[2] >> 2));
  key[3] = static_cast<uint8_t>((key56[2] << 5) | (key56[3] >> 3));
  key[4] = static_cast<uint8_t>((key56[3] << 4) | (key56[4] >> 4));
  key[5] = static_cast<uint8_t>((key56[4] << 3) | (key56[5] >> 5));
  key[6] = static_cast<uint8_t>((key56[5] << 2) | (key56[6] >> 6));
  key[7] = static_cast<uint8_t>(key56[6] << 1);
}

void DesWith7ByteKey(const uint8_t key56[7], const uint8_t in[8], uint8_t out[8]) {
  uint8_t key[8];
  setup_des_key(key56, key);
  platform::DesEcbEncryptBlock(key, in, out);
  OPENSSL_cleanse(key, sizeof key);
}

// UTF-16LE of `text` (optionally upper-cased first) appended to a string of
// bytes; false for invalid UTF-8.
bool Utf16Le(const char* text, bool upper, std::string* out) {
  std::unique_ptr<char[]> up;
  if (upper) {
    up = StrToUpper(text);
    text = up.get();
  }
  std::unique_ptr<uint8_t[]> bytes;
  int n = StrToUnicode(&bytes, text);
  if (n < 0) return false;
  out->assign(reinterpret_cast<const char*>(bytes.get()), static_cast<size_t>(n));
  OPENSSL_cleanse(bytes.get(), static_cast<size_t>(n));
  return true;
}

}  // namespace

uint64_t NtlmTimestamp(time_t unix_seconds) {
  return static_cast<uint64_t>(unix_seconds) * 10000000ULL + 116444736000000000ULL;
}

int hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* data, size_t data_len, uint8_t out[16]) {
  unsigned int len = 0;
  // One-shot HMAC with MD5 is in the default provider; a key longer than the
  // block is hashed first, as published.
  if (HMAC(EVP_md5(), key, static_cast<int>(key_len), data, data_len, out, &len) == nullptr || len != 16) {
    return -1;
  }
  return 0;
}

int ntlm_hash_nt_password(const char* password, uint8_t hash[21]) {
  std::string unicode;
  if (password == nullptr || !Utf16Le(password, false, &unicode)) return -1;
  platform::Md4(unicode.data(), unicode.size(), hash);
  OPENSSL_cleanse(unicode.data(), unicode.size());
  std::memset(hash + 16, 0, 5);
  return 0;
}

int ntlm_hash_lm_password(const char* password, uint8_t hash[21]) {
  if (password == nullptr) return -1;
  uint8_t pw[14] = {0};
  size_t n = std::strlen(password);
  if (n > sizeof pw) n = sizeof pw;
  for (size_t i = 0; i < n; ++i) {
    char c = password[i];
    pw[i] = static_cast<uint8_t>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
  }
  DesWith7ByteKey(pw, kLmMagic, hash);
  DesWith7ByteKey(pw + 7, kLmMagic, hash + 8);
  std::memset(hash + 16, 0, 5);
  OPENSSL_cleanse(pw, sizeof pw);
  return 0;
}

void ntlm_calc_resp(const uint8_t hash[21], const uint8_t challenge[8], uint8_t resp[24]) {
  DesWith7ByteKey(hash, challenge, resp);
  DesWith7ByteKey(hash + 7, challenge, resp + 8);
  DesWith7ByteKey(hash + 14, challenge, resp + 16);
}

int ntlm2_hash_password(const char* user, const char* domain, const char* password, uint8_t out[16]) {
  if (user == nullptr || domain == nullptr) return -1;
  uint8_t nt[21];
  if (ntlm_hash_nt_password(password, nt) < 0) return -1;
  std::string text = std::string(user) + domain;
  std::string unicode;
  int rc = Utf16Le(text.c_str(), true, &unicode) ? 0 : -1;
  if (rc == 0) {
    rc = hmac_md5(nt, 16, reinterpret_cast<const uint8_t*>(unicode.data()), unicode.size(), out);
  }
  OPENSSL_cleanse(nt, sizeof nt);
  return rc;
}

void ntlm2_calc_resp(const uint8_t ntowf2[16], const uint8_t challenge[8], const uint8_t* target_info,
                     size_t target_info_len, const NtlmV2Entropy& entropy, std::vector<uint8_t>* nt_resp,
                     uint8_t lm_resp[24]) {
  // Blob: signature 0x0101, reserved, timestamp, client nonce, reserved,
  // target information, reserved.
  std::vector<uint8_t> blob(28 + target_info_len + 4, 0);
  blob[0] = 0x01;
  blob[1] = 0x01;
  for (int i = 0; i < 8; ++i) blob[8 + i] = static_cast<uint8_t>(entropy.timestamp >> (8 * i));
  std::memcpy(&blob[16], entropy.client_nonce, 8);
  if (target_info_len > 0) std::memcpy(&blob[28], target_info, target_info_len);

  std::vector<uint8_t> data(8 + blob.size());
  std::memcpy(data.data(), challenge, 8);
  std::memcpy(data.data() + 8, blob.data(), blob.size());
  nt_resp->assign(16 + blob.size(), 0);
  // HMAC-MD5 over in-memory data with a 16-byte key cannot fail short of a
  // broken library; the proof stays zero then and the proxy refuses it.
  (void)hmac_md5(ntowf2, 16, data.data(), data.size(), nt_resp->data());
  std::memcpy(nt_resp->data() + 16, blob.data(), blob.size());

  uint8_t lm_data[16];
  std::memcpy(lm_data, challenge, 8);
  std::memcpy(lm_data + 8, entropy.client_nonce, 8);
  std::memset(lm_resp, 0, 24);
  (void)hmac_md5(ntowf2, 16, lm_data, sizeof lm_data, lm_resp);
  std::memcpy(lm_resp + 16, entropy.client_nonce, 8);
}

int ZARQProxyClientPrepareNTLMRequest(std::unique_ptr<char[]>* out, pZARQ_PROXY_AUTH_DATA auth) {
  if (auth == nullptr) return ZARQ_PROXY_ERR_PARAM;
  if (out == nullptr) return -1;
  uint32_t flags;
  if (auth->hashntlm2) {
    flags = kNtlmNegotiateV2Flags;
  } else if (auth->hashnt && auth->hashlm) {
    flags = kNtlmNegotiateV1Flags;
  } else {
    return -1;
  }
  std::unique_ptr<char[]> host = StrToUpper(auth->szHostName ? auth->szHostName : "");
  std::unique_ptr<char[]> domain = StrToUpper(auth->szDomainName ? auth->szDomainName : "");
  size_t w = std::strlen(host.get());
  size_t d = std::strlen(domain.get());
  if (w > 0xFFFF || d > 0xFFFF) return -1;
  std::vector<uint8_t> msg(32 + w + d, 0);
  std::memcpy(&msg[0], kSignature, 8);
  PutLe32(&msg[8], 1);
  PutLe32(&msg[12], flags);
  PutField(&msg[16], d, 32 + w);
  PutField(&msg[24], w, 32);
  std::memcpy(msg.data() + 32, host.get(), w);
  std::memcpy(msg.data() + 32 + w, domain.get(), d);
  if (ToBase64(out, msg.data(), msg.size()) < 0) return -1;
  return static_cast<int>(msg.size());
}

int ZARQProxyClientNTLMResponseType3Cal(std::unique_ptr<uint8_t[]>* dst, const uint8_t* type2_msg, int challen,
                                        pZARQ_PROXY_AUTH_DATA pCreds, const NtlmV2Entropy* fixed) {
  if (dst == nullptr || type2_msg == nullptr || pCreds == nullptr || challen < kNtlmChallengeMinLength ||
      pCreds->szUserName == nullptr || pCreds->szUserPasswd == nullptr || pCreds->szDomainName == nullptr ||
      pCreds->szHostName == nullptr) {
    return -1;
  }
  const uint8_t* challenge = type2_msg + 24;
  const uint8_t* target_info = nullptr;
  size_t ti_len = 0;
  if (challen >= kNtlmTargetInfoMinLength) {
    size_t len = GetLe16(type2_msg + 40);
    size_t off = GetLe16(type2_msg + 44);
    // A field that points outside the challenge is taken as absent.
    if (off <= static_cast<size_t>(challen) && len <= static_cast<size_t>(challen) - off) {
      target_info = type2_msg + off;
      ti_len = len;
    } else {
      PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient_auth [%d]target information out of bounds\n",
                      __LINE__);
    }
  }

  std::string domain, user, host;
  if (!Utf16Le(pCreds->szDomainName, true, &domain) || !Utf16Le(pCreds->szUserName, false, &user) ||
      !Utf16Le(pCreds->szHostName, true, &host)) {
    return -1;
  }
  if (domain.size() > 0xFFFF || user.size() > 0xFFFF || host.size() > 0xFFFF) return -1;

  std::vector<uint8_t> lm, nt;
  if (pCreds->hashntlm2) {
    uint8_t ntowf2[16];
    if (ntlm2_hash_password(pCreds->szUserName, pCreds->szDomainName, pCreds->szUserPasswd, ntowf2) < 0) {
      return -1;
    }
    NtlmV2Entropy entropy;
    if (fixed != nullptr) {
      entropy = *fixed;
    } else {
      entropy.timestamp = NtlmTimestamp(time(nullptr));
      if (RAND_bytes(entropy.client_nonce, sizeof entropy.client_nonce) != 1) {
        OPENSSL_cleanse(ntowf2, sizeof ntowf2);
        return -1;
      }
    }
    uint8_t lm_resp[24];
    ntlm2_calc_resp(ntowf2, challenge, target_info, ti_len, entropy, &nt, lm_resp);
    lm.assign(lm_resp, lm_resp + 24);
    OPENSSL_cleanse(ntowf2, sizeof ntowf2);
  } else {
    uint8_t hash[21];
    uint8_t resp[24];
    if (pCreds->hashnt) {
      if (ntlm_hash_nt_password(pCreds->szUserPasswd, hash) < 0) return -1;
      ntlm_calc_resp(hash, challenge, resp);
      nt.assign(resp, resp + 24);
    }
    if (pCreds->hashlm) {
      if (ntlm_hash_lm_password(pCreds->szUserPasswd, hash) < 0) return -1;
      ntlm_calc_resp(hash, challenge, resp);
      lm.assign(resp, resp + 24);
    }
    OPENSSL_cleanse(hash, sizeof hash);
  }
  if (nt.size() > 0xFFFF) return -1;

  size_t d = domain.size(), u = user.size(), h = host.size(), l = lm.size(), n = nt.size();
  size_t total = 64 + d + u + h + l + n;
  std::unique_ptr<uint8_t[]> msg(new uint8_t[total]());
  std::memcpy(&msg[0], kSignature, 8);
  PutLe32(&msg[8], 3);
  PutField(&msg[12], l, 64 + d + u + h);
  PutField(&msg[20], n, 64 + d + u + h + l);
  PutField(&msg[28], d, 64);
  PutField(&msg[36], u, 64 + d);
  PutField(&msg[44], h, 64 + d + u);
  PutField(&msg[52], 0, total);
  std::memcpy(&msg[60], type2_msg + 20, 4);  // the challenge's flags, as they stand
  uint8_t* p = msg.get() + 64;
  for (const std::string* s : {&domain, &user, &host}) {
    if (!s->empty()) std::memcpy(p, s->data(), s->size());
    p += s->size();
  }
  if (l > 0) std::memcpy(p, lm.data(), l);
  p += l;
  if (n > 0) std::memcpy(p, nt.data(), n);
  *dst = std::move(msg);
  return static_cast<int>(total);
}
