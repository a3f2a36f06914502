// Entry names: bare file names in code page 932, as the updater looks them up and writes them.
#pragma once

#include <cstdint>
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

// The name as the updater's lookup sees it: two names fold to the same text exactly when the
// updater cannot tell them apart (CompareStringW in the Japanese locale, NORM_IGNORECASE, on the
// names widened from code page 932). Besides letter case that holds for the two codes of one
// character (≒ at 0x81E0 and 0x8790), Roman numerals (Ⅰ, ⅰ), and marks such as ー and 々,
// which compare by the character before them (亜々 and 亜亜 are one name). The fold comes from
// a table made from the system's comparison (tools/namefold), which a Windows test holds
// against it.
std::string FoldEntryName(std::string_view name);

// Whether `code` (a single byte, or lead << 8 | trail) is a character of code page 932.
bool IsSpeltCode(std::uint16_t code);

}  // namespace updpack
