// File names compared as lstrcmpiA compares them on a Japanese system, whatever the process's
// ANSI code page: both names are read as code page 932 and compared in the Japanese locale.
#pragma once

#include <string>
#include <string_view>

namespace upd::platform {

// lstrcmpiA's answer for two code page 932 names on a Japanese system: negative, 0 or positive.
// Each name ends at its first NUL, as a C string would.
int CompareNamesIgnoreCase(std::string_view a, std::string_view b);

// For many comparisons against one name: the name converted once.
class NameMatcher {
 public:
  explicit NameMatcher(std::string_view name);
  bool Matches(std::string_view other) const;

 private:
  std::wstring wide_;
};

}  // namespace upd::platform
