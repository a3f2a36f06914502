// The installed game's installer description, SETUP.INI: the [SETUP] section read in its fixed
// order into Run().Setup, with CompanyName, GameTitle, GameDir and GameClass going to the
// storage shared with UPDATE.INI (Run().Game), so later readers see the installed game's values.
//
// Required, in this order: CompanyName, GameTitle, GameDir, GameExe, UninstExe, SetupBmp (a list
// of at least one item), InstallSelects (at most 4) with InstallTitle<j> and InstallFiles<j> for
// each set, Shortcuts (at most 10) with Shortcut<a> ("target,caption[,field 2[,field 3]]").
// Then, read without missing-key boxes: GameClass, DefaultSelect, InstallSize<j>,
// DiskCheckFile0-9, ExecApp (two items when present), SelectSetupMessage, the flags
// UseCompanyNameForShortcutGroup and ChooseSaveDataFolder, SaveDataFolderNameInInstall,
// SaveDataFolderName, CancelSaveData, InstallAfterAdd (then InstallAddFiles, reported when
// missing, and InstallAddSize into install set 3), UninstTitle.
//
// A list (SetupBmp, InstallFiles<j>, Shortcut<a>, ExecApp, InstallAddFiles) is in error when
// it lacks a required item or when an item it is read to is longer than 259 bytes, in any
// position: the box is the one of that list's missing first item.
#pragma once

namespace upd {

// Reads SETUP.INI at Run().SetupIniPath once into Run().Setup and Run().Game. Returns 1 when
// the whole description was read; 0 at the first failure, after its box (or none, for a
// missing key while SilentMissingKeys is set). Sets SilentMissingKeys to 1 from the optional
// keys on.
int ReadSetupDescription();

}  // namespace upd
