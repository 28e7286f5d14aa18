#include "session/detector.h"

#include <sys/epoll.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "foundation/file_op.h"
#include "foundation/logger.h"
#include "platform/ascii_case.h"
#include "platform/inotify_change_source.h"
#include "session/db_file_info.h"
#include "session/event_manager.h"
#include "session/own_changes.h"
#include "session/registry.h"
#include "session/session_folders.h"
#include "session/session_path.h"

namespace {

constexpr char kComp[] = "detector_debug";

#define DET_LOG(level, ...) LOG_WITH_LINE(level, kComp, __VA_ARGS__)

// A move out still unpaired after this long is a removal even when other
// sessions keep the wait from timing out. The kernel queues a rename's two
// halves back to back, so its pair is never this late.
constexpr auto kPairWait = std::chrono::milliseconds(1000);
constexpr int kMaxReady = 64;  // per epoll_wait; more wait for the next pass

const char* ActionName(uint32_t action) {
  static const char* const names[] = {"FILE_ACTION_UNKNOWN",          "FILE_ACTION_ADDED",
                                      "FILE_ACTION_REMOVED",          "FILE_ACTION_MODIFIED",
                                      "FILE_ACTION_RENAMED_OLD_NAME", "FILE_ACTION_RENAMED_NEW_NAME"};
  return action <= 5 ? names[action] : names[0];
}

int MakeInotifySource(const std::string& root, std::unique_ptr<platform::ChangeSource>* out) {
  platform::InotifyOptions options;
  options.private_folder = kWorkingDirName;
  options.private_subfolder = kRecycleDirName;
  std::unique_ptr<platform::InotifyChangeSource> source;
  int err = platform::InotifyChangeSource::Create(root, options, &source);
  if (err == 0) *out = std::move(source);
  return err;
}

}  // namespace

Detector::Detector(TaskManager* owner, const DaemonTiming& timing) : Detector(owner, MakeInotifySource, timing) {}

Detector::Detector(TaskManager* owner, SourceFactory factory, const DaemonTiming& timing)
    : Task(owner, nullptr), factory_(std::move(factory)), timing_(timing), epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {
  if (!epoll_fd_.valid()) DET_LOG(L_ERR, "[ERROR] detector(%d): CreateEvent: Error Code: %d\n", errno);
}

Detector::~Detector() {
  Clear();
  SetState(STOP);
}

int Detector::AddWatch(const ustring& local_path, uint64_t sess_id) {
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): Detector add watch: %s\n", local_path.c_str_utf8());
  if (!epoll_fd_.valid()) {
    DET_LOG(L_ERR, "[ERROR] detector(%d): CreateEvent: Error Code: %d\n", EBADF);
    return -1;
  }
  // The folder's identity, to tell it from whatever may later take its
  // name. A root given as a link is resolved, as the source resolves it.
  FolderIdentity identity;
  if (!identity.Read(local_path.c_str_utf8())) {
    const int err = errno;
    DET_LOG(L_ERR, "[ERROR] detector(%d): CreateFile(%s): Error code: %d\n", local_path.c_str_utf8(),
            err);
    return -1;
  }
  CreateWorkingDirectory(local_path, sess_id);

  // The walk over the whole tree runs before `lock`: the source is this
  // call's alone until it is stored.
  std::unique_ptr<platform::ChangeSource> source;
  int err = factory_(local_path.c_str_utf8(), &source);
  if (err != 0 || source == nullptr) {
    if (err == ENOSPC) {
      DET_LOG(L_ERR,
              "[ERROR] detector(%d): cannot watch %s: the per-user limit of inotify watches is "
              "reached (raise fs.inotify.max_user_watches)\n",
              local_path.c_str_utf8());
    } else if (err == EMFILE) {
      DET_LOG(L_ERR,
              "[ERROR] detector(%d): cannot watch %s: the per-user limit of inotify instances is "
              "reached (raise fs.inotify.max_user_instances)\n",
              local_path.c_str_utf8());
    } else {
      DET_LOG(L_ERR, "[ERROR] detector(%d): CreateFile(%s): Error code: %d\n",
              local_path.c_str_utf8(), err);
    }
    return -1;
  }

  std::lock_guard<std::mutex> guard(lock);
  auto old = index.find(sess_id);
  if (old != index.end()) {
    ReleaseSource(old->second);
    index.erase(old);
  }
  cache.erase(sess_id);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = sess_id;
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, source->fd(), &ev) != 0) {
    DET_LOG(L_ERR, "[ERROR] detector(%d): ReadDirectoryChangesW: Error Code: %d\n", errno);
    return -1;
  }
  session_info& info = index[sess_id];
  info.source = std::move(source);
  info.path = local_path;
  info.identity = identity;
  return 0;
}

