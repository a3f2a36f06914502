#include "config/setup_description.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "base/messages.h"
#include "config/profile.h"
#include "config/text_format.h"

namespace upd {
namespace {

constexpr std::size_t kMaxInstallSelects = 4;
constexpr std::size_t kMaxShortcuts = 10;
constexpr std::size_t kAddOnSlot = 3;

// A list is in error when it has no first item, or when any item it is read to is too long
// for a slot: ending the list there would drop that item and all behind it without a word.
bool IsListError(ListStep step, std::size_t index) {
  return step == ListStep::kTooLong || (step == ListStep::kEnd && index == 0);
}

// Splits an install file list into the set's slots, recording each item's disc. Returns false
// when the list is in error (the caller gives its fault).
bool SplitInstallFiles(InstallSet& set, const LongString& value) {
  std::int32_t disc = 0;
  set.NeedsCD = 0;
  const char* cursor = value.data();
  for (std::size_t k = 0; k < kInstallFileSlots; ++k) {
    const ListStep step = NextListItem(set.InstallFiles[k], cursor, disc);
    if (step != ListStep::kItem) {
      if (IsListError(step, k)) return false;
      set.InstallFiles[k].clear();
      break;
    }
    set.InstallDiscs[k] = disc;
    if (disc != 0) set.NeedsCD = 1;
  }
  return true;
}

// The keys of one SETUP.INI, and the fault that ends their reading.
class Reader {
 public:
  Reader(std::string_view ini, std::optional<DescriptionFault>& fault) : ini_(ini), fault_(fault) {}

  // A value the description must have: false, with the fault of its key, when it is missing or
  // empty.
  bool Required(std::string_view key, std::span<char> field, FaultKind kind = FaultKind::kMissingKey) {
    return Keep(ReadSetupValue(ini_, key, field), kind);
  }
  template <std::size_t N>
  bool Required(std::string_view key, FixedString<N>& field, FaultKind kind = FaultKind::kMissingKey) {
    return Required(key, std::span<char>(field.bytes), kind);
  }
  bool RequiredInt(std::string_view key, std::int32_t& field) {
    return Keep(ReadSetupInt(ini_, key, field), FaultKind::kMissingKey);
  }

  // A value that may be missing: whether it is there.
  bool Optional(std::string_view key, std::span<char> field) { return ReadSetupValue(ini_, key, field).found(); }
  template <std::size_t N>
  bool Optional(std::string_view key, FixedString<N>& field) {
    return Optional(key, std::span<char>(field.bytes));
  }
  bool OptionalInt(std::string_view key, std::int32_t& field) { return ReadSetupInt(ini_, key, field).found(); }

  template <std::size_t N>
  void ReadOrDefault(std::string_view key, FixedString<N>& field, std::string_view fallback) {
    if (!Optional(key, field)) field.assign(fallback);
  }

  // A size figure, read as strtoull reads it; 0 when the key is missing.
  //
  // Read with the room of a long value rather than the 20 bytes of a number: 19 characters
  // cannot hold every 64-bit size (up to 20 digits), so a 20-digit size would silently lose its
  // last digit, and a size past 64 bits would read as its first 19 digits instead of the
  // largest value.
  std::uint64_t Size(std::string_view key) {
    LongString text;
    return Optional(key, text) ? ParseDecimalU64(text.view()) : 0;
  }

  // A flag: 1 when the key holds a number other than 0, else 0.
  std::int32_t Flag(std::string_view key) {
    std::int32_t n = 0;
    return OptionalInt(key, n) && n != 0 ? 1 : 0;
  }

  // Ends the reading at a value the updater cannot use. Returns false, for the caller to return.
  bool Refuse(const LongString& text) {
    fault_ = DescriptionFault{FaultKind::kBadValue, texts::kSetupErrorCaption, text};
    return false;
  }
  bool Refuse(std::string_view text) {
    LongString t;
    t.assign(text);
    return Refuse(t);
  }
  bool RefuseList(std::string_view key) { return Refuse(FormatText(texts::kListError, {key})); }

 private:
  // Whether the key was found; otherwise its fault, taken as `kind`, ends the reading.
  bool Keep(KeyRead read, FaultKind kind) {
    if (read.found()) return true;
    read.missing->kind = kind;
    fault_ = std::move(read.missing);
    return false;
  }

