#include "delta/md4_lanes.h"

#include <cstring>

#include "platform/legacy_crypto.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)

constexpr size_t kLanes = 8;

bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}

#define MD4_TARGET __attribute__((target("avx2")))

MD4_TARGET inline __m256i Rotl(__m256i x, int s) {
  return _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - s));
}

// Transposes 8 rows of 8 32-bit words (r[i] holds row i) into columns.
MD4_TARGET inline void Transpose8(__m256i r[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

struct LaneState {
  __m256i a, b, c, d;
};

// One 64-byte block of every lane: lane l's block starts at p[l] + offset.
MD4_TARGET inline void Compress(LaneState& s, const unsigned char* const p[kLanes], size_t offset) {
  __m256i x[16];
  for (size_t l = 0; l < kLanes; ++l) {
    x[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + offset));
    x[8 + l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + offset + 32));
  }
  Transpose8(x);
  Transpose8(x + 8);

  __m256i a = s.a, b = s.b, c = s.c, d = s.d;
  const __m256i k2 = _mm256_set1_epi32(0x5A827999);
  const __m256i k3 = _mm256_set1_epi32(0x6ED9EBA1);

#define MD4_F(x, y, z) _mm256_or_si256(_mm256_and_si256(x, y), _mm256_andnot_si256(x, z))
#define MD4_G(x, y, z) _mm256_or_si256(_mm256_and_si256(x, _mm256_or_si256(y, z)), _mm256_and_si256(y, z))
#define MD4_H(x, y, z) _mm256_xor_si256(_mm256_xor_si256(x, y), z)
#define R1(a, b, c, d, k, s) a = Rotl(_mm256_add_epi32(_mm256_add_epi32(a, MD4_F(b, c, d)), x[k]), s)
#define R2(a, b, c, d, k, s) \
  a = Rotl(_mm256_add_epi32(_mm256_add_epi32(a, MD4_G(b, c, d)), _mm256_add_epi32(x[k], k2)), s)
#define R3(a, b, c, d, k, s) \
  a = Rotl(_mm256_add_epi32(_mm256_add_epi32(a, MD4_H(b, c, d)), _mm256_add_epi32(x[k], k3)), s)

  R1(a, b, c, d, 0, 3); R1(d, a, b, c, 1, 7); R1(c, d, a, b, 2, 11); R1(b, c, d, a, 3, 19);
  R1(a, b, c, d, 4, 3); R1(d, a, b, c, 5, 7); R1(c, d, a, b, 6, 11); R1(b, c, d, a, 7, 19);
  R1(a, b, c, d, 8, 3); R1(d, a, b, c, 9, 7); R1(c, d, a, b, 10, 11); R1(b, c, d, a, 11, 19);
  R1(a, b, c, d, 12, 3); R1(d, a, b, c, 13, 7); R1(c, d, a, b, 14, 11); R1(b, c, d, a, 15, 19);

  R2(a, b, c, d, 0, 3); R2(d, a, b, c, 4, 5); R2(c, d, a, b, 8, 9); R2(b, c, d, a, 12, 13);
  R2(a, b, c, d, 1, 3); R2(d, a, b, c, 5, 5); R2(c, d, a, b, 9, 9); R2(b, c, d, a, 13, 13);
  R2(a, b, c, d, 2, 3); R2(d, a, b, c, 6, 5); R2(c, d, a, b, 10, 9); R2(b, c, d, a, 14, 13);
  R2(a, b, c, d, 3, 3); R2(d, a, b, c, 7, 5); R2(c, d, a, b, 11, 9); R2(b, c, d, a, 15, 13);

  R3(a, b, c, d, 0, 3); R3(d, a, b, c, 8, 9); R3(c, d, a, b, 4, 11); R3(b, c, d, a, 12, 15);
  R3(a, b, c, d, 2, 3); R3(d, a, b, c, 10, 9); R3(c, d, a, b, 6, 11); R3(b, c, d, a, 14, 15);
  R3(a, b, c, d, 1, 3); R3(d, a, b, c, 9, 9); R3(c, d, a, b, 5, 11); R3(b, c, d, a, 13, 15);
  R3(a, b, c, d, 3, 3); R3(d, a, b, c, 11, 9); R3(c, d, a, b, 7, 11); R3(b, c, d, a, 15, 15);

#undef R1
#undef R2
#undef R3
#undef MD4_F
#undef MD4_G
#undef MD4_H

  s.a = _mm256_add_epi32(s.a, a);
  s.b = _mm256_add_epi32(s.b, b);
  s.c = _mm256_add_epi32(s.c, c);
  s.d = _mm256_add_epi32(s.d, d);
}

