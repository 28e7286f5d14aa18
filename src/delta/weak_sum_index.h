// WeakSumIndex: finds the rows of a signature's sorted block table that
// carry a given weak checksum, in constant time.
//
// Delta generation looks a weak checksum up at every byte position of the
// new file that does not continue a match. A binary search over the sorted
// table at each position is what made a no-match delta several times slower
// than rdiff, so two structures sit in front of the table:
//  - a bit filter (16 bits per row, two bits set per checksum in one 64-bit
//    word) that rejects about 98% of absent checksums with one load from a
//    table small enough to stay in cache;
//  - an open-addressing hash table from each distinct checksum to the first
//    row that carries it (rows with one checksum are adjacent in the table).
// Lookups neither allocate nor call through a pointer.
#ifndef DELTA_WEAK_SUM_INDEX_H_
#define DELTA_WEAK_SUM_INDEX_H_

#include <cstdint>

#include "delta/byte_buffer.h"

// One row of the block table: a block's weak checksum and its number in the
// signature. The table is sorted by weak checksum; rows with equal checksums
// are in no particular order as far as callers may rely on (they come in
// block order here).
struct DeltaBlock {
  uint32_t weaksum;
  uint32_t index;
  bool operator<(DeltaBlock const& o) const { return weaksum < o.weaksum; }
  bool operator==(DeltaBlock const& o) const { return weaksum == o.weaksum; }
};

class WeakSumIndex {
 public:
  static constexpr uint64_t NOT_FOUND = ~static_cast<uint64_t>(0);

  WeakSumIndex() = default;
  WeakSumIndex(const WeakSumIndex&) = delete;
  WeakSumIndex& operator=(const WeakSumIndex&) = delete;

  // Indexes `count` rows sorted by weak checksum; `rows` must outlive the
  // index (it is read by find). count must be below 2^32 - 1. 0, or -1 when
  // memory runs out (the index is then empty).
  int build(const DeltaBlock* rows, uint64_t count);

  // Frees the index.
  void reset();

  // False: no row carries `w`. True: one may.
  bool mayContain(uint32_t w) const {
    const uint64_t mask = filterMask(w);
    return (filter_bits_[filterWord(w)] & mask) == mask;
  }

  // The first row carrying `w`, or NOT_FOUND.
  uint64_t find(uint32_t w) const {
    if (rows_ == nullptr) return NOT_FOUND;
    uint64_t i = (w * 0xC2B2AE3D27D4EB4Full) >> slot_shift_;
    for (;;) {
      const uint32_t s = slots_[i];
      if (s == 0) return NOT_FOUND;
      if (rows_[s - 1].weaksum == w) return s - 1;
      i = (i + 1) & slot_mask_;
    }
  }

 private:
  static uint64_t mix(uint32_t w) { return w * 0x9E3779B97F4A7C15ull; }
  uint64_t filterWord(uint32_t w) const { return mix(w) >> filter_shift_; }
  static uint64_t filterMask(uint32_t w) {
    const uint64_t h = mix(w);
    return (static_cast<uint64_t>(1) << ((h >> 20) & 63)) | (static_cast<uint64_t>(1) << ((h >> 26) & 63));
  }

  RawArray<uint64_t> filter_;        // the filter's storage
  uint64_t empty_filter_[2] = {};    // the filter of an empty index
  const uint64_t* filter_bits_ = empty_filter_;
  unsigned filter_shift_ = 63;       // 64 - log2(filter words)
  RawArray<uint32_t> slots_;         // first row + 1; 0 is an empty slot
  unsigned slot_shift_ = 64;         // 64 - log2(slots)
  uint64_t slot_mask_ = 0;           // slots - 1
  const DeltaBlock* rows_ = nullptr;  // null when nothing is indexed
};

#endif  // DELTA_WEAK_SUM_INDEX_H_
