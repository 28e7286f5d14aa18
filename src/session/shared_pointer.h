// shared_pointer<T>: the reference-counted pointer through which sessions
// share their rule lists, event database and server connections.
//
// Every shared_pointer, even an empty one, holds one reference on a counter
// block; the holder of the last reference frees the block and deletes the
// object (when there is one). The count is atomic, so copies of one pointer
// may be made and dropped on any threads at once; one shared_pointer object
// itself must not be assigned on one thread while another reads it. The
// object is not guarded: it locks itself.
#ifndef SESSION_SHARED_POINTER_H_
#define SESSION_SHARED_POINTER_H_

#include <atomic>
#include <cassert>

template <class T>
class shared_pointer {
 public:
  // A new counter block with count 1 and no object.
  shared_pointer() : counter(new reference_counter), pointer(nullptr) {}

  // Shares the source's block and object.
  shared_pointer(const shared_pointer& other) : counter(other.counter), pointer(other.pointer) {
    reference();
  }

  // Releases the held reference and shares the source's. The source is
  // referenced first: releasing may delete the object that holds `other`
  // (p = p->next on the last reference).
  shared_pointer& operator=(const shared_pointer& other) {
    if (counter == other.counter) return *this;  // self-assignment, or already shared
    reference_counter* new_counter = other.counter;
    T* new_pointer = other.pointer;
    new_counter->count.fetch_add(1, std::memory_order_relaxed);
    dereference();
    counter = new_counter;
    pointer = new_pointer;
    return *this;
  }

  // Releases the held reference and takes ownership of `object` with a new
  // counter block of count 1 (null: no object). `object` must not be held
  // by any shared_pointer already. When the block cannot be allocated,
  // `object` is deleted and std::bad_alloc propagates; the held reference is
  // then kept.
  shared_pointer& operator=(T* object) {
    assert((object == nullptr || object != pointer) && "object already owned");
    reference_counter* new_counter;
    try {
      new_counter = new reference_counter;
    } catch (...) {
      delete object;
      throw;
    }
    dereference();
    counter = new_counter;
    pointer = object;
    return *this;
  }

  ~shared_pointer() { dereference(); }

  // Count + 1 on the held block.
  void reference() { counter->count.fetch_add(1, std::memory_order_relaxed); }

  // Count - 1 on the held block; at 0 the block is freed and the object
  // deleted. The pointer fields are left dangling: only the destructor and
  // the assignments call it, and they replace them.
  void dereference() {
    if (counter->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    delete counter;
    delete pointer;
  }

  T& operator*() const { return *pointer; }
  T* operator->() const { return pointer; }
  explicit operator bool() const { return pointer != nullptr; }

  // Compare the object pointers.
  bool operator==(const shared_pointer& other) const { return pointer == other.pointer; }
  bool operator!=(const shared_pointer& other) const { return pointer != other.pointer; }
  bool operator==(const T* other) const { return pointer == other; }
  bool operator!=(const T* other) const { return pointer != other; }

 private:
  struct reference_counter {
    std::atomic<int> count{1};
  };

  reference_counter* counter;  // never null
  T* pointer;                  // may be null
};

#endif  // SESSION_SHARED_POINTER_H_
