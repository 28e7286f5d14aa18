// The event tests: whether an event may cross to the other side.
#include <ostream>

#include "filter/black_list2.h"
#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "platform/fs_type.h"
#include "transport/error_code.h"
#include "worker/worker.h"
#include "worker/worker_log.h"

namespace {

using ull = unsigned long long;

// The last component of a "/"-separated path.
ustring BaseName(const ustring& path) {
  const size_t slash = path.find_last_of('/');
  return slash == ustring::npos ? path : path.substr(slash + 1);
}

bool IsSelectiveSyncCode(int r) {
  return r == FILTER_EXT_SELECTIVE_SYNC || r == FILTER_PATH_PREFIX_SELECTIVE_SYNC || r == FILTER_NAME_SELECTIVE_SYNC;
}

// The largest file a FAT volume holds is one byte short of 4 GiB.
constexpr uint64_t kFatFileLimit = 0xFFFFFFFFull;

}  // namespace

uint64_t Utf16Length(const ustring& text) {
  // Every sequence of UTF-8 is one UTF-16 unit, except the four-byte ones
  // (above U+FFFF), which are a surrogate pair: count lead bytes.
  uint64_t units = 0;
  for (size_t i = 0; i < text.length(); ++i) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) == 0x80) continue;
    units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

int Worker::TestFilePath(const ustring& path, const ustring& full_path) {
  const uint64_t n = Utf16Length(full_path);
  const BlackList2* system = &system_rules_;
  int r = system->TestFullPathSize(n);
  if (r == 0) r = system->TestFilePath(path);
  const BlackList2* session = GetBlackList();
  if (r == 0 && session != nullptr) r = session->TestFullPathSize(n);
  if (r == 0 && session != nullptr) r = session->TestFilePath(path);
  return r;
}

int Worker::TestDirectory(const ustring& path, const ustring& full_path) {
  const uint64_t n = Utf16Length(full_path);
  const BlackList2* system = &system_rules_;
  int r = system->TestFullPathSize(n);
  if (r == 0) r = system->TestDirectoryPath(path);
  const BlackList2* session = GetBlackList();
  if (r == 0 && session != nullptr) r = session->TestFullPathSize(n);
  if (r == 0 && session != nullptr) r = session->TestDirectoryPath(path);
  return r;
}

int Worker::TestWhiteList() {
  const Event& ev = context.current_event;
  if (ev.isDir() || ev.m_path.empty() || ev.m_path == "/") return 0;
  const WhiteListCpp* list = GetWhiteList();
  // A session without a white list (none loaded) restricts nothing.
  if (list == nullptr) return 0;
  return list->Test(BaseName(ev.m_path)) == 0 ? 0 : -1;
}

int Worker::TestBlackListPath() {
  const Event& ev = context.current_event;
  if (ev.isDir()) {
    const int r = TestDirectory(ev.m_path, context.full_path);
    if (r != 0) {
      WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): TestBlackListPath: Directory '%s' (blocked: %d)\n",
                 ev.m_path.c_str_utf8(), r);
    }
    return r;
  }
  const int r = TestFilePath(ev.m_path, context.full_path);
  if (r != 0) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): TestBlackListPath: File '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(),
               r);
  }
  return r;
}

int Worker::TestCommonFilter() {
  if (TestWhiteList() != 0) return FILTER_EXT_SELECTIVE_SYNC;
  return TestBlackListPath();
}

FilterVerdict Worker::TestUploadLocalFilter() {
  const Event& ev = context.current_event;
  notify_event_type = NOTIFY_NONE;
  int r = TestCommonFilter();
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    if (IsSelectiveSyncCode(r)) (void)AddFilteredEventToDB(ev, r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  if (isFileLocked(context.full_path, GENERIC_READ)) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Worker (%d): unable to handle locked/no permission file '%s'.\n", GetId(),
               context.full_path.c_str_utf8());
    return FilterVerdict::Fail(ERR_LOCKED_FILE);
  }
  FILE_INFO info;
  if (GetFilesystemInfo(info) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to get file status for '%s'.\n", ev.m_path.c_str_utf8());
    return FilterVerdict::Fail(ERR_SYS);
  }
  if (!info.isExist) return FilterVerdict::CarryOut();  // the upload finishes a vanished file itself
  r = system_rules_.TestFileSize(info.size);
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  const BlackList2* session = GetBlackList();
  r = session != nullptr ? session->TestFileSize(info.size) : 0;
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    if (r == FILTER_FILE_SIZE_SELECTIVE_SYNC) (void)AddFilteredEventToDB(ev, r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  return FilterVerdict::CarryOut();
}

