// Shows one message box: box_host STYLE CAPTION TEXT (texts in UTF-16 on the command line).
// Exits with the id of the button pressed. Lets the UI driver's own tests see real boxes.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc < 4) return 100;
  const UINT style = static_cast<UINT>(std::wcstoul(argv[1], nullptr, 0));
  const int r = MessageBoxW(nullptr, argv[3], argv[2], style);
  LocalFree(argv);
  return r;
}
