#include "foundation/config.h"

#include <cstdio>
#include <locale>
#include <memory>
#include <sstream>

namespace {

struct FileCloser {
  // A file opened for reading has nothing to lose on close.
  void operator()(FILE* fp) const { (void)std::fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

enum class LineRead { kLine, kEnd, kError, kTooLong };

// Reads one line, its "\n" included when there is one, into `buf`, which
// holds Config::kMaxLine + 1 bytes. Counting the bytes ourselves (in place of
// fgets) keeps a NUL byte from cutting the line short unseen.
LineRead ReadLine(FILE* fp, char* buf, int* len) {
  int n = 0;
  for (;;) {
    int c = std::getc(fp);
    if (c == EOF) {
      if (std::ferror(fp)) return LineRead::kError;
      *len = n;
      return n == 0 ? LineRead::kEnd : LineRead::kLine;
    }
    if (c == '\n') {
      buf[n++] = '\n';
      *len = n;
      return LineRead::kLine;
    }
    // A longer line used to be read in pieces, each parsed as a line of its
    // own: the tail of a long value could then store a key nobody wrote.
    if (n == Config::kMaxLine) return LineRead::kTooLong;
    buf[n++] = static_cast<char>(c);
  }
}

}  // namespace

int Config::read(const ustring& path) {
  if (path.empty()) return -1;
  FilePtr fp(std::fopen(path.c_str_utf8(), "re"));
  if (!fp) return -1;

  // Entries are merged only once the whole file has been read, so that a read
  // error (EISDIR for a folder, EIO) leaves the store as it was.
  std::map<ustring, ustring> entries;
  char buf[kMaxLine + 1];
  for (;;) {
    int len = 0;
    LineRead got = ReadLine(fp.get(), buf, &len);
    if (got == LineRead::kError) return -1;
    if (got == LineRead::kEnd) break;
    ustring key, value;
    int result = got == LineRead::kTooLong ? INVALID : parse(buf, len, key, value);
    if (result == INVALID) {
      store.clear();
      return -1;
    }
    if (result == OK) entries[key] = value;
  }
  for (const auto& [key, value] : entries) store[key] = value;
  return 0;
}

int Config::parse(const char* line, int len, ustring& key, ustring& value) {
  auto at = [line](int i) { return static_cast<unsigned char>(line[i]); };
  int i = 0;
  while (i < len && is_space(at(i))) ++i;

  int key_start = i;
  while (i < len && is_key_char(at(i))) ++i;
  int key_end = i;
  // An empty or blank line, a comment, or a key cut short by "#" or by the
  // end of the file: nothing to store. A bare key before an end of line is
  // not skipped here; it fails the "=" test below.
  if (i == len || at(i) == '#') return EMPTY;

  while (i < len && is_space(at(i))) ++i;
  if (i == len || at(i) != '=') return INVALID;
  ++i;
  while (i < len && is_space(at(i))) ++i;
  // An empty value must be written as '' or "".
  if (i == len) return INVALID;

  int value_start;
  int value_end;
  if (at(i) == '"' || at(i) == '\'') {
    unsigned char quote = at(i++);
    value_start = i;
    while (i < len && at(i) != quote && is_value_char(at(i))) ++i;
    if (i == len || at(i) != quote) return INVALID;
    value_end = i++;
  } else {
    value_start = i;
    while (i < len && is_value_char(at(i)) && at(i) != ' ') ++i;
    value_end = i;
  }

  while (i < len && is_space(at(i))) ++i;
  if (i < len && at(i) != '#') return INVALID;

  key.assign(line + key_start, static_cast<size_t>(key_end - key_start));
  value.assign(line + value_start, static_cast<size_t>(value_end - value_start));
  return OK;
}

int Config::get_int(const ustring& key) {
  std::istringstream in(store[key].c_str_utf8());
  in.imbue(std::locale::classic());
  int result = 0;
  in >> result;
  return result;
}
