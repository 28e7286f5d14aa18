#include "delta/weak_sum_index.h"

#include <cstring>

namespace {

// Exponent of the smallest power of two >= n.
unsigned Log2Ceil(uint64_t n) {
  unsigned k = 0;
  while (k < 63 && (static_cast<uint64_t>(1) << k) < n) ++k;
  return k;
}

}  // namespace

int WeakSumIndex::build(const DeltaBlock* rows, uint64_t count) {
  reset();
  if (count >= 0xFFFFFFFFu) return -1;  // slots hold row + 1 in 32 bits
  // Filter: 16 bits per row, 2^12 to 2^34 bits, in 64-bit words picked by
  // the top bits of a 64-bit product.
  unsigned filter_log = Log2Ceil(count * 16);
  if (filter_log < 12) filter_log = 12;
  if (filter_log > 34) filter_log = 34;
  const uint64_t words = (static_cast<uint64_t>(1) << filter_log) / 64;
  // Slots: at least twice the rows, so that probes stay short.
  unsigned slot_log = Log2Ceil(count * 2);
  if (slot_log < 4) slot_log = 4;
  const uint64_t slots = static_cast<uint64_t>(1) << slot_log;
  if (!filter_.reserve(words) || !slots_.reserve(slots)) {
    reset();
    return -1;
  }
  filter_.resize(words);
  slots_.resize(slots);
  memset(filter_.data(), 0, words * sizeof(uint64_t));
  memset(slots_.data(), 0, slots * sizeof(uint32_t));

  filter_bits_ = filter_.data();
  filter_shift_ = 64 - (filter_log - 6);
  slot_shift_ = 64 - slot_log;
  slot_mask_ = slots - 1;
  rows_ = rows;
  for (uint64_t r = 0; r < count; ++r) {
    const uint32_t w = rows[r].weaksum;
    if (r > 0 && rows[r - 1].weaksum == w) continue;
    filter_[filterWord(w)] |= filterMask(w);
    uint64_t i = (w * 0xC2B2AE3D27D4EB4Full) >> slot_shift_;
    while (slots_[i] != 0) i = (i + 1) & slot_mask_;
    slots_[i] = static_cast<uint32_t>(r + 1);
  }
  return 0;
}

void WeakSumIndex::reset() {
  filter_.reset();
  slots_.reset();
  filter_bits_ = empty_filter_;
  filter_shift_ = 63;
  slot_shift_ = 64;
  slot_mask_ = 0;
  rows_ = nullptr;
}
