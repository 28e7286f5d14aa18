#include "filter/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "filter/ascii.h"
#include "filter/value_type.h"

using filter_ascii::HexValue;
using filter_ascii::IsBlank;
using filter_ascii::IsDigit;
using filter_ascii::IsHexDigit;
using filter_ascii::IsNameChar;

namespace {

const char* const kErrorNames[MAX_ERROR_CODE] = {
    "NO_ERROR",
    "SECTION_MISSING_LEFT_BRACKET",
    "SECTION_MISSING_RIGHT_BRACKET",
    "SECTION_MISSING_SECTION",
    "SECTION_ILLEGAL_CHARACTER",
    "SECTION_TOO_LONG",
    "SECTION_UNDEFINED_SECTION",
    "KEY_MISSING_KEY",
    "KEY_ILLEGAL_CHARACTER",
    "KEY_TOO_LONG",
    "KEY_UNDEFINED_KEY",
    "VALUE_NUMERIC_MISSING_INTEGER_PART",
    "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
    "VALUE_NUMERIC_MISSING_VALUE",
    "VALUE_NUMERIC_ILLEGAL_SYNTAX",
    "VALUE_STRING_MISSING_LEFT_QUOTE",
    "VALUE_STRING_MISSING_RIGHT_QUOTE",
    "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
    "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
    "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
    "VALUE_STRING_ILLEGAL_CHARACTER",
    "VALUE_STRING_EMPTY",
    "VALUE_SET_MISSING_SEPARATER",
    "VALUE_TOO_LONG",
    "LINE_NOT_ENDED",
    "LINE_NOT_EXPECTED",
    "INTERNAL_ERROR",
};

// Kinds of line the parser accepts next.
enum : unsigned {
  kExpectHeader = 1,
  kExpectKey = 2,
  kExpectContinuation = 4,
};

enum class LineRead { kLine, kEnd, kTooLong, kReadError };

// Reads one physical line without its LF into `line`. The length is kept by
// the string, so a NUL byte is an ordinary byte of the line. One CR right
// before the LF is dropped. Never holds more than kParserMaxLine + 1 bytes.
// The caller holds the stream's lock.
LineRead ReadLine(FILE* fp, std::string* line) {
  line->clear();
  bool any = false;
  int c;
  while ((c = getc_unlocked(fp)) != EOF) {
    any = true;
    if (c == '\n') {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return line->size() > kParserMaxLine ? LineRead::kTooLong : LineRead::kLine;
    }
    // One byte of slack for a CR that the LF may still drop.
    if (line->size() > kParserMaxLine) return LineRead::kTooLong;
    line->push_back(static_cast<char>(c));
  }
  if (ferror(fp)) return LineRead::kReadError;
  if (!any) return LineRead::kEnd;
  return line->size() > kParserMaxLine ? LineRead::kTooLong : LineRead::kLine;
}

bool IsNumberChar(unsigned char c) { return IsDigit(c) || c == '+' || c == '-' || c == '.'; }

size_t SkipBlanks(std::string_view line, size_t pos) {
  while (pos < line.size() && IsBlank(static_cast<unsigned char>(line[pos]))) ++pos;
  return pos;
}

// The end of the line or the start of a comment.
bool AtLineEnd(std::string_view line, size_t pos) { return pos == line.size() || line[pos] == '#'; }

bool NameEquals(const char* name, std::string_view text) {
  return strlen(name) == text.size() && memcmp(name, text.data(), text.size()) == 0;
}

class Parser {
 public:
  Parser(const schema_parser* schema, void* result)
      : schema_(schema), result_(static_cast<char*>(result)) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Parses the stream to its end or its first error; returns the error code.
  int Run(FILE* fp, int* line_no);

  int unknown_keys() const { return unknown_keys_; }

 private:
  int ParseLine(std::string_view line);
  int ParseHeader(std::string_view line, size_t pos);
  int ParseKeyLine(std::string_view line, size_t pos);
  int ParseNumber(std::string_view line, size_t pos, int type, char* value);
  int ParseString(std::string_view line, size_t pos, value_type_string* value);
  int ParseSetTexts(std::string_view line, size_t pos, value_type_string_set* set);
  // Reads the quoted text at *pos into text_ and moves *pos past its quote.
  int ParseQuoted(std::string_view line, size_t* pos);

