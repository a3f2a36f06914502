// The updater's error box: modal, owned by the wizard while it exists, stop icon, one OK.
#include <windows.h>

#include "base/error_box.h"
#include "base/state.h"
#include "platform/codepage.h"

namespace upd {

void PresentErrorBox(std::string_view caption, std::string_view text) {
  // Converted from code page 932 explicitly: the box reads right on any system locale.
  const std::wstring wtext = platform::WidenCp932Lossy(text);
  const std::wstring wcaption = platform::WidenCp932Lossy(caption);
  MessageBoxW(static_cast<HWND>(Run().OwnerWindow), wtext.c_str(), wcaption.c_str(), MB_ICONERROR);
}

}  // namespace upd
