// Folder expansion, rescans and the expansion of subfolder-rescan events:
// each turns a folder event into per-path events in the queue.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>
#include <utility>

#include "foundation/file_op.h"
#include "session/event_generator.h"
#include "session/event_manager.h"
#include "session/file_event_db.h"
#include "session/session_path.h"
#include "session/string_buffer.h"
#include "worker/compare_file_list.h"
#include "worker/walk.h"
#include "worker/walk_folders.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// `folder` + `rel` for a session path `folder` ("/" adds nothing).
ustring SessionJoin(const ustring& folder, const ustring& rel) {
  if (folder == "/") return rel;
  ustring out = folder;
  out += rel;
  return out;
}

// The worker's decisions go straight into the event queue; with a batch,
// only those of the rescan's current pass.
class QueueSink : public CompareSink {
 public:
  using Abort = std::atomic<int>;
  QueueSink(const Abort& abort, RescanBatch* batch, std::function<void(const ustring&, bool)> upload,
            std::function<void(const ustring&, bool)> remove, std::function<void(const ustring&, bool)> download,
            std::function<bool(const ustring&, bool)> held_back)
      : abort_(abort),
        batch_(batch),
        upload_(std::move(upload)),
        remove_(std::move(remove)),
        download_(std::move(download)),
        held_back_(std::move(held_back)) {}

  bool Aborted() override {
    if (abort_.load() != 0) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CompareFileList: user stopped\n");
      return true;
    }
    if (batch_ != nullptr && batch_->Filled()) batch_->full = true;
    return false;
  }
  void Upload(const ustring& path, bool is_dir) override {
    if (Skip(path)) return;
    upload_(path, is_dir);
    Count(path);
  }
  void Remove(const ustring& path, bool is_dir) override {
    if (Skip(path)) return;
    remove_(path, is_dir);
    Count(path);
  }
  void Download(const ustring& path, bool is_dir) override {
    if (Skip(path)) return;
    download_(path, is_dir);
    Count(path);
  }
  // A path another pass decides is not looked at here (the sink records
  // what it holds back).
  bool HeldBack(const ustring& path, bool is_dir) override { return Skip(path) || held_back_(path, is_dir); }
  void Same(const ustring& path) override {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): CompareFileList: skipping: %s\n", path.c_str_utf8());
  }
  // A folder after the point an earlier pass stopped at was decided with
  // its contents; once the pass is full only the folders above its last
  // decision are.
  bool Wants(const ustring& path) override {
    if (batch_ == nullptr) return true;
    if (!batch_->after.empty() && CompareWalkOrder(path, batch_->after) >= 0) return false;
    return !(batch_->full || batch_->Filled()) || RescanBatch::Below(batch_->last, path);
  }

 private:
  bool Skip(const ustring& path) const {
    return batch_ != nullptr && (batch_->Decided(path) || batch_->Left(path));
  }
  void Count(const ustring& path) {
    if (batch_ == nullptr || batch_->full) return;
    ++batch_->pushed;
    batch_->last = path;
  }

  const Abort& abort_;
  RescanBatch* batch_;
  std::function<void(const ustring&, bool)> upload_;
  std::function<void(const ustring&, bool)> remove_;
  std::function<void(const ustring&, bool)> download_;
  std::function<bool(const ustring&, bool)> held_back_;
};

// The rescan's listings, one folder at a time: the disk through a
// WalkFolders (bounded descriptors, links never followed) and the records
// from the event database.
class DiskAndRecords : public FolderSource {
 public:
  // `full`: the rescanned folder on disk; `path`: the same as a session
  // path. `msdos`: times in even seconds.
  DiskAndRecords(const ustring& full, const ustring& path, bool msdos, FileEventDB* db,
                 const std::atomic<int>& abort_flag)
      : full_(full), path_(path), msdos_(msdos), db_(db), abort_(abort_flag), folders_(true) {}

