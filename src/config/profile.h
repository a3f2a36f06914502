// Reading the two description files (profile files in code page 932), splitting list values
// into items, and joining path components.
//
// The profile reader is our own, over the file's bytes: it reads as GetPrivateProfileStringA
// does on a Japanese Windows, whatever the system's code page, so the updater gives the same
// values on an English Windows or under Wine. What it does with a file:
//
//   [SETUP]              section header: blanks before '[' and inside the brackets are
//   Key = value          dropped; the name ends at the first ']' (or at the line end), text
//   ;Key=comment         after the ']' is ignored. Lines whose first non-blank is ';' are
//   Name="  quoted  "    comments. Key and value lose their blanks, then one pair of
//   Flag                 matching outer quotes (" or ') is taken off the value. A line
//                        without '=' is a key without a value.
//
// Lines end at LF or CR. Blanks are space, tab, vertical tab and form feed. Section and key
// names match without regard to ASCII case; a double-byte character matches only itself. The
// first section of a name is the only one searched, and its first line with the key wins.
// Key lines before the first section header belong to no section. A value longer than the
// destination is cut to capacity - 1 bytes (one byte less when the cut would split a
// double-byte character) and the count is then capacity - 1, as GetPrivateProfileStringA
// reports a cut value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "base/description_fault.h"
#include "base/fixed_string.h"

namespace upd {

// Looks up `key` in `section` of the profile file `ini` (its bytes) and copies the value,
// NUL-terminated, into `destination` (nothing is written when it is empty). Returns the
// number of bytes of the value copied, not counting the NUL; 0 when the key is missing or
// its value is empty. Bytes after the terminating NUL are left as they were.
std::size_t ReadProfileString(std::string_view ini, std::string_view section,
                              std::string_view key, std::span<char> destination);
// The same, and `cut` tells whether the value was longer than the destination could hold
// (a value of exactly capacity - 1 bytes gives the same count but is whole).
std::size_t ReadProfileString(std::string_view ini, std::string_view section,
                              std::string_view key, std::span<char> destination, bool& cut);

// The same over the file at `file`, which is read anew on every call. A file that is missing
// or cannot be read gives 0 and the empty string.
std::size_t ReadProfileFile(const std::filesystem::path& file, std::string_view section,
                            std::string_view key, std::span<char> destination);
std::size_t ReadProfileFile(const std::filesystem::path& file, std::string_view section,
                            std::string_view key, std::span<char> destination, bool& cut);

// What reading one key of a description file gave.
struct KeyRead {
  // The key is missing or its value empty: the box the updater shows for it, when it must have it.
  std::optional<DescriptionFault> missing;
  bool cut = false;  // the value was longer than the destination and was cut to it
  bool found() const { return !missing; }
};

// Reads `key` of [SETUP] in SETUP.INI (its bytes) into the zero-filled destination. A missing or
// empty value gives the fault "SETUP.INI : <key> キーが存在しません" (caption "INSTCMMN").
KeyRead ReadSetupValue(std::string_view setup_ini, std::string_view key, std::span<char> destination);
template <std::size_t N>
KeyRead ReadSetupValue(std::string_view setup_ini, std::string_view key, FixedString<N>& destination) {
  return ReadSetupValue(setup_ini, key, std::span<char>(destination.bytes));
}

// As ReadSetupValue for `section` of UPDATE.INI (its bytes); the fault reads
// "<section> : <key> キーが存在しません". `cut` matters to lists: a cut value would name another
// file than the one meant, so they refuse it instead of using it.
KeyRead ReadUpdateValue(std::string_view update_ini, std::string_view section, std::string_view key,
                        std::span<char> destination);
template <std::size_t N>
KeyRead ReadUpdateValue(std::string_view update_ini, std::string_view section, std::string_view key,
                        FixedString<N>& destination) {
  return ReadUpdateValue(update_ini, section, key, std::span<char>(destination.bytes));
}

// Reads `key` of SETUP.INI as a decimal number (at most 19 characters of it) and stores it when
// the value is not empty; leaves `destination` as it was otherwise. Text that is no number reads
// as 0.
KeyRead ReadSetupInt(std::string_view setup_ini, std::string_view key, std::int32_t& destination);

// strtol with base 10, clamped to the 32-bit range: leading white space, an optional sign,
// the digits up to the first other character; 0 without digits.
std::int32_t ParseDecimal32(std::string_view text);
// strtoull with base 10: as above, a '-' negates modulo 2^64, and an overflow gives the
// largest 64-bit value.
std::uint64_t ParseDecimalU64(std::string_view text);

// What one step of a list gave.
enum class ListStep : std::int32_t {
  kEnd = 0,   // no further item: the list ends here
  kItem = 1,  // an item was taken
  kTooLong,   // the next item is longer than a slot: the list cannot be read whole
};

// Takes the next item of a list value into `item`; `cursor` points into the NUL-terminated
// value and is advanced past the item. Blanks (tab, space) before an item are skipped; an
// item ends at NUL, LF, CR or ','; an item that starts "N:" stores the digit N (0 for another
// character) in `disc` and loses those two characters; the caller keeps `disc` from item to
// item, since a prefix names the disc of its item and those after it. Gives kItem for an item,
// kEnd at the end of the list (an empty item ends it), leaving the cursor on the item end.
//
// An item longer than 259 bytes gives kTooLong: neither `item` nor `disc` is written and
// the cursor stays on the item (after the blanks). Cutting it would name another file,
// shortcut or folder than the one meant, and taking it as the end of the list would drop it
// and every item behind it without a word; every reader reports it as an error of its list.
ListStep NextListItem(NameString& item, const char*& cursor, std::int32_t& disc);

// Appends `component` (up to its first NUL) to the NUL-terminated path in `path`, with one
// '\' between them unless the path is empty or already ends in '\' or '/', and writes a second
// NUL after the result, so the path is also a one-element list for the shell's file copy.
// A '\' that is the second byte of a double-byte character is no separator.
//
// Returns false, leaving `path` as it was, when the result and its two NULs would not fit
// the buffer (260 bytes for the run's paths); callers treat that as a failed step of their
// own. The classic form of this operation has no result and no limit.
bool JoinPath(std::span<char> path, std::string_view component);
inline bool JoinPath(NameString& path, std::string_view component) {
  return JoinPath(std::span<char>(path.bytes), component);
}

}  // namespace upd
