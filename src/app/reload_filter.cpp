#include "app/reload_filter.h"

int reload_filter(uint64_t sess_id, uint64_t sync_id, const ustring& black_list_path, const ustring& white_list_path,
                  const ustring& sync_folder) {
  (void)sess_id;
  (void)sync_id;
  (void)black_list_path;
  (void)white_list_path;
  (void)sync_folder;
  return -1;
}
