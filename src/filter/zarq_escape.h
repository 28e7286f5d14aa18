// Query templates: SQL text with placeholders replaced by arguments, each
// quoted for the place it stands in. The arguments are typed: each
// placeholder accepts one kind of argument, and a mismatch, a missing or a
// surplus argument gives no statement at all.
//
//   @ZARQ:VAR    a text, quoted as sqlite3_mprintf's "%q" does (' doubled)
//   @ZARQ:LVAR   a text for a LIKE pattern: quoted the same way, with "%",
//                "_" and "\" each preceded by "\"; " escape '\'" is written
//                after the next "'" of the template (the literal's end)
//   @ZARQ:INT    an int, in decimal
//   @ZARQ:LLINT  a 64-bit signed integer, in decimal
//   @ZARQ:NEVAR  a text inserted as it is: only a ZarqLiteral, which can be
//                built from a string literal alone, never from run-time text
//
// An "@" that starts no placeholder is copied. No lock, no state.
#ifndef FILTER_ZARQ_ESCAPE_H_
#define FILTER_ZARQ_ESCAPE_H_

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>

#include "foundation/ustring.h"

enum ZARQ_PARAM_ID {
  SPID_INVALID = -1,
  SPID_VAR = 0,
  SPID_LVAR = 1,
  SPID_INT = 2,
  SPID_LLINT = 3,
  SPID_NEVAR = 4,
  SPID_NUM_OF_PARAM = 5,
};

// Unquoted SQL text known when the program is built.
class ZarqLiteral {
 public:
  template <size_t N>
  consteval ZarqLiteral(const char (&text)[N]) : text_(text) {}  // NOLINT: implicit on purpose
  const char* c_str() const { return text_; }

 private:
  const char* text_;
};

// One argument. It refers to the caller's text: keep the source alive for
// the call (a braced list of arguments does).
class ZarqArg {
 public:
  ZarqArg(const ustring& text) : kind_(kText), text_(text.c_str_utf8()) {}
  ZarqArg(const char* text) : kind_(kText), text_(text != nullptr ? text : "") {}  // null counts as ""
  ZarqArg(int value) : kind_(kInt), number_(value) {}
  ZarqArg(long value) : kind_(kLongLong), number_(value) {}
  ZarqArg(long long value) : kind_(kLongLong), number_(value) {}
  ZarqArg(ZarqLiteral literal) : kind_(kLiteral), text_(literal.c_str()) {}
  // Every other type (unsigned, size_t, bool, char, std::string, double...)
  // is refused at compile time rather than converted.
  template <typename T>
  ZarqArg(T) = delete;

  // Whether this argument may stand for the placeholder.
  bool Fits(ZARQ_PARAM_ID id) const;
  const char* text() const { return text_; }
  long long number() const { return number_; }

 private:
  enum Kind { kText, kInt, kLongLong, kLiteral };
  Kind kind_;
  const char* text_ = nullptr;
  long long number_ = 0;
};

// The template with every placeholder replaced by the next argument, or
// nullopt (logged "Bad parameters.") for a null template, a placeholder
// without an argument of its kind, an argument left over, or an
// @ZARQ:LVAR whose literal never closes.
std::optional<std::string> ZARQDBEscapeStringEX3(const char* tmpl, std::initializer_list<ZarqArg> args);

#endif  // FILTER_ZARQ_ESCAPE_H_
