// The run-wide values: one set per process, used by the one GUI thread, written and read by
// the phases of the run in order (entry, description, installation, wizard, update). Plain
// data at the bottom of the house: every folder that reads it includes it, it includes none of
// them, and it holds no Windows type.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/fixed_string.h"

namespace upd {

class PackageDirectory;  // package/container.h

// The four values that UPDATE.INI gives first and SETUP.INI later overwrites: one storage,
// so every reader after the SETUP.INI parse sees the installed game's own values.
struct GameIdentity {
  NameString CompanyName;
  NameString GameTitle;
  NameString GameClass;
  NameString GameDir;
};

// The [SETUP] values of UPDATE.INI other than the shared four.
struct UpdateDescription {
  NameString GameTitleA;
  NameString UpdaterVersion;
  NameString UpdaterTitle;
  NameString DataFolder;
  LongString UpdateMessage;
  // Entry content followed by two zero bytes; present even when the entry is empty.
  std::optional<std::vector<char>> AgreementTextData;
  std::optional<std::vector<char>> AgreementTitleData;
};

inline constexpr std::size_t kInstallSetSlots = 4;
inline constexpr std::size_t kInstallFileSlots = 40;
inline constexpr std::size_t kSetupBmpSlots = 20;
inline constexpr std::size_t kShortcutSlots = 10;
inline constexpr std::size_t kDiskCheckFiles = 10;

struct InstallSet {
  NameString InstallTitle;
  std::array<NameString, kInstallFileSlots> InstallFiles{};
  std::array<std::int32_t, kInstallFileSlots> InstallDiscs{};
  std::int32_t NeedsCD = 0;
  std::uint64_t InstallSize = 0;
};

struct ShortcutEntry {
  std::array<NameString, 4> Fields{};
};

// The [SETUP] values of SETUP.INI other than the shared four.
struct SetupDescription {
  NameString GameExe;
  NameString UninstExe;
  std::array<NameString, kSetupBmpSlots> SetupBmp{};
  std::int32_t SetupBmpLast = 0;
  std::int32_t InstallSelects = 0;
  std::array<InstallSet, kInstallSetSlots> InstallSets{};
  std::int32_t Shortcuts = 0;
  std::array<ShortcutEntry, kShortcutSlots> ShortcutEntries{};
  std::int32_t EngineKind = 0;
  std::int32_t DefaultSelect = 0;
  std::array<NameString, kDiskCheckFiles> DiskCheckFile{};
  std::array<NameString, 2> ExecApp{};
  LongString SelectSetupMessage;
  std::int32_t UseCompanyNameForShortcutGroup = 0;
  std::int32_t ChooseSaveDataFolder = 0;
  NameString SaveDataFolderNameInInstall;
  NameString SaveDataFolderName;
  std::int32_t CancelSaveData = 0;
  std::int32_t InstallAfterAdd = 0;
  NameString UninstTitle;
};

// What the game's installer recorded in the registry. Paths from the system stay wide.
struct InstallRecord {
  std::filesystem::path InstPath;
  std::filesystem::path DataPath;
  std::int32_t InstMode = 0;
};

inline constexpr std::size_t kCaptionCapacity = 1024;  // room for the longest caption (533)

// The wizard's step counter and re-entrancy flag. WizardPage is the step the next Next carries
// out: 0 on the start page, 1 on the confirm page, 2 once the update run has returned.
struct WizardState {
  std::int32_t WizardPage = 0;
  std::int32_t BusyFlag = 0;
};

// One applicable UpdateFile%02i entry of [UPDATE] in UPDATE.INI.
enum class UpdateMode : std::int32_t { kNone = 0, kNewer = 1, kData = 2, kOverwrite = 3 };
struct UpdateItem {
  UpdateMode Mode = UpdateMode::kNone;
  NameString Path;
  std::int32_t NameOffset = 0;  // start of the file-name part of Path: the package entry's name
};

// One applicable CopyFile%02i entry: a path on the game's disc, copied into the installation.
struct CopyItem {
  std::int32_t Disc = 0;  // 1-9; 0 asks for no disc
  NameString Path;
};

inline constexpr std::size_t kUpdateListSlots = 16;  // keys 00-15 of each list

struct RunState {
  RunState();
  ~RunState();
  RunState(RunState&&) noexcept;
  RunState& operator=(RunState&&) noexcept;

  std::span<const std::uint8_t> PackageImage;  // the locked resource, never freed
  // Shared, so that this bottom room needs no more than the name of the type: whoever makes the
  // directory gives it its deleter.
  std::shared_ptr<PackageDirectory> Directory;  // the run's PackageDirectory
  // The package's integrity record was found sound: every stream is the one its builder made and
  // verified, so entries are unpacked straight into their files (and ahead) without a first pass
  // that proves each stream before its target is touched.
  bool StreamsProven = false;
  std::filesystem::path UpdateIniPath;          // this run's own temporary UPDATE.INI
  // UPDATE.INI's bytes as they came out of the package: every key is read from here, never
  // from the temporary file, which another process could otherwise change between reads.
  std::string UpdateIniText;
  // SETUP.INI's bytes as read once through the held installation folder: the description is read
  // from here, never again from the file.
  std::optional<std::string> SetupIniText;
  GameIdentity Game;
  UpdateDescription Update;
  SetupDescription Setup;
  InstallRecord Install;
  FixedString<kCaptionCapacity> UpdaterCaption = [] {
    FixedString<kCaptionCapacity> c;
    c.assign("UPDATE");
    return c;
  }();
  void* OwnerWindow = nullptr;  // the wizard dialog while it exists (a window handle)
  WizardState Wizard;
};

// The process's run state.
RunState& Run();
// Back to the start values (tests run many scenarios in one process).
void ResetRun();

}  // namespace upd
