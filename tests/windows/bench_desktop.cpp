// Holds Wine's desktop open for a whole test run: bench_desktop READY_FILE.
// Wine starts the desktop process (explorer.exe) from the first program that needs a window, and
// that process inherits the program's output. Under ctest that is a test's output pipe, and
// ctest waits for the pipe to close: the test "runs" until every window of the run is gone. The
// bench starts this holder first, away from any pipe, so the desktop is started by it and lives
// as long as it does (until the bench stops).
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (!GetDesktopWindow()) return 1;
  if (argc > 1) {
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 2;
    CloseHandle(ready);
  }
  Sleep(INFINITE);
  return 0;
}