void Detector::ReleaseSource(session_info& info) {
  if (info.source != nullptr) {
    // Out of the set before the descriptor is closed: a number closed while
    // still in the set could be reused by another session's source.
    if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, info.source->fd(), nullptr) != 0) {
      DET_LOG(L_ERR, "[ERROR] detector(%d): CloseHandle: Error Code: %d\n", errno);
    }
    info.source.reset();
  }
  info.batch.Clear();
  info.pending_seen = false;
}

void Detector::RemoveWatch(uint64_t sess_id) {
  std::lock_guard<std::mutex> guard(lock);
  auto it = index.find(sess_id);
  if (it == index.end()) return;
  ReleaseSource(it->second);
  index.erase(it);
  cache.erase(sess_id);
  OwnChanges::Instance().Forget(sess_id);
}

void Detector::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  for (auto& [id, info] : index) {
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): session #%llu (%s) down\n",
            static_cast<unsigned long long>(id), info.path.c_str_utf8());
    ReleaseSource(info);
  }
  index.clear();
  cache.clear();
}

void Detector::DoTask() {
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): detector start\n");
  while (GetState() != STOP) {
    if (GetState() == PAUSE) {
      std::this_thread::sleep_for(timing_.pause_poll);
      continue;
    }
    int r = WaitHandle();
    if (r < 0) continue;
    // A time-out still settles moves out that found no pair.
    ReadFromHandle(r == 0);
    ReadFromBuffer();
  }
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): detector stop\n");
}

int Detector::WaitHandle() {
  ready_.clear();
  bool any;
  {
    std::lock_guard<std::mutex> guard(lock);
    any = false;
    for (const auto& [id, info] : index) any = any || info.source != nullptr;
  }
  if (!any) {
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): No watch folder.\n");
    std::this_thread::sleep_for(timing_.detector_wait);
    return 0;
  }
  epoll_event events[kMaxReady];
  int n = epoll_wait(epoll_fd_.get(), events, kMaxReady, static_cast<int>(timing_.detector_wait.count()));
  if (n < 0) {
    if (errno == EINTR) return 0;
    DET_LOG(L_ERR, "[ERROR] detector(%d): WaitForMultipleObjects: Error Code: %d\n", errno);
    // Not a busy loop of error lines if the failure lasts.
    std::this_thread::sleep_for(timing_.detector_wait);
    return -1;
  }
  if (n == 0) {
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): No incoming events\n");
    return 0;
  }
  for (int i = 0; i < n; ++i) {
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): Events at index %d\n", i);
    ready_.insert(events[i].data.u64);
  }
  return 1;
}

void Detector::ReadFromHandle(bool timed_out) {
  std::lock_guard<std::mutex> guard(lock);
  const auto now = std::chrono::steady_clock::now();
  for (auto& [id, info] : index) {
    if (info.source == nullptr) continue;
    if (ready_.count(id) != 0) {
      info.source->Read(&info.batch);
    } else if (info.source->HasPendingMove() &&
               (timed_out || (info.pending_seen && now - info.pending_since >= kPairWait))) {
      info.source->SettlePendingMove(&info.batch);
    } else {
      continue;
    }
    platform::ChangeBatch& batch = info.batch;
    if (batch.watch_errno != 0) {
      if (batch.watch_errno == ENOSPC) {
        DET_LOG(L_ERR,
                "[ERROR] detector(%d): cannot watch %s/%s: the per-user limit of inotify watches "
                "is reached (raise fs.inotify.max_user_watches)\n",
                info.path.c_str_utf8(), batch.watch_error_folder.c_str());
      } else {
        DET_LOG(L_ERR, "[ERROR] detector(%d): cannot watch %s/%s: Error Code: %d\n",
                info.path.c_str_utf8(), batch.watch_error_folder.c_str(), batch.watch_errno);
      }
    }
    if (batch.status == platform::ChangeStatus::kRootLost) {
      DET_LOG(L_ERR,
              "[ERROR] detector(%d): session #%llu: the folder %s was removed or moved; its "
              "changes are no longer watched\n",
              static_cast<unsigned long long>(id), info.path.c_str_utf8());
      info.lost = true;
      ReleaseSource(info);
      cache.erase(id);
      continue;
    }
    if (batch.status == platform::ChangeStatus::kRescan) {
      if (batch.read_errno != 0) {
        DET_LOG(L_ERR, "[ERROR] detector(%d): GetOverlappedResult: Error Code %d\n", batch.read_errno);
      } else {
        DET_LOG(L_INFO, "[INFO] detector(%d): Event queue overflow, rescan watch\n");
      }
      // The rescan covers the batch and whatever a cached rename half
      // belonged to.
      batch.records.clear();
      cache.erase(id);
      EventManager::getInstance()->IssueRescan(id, "/", false);
    }
    if (info.source->HasPendingMove()) {
      if (!info.pending_seen) {
        info.pending_seen = true;
        info.pending_since = now;
      }
    } else {
      info.pending_seen = false;
    }
  }
}

