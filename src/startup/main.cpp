// update.exe's process entry. The command line is never read: the update is configured only by
// its package, the installation's SETUP.INI and the registry.
#include <windows.h>

#include <string>

#include "startup/run_updater.h"

namespace {

// The updater runs elevated from a Downloads folder that any program of the player can write.
// Every DLL loaded after the imports (themes, common controls, the shell's copy engine, COM,
// input methods) would be looked up in the executable's folder first: from here on the system
// folder alone is searched. SetDefaultDllDirectories is looked up rather than imported because
// Windows 7 has it only with KB2533623, and an import it lacks would stop update.exe from
// starting at all; without it, SetDllDirectoryW(L"") at least takes the current folder out of
// the search. kernel32 is mapped into every process, so the lookup loads nothing.
void SearchDllsInTheSystemFolderOnly() {
  if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
    using SetDefaultDllDirectoriesFn = decltype(&SetDefaultDllDirectories);
    if (auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")))) {
      set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
  }
  SetDllDirectoryW(L"");
}

// Wine's loader resolves the delay imports of its own DLLs (comctl32's of uxtheme, uxtheme's of
// msimg32) through the executable's folder, whatever the setting above says, and user32 frees
// the uxtheme it loads to look at the theme. Loaded here from the system folder and kept for the
// life of the process, they are found by name when those imports are resolved. On Windows they
// are loaded from the system folder anyway; this only loads them earlier.
void KeepLateSystemDllsLoaded() {
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH - 16) return;
  for (const wchar_t* name : {L"\\uxtheme.dll", L"\\msimg32.dll"}) {
    std::wstring path(system, n);
    path += name;
    LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  SearchDllsInTheSystemFolderOnly();
  KeepLateSystemDllsLoaded();
  return upd::RunUpdater(instance);
}
