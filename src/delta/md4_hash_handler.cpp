#include "delta/md4_hash_handler.h"

MD4HashHandler::MD4HashHandler() = default;

int MD4HashHandler::begin() {
  mdfour.Init();
  return 0;
}

int MD4HashHandler::update(void const* data, unsigned len) {
  mdfour.Update(data, len);
  return 0;
}

int MD4HashHandler::wait() { return 0; }

int MD4HashHandler::end(bool complete) {
  mdfour.Final(result);
  if (complete && result_string != nullptr) *result_string = getResult();
  return 0;
}

ustring MD4HashHandler::getResult() const {
  static const char kDigits[] = "0123456789abcdef";
  char hex[2 * platform::kMd4DigestLength + 1];
  for (size_t i = 0; i < platform::kMd4DigestLength; ++i) {
    hex[2 * i] = kDigits[result[i] >> 4];
    hex[2 * i + 1] = kDigits[result[i] & 0x0F];
  }
  hex[2 * platform::kMd4DigestLength] = '\0';
  return ustring(hex);
}

void MD4HashHandler::setResultString(ustring& out) { result_string = &out; }
