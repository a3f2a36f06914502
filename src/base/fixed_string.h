// Fixed-capacity byte strings in code page 932, as the description files and the package hold
// them: a capacity includes the terminating NUL, and a longer value is cut to capacity - 1.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace upd {

inline constexpr std::size_t kNumberCapacity = 20;   // integers and sizes
inline constexpr std::size_t kNameCapacity = 260;    // names, paths, list items
inline constexpr std::size_t kLongCapacity = 1024;   // long values and messages

template <std::size_t N>
struct FixedString {
  std::array<char, N> bytes{};

  static constexpr std::size_t capacity() { return N; }
  char* data() { return bytes.data(); }
  const char* data() const { return bytes.data(); }
  std::string_view view() const { return {bytes.data(), ::strnlen(bytes.data(), N)}; }
  bool empty() const { return bytes[0] == '\0'; }
  void clear() { bytes.fill('\0'); }
  // Zero-fills, then copies at most N - 1 bytes.
  void assign(std::string_view s) {
    clear();
    std::memcpy(bytes.data(), s.data(), std::min(s.size(), N - 1));
  }
  friend bool operator==(const FixedString& a, std::string_view b) { return a.view() == b; }
};

using NameString = FixedString<kNameCapacity>;
using LongString = FixedString<kLongCapacity>;

}  // namespace upd
