#include "platform/name_compare.h"

#include <windows.h>

#include "platform/codepage.h"

namespace upd::platform {
namespace {

// lstrcmpiA is CompareStringA in the thread's locale with NORM_IGNORECASE alone (a word sort,
// no width or kana folding), minus 2. CompareStringA widens with the locale's code page and no
// flags, so invalid bytes become the default character just as WidenCp932Lossy makes them.
constexpr LCID kJapaneseLocale = 0x0411;  // MAKELCID(LANG_JAPANESE, SORT_DEFAULT)

std::string_view UpToNul(std::string_view s) { return s.substr(0, s.find('\0')); }

int CompareWide(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringW(kJapaneseLocale, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) -
         CSTR_EQUAL;
}

}  // namespace

int CompareNamesIgnoreCase(std::string_view a, std::string_view b) {
  return CompareWide(WidenCp932Lossy(UpToNul(a)), WidenCp932Lossy(UpToNul(b)));
}

NameMatcher::NameMatcher(std::string_view name) : wide_(WidenCp932Lossy(UpToNul(name))) {}

bool NameMatcher::Matches(std::string_view other) const {
  return CompareWide(wide_, WidenCp932Lossy(UpToNul(other))) == 0;
}

}  // namespace upd::platform
