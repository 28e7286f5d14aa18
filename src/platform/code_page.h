// Text conversion between the code set of the current locale and UTF-8,
// over iconv. Stands in for the system code-page conversions.
#ifndef PLATFORM_CODE_PAGE_H_
#define PLATFORM_CODE_PAGE_H_

#include <string>
#include <string_view>

namespace platform {

// The code set of the locale's LC_CTYPE, as nl_langinfo(CODESET) names it
// ("ANSI_X3.4-1968" under "C", "UTF-8" under "C.UTF-8"). It follows
// setlocale(), so the same call may answer differently after one.
const char* LocaleCodeSet();

// Each conversion replaces `out` on success and leaves it unchanged on
// failure. A byte sequence that is invalid in the source, and a character
// that the target cannot represent, each become one "?"; such text is not
// an error. Results: 0, or an errno value: EINVAL when iconv has no
// converter for the locale's code set, ENOMEM, or what iconv reported.
// Thread-safe (each call opens its own converter).

// From the locale's code set to UTF-8.
int LocaleToUtf8(std::string_view in, std::string& out);

// From UTF-8 to the locale's code set.
int Utf8ToLocale(std::string_view in, std::string& out);

// From UTF-8 to UTF-8: the text with every invalid sequence turned into "?".
int ValidateUtf8(std::string_view in, std::string& out);

}  // namespace platform

#endif  // PLATFORM_CODE_PAGE_H_
