// The name of a record's signature file inside the event database's
// signature folder, made from the record's row id: the id's bytes, most
// significant first, without leading zero bytes (one byte at least), each as
// two lowercase hex digits, joined by "/", with a "." before the last byte.
// 5 gives ".05", 256 "01/.00", 0x10203 "01/02/.03". A folder thus holds at
// most 256 signature files and 256 sub-folders; the longest name (eight
// bytes) has 24 characters.
#ifndef SESSION_SIGNATURE_NAME_H_
#define SESSION_SIGNATURE_NAME_H_

#include <cstddef>
#include <cstdint>

// Size of the buffer path_convert writes into.
inline constexpr size_t kSignatureNameSize = 64;

// Writes the name of `id` with its NUL into `out` (kSignatureNameSize bytes)
// and returns its length.
int path_convert(uint64_t id, char* out);

// True when `name`, an entry directly inside the signature folder, can be a
// record's signature file: "." and two lowercase hex digits (a row id below
// 256, or the last byte of a larger one). Temporary signature files, made
// with random names of eight characters, never are.
bool IsSignatureFileName(const char* name);

#endif  // SESSION_SIGNATURE_NAME_H_