  int Enter(const ustring& rel, bool on_disk, bool recorded, FolderListing& out) override {
    if (abort_.load() != 0) {
      WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): Traversing '%s' ... abort\n", full_.c_str_utf8());
      return -1;
    }
    const ustring path = rel.empty() ? path_ : SessionJoin(path_, rel);
    if (recorded && db_->getFolderList(&out.records, path) < 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): cannot list the records in '%s'\n", path.c_str_utf8());
      return -1;
    }
    if (!on_disk) return 0;
    ustring full = full_;
    full += rel;
    std::vector<DIR_ENTRY> entries;
    const WalkFolders::Listing listing =
        folders_.Enter(rel.empty() ? full_ : rel.substr(rel.find_last_of('/') + 1), &entries);
    // The working folder is left out of the session folder's listing and
    // of its count.
    const bool session_root = rel.empty() && path_ == "/";
    int count = 0;
    for (DIR_ENTRY& entry : entries) {
      if (session_root && IsWorkingDirName(entry.name)) continue;
      ++count;
      if (entry.type != FT_FILE && entry.type != FT_DIR) continue;
      ustring name = "/";
      name += entry.name;
      if (full.length() + name.length() >= PATH_MAX) {
        // Every later step opens it by path: never listed, so its record
        // (and everything below) must not look deleted.
        WORKER_LOG(L_WARNING, "[WARNING] worker(%d): '%s%s' is too long a path to be synchronised, kept out\n",
                   full.c_str_utf8(), name.c_str_utf8());
        KeepOut(out, rel, std::move(name));
        continue;
      }
      if (msdos_) entry.mtime &= ~1u;
      FileList::Attribute attr;
      attr.mtime = entry.mtime;
      if (entry.type == FT_FILE) {
        attr.size = entry.size;
        (void)out.disk.AddFile(0, entry.name.c_str_utf8(), attr);  // a refused name is simply not compared
      } else if (out.disk.AddDirectory(0, entry.name.c_str_utf8(), attr) < 0) {
        KeepOut(out, rel, std::move(name));  // its contents stay unknown
      }
    }
    if (listing == WalkFolders::Listing::kOpenFailed) {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSOpenDir(%s)\n", full.c_str_utf8());
      out.unknown = true;
    } else if (listing == WalkFolders::Listing::kReadFailed) {
      WORKER_LOG(L_WARNING, "[WARNING] worker(%d): FSReadDir(%s)\n", full.c_str_utf8());
      out.unknown = true;
    } else if (count == 0) {
      StringBuffer below_buffer;
      FileList below(below_buffer);
      out.unknown = db_->getFileListWithoutRecursive(&below, path) < 0 || below.rbegin() != below.rend();
    }
    if (out.unknown) Unknown(rel);
    return 0;
  }

  void Leave(const ustring& /*rel*/, bool on_disk) override {
    if (on_disk) folders_.Leave();
  }

 private:
  void Unknown(const ustring& rel) const {
    WORKER_LOG(L_WARNING,
               "[WARNING] worker(%d): '%s%s' cannot be listed or lists nothing, its records are kept out of the "
               "rescan\n",
               full_.c_str_utf8(), rel.c_str_utf8());
  }
  void KeepOut(FolderListing& out, const ustring& rel, ustring name) const {
    ustring below = rel;
    below += name;
    Unknown(below);
    out.kept_out.push_back(std::move(name));
  }

  const ustring full_;
  const ustring path_;
  const bool msdos_;
  FileEventDB* const db_;
  const std::atomic<int>& abort_;
  WalkFolders folders_;
};

}  // namespace

// ---- Walk and its handlers ----

bool IsWorkingDirName(const ustring& name) { return ustring::compare(name, kWorkingDirName, true) == 0; }

bool ExpandHandler::Skip(const DIR_ENTRY& entry, const ustring& full) const {
  return full.length() == root_len + 1 + entry.name.length() && IsWorkingDirName(entry.name);
}

bool ExpandHandler::operator()(const DIR_ENTRY& entry, const ustring& full) {
  if (entry.type != FT_DIR && entry.type != FT_FILE) return false;
  const ustring path = full.substr(root_len);
  if (pass != nullptr && !pass->after.empty() && CompareWalkOrder(path, pass->after) <= 0) {
    // An earlier pass looked at it; only a folder above where that pass
    // stopped has entries still to come.
    return entry.type == FT_DIR && RescanBatch::Below(pass->after, path);
  }
  if (entry.type == FT_FILE && as_recorded && as_recorded(full, path)) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ExpandHandler: '%s' is as recorded, not pushed\n", full.c_str_utf8());
    return true;
  }
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ExpandHandler push local event: %s\n", full.c_str_utf8());
  (void)generator->PushUploadEvent(reg, path, entry.type == FT_DIR);  // 0 only for a path it drops, logged
  if (pass != nullptr) {
    ++pass->pushed;
    pass->last = path;
  }
  return true;
}

