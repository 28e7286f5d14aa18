#include "filter/zarq_escape.h"

#include <cstring>

#include "foundation/logger.h"

namespace {

constexpr char kComp[] = "fstat_db_debug";
// Room for the usual statement; std::string doubles it when full.
constexpr size_t kInitialBuffer = 4096;

struct Placeholder {
  const char* name;
  size_t length;
};

// Indexed by ZARQ_PARAM_ID. No name is a prefix of another.
constexpr Placeholder grgZarqParamList[SPID_NUM_OF_PARAM] = {
    {"@ZARQ:VAR", 9}, {"@ZARQ:LVAR", 10}, {"@ZARQ:INT", 9}, {"@ZARQ:LLINT", 11}, {"@ZARQ:NEVAR", 11},
};

ZARQ_PARAM_ID Match(const char* p) {
  for (int id = 0; id < SPID_NUM_OF_PARAM; ++id) {
    if (std::strncmp(p, grgZarqParamList[id].name, grgZarqParamList[id].length) == 0) {
      return static_cast<ZARQ_PARAM_ID>(id);
    }
  }
  return SPID_INVALID;
}

void AppendQuoted(std::string& out, const char* text, bool like) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\'') {
      out += "''";
      continue;
    }
    if (like && (*p == '%' || *p == '_' || *p == '\\')) out += '\\';
    out += *p;
  }
}

std::nullopt_t Bad() {
  Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] file-status-db(%d): Bad parameters.", __LINE__);
  return std::nullopt;
}

}  // namespace

bool ZarqArg::Fits(ZARQ_PARAM_ID id) const {
  switch (id) {
    case SPID_VAR:
    case SPID_LVAR:
      return kind_ == kText;
    case SPID_INT:
      return kind_ == kInt;
    case SPID_LLINT:
      return kind_ == kLongLong;
    case SPID_NEVAR:
      return kind_ == kLiteral;
    default:
      return false;
  }
}

std::optional<std::string> ZARQDBEscapeStringEX3(const char* tmpl, std::initializer_list<ZarqArg> args) {
  if (tmpl == nullptr) return Bad();
  std::string out;
  out.reserve(kInitialBuffer);
  const ZarqArg* arg = args.begin();
  bool escape_pending = false;  // an @ZARQ:LVAR waits for its literal's end
  const char* p = tmpl;
  while (*p != '\0') {
    ZARQ_PARAM_ID id = *p == '@' ? Match(p) : SPID_INVALID;
    if (id == SPID_INVALID) {
      out += *p;
      if (*p == '\'' && escape_pending) {
        out += " escape '\\'";
        escape_pending = false;
      }
      ++p;
      continue;
    }
    if (arg == args.end() || !arg->Fits(id)) return Bad();
    switch (id) {
      case SPID_VAR:
        AppendQuoted(out, arg->text(), false);
        break;
      case SPID_LVAR:
        AppendQuoted(out, arg->text(), true);
        escape_pending = true;
        break;
      case SPID_INT:
      case SPID_LLINT:
        out += std::to_string(arg->number());
        break;
      default:  // SPID_NEVAR
        out += arg->text();
        break;
    }
    ++arg;
    p += grgZarqParamList[id].length;
  }
  if (arg != args.end() || escape_pending) return Bad();
  return out;
}
