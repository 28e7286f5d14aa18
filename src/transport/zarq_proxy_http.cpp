#include "transport/zarq_proxy_http.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/socket.h"
#include "platform/socket_extra.h"
#include "transport/zarq_proxy_auth.h"
#include "transport/zarq_proxy_util.h"

namespace {

enum class Wait { kReady, kTimeout, kFailed };

// One poll of `timeout` / 5 seconds for `want`. A poll that reports only a
// condition outside `want` (an error on the socket) counts as a failure.
Wait WaitOnce(int sock, unsigned want, int timeout) {
  int ms = timeout > 0 ? timeout * 1000 / 5 : 0;
  unsigned ready = 0;
  int error = 0;
  switch (platform::WaitSocket(sock, want, ms, nullptr, &ready, &error)) {
    case platform::WaitStatus::kReady:
      return (ready & want) ? Wait::kReady : Wait::kFailed;
    case platform::WaitStatus::kTimeout:
      return Wait::kTimeout;
    case platform::WaitStatus::kAborted:
    case platform::WaitStatus::kError:
      break;
  }
  return Wait::kFailed;
}

bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Receives exactly `len` bytes that a peek has shown to be queued.
bool TakeQueued(int sock, char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = platform::SocketRecv(sock, buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// "Content-Length" as plain decimal digits within kProxyMaxBodyLength.
bool ParseContentLength(const char* text, size_t* length) {
  size_t value = 0;
  if (*text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<size_t>(*p - '0');
    if (value > kProxyMaxBodyLength) return false;
  }
  *length = value;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// ---- Header list ----

int ZARQProxyClientHttpHdrListAdd(ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail,
                                  const char* key, const char* value) {
  if (head == nullptr || tail == nullptr || key == nullptr || value == nullptr) return -1;
  pPROXY_HTTP_HEADER_ENTRY entry = new PROXY_HTTP_HEADER_ENTRY{key, value, nullptr};
  if (*tail == nullptr) {
    *head = entry;
  } else {
    (*tail)->NextEntry = entry;
  }
  *tail = entry;
  return 0;
}

std::unique_ptr<char[]> ZARQProxyClientHttpHdrListGetValByKey(pPROXY_HTTP_HEADER_ENTRY head, const char* key) {
  pPROXY_HTTP_HEADER_ENTRY entry = ZARQProxyClientHttpHdrListGetNextEntryByKey(head, key, nullptr);
  if (entry == nullptr) return nullptr;
  std::unique_ptr<char[]> copy(new char[entry->szValue.size() + 1]);
  std::memcpy(copy.get(), entry->szValue.c_str(), entry->szValue.size() + 1);
  return copy;
}

pPROXY_HTTP_HEADER_ENTRY ZARQProxyClientHttpHdrListGetNextEntryByKey(pPROXY_HTTP_HEADER_ENTRY head,
                                                                     const char* key,
                                                                     pPROXY_HTTP_HEADER_ENTRY after) {
  if (key == nullptr) return nullptr;
  for (pPROXY_HTTP_HEADER_ENTRY e = after ? after->NextEntry : head; e != nullptr; e = e->NextEntry) {
    if (e->szKey == key) return e;
  }
  return nullptr;
}

void ZARQProxyClientHttpHdrListFree(ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail) {
  if (head != nullptr) {
    pPROXY_HTTP_HEADER_ENTRY e = *head;
    while (e != nullptr) {
      pPROXY_HTTP_HEADER_ENTRY next = e->NextEntry;
      delete e;
      e = next;
    }
    *head = nullptr;
  }
  if (tail != nullptr) *tail = nullptr;
}

void ZARQProxyClientHttpHdrListDump(pPROXY_HTTP_HEADER_ENTRY head) {
  for (pPROXY_HTTP_HEADER_ENTRY e = head; e != nullptr; e = e->NextEntry) {
    PROXY_PRINT_MSG(PROXY_WARNING, "[WARN]lib/zarqproxyclient_httpheader [%d]<-%s:%s\n", __LINE__,
                    e->szKey.c_str(), e->szValue.c_str());
  }
}

// ---- I/O ----

int ZARQProxyClientPacketSend(int sock, const char* buf, size_t len, int timeout) {
  if (buf == nullptr && len != 0) return ZARQ_PROXY_ERR_IO;
  size_t sent = 0;
  int waits = 0;
  while (sent < len) {
    Wait w = WaitOnce(sock, platform::kWaitWrite, timeout);
    if (w == Wait::kFailed) {
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]select failed\n", __LINE__);
      return ZARQ_PROXY_ERR_IO;
    }
    if (w == Wait::kTimeout) {
      if (++waits >= kProxyMaxWaits) {
        PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]send timed out\n", __LINE__);
        return ZARQ_PROXY_ERR_IO;
      }
      continue;
    }
    ssize_t n = platform::SocketSend(sock, buf + sent, len - sent);
    if (n < 0) {
      if (IsTransient(errno)) continue;
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]send failed: %d\n", __LINE__, errno);
      return ZARQ_PROXY_ERR_IO;
    }
    sent += static_cast<size_t>(n);
  }
  return 0;
}

int ZARQProxyClientReadOneLine(int sock, char* buf, size_t size, int timeout) {
  if (buf == nullptr || size == 0) return ZARQ_PROXY_ERR_TOO_LONG;
  buf[0] = '\0';
  size_t room = size - 1;
  if (room < 1) return ZARQ_PROXY_ERR_TOO_LONG;
  size_t got = 0;
  int waits = 0;
  while (got < room) {
    Wait w = WaitOnce(sock, platform::kWaitRead, timeout);
    if (w == Wait::kFailed) return ZARQ_PROXY_ERR_IO;
    if (w == Wait::kTimeout) {
      if (++waits >= kProxyMaxWaits) {
        PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]read line timed out\n", __LINE__);
        buf[got] = '\0';
        return ZARQ_PROXY_ERR_IO;
      }
      continue;
    }
    ssize_t n = platform::SocketPeek(sock, buf + got, room - got);
    if (n < 0 && IsTransient(errno)) continue;
    if (n < 1) {
      buf[got] = '\0';
      return ZARQ_PROXY_ERR_IO;
    }
    size_t peeked = static_cast<size_t>(n);
    const void* lf = std::memchr(buf + got, '\n', peeked);
    size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - (buf + got)) + 1 : peeked;
    if (!TakeQueued(sock, buf + got, take)) {
      buf[got] = '\0';
      return ZARQ_PROXY_ERR_IO;
    }
    got += take;
    if (lf != nullptr) {
      buf[got] = '\0';
      return static_cast<int>(got);
    }
  }
  buf[got] = '\0';
  return ZARQ_PROXY_ERR_TOO_LONG;
}

