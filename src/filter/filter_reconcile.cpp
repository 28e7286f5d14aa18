#include "filter/filter_reconcile.h"

#include <cstdio>
#include <string_view>

#include "filter/filter_codes.h"
#include "filter/filter_db.h"
#include "filter/progress_cache.h"
#include "foundation/logger.h"

namespace {

constexpr char kComp[] = "filter_utils_debug";

inline unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }

// All of `text` as an unsigned decimal number: only digits, at least one,
// no sign, no blanks, no overflow.
bool ReadDecimal(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    unsigned digit = static_cast<unsigned>(ch - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

// A stored or configured limit; anything unreadable counts as 0 (no limit).
uint64_t SizeOf(const ustring& text) {
  uint64_t v = 0;
  return ReadDecimal(std::string_view(text.c_str_utf8(), text.size()), v) ? v : 0;
}

ustring Decimal(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%llu", U(v));
  return ustring(buf);
}

// Stores the condition and queues it: 0, or -1 when the insert failed
// (the caller logs its own message).
int RecordResume(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring& desc) {
  ResumeCondition c;
  c.sess_id = sess_id;
  c.sync_id = sync_id;
  c.filter_type = filter_type;
  c.filter_desc = desc;
  uint64_t row_id = 0;
  if (FilterDB::getInstance()->setResumeCondition(c, row_id) != 0) return -1;
  ProgressCache::getInstance()->addProgressEntry(row_id, c);
  return 0;
}

void AddAll(const value_type_string_set& set, uint64_t sync_id, std::set<FilterInfo>& out) {
  for (size_t i = 0; i < set.used; ++i) {
    // A value already present keeps its first entry.
    out.insert(FilterInfo{sync_id, ustring(set.set[i])});
  }
}

bool HoldsAll(const std::set<FilterInfo>& white_ext) {
  return white_ext.count(FilterInfo{0, ustring("*")}) != 0;
}

}  // namespace

int ConvertFilterFileToSelectiveSyncInfo(uint64_t /*sess_id*/, uint64_t sync_id, const Filter& filter,
                                         SelectiveSyncInfo& out) {
  AddAll(filter.Common.black_path_prefix_selective_sync, sync_id, out.black_prefix);
  AddAll(filter.File.black_name_selective_sync, sync_id, out.black_name);
  AddAll(filter.File.black_ext_selective_sync, sync_id, out.black_ext);
  out.black_size = FilterInfo{sync_id, Decimal(filter.File.max_size_selective_sync)};
  return 0;
}

int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t /*sess_id*/, uint64_t sync_id, const WhiteList& list,
                                              SelectiveSyncInfo& out) {
  AddAll(list.File.white_ext, sync_id, out.white_ext);
  return 0;
}

int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& stored,
                      const std::set<FilterInfo>& fresh, const ustring& /*sync_folder*/) {
  FilterDB* db = FilterDB::getInstance();
  auto s = stored.begin();
  auto n = fresh.begin();
  while (s != stored.end() || n != fresh.end()) {
    if (s != stored.end() && n != fresh.end() && s->filter_desc == n->filter_desc) {
      Logger::LogMsg(Logger::L_INFO, kComp,
                     "[INFO] filter-utils(%d): filter: (%llu)[%s] didn't change, skipping...\n", __LINE__,
                     U(sess_id), s->filter_desc.c_str_utf8());
      ++s;
      ++n;
    } else if (s == stored.end() || (n != fresh.end() && n->filter_desc < s->filter_desc)) {
      // A folder left out is recorded from sync id 0: when it is let in
      // again, the server is asked for all of it.
      uint64_t sync_id = filter_type == FILTER_PATH_PREFIX_SELECTIVE_SYNC ? 0 : n->sync_id;
      if (db->setFilter(sess_id, sync_id, filter_type, n->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-utils(%d): Failed to setFilter (%llu)[%s].\n",
                       __LINE__, U(sess_id), n->filter_desc.c_str_utf8());
        return -1;
      }
      Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-utils(%d): NEW filter: (%llu)[%s].\n", __LINE__,
                     U(sess_id), n->filter_desc.c_str_utf8());
      ++n;
    } else {
      if (RecordResume(sess_id, s->sync_id, filter_type, s->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp,
                       "[ERROR] filter-utils(%d): Failed to setResumeCondition (%llu)[%s].\n", __LINE__,
                       U(sess_id), s->filter_desc.c_str_utf8());
        return -1;
      }
      if (db->rmFilter(sess_id, filter_type, s->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-utils(%d): Failed to rmFilter (%llu)[%s].\n",
                       __LINE__, U(sess_id), s->filter_desc.c_str_utf8());
        return -1;
      }
      Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-utils(%d): RESUME filter: (%llu)[%s].\n", __LINE__,
                     U(sess_id), s->filter_desc.c_str_utf8());
      ++s;
    }
  }
  return 0;
}

