// FilterVerdict: what an event's filter test (or the name test of an upload)
// decided: carry the event out, finish it without action (filtered, or the
// local entry renamed), or fail with a daemon code. A type of its own, so a
// verdict cannot be read as a daemon code or a count.
#ifndef WORKER_FILTER_VERDICT_H_
#define WORKER_FILTER_VERDICT_H_

#include <iosfwd>

#include "transport/error_code.h"

class FilterVerdict {
 public:
  static constexpr FilterVerdict CarryOut() { return FilterVerdict(Kind::kCarryOut, ERR_OK); }
  static constexpr FilterVerdict Finish() { return FilterVerdict(Kind::kFinish, ERR_OK); }
  // `code` is a failure (not ERR_OK).
  static constexpr FilterVerdict Fail(ErrorCode code) { return FilterVerdict(Kind::kFail, code); }

  constexpr bool CarriesOut() const { return kind_ == Kind::kCarryOut; }
  // The operation's result when the event is not carried out: ERR_OK for a
  // finish, the failure's code otherwise.
  constexpr ErrorCode Result() const { return code_; }
  // As log lines print it: 1 carry out, 0 finish, or the failure's number.
  constexpr int LogNumber() const {
    return kind_ == Kind::kCarryOut ? 1 : kind_ == Kind::kFinish ? 0 : ErrorNumber(code_);
  }

  friend constexpr bool operator==(const FilterVerdict&, const FilterVerdict&) = default;

 private:
  enum class Kind { kCarryOut, kFinish, kFail };
  constexpr FilterVerdict(Kind kind, ErrorCode code) : kind_(kind), code_(code) {}

  Kind kind_;
  ErrorCode code_;
};

// "carry out", "finish" or "fail <number>", for test failures.
std::ostream& operator<<(std::ostream& os, const FilterVerdict& verdict);

#endif  // WORKER_FILTER_VERDICT_H_
