#include "config/setup_description.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "config/error_box.h"
#include "config/profile.h"
#include "config/text_format.h"
#include "run/state.h"

namespace upd {
namespace {

// SETUP.INI : %s エラー
constexpr std::string_view kListError = "SETUP.INI : %s \x83\x47\x83\x89\x81\x5B";
// SETUP.INI : SetupBmps エラー
constexpr std::string_view kSetupBmpError = "SETUP.INI : SetupBmps \x83\x47\x83\x89\x81\x5B";
// SETUP.INI : InstallSelect オーバー
constexpr std::string_view kInstallSelectOver = "SETUP.INI : InstallSelect \x83\x49\x81\x5B\x83\x6F\x81\x5B";
// SETUP.INI : Shortcuts オーバー
constexpr std::string_view kShortcutsOver = "SETUP.INI : Shortcuts \x83\x49\x81\x5B\x83\x6F\x81\x5B";
// SETUP.INI : InstallAddFiles エラー
constexpr std::string_view kInstallAddFilesError = "SETUP.INI : InstallAddFiles \x83\x47\x83\x89\x81\x5B";
// インストール方法を選択して下さい
constexpr std::string_view kDefaultSelectMessage =
    "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x95\xFB\x96\x40\x82\xF0\x91\x49\x91\xF0"
    "\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2";

constexpr std::size_t kMaxInstallSelects = 4;
constexpr std::size_t kMaxShortcuts = 10;
constexpr std::size_t kAddOnSlot = 3;

void ShowListError(std::string_view key) { ShowSetupError(FormatText(kListError, {key}).view()); }

// A list is in error when it has no first item, or when any item it is read to is too long
// for a slot: ending the list there would drop that item and all behind it without a word.
bool IsListError(ListStep step, std::size_t index) {
  return step == ListStep::kTooLong || (step == ListStep::kEnd && index == 0);
}

// Splits an install file list into the set's slots, recording each item's disc. Returns false
// when the list is in error (the caller shows its message).
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

// A size figure, read as strtoull reads it; 0 when the key is missing.
//
// Read with the room of a long value rather than the 20 bytes of a number: 19 characters
// cannot hold every 64-bit size (up to 20 digits), so a 20-digit size would silently lose its
// last digit, and a size past 64 bits would read as its first 19 digits instead of the
// largest value.
std::uint64_t ReadSize(std::string_view key) {
  LongString text;
  return ReadSetupValue(key, text) ? ParseDecimalU64(text.view()) : 0;
}

// A flag: 1 when the key holds a number other than 0, else 0.
std::int32_t ReadFlag(std::string_view key) {
  std::int32_t n = 0;
  return ReadSetupInt(key, n) && n != 0 ? 1 : 0;
}

template <std::size_t N>
void ReadOrDefault(std::string_view key, FixedString<N>& field, std::string_view fallback) {
  if (ReadSetupValue(key, field) == 0) field.assign(fallback);
}

bool ReadShortcut(std::size_t a, LongString& value) {
  SetupDescription& d = Run().Setup;
  const LongString key = FormatText("Shortcut%i", {static_cast<std::int32_t>(a)});
  // The value is read with the capacity of a name, into the long value buffer.
  if (ReadSetupValue(key.view(), std::span<char>(value.bytes).first(kNameCapacity)) == 0) return false;
  ShortcutEntry& entry = d.ShortcutEntries[a];
  for (auto& field : entry.Fields) field.clear();
  const char* cursor = value.data();
  std::int32_t disc = 0;  // a prefix means nothing in a shortcut
  for (std::size_t n = 0; n < entry.Fields.size(); ++n) {
    const ListStep step = NextListItem(entry.Fields[n], cursor, disc);
    if (step == ListStep::kItem) continue;
    // Target and caption are required. (The value is read with the room of a name, so no
    // field can outgrow its slot today; the one rule of all lists holds here as well.)
    if (n < 2 || step == ListStep::kTooLong) {
      ShowListError(key.view());
      return false;
    }
    if (*cursor == '\0' || *cursor == '\n' || *cursor == '\r') break;  // the entry is complete
    // An empty optional field: skip the run of separators and blanks up to the next field.
    while (*cursor == ',' || *cursor == ' ' || *cursor == '\t') ++cursor;
  }
  return true;
}

}  // namespace

int ReadSetupDescription() {
  RunState& run = Run();
  GameIdentity& game = run.Game;
  SetupDescription& d = run.Setup;
  LongString value;  // the one value buffer of the lists

  if (!ReadSetupValue("CompanyName", game.CompanyName) || !ReadSetupValue("GameTitle", game.GameTitle) ||
      !ReadSetupValue("GameDir", game.GameDir) || !ReadSetupValue("GameExe", d.GameExe) ||
      !ReadSetupValue("UninstExe", d.UninstExe)) {
    return 0;
  }

  if (!ReadSetupValue("SetupBmp", value)) return 0;
  {
    const char* cursor = value.data();
    std::int32_t disc = 0;  // nor in a picture's name
    d.SetupBmpLast = static_cast<std::int32_t>(kSetupBmpSlots) - 1;
    for (std::size_t k = 0; k < kSetupBmpSlots; ++k) {
      const ListStep step = NextListItem(d.SetupBmp[k], cursor, disc);
      if (step == ListStep::kItem) continue;
      if (IsListError(step, k)) {
        ShowSetupError(kSetupBmpError);
        return 0;
      }
      d.SetupBmp[k].clear();
      d.SetupBmpLast = static_cast<std::int32_t>(k) - 1;
      break;
    }
  }

  if (!ReadSetupInt("InstallSelects", d.InstallSelects)) return 0;
  if (d.InstallSelects > static_cast<std::int32_t>(kMaxInstallSelects)) {
    ShowSetupError(kInstallSelectOver);
    return 0;
  }
  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    InstallSet& set = d.InstallSets[static_cast<std::size_t>(j)];
    if (!ReadSetupValue(FormatText("InstallTitle%i", {j}).view(), set.InstallTitle)) return 0;
    const LongString key = FormatText("InstallFiles%i", {j});
    if (!ReadSetupValue(key.view(), value)) return 0;
    if (!SplitInstallFiles(set, value)) {
      ShowListError(key.view());
      return 0;
    }
  }

