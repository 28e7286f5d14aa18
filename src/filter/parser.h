// The schema-driven parser of the INI-like rule files.
//
// A file is a sequence of "[Section]" headers, "key = value" lines, comments
// ("#") and blank lines. Values are numbers, quoted texts, or sets of quoted
// texts separated by "," (a trailing "," continues the set on the next line).
// Every line is read whole (up to kParserMaxLine bytes); a CR right before
// the LF is dropped, as a text-mode read on the original platform did.
//
// The parser writes nothing but two narrow lines: "warning: unknown key
// (%s)\n" on stdout for each unknown key, and "parser: %s at line %d\n" on
// stderr at the first error. It takes no lock and keeps no state between
// calls.
#ifndef FILTER_PARSER_H_
#define FILTER_PARSER_H_

#include <cstddef>
#include <cstdio>

#include "filter/schema.h"

// Longest physical line, LF excluded. Longer lines are VALUE_TOO_LONG.
constexpr size_t kParserMaxLine = 64 * 1024;
// Longest quoted text after escapes, in bytes.
constexpr size_t kParserMaxText = 512;
// Longest run of number characters.
constexpr size_t kParserMaxNumber = 511;

enum parse_result {
  PARSE_DONE = 0,     // whole file read, every key known
  PARSE_PARTIAL = 1,  // whole file read, at least one unknown key skipped
  PARSE_ERROR = 2,    // the file could not be opened, or the first error stopped the parse
};

// Parser error codes; get_parser_error_string gives their names.
enum parser_error {
  NO_ERROR = 0,
  SECTION_MISSING_LEFT_BRACKET = 1,  // never given: such a line is a key line
  SECTION_MISSING_RIGHT_BRACKET = 2,
  SECTION_MISSING_SECTION = 3,
  SECTION_ILLEGAL_CHARACTER = 4,
  SECTION_TOO_LONG = 5,
  SECTION_UNDEFINED_SECTION = 6,
  KEY_MISSING_KEY = 7,
  KEY_ILLEGAL_CHARACTER = 8,
  KEY_TOO_LONG = 9,
  KEY_UNDEFINED_KEY = 10,  // never given: unknown keys are warnings
  VALUE_NUMERIC_MISSING_INTEGER_PART = 11,
  VALUE_NUMERIC_MISSING_FRACTIONAL_PART = 12,
  VALUE_NUMERIC_MISSING_VALUE = 13,
  VALUE_NUMERIC_ILLEGAL_SYNTAX = 14,
  VALUE_STRING_MISSING_LEFT_QUOTE = 15,
  VALUE_STRING_MISSING_RIGHT_QUOTE = 16,
  VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = 17,  // never given (bad escapes give 20)
  VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = 18,  // never given
  VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = 19,  // never given
  VALUE_STRING_ILLEGAL_CHARACTER = 20,
  VALUE_STRING_EMPTY = 21,
  VALUE_SET_MISSING_SEPARATER = 22,
  VALUE_TOO_LONG = 23,
  LINE_NOT_ENDED = 24,
  LINE_NOT_EXPECTED = 25,
  INTERNAL_ERROR = 26,  // a value could not be stored, a bad schema, a read error
  MAX_ERROR_CODE = 27,
};

// What a parse ended with, for callers that report it.
struct parse_report {
  parse_result result;  // as returned
  int error;            // a parser_error; NO_ERROR unless the parse stopped at an error
  int line;             // physical line of the error (from 1); 0 when none
  int open_errno;       // errno when the file could not be opened, else 0
};

// Parses the file at the UTF-8 path `fname` into `result`, a record that
// `schema` describes and that the caller has initialised. Values stored
// before an error stay in `result`. Only regular files are read: a folder,
// FIFO or device is refused as unopenable (a FIFO would block the caller).
// A file that cannot be opened gives PARSE_ERROR with no message.
// `report`, when not null, is filled in every case.
parse_result parse(const char* fname, const schema_parser* schema, void* result,
                   parse_report* report = nullptr);

// The same over an open stream, which stays open. A read error of the stream
// stops the parse with INTERNAL_ERROR.
parse_result parse_stream(FILE* fp, const schema_parser* schema, void* result,
                          parse_report* report = nullptr);

// Whether a record parsed with `result` may be kept: a complete parse always
// (whatever version the file declares, also none); a partial one only when
// the file says version 1.x with x > 0, whose unknown keys are newer keys.
bool parse_accepted(parse_result result, int major, int minor);

// The name of a parser_error ("SECTION_TOO_LONG", ...), or "Unknown error"
// for a code outside the table.
const char* get_parser_error_string(int code);

#endif  // FILTER_PARSER_H_