FilterVerdict Worker::TestDownloadRemoteFilter() {
  const Event& ev = context.current_event;
  uint64_t size = ev.m_data_size;
  notify_event_type = NOTIFY_NONE;
  int r = TestCommonFilter();
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  if (ev.m_sync_id == MAX_SYNC_ID) {
    if (context.database_record.syncID == 0) {
      WORKER_LOG(L_WARNING,
                 "[WARNING] worker(%d): Force download '%s' but cannot find any record in event DB. file size "
                 "filter will NOT work.\n",
                 context.full_path.c_str_utf8());
      return FilterVerdict::CarryOut();
    }
    size = context.database_record.fileSize;
  }
  r = system_rules_.TestFileSize(size);
  const BlackList2* session = GetBlackList();
  if (r == 0 && session != nullptr) r = session->TestFileSize(size);
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' ((blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  // Asked of vfat alone: exFAT holds files of 4 GiB and more.
  if (ev.m_data_size >= kFatFileLimit && IsVfatSession()) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (file system is not support large file)\n",
               ev.m_path.c_str_utf8());
    return FilterVerdict::Finish();
  }
  return FilterVerdict::CarryOut();
}

FilterVerdict Worker::TestRemoveLocalFilter() {
  const Event& ev = context.current_event;
  notify_event_type = NOTIFY_NONE;
  const int r = TestCommonFilter();
  if (r == 0) return FilterVerdict::CarryOut();
  WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' (blocked: %d)\n", ev.m_path.c_str_utf8(), r);
  notify_event_type = NOTIFY_FILTERED;
  return FilterVerdict::Finish();
}

FilterVerdict Worker::TestRemoveRemoteFilter() {
  const Event& ev = context.current_event;
  notify_event_type = NOTIFY_NONE;
  int r = TestCommonFilter();
  if (r != 0) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' ((blocked: %d)\n", ev.m_path.c_str_utf8(), r);
    if (IsSelectiveSyncCode(r)) (void)AddFilteredEventToDB(ev, r);
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  if (ev.isDir() || context.database_record.syncID == 0) return FilterVerdict::CarryOut();
  FilterLocalEvent held;
  if (filters_.getLocalFilteredEventByPath(ev.m_sess_id, ev.m_path, held) == 1) {
    WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' ((blocked: %d)\n", ev.m_path.c_str_utf8(), 0);
    FilterLocalEvent gone;
    (void)ConvertToFilteredEvent(ev, 0, gone);
    if (filters_.setLocalFilteredEvent(gone) != 0) {
      WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to setLocalFilteredEvent for session '%llu', path '%s' .\n",
                 static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
      // A failed write is retried.
      return FilterVerdict::Fail(ERR_SYS);
    }
    notify_event_type = NOTIFY_FILTERED;
    return FilterVerdict::Finish();
  }
  const BlackList2* session = GetBlackList();
  r = session != nullptr ? session->TestFileSize(context.database_record.fileSize) : 0;
  if (r == 0) return FilterVerdict::CarryOut();
  WORKER_LOG(L_WARNING, "[WARNING] worker(%d): Filtered Event: '%s' ((blocked: %d)\n", ev.m_path.c_str_utf8(), r);
  if (r == FILTER_FILE_SIZE_SELECTIVE_SYNC) (void)AddFilteredEventToDB(ev, r);
  notify_event_type = NOTIFY_FILTERED;
  return FilterVerdict::Finish();
}

