#include "transport/zarq_proxy_auth.h"

#include <openssl/crypto.h>

#include <cstring>

#include "transport/zarq_proxy_ntlm.h"
#include "transport/zarq_proxy_util.h"

const ZARQ_PROXY_AUTH_CONTROL AuthControlList[kAuthControlCount] = {
    {PROXY_NO_AUTH, "NO Auth", ZARQProxyClientHandleNoAuth},
    {PROXY_BASIC_AUTH, "BASIC Auth", ZARQProxyClientHandleBASICAuth},
    {PROXY_NTLM_AUTH, "NTLMv1 Auth", ZARQProxyClientHandleNTLMv1Auth},
    {PROXY_NTLMv2_AUTH, "NTLMv2 Auth", ZARQProxyClientHandleNTLMv2Auth},
};

namespace {

// Sends the head with an authorization line of `scheme` and `token`.
int SendWithAuthorization(int sock, pPROXY_TARGET_INFO target, const char* scheme, const char* token) {
  std::string request = ZARQProxyClientConnectHead(target);
  request += "Proxy-Authorization: ";
  request += scheme;
  request += ' ';
  request += token;
  request += "\r\n\r\n";
  int rc = ZARQProxyClientPacketSend(sock, request.data(), request.size(), kProxyTimeout);
  // The Basic line carries the password in clear.
  OPENSSL_cleanse(request.data(), request.size());
  return rc;
}

int send_plain_proxy_connect_request(int sock, pPROXY_TARGET_INFO target) {
  std::string request = ZARQProxyClientConnectHead(target) + "\r\n";
  return ZARQProxyClientPacketSend(sock, request.data(), request.size(), kProxyTimeout);
}

int send_basic_request_message(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  std::string pair = std::string(auth->szUserName) + ":" + auth->szUserPasswd;
  std::unique_ptr<char[]> token;
  int rc = ToBase64(&token, pair.data(), pair.size());
  OPENSSL_cleanse(pair.data(), pair.size());
  if (rc < 0) return -1;
  rc = SendWithAuthorization(sock, target, "Basic", token.get());
  OPENSSL_cleanse(token.get(), std::strlen(token.get()));
  return rc;
}

int send_ntlm_type1_message(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  std::unique_ptr<char[]> token;
  if (ZARQProxyClientPrepareNTLMRequest(&token, auth) < 0) return -1;
  return SendWithAuthorization(sock, target, "NTLM", token.get());
}

int HandleNtlm(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target, PROXY_AUTH_TYPE type) {
  int rc = auth_parameter_valid_check(auth, target);
  if (rc < 0) return rc;
  ZARQ_PROXY_AUTH_DATA creds = *auth;
  creds.hashntlm2 = type == PROXY_NTLMv2_AUTH ? 1 : 0;
  creds.hashnt = creds.hashlm = type == PROXY_NTLMv2_AUTH ? 0 : 1;
  if (send_ntlm_type1_message(sock, &creds, target) < 0) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_auth [%d]send NEGOTIATE failed\n", __LINE__);
    return ZARQ_PROXY_ERR_IO;
  }
  if (ZARQProxyClientHandleHttpResponse(sock, type, target, &creds) < 0) return ZARQ_PROXY_ERR_AUTH;
  return 0;
}

}  // namespace

std::string ZARQProxyClientConnectHead(pPROXY_TARGET_INFO target) {
  std::string hostport = std::string(target->szTargetAddress) + ":" + std::to_string(target->TargetPort);
  return "CONNECT " + hostport + " HTTP/1.1\r\nProxy-Connection: Keep-Alive\r\nHost: " + hostport +
         "\r\nContent-Length: 0\r\n";
}