// Eight messages of `len` bytes, lane l at p[l]; digests to out[l].
MD4_TARGET void Md4Eight(const unsigned char* const p[kLanes], size_t len, unsigned char (*out)[16]) {
  LaneState s;
  s.a = _mm256_set1_epi32(0x67452301);
  s.b = _mm256_set1_epi32(static_cast<int>(0xefcdab89u));
  s.c = _mm256_set1_epi32(static_cast<int>(0x98badcfeu));
  s.d = _mm256_set1_epi32(0x10325476);

  const size_t whole = len / 64;
  for (size_t i = 0; i < whole; ++i) Compress(s, p, 64 * i);

  // The padding: the last partial block, 0x80, zeros, and the length in bits
  // (little-endian) in the last 8 bytes of a one- or two-block tail.
  const size_t rest = len - 64 * whole;
  const size_t tail_len = rest < 56 ? 64 : 128;
  alignas(32) unsigned char tail[kLanes][128];
  const uint64_t bits = static_cast<uint64_t>(len) * 8;
  const unsigned char* tp[kLanes];
  for (size_t l = 0; l < kLanes; ++l) {
    memcpy(tail[l], p[l] + 64 * whole, rest);
    tail[l][rest] = 0x80;
    memset(tail[l] + rest + 1, 0, tail_len - rest - 1);
    for (int i = 0; i < 8; ++i) tail[l][tail_len - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    tp[l] = tail[l];
  }
  for (size_t off = 0; off < tail_len; off += 64) Compress(s, tp, off);

  alignas(32) uint32_t words[4][kLanes];
  _mm256_store_si256(reinterpret_cast<__m256i*>(words[0]), s.a);
  _mm256_store_si256(reinterpret_cast<__m256i*>(words[1]), s.b);
  _mm256_store_si256(reinterpret_cast<__m256i*>(words[2]), s.c);
  _mm256_store_si256(reinterpret_cast<__m256i*>(words[3]), s.d);
  for (size_t l = 0; l < kLanes; ++l) {
    for (int w = 0; w < 4; ++w) {
      const uint32_t v = words[w][l];
      out[l][4 * w + 0] = static_cast<unsigned char>(v);
      out[l][4 * w + 1] = static_cast<unsigned char>(v >> 8);
      out[l][4 * w + 2] = static_cast<unsigned char>(v >> 16);
      out[l][4 * w + 3] = static_cast<unsigned char>(v >> 24);
    }
  }
}

#undef MD4_TARGET

#endif  // __x86_64__

}  // namespace

void md4_many(const unsigned char* data, size_t stride, size_t len, size_t count, unsigned char (*out)[16]) {
  size_t i = 0;
#if defined(__x86_64__)
  if (count >= 2 && HaveAvx2()) {
    for (; i < count; i += kLanes) {
      const unsigned char* p[kLanes];
      // A short last group repeats its first message in the spare lanes:
      // they cost what an empty lane costs, and their digests are dropped.
      const size_t n = count - i < kLanes ? count - i : kLanes;
      if (n == 1) {
        platform::Md4(data + i * stride, len, out[i]);
        break;
      }
      for (size_t l = 0; l < kLanes; ++l) p[l] = data + (i + (l < n ? l : 0)) * stride;
      if (n == kLanes) {
        Md4Eight(p, len, out + i);
      } else {
        unsigned char spare[kLanes][16];
        Md4Eight(p, len, spare);
        memcpy(out + i, spare, n * 16);
      }
    }
    return;
  }
#endif
  for (; i < count; ++i) platform::Md4(data + i * stride, len, out[i]);
}
