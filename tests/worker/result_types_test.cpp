// Each family of results has its own type, so that reading one as another
// (a report kind as a daemon code, a stream code as a daemon code, a worker's
// action as a syncer's) fails to compile instead of passing a wrong number on.
#include <type_traits>

#include "protocol/pstream.h"
#include "server/error_type.h"
#include "server/syncer_error.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/filter_verdict.h"
#include "worker/worker_error.h"

namespace {

// True when `a == b` compiles.
template <class A, class B>
concept Comparable = requires(A a, B b) { a == b; };

template <class A, class B>
constexpr bool kKeptApart = !Comparable<A, B> && !Comparable<B, A> && !std::is_convertible_v<A, B> &&
                            !std::is_convertible_v<B, A>;

using DaemonCode = decltype(ERR_OK);
static_assert(std::is_same_v<DaemonCode, ErrorCode>);

// The check itself can tell: one family is comparable with itself.
static_assert(Comparable<ErrorType, ErrorType>);
static_assert(Comparable<DaemonCode, DaemonCode>);

// The daemon code is no number: a count, a verdict or a bare -1 cannot pass
// for one, nor can one pass for them. Numbers cross only through ErrorNumber
// and ErrorCodeFromNumber.
static_assert(kKeptApart<DaemonCode, int>);
static_assert(kKeptApart<DaemonCode, long>);
static_assert(kKeptApart<DaemonCode, unsigned>);
static_assert(kKeptApart<DaemonCode, bool>);
static_assert(std::is_same_v<decltype(ErrorNumber(ERR_IO)), int>);
static_assert(std::is_same_v<decltype(ErrorCodeFromNumber(-2)), DaemonCode>);
static_assert(ErrorNumber(ERR_INT) == -1 && ErrorCodeFromNumber(-1) == ERR_INT);

static_assert(kKeptApart<ErrorType, int>);
static_assert(kKeptApart<ErrorType, DaemonCode>);

static_assert(kKeptApart<WorkerAction, syncer_error::Action>);
static_assert(kKeptApart<WorkerAction, int>);
static_assert(kKeptApart<WorkerAction, DaemonCode>);
static_assert(kKeptApart<WorkerAction, ErrorType>);
static_assert(kKeptApart<syncer_error::Action, int>);
static_assert(kKeptApart<syncer_error::Action, DaemonCode>);
static_assert(kKeptApart<syncer_error::Action, ErrorType>);

// -1 is a local failure for the stream and an abort for the daemon: the
// stream's codes reach daemon codes only through the road's StreamError.
static_assert(kKeptApart<PStream::Code, int>);
static_assert(kKeptApart<PStream::Code, DaemonCode>);
static_assert(kKeptApart<PStream::Code, WorkerAction>);

// The worker's local results (protected: named here through a subclass)
// never read as daemon codes: a failed final move once passed for "changed
// meanwhile" (ERR_INT) because both were -1.
struct WorkerResults : Worker {
  using Worker::FilePlaced;
  using Worker::LocalCopy;
  using Worker::Recycled;
  using Worker::RecycleMove;
  using Worker::Replace;
  using Worker::Verdict;
};
static_assert(kKeptApart<WorkerResults::Replace, DaemonCode>);
static_assert(kKeptApart<WorkerResults::Verdict, DaemonCode>);
static_assert(kKeptApart<WorkerResults::Recycled, DaemonCode>);
static_assert(kKeptApart<WorkerResults::RecycleMove, DaemonCode>);
static_assert(kKeptApart<WorkerResults::LocalCopy, DaemonCode>);
static_assert(kKeptApart<WorkerResults::FilePlaced::Kind, DaemonCode>);
static_assert(kKeptApart<syncer_error::Action, WorkerResults::Replace>);

// An event test's verdict (carry out, finish, fail with a code) was one int
// of 1, 0 or a negative code; it is neither a code nor a number now.
static_assert(kKeptApart<FilterVerdict, DaemonCode>);
static_assert(kKeptApart<FilterVerdict, int>);
static_assert(kKeptApart<FilterVerdict, bool>);
static_assert(Comparable<FilterVerdict, FilterVerdict>);
// The verdict's one way to a result and to the number its log line prints.
static_assert(FilterVerdict::CarryOut().CarriesOut() && FilterVerdict::CarryOut().LogNumber() == 1);
static_assert(!FilterVerdict::Finish().CarriesOut() && FilterVerdict::Finish().Result() == ERR_OK &&
              FilterVerdict::Finish().LogNumber() == 0);
static_assert(!FilterVerdict::Fail(ERR_SYS).CarriesOut() && FilterVerdict::Fail(ERR_SYS).Result() == ERR_SYS &&
              FilterVerdict::Fail(ERR_SYS).LogNumber() == -3);
static_assert(FilterVerdict::Fail(ERR_SYS) != FilterVerdict::Fail(ERR_LOCKED_FILE));

}  // namespace
