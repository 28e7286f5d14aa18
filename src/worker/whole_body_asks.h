// WholeBodyAsks: the server events whose next download asks for the body
// whole (no basis), shared by every worker.
//
// A worker marks the event in hand once bad bodies on an unchanged local
// copy reach their limit (Worker::HandleError). The event may then go back
// to the queue and reach another worker, which must find the mark and ask
// whole at once, not count bad deltas anew. One mark per session and path:
// a mark for a newer event of the path replaces the older one. A mark goes
// when its event ends.
//
// Threads: any; each operation takes `lock` alone and calls out to nothing.
#ifndef WORKER_WHOLE_BODY_ASKS_H_
#define WORKER_WHOLE_BODY_ASKS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "session/event.h"

class WholeBodyAsks {
 public:
  // The daemon's set: the one every worker of the process shares unless it
  // is handed another (tests give each rig its own).
  static WholeBodyAsks& Shared();

  WholeBodyAsks() = default;
  WholeBodyAsks(const WholeBodyAsks&) = delete;
  WholeBodyAsks& operator=(const WholeBodyAsks&) = delete;

  // Marks `ev` (its session, path and sync id), replacing a mark of an
  // other event of the same session and path.
  void Ask(const Event& ev);
  // Whether `ev` is the marked event of its session and path.
  bool Asked(const Event& ev) const;
  // Drops the mark of `ev`; a mark of another event of the path stays.
  void Drop(const Event& ev);

 private:
  using Key = std::pair<uint64_t, std::string>;  // session id, path
  static Key KeyOf(const Event& ev);

  mutable std::mutex lock;
  std::map<Key, uint64_t> asks;  // guarded by lock: the marked sync id
};

#endif  // WORKER_WHOLE_BODY_ASKS_H_
