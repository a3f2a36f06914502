// The [UPDATE] section of UPDATE.INI: what the update run writes and copies.
//
//   [UPDATE]
//   RequiredDiskSpace=1048576      bytes that must be free on the installation drive; 0: no test
//   OverwriteOnly=1                not 0: every UpdateFile entry writes only over an existing file
//   UpdateFile00=1,u,data\a.dat    [filter digit,][mode d/u/o,]path   (items of one list value)
//   UpdateFile01=b.dat
//   CopyFile00=1,2:movie           [filter character,][disc character:]path   (taken as it is)
//
// Each list runs from index 00 to the first missing or empty key, at most to 15; an entry that
// does not apply to the installation mode takes no slot and does not end its list.
//
// UpdateFile values (read up to 1023 bytes) are split with NextListItem into at most three
// items: a first item of exactly one digit is a filter (the entry applies only when it equals
// the installation mode); then a mode item "d", "u" or "o" in any case; then the path, whose
// part after its last '\' names the package entry. Items after the third are never read.
// CopyFile values (read up to 259 bytes) take no blanks off and are not split at commas: a
// comma as second character makes the first a filter (its code minus '0' against the mode),
// then a colon as second character makes the first the disc number; the rest is the path.
//
// Values the updater cannot use whole are refused rather than cut, since a cut item names
// another file than the one meant: an item over 259 bytes, an UpdateFile value over 1023
// bytes whose cut falls inside the items used, a CopyFile value over 259 bytes, a disc that
// is not a digit (only DiskCheckFile0-9 exist). The lists are all read before anything is
// written, so a refused value stops the run with nothing changed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/state.h"

namespace upd {

inline constexpr std::string_view kUpdateSection = "UPDATE";
inline constexpr std::size_t kUpdateFileCapacity = kLongCapacity;  // 1023 bytes and the NUL
inline constexpr std::size_t kCopyFileCapacity = kNameCapacity;    // 259 bytes and the NUL

// Why an UpdateFile or CopyFile value cannot be used.
enum class UpdateValueFault : std::uint8_t {
  kNone,
  kItemTooLong,   // one of the first three items of an UpdateFile value is over 259 bytes
  kValueCut,      // an UpdateFile value over 1023 bytes, cut where the updater reads its items
  kPathTooLong,   // a CopyFile value over 259 bytes: its path would be cut
  kDiscNotDigit,  // a CopyFile disc prefix whose character is not a digit
};

// One line saying why, in English, for updpack's findings.
std::string_view DescribeFault(UpdateValueFault fault);

// One UpdateFile value, parsed for the installation mode `inst_mode`.
struct UpdateFileEntry {
  UpdateValueFault fault = UpdateValueFault::kNone;
  // The entry's filter lets it apply to `inst_mode` (always, without a filter). An entry whose
  // first item is too long to tell its filter counts as applying.
  bool applies = false;
  std::int32_t filter = -1;    // the filter digit, -1 without one
  bool has_mode = false;       // a mode item was given
  bool ignored_items = false;  // the value holds items after the third
  UpdateItem item;             // when it applies without a fault
};

// Parses one UpdateFile value (up to its first NUL). `cut` says that the value was cut by its
// read; a value longer than 1023 bytes is cut here as the read would cut it.
UpdateFileEntry ParseUpdateFileValue(std::string_view value, std::int32_t inst_mode, bool cut = false);

// One CopyFile value, parsed for the installation mode `inst_mode`.
struct CopyFileEntry {
  UpdateValueFault fault = UpdateValueFault::kNone;
  bool applies = false;   // no filter, or its character minus '0' equals `inst_mode`
  bool has_filter = false;
  char filter = '\0';     // the filter character when there is one
  bool has_disc = false;  // a disc prefix was given (item.Disc is 0 without one)
  CopyItem item;          // when it applies without a fault
};

// Parses one CopyFile value (up to its first NUL); `cut` as above, for the limit of 259 bytes.
CopyFileEntry ParseCopyFileValue(std::string_view value, std::int32_t inst_mode, bool cut = false);

// Offset in `path` of its file-name part: one past the last '\' that is a character of its
// own in code page 932 (the core's lead-byte rule, never the system's code page), 0 without
// one. '/' is no separator here.
std::int32_t FileNameOffset(std::string_view path);

// RequiredDiskSpace of [UPDATE] in the bytes of UPDATE.INI, read as strtol base 10 reads it
// (saturating at the 32-bit limits), then taken as unsigned 32-bit; 0 when missing or without
// digits.
std::uint32_t ReadRequiredDiskSpace(std::string_view update_ini);

// OverwriteOnly of [UPDATE]: on when its number is not 0.
bool ReadOverwriteOnly(std::string_view update_ini);

// One key of a list as read: its name ("UpdateFile03"), its value (cut to the capacity of
// the read) and whether the read cut it.
struct ListValue {
  std::string key;
  LongString value;
  bool cut = false;
};

// The keys `stem`00 to `stem`15 of [UPDATE] in the bytes of UPDATE.INI, up to the first
// missing or empty one, each read with `capacity` (kUpdateFileCapacity or kCopyFileCapacity).
// Keys of [UPDATE] are optional: a missing one is never reported.
std::vector<ListValue> ReadListValues(std::string_view update_ini, std::string_view stem, std::size_t capacity);

}  // namespace upd