  const schema_parser* schema_;
  char* result_;
  const schema_section* section_ = nullptr;  // current section
  char* section_record_ = nullptr;
  value_type_string_set* open_set_ = nullptr;  // set left open by a trailing ","
  unsigned expect_ = kExpectHeader;
  int unknown_keys_ = 0;
  char text_[kParserMaxText + 1];  // the last quoted text, NUL-terminated
};

int Parser::Run(FILE* fp, int* line_no) {
  std::string line;
  int error = NO_ERROR;
  *line_no = 0;
  flockfile(fp);
  for (;;) {
    LineRead r = ReadLine(fp, &line);
    if (r == LineRead::kEnd) break;
    ++*line_no;
    if (r == LineRead::kTooLong) {
      error = VALUE_TOO_LONG;
      break;
    }
    if (r == LineRead::kReadError) {
      // A file cut short by an I/O error must not pass as complete.
      error = INTERNAL_ERROR;
      break;
    }
    error = ParseLine(line);
    if (error != NO_ERROR) break;
  }
  funlockfile(fp);
  return error;
}

int Parser::ParseLine(std::string_view line) {
  size_t pos = SkipBlanks(line, 0);
  if (AtLineEnd(line, pos)) return NO_ERROR;
  char c = line[pos];
  if ((expect_ & kExpectHeader) && c == '[') return ParseHeader(line, pos);
  if ((expect_ & kExpectContinuation) && c == '"') return ParseSetTexts(line, pos, open_set_);
  if (expect_ & kExpectKey) return ParseKeyLine(line, pos);
  return LINE_NOT_EXPECTED;
}

int Parser::ParseHeader(std::string_view line, size_t pos) {
  size_t start = ++pos;  // past "["
  for (;;) {
    if (AtLineEnd(line, pos)) return SECTION_MISSING_RIGHT_BRACKET;
    unsigned char c = static_cast<unsigned char>(line[pos]);
    if (c == ']') {
      if (pos == start) return SECTION_MISSING_SECTION;
      break;
    }
    if (!IsNameChar(c)) return SECTION_ILLEGAL_CHARACTER;
    if (pos - start == kSchemaMaxNameLength) return SECTION_TOO_LONG;
    ++pos;
  }
  std::string_view name = line.substr(start, pos - start);
  pos = SkipBlanks(line, pos + 1);
  if (!AtLineEnd(line, pos)) return LINE_NOT_ENDED;

  for (size_t s = 0; s < schema_->section_count; ++s) {
    const schema_section& section = schema_->section_schema[s];
    if (NameEquals(section.name, name)) {
      section_ = &section;
      section_record_ = result_ + section.offset;
      expect_ = kExpectHeader | kExpectKey;
      open_set_ = nullptr;
      return NO_ERROR;
    }
  }
  return SECTION_UNDEFINED_SECTION;
}

int Parser::ParseKeyLine(std::string_view line, size_t pos) {
  size_t start = pos;
  while (pos < line.size() && IsNameChar(static_cast<unsigned char>(line[pos]))) ++pos;
  if (pos == start) return KEY_MISSING_KEY;
  if (pos - start > kSchemaMaxNameLength) return KEY_TOO_LONG;
  std::string_view name = line.substr(start, pos - start);

  const schema_key* key = nullptr;
  for (size_t k = 0; k < section_->key_count; ++k) {
    if (NameEquals(section_->key_schema[k].name, name)) {
      key = &section_->key_schema[k];
      break;
    }
  }
  if (key == nullptr) {
    // Unknown keys are skipped with a warning: newer files may carry keys
    // this version does not know.
    fprintf(stdout, "warning: unknown key (%.*s)\n", static_cast<int>(name.size()), name.data());
    ++unknown_keys_;
  }

  pos = SkipBlanks(line, pos);
  if (pos == line.size() || line[pos] != '=') return KEY_ILLEGAL_CHARACTER;
  pos = SkipBlanks(line, pos + 1);
  expect_ = kExpectHeader | kExpectKey;
  open_set_ = nullptr;
  if (key == nullptr) return NO_ERROR;  // the rest of the line is ignored

  char* value = section_record_ + key->offset;
  switch (key->value_type) {
    case integer32_type:
    case integer64_type:
      return ParseNumber(line, pos, key->value_type, value);
    case string_type:
      return ParseString(line, pos, reinterpret_cast<value_type_string*>(value));
    case string_set_type:
      return ParseSetTexts(line, pos, reinterpret_cast<value_type_string_set*>(value));
    default:
      return INTERNAL_ERROR;
  }
}

int Parser::ParseNumber(std::string_view line, size_t pos, int type, char* value) {
  size_t end = pos;
  while (end < line.size() && IsNumberChar(static_cast<unsigned char>(line[end]))) ++end;
  if (end == pos) return VALUE_NUMERIC_MISSING_VALUE;
  if (end - pos > kParserMaxNumber) return VALUE_TOO_LONG;

  bool negative = false;
  if (line[pos] == '+' || line[pos] == '-') {
    negative = line[pos] == '-';
    ++pos;
  }
  if (pos == line.size() || !IsDigit(static_cast<unsigned char>(line[pos]))) {
    return VALUE_NUMERIC_MISSING_INTEGER_PART;
  }
  // The magnitude saturates at UINT64_MAX; the fraction is checked, not kept.
  uint64_t magnitude = 0;
  if (line[pos] == '0') {
    ++pos;
  } else {
    while (pos < line.size() && IsDigit(static_cast<unsigned char>(line[pos]))) {
      unsigned digit = static_cast<unsigned>(line[pos] - '0');
      magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
      ++pos;
    }
  }
  if (pos < line.size() && line[pos] == '.') {
    ++pos;
    if (pos == line.size() || !IsDigit(static_cast<unsigned char>(line[pos]))) {
      return VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
    }
    while (pos < line.size() && IsDigit(static_cast<unsigned char>(line[pos]))) ++pos;
  }
  if (pos < line.size() && !IsBlank(static_cast<unsigned char>(line[pos])) && line[pos] != '#') {
    return VALUE_NUMERIC_ILLEGAL_SYNTAX;
  }
  pos = SkipBlanks(line, pos);
  if (!AtLineEnd(line, pos)) return LINE_NOT_ENDED;

  if (type == integer32_type) {
    int v;
    if (negative) {
      v = magnitude > static_cast<uint64_t>(INT_MAX) ? INT_MIN : -static_cast<int>(magnitude);
    } else {
      v = magnitude > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(magnitude);
    }
    memcpy(value, &v, sizeof v);
  } else {
    // A positive value may use the whole unsigned range (the writer prints
    // limits unsigned); a negative one is a signed 64-bit value, so "-1"
    // gives UINT64_MAX, saturating at INT64_MIN.
    constexpr uint64_t kInt64MinMagnitude = uint64_t{1} << 63;
    uint64_t v = magnitude;
    if (negative) v = magnitude >= kInt64MinMagnitude ? kInt64MinMagnitude : 0 - magnitude;
    memcpy(value, &v, sizeof v);
  }
  return NO_ERROR;
}

int Parser::ParseString(std::string_view line, size_t pos, value_type_string* value) {
  int error = ParseQuoted(line, &pos);
  if (error != NO_ERROR) return error;
  pos = SkipBlanks(line, pos);
  if (!AtLineEnd(line, pos)) return LINE_NOT_ENDED;
  if (vt_string_assign(value, text_) != 0) return INTERNAL_ERROR;
  return NO_ERROR;
}

int Parser::ParseSetTexts(std::string_view line, size_t pos, value_type_string_set* set) {
  for (;;) {
    int error = ParseQuoted(line, &pos);
    if (error != NO_ERROR) return error;
    if (vt_string_set_insert(set, text_) != 0) return INTERNAL_ERROR;
    pos = SkipBlanks(line, pos);
    if (AtLineEnd(line, pos)) {
      expect_ = kExpectHeader | kExpectKey;
      open_set_ = nullptr;
      return NO_ERROR;
    }
    if (line[pos] != ',') return VALUE_SET_MISSING_SEPARATER;
    pos = SkipBlanks(line, pos + 1);
    if (AtLineEnd(line, pos)) {
      // A trailing "," continues the set on the next line that is not blank.
      expect_ = kExpectContinuation;
      open_set_ = set;
      return NO_ERROR;
    }
  }
}

int Parser::ParseQuoted(std::string_view line, size_t* at) {
  size_t pos = *at;
  if (pos == line.size() || line[pos] != '"') return VALUE_STRING_MISSING_LEFT_QUOTE;
  ++pos;
  size_t n = 0;
  for (;;) {
    if (pos == line.size()) return VALUE_STRING_MISSING_RIGHT_QUOTE;
    unsigned char c = static_cast<unsigned char>(line[pos]);
    if (c == '"') {
      ++pos;
      break;
    }
    // A raw NUL is refused here too: values are NUL-terminated.
    if (c < 0x20 || c == 0x7F) return VALUE_STRING_ILLEGAL_CHARACTER;
    unsigned char byte = c;
    ++pos;
    if (c == '\\') {
      if (pos == line.size()) return VALUE_STRING_ILLEGAL_CHARACTER;
      unsigned char e = static_cast<unsigned char>(line[pos]);
      size_t rest = line.size() - pos;
      switch (e) {
        case 'a': byte = '\a'; break;
        case 'b': byte = '\b'; break;
        case 'f': byte = '\f'; break;
        case 'n': byte = '\n'; break;
        case 'r': byte = '\r'; break;
        case 't': byte = '\t'; break;
        case 'v': byte = '\v'; break;
        case '\'': case '"': case '\\': case '?': byte = e; break;
        case 'x': {
          if (rest < 3) return VALUE_STRING_ILLEGAL_CHARACTER;
          unsigned char h1 = static_cast<unsigned char>(line[pos + 1]);
          unsigned char h2 = static_cast<unsigned char>(line[pos + 2]);
          if (!IsHexDigit(h1) || !IsHexDigit(h2)) return VALUE_STRING_ILLEGAL_CHARACTER;
          byte = static_cast<unsigned char>(HexValue(h1) * 16 + HexValue(h2));
          pos += 2;
          break;
        }
        case '0': case '1': case '2': case '3': {
          if (rest < 3) return VALUE_STRING_ILLEGAL_CHARACTER;
          unsigned char o2 = static_cast<unsigned char>(line[pos + 1]);
          unsigned char o3 = static_cast<unsigned char>(line[pos + 2]);
          if (o2 < '0' || o2 > '7' || o3 < '0' || o3 > '7') return VALUE_STRING_ILLEGAL_CHARACTER;
          byte = static_cast<unsigned char>((e - '0') * 64 + (o2 - '0') * 8 + (o3 - '0'));
          pos += 2;
          break;
        }
        default:
          return VALUE_STRING_ILLEGAL_CHARACTER;
      }
      ++pos;
      // A NUL would cut the stored value short, and an emptied entry of a
      // prefix set would block every path.
      if (byte == 0) return VALUE_STRING_ILLEGAL_CHARACTER;
    }
    if (n == kParserMaxText) return VALUE_TOO_LONG;
    text_[n++] = static_cast<char>(byte);
  }
  if (n == 0) return VALUE_STRING_EMPTY;
  text_[n] = '\0';
  *at = pos;
  return NO_ERROR;
}

void FillReport(parse_report* report, parse_result result, int error, int line, int open_errno) {
  if (report == nullptr) return;
  report->result = result;
  report->error = error;
  report->line = line;
  report->open_errno = open_errno;
}

}  // namespace

