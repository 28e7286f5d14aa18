#include "filter/zarq_escape.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <string>
#include <type_traits>

#include "sqlite_shell.h"
#include "support/temp_dir.h"

namespace {

using ::testing::HasSubstr;

// Only the placeholder's own kind of argument compiles at all.
static_assert(!std::is_constructible_v<ZarqArg, std::string>);
static_assert(!std::is_constructible_v<ZarqArg, unsigned>);
static_assert(!std::is_constructible_v<ZarqArg, size_t>);
static_assert(!std::is_constructible_v<ZarqArg, unsigned long long>);
static_assert(!std::is_constructible_v<ZarqArg, bool>);
static_assert(!std::is_constructible_v<ZarqArg, double>);
static_assert(!std::is_constructible_v<ZarqLiteral, ustring>);
static_assert(!std::is_constructible_v<ZarqLiteral, const char*>);

// One value of an in-memory SQLite query, as text.
std::string Eval(const std::string& select) {
  sqlite3* db = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(":memory:", &db));
  sqlite3_stmt* stmt = nullptr;
  std::string out = "<error>";
  if (sqlite3_prepare_v2(db, select.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(stmt, 0);
    out = t ? reinterpret_cast<const char*>(t) : "<null>";
  } else {
    ADD_FAILURE() << select << ": " << sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return out;
}

const char* const kTexts[] = {
    "", "plain", "it's", "''", "50%_off", "a\\b", "\\%_'", "caf\xC3\xA9", "@ZARQ:VAR", "x'); DROP TABLE t;--",
};

TEST(ZarqEscapeTest, VarQuotesLikeSqlitePercentQ) {
  for (const char* text : kTexts) {
    char* q = sqlite3_mprintf("%q", text);
    std::optional<std::string> out = ZARQDBEscapeStringEX3("<@ZARQ:VAR>", {ustring(text)});
    ASSERT_TRUE(out) << text;
    EXPECT_EQ(std::string("<") + q + ">", *out) << text;
    sqlite3_free(q);
  }
}

// SQLite itself confirms the pattern: it matches the text it was made from
// and nothing that differs where the text holds a wildcard.
TEST(ZarqEscapeTest, LikeVarMatchesExactlyItsText) {
  struct Case {
    const char* text;
    const char* other;  // differs only where `text` has %, _ or a backslash
  };
  const Case cases[] = {
      {"50%", "50X"}, {"a_b", "aXb"}, {"a\\b", "aXb"}, {"it's_%\\", "it'sXYZ\\"}, {"%%", "abc"}, {"__", "ab"},
  };
  for (const Case& c : cases) {
    for (const char* candidate : {c.text, c.other}) {
      std::optional<std::string> sql =
          ZARQDBEscapeStringEX3("SELECT '@ZARQ:VAR' LIKE '@ZARQ:LVAR'", {candidate, c.text});
      ASSERT_TRUE(sql) << c.text;
      EXPECT_THAT(*sql, HasSubstr("' escape '\\'"));
      EXPECT_EQ(candidate == c.text ? "1" : "0", Eval(*sql)) << *sql;
    }
  }
}

TEST(ZarqEscapeTest, EscapeClauseFollowsTheLiteralsEnd) {
  EXPECT_EQ("path like 'a\\_b%' escape '\\' and x = 'y'",
            ZARQDBEscapeStringEX3("path like '@ZARQ:LVAR%' and x = '@ZARQ:VAR'", {"a_b", "y"}).value_or("?"));
}

TEST(ZarqEscapeTest, NumbersAndLiterals) {
  EXPECT_EQ("-2147483648,9223372036854775807,-9223372036854775808",
            ZARQDBEscapeStringEX3("@ZARQ:INT,@ZARQ:LLINT,@ZARQ:LLINT", {INT_MIN, LLONG_MAX, LLONG_MIN})
                .value_or("?"));
  EXPECT_EQ("select * from t where a = 'b''c' order by id",
            ZARQDBEscapeStringEX3("select * from t where a = '@ZARQ:VAR' @ZARQ:NEVAR",
                                  {"b'c", ZarqLiteral("order by id")})
                .value_or("?"));
  // An "@" that starts no placeholder, or an unknown one, is copied.
  EXPECT_EQ("a@b @ZARQ:FOO @ZARQ: 7",
            ZARQDBEscapeStringEX3("a@b @ZARQ:FOO @ZARQ: @ZARQ:INT", {7}).value_or("?"));
  // A null text argument counts as empty.
  const char* null_text = nullptr;
  EXPECT_EQ("''", ZARQDBEscapeStringEX3("'@ZARQ:VAR'", {null_text}).value_or("?"));
}

TEST(ZarqEscapeTest, LongResultGrowsPastTheFirstBuffer) {
  std::string big(10000, 'q');
  big[5000] = '\'';
  std::optional<std::string> out = ZARQDBEscapeStringEX3("x'@ZARQ:VAR'", {big.c_str()});
  ASSERT_TRUE(out);
  EXPECT_EQ(10004u, out->size());
}

class ZarqBadTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override { log_ = filter_test::StartLog(Path()); }
  void TearDown() override { Logger::ResetForTest(); }
  std::string log_;
};

TEST_F(ZarqBadTest, MismatchedArgumentsGiveNoStatement) {
  const ustring u("u");
  EXPECT_FALSE(ZARQDBEscapeStringEX3(nullptr, {}));
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:VAR @ZARQ:VAR", {u}));         // too few
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:VAR", {u, u}));                // left over
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:VAR", {5}));                   // number for text
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:INT", {u}));                   // text for number
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:INT", {5LL}));                 // 64-bit for int
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:LLINT", {5}));                 // int for 64-bit
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:NEVAR", {u}));                 // run-time text unquoted
  EXPECT_FALSE(ZARQDBEscapeStringEX3("@ZARQ:NEVAR", {"literal"}));         // a plain text is quoted text
  EXPECT_FALSE(ZARQDBEscapeStringEX3("'@ZARQ:VAR'", {ZarqLiteral("x")}));  // a literal is not quoted text
  EXPECT_FALSE(ZARQDBEscapeStringEX3("x like '@ZARQ:LVAR", {u}));          // literal never closes
  EXPECT_THAT(filter_test::ReadAll(log_), HasSubstr("[ERROR] file-status-db("));
  EXPECT_THAT(filter_test::ReadAll(log_), HasSubstr("): Bad parameters."));
  EXPECT_TRUE(ZARQDBEscapeStringEX3("no placeholder", {}));
}

}  // namespace
