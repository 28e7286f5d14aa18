// Download conflicts: whether the local object holds changes that the
// server's version would destroy, and what is done with it before the new
// object takes its path.
#include <climits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/conflict_rename.h"
#include "session/file_event_db.h"
#include "session/file_list.h"
#include "session/string_buffer.h"
#include "transport/error_code.h"
#include "worker/walk_folders.h"
#include "worker/worker.h"
#include "worker/worker_fs.h"
#include "worker/worker_log.h"

namespace {

struct Recorded {
  bool is_dir = false;
  uint64_t size = 0;
  uint32_t mtime = 0;
};

// Walks the folder `dir` and reports whether any entry is missing from
// `records` (keyed by the path below `dir`, "/a/b") or differs from its
// record. A folder that cannot be listed counts as changed, and so does an
// entry whose path does not fit PATH_MAX: no step can sync it, so the
// server cannot hold its bytes. Iterative, with the descriptors of
// WalkFolders; stops at the first difference.
bool SubtreeDiffers(const ustring& dir, const std::map<std::string, Recorded>& records, bool msdos) {
  struct Frame {
    std::string full;  // the folder's full path
    std::string rel;   // its path below `dir`; "" for `dir` itself
    std::vector<DIR_ENTRY> entries;
    size_t next = 0;
  };
  WalkFolders folders(true);
  std::vector<Frame> frames;
  frames.push_back(Frame{dir.c_str_utf8(), "", {}, 0});
  if (folders.Enter(dir, &frames.back().entries) != WalkFolders::Listing::kListed) return true;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next == frame.entries.size()) {
      frames.pop_back();
      folders.Leave();
      continue;
    }
    const DIR_ENTRY& entry = frame.entries[frame.next++];
    const std::string name = entry.name.c_str_utf8();
    std::string full = frame.full + "/" + name;
    if (full.size() >= PATH_MAX) {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): '%s' is too long a path to be synchronised, kept as a change\n",
                 full.c_str());
      return true;
    }
    std::string path = frame.rel + "/" + name;
    const auto it = records.find(path);
    if (it == records.end()) return true;
    if (entry.type == FT_DIR) {
      if (!it->second.is_dir) return true;
      Frame child{std::move(full), std::move(path), {}, 0};
      if (folders.Enter(entry.name, &child.entries) != WalkFolders::Listing::kListed) return true;
      frames.push_back(std::move(child));  // `frame` and `entry` are invalid from here
    } else if (entry.type == FT_FILE) {
      const uint32_t mtime = msdos ? entry.mtime & ~1u : entry.mtime;
      if (it->second.is_dir || it->second.size != entry.size || it->second.mtime != mtime) return true;
    } else {
      return true;  // links and special files are never recorded
    }
  }
  return false;
}

}  // namespace

bool Worker::LocalFolderChanged() {
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) return true;
  StringBuffer buf;
  FileList list(buf);
  if (db->getFileList(&list, GetPath()) != 0) return true;
  std::map<std::string, Recorded> records;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    records[it->path.c_str_utf8()] = Recorded{it->is_dir(), it->attr.size, it->attr.mtime};
  }
  return SubtreeDiffers(GetFullPath(), records, context.root_entry.isMSDOS);
}

Worker::Verdict Worker::TestDownloadConflict(const FILE_INFO& local, const DBFileInfo& record, const PObject& reply) {
  const bool is_dir = reply["is_dir"].asBool();
  const uint64_t size = reply["file"]["size"].asUInt64();
  const ustring hash = reply["file"]["hash"].asString();
  const bool has_record = record.syncID != 0;
  bool candidate = false;
  bool to_content = false;  // on to the content test, with or without a candidate

  if (!has_record) {
    if (!local.isExist) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis is not changed (vanish).\n");
      return Verdict::kUnchanged;
    }
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis does not appear in database.\n");
  } else if (!local.isExist) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file vanished.\n");
  } else if (local.type == FT_DIR) {
    if (record.fileType != 0) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file is unchanged (dir)\n");
      return Verdict::kUnchanged;
    }
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file appears as FILE in database, but now it is a directory\n");
  } else if (record.fileType == 1) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis appears as DIR in database, but now it is a file\n");
  } else if (local.size != record.fileSize) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file is modified (size not match) \n");
  } else {
    to_content = true;
  }

  if (!to_content) {
    // No content test: the local object's kind and size against the server's.
    if (!local.isExist) return Verdict::kVanished;
    if (local.type == FT_DIR) return is_dir ? Verdict::kAlreadyServer : Verdict::kConflict;
    if (is_dir || size != local.size) return Verdict::kConflict;
    candidate = true;
  }

  ustring md4;
  if (local.type == FT_FILE) {
    if (basis_md4_.Take(GetFullPath(), abort_flag, md4)) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file unchanged since it was read, MD4 of that read taken\n");
    } else if (CalculateMD4(GetFullPath(), md4) != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): CheckBasisFile: Failed to calculate checksum for basis file\n");
      return Verdict::kUnreadable;
    }
    if (has_record && md4 != record.fileCheckSum) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file is locally modified\n");
      candidate = true;  // on to the comparison with the server's version
    }
  }
  if (!candidate) return Verdict::kUnchanged;
  if (!is_dir && local.type == FT_FILE && md4 == hash) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CheckBasisFile: Basis file is the same as the remote file, we are done.\n");
    return Verdict::kAlreadyServer;
  }
  return Verdict::kConflict;
}

