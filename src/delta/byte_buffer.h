// Growable storage that reports allocation failure instead of throwing: the
// delta engine runs on a worker thread, where std::bad_alloc would end the
// process, and turns a failed allocation into a result code.
#ifndef DELTA_BYTE_BUFFER_H_
#define DELTA_BYTE_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// An array of trivially copyable T in malloc'ed storage.
template <typename T>
class RawArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  RawArray() = default;
  ~RawArray() { free(data_); }
  RawArray(const RawArray&) = delete;
  RawArray& operator=(const RawArray&) = delete;

  T* data() const { return data_; }
  T& operator[](size_t i) const { return data_[i]; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  // Makes room for `n` elements in all, keeping the contents. False when the
  // allocation fails (nothing changes then).
  bool reserve(size_t n) {
    if (n <= capacity_) return true;
    if (n > static_cast<size_t>(-1) / sizeof(T)) return false;
    T* fresh = static_cast<T*>(realloc(data_, n * sizeof(T)));
    if (fresh == nullptr) return false;
    data_ = fresh;
    capacity_ = n;
    return true;
  }

  // Room for at least `n` more elements, growing by half again at least so
  // that repeated appends cost amortised constant time.
  bool reserve_more(size_t n) {
    if (n <= capacity_ - size_) return true;
    if (n > static_cast<size_t>(-1) / sizeof(T) - size_) return false;
    size_t want = size_ + n;
    const size_t grown = capacity_ + capacity_ / 2;
    if (grown > want) want = grown;
    return reserve(want) || reserve(size_ + n);
  }

  // Sets the element count; `n` must not exceed capacity().
  void resize(size_t n) { size_ = n; }

  // Appends; false (and nothing appended) when memory runs out.
  bool append(const T* p, size_t n) {
    if (n == 0) return true;
    if (!reserve_more(n)) return false;
    memcpy(data_ + size_, p, n * sizeof(T));
    size_ += n;
    return true;
  }

  bool push_back(const T& v) { return append(&v, 1); }

  void clear() { size_ = 0; }

  // Frees the storage.
  void reset() {
    free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

using ByteBuffer = RawArray<unsigned char>;

#endif  // DELTA_BYTE_BUFFER_H_
