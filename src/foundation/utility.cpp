#include "foundation/utility.h"

#include <limits.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/logger.h"
#include "platform/code_page.h"
#include "platform/legacy_crypto.h"

const uint8_t g_encChalleng[4] = {0x7c, 0x4e, 0x9a, 0x13};

namespace {

constexpr char kComponent[] = "utility_debug";

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

std::unique_ptr<char[]> Encode(const uint8_t* in, size_t len) {
  // 4 * ceil(len / 3) + 1 must not wrap.
  if (len / 3 >= (SIZE_MAX - 5) / 4) return nullptr;
  size_t groups = len / 3 + (len % 3 != 0 ? 1 : 0);
  auto out = std::make_unique<char[]>(groups * 4 + 1);  // zeroed: terminated
  char* p = out.get();
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    uint8_t b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
    *p++ = kAlphabet[b0 >> 2];
    *p++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    *p++ = kAlphabet[b2 & 63];
  }
  if (len - i == 2) {
    uint8_t b0 = in[i], b1 = in[i + 1];
    *p++ = kAlphabet[b0 >> 2];
    *p++ = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    *p++ = kAlphabet[(b1 & 15) << 2];
    *p++ = '=';
  } else if (len - i == 1) {
    uint8_t b0 = in[i];
    *p++ = kAlphabet[b0 >> 2];
    *p++ = kAlphabet[(b0 & 3) << 4];
    *p++ = '=';
    *p++ = '=';
  }
  return out;
}

// Blowfish CFB64 under g_encChalleng with a zero vector, in place.
int Scramble(std::vector<uint8_t>& bytes, platform::CipherDirection direction) {
  static const uint8_t kZeroIv[8] = {};
  return platform::BlowfishCfb64(g_encChalleng, sizeof g_encChalleng, kZeroIv, bytes.data(),
                                 bytes.data(), bytes.size(), direction);
}

}  // namespace

// ---- Stored passwords ----

void SyncPassEnc(const std::string& in, std::string& out) {
  out.clear();
  if (in.empty()) return;
  std::vector<uint8_t> bytes(in.begin(), in.end());
  // Fails only for a bad key length, and the key is a fixed 4 bytes.
  if (Scramble(bytes, platform::CipherDirection::kEncrypt) != 0) return;
  std::unique_ptr<char[]> text = Encode(bytes.data(), bytes.size());
  if (text) out = text.get();
}

void SyncPassDec(const std::string& in, std::string& out) {
  out.clear();
  if (in.size() >= UINT_MAX) return;
  std::vector<uint8_t> bytes(in.size() + 1, 0);
  unsigned int len = static_cast<unsigned int>(bytes.size());
  if (!EncBase64Dec(in.data(), static_cast<unsigned int>(in.size()),
                    reinterpret_cast<char*>(bytes.data()), &len)) {
    return;
  }
  bytes.resize(len);
  if (Scramble(bytes, platform::CipherDirection::kDecrypt) != 0) return;
  // The stored text ends at its first zero byte.
  out.assign(reinterpret_cast<const char*>(bytes.data()),
             strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// ---- Base64 ----

std::unique_ptr<char[]> SzBase64EncBuffer(const void* in, size_t len) {
  if (in == nullptr) return nullptr;
  return Encode(static_cast<const uint8_t*>(in), len);
}

std::unique_ptr<char[]> SzBase64EncOneLine(const void* in, size_t len) {
  if (in == nullptr) return nullptr;
  const void* zero = std::memchr(in, 0, len);
  if (zero != nullptr) len = static_cast<size_t>(static_cast<const uint8_t*>(zero) -
                                                static_cast<const uint8_t*>(in));
  return Encode(static_cast<const uint8_t*>(in), len);
}

bool EncBase64Dec(const char* in, unsigned int inlen, char* out, unsigned int* outlen) {
  if (in == nullptr || out == nullptr || outlen == nullptr) return false;
  const unsigned int room = *outlen;
  unsigned int written = 0;
  *outlen = 0;
  if (inlen == 0) return true;

  bool complete = true;
  for (unsigned int pos = 0; pos < inlen;) {
    const unsigned int n = inlen - pos < 4 ? inlen - pos : 4;
    const bool last = pos + n == inlen;
    uint8_t v[4] = {0, 0, 0, 0};
    unsigned int data_chars = 0;
    for (unsigned int i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(in[pos + i]);
      const uint8_t value = kDecode[c];
      if (value != kInvalid && data_chars == i) {
        v[i] = value;
        ++data_chars;
      } else if (c == '=' && last && n == 4 && i >= 2) {
        // Pads only close a full last group; data after a pad fails above.
      } else {
        *outlen = written;
        return false;
      }
    }
    // One character carries only 6 bits: no byte.
    if (data_chars < 2) {
      *outlen = written;
      return false;
    }
    // The bits past the last byte must be zero, or two texts would decode to
    // the same bytes and a true result would not mean a canonical encoding.
    if ((data_chars == 2 && (v[1] & 0x0F) != 0) || (data_chars == 3 && (v[2] & 0x03) != 0)) {
      *outlen = written;
      return false;
    }
    const uint8_t bytes[3] = {static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)),
                              static_cast<uint8_t>((v[1] << 4) | (v[2] >> 2)),
                              static_cast<uint8_t>((v[2] << 6) | v[3])};
    for (unsigned int i = 0; i + 1 < data_chars; ++i) {
      if (written == room) {
        *outlen = written;
        return false;
      }
      out[written++] = static_cast<char>(bytes[i]);
    }
    // A short last group without pads yields its bytes but is not valid.
    if (n < 4) complete = false;
    pos += n;
  }
  *outlen = written;
  return complete;
}

