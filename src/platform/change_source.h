// A stream of change records for one watched folder tree.
#ifndef PLATFORM_CHANGE_SOURCE_H_
#define PLATFORM_CHANGE_SOURCE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What happened to a name. The numbers are those the folder watcher has
// always used for its records.
enum ChangeAction : uint32_t {
  kChangeAdded = 1,
  kChangeRemoved = 2,
  kChangeModified = 3,
  kChangeRenamedOldName = 4,  // always directly followed by its kChangeRenamedNewName
  kChangeRenamedNewName = 5,
};

struct ChangeRecord {
  uint32_t action = 0;  // a ChangeAction
  // Relative to the watched root, "/" between components, no leading "/".
  // Raw bytes as the kernel gave them (may be invalid UTF-8; "\\" is an
  // ordinary byte).
  std::string name;
};

enum class ChangeStatus {
  kRecords,  // `records` holds what happened, in order (possibly nothing)
  // Notifications were lost (the kernel queue overflowed, or reading it
  // failed: `read_errno`). The records read with them were discarded and
  // the watches rebuilt from a fresh walk; the caller must rescan the tree.
  kRescan,
  // The root itself was removed, moved or unmounted. Records read with the
  // loss are discarded (they are the removal's own, e.g. rm -rf of the
  // root) and the source reports nothing more: every later call gives
  // kRootLost again.
  kRootLost,
};

struct ChangeBatch {
  ChangeStatus status = ChangeStatus::kRecords;
  std::vector<ChangeRecord> records;
  // Non-zero: reading the notifications failed with this errno value
  // (status is then kRescan).
  int read_errno = 0;
  // Non-zero: a folder (watch_error_folder, relative like a record's name)
  // could not be watched, errno value; its changes will not be seen. Set
  // for the first failure only, until a later watch succeeds, so that a
  // tree over the kernel's watch limit is reported once, not per folder.
  int watch_errno = 0;
  std::string watch_error_folder;

  void Clear() {
    status = ChangeStatus::kRecords;
    records.clear();
    read_errno = 0;
    watch_errno = 0;
    watch_error_folder.clear();
  }
};

// One watched tree. A source is used by one thread at a time (the caller
// serialises); fd() may be polled from another thread meanwhile.
class ChangeSource {
 public:
  virtual ~ChangeSource() = default;

  // A descriptor that polls readable while notifications wait to be read.
  // Owned by the source; valid for its whole life.
  virtual int fd() const = 0;

  // Takes everything queued so far into *batch (cleared first). Never
  // blocks; a call with nothing queued gives kRecords with no records.
  virtual void Read(ChangeBatch* batch) = 0;

  // True while the last record read was a move out of a folder whose
  // arrival has not been read yet. The next Read pairs it or settles it.
  virtual bool HasPendingMove() const = 0;

  // Gives up waiting for the arrival of a pending move: it becomes a
  // removal record in *batch (cleared first). Nothing when none is pending.
  virtual void SettlePendingMove(ChangeBatch* batch) = 0;

  ChangeSource() = default;
  ChangeSource(const ChangeSource&) = delete;
  ChangeSource& operator=(const ChangeSource&) = delete;
};

}  // namespace platform

#endif  // PLATFORM_CHANGE_SOURCE_H_
