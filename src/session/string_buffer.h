// StringBuffer: the name store of folder listings. Every distinct name is
// kept once, NUL-terminated, in one of at most 32 large chunks, so that two
// listings built over one buffer (the disk side and the database side of a
// comparison) share their names and a large tree costs one copy of each
// distinct name and no allocation per name once a chunk has room.
//
// Ownership: the caller owns the buffer; it must outlive every FileList
// built over it. Names are only added, never removed, until the buffer is
// destroyed. Not copyable (listings point into its chunks).
//
// Threads: no lock; one thread uses a buffer (and its listings) at a time.
#ifndef SESSION_STRING_BUFFER_H_
#define SESSION_STRING_BUFFER_H_

#include <cstddef>
#include <cstring>
#include <set>
#include <string_view>

class StringBuffer {
 public:
  // A name inside a buffer, or the shared static "" when default-made.
  // Ordered by byte comparison (strcmp).
  struct String {
    const char* ptr;

    String() : ptr("") {}
    explicit String(const char* p) : ptr(p) {}
    const char* c_str() const { return ptr; }

    bool operator<(const String& o) const { return ptr != o.ptr && std::strcmp(ptr, o.ptr) < 0; }
    bool operator>(const String& o) const { return ptr != o.ptr && std::strcmp(ptr, o.ptr) > 0; }
    bool operator==(const String& o) const { return ptr == o.ptr || std::strcmp(ptr, o.ptr) == 0; }
  };

  // Storage of names: `capacity` bytes at `data` (array new), of which the
  // first `offset` are handed out.
  struct Chunk {
    size_t capacity;
    size_t offset;
    char* data;
  };

  static constexpr int kMaxChunks = 32;
  static constexpr size_t kFirstChunk = 512;

  // `dic` empty, chunk 0 of 512 bytes, `used` 1.
  StringBuffer() : chunk(), used(0) {
    chunk[0].data = new char[kFirstChunk];
    chunk[0].capacity = kFirstChunk;
    used = 1;
  }
  ~StringBuffer() {
    for (int i = 0; i < used; ++i) delete[] chunk[i].data;
  }
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;

  // Interns `name` (a NUL-free byte string): the stored copy when it is in
  // `dic` already, else a new copy. False when all 32 chunks are in use and
  // none has room (the buffer is full); `out` is then untouched. Memory
  // exhaustion propagates as std::bad_alloc.
  bool insert(std::string_view name, String& out) {
    auto it = dic.find(name);
    if (it != dic.end()) {
      out = *it;
      return true;
    }
    char* p = take(name.size() + 1);
    if (p == nullptr) return false;
    std::memcpy(p, name.data(), name.size());
    p[name.size()] = '\0';
    out = *dic.insert(String(p)).first;
    return true;
  }

  // Orders Strings among themselves and against name texts, so that a
  // name is looked up without being copied first.
  struct Less {
    using is_transparent = void;
    bool operator()(const String& a, const String& b) const { return a < b; }
    bool operator()(const String& a, std::string_view b) const { return std::string_view(a.ptr) < b; }
    bool operator()(std::string_view a, const String& b) const { return a < std::string_view(b.ptr); }
  };

  std::set<String, Less> dic;  // every interned name
  Chunk chunk[kMaxChunks];     // the bytes; chunks [0, used) are allocated
  int used;                    // chunks in use

 private:
  // n bytes from the first chunk in use with room for them; else from a new
  // chunk after the last, of twice the last one's capacity, or 2n when that
  // capacity is below n. Null when all chunks are in use and none has room.
  char* take(size_t n) {
    for (int i = 0; i < used; ++i) {
      Chunk& c = chunk[i];
      if (c.capacity - c.offset >= n) {
        char* p = c.data + c.offset;
        c.offset += n;
        return p;
      }
    }
    if (used == kMaxChunks) return nullptr;
    size_t last = chunk[used - 1].capacity;
    size_t cap = last < n ? 2 * n : 2 * last;
    Chunk& c = chunk[used];
    c.data = new char[cap];
    c.capacity = cap;
    c.offset = n;
    ++used;
    return c.data;
  }
};

#endif  // SESSION_STRING_BUFFER_H_