bool Worker::TestFilteredDeleteEvent(uint64_t sess_id, const ustring& path, bool is_dir) {
  const BlackList2* session = GetBlackList();
  if (session == nullptr) return false;
  const int r = is_dir ? session->TestDirectoryPath(path) : session->TestFilePath(path);
  if (r != FILTER_PATH_PREFIX_SELECTIVE_SYNC) return false;
  FilterLocalEvent held;
  held.sess_id = sess_id;
  held.path = path;
  held.event_type = Event::EV_REMOVE;
  held.is_exist = 0;
  held.file_type = is_dir ? 1 : 0;
  held.filtered_type = FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  if (!is_dir) held.base_name = BaseName(path);
  WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): TestFilteredDeleteEvent: filter '%s' (blocked: %d)\n", path.c_str_utf8(),
             r);
  if (filters_.setLocalFilteredEvent(held) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to set LocalFilteredEvent for session '%llu', path '%s' .\n",
               static_cast<ull>(sess_id), path.c_str_utf8());
  }
  return true;
}

int Worker::AddFilteredEventToDB(const Event& ev, int filter_type) {
  if (ev.isServerEvent()) return 0;
  FilterLocalEvent held;
  (void)ConvertToFilteredEvent(ev, filter_type, held);
  if (filters_.setLocalFilteredEvent(held) != 0) {
    WORKER_LOG(L_ERR, "[ERROR] worker(%d): Failed to setLocalFilteredEvent for session '%llu', path '%s' .\n",
               static_cast<ull>(ev.m_sess_id), ev.m_path.c_str_utf8());
  }
  return 0;
}

int Worker::ConvertToFilteredEvent(const Event& ev, int filter_type, FilterLocalEvent& out) {
  if (worker_log::On(Logger::L_DEBUG)) {
    WORKER_LOG(L_DEBUG, "[DEBUG] worker(%d): ConvertToFilteredEvent: event = %s\n", ev.toString().c_str_utf8());
  }
  out.path = ev.m_path;
  out.file_checksum = ev.m_data_hash;
  out.base_name = ev.isDir() ? ustring() : BaseName(ev.m_path);
  out.sess_id = ev.m_sess_id;
  out.file_size = ev.m_data_size;
  out.event_type = static_cast<uint32_t>(ev.m_type);
  out.file_mod_time = ev.m_time;
  out.file_type = ev.isDir() ? 1 : 0;
  out.filtered_type = filter_type;
  out.is_exist = ev.m_type == Event::EV_REMOVE ? 0 : 1;
  return 0;
}

int Worker::TestForceHash() {
  const ustring& path = context.current_event.m_path;
  if (path.empty() || path == "/") return -1;
  const ForceHashCheckListCpp* list = GetForceHashCheckList();
  if (list == nullptr) return 0;
  return list->Test(BaseName(path));
}

bool Worker::LocallyModified(const FILE_INFO& info, const DBFileInfo& record, const ustring& hash) {
  const char* path = info.path.c_str_utf8();
  if (info.type == FT_DIR) {
    if (record.fileType != 0) return false;
    WORKER_LOG(L_INFO, "[INFO] worker(%d): ModificationCheck: '%s' appears as FILE in database, but now it is a directory\n",
               path);
    return true;
  }
  if (record.fileType == 1) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): ModificationCheck: '%s' appears as DIR in database, but now it is a file\n",
               path);
    return true;
  }
  if (info.type != FT_FILE) return false;
  if (info.size != record.fileSize || info.mtime != record.fileModTime) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): ModificationCheck: '%s' is modified (size and mtime not match)\n", path);
    return true;
  }
  if (!hash.empty() && hash != record.fileCheckSum) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): ModificationCheck: '%s' is modified (hash does not match)\n", path);
    return true;
  }
  if (TestForceHash() >= 1) {
    WORKER_LOG(L_INFO, "[INFO] worker(%d): ModificationCheck: '%s' is modified (force hash check needed)\n", path);
    return true;
  }
  return false;
}

bool Worker::IsVfatSession() const {
  unsigned long f_type = 0;
  return platform::FsTypeOfPath(context.root_entry.local_path.c_str_utf8(), &f_type) == 0 &&
         platform::IsVfatType(f_type);
}

std::ostream& operator<<(std::ostream& os, const FilterVerdict& verdict) {
  if (verdict.CarriesOut()) return os << "carry out";
  if (verdict.Result() == ERR_OK) return os << "finish";
  return os << "fail " << ErrorNumber(verdict.Result());
}
