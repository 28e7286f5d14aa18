#include "support/temp_dir_core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = (base && *base) ? base : "/tmp";
  tmpl += "/trelvik-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  path_ = buf.data();
}

// Gives the owner rwx on `dir` and on every folder below it, never through a
// link, so that remove_all can enter and empty each one.
static void MakeWritable(const std::string& dir) {
  if (chmod(dir.c_str(), S_IRWXU) != 0) return;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) MakeWritable(it->path().string());
  }
}

TempDir::~TempDir() {
  MakeWritable(path_);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace testsupport