  std::string_view ini_;
  std::optional<DescriptionFault>& fault_;
};

bool ReadShortcut(Reader& r, std::size_t a, ShortcutEntry& entry, LongString& value) {
  const LongString key = FormatText("Shortcut%i", {static_cast<std::int32_t>(a)});
  // The value is read with the capacity of a name, into the long value buffer.
  if (!r.Required(key.view(), std::span<char>(value.bytes).first(kNameCapacity))) return false;
  for (auto& field : entry.Fields) field.clear();
  const char* cursor = value.data();
  std::int32_t disc = 0;  // a prefix means nothing in a shortcut
  for (std::size_t n = 0; n < entry.Fields.size(); ++n) {
    const ListStep step = NextListItem(entry.Fields[n], cursor, disc);
    if (step == ListStep::kItem) continue;
    // Target and caption are required. (The value is read with the room of a name, so no
    // field can outgrow its slot today; the one rule of all lists holds here as well.)
    if (n < 2 || step == ListStep::kTooLong) return r.RefuseList(key.view());
    if (*cursor == '\0' || *cursor == '\n' || *cursor == '\r') break;  // the entry is complete
    // An empty optional field: skip the run of separators and blanks up to the next field.
    while (*cursor == ',' || *cursor == ' ' || *cursor == '\t') ++cursor;
  }
  return true;
}

// The whole description in its order; false at the first failure, whose fault `r` holds.
bool ReadAll(Reader& r, GameIdentity& game, SetupDescription& d) {
  LongString value;  // the one value buffer of the lists

  if (!r.Required("CompanyName", game.CompanyName) || !r.Required("GameTitle", game.GameTitle) ||
      !r.Required("GameDir", game.GameDir) || !r.Required("GameExe", d.GameExe) ||
      !r.Required("UninstExe", d.UninstExe)) {
    return false;
  }

  if (!r.Required("SetupBmp", value)) return false;
  {
    const char* cursor = value.data();
    std::int32_t disc = 0;  // nor in a picture's name
    d.SetupBmpLast = static_cast<std::int32_t>(kSetupBmpSlots) - 1;
    for (std::size_t k = 0; k < kSetupBmpSlots; ++k) {
      const ListStep step = NextListItem(d.SetupBmp[k], cursor, disc);
      if (step == ListStep::kItem) continue;
      if (IsListError(step, k)) return r.Refuse(texts::kSetupBmpError);
      d.SetupBmp[k].clear();
      d.SetupBmpLast = static_cast<std::int32_t>(k) - 1;
      break;
    }
  }

  if (!r.RequiredInt("InstallSelects", d.InstallSelects)) return false;
  if (d.InstallSelects > static_cast<std::int32_t>(kMaxInstallSelects)) return r.Refuse(texts::kInstallSelectOver);
  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    InstallSet& set = d.InstallSets[static_cast<std::size_t>(j)];
    if (!r.Required(FormatText("InstallTitle%i", {j}).view(), set.InstallTitle)) return false;
    const LongString key = FormatText("InstallFiles%i", {j});
    if (!r.Required(key.view(), value)) return false;
    if (!SplitInstallFiles(set, value)) return r.RefuseList(key.view());
  }

  if (!r.RequiredInt("Shortcuts", d.Shortcuts)) return false;
  if (d.Shortcuts > static_cast<std::int32_t>(kMaxShortcuts)) return r.Refuse(texts::kShortcutsOver);
  for (std::int32_t a = 0; a < d.Shortcuts; ++a) {
    const auto at = static_cast<std::size_t>(a);
    if (!ReadShortcut(r, at, d.ShortcutEntries[at], value)) return false;
  }

  // Everything from here on is optional, except the add-on file list.
  r.ReadOrDefault("GameClass", game.GameClass, game.GameTitle.view());
  if (std::memcmp(game.GameClass.data(), "Orvelant", 8) == 0) {
    d.EngineKind = 0;
  } else {
    d.EngineKind = game.GameClass.view() == "TTVPWindowForm" ? 1 : 2;
  }

  d.DefaultSelect = 0;
  r.OptionalInt("DefaultSelect", d.DefaultSelect);

  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    d.InstallSets[static_cast<std::size_t>(j)].InstallSize = r.Size(FormatText("InstallSize%i", {j}).view());
  }

  for (std::size_t i = 0; i < kDiskCheckFiles; ++i) {
    r.Optional(FormatText("DiskCheckFile%i", {static_cast<std::int32_t>(i)}).view(), d.DiskCheckFile[i]);
  }

  if (r.Optional("ExecApp", std::span<char>(value.bytes).first(kNameCapacity))) {
    // Both items are required, so an end and a too long item are errors alike.
    const char* cursor = value.data();
    std::int32_t disc = 0;
    if (NextListItem(d.ExecApp[0], cursor, disc) != ListStep::kItem ||
        NextListItem(d.ExecApp[1], cursor, disc) != ListStep::kItem) {
      return r.RefuseList("ExecApp");
    }
  } else {
    d.ExecApp[0].clear();
  }

  r.ReadOrDefault("SelectSetupMessage", d.SelectSetupMessage, texts::kDefaultSelectMessage);
  d.UseCompanyNameForShortcutGroup = r.Flag("UseCompanyNameForShortcutGroup");
  d.ChooseSaveDataFolder = r.Flag("ChooseSaveDataFolder");
  r.ReadOrDefault("SaveDataFolderNameInInstall", d.SaveDataFolderNameInInstall, "savedata");
  r.ReadOrDefault("SaveDataFolderName", d.SaveDataFolderName, game.GameDir.view());
  d.CancelSaveData = r.Flag("CancelSaveData");
  d.InstallAfterAdd = r.Flag("InstallAfterAdd");

  if (d.InstallAfterAdd != 0) {
    // The add-on set takes slot 3's files, discs, NeedsCD and size; its title stays. Asked for
    // without its list, the set cannot be used: a bad value, though its text names the key.
    InstallSet& addon = d.InstallSets[kAddOnSlot];
    if (!r.Required("InstallAddFiles", value, FaultKind::kBadValue)) return false;
    // Nothing of the set read before may show through behind the add-on items.
    for (auto& file : addon.InstallFiles) file.clear();
    addon.InstallDiscs.fill(0);
    if (!SplitInstallFiles(addon, value)) return r.Refuse(texts::kInstallAddFilesError);
    addon.InstallSize = r.Size("InstallAddSize");
  }

  r.ReadOrDefault("UninstTitle", d.UninstTitle, game.GameTitle.view());
  return true;
}

}  // namespace

SetupDescriptionRead ReadSetupDescription(std::string_view setup_ini) {
  SetupDescriptionRead read;
  Reader r(setup_ini, read.fault);
  ReadAll(r, read.game, read.setup);
  return read;
}

}  // namespace upd