int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& stored,
                           const std::set<FilterInfo>& fresh) {
  FilterDB* db = FilterDB::getInstance();
  auto s = stored.begin();
  auto n = fresh.begin();
  while (s != stored.end() || n != fresh.end()) {
    if (s != stored.end() && n != fresh.end() && s->filter_desc == n->filter_desc) {
      Logger::LogMsg(Logger::L_INFO, kComp,
                     "[INFO] filter-utils(%d): white filter: (%llu)[%s] didn't change, skipping...\n",
                     __LINE__, U(sess_id), s->filter_desc.c_str_utf8());
      ++s;
      ++n;
    } else if (n == fresh.end() || (s != stored.end() && s->filter_desc < n->filter_desc)) {
      // No longer let through: the worker's tests hold its files back now.
      if (db->rmWhiteListFilter(sess_id, filter_type, s->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp,
                       "[ERROR] filter-utils(%d): Failed to rmWhiteListFilter (%llu)[%s].\n", __LINE__,
                       U(sess_id), s->filter_desc.c_str_utf8());
        return -1;
      }
      Logger::LogMsg(Logger::L_INFO, kComp,
                     "[INFO] filter-utils(%d): remove white list filter: (%llu)[%s].\n", __LINE__, U(sess_id),
                     s->filter_desc.c_str_utf8());
      ++s;
    } else {
      if (db->setWhiteListFilter(sess_id, n->sync_id, filter_type, n->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp,
                       "[ERROR] filter-utils(%d): Failed to setWhiteListFilter (%llu)[%s].\n", __LINE__,
                       U(sess_id), n->filter_desc.c_str_utf8());
        return -1;
      }
      // Files of a newly let-through extension were never taken: ask the
      // server from the start.
      if (RecordResume(sess_id, 0, filter_type, n->filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp,
                       "[ERROR] filter-utils(%d): Failed to setResumeCondition (%llu)[%s].\n", __LINE__,
                       U(sess_id), n->filter_desc.c_str_utf8());
        return -1;
      }
      ++n;
    }
  }
  return 0;
}

int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo& stored,
                               const SelectiveSyncInfo& fresh, const ustring& sync_folder) {
  FilterDB* db = FilterDB::getInstance();
  const ustring all("*");
  bool stored_all = HoldsAll(stored.white_ext);
  bool fresh_all = HoldsAll(fresh.white_ext);

  if (stored_all == fresh_all) {
    if (CompareWhiteFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, stored.white_ext, fresh.white_ext) != 0) {
      Logger::LogMsg(
          Logger::L_ERR, kComp,
          "[ERROR] filter-utils(%d): Failed to CompareWhiteFilterList for FILTER_EXT_SELECTIVE_SYNC.\n",
          __LINE__);
      return -1;
    }
    if (CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, stored.black_ext, fresh.black_ext,
                          sync_folder) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to CompareFilterList for FILTER_EXT_SELECTIVE_SYNC.\n",
                     __LINE__);
      return -1;
    }
    return 0;
  }

  if (stored_all) {
    // Everything was let through, now only the listed extensions: nothing
    // new comes in, so no resume condition. Other stored white rows stay.
    if (db->rmWhiteListFilter(sess_id, FILTER_EXT_SELECTIVE_SYNC, all) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to rmWhiteListFilter '*' (%llu).\n", __LINE__,
                     U(sess_id));
      return -1;
    }
    for (const FilterInfo& ext : fresh.white_ext) {
      if (db->setWhiteListFilter(sess_id, ext.sync_id, FILTER_EXT_SELECTIVE_SYNC, ext.filter_desc) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComp,
                       "[ERROR] filter-utils(%d): Failed to setWhiteListFilter (%llu)[%s].\n", __LINE__,
                       U(sess_id), ext.filter_desc.c_str_utf8());
        return -1;
      }
      Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-utils(%d): NEW filter: (%llu)[%s].\n", __LINE__,
                     U(sess_id), ext.filter_desc.c_str_utf8());
    }
    if (CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, stored.black_ext, fresh.black_ext,
                          sync_folder) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to CompareFilterList for FILTER_EXT_SELECTIVE_SYNC.\n",
                     __LINE__);
      return -1;
    }
    return 0;
  }

  // Now every extension is let through.
  for (const FilterInfo& ext : stored.white_ext) {
    if (db->rmWhiteListFilter(sess_id, FILTER_EXT_SELECTIVE_SYNC, ext.filter_desc) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to rmWhiteListFilter (%llu)[%s].\n", __LINE__,
                     U(sess_id), ext.filter_desc.c_str_utf8());
      return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-utils(%d): remove white list filter: (%llu)[%s].\n",
                   __LINE__, U(sess_id), ext.filter_desc.c_str_utf8());
  }
  if (db->setWhiteListFilter(sess_id, 0, FILTER_EXT_SELECTIVE_SYNC, all) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-utils(%d): Failed to setWhiteListFilter '*' (%llu).\n", __LINE__,
                   U(sess_id));
    return -1;
  }
  if (CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, stored.black_ext, fresh.black_ext, sync_folder) !=
      0) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-utils(%d): Failed to CompareFilterList for FILTER_EXT_SELECTIVE_SYNC.\n",
                   __LINE__);
    return -1;
  }
  if (RecordResume(sess_id, 0, FILTER_EXT_SELECTIVE_SYNC, all) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp,
                   "[ERROR] filter-utils(%d): Failed to setResumeCondition '*' (%llu).\n", __LINE__,
                   U(sess_id));
    return -1;
  }
  return 0;
}