int auth_parameter_valid_check(pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  if (auth == nullptr || target == nullptr || target->szTargetAddress == nullptr ||
      target->szTargetAddress[0] == '\0' || auth->szUserName == nullptr || auth->szUserName[0] == '\0' ||
      auth->szUserPasswd == nullptr || auth->szDomainName == nullptr || auth->szHostName == nullptr) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_auth [%d]Bad parameter\n", __LINE__);
    return ZARQ_PROXY_ERR_PARAM;
  }
  return 0;
}

int ZARQProxyClientHandleNoAuth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  (void)auth;
  if (target == nullptr || target->szTargetAddress == nullptr) return ZARQ_PROXY_ERR_IO;
  if (send_plain_proxy_connect_request(sock, target) < 0) return ZARQ_PROXY_ERR_IO;
  if (ZARQProxyClientHandleHttpResponse(sock, PROXY_NO_AUTH, target, nullptr) < 0) return ZARQ_PROXY_ERR_IO;
  return 0;
}

int ZARQProxyClientHandleBASICAuth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  int rc = auth_parameter_valid_check(auth, target);
  if (rc < 0) return rc;
  if (send_basic_request_message(sock, auth, target) < 0) return ZARQ_PROXY_ERR_IO;
  if (ZARQProxyClientHandleHttpResponse(sock, PROXY_BASIC_AUTH, target, auth) < 0) return ZARQ_PROXY_ERR_AUTH;
  return 0;
}

int ZARQProxyClientHandleNTLMv1Auth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  return HandleNtlm(sock, auth, target, PROXY_NTLM_AUTH);
}

int ZARQProxyClientHandleNTLMv2Auth(int sock, pZARQ_PROXY_AUTH_DATA auth, pPROXY_TARGET_INFO target) {
  return HandleNtlm(sock, auth, target, PROXY_NTLMv2_AUTH);
}

int ZARQProxyClientHandleNTLMResponse(int sock, pPROXY_TARGET_INFO target, pPROXY_HTTP_HEADER_ENTRY headers,
                                      pZARQ_PROXY_AUTH_DATA auth) {
  if (auth == nullptr || target == nullptr || target->szTargetAddress == nullptr) return ZARQ_PROXY_ERR_PARAM;
  pPROXY_HTTP_HEADER_ENTRY entry = nullptr;
  for (;;) {
    entry = ZARQProxyClientHttpHdrListGetNextEntryByKey(headers, "Proxy-Authenticate", entry);
    if (entry == nullptr) {
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_auth [%d]no NTLM challenge\n", __LINE__);
      return ZARQ_PROXY_ERR_UNUSABLE;
    }
    if (entry->szValue.compare(0, 5, "NTLM ") == 0) break;
  }
  std::unique_ptr<uint8_t[]> challenge;
  int challen = FromBase64(&challenge, entry->szValue.c_str() + 5);
  if (challen < 0) return ZARQ_PROXY_ERR_NOMEM;
  if (challen < kNtlmChallengeMinLength) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_auth [%d]challenge of %d bytes\n", __LINE__, challen);
    return ZARQ_PROXY_ERR_STATUS;
  }
  std::unique_ptr<uint8_t[]> type3;
  int len = ZARQProxyClientNTLMResponseType3Cal(&type3, challenge.get(), challen, auth);
  if (len < 0) return ZARQ_PROXY_ERR_NOMEM;
  std::unique_ptr<char[]> token;
  if (ToBase64(&token, type3.get(), static_cast<size_t>(len)) < 0) return ZARQ_PROXY_ERR_NOMEM;
  if (SendWithAuthorization(sock, target, "NTLM", token.get()) < 0) return ZARQ_PROXY_ERR_NOMEM;

  ProxyHttpHeaderList answer;
  int code = 0;
  if (ZARQProxyClientReadHttpResponse(sock, &code, &answer.head, &answer.tail) < 0 || code != 200) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_auth [%d]AUTHENTICATE refused (%d)\n", __LINE__, code);
    return ZARQ_PROXY_ERR_AUTH;
  }
  return 0;
}