int ZARQProxyGetHttpResponseCode(int sock) {
  char line[kProxyStatusLineMax + 1];
  if (ZARQProxyClientReadOneLine(sock, line, sizeof line, kProxyTimeout) < 0) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]read status line failed\n", __LINE__);
    return ZARQ_PROXY_ERR_IO;
  }
  // The pattern "HTTP/%*1s.%*1s %d": one non-blank character on each side
  // of the dot (blanks before each are skipped), then the code. Parsed by
  // hand so that an over-long number cannot overflow.
  const char* p = line;
  auto skip_blanks = [&p] {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == '\v' || *p == '\f') ++p;
  };
  auto one_char = [&p, &skip_blanks] {
    skip_blanks();
    if (*p == '\0') return false;
    ++p;
    return true;
  };
  if (std::strncmp(p, "HTTP/", 5) != 0) return ZARQ_PROXY_ERR_STATUS;
  p += 5;
  if (!one_char() || *p != '.') return ZARQ_PROXY_ERR_STATUS;
  ++p;
  if (!one_char()) return ZARQ_PROXY_ERR_STATUS;
  skip_blanks();
  int code = 0;
  int digits = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 9) return ZARQ_PROXY_ERR_STATUS;
    code = code * 10 + (*p - '0');
    ++p;
  }
  if (digits == 0) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]no status code\n", __LINE__);
    return ZARQ_PROXY_ERR_STATUS;
  }
  return code;
}

int ZARQProxyClientParseHttpHeader(int sock, ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail) {
  if (head == nullptr || tail == nullptr) return ZARQ_PROXY_ERR_IO;
  std::unique_ptr<char[]> line(new char[kProxyHeaderLineMax + 1]);
  for (int count = 0;; ++count) {
    if (ZARQProxyClientReadOneLine(sock, line.get(), kProxyHeaderLineMax + 1, kProxyTimeout) < 0) {
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]read header failed\n", __LINE__);
      return ZARQ_PROXY_ERR_IO;
    }
    ZARQProxyClientStrimWhiteSpace(line.get());
    if (line[0] == '\0') return 0;
    // A proxy that never ends its header block would otherwise hold the
    // method for as long as it keeps sending.
    if (count >= kProxyMaxHeaderLines) {
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]too many header lines\n", __LINE__);
      return ZARQ_PROXY_ERR_IO;
    }
    char* colon = std::strchr(line.get(), ':');
    if (colon == nullptr || colon == line.get()) continue;
    *colon = '\0';
    const char* value = colon + 1;
    while (IsBlank(*value)) ++value;
    if (*value == '\0') continue;
    (void)ZARQProxyClientHttpHdrListAdd(head, tail, line.get(), value);  // arguments are non-null
  }
}