// ---- Text encodings ----

int CodePageToNativeStr(const std::string& in, ustring& out) {
  std::string text;
  if (platform::LocaleToUtf8(in, text) != 0) return -1;
  out = text;
  return 0;
}

int UTF8ToNativeStr(const std::string& in, ustring& out) {
  std::string text;
  if (platform::ValidateUtf8(in, text) != 0) return -1;
  out = text;
  return 0;
}

int NativeStrToCodePage(const ustring& in, std::string& out) {
  std::string text;
  if (platform::Utf8ToLocale(std::string_view(in.c_str_utf8(), in.length()), text) != 0) {
    return -1;
  }
  out.swap(text);
  return 0;
}

int NativeStrToUTF8(const ustring& in, std::string& out) {
  std::string text;
  if (platform::ValidateUtf8(std::string_view(in.c_str_utf8(), in.length()), text) != 0) {
    return -1;
  }
  out.swap(text);
  return 0;
}

// ---- Names ----

int GetSysHostName(std::string& host) {
  char name[HOST_NAME_MAX + 1];
  if (gethostname(name, sizeof name) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] utility(%d): A system error has occurred: %d\n",
                   __LINE__, errno);
    return -1;
  }
  name[sizeof name - 1] = '\0';
  host = name;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] utility(%d): Host:   %s\n", __LINE__,
                 host.c_str());
  return 0;
}

void ParseUsrName(std::string& user_name, std::string& domain) {
  size_t sep = user_name.rfind('/');
  if (sep == std::string::npos) sep = user_name.rfind('\\');
  if (sep == std::string::npos) {
    domain.clear();
    return;
  }
  domain = user_name.substr(0, sep);
  user_name.erase(0, sep + 1);
}

// ---- CriticalSection ----

CriticalSection::CriticalSection(pthread_mutex_t* mutex)
    : lock_mutex(mutex), lock_fd(-1), in_lock(false) {}

CriticalSection::CriticalSection(int fd) : lock_mutex(nullptr), lock_fd(fd), in_lock(false) {}

CriticalSection::~CriticalSection() { end(); }

void CriticalSection::start() {
  if (in_lock) return;
  if (lock_mutex != nullptr) {
    if (lock(lock_mutex) != 0) return;
  } else if (lock_fd >= 0) {
    (void)lock(lock_fd);  // no file locking here: always -1; only the state is kept
  }
  in_lock = true;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] utility(%d): entering critical section\n",
                 __LINE__);
}

void CriticalSection::end() {
  if (!in_lock) return;
  Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] utility(%d): leaving critical section\n",
                 __LINE__);
  // Unlocking a mutex this object locked cannot fail.
  if (lock_mutex != nullptr) {
    (void)unlock(lock_mutex);
  } else if (lock_fd >= 0) {
    (void)unlock(lock_fd);  // always -1, see start()
  }
  in_lock = false;
}

int CriticalSection::lock(pthread_mutex_t* mutex) {
  return mutex == nullptr ? -1 : pthread_mutex_lock(mutex);
}

int CriticalSection::unlock(pthread_mutex_t* mutex) {
  return mutex == nullptr ? -1 : pthread_mutex_unlock(mutex);
}

int CriticalSection::lock(int /*fd*/) { return -1; }

int CriticalSection::unlock(int /*fd*/) { return -1; }
