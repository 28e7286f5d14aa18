#include "support/pki.h"

namespace testsupport {

std::string PkiPath(const std::string& name) { return std::string(TEST_DATA_DIR) + "/pki/" + name; }

}  // namespace testsupport
