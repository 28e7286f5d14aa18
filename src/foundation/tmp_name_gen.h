// Random 8-character names for temporary files.
#ifndef FOUNDATION_TMP_NAME_GEN_H_
#define FOUNDATION_TMP_NAME_GEN_H_

#include <cstddef>
#include <mutex>

#include "foundation/ustring.h"

// Draws names from an RC4 state keyed with 256 bytes of getrandom. Each name
// is 6 output bytes written as 8 characters of
// "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_".
// Names only need to be unpredictable and rarely repeat: whoever creates a
// file under one still uses O_EXCL and draws again on EEXIST.
class TmpNameGen {
 public:
  // The process-wide generator, made on first use (thread-safe). It is never
  // destroyed, so threads still running at exit can draw names.
  static TmpNameGen* getInstance();

  // A generator of its own, keyed from getrandom (tests; the daemon uses
  // getInstance()). Aborts when the kernel gives no random bytes at all:
  // predictable names are worse than no daemon.
  TmpNameGen();
  TmpNameGen(const TmpNameGen&) = delete;
  TmpNameGen& operator=(const TmpNameGen&) = delete;

  // The next name. Thread-safe (takes m_lock).
  ustring getTmpName();
  // prefix + "/" + getTmpName(); an empty prefix gives "/" + name.
  ustring getTmpPath(const ustring& prefix);

  // Tests only: replaces the key and rebuilds the permutation from it, so
  // that the next names are known in advance. Thread-safe.
  void setKeyForTest(const unsigned char (&key)[256]);

  // The 8 characters for 6 bytes, three bytes to four characters, most
  // significant bits first.
  static ustring encodeName(const unsigned char (&bytes)[6]);

 private:
  // Fills key[0..len) from getrandom (or /dev/urandom). 0, or -1.
  static int get_key(unsigned char* key, size_t len);
  // Identity permutation, then the RC4 key schedule over all 256 key bytes.
  static void rc4_init(unsigned char* S, const unsigned char* key);
  // `length` RC4 output bytes from S, with i and j restarted at 0 on every
  // call; S itself carries over from call to call.
  static void rc4_randomize(unsigned char* S, unsigned char* buffer, size_t length);

  std::mutex m_lock;  // guards the three arrays
  unsigned char m_s_box[256];
  unsigned char m_key[256];
  unsigned char m_buffer[6];
};

#endif  // FOUNDATION_TMP_NAME_GEN_H_
