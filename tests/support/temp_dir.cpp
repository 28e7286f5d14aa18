#include "support/temp_dir.h"

#include <fstream>
#include <sstream>

namespace testsupport {

std::string TempDirTest::Path(const std::string& rel) const {
  return rel.empty() ? tmp_.path() : tmp_.path() + "/" + rel;
}

void TempDirTest::WriteFile(const std::string& rel, const std::string& bytes) const {
  std::ofstream out(Path(rel), std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out) << "cannot create " << Path(rel);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out) << "cannot write " << Path(rel);
}

std::string TempDirTest::ReadFile(const std::string& rel) const {
  std::ifstream in(Path(rel), std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << Path(rel);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace testsupport
