// ReloadableList: the thread-safe, reloadable holder of one session's
// extension list (the white list, the force-hash-check list). Workers call
// Test while the application thread may reload; every operation takes the
// holder's own lock, shared for Test and exclusive for the swaps of Load,
// Install and Clear.
//
// The record type comes with its functions (as holder_load::RecordOps, and
// the test of a base name) and the log tag of a failed load.
#ifndef FILTER_RELOADABLE_LIST_H_
#define FILTER_RELOADABLE_LIST_H_

#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "filter/holder_load.h"
#include "foundation/ustring.h"

template <class Record, int (*Init)(Record*), int (*Read)(Record*, const char*, parse_report*),
          void (*Destroy)(Record*), int (*TestName)(const Record*, std::string_view), const char* Source>
class ReloadableList {
 public:
  // An empty list. A failed init leaves an empty set that still grows:
  // nothing to check.
  ReloadableList() { (void)Init(&m_list); }
  ~ReloadableList() { Destroy(&m_list); }
  ReloadableList(const ReloadableList&) = delete;
  ReloadableList& operator=(const ReloadableList&) = delete;

  // As BlackList2::Load: 0, or -1 (logged) with the previous list kept.
  int Load(const ustring& path) {
    static constexpr holder_load::RecordOps<Record> kOps = {Init, Read, Destroy};
    return holder_load::Load(path, kOps, Source, __LINE__, [this](Record& fresh) { Install(fresh); });
  }

  // As BlackList2::Install: puts the rules of `parsed` (filled by the
  // record's reader) in force; `parsed` is left destroyed.
  void Install(Record& parsed) {
    {
      std::unique_lock<std::shared_mutex> guard(m_lock);
      std::swap(m_list, parsed);
    }
    Destroy(&parsed);
  }

  // TestName of `name` (a base name, UTF-8).
  int Test(const ustring& name) const {
    std::shared_lock<std::shared_mutex> guard(m_lock);
    return TestName(&m_list, std::string_view(name.c_str_utf8(), name.length()));
  }

  // Empties the list.
  void Clear() {
    Record old;
    (void)Init(&old);
    {
      std::unique_lock<std::shared_mutex> guard(m_lock);
      std::swap(m_list, old);
    }
    Destroy(&old);
  }

 private:
  Record m_list;
  mutable std::shared_mutex m_lock;  // tests shared; the swaps of Install and Clear exclusive
};

#endif  // FILTER_RELOADABLE_LIST_H_