parse_result parse_stream(FILE* fp, const schema_parser* schema, void* result, parse_report* report) {
  Parser parser(schema, result);
  int line_no = 0;
  int error = parser.Run(fp, &line_no);
  if (error != NO_ERROR) {
    fprintf(stderr, "parser: %s at line %d\n", get_parser_error_string(error), line_no);
    FillReport(report, PARSE_ERROR, error, line_no, 0);
    return PARSE_ERROR;
  }
  parse_result outcome = parser.unknown_keys() > 0 ? PARSE_PARTIAL : PARSE_DONE;
  FillReport(report, outcome, NO_ERROR, 0, 0);
  return outcome;
}

parse_result parse(const char* fname, const schema_parser* schema, void* result, parse_report* report) {
  // O_NONBLOCK so that opening a FIFO cannot block the caller; it has no
  // effect on reads of the regular file that is all we accept.
  int fd = open(fname, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    FillReport(report, PARSE_ERROR, NO_ERROR, 0, errno);
    return PARSE_ERROR;
  }
  struct stat st;
  int open_errno = 0;
  if (fstat(fd, &st) != 0) {
    open_errno = errno;
  } else if (!S_ISREG(st.st_mode)) {
    open_errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  FILE* fp = nullptr;
  if (open_errno == 0) {
    fp = fdopen(fd, "r");
    if (fp == nullptr) open_errno = errno;
  }
  if (fp == nullptr) {
    close(fd);
    FillReport(report, PARSE_ERROR, NO_ERROR, 0, open_errno);
    return PARSE_ERROR;
  }
  parse_result outcome = parse_stream(fp, schema, result, report);
  // Read-only stream: nothing is lost if closing fails.
  (void)fclose(fp);
  return outcome;
}

bool parse_accepted(parse_result result, int major, int minor) {
  if (result == PARSE_DONE) return true;
  return result == PARSE_PARTIAL && major == 1 && minor > 0;
}

const char* get_parser_error_string(int code) {
  if (code < 0 || code >= MAX_ERROR_CODE) return "Unknown error";
  return kErrorNames[code];
}
