// ProgressCache: the in-memory queue of resume conditions still to be
// worked off, oldest first. Reconciliation and session creation add to it;
// the progress syncer takes the first entry, reports progress and removes
// it; the syncer asks whether a session still has one.
//
// Threads: every operation runs entirely under m_mutex and calls out only
// to the logger, so any thread may call at any time. An entry read with
// getProgressEntry may be gone (its session removed) by the time its
// rmProgressEntry comes; that call then gives -1.
#ifndef FILTER_PROGRESS_CACHE_H_
#define FILTER_PROGRESS_CACHE_H_

#include <cstdint>
#include <mutex>
#include <vector>

#include "filter/selective_sync_info.h"

class ProgressCache {
 public:
  struct Entry {
    uint64_t row_id = 0;  // the condition's id in filter_resume_table
    ResumeCondition condition;
  };

  // The process-wide cache, built on the first call and destroyed at process
  // exit (its destructor logs; the Logger outlives it).
  static ProgressCache* getInstance();

  ProgressCache();
  ~ProgressCache();
  ProgressCache(const ProgressCache&) = delete;
  ProgressCache& operator=(const ProgressCache&) = delete;

  // Appends an entry. Duplicates are not checked: the same row id added
  // twice gives two entries.
  void addProgressEntry(uint64_t row_id, const ResumeCondition& condition);
  // Copies the oldest entry into `entry` without removing it: 1, or 0 when
  // the cache is empty (`entry` then untouched).
  int getProgressEntry(Entry& entry);
  // Replaces the contents of `entries` with a copy of every entry, oldest
  // first: for a caller that must pass over conditions it cannot work on yet.
  void getProgressEntries(std::vector<Entry>& entries);
  // Sets the sync id of the first entry with that row id; none: nothing.
  void updateProgressSyncId(uint64_t row_id, uint64_t sync_id);
  // Removes the first entry with that row id: 0, or -1 when there is none.
  int rmProgressEntry(uint64_t row_id);
  // Removes every entry of the session: 0 when at least one went, -1 when
  // there was none.
  int rmProgressEntryBySessionId(uint64_t sess_id);
  bool isInProgrssCache(uint64_t sess_id);
  void clear();

 private:
  std::vector<Entry> cache_list;  // oldest first; removal keeps the order
  std::mutex m_mutex;
};

#endif  // FILTER_PROGRESS_CACHE_H_
