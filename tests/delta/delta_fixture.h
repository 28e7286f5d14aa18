// Shared helpers of the delta engine's tests: test data, the rdiff and
// openssl oracles, and one-call wrappers around the readers.
#ifndef TESTS_DELTA_DELTA_FIXTURE_H_
#define TESTS_DELTA_DELTA_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "delta/delta_file_reader.h"
#include "delta/simple_file_reader.h"
#include "foundation/ustring.h"
#include "support/command.h"
#include "support/temp_dir.h"

namespace deltatest {

// Deterministic pseudo-random bytes (xorshift64*), different per seed.
inline std::string RandomBytes(size_t n, uint64_t seed) {
  std::string out(n, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    out[i] = static_cast<char>((x * 0x2545F4914F6CDD1Dull) >> 56);
  }
  return out;
}

inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// "72730236 46 00" -> bytes; blanks are ignored.
inline std::string FromHex(const std::string& hex) {
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  std::string out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Runs a tool and fails the test (not skips it) when it is missing or fails.
inline void Run(const std::vector<std::string>& argv) {
  const testsupport::CommandResult r = testsupport::RunCommand(argv);
  std::string line;
  for (const std::string& a : argv) line += a + " ";
  ASSERT_EQ(r.exit_code, 0) << line << "\n" << r.err;
}

// rdiff in this program's signature format: MD4 strong sums, the rollsum
// weak sum, 2048-byte blocks, 8-byte sums. rdiff's defaults are other formats.
inline void RdiffSignature(const std::string& in, const std::string& sig) {
  Run({"rdiff", "-f", "-H", "md4", "-R", "rollsum", "-b", "2048", "-S", "8", "signature", in, sig});
}

inline void RdiffDelta(const std::string& sig, const std::string& newfile, const std::string& delta) {
  Run({"rdiff", "-f", "delta", sig, newfile, delta});
}

inline void RdiffPatch(const std::string& basis, const std::string& delta, const std::string& out) {
  Run({"rdiff", "-f", "patch", basis, delta, out});
}

// MD4 of a file by openssl (MD4 needs the legacy provider there).
inline std::string OpensslMd4(const std::string& path) {
  const testsupport::CommandResult r =
      testsupport::RunCommand({"openssl", "dgst", "-md4", "-provider", "legacy", "-provider", "default", "-r", path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out.substr(0, r.out.find(' '));
}

// One SimpleFileReader pass: signature (2048, 8) to `sig` when not empty,
// delta against `basis_sig` to `delta` when not empty.
inline int ReadSimple(const std::string& file, const std::string& sig, const std::string& delta = "",
                      const std::string& basis_sig = "", ustring* hash = nullptr) {
  SimpleFileReader reader;
  reader.setFile(file.c_str());
  if (!sig.empty()) reader.setSignature(sig.c_str(), 2048, 8);
  if (!delta.empty()) reader.setDelta(delta.c_str(), basis_sig.c_str());
  if (hash != nullptr) reader.setHashString(*hash);
  return reader.readFile();
}

// One DeltaFileReader pass writing the rebuilt file to `out`.
inline int Patch(const std::string& delta, const std::string& basis, const std::string& out,
                 ustring* hash = nullptr, const std::string& sig = "", const std::string& reverse = "") {
  DeltaFileReader reader;
  reader.setFile(delta.c_str(), basis.c_str());
  reader.setNewFile(out.c_str());
  if (hash != nullptr) reader.setHashString(*hash);
  if (!sig.empty()) reader.setSignature(sig.c_str(), 2048, 8);
  if (!reverse.empty()) reader.setReverseDeltaFile(reverse.c_str());
  return reader.readFile();
}

// One command of a delta file, as a test reads it back.
struct Command {
  char kind;        // 'L' literal, 'C' copy
  uint64_t a;       // literal: length; copy: basis offset
  uint64_t b;       // copy: length
  bool operator==(const Command& o) const { return kind == o.kind && a == o.a && b == o.b; }
};

inline std::ostream& operator<<(std::ostream& os, const Command& c) {
  os << c.kind << "(" << c.a;
  if (c.kind == 'C') os << "," << c.b;
  return os << ")";
}

// The commands of a well-formed delta up to its end command; a malformed one
// fails the test.
inline std::vector<Command> ParseDelta(const std::string& d) {
  std::vector<Command> out;
  size_t at = 4;
  EXPECT_EQ(d.substr(0, 4), FromHex("72730236"));
  auto param = [&](unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width && at < d.size(); ++i) v = (v << 8) | static_cast<unsigned char>(d[at++]);
    return v;
  };
  static const unsigned kWidths[4] = {1, 2, 4, 8};
  while (at < d.size()) {
    const unsigned op = static_cast<unsigned char>(d[at++]);
    if (op == 0) {
      EXPECT_EQ(at, d.size()) << "bytes after the end command";
      return out;
    }
    if (op <= 0x40) {
      out.push_back({'L', op, 0});
      at += op;
    } else if (op <= 0x44) {
      const uint64_t n = param(kWidths[op - 0x41]);
      out.push_back({'L', n, 0});
      at += n;
    } else if (op <= 0x54) {
      const uint64_t off = param(kWidths[(op - 0x45) / 4]);
      const uint64_t len = param(kWidths[(op - 0x45) % 4]);
      out.push_back({'C', off, len});
    } else {
      ADD_FAILURE() << "reserved command " << op;
      return out;
    }
  }
  ADD_FAILURE() << "no end command";
  return out;
}

}  // namespace deltatest

#endif  // TESTS_DELTA_DELTA_FIXTURE_H_
