// PObject: the typed value tree of every message the daemon exchanges.
#ifndef PROTOCOL_POBJECT_H_
#define PROTOCOL_POBJECT_H_

#include <cstdint>
#include <map>
#include <vector>

#include "foundation/ustring.h"

// A null value, an unsigned 64-bit integer, or one owned heap value of one
// kind: array, map keyed by ustring (byte order of the UTF-8 keys), UTF-8
// string, or a binary that refers to a slice of a local file (the bytes are
// never held in memory).
//
// Read access (const members) never changes the object: a wrong kind gives 0,
// "" or a shared empty value. Write access (non-const members) converts: map
// access on a non-map makes it an empty map first, dropping its old value; the
// same for arrays and binaries. So a message is built by chains such as
// request["_agent"]["version"]["major"] = 3 on a null object.
//
// Copies are deep. Every assignment builds the new value before it releases
// the old one, so `a = a` and `a = a["x"]` are safe, and after a failed
// allocation (std::bad_alloc) the object keeps its old value. Moves transfer
// the value and leave the source null. The non-const positional access throws
// std::out_of_range; nothing else throws but std::bad_alloc.
//
// Threads: no lock. One thread builds or reads an object at a time; the
// shared empty values are immutable and may be read from any thread.
class PObject {
  // The stream reads and fills values in place.
  friend class PStream;

 public:
  enum {
    TYPE_NULL = 0,
    TYPE_ARRAY = 1,
    TYPE_MAP = 2,
    TYPE_INTEGER = 3,
    TYPE_STRING = 4,
    TYPE_BINARY = 5,
  };

  // A slice of a local file: `length` bytes of `path` from `offset`.
  struct binary_type {
    uint64_t offset;
    uint64_t length;
    ustring path;

    binary_type() : offset(0), length(0) {}
    ~binary_type() { clear(); }
    binary_type(const binary_type&) = default;
    binary_type& operator=(const binary_type&) = default;

    // Back to 0, 0, "".
    void clear() {
      offset = 0;
      length = 0;
      path.clear();
    }
    // True when there is no path, whatever the numbers.
    bool empty() const { return path.empty(); }
  };

  // Keys in byte order (ustring's operator<); ustring_less also finds a
  // `const char*` key without building a ustring.
  typedef std::map<ustring, PObject, ustring_less> map_type;
  typedef std::vector<PObject> array_type;

  PObject() noexcept : type(TYPE_NULL), data{nullptr} {}
  PObject(const PObject& other);
  PObject(PObject&& other) noexcept;
  PObject(const char* s);
  PObject(const ustring& s);
  // Integers; signed values are stored as their two's-complement bits
  // (sign-extended to 64 bits).
  PObject(unsigned long long v);
  PObject(unsigned long v);
  PObject(unsigned int v);
  PObject(long long v);
  PObject(long v);
  PObject(int v);
  ~PObject() { clear(); }

  // --- Kind tests ---------------------------------------------------------
  bool isNull() const { return type == TYPE_NULL; }
  bool isArray() const { return type == TYPE_ARRAY; }
  bool isMap() const { return type == TYPE_MAP; }
  bool isInteger() const { return type == TYPE_INTEGER; }
  bool isString() const { return type == TYPE_STRING; }
  bool isBinary() const { return type == TYPE_BINARY; }
  bool isContainer() const { return isArray() || isMap(); }
  bool isPrimitive() const { return isString() || isInteger() || isBinary(); }

  // Null: true. Integer: false (0 included). String, array, map: no content.
  // Binary: no path.
  bool isEmpty() const;
  // Integer: any bit set. Other kinds: !isEmpty() (so "0" is true).
  bool asBool() const;

  // --- Integer readers: 0 for any other kind --------------------------------
  uint64_t asInteger() const { return asUInt64(); }
  uint64_t asUInt64() const { return isInteger() ? data.integer : 0; }
  int64_t asInt64() const { return static_cast<int64_t>(asUInt64()); }
  uint32_t asUInt32() const { return static_cast<uint32_t>(asUInt64()); }
  int32_t asInt32() const { return static_cast<int32_t>(asUInt32()); }
  uint16_t asUInt16() const { return static_cast<uint16_t>(asUInt64()); }
  int16_t asInt16() const { return static_cast<int16_t>(asUInt16()); }
  uint8_t asUInt8() const { return static_cast<uint8_t>(asUInt64()); }
  int8_t asInt8() const { return static_cast<int8_t>(asUInt8()); }

