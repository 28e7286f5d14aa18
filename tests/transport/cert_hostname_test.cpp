#include "transport/cert_hostname.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct Case {
  const char* pattern;
  const char* host;
  bool match;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.pattern << " ~ " << c.host; }

class CertHostnameTest : public ::testing::TestWithParam<Case> {};

TEST_P(CertHostnameTest, Matches) {
  const Case& c = GetParam();
  EXPECT_EQ(c.match, checkCertHostnameMatch(ustring(c.pattern), ustring(c.host)))
      << "pattern \"" << c.pattern << "\" host \"" << c.host << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Names, CertHostnameTest,
    ::testing::Values(
        // "*.N" covers N and exactly one more label, in any letter case.
        Case{"*.example.test", "example.test", true}, Case{"*.example.test", "a.example.test", true},
        Case{"*.example.test", "A.EXAMPLE.TEST", true}, Case{"*.EXAMPLE.test", "a.example.TEST", true},
        Case{"*.example.test", "a.b.example.test", false}, Case{"*.example.test", "test", false},
        // The second character must be the dot, not dropped unchecked.
        Case{"*xexample.test", "example.test", false}, Case{"*.example.test", "xexample.test", false},
        Case{"*", "anything", false}, Case{"*", "*", false}, Case{"*.", "a.", false}, Case{"*.", "a", false},
        // Plain names: whole and exact, ASCII case ignored.
        Case{"server.test", "SERVER.test", true}, Case{"server.test", "server.test.evil", false},
        Case{"server.test", "server.tes", false}, Case{"", "server.test", false},
        // Bytes above ASCII are compared as they are.
        Case{"\xc3\x84.test", "\xc3\xa4.test", false}, Case{"\xc3\xa4.test", "\xc3\xa4.test", true},
        // Addresses are compared as names.
        Case{"127.0.0.1", "127.0.0.1", true}, Case{"*.0.0.1", "127.0.0.1", true}));

// A certificate name is raw bytes with a length; one that hides a NUL would
// pass a C-string comparison as its prefix.
TEST(CertNameMatchesTest, EmbeddedNulNeverMatches) {
  const std::string evil("server.test\0.evil.example", 25);
  EXPECT_FALSE(CertNameMatches(evil.data(), evil.size(), ustring("server.test")));
  const std::string wild("*.example.test\0.evil", 20);
  EXPECT_FALSE(CertNameMatches(wild.data(), wild.size(), ustring("a.example.test")));
  EXPECT_TRUE(CertNameMatches(evil.data(), 11, ustring("server.test")));
}

}  // namespace
