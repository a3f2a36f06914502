// Holds a file open without sharing, as another program may: the tests start it to make a write
// impossible and end it themselves (it gives up on its own after a minute).
#include <windows.h>
#include <shellapi.h>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return 2;
  HANDLE h = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(argv);
  if (h == INVALID_HANDLE_VALUE) return 1;
  Sleep(60000);
  CloseHandle(h);
  return 0;
}
