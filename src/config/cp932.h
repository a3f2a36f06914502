// Code page 932 byte rules the core needs without asking the system: which bytes start a
// double-byte character. The second byte of such a character may be any of 0x40-0xFC, among
// them '\' (0x5C) and ']' (0x5D), so scans for those bytes step over whole characters.
#pragma once

#include <cstddef>
#include <string_view>

namespace upd::cp932 {

constexpr bool IsLeadByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Length in bytes of the character that starts at text[i] (1 or 2). A lead byte as the last
// byte of the text counts as a character of its own.
constexpr std::size_t CharLength(std::string_view text, std::size_t i) {
  return IsLeadByte(text[i]) && i + 1 < text.size() ? 2 : 1;
}

// ASCII letters to lower case, every other byte as it is: the case folding of section, key and
// mode names (a double-byte character matches only itself).
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The largest length <= limit at which `text` can be cut without splitting a double-byte
// character.
constexpr std::size_t CutLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t i = 0;
  while (i < limit) {
    const std::size_t n = CharLength(text, i);
    if (i + n > limit) break;
    i += n;
  }
  return i;
}

}  // namespace upd::cp932
