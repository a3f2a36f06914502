// A stand-in for the running game: game_window CLASS TITLE opens one visible top-level window of
// that class and title (UTF-16 on the command line) and runs until the window is closed.
#include <windows.h>
#include <shellapi.h>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc < 3) return 100;
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(h, m, w, l);
  };
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = argv[1];
  if (!RegisterClassW(&wc)) return 101;
  HWND window = CreateWindowW(argv[1], argv[2], WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr,
                              nullptr, wc.hInstance, nullptr);
  if (!window) return 102;
  ShowWindow(window, SW_SHOWNORMAL);
  LocalFree(argv);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
