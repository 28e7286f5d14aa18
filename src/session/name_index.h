// NameIndex: a map from a name to the list position of the element that
// carries it, for the child lists of the pending-event tree. A rescan puts
// 100k files into one folder, so the index is a flat open-addressing table
// (linear probing, backward-shift deletion): a lookup touches one slot
// array instead of a chain of separately allocated nodes, and growing
// copies the array without touching the elements.
//
// The names are not stored: KeyOf gives an element's name from its
// position, so each element's name must stay unchanged while it is indexed.
// Not thread-safe; its owner's lock covers it.
#ifndef SESSION_NAME_INDEX_H_
#define SESSION_NAME_INDEX_H_

#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

template <class It, class KeyOf>
class NameIndex {
 public:
  size_t size() const { return size_; }

  // The position of the element named `name`, or null. Valid until the next
  // insert or erase.
  const It* find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const size_t hash = Hash(name);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.hash == 0) return nullptr;
      if (s.hash == hash && KeyOf()(s.it) == name) return &s.it;
    }
  }

  // Adds `it` under its name, which must not be indexed yet. On
  // std::bad_alloc nothing changes.
  void insert(It it) {
    if ((size_ + 1) * 4 > slots_.size() * 3) Rehash(slots_.empty() ? 8 : slots_.size() * 2);
    Place(Hash(KeyOf()(it)), it);
    ++size_;
  }

  // Removes the entry of `name`; false when there is none. Never throws.
  bool erase(std::string_view name) {
    if (slots_.empty()) return false;
    const size_t hash = Hash(name);
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    for (;; i = (i + 1) & mask) {
      if (slots_[i].hash == 0) return false;
      if (slots_[i].hash == hash && KeyOf()(slots_[i].it) == name) break;
    }
    // Move later entries of the probe run back into the gap, so that no
    // lookup stops early at it.
    for (size_t j = i;;) {
      j = (j + 1) & mask;
      if (slots_[j].hash == 0) break;
      const size_t home = slots_[j].hash & mask;
      const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (stays) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = Slot();
    --size_;
    if (size_ == 0) {
      clear();
    } else if (size_ * 8 < slots_.size() && slots_.size() > 64) {
      try {
        Rehash(slots_.size() / 2);
      } catch (...) {
        // Keeping the larger table is harmless.
      }
    }
    return true;
  }

  void clear() {
    std::vector<Slot>().swap(slots_);
    size_ = 0;
  }

 private:
  struct Slot {
    size_t hash = 0;  // 0: empty
    It it{};
  };

  static size_t Hash(std::string_view name) {
    size_t h = std::hash<std::string_view>()(name);
    return h == 0 ? 1 : h;
  }

  void Place(size_t hash, It it) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i].hash != 0) i = (i + 1) & mask;
    slots_[i].hash = hash;
    slots_[i].it = it;
  }

  // `capacity` is a power of two above size_.
  void Rehash(size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.hash != 0) Place(s.hash, s.it);
    }
  }

  std::vector<Slot> slots_;  // size 0 or a power of two
  size_t size_ = 0;
};

#endif  // SESSION_NAME_INDEX_H_
