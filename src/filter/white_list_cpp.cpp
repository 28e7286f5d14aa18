#include "filter/white_list_cpp.h"

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
  return holder_load::Load(&m_list, m_lock, path, kOps, "white_list_cpp", __LINE__);
}

int WhiteListCpp::Test(const ustring& name) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return white_list_test(&m_list, std::string_view(name.c_str_utf8(), name.length()));
}

void WhiteListCpp::Clear() {
  WhiteList old;
  (void)white_list_init(&old);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    std::swap(m_list, old);
  }
  white_list_destroy(&old);
}