void Detector::ReadFromBuffer() {
  std::lock_guard<std::mutex> guard(lock);
  for (auto& [id, info] : index) {
    std::vector<platform::ChangeRecord>& records = info.batch.records;
    for (size_t i = 0; i < records.size(); ++i) {
      Event ev;
      if (Translate(ev, id, info, records[i], i, records.size()) == 0) PushEvent(ev);
    }
    records.clear();
  }
}

void Detector::CreateWorkingDirectory(const ustring& root, uint64_t sess_id) {
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): creating working directory under %s\n", root.c_str_utf8());
  // Hiding is a no-op: the leading "." already hides the folder. A link or
  // file put at either name is reported, unlinked (never its target) and
  // replaced by a real folder: mkdir through it would make the recycle
  // folder inside the link's target.
  Registry::Entry entry;
  const uint64_t conn_id = Registry::getInstance().Find(sess_id, entry) == 1 ? entry.conn_id : 0;
  if (SessionFolders(root, conn_id, sess_id).Ensure() != 0) {
    DET_LOG(L_ERR, "[ERROR] detector(%d): cannot create the working directory %s/%s\n", root.c_str_utf8(),
            kWorkingDirName);
  }
}

bool Detector::IsFromWorkingDirectory(const std::string& name) {
  size_t slash = name.find('/');
  size_t len = slash == std::string::npos ? name.size() : slash;
  return platform::AsciiEqualIgnoringCase(std::string_view(name.data(), len), kWorkingDirName);
}

bool Detector::IsRecycleBin(const std::string& path) {
  return path == std::string("/") + kWorkingDirName + "/" + kRecycleDirName;
}

bool Detector::FolderIdentity::Read(const char* path) {
  struct statx sx;
  if (statx(AT_FDCWD, path, 0, STATX_TYPE | STATX_INO | STATX_BTIME, &sx) != 0) return false;
  if (!S_ISDIR(sx.stx_mode)) {
    errno = ENOTDIR;
    return false;
  }
  dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  ino = sx.stx_ino;
  has_btime = (sx.stx_mask & STATX_BTIME) != 0;
  btime_sec = has_btime ? sx.stx_btime.tv_sec : 0;
  btime_nsec = has_btime ? sx.stx_btime.tv_nsec : 0;
  return true;
}

bool Detector::RootIntact(const session_info& info) const {
  FolderIdentity now;
  return now.Read(info.path.c_str_utf8()) && now == info.identity;
}

void Detector::PrintFileNotifyInformation(const platform::ChangeRecord& record, size_t index_in_batch,
                                          size_t count) {
  if (!Logger::IsEnabled(Logger::L_DEBUG, kComp)) return;
  // The record's successor (0: the last of its batch) and the name's bytes.
  int next = index_in_batch + 1 < count ? static_cast<int>(index_in_batch + 1) : 0;
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): Notification: NextEntryOffset: %d, FileNameLength: %d, %s, %s\n",
          next, static_cast<int>(record.name.size()), ActionName(record.action), record.name.c_str());
}

