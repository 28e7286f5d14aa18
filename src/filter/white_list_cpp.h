// WhiteListCpp: a session's thread-safe, reloadable white list
// ("whitelist.filter"). An empty list lets nothing through: Test gives 0
// when the extension of the name is listed or the list holds "*", -1
// otherwise, also for an empty name or list.
#ifndef FILTER_WHITE_LIST_CPP_H_
#define FILTER_WHITE_LIST_CPP_H_

#include "filter/reloadable_list.h"
#include "filter/white_list.h"

inline constexpr char kWhiteListCppTag[] = "white_list_cpp";

class WhiteListCpp : public ReloadableList<WhiteList, white_list_init, white_list_read, white_list_destroy,
                                           white_list_test, kWhiteListCppTag> {};

#endif  // FILTER_WHITE_LIST_CPP_H_