int ZARQProxyClientClearHttpContentByLength(int sock, size_t length, int timeout) {
  char buf[4096];
  static const char kEnd[] = "\r\n\r\n";
  size_t left = length;  // bytes still to drop when length > 0
  size_t matched = 0;    // bytes of kEnd seen so far when length == 0
  int waits = 0;
  for (;;) {
    Wait w = WaitOnce(sock, platform::kWaitRead, timeout);
    if (w == Wait::kFailed) return ZARQ_PROXY_ERR_IO;
    if (w == Wait::kTimeout) {
      if (++waits >= kProxyMaxWaits) return ZARQ_PROXY_ERR_IO;
      continue;
    }
    if (length > 0) {
      size_t want = left < sizeof buf ? left : sizeof buf;
      ssize_t n = platform::SocketRecv(sock, buf, want);
      if (n < 0 && IsTransient(errno)) continue;
      if (n < 1) return ZARQ_PROXY_ERR_IO;
      left -= static_cast<size_t>(n);
      if (left == 0) return 0;
      continue;
    }
    // Peek first so that nothing after the end mark is taken.
    ssize_t n = platform::SocketPeek(sock, buf, sizeof buf);
    if (n < 0 && IsTransient(errno)) continue;
    if (n < 1) return ZARQ_PROXY_ERR_IO;
    size_t take = static_cast<size_t>(n);
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      if (buf[i] == kEnd[matched]) {
        ++matched;
      } else {
        matched = buf[i] == kEnd[0] ? 1 : 0;
      }
      if (matched == 4) {
        take = i + 1;
        break;
      }
    }
    if (!TakeQueued(sock, buf, take)) return ZARQ_PROXY_ERR_IO;
    if (matched == 4) return 0;
  }
}

int ZARQProxyClientReadHttpResponse(int sock, int* code, ppPROXY_HTTP_HEADER_ENTRY head,
                                    ppPROXY_HTTP_HEADER_ENTRY tail) {
  int status = ZARQProxyGetHttpResponseCode(sock);
  if (status < 0) return status;
  if (ZARQProxyClientParseHttpHeader(sock, head, tail) < 0) return ZARQ_PROXY_ERR_IO;
  *code = status;
  if (status == 200) return 0;
  // The drop only keeps a kept-alive connection in step for a following
  // request; its failure changes nothing here. A proxy that closes after its
  // error page (tinyproxy has no Content-Length) ends the drop at once, and
  // the status alone decides the result.
  size_t length = 0;
  pPROXY_HTTP_HEADER_ENTRY cl = ZARQProxyClientHttpHdrListGetNextEntryByKey(*head, "Content-Length", nullptr);
  if (cl != nullptr) {
    if (!ParseContentLength(cl->szValue.c_str(), &length)) {
      // Not trusted: draining a made-up length could eat a later answer.
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]bad Content-Length\n", __LINE__);
    } else if (length > 0) {
      (void)ZARQProxyClientClearHttpContentByLength(sock, length, kProxyTimeout);
    }
  } else if (ZARQProxyClientHttpHdrListGetNextEntryByKey(*head, "Content-Type", nullptr) != nullptr) {
    (void)ZARQProxyClientClearHttpContentByLength(sock, 0, kProxyTimeout);
  }
  return 0;
}

int ZARQProxyClientHandleHttpResponse(int sock, PROXY_AUTH_TYPE type, pPROXY_TARGET_INFO target,
                                      pZARQ_PROXY_AUTH_DATA auth) {
  if ((auth == nullptr && type != PROXY_NO_AUTH) || target == nullptr || target->szTargetAddress == nullptr) {
    PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]Bad parameter\n", __LINE__);
    return ZARQ_PROXY_ERR_PARAM;
  }
  ProxyHttpHeaderList headers;
  int code = 0;
  int rc = ZARQProxyClientReadHttpResponse(sock, &code, &headers.head, &headers.tail);
  if (rc < 0) return rc;
  switch (code) {
    case 200:
      return 0;
    case 407:
      if (type == PROXY_NTLM_AUTH || type == PROXY_NTLMv2_AUTH) {
        return ZARQProxyClientHandleNTLMResponse(sock, target, headers.head, auth) < 0 ? ZARQ_PROXY_ERR_AUTH : 0;
      }
      return ZARQ_PROXY_ERR_UNUSABLE;
    default:
      PROXY_PRINT_MSG(PROXY_ERR, "[ERROR] lib/zarqproxyclient_httpheader [%d]unexpected status %d\n", __LINE__,
                      code);
      return ZARQ_PROXY_ERR_STATUS;
  }
}
