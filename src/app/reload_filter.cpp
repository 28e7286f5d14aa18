#include "app/reload_filter.h"

#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "filter/filter_reconcile.h"
#include "filter/selective_sync_info.h"
#include "foundation/logger.h"

namespace {

constexpr const char* kComponent = "client_debug";

// The scratch records of the path form, freed on every path.
struct ScratchRules {
  ScratchRules() {
    // A failed allocation leaves empty sets that still grow.
    (void)filter_init(&black);
    (void)white_list_init(&white);
  }
  ~ScratchRules() {
    filter_destroy(&black);
    white_list_destroy(&white);
  }
  ScratchRules(const ScratchRules&) = delete;
  ScratchRules& operator=(const ScratchRules&) = delete;
  Filter black;
  WhiteList white;
};

}  // namespace

int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& black_list_path,
                  const ustring& white_list_path, const ustring& sync_folder) {
  ScratchRules rules;
  if (filter_read(&rules.black, black_list_path.c_str_utf8()) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to read black list filter [%s]\n",
                  black_list_path.c_str_utf8());
    return -1;
  }
  if (white_list_read(&rules.white, white_list_path.c_str_utf8()) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to read white list filter [%s]\n",
                  white_list_path.c_str_utf8());
    return -1;
  }
  return reload_filter(sess_id, sync_id, rules.black, rules.white, sync_folder);
}

int reload_filter(uint64_t sess_id, uint64_t sync_id, const Filter& black_list, const WhiteList& white_list,
                  const ustring& sync_folder) {
  // Every rule of the files is tagged with the current sync id. Both
  // conversions only copy: always 0.
  SelectiveSyncInfo ss_file_info;
  (void)ConvertFilterFileToSelectiveSyncInfo(sess_id, sync_id, black_list, ss_file_info);
  (void)ConvertWhiteFilterFileToSelectiveSyncInfo(sess_id, sync_id, white_list, ss_file_info);

  SelectiveSyncInfo ss_db_info;
  FilterDB* db = FilterDB::getInstance();
  if (db->ConvertFilterDBToSelectiveSyncInfo(sess_id, ss_db_info) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to convert black list from filter DB.\n");
    return -1;
  }
  if (db->ConvertWhiteFilterDBToSelectiveSyncInfo(sess_id, ss_db_info) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to convert white list from filter DB.\n");
    return -1;
  }

  // The stored side first, the file side second; the first failure ends
  // the reconciliation with what it has done so far.
  if (CompareFilterList(sess_id, FILTER_PATH_PREFIX_SELECTIVE_SYNC, ss_db_info.black_prefix,
                        ss_file_info.black_prefix, sync_folder) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to CompareFilterList for PATH_PREFIX.\n");
    return -1;
  }
  if (CompareFilterList(sess_id, FILTER_NAME_SELECTIVE_SYNC, ss_db_info.black_name, ss_file_info.black_name,
                        sync_folder) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to CompareFilterList for BLACK_NAME.\n");
    return -1;
  }
  if (CompareExtensionFilterList(sess_id, ss_db_info, ss_file_info, sync_folder) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent,
                  "[ERROR] app(%d): Failed to CompareExtensionFilterList for FILTER_EXT_SELECTIVE_SYNC.\n");
    return -1;
  }
  if (CompareSizeFilter(sess_id, ss_db_info.black_size, ss_file_info.black_size) < 0) {
    LOG_WITH_LINE(L_ERR, kComponent, "[ERROR] app(%d): Failed to CompareSizeFilter.\n");
    return -1;
  }
  return 0;
}
