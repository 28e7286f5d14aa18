// The HTTP side of the proxy client: sending a request, reading the status
// line, the header lines and a body, and the common handling of a CONNECT
// answer.
//
// Every wait is a poll of `timeout` / 5 seconds (callers pass 10: 2 s), and
// a step gives up after its 6th wait without progress. The sockets may be
// blocking or not; nothing here changes their mode. Results are the codes of
// zarq_proxy_types.h.
//
// Threads: no shared state; one thread per socket.
#ifndef TRANSPORT_ZARQ_PROXY_HTTP_H_
#define TRANSPORT_ZARQ_PROXY_HTTP_H_

#include <cstddef>
#include <memory>
#include <string>

#include "transport/zarq_proxy_types.h"

// Time-out argument of every call (a 2-s wait).
inline constexpr int kProxyTimeout = 10;
// Waits without progress after which a step gives up.
inline constexpr int kProxyMaxWaits = 6;
// Longest status line and header line, without the terminator.
inline constexpr size_t kProxyStatusLineMax = 1023;
inline constexpr size_t kProxyHeaderLineMax = 8191;
// More header lines than this in one answer are refused.
inline constexpr int kProxyMaxHeaderLines = 100;
// Largest "Content-Length" that is drained; a proxy's error page is far smaller.
inline constexpr size_t kProxyMaxBodyLength = 1 << 20;

// One response header. The list owns its entries; see the list functions.
struct PROXY_HTTP_HEADER_ENTRY {
  std::string szKey;
  std::string szValue;
  PROXY_HTTP_HEADER_ENTRY* NextEntry;
};
typedef PROXY_HTTP_HEADER_ENTRY *pPROXY_HTTP_HEADER_ENTRY, **ppPROXY_HTTP_HEADER_ENTRY;

// ---- Header list (head and tail pointers; both null when empty) ----

// Appends copies of `key` and `value`. 0, or -1 (nothing added) when an
// argument is null.
int ZARQProxyClientHttpHdrListAdd(ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail,
                                  const char* key, const char* value);
// A heap copy of the value of the first entry whose key equals `key` exactly
// (case-sensitive), or null.
std::unique_ptr<char[]> ZARQProxyClientHttpHdrListGetValByKey(pPROXY_HTTP_HEADER_ENTRY head, const char* key);
// The first entry with that key after `after` (from the head when `after`
// is null), or null.
pPROXY_HTTP_HEADER_ENTRY ZARQProxyClientHttpHdrListGetNextEntryByKey(pPROXY_HTTP_HEADER_ENTRY head,
                                                                     const char* key,
                                                                     pPROXY_HTTP_HEADER_ENTRY after);
// Frees every entry and nulls both pointers (either may be null).
void ZARQProxyClientHttpHdrListFree(ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail);
// Writes each entry to the log hook.
void ZARQProxyClientHttpHdrListDump(pPROXY_HTTP_HEADER_ENTRY head);

// Owns a header list and frees it when it goes.
struct ProxyHttpHeaderList {
  ProxyHttpHeaderList() = default;
  ~ProxyHttpHeaderList() { ZARQProxyClientHttpHdrListFree(&head, &tail); }
  ProxyHttpHeaderList(const ProxyHttpHeaderList&) = delete;
  ProxyHttpHeaderList& operator=(const ProxyHttpHeaderList&) = delete;

  pPROXY_HTTP_HEADER_ENTRY head = nullptr;
  pPROXY_HTTP_HEADER_ENTRY tail = nullptr;
};

// ---- I/O ----

// Sends all `len` bytes: 0, or -1 on a poll or send error or after the 6th
// wait in which the socket did not become writable.
int ZARQProxyClientPacketSend(int sock, const char* buf, size_t len, int timeout);

// Reads one line, "\r\n" included, into `buf` (NUL-terminated), taking from
// the socket nothing after its line feed. The byte count; -8 when `size` - 1
// bytes came without a line feed (or `size` < 2; `buf` then holds what was
// read); -1 on a poll error, the end of the stream, a receive error or the
// 6th wait without data.
int ZARQProxyClientReadOneLine(int sock, char* buf, size_t size, int timeout);

// Reads the status line (at most 1023 bytes) and returns its code, matched as
// "HTTP/" + one character + "." + one character, blanks, then 1 to 9 digits.
// -1 when the line cannot be read, -5 when it yields no code.
int ZARQProxyGetHttpResponseCode(int sock);

// Reads header lines (at most 8191 bytes each) up to the first line that is
// empty once trailing white space is gone, appending one entry per line:
// the key is the text before the first ":", the value the rest with its
// leading blanks skipped; lines without ":" or with an empty key or value are
// left out. 0, or -1 for null list pointers, a read failure, or more than
// 100 header lines.
int ZARQProxyClientParseHttpHeader(int sock, ppPROXY_HTTP_HEADER_ENTRY head, ppPROXY_HTTP_HEADER_ENTRY tail);

// Drops a body through a fixed 4 KiB buffer: exactly `length` bytes when
// `length` > 0; with 0, everything up to and including the first
// "\r\n\r\n" (nothing after it is taken). 0, or -1 on a read failure or the
// 6th wait without data.
int ZARQProxyClientClearHttpContentByLength(int sock, size_t length, int timeout);

// Reads one answer: status code into *code, headers into the list, and for
// a status other than 200 the body ("Content-Length": that many bytes, when
// it is plain decimal and at most kProxyMaxBodyLength; else with a
// "Content-Type": up to "\r\n\r\n"; else nothing). A 200 to CONNECT has no
// body: the bytes after it are the target's. 0, or the code of the status
// line (-1, -5) or of the headers (-1). The body drop's own result is not
// part of it (see the .cpp).
int ZARQProxyClientReadHttpResponse(int sock, int* code, ppPROXY_HTTP_HEADER_ENTRY head,
                                    ppPROXY_HTTP_HEADER_ENTRY tail);

// Common handling of the answer to a method's request. -6 when `target` or
// its address is null or `auth` is null while `type` is not PROXY_NO_AUTH;
// -1/-5 as ZARQProxyClientReadHttpResponse; then by status: 200: 0; 407:
// -3 for PROXY_NO_AUTH and PROXY_BASIC_AUTH, and for the NTLM types the
// challenge step on the same socket (0 or -2); any other status: -5.
int ZARQProxyClientHandleHttpResponse(int sock, PROXY_AUTH_TYPE type, pPROXY_TARGET_INFO target,
                                      pZARQ_PROXY_AUTH_DATA auth);

#endif  // TRANSPORT_ZARQ_PROXY_HTTP_H_
