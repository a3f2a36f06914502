// Message formatting as the updater's messages have always been made (wsprintfA into a
// 1024-byte buffer), without the platform: the core formats, the shell only shows.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/fixed_string.h"

namespace upd {

// One argument of FormatText: a code page 932 string or an integer.
struct FormatArg {
  enum class Kind { kText, kNumber };
  Kind kind;
  std::string_view text;
  std::int64_t number = 0;

  FormatArg(std::string_view s) : kind(Kind::kText), text(s) {}
  FormatArg(const char* s) : kind(Kind::kText), text(s) {}
  FormatArg(const std::string& s) : kind(Kind::kText), text(s) {}
  template <std::size_t N>
  FormatArg(const FixedString<N>& s) : kind(Kind::kText), text(s.view()) {}
  FormatArg(std::int32_t n) : kind(Kind::kNumber), number(n) {}
  FormatArg(std::uint32_t n) : kind(Kind::kNumber), number(n) {}
};

// Formats like wsprintfA for the conversions %s, %d, %i, %u, %x, %X, %c and %%, with the
// flags '-' and '0', a width and, for %s, a precision. %d and %i print a signed 32-bit value,
// %u/%x/%X an unsigned 32-bit one (as wsprintfA reads them). Missing arguments print nothing;
// an unknown conversion prints its letter. The result holds at most 1023 bytes: a longer text
// is cut, never in the middle of a double-byte character.
LongString FormatText(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace upd

namespace upd {

// The notice of UPDATE.INI as its box shows it: a one-byte backslash followed by the letter n
// becomes one carriage return (a line break in the box); every other character is copied, a
// double-byte character whole, so that its second byte (which may be 0x5C) never starts a line
// break. There is no other escape. The value is at most 1023 bytes and never grows.
LongString ConvertNoticeLineBreaks(std::string_view notice);

}  // namespace upd
