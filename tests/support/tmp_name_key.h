// Gives the process-wide temporary-name generator a known key for as long
// as it lives, so that a test knows the next names; then a random key again,
// so that later cases draw unpredictable names. Header-only: it stands on
// the foundation library, which test_support must not link.
#ifndef TESTS_SUPPORT_TMP_NAME_KEY_H_
#define TESTS_SUPPORT_TMP_NAME_KEY_H_

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "foundation/tmp_name_gen.h"

namespace testsupport {

class ScopedTmpNameKey {
 public:
  explicit ScopedTmpNameKey(const unsigned char (&key)[256]) { TmpNameGen::getInstance()->setKeyForTest(key); }
  ~ScopedTmpNameKey() {
    unsigned char key[256];
    size_t got = 0;
    while (got < sizeof key) {
      ssize_t n = getrandom(key + got, sizeof key - got, 0);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        return;  // no randomness to be had: the generator keeps the known key
      }
    }
    TmpNameGen::getInstance()->setKeyForTest(key);
  }
  ScopedTmpNameKey(const ScopedTmpNameKey&) = delete;
  ScopedTmpNameKey& operator=(const ScopedTmpNameKey&) = delete;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TMP_NAME_KEY_H_