int Detector::Translate(Event& ev, uint64_t sess_id, session_info& info,
                        const platform::ChangeRecord& record, size_t index_in_batch, size_t count) {
  PrintFileNotifyInformation(record, index_in_batch, count);
  const uint32_t action = record.action;
  // Names are raw bytes with "/" separators: "\\" is part of a name, never
  // turned into a separator.
  const std::string path = "/" + record.name;
  const std::string full = std::string(info.path.c_str_utf8(), info.path.length()) + path;
  if (action != platform::kChangeRemoved && action != platform::kChangeRenamedOldName) {
    // Short and long names are the same path here: nothing to convert.
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): original full path: '%s', path: '%s'\n", full.c_str(),
            path.c_str());
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): converted full path: '%s', path: '%s'\n", full.c_str(),
            path.c_str());
  }

  if (IsFromWorkingDirectory(record.name)) {
    const bool itself = record.name.find('/') == std::string::npos;
    // Gone, or something new at the name (a link moved or made there):
    // the folders are checked, and made again or repaired. A real folder
    // made here itself comes back as an addition and passes the check.
    if ((itself || IsRecycleBin(path)) && action != platform::kChangeModified) {
      DET_LOG(L_DEBUG, "[DEBUG] detector(%d): recreating working directory (%d)\n",
              static_cast<int>(action));
      CreateWorkingDirectory(info.path, sess_id);
    }
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): ignoring changes to %s\n", path.c_str());
    // A rename into the working folder (the worker recycling a file) ends
    // here: its old half must not pair with the next unrelated new name.
    if (action == platform::kChangeRenamedNewName) cache.erase(sess_id);
    return -1;
  }

  switch (action) {
    case platform::kChangeAdded:
      ev.m_type = Event::EV_CREATE;
      ev.m_path = path;
      break;
    case platform::kChangeRemoved:
      ev.m_type = Event::EV_REMOVE;
      ev.m_path = path;
      break;
    case platform::kChangeModified:
      ev.m_type = Event::EV_MODIFY;
      ev.m_path = path;
      break;
    case platform::kChangeRenamedOldName:
      DET_LOG(L_DEBUG, "[DEBUG] detector(%d): hide rename event (%s)\n", path.c_str());
      cache[sess_id] = path;
      return -1;
    case platform::kChangeRenamedNewName: {
      auto cached = cache.find(sess_id);
      if (cached != cache.end()) {
        ev.m_type = Event::EV_RENAME;
        ev.m_path = cached->second;
        ev.m_opt = path;
        cache.erase(cached);
      } else {
        ev.m_type = Event::EV_CREATE;
        ev.m_path = path;
      }
      break;
    }
    default:
      DET_LOG(L_ERR, "[ERROR] detector(%d): invalie file action (%d)\n", static_cast<int>(action));
      return -1;
  }

  struct stat st;
  if (lstat(full.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ev.setDir();
      if (ev.m_type == Event::EV_MODIFY) return -1;
    } else if ((ev.m_type == Event::EV_CREATE || ev.m_type == Event::EV_MODIFY) && S_ISREG(st.st_mode) &&
               OwnChanges::Instance().Claim(sess_id, full.c_str())) {
      // A worker's own rename into place or time change, the file still as
      // it left it: nothing for a worker to do.
      DET_LOG(L_DEBUG, "[DEBUG] detector(%d): own change of %s, not queued\n", path.c_str());
      return -1;
    }
  } else {
    // Gone already. What it was comes from the database, unless the whole
    // session folder went: then nothing of it is reported (rm -rf of the
    // folder must not delete the server's copy).
    if (!RootIntact(info)) {
      DET_LOG(L_DEBUG, "[DEBUG] detector(%d): session folder %s is gone, dropping %s\n",
              info.path.c_str_utf8(), path.c_str());
      return -1;
    }
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) != 1) {
      DET_LOG(L_WARNING, "[WARNING] detector(%d): can not find registry entry for session %llu \n",
              static_cast<unsigned long long>(sess_id));
      return -1;
    }
    // A rename whose new name is gone already (mv a b; mv b c, read
    // together): the old path still has to go, as what its record says.
    const ustring lookup = ev.m_type == Event::EV_RENAME ? ev.m_path : ustring(path);
    DBFileInfo rec;
    int found = entry.event_db ? entry.event_db->getEventInfo(lookup, rec) : 0;
    if (found != 1) {
      DET_LOG(L_ERR, "[ERROR] detector(%d): can't find file type of deleted item %s\n",
              lookup.c_str_utf8());
      return -1;
    }
    if (ev.m_type == Event::EV_RENAME) {
      ev.m_type = Event::EV_REMOVE;
      ev.m_opt = "";
    }
    if (rec.fileType != 0) ev.setDir();
    DET_LOG(L_DEBUG, "[DEBUG] detector(%d): file type of deleted item %s is %d\n", lookup.c_str_utf8(),
            rec.fileType);
  }
  ev.m_sess_id = sess_id;
  return 0;
}

void Detector::PushEvent(Event& ev) {
  DET_LOG(L_DEBUG, "[DEBUG] detector(%d): PushEvent: %s at %llu\n", ev.m_path.c_str_utf8(),
          static_cast<unsigned long long>(ev.m_sess_id));
  EventManager* manager = EventManager::getInstance();
  if (ev.m_type == Event::EV_RENAME) {
    Event removal(ev);
    removal.m_type = Event::EV_REMOVE;
    removal.m_opt = "";
    manager->PushLocalEvent(removal);
    ev.m_type = Event::EV_CREATE;
    ev.m_path = ev.m_opt;
    ev.m_opt = "";
  }
  manager->PushLocalEvent(ev);
  if (ev.m_type == Event::EV_CREATE && ev.isDir()) manager->IssueExpand(ev.m_sess_id, ev.m_path);
}
