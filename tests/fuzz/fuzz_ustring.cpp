// Fuzzes ustring with arbitrary bytes. The first byte splits the rest into
// a text and a needle; the second is a search start. Checks:
// - is_valid agrees with a strict UTF-8 decoder written here;
// - valid text comes back unchanged through c_str() and the char16_t
//   constructor, with one unit per code point below U+10000 and two above;
// - the searches agree with std::string on the text cut at its first NUL
//   (the two differ only where ustring gives npos for an empty text or an
//   empty needle at the end);
// - appending the string to itself doubles it;
// - normalization is idempotent and NFC(NFD(x)) == NFC(x).
// Invalid input is never passed to c_str(): its per-call warning would
// flood the fuzzer's output (the unit tests cover it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/ustring.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Strict UTF-8 (well-formed byte sequences of the Unicode standard):
// returns the number of UTF-16 units, or -1.
long Utf16Units(const unsigned char* p, size_t n) {
  long units = 0;
  size_t i = 0;
  while (i < n) {
    unsigned c = p[i];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return -1;
    }
    if (i + len > n) return -1;
    for (size_t k = 1; k < len; ++k) {
      unsigned b = p[i + k];
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return -1;
    }
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

size_t Expect(size_t std_result) { return std_result == std::string::npos ? ustring::npos : std_result; }

void CheckSearches(const ustring& s, const std::string& t, const std::string& nd, size_t pos) {
  const size_t len = t.size();
  const size_t npos = ustring::npos;
  const size_t back = len == 0 ? 0 : (pos < len ? pos : len - 1);
  Check(s.find(nd, pos) == (pos >= len ? npos : Expect(t.find(nd, pos))));
  Check(s.rfind(nd, pos) == (len == 0 ? npos : Expect(t.rfind(nd, back))));
  Check(s.find_first_of(nd, pos) == Expect(t.find_first_of(nd, pos)));
  Check(s.find_first_not_of(nd, pos) == Expect(t.find_first_not_of(nd, pos)));
  Check(s.find_last_of(nd, pos) == Expect(t.find_last_of(nd, pos)));
  Check(s.find_last_not_of(nd, pos) == Expect(t.find_last_not_of(nd, pos)));
  if (nd.size() == 1) {
    Check(s.find(nd[0], pos) == s.find(nd, pos));
    Check(s.find_last_of(nd[0], pos) == s.find_last_of(nd, pos));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t split = data[0] % (size - 1);
  const size_t pos = data[1] < 0xF0 ? data[1] : ustring::npos;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const std::string needle(text + split, size - 2 - split);

  ustring s;
  s.assign(text, split);  // stops at a NUL
  const std::string t(text, strnlen(text, split));
  Check(std::string(s.c_str_utf8(), s.length()) == t);

  const long units = Utf16Units(reinterpret_cast<const unsigned char*>(t.data()), t.size());
  Check(ustring::is_valid(s) == (units >= 0));
  if (units >= 0) {
    const char16_t* w = s.c_str();
    Check(static_cast<long>(std::char_traits<char16_t>::length(w)) == units);
    ustring back(w);
    Check(back == s && back.length() == s.length());
    ustring nfc = s.normalize(ustring::NFC);
    ustring nfd = s.normalize(ustring::NFD);
    Check(ustring::is_valid(nfc) && ustring::is_valid(nfd));
    Check(nfc.normalize(ustring::NFC) == nfc);
    Check(nfd.normalize(ustring::NFD) == nfd);
    Check(nfd.normalize(ustring::NFC) == nfc);
  }

  const std::string nd(needle.c_str());  // needles end at their first NUL
  CheckSearches(s, t, nd, pos);
  CheckSearches(s, t, nd, 0);

  ustring u(needle);
  const int c = ustring::compare(s, u, false);
  const int r = t.compare(nd);
  Check((c < 0) == (r < 0) && (c == 0) == (r == 0));
  Check((s < u) == (c < 0) && (s <= u) == (c <= 0) && (s >= u) == (c >= 0));

  ustring twice(s);
  twice.append(twice);
  Check(std::string(twice.c_str_utf8(), twice.length()) == t + t);
  twice += twice.c_str_utf8();
  Check(twice.length() == 4 * t.size());
  twice.assign(twice.c_str_utf8() + t.size(), t.size());
  Check(twice == s);
  return 0;
}
