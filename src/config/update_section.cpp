#include "config/update_section.h"

#include <array>
#include <span>
#include <string>
#include <vector>

#include "config/cp932.h"
#include "config/profile.h"
#include "config/text_format.h"

namespace upd {
namespace {

constexpr std::size_t kUpdateFileItems = 3;  // filter, mode, path: later items are never read


// The mode item, "d", "u" or "o" in any case.
bool ParseMode(std::string_view item, UpdateMode& mode) {
  if (item.size() != 1) return false;
  switch (cp932::AsciiLower(item[0])) {
    case 'u': mode = UpdateMode::kNewer; return true;
    case 'd': mode = UpdateMode::kData; return true;
    case 'o': mode = UpdateMode::kOverwrite; return true;
    default: return false;
  }
}

// The value as its read leaves it: up to its NUL, and no longer than `capacity` - 1 bytes.
std::string_view AsRead(std::string_view value, std::size_t capacity, bool& cut) {
  value = value.substr(0, value.find('\0'));
  if (value.size() > capacity - 1) {
    cut = true;
    value = value.substr(0, cp932::CutLength(value, capacity - 1));
  }
  return value;
}

// A key of [UPDATE] in the bytes of UPDATE.INI; the keys are optional, and a missing one is
// never reported.
std::size_t ReadUpdateKey(std::string_view update_ini, std::string_view key, std::span<char> destination,
                          bool& cut) {
  std::fill(destination.begin(), destination.end(), '\0');
  return ReadProfileString(update_ini, kUpdateSection, key, destination, cut);
}

}  // namespace

std::string_view DescribeFault(UpdateValueFault fault) {
  switch (fault) {
    case UpdateValueFault::kNone: return "usable";
    case UpdateValueFault::kItemTooLong: return "an item is longer than 259 bytes";
    case UpdateValueFault::kValueCut:
      return "the value is longer than 1023 bytes and the updater would read a cut item";
    case UpdateValueFault::kPathTooLong: return "the value is longer than 259 bytes";
    case UpdateValueFault::kDiscNotDigit: return "the disc before ':' is not a digit";
  }
  return "unknown fault";
}

std::int32_t FileNameOffset(std::string_view path) {
  path = path.substr(0, path.find('\0'));
  std::size_t offset = 0;
  for (std::size_t i = 0; i < path.size(); i += cp932::CharLength(path, i)) {
    if (path[i] == '\\') offset = i + 1;  // a lead byte's partner is stepped over, never seen
  }
  return static_cast<std::int32_t>(offset);
}

UpdateFileEntry ParseUpdateFileValue(std::string_view value, std::int32_t inst_mode, bool cut) {
  UpdateFileEntry entry;
  value = AsRead(value, kUpdateFileCapacity, cut);
  LongString text;
  text.assign(value);

  // The items as the updater takes them; a missing one reads as empty.
  std::array<NameString, kUpdateFileItems> items{};
  std::size_t count = 0;
  const char* cursor = text.data();
  std::int32_t disc = 0;  // a disc prefix means nothing in an UpdateFile value
  ListStep step = ListStep::kItem;
  while (count < items.size() && (step = NextListItem(items[count], cursor, disc)) == ListStep::kItem) ++count;
  // The items were read up to the end of the value (not to an item end before it).
  const bool read_to_end = *cursor == '\0';
  if (step == ListStep::kItem) {
    NameString later;
    entry.ignored_items = NextListItem(later, cursor, disc) != ListStep::kEnd;
  }

  std::size_t next = 0;
  if (count > next && items[next].view().size() == 1 && items[next].view()[0] >= '0' &&
      items[next].view()[0] <= '9') {
    entry.filter = items[next].view()[0] - '0';
    ++next;
  }
  entry.applies = entry.filter < 0 || entry.filter == inst_mode;

  if (step == ListStep::kTooLong) {
    entry.fault = UpdateValueFault::kItemTooLong;
    if (count == 0) entry.applies = true;  // the filter cannot be told: take it as applying
  } else if (cut && read_to_end) {
    // The last item read, or one that should have followed it, lies across the cut.
    entry.fault = UpdateValueFault::kValueCut;
  }

  UpdateMode mode = UpdateMode::kNone;
  if (count > next && ParseMode(items[next].view(), mode)) {
    entry.has_mode = true;
    ++next;
  }
  if (entry.fault != UpdateValueFault::kNone || !entry.applies) return entry;
  entry.item.Mode = mode;
  if (count > next) entry.item.Path = items[next];
  entry.item.NameOffset = FileNameOffset(entry.item.Path.view());
  return entry;
}

CopyFileEntry ParseCopyFileValue(std::string_view value, std::int32_t inst_mode, bool cut) {
  CopyFileEntry entry;
  value = AsRead(value, kCopyFileCapacity, cut);

  if (value.size() >= 2 && value[1] == ',') {
    entry.has_filter = true;
    entry.filter = value[0];
    value.remove_prefix(2);
  }
  // The character's code minus that of '0', as the mode digit is compared; any character
  // stands here, and one that is no digit matches no ordinary installation mode.
  entry.applies = !entry.has_filter || static_cast<unsigned char>(entry.filter) - '0' == inst_mode;

  std::int32_t disc = 0;
  if (value.size() >= 2 && value[1] == ':') {
    entry.has_disc = true;
    disc = static_cast<unsigned char>(value[0]) - '0';
    value.remove_prefix(2);
  }

  if (cut) {
    entry.fault = UpdateValueFault::kPathTooLong;
  } else if (entry.has_disc && (disc < 0 || disc > 9)) {
    entry.fault = UpdateValueFault::kDiscNotDigit;
  }
  if (entry.fault != UpdateValueFault::kNone || !entry.applies) return entry;
  entry.item.Disc = disc;
  entry.item.Path.assign(value);
  return entry;
}

std::uint32_t ReadRequiredDiskSpace(std::string_view update_ini) {
  NameString text;
  bool cut = false;
  if (ReadUpdateKey(update_ini, "RequiredDiskSpace", text.bytes, cut) == 0) return 0;
  return static_cast<std::uint32_t>(ParseDecimal32(text.view()));
}

bool ReadOverwriteOnly(std::string_view update_ini) {
  NameString text;
  bool cut = false;
  return ReadUpdateKey(update_ini, "OverwriteOnly", text.bytes, cut) != 0 && ParseDecimal32(text.view()) != 0;
}

std::vector<ListValue> ReadListValues(std::string_view update_ini, std::string_view stem, std::size_t capacity) {
  std::vector<ListValue> values;
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(kUpdateListSlots); ++i) {
    ListValue v;
    v.key = std::string(FormatText("%s%02i", {stem, i}).view());
    if (ReadUpdateKey(update_ini, v.key, std::span<char>(v.value.bytes).first(capacity), v.cut) == 0) break;
    values.push_back(std::move(v));
  }
  return values;
}

}  // namespace upd
