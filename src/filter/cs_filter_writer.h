// Writes a Filter back in rule-file syntax, so that parsing the output gives
// the same record. Nothing in the daemon calls it; it is kept for tools and
// tests.
#ifndef FILTER_CS_FILTER_WRITER_H_
#define FILTER_CS_FILTER_WRITER_H_

#include <cstdio>

#include "filter/cs_filter.h"

// Prints every section in schema order: "[Name]", then each number as
// "key = value", each non-null string and non-empty set as "key = " plus its
// quoted values (", " between values, a line break after every fifth), and a
// blank line. Values are escaped so that any byte 0x01-0xFF reads back
// unchanged; nothing is cut. Returns 0, or -1 when the stream reports a
// write error.
int filter_print(const Filter* filter, FILE* fp);

// filter_print into the file at the UTF-8 path `fname` (created or
// truncated). Returns 0, or -1 when it cannot be opened or written.
int filter_write(const Filter* filter, const char* fname);

#endif  // FILTER_CS_FILTER_WRITER_H_
