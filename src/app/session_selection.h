// The selection of "pause" and "resume". Internal to the application
// library.
#ifndef APP_SESSION_SELECTION_H_
#define APP_SESSION_SELECTION_H_

#include "protocol/pobject.h"
#include "session/registry.h"
#include "worker/worker.h"

// A filter by "session_id" and/or "connection_id", each only when the
// request holds it (0 selects every session, or every connection); a
// request with neither selects nothing.
inline Worker::AbortFilter SessionSelection(const PObject& req) {
  Worker::AbortFilter filter;
  if (req.hasMember("session_id")) filter.setSession(req["session_id"].asUInt64());
  if (req.hasMember("connection_id")) filter.setConnection(req["connection_id"].asUInt64());
  return filter;
}

// The session is selected by its id or by its connection's, as a worker's
// current work is.
inline bool IsSelected(const Worker::AbortFilter& filter, const Registry::Entry& entry) {
  return filter.matchSession(entry.sess_id) || filter.matchConnection(entry.conn_id);
}

#endif  // APP_SESSION_SELECTION_H_
