// The folder expansions that the remove paths call belong to the rescan
// layer, which is not in this tree yet: until it is, they queue nothing.
#include "worker/worker.h"
#include "worker/worker_log.h"

int Worker::ExpandLocalDeleteEvent(const ustring& path) {
  WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): ExpandLocalDeleteEvent(%s) is not available\n", GetId(),
             path.c_str_utf8());
  return -1;
}

int Worker::ExpandServerDeleteEvent(const ustring& path, uint64_t /*sess_id*/, uint64_t /*sync_id*/) {
  WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Worker (%d): ExpandServerDeleteEvent(%s) is not available\n", GetId(),
             path.c_str_utf8());
  return -1;
}
