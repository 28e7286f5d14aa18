// Base64, the scrambling of stored passwords, conversions between the
// locale's code set and UTF-8, the host name, user-name splitting and a
// scoped lock. Everything that logs does so on "utility_debug".
//
// Threads: every free function is safe from any thread; the conversions
// read the process locale, so they must not race a setlocale().
#ifndef FOUNDATION_UTILITY_H_
#define FOUNDATION_UTILITY_H_

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/ustring.h"

// Key of the password scrambling. The same four bytes, in this order, are
// the magic number of every server request header; they are bytes, not an
// integer (a little-endian uint32_t would reverse them on the wire).
extern const uint8_t g_encChalleng[4];

// ---- Stored passwords ----

// Scrambles a password for storage or the wire: Blowfish CFB64 keyed with
// g_encChalleng, all-zero initial vector, then base64. "" gives "".
void SyncPassEnc(const std::string& in, std::string& out);

// Reverses SyncPassEnc. `out` is "" when `in` is not valid base64; else the
// unscrambled bytes up to their first zero byte. Never fails otherwise.
void SyncPassDec(const std::string& in, std::string& out);

// ---- Base64 (RFC 4648 alphabet, "=" padding, no line breaks) ----

// The base64 text of `len` bytes at `in`, NUL-terminated: 4 * ceil(len / 3)
// characters. A null `in` gives null; "" for len 0. Owned by the caller.
std::unique_ptr<char[]> SzBase64EncBuffer(const void* in, size_t len);

// The same, but the input ends at its first zero byte (or at `len`).
std::unique_ptr<char[]> SzBase64EncOneLine(const void* in, size_t len);

// Decodes `inlen` characters of `in` into `out`. *outlen gives the room in
// `out` and receives the number of bytes written (also on false). True only
// when the whole input is the canonical encoding of what was written: groups
// of four alphabet characters, the last of which may end in "=" or "==".
// False for null arguments, any other byte (blank, line end, "=" elsewhere),
// a last group of 1 to 3 characters (its bytes are still written for 2 or
// 3), pad bits that are not zero, or too little room (bytes are written in
// order until it runs out). An empty input gives true with 0 bytes.
bool EncBase64Dec(const char* in, unsigned int inlen, char* out, unsigned int* outlen);

// ---- Text encodings ----
// The locale's code set is nl_langinfo(CODESET) of the current locale ("C":
// ASCII). Invalid input bytes and characters the target cannot represent
// each become "?". Empty input gives "" and 0; -1 when no converter exists
// (`out` then unchanged). A NUL in the input ends the text for a ustring.

// Locale code set to ustring (UTF-8).
int CodePageToNativeStr(const std::string& in, ustring& out);
// UTF-8 to ustring, invalid sequences replaced.
int UTF8ToNativeStr(const std::string& in, ustring& out);
// ustring to the locale code set.
int NativeStrToCodePage(const ustring& in, std::string& out);
// ustring to UTF-8, invalid sequences replaced.
int NativeStrToUTF8(const ustring& in, std::string& out);

// ---- Names ----

// The computer's host name (gethostname), as its bytes. 0, or -1 with an
// ERROR line (`host` then unchanged).
int GetSysHostName(std::string& host);

// Splits "DOMAIN/user" or "DOMAIN\user" at the last "/" (or, when there is
// none, the last "\"): `domain` gets the part before, `user_name` the part
// after (empty when the separator ends the text). Without a separator
// `domain` = "" and `user_name` stays.
void ParseUsrName(std::string& user_name, std::string& domain);

// ---- Scoped lock ----

// Holds a mutex between start() and end() (or destruction). Made with a
// file descriptor it holds nothing: there is no file locking here, and
// start()/end() only track the state. Not copyable; one thread at a time.
class CriticalSection {
 public:
  // `mutex` may be null (then nothing is locked); it must outlive this.
  explicit CriticalSection(pthread_mutex_t* mutex);
  explicit CriticalSection(int fd);
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Locks the mutex unless this object holds it already.
  void start();
  // Unlocks the mutex when this object holds it.
  void end();

  // pthread_mutex_lock / unlock: 0 or its error; -1 for a null mutex.
  static int lock(pthread_mutex_t* mutex);
  static int unlock(pthread_mutex_t* mutex);
  // No file locking: always -1.
  static int lock(int fd);
  static int unlock(int fd);

 private:
  pthread_mutex_t* lock_mutex;  // null: nothing to lock
  int lock_fd;                  // -1 unless made from a descriptor
  bool in_lock;                 // this object holds the lock
};

#endif  // FOUNDATION_UTILITY_H_