// ---- The pushes ----

void Worker::PushUploadEvent(const ustring& path, bool is_dir) {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PushUploadEvent: %s\n", path.c_str_utf8());
  (void)generator_.PushUploadEvent(context.root_entry, path, is_dir);  // 0 only for a path it drops, logged
}

void Worker::PushRemoveEvent(const ustring& path, bool is_dir) {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): PushRemoveEvent: %s\n", path.c_str_utf8());
  (void)generator_.PushLocalRemoveEvent(context.root_entry, path, is_dir);  // as above
}

void Worker::PushDownloadEvent(const ustring& path, bool is_dir) {
  (void)generator_.PushDownloadEvent(context.root_entry, path, is_dir);  // as above
}

// ---- Expand and Rescan ----

ErrorCode Worker::Expand() {
  const ustring& full = GetFullPath();
  const ustring path = GetPath();
  WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): expanding directory '%s'\n", GetId(), full.c_str_utf8());
  ExpandHandler handler;
  handler.reg = context.root_entry;
  handler.generator = &generator_;
  // The session folder's length: for "/" the full path is the session
  // folder itself, and cutting the event path's length would leave its
  // last byte in front of every pushed path.
  handler.root_len = context.root_entry.local_path.length();
  handler.as_recorded = [this](const ustring& file, const ustring& rel) { return AsRecorded(file, rel); };
  // A continuation carries in m_opt the path its earlier pass stopped at.
  RescanBatch pass;
  pass.after = context.current_event.m_opt;
  pass.room = rescan_batch_;
  handler.pass = &pass;
  if (!pass.after.empty()) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): expansion of '%s' resumes after '%s'\n", GetId(),
               path.c_str_utf8(), pass.after.c_str_utf8());
  }
  if (Walk(full, handler, kWalkSorted, &abort_flag) < 0) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): interrupted while expanding '%s'\n", full.c_str_utf8());
    return ERR_INT;
  }
  if (pass.Filled()) QueueRest("expansion", path, pass);
  return ERR_OK;
}

bool Worker::AsRecorded(const ustring& full, const ustring& path) {
  // A name the upload would rename first, or one whose content must be
  // hashed every time, goes the upload's way as before.
  const size_t slash = path.find_last_of('/');
  const ustring base = slash == ustring::npos ? path : path.substr(slash + 1);
  if (base.empty() || NameToRename(base)) return false;
  const ForceHashCheckListCpp* force = GetForceHashCheckList();
  if (force != nullptr && force->Test(base) != 0) return false;
  FileEventDB* db = GetEventDatabase();
  DBFileInfo record;
  if (db == nullptr || db->getEventInfo(path, record) != 1 || record.syncID == 0 || record.fileType != 0) {
    return false;
  }
  FILE_INFO info;
  if (FSStat(full, info, true) < 0 || !info.isExist || info.type != FT_FILE) return false;
  if (context.root_entry.isMSDOS) info.mtime &= ~1u;
  // The upload's weak check: same size and time, and the record's
  // signature in place (without it the file is read and sent again).
  return info.size == record.fileSize && info.mtime == record.fileModTime &&
         IsFileExist(record.signaturePath, true);
}

ErrorCode Worker::Rescan() {
  const ErrorCode r = RescanPass();
  // The pass's listings and the copies its pushes made are freed by now,
  // but the allocator keeps their pages in this thread's arena; the next pass runs on whichever worker pulls it, in
  // another arena, and the two would add up.
  (void)malloc_trim(0);  // only says whether memory was given back
  return r;
}

