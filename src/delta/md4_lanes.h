// MD4 of many equal-length messages at once.
//
// Signatures and delta matching hash consecutive blocks of one buffer; MD4
// of one message is a chain of dependent steps, but several messages can go
// through the same steps side by side in the lanes of vector registers. The
// digests are those of platform::Md4 (RFC 1320), message by message.
#ifndef DELTA_MD4_LANES_H_
#define DELTA_MD4_LANES_H_

#include <cstddef>
#include <cstdint>

// Digests of `count` messages of `len` bytes each; message i starts at
// data + i * stride, its digest goes to out[i]. Thread-safe (no state).
void md4_many(const unsigned char* data, size_t stride, size_t len, size_t count, unsigned char (*out)[16]);

#endif  // DELTA_MD4_LANES_H_
