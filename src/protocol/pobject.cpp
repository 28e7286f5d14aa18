#include "protocol/pobject.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

template <>
constexpr int PObject::type_trait<PObject::array_type>() {
  return TYPE_ARRAY;
}
template <>
constexpr int PObject::type_trait<PObject::map_type>() {
  return TYPE_MAP;
}
template <>
constexpr int PObject::type_trait<uint64_t>() {
  return TYPE_INTEGER;
}
template <>
constexpr int PObject::type_trait<ustring>() {
  return TYPE_STRING;
}
template <>
constexpr int PObject::type_trait<PObject::binary_type>() {
  return TYPE_BINARY;
}

template <class T>
void PObject::copy(const T& v) {
  T* fresh = new T(v);  // may throw: the old value is still intact
  clear();
  type = type_trait<T>();
  data.ptr = fresh;
}

template <>
void PObject::copy<uint64_t>(const uint64_t& v) {
  set_integer(v);
}

void PObject::set_integer(uint64_t v) noexcept {
  clear();
  type = TYPE_INTEGER;
  data.integer = v;
}

template <class T>
T& PObject::convert() {
  if (type != type_trait<T>()) copy(T());
  return value<T>();
}

const PObject::binary_type& PObject::empty_binary() {
  static const binary_type value;
  return value;
}

const PObject::map_type& PObject::empty_map() {
  static const map_type value;
  return value;
}

const PObject::array_type& PObject::empty_array() {
  static const array_type value;
  return value;
}

const PObject& PObject::empty_object() {
  static const PObject value;
  return value;
}

// --- Construction ------------------------------------------------------------

PObject::PObject(const PObject& other) : type(TYPE_NULL), data{nullptr} { copy(other); }

PObject::PObject(PObject&& other) noexcept : type(other.type), data(other.data) {
  other.type = TYPE_NULL;
  other.data.ptr = nullptr;
}

PObject::PObject(const char* s) : type(TYPE_NULL), data{nullptr} { copy(ustring(s)); }
PObject::PObject(const ustring& s) : type(TYPE_NULL), data{nullptr} { copy(s); }
PObject::PObject(unsigned long long v) : type(TYPE_INTEGER) { data.integer = v; }
PObject::PObject(unsigned long v) : type(TYPE_INTEGER) { data.integer = v; }
PObject::PObject(unsigned int v) : type(TYPE_INTEGER) { data.integer = v; }
PObject::PObject(long long v) : type(TYPE_INTEGER) { data.integer = static_cast<uint64_t>(v); }
PObject::PObject(long v) : type(TYPE_INTEGER) { data.integer = static_cast<uint64_t>(v); }
PObject::PObject(int v) : type(TYPE_INTEGER) { data.integer = static_cast<uint64_t>(int64_t{v}); }

// --- Readers -----------------------------------------------------------------

bool PObject::isEmpty() const {
  switch (type) {
    case TYPE_ARRAY:
      return value<array_type>().empty();
    case TYPE_MAP:
      return value<map_type>().empty();
    case TYPE_INTEGER:
      return false;
    case TYPE_STRING:
      return value<ustring>().empty();
    case TYPE_BINARY:
      return value<binary_type>().empty();
    default:
      return true;
  }
}

bool PObject::asBool() const { return isInteger() ? asUInt64() != 0 : !isEmpty(); }

ustring PObject::asString() const {
  if (isString()) return value<ustring>();
  if (isInteger()) {
    // Only the low 32 bits, as every peer has always printed it.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u", asUInt32());
    return ustring(buf);
  }
  return ustring();
}

const PObject::map_type& PObject::asMap() const {
  return isMap() ? value<map_type>() : empty_map();
}

const PObject::array_type& PObject::asArray() const {
  return isArray() ? value<array_type>() : empty_array();
}

const PObject::binary_type& PObject::asBinary() const {
  return isBinary() ? value<binary_type>() : empty_binary();
}

PObject::map_type& PObject::asMap() { return convert<map_type>(); }
PObject::array_type& PObject::asArray() { return convert<array_type>(); }
PObject::binary_type& PObject::asBinary() { return convert<binary_type>(); }

namespace {

template <class Map, class Key>
auto* FindMember(Map& m, const Key& key) {
  auto it = m.find(key);
  return it == m.end() ? nullptr : &it->second;
}

}  // namespace

const PObject& PObject::operator[](const ustring& key) const {
  const PObject* member = isMap() ? FindMember(value<map_type>(), key) : nullptr;
  return member ? *member : empty_object();
}

const PObject& PObject::operator[](const char* key) const {
  const PObject* member = isMap() ? FindMember(value<map_type>(), key) : nullptr;
  return member ? *member : empty_object();
}

PObject& PObject::operator[](const ustring& key) {
  if (!isMap()) {
    clear();
    data.ptr = new map_type();
    type = TYPE_MAP;
  }
  return value<map_type>()[key];
}

PObject& PObject::operator[](const char* key) {
  if (!isMap()) {
    clear();
    data.ptr = new map_type();
    type = TYPE_MAP;
  }
  map_type& m = value<map_type>();
  auto it = m.find(key);
  if (it != m.end()) return it->second;
  return m.emplace_hint(it, ustring(key), PObject())->second;
}

bool PObject::hasMember(const ustring& key) const { return isMap() && FindMember(value<map_type>(), key); }