ErrorCode Worker::RescanPass() {
  const ustring& full = GetFullPath();
  const ustring path = GetPath();
  WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): rescaning directory '%s'\n", GetId(), full.c_str_utf8());
  // A continuation carries in m_opt the path its earlier pass stopped at.
  RescanBatch batch;
  batch.after = context.current_event.m_opt;
  batch.room = rescan_batch_;
  if (!batch.after.empty()) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): rescan of '%s' resumes after '%s'\n", GetId(),
               path.c_str_utf8(), batch.after.c_str_utf8());
  }
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): cannot list the records below '%s'\n", GetId(),
               path.c_str_utf8());
    return ERR_INT;
  }
  // Folder by folder: the pass holds the listings of the folders from the
  // rescanned one down to the one in hand, not the whole tree's.
  DiskAndRecords source(full, path, context.root_entry.isMSDOS, db, abort_flag);
  std::unique_ptr<CompareSink> sink = QueueSinkFor(&batch);
  if (CompareFolders(path, source, context.current_event.isMerge(), *sink) < 0) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): interrupted while rescaning '%s'\n", full.c_str_utf8());
    return ERR_INT;
  }
  if (batch.full) QueueRest("rescan", path, batch);
  return ERR_OK;
}

void Worker::QueueRest(const char* what, const ustring& path, const RescanBatch& pass) {
  // The rest waits until the session's queue has handed this pass out: a
  // continuation goes behind its events, and finds the paths it decides on
  // disk and in the records as they are then.
  Event next = context.current_event;
  next.m_opt = pass.last;
  WORKER_LOG(L_INFO, "[INFO] worker(%d): Worker (%d): %s of '%s' queued %zu events, continues after '%s'\n", GetId(),
             what, path.c_str_utf8(), pass.pushed, pass.last.c_str_utf8());
  events_.ContinueRescan(this, next);
}

int Worker::CompareFileList(const ustring& root, const FileList& fs_list, const FileList& db_list, bool do_merge,
                            const std::vector<ustring>& unlisted, RescanBatch* batch) {
  return CompareFileLists(root, fs_list, db_list, do_merge, unlisted, *QueueSinkFor(batch));
}

std::unique_ptr<CompareSink> Worker::QueueSinkFor(RescanBatch* batch) {
  const uint64_t sess_id = context.current_event.m_sess_id;
  return std::make_unique<QueueSink>(
      abort_flag, batch,
      [this](const ustring& p, bool d) {
        WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): CompareFileList: '%s' is new or locally modified ...\n",
                   p.c_str_utf8());
        PushUploadEvent(p, d);
      },
      [this](const ustring& p, bool d) { PushRemoveEvent(p, d); },
      [this](const ustring& p, bool d) { PushDownloadEvent(p, d); },
      [this, sess_id](const ustring& p, bool d) { return TestFilteredDeleteEvent(sess_id, p, d); });
}

// ---- One level, for subfolder rescans and folder deletes ----

int Worker::BuildLocalFileListWithoutResursive(const ustring& path, FileList& flist) {
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): BuildLocalFileListWithoutResursive: path '%s'\n", path.c_str_utf8());
  DIR_HANDLE dh;
  (void)FSOpenDir(path, 1, dh);  // always 0: the first read opens
  DIR_ENTRY entry;
  int rc;
  bool opened = false;
  while ((rc = FSReadDir(dh, entry)) > 0) {
    opened = true;
    const ustring& name = entry.name;
    if (name == "." || name == ".." || IsWorkingDirName(name)) continue;
    if (abort_flag.load() != 0) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): BuildLocalFileListWithoutResursive: user stopped\n");
      (void)FSCloseDir(dh);
      return -1;
    }
    if (entry.type == FT_FILE) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): BuildLocalFileList: add file '%s' (%u, %llu, %s)\n", name.c_str_utf8(),
                 entry.mtime, static_cast<ull>(entry.size), "");
      (void)flist.AddFile(0, name.c_str_utf8(), entry.mtime, entry.size, ustring());  // a refused name is not compared
    } else if (entry.type == FT_DIR) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): BuildLocalFileList: add dir '%s' (%u, %s)\n", name.c_str_utf8(),
                 entry.mtime, "");
      (void)flist.AddDirectory(0, name.c_str_utf8(), entry.mtime, ustring());  // as above
    }
  }
  if (rc < 0 && !opened) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): BuildLocalFileListWithoutResursive: Failed to open directory '%s'\n",
               path.c_str_utf8());
  }
  (void)FSCloseDir(dh);
  return 0;
}

