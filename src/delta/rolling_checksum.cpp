#include "delta/rolling_checksum.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The running-sum recurrence, continued from (s1, s2) over the bytes seen so far.
void ScalarSums(const unsigned char* p, size_t n, uint32_t& s1, uint32_t& s2) {
  for (size_t i = 0; i < n; ++i) {
    s1 += p[i];
    s2 += s1;
  }
}

#if defined(__x86_64__)

bool HaveAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}

// Over 32-byte vectors v[j], j < m: Σ (L - i) x[i] with L = 32m splits into
// 32 * Σ_j (m - 1 - j) S_j plus Σ_j Σ_k (32 - k) x[32j + k], where S_j is the
// byte sum of v[j]. The first part is accumulated as the sum, over the
// steps, of the byte sums of the vectors before each step.
__attribute__((target("avx2"))) void Avx2Sums(const unsigned char* p, size_t n, uint32_t& s1, uint32_t& s2) {
  const size_t m = n / 32;
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                           14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones16 = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  __m256i sum = zero;       // 4 x 64-bit: byte sums of the vectors so far
  __m256i prefixes = zero;  // 4 x 64-bit: Σ over steps of `sum` before the step
  __m256i inner = zero;     // 8 x 32-bit: Σ (32 - k) x[32j + k]
  for (size_t j = 0; j < m; ++j) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * j));
    prefixes = _mm256_add_epi64(prefixes, sum);
    sum = _mm256_add_epi64(sum, _mm256_sad_epu8(v, zero));
    inner = _mm256_add_epi32(inner, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones16));
  }
  alignas(32) uint64_t s[4];
  alignas(32) uint64_t pre[4];
  alignas(32) uint32_t in[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(s), sum);
  _mm256_store_si256(reinterpret_cast<__m256i*>(pre), prefixes);
  _mm256_store_si256(reinterpret_cast<__m256i*>(in), inner);
  const uint64_t total = s[0] + s[1] + s[2] + s[3];
  const uint64_t prefix_total = pre[0] + pre[1] + pre[2] + pre[3];
  uint32_t inner_total = 0;
  for (uint32_t v : in) inner_total += v;
  // The vector part continues the sums already held: each of its 32m bytes
  // adds the earlier s1 to s2 once more.
  const uint32_t len = static_cast<uint32_t>(32 * m);
  s2 += len * s1 + 32u * static_cast<uint32_t>(prefix_total) + inner_total;
  s1 += static_cast<uint32_t>(total);
  ScalarSums(p + 32 * m, n - 32 * m, s1, s2);
}

#endif

}  // namespace

void rs_block_sums(const unsigned char* p, size_t n, uint32_t* sum, uint32_t* weighted) {
  uint32_t s1 = 0;
  uint32_t s2 = 0;
#if defined(__x86_64__)
  if (n >= 64 && HaveAvx2()) {
    Avx2Sums(p, n, s1, s2);
    *sum = s1;
    *weighted = s2;
    return;
  }
#endif
  ScalarSums(p, n, s1, s2);
  *sum = s1;
  *weighted = s2;
}
