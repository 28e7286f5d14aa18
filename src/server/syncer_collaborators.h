// SyncerCollaborators: what the Syncer and the ProgressSyncer work with.
// The syncers reach no process-wide object: the application hands them its
// own, a test its.
#ifndef SERVER_SYNCER_COLLABORATORS_H_
#define SERVER_SYNCER_COLLABORATORS_H_

class ConnectionManager;
class EventGenerator;
class EventManager;
class FilterDB;
class ProgressCache;
class Registry;
class UiReporter;

// Each must outlive the syncer it is handed to.
struct SyncerCollaborators {
  Registry& registry;
  ConnectionManager& connections;
  // The queue whose server events the syncers wait on.
  EventManager& events;
  // The resume conditions.
  ProgressCache& progress;
  // Where the ProgressSyncer stores a condition's sync id (the Syncer does
  // not use it).
  FilterDB& filters;
  // The error reports of a round (syncer_error::HandleError).
  UiReporter& ui;
  // Queues the pulled changes; bound to `events`.
  EventGenerator& generator;
};

#endif  // SERVER_SYNCER_COLLABORATORS_H_
