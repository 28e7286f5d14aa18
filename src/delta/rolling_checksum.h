// The rolling weak checksum of the signature and delta formats (the librsync
// "rollsum" with character offset 31).
//
// For bytes x[0..n-1], each taken as x[i] + 31: `a` is their sum and `b` the
// sum of the running sums of `a`, both 32-bit with wrap-around; the digest
// is (b << 16) | (a & 0xFFFF). "abc" gives 0x03040183.
#ifndef DELTA_ROLLING_CHECKSUM_H_
#define DELTA_ROLLING_CHECKSUM_H_

#include <cstddef>
#include <cstdint>

// Plain sums of `n` bytes: *sum = Σ x[i] and *weighted = Σ (n - i) * x[i]
// (the sum of the running sums), both modulo 2^32. Vectorised where the
// processor allows; any `n`, any alignment.
void rs_block_sums(const unsigned char* p, size_t n, uint32_t* sum, uint32_t* weighted);

struct RSRollingChecksum {
  static constexpr uint32_t CHAR_OFFSET = 31;

  uint32_t count = 0;  // bytes in the window
  uint32_t a = 0;
  uint32_t b = 0;

  void clear() {
    count = 0;
    a = 0;
    b = 0;
  }

  // Extends the window by `n` bytes (closed form of n roll_in steps).
  void update(const void* data, size_t n) {
    uint32_t s1 = 0;
    uint32_t s2 = 0;
    rs_block_sums(static_cast<const unsigned char*>(data), n, &s1, &s2);
    const uint64_t n64 = n;
    const uint32_t offsets = static_cast<uint32_t>(CHAR_OFFSET * (n64 * (n64 + 1) / 2));
    b += static_cast<uint32_t>(n64) * a + s2 + offsets;
    a += s1 + static_cast<uint32_t>(CHAR_OFFSET * n64);
    count += static_cast<uint32_t>(n64);
  }

  void roll_out(unsigned char c) {
    a -= c + CHAR_OFFSET;
    b -= count * (c + CHAR_OFFSET);
    --count;
  }

  void roll_in(unsigned char c) {
    a += c + CHAR_OFFSET;
    b += a;
    ++count;
  }

  void rotate(unsigned char out, unsigned char in) {
    roll_out(out);
    roll_in(in);
  }

  uint32_t size() const { return count; }
  bool empty() const { return count == 0; }
  uint32_t digest() const { return (b << 16) | (a & 0xFFFFu); }
};

// The weak checksum of one block of `n` bytes.
inline uint32_t rs_weak_sum(const void* data, size_t n) {
  RSRollingChecksum sum;
  sum.update(data, n);
  return sum.digest();
}

#endif  // DELTA_ROLLING_CHECKSUM_H_
