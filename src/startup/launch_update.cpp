// Installation discovery and launch checks, then the wizard: LaunchUpdate.
#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error_box.h"
#include "base/messages.h"
#include "base/state.h"
#include "config/setup_description.h"
#include "config/text_format.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/held_folders.h"
#include "platform/registry.h"
#include "startup/run_updater.h"
#include "wizard/wizard.h"

namespace upd {
namespace {

// The dialog class that every dialog and message box has; another updater's wizard is found
// by it and its caption.
constexpr ATOM kDialogClassAtom = 0x8002;

// HKEY_CURRENT_USER\Software\<CompanyName>\<GameDir>, with the values of UPDATE.INI. False when
// the key, InstPath or InstMode cannot be read; DataPath is optional.
bool ReadInstallRecord(InstallRecord& record) {
  const RunState& run = Run();
  const LongString path =
      FormatText("Software\\%s\\%s", {run.Game.CompanyName, run.Game.GameDir});
  platform::UniqueRegistryKey key = platform::OpenKeyForReading(HKEY_CURRENT_USER, path.view());
  if (!key) return false;
  std::optional<std::wstring> inst_path =
      platform::QueryTextValue(key.get(), L"InstPath", kNameCapacity);
  if (!inst_path) return false;
  std::optional<std::wstring> data_path =
      platform::QueryTextValue(key.get(), L"DataPath", kNameCapacity);
  std::optional<std::uint32_t> inst_mode = platform::QueryFourBytes(key.get(), L"InstMode");
  if (!inst_mode) return false;
  record.InstPath = *inst_path;
  record.DataPath = data_path.value_or(std::wstring());
  record.InstMode = static_cast<std::int32_t>(*inst_mode);
  return true;
}

HWND FindTopLevel(const wchar_t* window_class, std::string_view title) {
  const std::wstring wide_title = platform::WidenCp932Lossy(title);
  return FindWindowW(window_class, wide_title.c_str());
}

void BringToFront(HWND window) {
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
}

// The names the game's window may have in Windows, from the code page 932 bytes of its class
// and title. A Unicode game, or an ANSI one on a Japanese system or under a locale emulator, has
// them as code page 932 reads them; an ANSI game on any other system as the system's ANSI code
// page reads them (RegisterClassA, CreateWindowExA). The second is left out where it is the
// first.
std::vector<std::pair<std::wstring, std::wstring>> GameWindowNames(std::string_view window_class,
                                                                   std::string_view title) {
  std::vector<std::pair<std::wstring, std::wstring>> names;
  names.emplace_back(platform::WidenCp932Lossy(window_class), platform::WidenCp932Lossy(title));
  std::pair<std::wstring, std::wstring> ansi(platform::WidenAnsiLossy(window_class),
                                             platform::WidenAnsiLossy(title));
  if (ansi != names.front()) names.push_back(std::move(ansi));
  return names;
}

HWND FindGameWindow(const std::vector<std::pair<std::wstring, std::wstring>>& names) {
  for (const auto& [window_class, title] : names) {
    if (HWND game = FindWindowW(window_class.c_str(), title.c_str())) return game;
  }
  return nullptr;
}

// Waits, with an OK/Cancel box, until no window of the game's class titled `title` is open.
// False when the player chose Cancel: the game's window then comes to the front.
bool WaitWhileGameRuns(std::string_view title) {
  const auto names = GameWindowNames(Run().Game.GameClass.view(), title);
  for (;;) {
    HWND game = FindGameWindow(names);
    if (!game) return true;
    const std::wstring text =
        platform::WidenCp932Lossy(FormatText(texts::kGameRunningFormat, {title}).view());
    const std::wstring caption = platform::WidenCp932Lossy(Run().UpdaterCaption.view());
    if (MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OKCANCEL) != IDOK) {
      BringToFront(game);
      return false;
    }
  }
}

// Reads the held SETUP.INI into the run: its game's identity replaces the one of UPDATE.INI.
// False when the run must end. A required key missing or empty ends it without a box: the run
// names the missing keys of its own UPDATE.INI only. A value it cannot use is shown.
bool TakeSetupDescription(RunState& run) {
  const SetupDescriptionRead read = ReadSetupDescription(*run.SetupIniText);
  if (read.fault) {
    if (read.fault->kind != FaultKind::kMissingKey) ShowFault(*read.fault);
    return false;
  }
  run.Game = read.game;
  run.Setup = read.setup;
  return true;
}

}  // namespace

bool LaunchUpdate(HINSTANCE instance) {
  RunState& run = Run();
  if (!ReadInstallRecord(run.Install)) {
    ShowUpdaterError(FormatText(texts::kNotInstalledFormat, {run.Game.GameTitle}).view());
    return false;
  }

  if (!run.Update.UpdateMessage.empty()) {
    ShowUpdaterError(ConvertNoticeLineBreaks(run.Update.UpdateMessage.view()).view());
  }

  // Both base folders are held from here until the run ends, so that the folder whose SETUP.INI
  // is read is the one the update later writes into: renamed away and replaced while the wizard
  // waits, it would be another. A base that is itself a link (a moved game) is held as it
  // resolves now; a data folder that is not there yet is held once the run makes it.
  platform::FolderGuard& folders = platform::RunFolders();
  const bool inst_held = folders.HoldBase(run.Install.InstPath) == platform::FolderCheck::kHeld;
  if (!run.Install.DataPath.empty()) folders.HoldBase(run.Install.DataPath);

  // An installation folder too long to hold SETUP.INI within the path width has none that we
  // could read: the same message as for a missing one. The file is read once, through the folder
  // held, and only when it is a plain file there.
  std::optional<std::filesystem::path> setup_ini =
      platform::JoinWithin(run.Install.InstPath, L"SETUP.INI");
  const auto inst_final = folders.FinalOf(run.Install.InstPath, {});
  std::optional<std::string> setup_text;
  if (setup_ini && inst_held && inst_final) setup_text = platform::ReadPlainFile(L"SETUP.INI", *inst_final);
  if (!setup_text) {
    ShowUpdaterError(texts::kSetupIniMissing);
    return false;
  }
  run.SetupIniText = std::move(setup_text);
  if (!TakeSetupDescription(run)) return false;

  if (!run.Update.UpdaterTitle.empty()) {
    run.UpdaterCaption.assign(run.Update.UpdaterTitle.view());
  } else {
    run.UpdaterCaption.assign(
        FormatText(texts::kCaptionFormat, {run.Game.GameTitle, run.Update.UpdaterVersion}).view());
  }

  // Another updater with this caption (its wizard or one of its boxes) is open: show it instead.
  if (HWND other = FindTopLevel(reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(kDialogClassAtom)), run.UpdaterCaption.view())) {
    BringToFront(other);
    return false;
  }

  if (!WaitWhileGameRuns(run.Game.GameTitle.view())) return false;
  if (!run.Update.GameTitleA.empty() && !WaitWhileGameRuns(run.Update.GameTitleA.view())) {
    return false;
  }

  const int template_id =
      run.Update.AgreementTextData ? kAgreementWizardTemplate : kWizardTemplate;
  const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(template_id), nullptr,
                                         WizardDialogProc, 0);
  run.OwnerWindow = nullptr;
  if (result == kWizardFinished) return true;
  ShowUpdaterError(texts::kInterrupted);
  return false;
}

}  // namespace upd
