// The installed game's installer description, SETUP.INI: the [SETUP] section read in its fixed
// order into a SetupDescription, and CompanyName, GameTitle, GameDir and GameClass into the
// game's identity, which the run takes over the one of UPDATE.INI.
//
// Required, in this order: CompanyName, GameTitle, GameDir, GameExe, UninstExe, SetupBmp (a list
// of at least one item), InstallSelects (at most 4) with InstallTitle<j> and InstallFiles<j> for
// each set, Shortcuts (at most 10) with Shortcut<a> ("target,caption[,field 2[,field 3]]").
// Then, optional (a missing one is no fault): GameClass, DefaultSelect, InstallSize<j>,
// DiskCheckFile0-9, ExecApp (two items when present), SelectSetupMessage, the flags
// UseCompanyNameForShortcutGroup and ChooseSaveDataFolder, SaveDataFolderNameInInstall,
// SaveDataFolderName, CancelSaveData, InstallAfterAdd (then InstallAddFiles, a bad value when
// missing, and InstallAddSize into install set 3), UninstTitle.
//
// A list (SetupBmp, InstallFiles<j>, Shortcut<a>, ExecApp, InstallAddFiles) is in error when
// it lacks a required item or when an item it is read to is longer than 259 bytes, in any
// position: the fault is the one of that list's missing first item.
#pragma once

#include <optional>
#include <string_view>

#include "base/description_fault.h"
#include "base/state.h"

namespace upd {

struct SetupDescriptionRead {
  GameIdentity game;  // GameClass is the title when SETUP.INI has none
  SetupDescription setup;
  // The first failure in reading order; the values are then read up to it only.
  std::optional<DescriptionFault> fault;
};

// Reads SETUP.INI (its bytes) once: the whole description, or the first failure.
SetupDescriptionRead ReadSetupDescription(std::string_view setup_ini);

}  // namespace upd
