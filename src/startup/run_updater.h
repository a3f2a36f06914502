// The updater's run from process start to exit code.
#pragma once

#include <windows.h>

namespace upd {

// The whole run: package, UPDATE.INI, the agreement texts, then LaunchUpdate, then the
// clean-up. Returns the process exit code: 1 when LaunchUpdate reports a finished update,
// 0 on every other path.
int RunUpdater(HINSTANCE instance);

// Releases the package directory and deletes this run's temporary UPDATE.INI. Runs exactly
// once on every path out of RunUpdater.
void CleanUpRun();

// Installation discovery, launch checks and the wizard; true when the wizard finished.
// Defined apart from RunUpdater, so that tests can link a LaunchUpdate of their own.
bool LaunchUpdate(HINSTANCE instance);

}  // namespace upd
