#include "foundation/tmp_name_gen.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

// Reads exactly len bytes from /dev/urandom; for kernels without getrandom.
int ReadUrandom(unsigned char* buf, size_t len) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < len) {
    ssize_t n = read(fd, buf + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  (void)close(fd);  // read-only
  return done == len ? 0 : -1;
}

}  // namespace

TmpNameGen* TmpNameGen::getInstance() {
  static TmpNameGen* instance = new TmpNameGen;
  return instance;
}

TmpNameGen::TmpNameGen() {
  std::memset(m_key, 0, sizeof m_key);
  std::memset(m_buffer, 0, sizeof m_buffer);
  if (get_key(m_key, sizeof m_key) != 0) {
    fprintf(stderr, "TmpNameGen: no random bytes from the kernel\n");
    std::abort();
  }
  rc4_init(m_s_box, m_key);
}

int TmpNameGen::get_key(unsigned char* key, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(key + done, len - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadUrandom(key + done, len - done);
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

void TmpNameGen::rc4_init(unsigned char* S, const unsigned char* key) {
  for (int i = 0; i < 256; ++i) S[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (int i = 0; i < 256; ++i) {
    j = (j + S[i] + key[i]) & 0xFF;
    std::swap(S[i], S[j]);
  }
}

void TmpNameGen::rc4_randomize(unsigned char* S, unsigned char* buffer, size_t length) {
  unsigned i = 0, j = 0;
  for (size_t k = 0; k < length; ++k) {
    i = (k + 1) & 0xFF;
    j = (j + S[i]) & 0xFF;
    std::swap(S[i], S[j]);
    buffer[k] = S[(S[i] + S[j]) & 0xFF];
  }
}

ustring TmpNameGen::encodeName(const unsigned char (&b)[6]) {
  char name[9];
  for (int g = 0; g < 2; ++g) {
    const unsigned char* p = b + 3 * g;
    name[4 * g + 0] = kAlphabet[p[0] >> 2];
    name[4 * g + 1] = kAlphabet[((p[0] & 3) << 4) | (p[1] >> 4)];
    name[4 * g + 2] = kAlphabet[((p[1] & 15) << 2) | (p[2] >> 6)];
    name[4 * g + 3] = kAlphabet[p[2] & 63];
  }
  name[8] = '\0';
  return ustring(name);
}

ustring TmpNameGen::getTmpName() {
  unsigned char bytes[6];
  {
    std::lock_guard<std::mutex> lock(m_lock);
    rc4_randomize(m_s_box, m_buffer, sizeof m_buffer);
    std::memcpy(bytes, m_buffer, sizeof bytes);
  }
  return encodeName(bytes);
}

ustring TmpNameGen::getTmpPath(const ustring& prefix) { return prefix + "/" + getTmpName(); }

void TmpNameGen::setKeyForTest(const unsigned char (&key)[256]) {
  std::lock_guard<std::mutex> lock(m_lock);
  std::memcpy(m_key, key, sizeof m_key);
  rc4_init(m_s_box, m_key);
}
