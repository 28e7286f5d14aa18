// Reconciliation of a session's selective-sync rules: the rules of its rule
// files are compared with those recorded in the filter database at the
// previous reconciliation. New and tighter rules are recorded; removed and
// looser ones become resume conditions, stored in the filter database and
// queued in the progress cache, so that the files they now admit are pulled
// from the server.
//
// The application drives it on its own thread: read both rule files,
// convert both into one SelectiveSyncInfo, convert the stored rules into
// another, then CompareFilterList (path prefixes), CompareFilterList
// (names), CompareExtensionFilterList and CompareSizeFilter, stopping at the
// first -1. Each step uses FilterDB::getInstance() and
// ProgressCache::getInstance(), each of which locks itself per call; there
// is no transaction across a reconciliation, so one stopped by a failure
// leaves what it did, and the next reload compares against that.
#ifndef FILTER_FILTER_RECONCILE_H_
#define FILTER_FILTER_RECONCILE_H_

#include <cstdint>
#include <set>

#include "filter/cs_filter.h"
#include "filter/selective_sync_info.h"
#include "filter/white_list.h"
#include "foundation/ustring.h"

// The stored limit that stands for "no limit": a removed size limit is
// recorded as this value (10 GiB).
constexpr uint64_t kRemovedSizeLimit = 10737418240ULL;

// Adds the black list's selective-sync rules to `out`, each as {sync_id,
// text}: path prefixes, names and extensions; black_size becomes {sync_id,
// the size limit in decimal} ("0" for none). `sess_id` is not used. 0.
int ConvertFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const Filter& filter,
                                         SelectiveSyncInfo& out);
// Adds the white list's extensions to out.white_ext. 0.
int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const WhiteList& list,
                                              SelectiveSyncInfo& out);

// Black rules of one type (-12, -13 or -14): a rule only in `fresh` is
// stored (with sync id 0 for path prefixes, its own otherwise); a rule only
// in `stored` becomes a resume condition from its stored sync id and is
// removed. 0, or -1 at the first database failure. `sync_folder` is unused.
int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& stored,
                      const std::set<FilterInfo>& fresh, const ustring& sync_folder);
// White-listed extensions: one only in `stored` is removed; one only in
// `fresh` is stored and becomes a resume condition from sync id 0.
int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo>& stored,
                           const std::set<FilterInfo>& fresh);
// White and black extensions together, deciding first on the white list's
// "*" (every extension). 0 or -1.
int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo& stored,
                               const SelectiveSyncInfo& fresh, const ustring& sync_folder);
// The size limit. A first limit is stored; a looser one (0 meaning none,
// recorded as kRemovedSizeLimit) records a resume condition of type -15 and
// updates the stored limit; a stricter one only updates it. A text that is
// not all decimal digits within 64 bits reads as 0. 0 or -1.
int CompareSizeFilter(uint64_t sess_id, const FilterInfo& stored, const FilterInfo& fresh);

// out = "from=<smaller>,to=<larger>". 0.
int EncodeResumeSizeFilterDesc(uint64_t a, uint64_t b, ustring& out);
// Reads exactly "from=<digits>,to=<digits>" (each within 64 bits): 0 with
// both numbers, or -1 with `from` and `to` untouched.
int DecodeResumeSizeFilterDesc(const ustring& desc, uint64_t& from, uint64_t& to);

#endif  // FILTER_FILTER_RECONCILE_H_
