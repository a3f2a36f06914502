// Entry names: bare file names in code page 932, as the updater looks them up and writes them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace updpack {

inline constexpr std::size_t kMaxEntryName = 259;  // the 260-byte field holds the NUL too

// Lead byte of a double-byte character in code page 932.
constexpr bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Why `name` cannot be an entry name, or nothing when it can. An entry name is well-formed
// code page 932 of 1 to 259 bytes that Windows takes as one file name in a folder: no folder
// or drive part (a trail byte 0x5C of a double-byte character is no separator), none of the
// characters Windows refuses in file names, not "." or "..", no trailing dot or blank (Windows
// would drop it), no device name such as CON or LPT1.
std::optional<std::string> EntryNameFault(std::string_view name);

// The name with the letters folded that the updater's lookup takes as equal regardless of
// case: ASCII, and the full-width Latin, Greek and Cyrillic letters of code page 932.
std::string FoldEntryName(std::string_view name);

}  // namespace updpack