ErrorCode Worker::HandleDownloadConflict(const PObject& reply) {
  const ustring& full = GetFullPath();
  // Taken before the test reads the content: a save during the test shows.
  const LocalStamp before = StampOf(full);
  checked_local_ = LocalStamp();
  FILE_INFO local;
  if (GetFilesystemInfo(local) < 0) return ERR_SYS;
  if (!local.isExist) {
    checked_local_ = before;
    return ERR_OK;
  }
  const DBFileInfo record = context.database_record;
  const Verdict t = TestDownloadConflict(local, record, reply);
  if (t == Verdict::kUnreadable) return ERR_SYS;
  if (t == Verdict::kConflict) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): HandleDownloadConflict: conflict occurs, resolve conflict first\n",
               GetId());
    if (ConflictRename(full, context.connection.getConnectionInfo().computer_name, "Conflict") < 0) {
      // The local object cannot be moved aside (a mount point, a folder
      // that refuses it): the change waits for it, told once.
      return KeepPending(ERR_SYS, "local version cannot be moved aside");
    }
    checked_local_ = StampOf(full);
    return ERR_OK;
  }
  if (t == Verdict::kAlreadyServer || t == Verdict::kVanished) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): HandleDownloadConflict: no conflict, keep going\n", GetId());
    checked_local_ = before;
    return ERR_OK;
  }
  const bool is_dir = reply["is_dir"].asBool();
  const bool jump = (local.type == FT_DIR && !is_dir) || (local.type == FT_FILE && is_dir);
  if (!jump) {
    checked_local_ = before;
    return ERR_OK;
  }
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): Worker (%d): HandleDownloadConflict: no conflict with type jump\n", GetId());
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  if (local.type == FT_DIR) {
    // The folder matched its own record, which says nothing of what lies
    // inside: anything its records do not describe keeps the folder under a
    // conflict name; otherwise it is recycled with its rows.
    if (LocalFolderChanged()) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): HandleDownloadConflict: folder '%s' holds local changes, keep it\n",
                 GetId(), full.c_str_utf8());
      if (ConflictRename(full, context.connection.getConnectionInfo().computer_name, "Conflict") < 0 ||
          RemoveDatabaseInfo() != 0) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveDirectory: Failed to remove '%s'\n", full.c_str_utf8());
        return ERR_SYS;
      }
    } else {
      const Recycled recycled = RenameRemoveDirectory();
      if (recycled == Recycled::kKeptInPlace) {
        // A mounted folder stays where it is: the server's file cannot take
        // its place until it is gone. The change waits, told once.
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveDirectory: Failed to remove '%s'\n", full.c_str_utf8());
        return KeepPending(ERR_LOCKED_FILE, "on another file system, left in place");
      }
      if (recycled != Recycled::kRecycled) {
        WORKER_LOG(L_ERR, "[ERROR] worker(%d): RemoveDirectory: Failed to remove '%s'\n", full.c_str_utf8());
        return ERR_SYS;
      }
      registry_.InitRecycleTime(context.root_entry, now);
    }
  } else {
    // Already checked against its record: recycled, never deleted.
    if (RenameRemoveFile() != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): DownloadRemote: type jump, but can not remove basis.\n");
      return ERR_SYS;
    }
    registry_.InitRecycleTime(context.root_entry, now);
  }
  checked_local_ = StampOf(full);
  return ERR_OK;
}
