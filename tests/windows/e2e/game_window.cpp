// A stand-in for the running game: game_window CLASS TITLE [X Y WIDTH HEIGHT [topmost]] opens one
// visible top-level window of that class and title (UTF-16 on the command line), where told and
// of the size told, and runs until the window is closed. The UI driver's tests lay such a window
// (topmost: above every other window) over the boxes they read.
//
// game_window -a CLASS TITLE [...] is an ANSI game: CLASS and TITLE are bytes in hex, given to
// RegisterClassA and CreateWindowExA as they are, so that the system reads them with this
// process's ANSI code page as it reads an old game's names. A wide command line could not carry
// code page 932 bytes through another code page unchanged.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>

namespace {

std::optional<std::string> FromHex(const wchar_t* hex) {
  const auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  std::string bytes;
  for (; hex[0] != L'\0'; hex += 2) {
    const int high = digit(hex[0]);
    const int low = hex[1] == L'\0' ? -1 : digit(hex[1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

LRESULT CALLBACK WideProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(h, m, w, l);
}

LRESULT CALLBACK AnsiProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(h, m, w, l);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** const args = CommandLineToArgvW(GetCommandLineW(), &argc);
  wchar_t** argv = args;
  const bool ansi = argc > 1 && std::wcscmp(argv[1], L"-a") == 0;
  if (ansi) {
    // The options after the names keep their places.
    ++argv;
    --argc;
  }
  if (argc < 3) return 100;
  int at[4] = {10, 10, 200, 100};
  for (int i = 0; i < 4 && i + 3 < argc; ++i) at[i] = _wtoi(argv[i + 3]);
  const DWORD ex_style = argc > 7 && std::wcscmp(argv[7], L"topmost") == 0 ? WS_EX_TOPMOST : 0;
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND window = nullptr;
  if (ansi) {
    const auto window_class = FromHex(argv[1]);
    const auto title = FromHex(argv[2]);
    if (!window_class || !title) return 103;
    WNDCLASSA wc{};
    wc.lpfnWndProc = AnsiProc;
    wc.hInstance = instance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = window_class->c_str();
    if (!RegisterClassA(&wc)) return 101;
    window = CreateWindowExA(ex_style, window_class->c_str(), title->c_str(), WS_OVERLAPPEDWINDOW,
                             at[0], at[1], at[2], at[3], nullptr, nullptr, instance, nullptr);
  } else {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WideProc;
    wc.hInstance = instance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = argv[1];
    if (!RegisterClassW(&wc)) return 101;
    window = CreateWindowExW(ex_style, argv[1], argv[2], WS_OVERLAPPEDWINDOW, at[0], at[1], at[2],
                             at[3], nullptr, nullptr, instance, nullptr);
  }
  if (!window) return 102;
  ShowWindow(window, SW_SHOWNORMAL);
  LocalFree(args);
  MSG msg;
  if (ansi) {
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  } else {
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return 0;
}
