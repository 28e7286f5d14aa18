// MD4HashHandler: the MD4 digest of everything a reader streams.
#ifndef DELTA_MD4_HASH_HANDLER_H_
#define DELTA_MD4_HASH_HANDLER_H_

#include "foundation/ustring.h"
#include "platform/legacy_crypto.h"

struct MD4HashHandler {
  MD4HashHandler();
  MD4HashHandler(const MD4HashHandler&) = delete;
  MD4HashHandler& operator=(const MD4HashHandler&) = delete;

  // Handler steps (see CopyHandler); none of them can fail.
  int begin();
  int update(void const* data, unsigned len);
  int wait();
  // Finishes the digest. `complete` false (a failed or aborted pass) leaves
  // the caller's string untouched: a digest of part of the input must never
  // pass for the file's digest.
  int end(bool complete = true);

  // The digest as 32 lower-case hexadecimal digits, high nibble first.
  ustring getResult() const;
  // The string that end() fills; it must outlive the handler's end().
  void setResultString(ustring& out);

  platform::Md4Context mdfour;
  unsigned char result[platform::kMd4DigestLength] = {};
  ustring* result_string = nullptr;  // not owned
};

#endif  // DELTA_MD4_HASH_HANDLER_H_
