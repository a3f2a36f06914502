// update.exe's process entry. The command line is never read: the update is configured only by
// its package, the installation's SETUP.INI and the registry.
#include <windows.h>

#include "startup/run_updater.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return upd::RunUpdater(instance);
}