bool PObject::hasMember(const char* key) const { return isMap() && FindMember(value<map_type>(), key); }

const PObject& PObject::operator[](unsigned int index) const {
  if (isArray()) {
    const array_type& a = value<array_type>();
    if (index < a.size()) return a[index];
  } else if (isMap()) {
    const map_type& m = value<map_type>();
    if (index < m.size()) return std::next(m.begin(), index)->second;
  }
  return empty_object();
}

PObject& PObject::operator[](unsigned int index) {
  if (isArray()) {
    array_type& a = value<array_type>();
    if (index < a.size()) return a[index];
  } else if (isMap()) {
    map_type& m = value<map_type>();
    if (index < m.size()) return std::next(m.begin(), index)->second;
  }
  throw std::out_of_range("out_of_range: PObject::operator[]");
}

// --- Assignment --------------------------------------------------------------

void PObject::copy(const PObject& other) {
  if (this == &other) return;
  switch (other.type) {
    case TYPE_ARRAY:
      copy(other.value<array_type>());
      break;
    case TYPE_MAP:
      copy(other.value<map_type>());
      break;
    case TYPE_INTEGER:
      set_integer(other.data.integer);
      break;
    case TYPE_STRING:
      copy(other.value<ustring>());
      break;
    case TYPE_BINARY:
      copy(other.value<binary_type>());
      break;
    default:
      clear();
      break;
  }
}

PObject& PObject::operator=(const PObject& other) {
  // copy() builds the new value before releasing the old one, so `other`
  // may live inside this object.
  copy(other);
  return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
  if (this != &other) {
    // `other` may be a member of this object: detach it before releasing.
    PObject moved(std::move(other));
    swap(moved);
  }
  return *this;
}

PObject& PObject::operator=(const ustring& s) {
  copy(s);
  return *this;
}

PObject& PObject::operator=(const char* s) {
  copy(ustring(s));
  return *this;
}

PObject& PObject::operator=(unsigned long long v) {
  copy(uint64_t(v));
  return *this;
}

PObject& PObject::operator=(unsigned long v) {
  copy(uint64_t(v));
  return *this;
}

PObject& PObject::operator=(unsigned int v) {
  copy(uint64_t(v));
  return *this;
}

PObject& PObject::operator=(long long v) {
  copy(static_cast<uint64_t>(v));
  return *this;
}

PObject& PObject::operator=(long v) {
  copy(static_cast<uint64_t>(v));
  return *this;
}

PObject& PObject::operator=(int v) {
  copy(static_cast<uint64_t>(int64_t(v)));
  return *this;
}

PObject& PObject::operator=(bool v) {
  copy(uint64_t(v ? 1 : 0));
  return *this;
}

PObject& PObject::operator=(const map_type& m) {
  copy(m);
  return *this;
}

PObject& PObject::operator=(const std::map<ustring, PObject>& m) {
  copy(map_type(m.begin(), m.end()));
  return *this;
}

PObject& PObject::operator=(const array_type& a) {
  copy(a);
  return *this;
}

PObject& PObject::operator=(const binary_type& b) {
  copy(b);
  return *this;
}

void PObject::clear() noexcept {
  void* old = data.ptr;
  int old_type = type;
  // Detach first: destroying a container runs member destructors that must
  // not see this object half torn down.
  type = TYPE_NULL;
  data.ptr = nullptr;
  switch (old_type) {
    case TYPE_ARRAY:
      delete static_cast<array_type*>(old);
      break;
    case TYPE_MAP:
      delete static_cast<map_type*>(old);
      break;
    case TYPE_STRING:
      delete static_cast<ustring*>(old);
      break;
    case TYPE_BINARY:
      delete static_cast<binary_type*>(old);
      break;
    default:
      break;
  }
}

void PObject::swap(PObject& other) noexcept {
  std::swap(type, other.type);
  std::swap(data, other.data);
}

// --- Text --------------------------------------------------------------------

ustring PObject::toString() const {
  std::string out;
  toString(out);
  return ustring(out);
}

void PObject::toString(std::string& out) const {
  switch (type) {
    case TYPE_ARRAY: {
      out += '[';
      const char* sep = "";
      for (const PObject& e : value<array_type>()) {
        out += sep;
        e.toString(out);
        sep = ", ";
      }
      out += ']';
      break;
    }
    case TYPE_MAP: {
      out += '{';
      const char* sep = "";
      for (const auto& [key, member] : value<map_type>()) {
        out += sep;
        out += '"';
        out.append(key.c_str_utf8(), key.length());
        out += "\": ";
        member.toString(out);
        sep = ", ";
      }
      out += '}';
      break;
    }
    case TYPE_INTEGER:
      out += std::to_string(asUInt64());
      break;
    case TYPE_STRING: {
      const ustring& s = value<ustring>();
      out += '"';
      out.append(s.c_str_utf8(), s.length());
      out += '"';
      break;
    }
    case TYPE_BINARY: {
      const binary_type& b = value<binary_type>();
      out += "{offset: " + std::to_string(b.offset) + ", length: " + std::to_string(b.length) + ", path: \"";
      out.append(b.path.c_str_utf8(), b.path.length());
      out += "\"}";
      break;
    }
    default:
      out += "null";
      break;
  }
}
