// Diagnostic lines of the delta engine.
//
// The engine does not use the Logger: each failure is one narrow line on
// standard error, "xio (<line>): ..." for the file I/O layer and
// "api (<line>): ..." for the readers and handlers.
#ifndef DELTA_REPORT_H_
#define DELTA_REPORT_H_

// Writes one printf-style line to stderr. errno is the same afterwards, so a
// caller may still report or return it.
void delta_report(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // DELTA_REPORT_H_