  if (!ReadSetupInt("Shortcuts", d.Shortcuts)) return 0;
  if (d.Shortcuts > static_cast<std::int32_t>(kMaxShortcuts)) {
    ShowSetupError(kShortcutsOver);
    return 0;
  }
  for (std::int32_t a = 0; a < d.Shortcuts; ++a) {
    if (!ReadShortcut(static_cast<std::size_t>(a), value)) return 0;
  }

  // Everything from here on is optional, except the add-on file list.
  run.SilentMissingKeys = 1;

  ReadOrDefault("GameClass", game.GameClass, game.GameTitle.view());
  if (std::memcmp(game.GameClass.data(), "Orvelant", 8) == 0) {
    d.EngineKind = 0;
  } else {
    d.EngineKind = game.GameClass.view() == "TTVPWindowForm" ? 1 : 2;
  }

  d.DefaultSelect = 0;
  ReadSetupInt("DefaultSelect", d.DefaultSelect);

  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    d.InstallSets[static_cast<std::size_t>(j)].InstallSize =
        ReadSize(FormatText("InstallSize%i", {j}).view());
  }

  for (std::size_t i = 0; i < kDiskCheckFiles; ++i) {
    ReadSetupValue(FormatText("DiskCheckFile%i", {static_cast<std::int32_t>(i)}).view(),
                   d.DiskCheckFile[i]);
  }

  if (ReadSetupValue("ExecApp", std::span<char>(value.bytes).first(kNameCapacity))) {
    // Both items are required, so an end and a too long item are errors alike.
    const char* cursor = value.data();
    std::int32_t disc = 0;
    if (NextListItem(d.ExecApp[0], cursor, disc) != ListStep::kItem ||
        NextListItem(d.ExecApp[1], cursor, disc) != ListStep::kItem) {
      ShowListError("ExecApp");
      return 0;
    }
  } else {
    d.ExecApp[0].clear();
  }

  ReadOrDefault("SelectSetupMessage", d.SelectSetupMessage, kDefaultSelectMessage);
  d.UseCompanyNameForShortcutGroup = ReadFlag("UseCompanyNameForShortcutGroup");
  d.ChooseSaveDataFolder = ReadFlag("ChooseSaveDataFolder");
  ReadOrDefault("SaveDataFolderNameInInstall", d.SaveDataFolderNameInInstall, "savedata");
  ReadOrDefault("SaveDataFolderName", d.SaveDataFolderName, game.GameDir.view());
  d.CancelSaveData = ReadFlag("CancelSaveData");
  d.InstallAfterAdd = ReadFlag("InstallAfterAdd");

  if (d.InstallAfterAdd != 0) {
    // The add-on set takes slot 3's files, discs, NeedsCD and size; its title stays.
    InstallSet& addon = d.InstallSets[kAddOnSlot];
    run.SilentMissingKeys = 0;
    if (!ReadSetupValue("InstallAddFiles", value)) return 0;
    // Nothing of the set read before may show through behind the add-on items.
    for (auto& file : addon.InstallFiles) file.clear();
    addon.InstallDiscs.fill(0);
    if (!SplitInstallFiles(addon, value)) {
      ShowSetupError(kInstallAddFilesError);
      return 0;
    }
    run.SilentMissingKeys = 1;
    addon.InstallSize = ReadSize("InstallAddSize");
  }

  ReadOrDefault("UninstTitle", d.UninstTitle, game.GameTitle.view());
  return 1;
}

}  // namespace upd
