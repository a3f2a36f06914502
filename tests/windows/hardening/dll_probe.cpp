// The load that the planted DLL test holds update.exe against: a program beside the planted
// DLLs that does not restrict its DLL search and loads each name given on its command line by
// that bare name. Exit code: how many of them could not be loaded.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 100;
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    if (LoadLibraryW(argv[i]) == nullptr) ++failed;
  }
  LocalFree(argv);
  return failed;
}