int Worker::ExpandLocalDeleteEvent(const ustring& path) {
  ustring dir = context.root_entry.local_path;
  if (path != "/") dir += path;
  StringBuffer buffer;
  FileList db_list(buffer);
  FileList fs_list(buffer);
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr || db->getFileListWithoutRecursive(&db_list, path) < 0 ||
      BuildLocalFileListWithoutResursive(dir, fs_list) < 0 || CompareFileList(path, fs_list, db_list, false) < 0) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): interrupted while expanding local delete event (%s)\n",
               path.c_str_utf8());
    return -1;
  }
  return 0;
}

int Worker::ExpandServerDeleteEvent(const ustring& path, uint64_t /*sess_id: not used*/, uint64_t sync_id) {
  StringBuffer buffer;
  FileList list(buffer);
  FileEventDB* db = GetEventDatabase();
  if (db == nullptr || db->getFileListWithoutRecursive(&list, path, sync_id) < 0) {
    WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): interrupted while expanding server delete event (%s)\n",
               path.c_str_utf8());
    return -1;
  }
  for (FileList::reverse_iterator it = list.rbegin(); it != list.rend(); ++it) {
    if (abort_flag.load() != 0) {
      WORKER_LOG(L_NOTICE, "[NOTICE] worker(%d): interrupted while expanding server delete event (%s)\n",
                 path.c_str_utf8());
      return -1;
    }
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ExpandServerDeleteEvent: [%s] db_path [%s].\n", path.c_str_utf8(),
               it->path.c_str_utf8());
    (void)generator_.PushServerRemoveEvent(context.root_entry, SessionJoin(path, it->path), it->is_dir(), sync_id, sync_id);  // as above
  }
  return 0;
}

ErrorCode Worker::ExpandDeleteEvent() {
  const Event& ev = context.current_event;
  if ((ev.m_mode & (Event::F_LOCAL_SUBDIR_RESCAN | Event::F_LOCAL_SUBDIR_RESCAN_STAT)) != 0) {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ExpandLocalDeleteEvent event: %s\n", ev.toString().c_str_utf8());
    }
    if (ExpandLocalDeleteEvent(ev.m_path) < 0) return ERR_INT;
  }
  if ((ev.m_mode & (Event::F_SERVER_SUBDIR_RESCAN | Event::F_SERVER_SUBDIR_RESCAN_STAT)) != 0) {
    if (worker_log::On(Logger::L_DEBUG)) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ExpandServerDeleteEvent event: %s\n", ev.toString().c_str_utf8());
    }
    if (ExpandServerDeleteEvent(ev.m_path, ev.m_sess_id, ev.m_sync_id) < 0) return ERR_INT;
  }
  return ERR_OK;
}

void Worker::CreateDirSelfEvent() {
  const Event& ev = context.current_event;
  if (worker_log::On(Logger::L_DEBUG)) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): CreateDirSelfEvent event: %s\n", ev.toString().c_str_utf8());
  }
  if (!ev.isLocalSubDirRescanWithStat() && !ev.isServerSubDirRescanWithStat()) {
    Event copy = ev;
    copy.m_mode = Event::F_DIR;
    if (ev.isServerEvent()) {
      events_.PushServerEvent(copy);
    } else {
      events_.PushLocalEvent(copy);
    }
    if (worker_log::On(Logger::L_INFO)) {
      WORKER_LOG(L_INFO, "[INFO] worker(%d): CreateDirSelfEvent: create self event [%s].\n",
                 copy.toString().c_str_utf8());
    }
    return;
  }
  FILE_INFO info;
  if (GetFilesystemInfo(info) < 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): CreateDirSelfEvent: failed to get local file system info of '%s'\n",
               GetFullPath().c_str_utf8());
    return;
  }
  if (info.isExist) {
    PushUploadEvent(ev.m_path, true);
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CreateDirSelfEvent: upload [%s].\n", ev.m_path.c_str_utf8());
  } else {
    PushDownloadEvent(ev.m_path, true);
    WORKER_LOG(L_INFO, "[INFO] worker(%d): CreateDirSelfEvent: download [%s].\n", ev.m_path.c_str_utf8());
  }
}
