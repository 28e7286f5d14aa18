#include "filter/force_hash_check_list_cpp.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "filter/holder_load.h"

namespace {
const holder_load::RecordOps<ForceHashCheckList> kOps = {
    force_hash_check_list_init, force_hash_check_list_read, force_hash_check_list_destroy};
}  // namespace

// A failed init leaves an empty set that still grows: nothing to check.
ForceHashCheckListCpp::ForceHashCheckListCpp() { (void)force_hash_check_list_init(&m_list); }

ForceHashCheckListCpp::~ForceHashCheckListCpp() { force_hash_check_list_destroy(&m_list); }

int ForceHashCheckListCpp::Load(const ustring& path) {
  return holder_load::Load(path, kOps, "force_hash_check_list_cpp", __LINE__, [this](ForceHashCheckList& fresh) {
    std::unique_lock<std::shared_mutex> guard(m_lock);
    std::swap(m_list, fresh);
  });
}

int ForceHashCheckListCpp::Test(const ustring& name) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return force_hash_extension_test(&m_list, std::string_view(name.c_str_utf8(), name.length()));
}

void ForceHashCheckListCpp::Clear() {
  ForceHashCheckList old;
  (void)force_hash_check_list_init(&old);
  {
    std::unique_lock<std::shared_mutex> guard(m_lock);
    std::swap(m_list, old);
  }
  force_hash_check_list_destroy(&old);
}
