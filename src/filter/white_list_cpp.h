// WhiteListCpp: a session's thread-safe, reloadable white list
// ("whitelist.filter"). Workers call Test while the application thread may
// reload; every operation takes the holder's own mutex.
#ifndef FILTER_WHITE_LIST_CPP_H_
#define FILTER_WHITE_LIST_CPP_H_

#include <shared_mutex>

#include "filter/white_list.h"
#include "foundation/ustring.h"

class WhiteListCpp {
 public:
  // An empty list, which lets nothing through (Test gives -1).
  WhiteListCpp();
  ~WhiteListCpp();
  WhiteListCpp(const WhiteListCpp&) = delete;
  WhiteListCpp& operator=(const WhiteListCpp&) = delete;

  // As BlackList2::Load: 0, or -1 (logged) with the previous list kept.
  int Load(const ustring& path);
  // 0 when the extension of `name` (a base name, UTF-8) is listed or the
  // list holds "*"; -1 otherwise, also for an empty name or list.
  int Test(const ustring& name) const;
  // Empties the list.
  void Clear();

 private:
  WhiteList m_list;
  mutable std::shared_mutex m_lock;  // tests shared; Load's swap and Clear exclusive
};

#endif  // FILTER_WHITE_LIST_CPP_H_
