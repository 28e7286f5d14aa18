// Base64 decoding of arbitrary text. The first byte chooses the room given
// to the decoder (its top bit: room enough for any input; else 0..127), the
// rest is the text. Checks: nothing is written past the room (the buffer is
// exactly that size, so AddressSanitizer sees any overrun), the reported
// length stays within it, a true result re-encodes to exactly the text, and
// SyncPassDec survives the same text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/utility.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const unsigned int text_len = static_cast<unsigned int>(size - 1);
  const char* text = reinterpret_cast<const char*>(data + 1);
  const unsigned int room = (data[0] & 0x80) != 0 ? text_len : data[0];

  std::unique_ptr<char[]> out(new char[room]);
  unsigned int len = room;
  const bool ok = EncBase64Dec(text, text_len, out.get(), &len);
  if (len > room) __builtin_trap();
  if (ok) {
    std::unique_ptr<char[]> again = SzBase64EncBuffer(out.get(), len);
    if (!again || std::strlen(again.get()) != text_len ||
        std::memcmp(again.get(), text, text_len) != 0) {
      __builtin_trap();
    }
  }

  std::string password;
  SyncPassDec(std::string(text, text_len), password);
  return 0;
}
