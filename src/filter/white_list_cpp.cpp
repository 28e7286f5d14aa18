#include "filter/white_list_cpp.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "filter/holder_load.h"

namespace {
const holder_load::RecordOps<WhiteList> kOps = {white_list_init, white_list_read, white_list_destroy};
}  // namespace

// A failed init leaves an empty set that still grows: nothing to check.
WhiteListCpp::WhiteListCpp() { (void)white_list_init(&m_list); }

WhiteListCpp::~WhiteListCpp() { white_list_destroy(&m_list); }

int WhiteListCpp::Load(const ustring& path) {
  return holder_load::Load(path, kOps, "white_list_cpp", __LINE__, [this](WhiteList& fresh) {
    std::unique_lock<std::shared_mutex> guard(m_lock);
    std::swap(m_list, fresh);
  });
}

int WhiteListCpp::Test(const ustring& name) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return white_list_test(&m_list, std::string_view(name.c_str_utf8(), name.length()));
}

void WhiteListCpp::Clear() {
  WhiteList old;
  (void)white_list_init(&old);
  {
    std::unique_lock<std::shared_mutex> guard(m_lock);
    std::swap(m_list, old);
  }
  white_list_destroy(&old);
}
