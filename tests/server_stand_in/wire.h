// A tiny writer and reader of the server's wire format, for talking to the
// stand-in with bytes the tests control. Written from the format's tags, not
// from the daemon's codec: a misreading shared by both would hide itself.
//
//   00 00             null            01 w <w bytes>   integer, big-endian
//   10 <u16> bytes    string          30 <u64> bytes   binary
//   41 ... 40         array           42 (key value)* 40   map, keys strings
//
// A request is the header 7c 4e 9a 13 46 <command> 00 00, then one map; a
// reply is one map without a header.
#ifndef TESTS_SERVER_STAND_IN_WIRE_H_
#define TESTS_SERVER_STAND_IN_WIRE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "transport/loopback.h"

namespace wire {

using json = nlohmann::json;

inline void PutBigEndian(std::string* out, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Integers take the smallest of the widths 1, 2, 4 and 8; booleans are 0/1;
// a json binary becomes a binary value. Map keys go out in byte order.
inline void Encode(const json& v, std::string* out) {
  switch (v.type()) {
    case json::value_t::null:
      out->append("\x00\x00", 2);
      break;
    case json::value_t::boolean:
      out->append("\x01\x01", 2);
      out->push_back(v.get<bool>() ? 1 : 0);
      break;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: {
      uint64_t n = v.get<uint64_t>();
      int width = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffULL ? 4 : 8;
      out->push_back(0x01);
      out->push_back(static_cast<char>(width));
      PutBigEndian(out, n, width);
      break;
    }
    case json::value_t::string: {
      const std::string& s = v.get_ref<const std::string&>();
      out->push_back(0x10);
      PutBigEndian(out, s.size(), 2);
      *out += s;
      break;
    }
    case json::value_t::binary: {
      const json::binary_t& b = v.get_binary();
      out->push_back(0x30);
      PutBigEndian(out, b.size(), 8);
      out->append(b.begin(), b.end());
      break;
    }
    case json::value_t::array:
      out->push_back(0x41);
      for (const json& e : v) Encode(e, out);
      out->push_back(0x40);
      break;
    case json::value_t::object:
      out->push_back(0x42);
      for (const auto& [key, value] : v.items()) {
        Encode(json(key), out);
        Encode(value, out);
      }
      out->push_back(0x40);
      break;
    default:
      break;  // floats and discarded values have no wire form
  }
}

inline std::string Encode(const json& v) {
  std::string out;
  Encode(v, &out);
  return out;
}

// The request header for `command`.
inline std::string Header(uint8_t command) {
  return std::string("\x7c\x4e\x9a\x13\x46", 5) + static_cast<char>(command) + std::string(2, '\0');
}

// The members every request carries.
inline json Agent() {
  return {{"platform", "Linux"}, {"version", {{"build", 1}, {"major", 1}, {"minor", 0}}}};
}

inline std::string Request(uint8_t command, json members) {
  members["agent"] = Agent();
  return Header(command) + Encode(members);
}

// Reads one value from a blocking socket: nullopt at a short read or on a
// byte that is not in the format.
class Reader {
 public:
  explicit Reader(int fd) : fd_(fd) {}

  std::optional<json> Value(int depth = 0) {
    if (depth > 64) return std::nullopt;
    std::optional<uint8_t> tag = Byte();
    if (!tag) return std::nullopt;
    switch (*tag) {
      case 0x00:
        return Byte() == 0 ? std::optional<json>(json(nullptr)) : std::nullopt;
      case 0x01: {
        std::optional<uint8_t> width = Byte();
        if (!width || *width > 8) return std::nullopt;
        std::optional<uint64_t> n = BigEndian(*width);
        return n ? std::optional<json>(json(*n)) : std::nullopt;
      }
      case 0x10: {
        std::optional<uint64_t> len = BigEndian(2);
        std::string s;
        if (!len || !Bytes(*len, &s)) return std::nullopt;
        return json(s);
      }
      case 0x30: {
        std::optional<uint64_t> len = BigEndian(8);
        std::string s;
        if (!len || *len > (1u << 30) || !Bytes(*len, &s)) return std::nullopt;
        return json::binary(json::binary_t::container_type(s.begin(), s.end()));
      }
      case 0x41: {
        json a = json::array();
        for (;;) {
          std::optional<uint8_t> next = Peek();
          if (!next) return std::nullopt;
          if (*next == 0x40) {
            Byte();
            return a;
          }
          std::optional<json> e = Value(depth + 1);
          if (!e) return std::nullopt;
          a.push_back(std::move(*e));
        }
      }
      case 0x42: {
        json m = json::object();
        for (;;) {
          std::optional<uint8_t> next = Peek();
          if (!next) return std::nullopt;
          if (*next == 0x40) {
            Byte();
            return m;
          }
          std::optional<json> key = Value(depth + 1);
          if (!key || !key->is_string()) return std::nullopt;
          std::optional<json> value = Value(depth + 1);
          if (!value) return std::nullopt;
          m[key->get<std::string>()] = std::move(*value);
        }
      }
      default:
        return std::nullopt;
    }
  }

 private:
  std::optional<uint8_t> Peek() {
    if (!peeked_) {
      std::string b = loopback::RecvExactly(fd_, 1);
      if (b.size() != 1) return std::nullopt;
      peeked_ = static_cast<uint8_t>(b[0]);
    }
    return peeked_;
  }
  std::optional<uint8_t> Byte() {
    std::optional<uint8_t> b = Peek();
    peeked_.reset();
    return b;
  }
  bool Bytes(uint64_t n, std::string* out) {
    if (n == 0) return true;
    std::optional<uint8_t> first = Byte();
    if (!first) return false;
    out->push_back(static_cast<char>(*first));
    *out += loopback::RecvExactly(fd_, n - 1);
    return out->size() == n;
  }
  std::optional<uint64_t> BigEndian(int width) {
    std::string b;
    if (!Bytes(static_cast<uint64_t>(width), &b)) return std::nullopt;
    uint64_t v = 0;
    for (char c : b) v = (v << 8) | static_cast<uint8_t>(c);
    return v;
  }

  int fd_;
  std::optional<uint8_t> peeked_;
};

}  // namespace wire

#endif  // TESTS_SERVER_STAND_IN_WIRE_H_
