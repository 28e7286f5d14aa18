// NTLM messages and responses of the proxy client: the NEGOTIATE message,
// the AUTHENTICATE message built from a decoded CHALLENGE, and the LM/NT
// version-1 and NTLMv2/LMv2 responses. No message integrity code, version
// field or session key is sent; the challenge's flags are echoed as they
// stand. All integers in the messages are little-endian.
//
// Threads: no shared state. Random bytes come from RAND_bytes.
#ifndef TRANSPORT_ZARQ_PROXY_NTLM_H_
#define TRANSPORT_ZARQ_PROXY_NTLM_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "transport/zarq_proxy_types.h"

// A CHALLENGE must hold the server challenge (8 bytes at offset 24).
inline constexpr int kNtlmChallengeMinLength = 32;
// Target information is read only from a challenge at least this long.
inline constexpr int kNtlmTargetInfoMinLength = 46;

// Flags of the NEGOTIATE message.
inline constexpr uint32_t kNtlmNegotiateV1Flags = 0x00008201;  // Unicode, NTLM, always sign
inline constexpr uint32_t kNtlmNegotiateV2Flags = 0x00088205;  // + request target, extended security

// The NEGOTIATE message: flags by the hash choice of `auth` (hashntlm2 set:
// the v2 flags; else hashnt and hashlm both set: the v1 flags), the host
// name and the domain upper-cased in their UTF-8 bytes (host at 32, domain
// after it). Its Base64 goes to *out. The message length; -6 when `auth` is
// null; -1 when neither flag choice holds or a name is longer than a 16-bit
// length field.
int ZARQProxyClientPrepareNTLMRequest(std::unique_ptr<char[]>* out, pZARQ_PROXY_AUTH_DATA auth);

// The fixed inputs of an NTLMv2 response, for reproducible messages.
struct NtlmV2Entropy {
  uint64_t timestamp;        // tenths of microseconds since 1601
  uint8_t client_nonce[8];
};

// The AUTHENTICATE message for the decoded challenge `type2_msg` of
// `challen` bytes, with the responses that the hash flags of `pCreds` ask
// for: domain (upper-cased), user and host name (upper-cased) in UTF-16LE at
// 64, then the LM and the NT response. NTLMv2 takes the current time and a
// client nonce from RAND_bytes unless `fixed` gives them. Target
// information is used only when its offset and length lie inside the
// challenge; otherwise it is taken as empty. The message length with the
// message in *dst, or -1 (challenge shorter than 32 bytes, a null argument,
// invalid UTF-8, a field too long for its 16-bit length, no random bytes).
int ZARQProxyClientNTLMResponseType3Cal(std::unique_ptr<uint8_t[]>* dst, const uint8_t* type2_msg, int challen,
                                        pZARQ_PROXY_AUTH_DATA pCreds, const NtlmV2Entropy* fixed = nullptr);

// ---- Primitives (exposed for known-answer tests) ----

// MD4 of the password in UTF-16LE, zero-padded to 21 bytes. 0, or -1 for
// null or invalid UTF-8.
int ntlm_hash_nt_password(const char* password, uint8_t hash[21]);

// The LM hash: the first 14 bytes of the password, ASCII upper-cased,
// zero-padded; each 7-byte half a DES key over "KGS!@#$%"; zero-padded to 21.
// 0, or -1 for null.
int ntlm_hash_lm_password(const char* password, uint8_t hash[21]);

// The 24-byte response: the challenge under DES-ECB with each 7-byte third
// of `hash` as a key.
void ntlm_calc_resp(const uint8_t hash[21], const uint8_t challenge[8], uint8_t resp[24]);

// NTOWFv2: HMAC-MD5 keyed with the NT hash over UTF-16LE of user name +
// domain, the whole text ASCII upper-cased. 0, or -1 for null or invalid
// UTF-8.
int ntlm2_hash_password(const char* user, const char* domain, const char* password, uint8_t out[16]);

// The NTLMv2 responses from an NTOWFv2: the NT response (NTProofStr
// followed by the blob, target information + 48 bytes) into *nt_resp and the
// LMv2 response (HMAC followed by the client nonce) into lm_resp.
void ntlm2_calc_resp(const uint8_t ntowf2[16], const uint8_t challenge[8], const uint8_t* target_info,
                     size_t target_info_len, const NtlmV2Entropy& entropy, std::vector<uint8_t>* nt_resp,
                     uint8_t lm_resp[24]);

// HMAC-MD5. 0, or -1 when OpenSSL fails.
int hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* data, size_t data_len, uint8_t out[16]);

// Unix seconds as an NTLM timestamp (tenths of microseconds since 1601).
uint64_t NtlmTimestamp(time_t unix_seconds);

#endif  // TRANSPORT_ZARQ_PROXY_NTLM_H_
