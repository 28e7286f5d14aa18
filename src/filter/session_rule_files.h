// SessionRuleFiles: a session's three rule files (black list, white list,
// force-hash-check list) parsed into records of their own, so that they are
// put in force together or not at all. A new black list must never run
// beside an old white list because the white list's file failed to parse,
// and each file is read once: the records that are put in force are the
// ones the caller reconciles, so a file changed meanwhile cannot make a
// second read disagree with the first.
//
// One thread owns an object; it takes no lock of its own (Install takes
// each holder's lock for its swap).
#ifndef FILTER_SESSION_RULE_FILES_H_
#define FILTER_SESSION_RULE_FILES_H_

#include "filter/black_list2.h"
#include "filter/cs_filter.h"
#include "filter/force_hash_check_list.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list.h"
#include "filter/white_list_cpp.h"
#include "foundation/ustring.h"

class SessionRuleFiles {
 public:
  // Which file failed to parse.
  enum RuleFile { kBlackList, kWhiteList, kForceHashCheckList };

  // Three empty records.
  SessionRuleFiles();
  ~SessionRuleFiles();
  SessionRuleFiles(const SessionRuleFiles&) = delete;
  SessionRuleFiles& operator=(const SessionRuleFiles&) = delete;

  // Parses the three files (UTF-8 paths) in this order and stops at the
  // first that is missing, unreadable or rejected by the parser (logged as
  // the holders log a failed Load): -1 with `*failed` naming it. 0 when all
  // three parsed. Call once per object.
  int Read(const ustring& black_list_path, const ustring& white_list_path, const ustring& force_hash_check_path,
           RuleFile* failed);

  // The parsed records; valid after a Read that gave 0.
  const Filter& black_list() const { return m_black; }
  const WhiteList& white_list() const { return m_white; }

  // Puts copies of the three records in force in the holders (one swap
  // each; a test running meanwhile sees each list old or new, never half of
  // one); the records stay for the caller's reconciliation. Only after a
  // Read that gave 0. 0; -1 when memory runs out for a copy, with
  // `*failed` naming it and nothing installed.
  int Install(BlackList2& black_list, WhiteListCpp& white_list, ForceHashCheckListCpp& force_hash_check_list,
              RuleFile* failed) const;

 private:
  Filter m_black;
  WhiteList m_white;
  ForceHashCheckList m_force;
};

#endif  // FILTER_SESSION_RULE_FILES_H_
