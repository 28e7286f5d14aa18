#include "filter/session_rule_files.h"

#include "filter/holder_load.h"

namespace {

const holder_load::RecordOps<Filter> kBlackOps = {filter_init, filter_read, filter_destroy};
const holder_load::RecordOps<WhiteList> kWhiteOps = {white_list_init, white_list_read, white_list_destroy};
const holder_load::RecordOps<ForceHashCheckList> kForceOps = {
    force_hash_check_list_init, force_hash_check_list_read, force_hash_check_list_destroy};

}  // namespace

SessionRuleFiles::SessionRuleFiles() {
  // A failed allocation leaves empty sets that still grow: nothing to check.
  (void)filter_init(&m_black);
  (void)white_list_init(&m_white);
  (void)force_hash_check_list_init(&m_force);
}

SessionRuleFiles::~SessionRuleFiles() {
  filter_destroy(&m_black);
  white_list_destroy(&m_white);
  force_hash_check_list_destroy(&m_force);
}

int SessionRuleFiles::Read(const ustring& black_list_path, const ustring& white_list_path,
                           const ustring& force_hash_check_path, RuleFile* failed) {
  if (holder_load::Read(black_list_path, kBlackOps, "session_rule_files", __LINE__, m_black) != 0) {
    *failed = kBlackList;
    return -1;
  }
  if (holder_load::Read(white_list_path, kWhiteOps, "session_rule_files", __LINE__, m_white) != 0) {
    *failed = kWhiteList;
    return -1;
  }
  if (holder_load::Read(force_hash_check_path, kForceOps, "session_rule_files", __LINE__, m_force) != 0) {
    *failed = kForceHashCheckList;
    return -1;
  }
  return 0;
}

int SessionRuleFiles::Install(BlackList2& black_list, WhiteListCpp& white_list,
                              ForceHashCheckListCpp& force_hash_check_list, RuleFile* failed) const {
  // Every copy is made before the first swap, so a failed one installs
  // nothing.
  Filter black;
  WhiteList white;
  ForceHashCheckList force;
  (void)filter_init(&black);
  (void)white_list_init(&white);
  (void)force_hash_check_list_init(&force);
  int rc = 0;
  if (filter_copy(&black, &m_black) != 0) {
    *failed = kBlackList;
    rc = -1;
  } else if (schema_record_copy(&white_list_schema, &white, &m_white) != 0) {
    *failed = kWhiteList;
    rc = -1;
  } else if (schema_record_copy(&force_hash_check_list_schema, &force, &m_force) != 0) {
    *failed = kForceHashCheckList;
    rc = -1;
  }
  if (rc == 0) {
    // Each Install leaves its record destroyed.
    black_list.Install(black);
    white_list.Install(white);
    force_hash_check_list.Install(force);
  }
  filter_destroy(&black);
  white_list_destroy(&white);
  force_hash_check_list_destroy(&force);
  return rc;
}