int CompareSizeFilter(uint64_t sess_id, const FilterInfo& stored, const FilterInfo& fresh) {
  FilterDB* db = FilterDB::getInstance();
  uint64_t old_size = SizeOf(stored.filter_desc);
  uint64_t new_size = SizeOf(fresh.filter_desc);

  if (old_size == 0 && stored.sync_id == 0) {
    // Nothing stored yet; a first "no limit" needs no row.
    if (new_size != 0 && db->setSizeFilter(sess_id, fresh.sync_id, new_size) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-utils(%d): Failed to setSizeFilter (%llu)[%llu]\n",
                     __LINE__, U(sess_id), U(new_size));
      return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComp, "[INFO] filter-utils(%d): NEW filter (%llu)[%s]\n", __LINE__,
                   U(sess_id), fresh.filter_desc.c_str_utf8());
    return 0;
  }

  // A removed limit is stored as kRemovedSizeLimit: "no limit" again is no
  // change, or every reload would record another pull of the same range.
  if (old_size == new_size || (new_size == 0 && old_size == kRemovedSizeLimit)) {
    Logger::LogMsg(Logger::L_INFO, kComp,
                   "[INFO] filter-utils(%d): size filter (%llu)[%s] didn't change, skipping...\n", __LINE__,
                   U(sess_id), stored.filter_desc.c_str_utf8());
    return 0;
  }

  if (old_size < new_size || new_size == 0) {
    if (new_size == 0) new_size = kRemovedSizeLimit;
    ustring desc;
    EncodeResumeSizeFilterDesc(old_size, new_size, desc);
    if (RecordResume(sess_id, stored.sync_id, FILTER_FILE_SIZE_SELECTIVE_SYNC, desc) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to setResumeCondition (%llu)[%s]\n", __LINE__,
                     U(sess_id), desc.c_str_utf8());
      return -1;
    }
    if (db->updateSizeFilter(sess_id, old_size, new_size) != 0) {
      Logger::LogMsg(Logger::L_ERR, kComp,
                     "[ERROR] filter-utils(%d): Failed to updateSizeFilter (%llu)from [%llu] to [%llu].\n",
                     __LINE__, U(sess_id), U(old_size), U(new_size));
      return -1;
    }
    Logger::LogMsg(Logger::L_INFO, kComp,
                   "[INFO] filter-utils(%d): size filter is more loosely, update DB and resume (%llu)[%s].\n",
                   __LINE__, U(sess_id), desc.c_str_utf8());
    return 0;
  }

  if (db->updateSizeFilter(sess_id, old_size, new_size) != 0) {
    Logger::LogMsg(Logger::L_ERR, kComp, "[ERROR] filter-utils(%d): Failed to updateSizeFilter (%llu)[%s]\n",
                   __LINE__, U(sess_id), fresh.filter_desc.c_str_utf8());
    return -1;
  }
  Logger::LogMsg(
      Logger::L_INFO, kComp,
      "[INFO] filter-utils(%d): size filter is more stringent, just update DB (%llu)from %llu to %llu. \n",
      __LINE__, U(sess_id), U(old_size), U(new_size));
  return 0;
}

int EncodeResumeSizeFilterDesc(uint64_t a, uint64_t b, ustring& out) {
  char buf[64];
  snprintf(buf, sizeof buf, "from=%llu,to=%llu", U(a < b ? a : b), U(a < b ? b : a));
  out = buf;
  return 0;
}

int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& from, uint64_t& to) {
  std::string_view text(desc.c_str_utf8(), desc.size());
  constexpr std::string_view kFrom = "from=";
  constexpr std::string_view kTo = ",to=";
  if (text.substr(0, kFrom.size()) != kFrom) return -1;
  size_t sep = text.find(kTo, kFrom.size());
  if (sep == std::string_view::npos) return -1;
  uint64_t a = 0;
  uint64_t b = 0;
  if (!ReadDecimal(text.substr(kFrom.size(), sep - kFrom.size()), a)) return -1;
  if (!ReadDecimal(text.substr(sep + kTo.size()), b)) return -1;
  from = a;
  to = b;
  return 0;
}
