// Texts that reach SQL through the query templates, and stored size
// descriptions, against independent oracles: @ZARQ:VAR must quote exactly as
// sqlite3_mprintf("%q"), an @ZARQ:LVAR pattern must match its own text in
// SQLite, and DecodeResumeSizeFilterDesc must accept exactly
// "from=<digits>,to=<digits>" with both numbers within 64 bits.
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter/filter_reconcile.h"
#include "filter/zarq_escape.h"

namespace {

sqlite3* Memory() {
  static sqlite3* db = [] {
    sqlite3* d = nullptr;
    if (sqlite3_open(":memory:", &d) != SQLITE_OK) std::abort();
    return d;
  }();
  return db;
}

bool Digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A digit string's value fits in 64 bits.
bool Fits(const std::string& digits) {
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return true;
  std::string v = digits.substr(first);
  return v.size() < 20 || (v.size() == 20 && v <= "18446744073709551615");
}

bool ExpectedDecode(const std::string& text) {
  if (text.compare(0, 5, "from=") != 0) return false;
  size_t sep = text.find(",to=", 5);
  if (sep == std::string::npos) return false;
  std::string a = text.substr(5, sep - 5);
  std::string b = text.substr(sep + 4);
  return Digits(a) && Digits(b) && Fits(a) && Fits(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));  // the C text a ustring hands on

  std::optional<std::string> var = ZARQDBEscapeStringEX3("'@ZARQ:VAR'", {text.c_str()});
  char* quoted = sqlite3_mprintf("'%q'", text.c_str());
  if (!var || quoted == nullptr || *var != quoted) std::abort();
  sqlite3_free(quoted);

  if (ustring::is_valid(ustring(text.c_str()))) {
    std::optional<std::string> like =
        ZARQDBEscapeStringEX3("SELECT '@ZARQ:VAR' LIKE '@ZARQ:LVAR'", {text.c_str(), text.c_str()});
    if (!like) std::abort();
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(Memory(), like->c_str(), -1, &stmt, nullptr) != SQLITE_OK) std::abort();
    if (sqlite3_step(stmt) != SQLITE_ROW || sqlite3_column_int(stmt, 0) != 1) std::abort();
    sqlite3_finalize(stmt);
  }

  uint64_t from = 0;
  uint64_t to = 0;
  int rc = DecodeResumeSizeFilterDesc(ustring(text.c_str()), from, to);
  if ((rc == 0) != ExpectedDecode(text)) std::abort();
  if (rc == 0) {
    ustring again;
    EncodeResumeSizeFilterDesc(from, to, again);
    uint64_t a = 1, b = 1;
    if (DecodeResumeSizeFilterDesc(again, a, b) != 0) std::abort();
    if (a != (from < to ? from : to) || b != (from < to ? to : from)) std::abort();
  }
  return 0;
}
