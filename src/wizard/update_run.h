// The update run: the wizard's last step, started by Next on the confirm page.
#pragma once

#include <windows.h>

namespace upd {

// Reads [UPDATE] of UPDATE.INI, tests the free space, writes the package's files by their modes
// and copies from the game's disc. Ends in one of three ways: the finished page; stopped by the
// disk-space test (Back and Abort enabled, nothing written); or the dialog ended with -1 after
// its message. Defined apart from the wizard, so that tests can link a RunUpdate of their own.
void RunUpdate(HWND window);

}  // namespace upd
