// A stand-in for the running game: game_window CLASS TITLE [X Y WIDTH HEIGHT [topmost]] opens one
// visible top-level window of that class and title (UTF-16 on the command line), where told and
// of the size told, and runs until the window is closed. The UI driver's tests lay such a window
// (topmost: above every other window) over the boxes they read.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>

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
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = argv[1];
  if (!RegisterClassW(&wc)) return 101;
  int at[4] = {10, 10, 200, 100};
  for (int i = 0; i < 4 && i + 3 < argc; ++i) at[i] = _wtoi(argv[i + 3]);
  const DWORD ex_style = argc > 7 && std::wcscmp(argv[7], L"topmost") == 0 ? WS_EX_TOPMOST : 0;
  HWND window = CreateWindowExW(ex_style, argv[1], argv[2], WS_OVERLAPPEDWINDOW, at[0], at[1],
                                at[2], at[3], nullptr, nullptr, wc.hInstance, nullptr);
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
