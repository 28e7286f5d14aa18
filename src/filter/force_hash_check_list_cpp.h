// ForceHashCheckListCpp: a session's thread-safe, reloadable list of
// extensions whose content is always compared by hash
// ("force-hash-check-list.filter"). Every operation takes its own mutex.
#ifndef FILTER_FORCE_HASH_CHECK_LIST_CPP_H_
#define FILTER_FORCE_HASH_CHECK_LIST_CPP_H_

#include <shared_mutex>

#include "filter/force_hash_check_list.h"
#include "foundation/ustring.h"

class ForceHashCheckListCpp {
 public:
  // An empty list, which forces nothing (Test gives 0).
  ForceHashCheckListCpp();
  ~ForceHashCheckListCpp();
  ForceHashCheckListCpp(const ForceHashCheckListCpp&) = delete;
  ForceHashCheckListCpp& operator=(const ForceHashCheckListCpp&) = delete;

  // As BlackList2::Load: 0, or -1 (logged) with the previous list kept.
  int Load(const ustring& path);
  // 1 when the extension of `name` (a base name, UTF-8) is listed or the
  // list holds "*"; 0 when not; -1 for an empty name.
  int Test(const ustring& name) const;
  // Empties the list.
  void Clear();

 private:
  ForceHashCheckList m_list;
  mutable std::shared_mutex m_lock;  // tests shared; Load's swap and Clear exclusive
};

#endif  // FILTER_FORCE_HASH_CHECK_LIST_CPP_H_
