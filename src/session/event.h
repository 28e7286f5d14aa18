// Event: one pending change of one file or folder of one sync session, seen
// in the local folder or reported by the server. A plain value: copied whole
// wherever it goes (event queue, pending-event tree, worker), never shared.
#ifndef SESSION_EVENT_H_
#define SESSION_EVENT_H_

#include <cstdint>

#include "foundation/ustring.h"

// The largest signed 64-bit value. As `m_sync_id` (and `m_max_id`) it marks
// a server event made up for a forced download: such an event gives way to
// any other server event of the same path.
constexpr uint64_t MAX_SYNC_ID = 0x7FFFFFFFFFFFFFFF;

class Event {
 public:
  enum Type : int32_t {
    EV_EMPTY = 0,  // no event: an empty slot
    EV_CREATE = 1,
    EV_REMOVE = 2,
    EV_MODIFY = 3,
    EV_RENAME = 4,
  };

  // Bits of m_mode.
  enum : uint32_t {
    F_DIR = 1,     // a folder (clear: a file)
    F_SERVER = 2,  // from the server (clear: a local change)
    F_EXPAND = 4,  // list the folder into further events; never in the pending-event tree
    F_RESCAN = 8,  // the expand is a rescan (with F_EXPAND and F_DIR)
    F_MERGE = 16,  // the rescan was asked with the merge option
    F_EXCEP = 32,  // carried only
    // Set by the pending-event tree; any of the four makes the worker rescan
    // the folder's contents.
    F_LOCAL_SUBDIR_RESCAN = 64,
    F_SERVER_SUBDIR_RESCAN = 128,
    F_LOCAL_SUBDIR_RESCAN_STAT = 256,
    F_SERVER_SUBDIR_RESCAN_STAT = 512,
    F_CONFLICT = 1024,  // both sides changed the file; set by the tree's merge
  };
  static constexpr uint32_t kSubDirRescanBits =
      F_LOCAL_SUBDIR_RESCAN | F_SERVER_SUBDIR_RESCAN | F_LOCAL_SUBDIR_RESCAN_STAT |
      F_SERVER_SUBDIR_RESCAN_STAT;

  // Empty: EV_EMPTY, every number 0, every text "".
  Event();
  Event(const Event& other);
  Event& operator=(const Event& other);
  ~Event();

  // Back to the state of a newly constructed event.
  void clear();

  bool isValid() const { return m_type != EV_EMPTY; }
  bool isServerEvent() const { return (m_mode & F_SERVER) != 0; }
  bool isLocalEvent() const { return (m_mode & F_SERVER) == 0; }
  bool isDir() const { return (m_mode & F_DIR) != 0; }
  bool isFile() const { return (m_mode & F_DIR) == 0; }
  bool isExpand() const { return (m_mode & F_EXPAND) != 0; }
  bool isRescan() const { return (m_mode & F_RESCAN) != 0; }
  bool isMerge() const { return (m_mode & F_MERGE) != 0; }
  bool isConflict() const { return (m_mode & F_CONFLICT) != 0; }
  bool isSubDirRescan() const { return (m_mode & kSubDirRescanBits) != 0; }
  bool isLocalSubDirRescan() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN) != 0; }
  bool isServerSubDirRescan() const { return (m_mode & F_SERVER_SUBDIR_RESCAN) != 0; }
  bool isLocalSubDirRescanWithStat() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN_STAT) != 0; }
  bool isServerSubDirRescanWithStat() const { return (m_mode & F_SERVER_SUBDIR_RESCAN_STAT) != 0; }

  void setServerEvent() { m_mode |= F_SERVER; }
  void setDir() { m_mode |= F_DIR; }
  void setFile() { m_mode &= ~static_cast<uint32_t>(F_DIR); }
  void setExpand() { m_mode |= F_EXPAND; }
  void setRescan() { m_mode |= F_RESCAN; }
  void setMerge() { m_mode |= F_MERGE; }
  void setConflict() { m_mode |= F_CONFLICT; }
  void setLocalSubDirRescan() { m_mode |= F_LOCAL_SUBDIR_RESCAN; }
  void setServerSubDirRescan() { m_mode |= F_SERVER_SUBDIR_RESCAN; }
  void setLocalSubDirRescanWithStat() { m_mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
  void setServerSubDirRescanWithStat() { m_mode |= F_SERVER_SUBDIR_RESCAN_STAT; }

  // Exchanges every field with `other`.
  void swap(Event& other) noexcept;

  // One line for log messages, paths in UTF-8:
  //   Event<EV_ADD>: [0] /a/b.txt (local,file) size = 12, hash = <hash>
  //   Event<EV_RENAME>: from '/a', to '/b' size = 12, hash = <hash>
  // The tag is "local"/"server", ",file"/",dir" and ",expand" when set;
  // EV_CREATE prints as "EV_ADD"; a type outside the enumeration prints its
  // number. Folders have no size and hash part.
  ustring toString() const;

  Type m_type;
  uint32_t m_mode;
  uint64_t m_sync_id;      // server's change number; 0 for local events
  uint64_t m_max_id;       // the change record's "max_id"; 0 for local events
  uint64_t m_data_size;    // bytes
  uint32_t m_time;         // modification time, seconds since 1970
  ustring m_data_hash;     // content hash
  ustring m_path;          // "/"-separated, from the session root; the old path of a rename
  ustring m_opt;           // the new path of a rename; of a rescan, the path an earlier pass stopped at
  ustring m_mac_attr_hash; // hash of the extended-attribute data
  uint64_t m_mac_attr_size;
  uint64_t m_sess_id;
  uint32_t m_exec_bit;
};

typedef Event Event_T;

#endif  // SESSION_EVENT_H_