  // A string's text; an integer's low 32 bits in unsigned decimal (so
  // 4294967297 gives "1"); "" for every other kind.
  ustring asString() const;

  // --- Containers -----------------------------------------------------------
  // Const forms never convert: the held value, or a shared empty one.
  const map_type& asMap() const;
  const array_type& asArray() const;
  const binary_type& asBinary() const;
  // Non-const forms make the object an empty map / array / binary (0, 0, "")
  // when it is of another kind, then return the held value for writing.
  map_type& asMap();
  array_type& asArray();
  binary_type& asBinary();

  // The member of a map that holds `key`, else a shared null object. Never
  // inserts.
  const PObject& operator[](const ustring& key) const;
  // Clears a non-map and makes it an empty map (the one converting writer that
  // releases first), then returns the member, inserting a null one if absent.
  PObject& operator[](const ustring& key);
  bool hasMember(const ustring& key) const;
  // The same for a NUL-terminated key (a literal): found without building a
  // ustring, which saves an allocation on every look-up.
  const PObject& operator[](const char* key) const;
  PObject& operator[](const char* key);
  bool hasMember(const char* key) const;

  // By position: an array's element, or a map's member in key order. The
  // const form gives a shared null object when there is none; the non-const
  // form throws std::out_of_range("out_of_range: PObject::operator[]").
  const PObject& operator[](unsigned int index) const;
  PObject& operator[](unsigned int index);
  // For a literal 0, which would otherwise be as close to a `const char*`.
  const PObject& operator[](int index) const { return (*this)[static_cast<unsigned int>(index)]; }
  PObject& operator[](int index) { return (*this)[static_cast<unsigned int>(index)]; }

  // --- Assignment -----------------------------------------------------------
  PObject& operator=(const PObject& other);
  PObject& operator=(PObject&& other) noexcept;
  PObject& operator=(const ustring& s);
  PObject& operator=(const char* s);
  PObject& operator=(unsigned long long v);
  PObject& operator=(unsigned long v);
  PObject& operator=(unsigned int v);
  PObject& operator=(long long v);
  PObject& operator=(long v);
  PObject& operator=(int v);
  // The integer 0 or 1.
  PObject& operator=(bool v);
  PObject& operator=(const map_type& m);
  PObject& operator=(const std::map<ustring, PObject>& m);
  PObject& operator=(const array_type& a);
  PObject& operator=(const binary_type& b);

  // Releases the value (recursively) and makes the object null.
  void clear() noexcept;
  // Exchanges kind and value without copying.
  void swap(PObject& other) noexcept;
  // Deep copy of `other` into this object (the body of operator=).
  void copy(const PObject& other);

  // One line for log messages: null, "text", 123, [a, b], {"k": v},
  // {offset: 0, length: 12, path: "/tmp/f"}. Nothing is escaped.
  ustring toString() const;

 protected:
  // The kind number of a value type.
  template <class T>
  static constexpr int type_trait();
  // Allocates a copy of `value`, then releases the old content and stores
  // the copy with its kind.
  template <class T>
  void copy(const T& value);
  // Makes the object hold an empty value of kind T unless it holds one.
  template <class T>
  T& convert();
  // Replaces the value by the integer `v`; cannot fail.
  void set_integer(uint64_t v) noexcept;
  // The heap value of a container, string or binary.
  template <class T>
  T& value() {
    return *static_cast<T*>(data.ptr);
  }
  template <class T>
  const T& value() const {
    return *static_cast<const T*>(data.ptr);
  }

  // The shared empty values handed out by the const readers.
  static const binary_type& empty_binary();
  static const map_type& empty_map();
  static const array_type& empty_array();
  static const PObject& empty_object();

  int type;  // TYPE_*
  // An integer is held in place; every other kind owns the heap value `ptr`
  // points at, which is null exactly when the object is null.
  union {
    void* ptr;
    uint64_t integer;
  } data;

 private:
  void toString(std::string& out) const;
};

inline void swap(PObject& a, PObject& b) noexcept { a.swap(b); }

#endif  // PROTOCOL_POBJECT_H_
