// SessionFolders: the daemon's working folder (local/.ZarqelonWorkingDirectory)
// and the recycle folder inside it (…/#ZarqRecycle), held to being real
// folders of the session.
//
// Anything that moves, writes or deletes inside either folder goes through
// here first. A link planted at either name (or a file, or a file system
// mounted there) would otherwise carry recycled files, received bodies and
// deltas out of the session, and let the recycle purge delete the link
// target's content. Each folder is opened from its parent's descriptor with
// O_DIRECTORY|O_NOFOLLOW and must lie on the session folder's device; the
// session folder itself is the user's choice and may be reached through a
// link.
//
// When a folder is not real, nothing is done through it: an ERROR is
// logged, the user interface gets a session error (ERR_SYS), the entry at
// its name is unlinked (a link itself, never its target) and a real folder
// is made in its place. A mount there is left alone and stays an error.
//
// Threads: any; no state beyond the names given, no lock. Several threads
// repairing one folder at once is harmless: each unlink and mkdir result
// that another thread already achieved counts as done.
#ifndef SESSION_SESSION_FOLDERS_H_
#define SESSION_SESSION_FOLDERS_H_

#include <cstdint>

#include "foundation/ustring.h"
#include "platform/unique_fd.h"

class SessionFolders {
 public:
  enum class Which { kWorking, kRecycle };

  // `local_path` is the session's folder; `conn_id` and `sess_id` name the
  // session in the report to the user interface.
  SessionFolders(ustring local_path, uint64_t conn_id, uint64_t sess_id);

  // local_path + "/" + kWorkingDirName, and that + "/" + kRecycleDirName.
  const ustring& working() const { return working_; }
  const ustring& recycle() const { return recycle_; }

  // Opens both folders, from the session folder down, as real folders of
  // the session, making a missing one and repairing one that is not real,
  // as above. 0 with *out holding an O_DIRECTORY descriptor of the folder
  // `which`; else -1 (logged; *out invalid): the session folder cannot be
  // opened, or a folder cannot be made real. Work done through the
  // descriptor (the *at calls) cannot be led elsewhere by a later change of
  // either name.
  int Open(Which which, platform::UniqueFd* out) const;

  // Open and close: both folders are real right now. For callers that must
  // go on by path (a temporary file named by its path, a reader that opens
  // by path): call it right before the act. 0 or -1 as Open.
  int Ensure() const;

 private:
  // The child `name` of the open folder `parent` as a real folder on
  // `dev`: opened, made when missing, repaired when not real. A valid
  // descriptor, or an invalid one after an ERROR.
  platform::UniqueFd OpenChild(int parent, const char* name, const ustring& full, dev_t dev) const;
  // Logs that `full` is not a real folder (`what` says what it is) and
  // reports the session error.
  void Report(const ustring& full, const char* what) const;

  ustring local_path_;
  ustring working_;
  ustring recycle_;
  uint64_t conn_id_;
  uint64_t sess_id_;
};

// Whether `path` names a real folder: lstat says a folder (a link to one is
// not). For checks on single paths; any thread.
bool IsRealFolder(const ustring& path);

#endif  // SESSION_SESSION_FOLDERS_H_
