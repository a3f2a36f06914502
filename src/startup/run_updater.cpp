#include "startup/run_updater.h"

#include <objbase.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/error_box.h"
#include "base/messages.h"
#include "base/state.h"
#include "config/text_format.h"
#include "config/update_description.h"
#include "package/container.h"
#include "package/entry_access.h"
#include "package/integrity.h"
#include "platform/file_system.h"
#include "platform/held_folders.h"

namespace upd {
namespace {

// The package resource, read in place. Nothing (and no message) when it is missing or empty.
std::optional<std::span<const std::uint8_t>> LocatePackage(HINSTANCE instance) {
  HRSRC info = FindResourceW(instance, MAKEINTRESOURCEW(102), L"UPDATE");
  if (!info) return std::nullopt;
  const DWORD size = SizeofResource(instance, info);
  if (size == 0) return std::nullopt;
  HGLOBAL loaded = LoadResource(instance, info);
  if (!loaded) return std::nullopt;
  const void* bytes = LockResource(loaded);
  if (!bytes) return std::nullopt;
  return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
}

// This run's UPDATE.INI in the user's temporary folder: a file of its own (a second updater
// never replaces or deletes it, and nothing planted in advance is taken for it), held so that no
// other process can change or delete it, and deleted by the system when the run lets go of it,
// however the process ends. The folder's path stays wide: it may hold characters code page 932
// cannot spell.
std::optional<platform::HeldTemporaryFile>& RunIniFile() {
  static std::optional<platform::HeldTemporaryFile> file;
  return file;
}

// Creates the file and puts the package's UPDATE.INI into it; the keys are then read from the
// bytes in memory. False when the run must end (after the messages of the extraction, if any).
bool ExtractRunIni() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH) return false;
  RunState& run = Run();
  auto file = platform::HeldTemporaryFile::CreateIn(folder, L"UPD");
  if (!file) return false;  // refused like a failed extraction: nothing to say beyond it
  run.UpdateIniPath = file->path();
  RunIniFile() = std::move(file);
  const std::optional<EntryBytes> ini = EntryBytesFor("UPDATE.INI", run.UpdateIniPath);
  if (!ini || !RunIniFile()->Write(ini->bytes())) return false;
  try {
    run.UpdateIniText.assign(ini->bytes().begin(), ini->bytes().end());
  } catch (const std::bad_alloc&) {
    ShowUpdaterError(texts::kNoMemoryMessage);
    return false;
  }
  return true;
}

// Loads the package entry `name` as a NUL-terminated text (content plus two zero bytes). False
// after the run's messages when the run must end.
bool FetchAgreement(const NameString& name, std::optional<std::vector<char>>& field) {
  if (name.empty()) return true;  // optional: stays none
  std::optional<EntryBytes> entry = FindPackageEntry(name.view());
  if (!entry) {
    ShowUpdaterError(FormatText("'%s' not found at UPDATE.FA3", {name}).view());
    return false;
  }
  try {
    std::vector<char> text(entry->size() + 2, '\0');
    std::copy(entry->bytes().begin(), entry->bytes().end(), text.begin());
    field = std::move(text);
  } catch (const std::bad_alloc&) {
    ShowUpdaterError(texts::kNoMemoryMessage);
    return false;
  }
  return true;
}

// Steps 3 to 9 of the run; the caller cleans up whatever happens here.
int RunWithPackage(HINSTANCE instance) {
  RunState& run = Run();
  run.Directory = LoadPackageDirectory(run.PackageImage);
  if (!run.Directory) {
    ShowUpdaterError(texts::kResourceReadError);
    return 0;
  }
  // A package with an integrity record is checked in full before anything is written, so a
  // damaged download never starts an update and cannot leave a game half-updated.
  switch (CheckIntegrity(*run.Directory, run.PackageImage).status) {
    case IntegrityResult::Status::kNoRecord:
      break;
    case IntegrityResult::Status::kSound:
      run.StreamsProven = true;
      break;
    case IntegrityResult::Status::kNoMemory:
      ShowUpdaterError(texts::kNoMemoryMessage);
      return 0;
    default:
      ShowUpdaterError(texts::kResourceReadError);
      return 0;
  }

  if (!ExtractRunIni()) return 0;

  // The first required key missing or empty is named, and ends the run.
  const UpdateDescriptionRead read = ReadUpdateDescription(run.UpdateIniText);
  if (read.fault) {
    ShowFault(*read.fault);
    return 0;
  }
  run.Game = read.game;
  run.Update = read.update;

  if (!FetchAgreement(read.agreement_text, run.Update.AgreementTextData)) return 0;
  if (!FetchAgreement(read.agreement_title, run.Update.AgreementTitleData)) return 0;

  return LaunchUpdate(instance) ? 1 : 0;
}

}  // namespace

void CleanUpRun() {
  RunState& run = Run();
  run.Directory.reset();
  RunIniFile().reset();  // the system deletes the file with its handle
  run.UpdateIniPath.clear();
  run.UpdateIniText.clear();
  platform::RunFolders().Release();  // each folder's pin goes with its hold
}

int RunUpdater(HINSTANCE instance) {
  // Apartment-threaded COM for the shell's copy operation later on; never uninitialised, the
  // process exit ends it.
  (void)CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int exit_code = 0;
  if (std::optional<std::span<const std::uint8_t>> package = LocatePackage(instance)) {
    Run().PackageImage = *package;
    exit_code = RunWithPackage(instance);
  }
  CleanUpRun();
  return exit_code;
}

}  // namespace upd
