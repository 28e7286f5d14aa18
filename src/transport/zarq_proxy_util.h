// Log hook and text helpers of the HTTP-proxy client.
//
// Threads: every function may be called from any thread; the hook is read
// atomically.
#ifndef TRANSPORT_ZARQ_PROXY_UTIL_H_
#define TRANSPORT_ZARQ_PROXY_UTIL_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/zarq_proxy_types.h"

// ---- Log hook ----

// Receives every message of the module: a PROXY_* level, the category
// "proxy_debug", a narrow printf format and its arguments (consumed by the
// hook). Logger's LogMSG_c has this shape.
typedef void (*PROXY_LOG_CB)(int level, const char* category, const char* format, va_list args);

// Installs `callback` (null removes it). The daemon installs none, so the
// module is silent. Install before the first proxy call; a hook swapped
// while calls run may still see a message or two.
void ZARQProxyInitLogger(PROXY_LOG_CB callback);

// Hands one message to the hook; nothing while none is installed.
void ZARQProxyPrintMsg(int level, const char* category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define PROXY_PRINT_MSG(level, ...) ZARQProxyPrintMsg((level), "proxy_debug", __VA_ARGS__)

// ---- Strings ----

// Removes trailing white space (blank, tab, CR, LF, VT, FF) in place. 0, or
// -1 for null.
int ZARQProxyClientStrimWhiteSpace(char* s);

// A heap copy of the `len` bytes of `s` from `start`, or null unless
// start < strlen(s) and start + len <= strlen(s) (a piece that ends at the
// end of the text is allowed).
std::unique_ptr<char[]> ZARQProxyClientSubstr(const char* s, size_t start, size_t len);

// UTF-8 to UTF-16 for log text: at most `n` units including the terminator
// are written to `w`. The unit count without terminator, or -1 for null
// arguments, invalid UTF-8 or too little room.
int UTF8ToNativeChar(const char* s, char16_t* w, int n);

// UTF-8 to UTF-16LE bytes (each unit written low byte first, whatever the
// host order) in a heap buffer sized from the input, never truncated, with
// two zero bytes after the text. The byte length without the terminator, or
// -1 for null, invalid UTF-8, or a result longer than INT_MAX bytes.
int StrToUnicode(std::unique_ptr<uint8_t[]>* out, const char* s);

// Base64 (standard alphabet, "=" padding, no line breaks) of `len` bytes,
// NUL-terminated. 0, or -1 for a null argument or a length too large.
int ToBase64(std::unique_ptr<char[]>* out, const void* data, size_t len);

// Decodes Base64 text (blanks at either end ignored, none inside). The
// decoded length (padding excluded), or -1 when the text is not Base64.
int FromBase64(std::unique_ptr<uint8_t[]>* out, const char* text);

// A heap copy of `s` with the ASCII letters upper-cased (other bytes, UTF-8
// included, unchanged). Null for null.
std::unique_ptr<char[]> StrToUpper(const char* s);

#endif  // TRANSPORT_ZARQ_PROXY_UTIL_H_
