#include "filter/holder_load.h"

#include <cstring>

#include "foundation/logger.h"

namespace holder_load {

void LogFailure(const char* source, int line, const ustring& path, const parse_report& report) {
  if (report.result == PARSE_ERROR && report.error == NO_ERROR) {
    char buf[128];
    const char* reason = strerror_r(report.open_errno, buf, sizeof buf);
    Logger::LogMsg(Logger::L_ERR, "default_component",
                   "[ERROR] %s(%d): cannot open rule file '%s' (%s); the previous rules stay in force\n",
                   source, line, path.c_str_utf8(), reason);
  } else if (report.result == PARSE_ERROR) {
    Logger::LogMsg(Logger::L_ERR, "default_component",
                   "[ERROR] %s(%d): rule file '%s': %s at line %d; the previous rules stay in force\n",
                   source, line, path.c_str_utf8(), get_parser_error_string(report.error), report.line);
  } else {
    Logger::LogMsg(Logger::L_ERR, "default_component",
                   "[ERROR] %s(%d): rule file '%s' has unknown keys and is not version 1.1 or later; "
                   "the previous rules stay in force\n",
                   source, line, path.c_str_utf8());
  }
}

}  // namespace holder_load
