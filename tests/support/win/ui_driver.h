// A small driver for end-to-end tests under Wine: starts a program as a real process, finds its
// top-level windows by caption and class, reads message boxes (caption, text, icon, buttons),
// presses buttons, and reports the exit code.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace updtest::win {

using Env = std::vector<std::pair<std::wstring, std::wstring>>;

class ChildProcess {
 public:
  // Starts `exe` with `args` (already quoted as needed); `env` adds to or replaces variables of
  // our own environment. Returns nothing when the process cannot be started.
  static std::optional<ChildProcess> Start(const std::wstring& exe, const std::wstring& args = L"",
                                           const Env& env = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();  // a process still running is terminated

  DWORD pid() const { return pid_; }
  bool Running() const;
  // The exit code, or nothing when the process is still running after `timeout`.
  std::optional<DWORD> Wait(std::chrono::milliseconds timeout);
  // Ends the process at once, as a crash or a forced end would; true once it is gone.
  bool Kill();

 private:
  ChildProcess(HANDLE process, DWORD pid) : process_(process), pid_(pid) {}
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

struct WindowInfo {
  HWND hwnd = nullptr;
  std::wstring class_name;
  std::wstring title;
};

inline constexpr const wchar_t* kDialogClass = L"#32770";

// Visible top-level windows of the process.
std::vector<WindowInfo> TopLevelWindows(DWORD pid);

// Waits until the process shows a top-level window that `match` accepts; nothing when the
// process ends first or `timeout` passes.
std::optional<WindowInfo> WaitForWindow(const ChildProcess& process,
                                        const std::function<bool(const WindowInfo&)>& match,
                                        std::chrono::milliseconds timeout);
// The next dialog-class window (message box or dialog) of the process.
std::optional<WindowInfo> WaitForDialog(const ChildProcess& process,
                                        std::chrono::milliseconds timeout);

enum class IconKind { kNone, kStop, kWarning, kInformation, kOther };

struct MessageBoxView {
  std::wstring caption;
  std::wstring text;
  IconKind icon = IconKind::kNone;
  std::vector<int> buttons;  // ids of the visible push buttons (IDOK, IDCANCEL, ...)
  std::string icon_note;     // how the icon was read, when it could not be read cleanly
};

// Reads a message box of another process. Nothing when `box` is not a message box.
std::optional<MessageBoxView> ReadMessageBox(HWND box);

// Presses the button `id` of a dialog or message box of another process.
bool PressButton(HWND dialog, int id);

// One control of a dialog of another process, as the player sees it.
struct ControlView {
  bool exists = false;
  std::wstring text;
  bool enabled = false;
  bool visible = false;
  bool checked = false;  // buttons only
};
ControlView ReadControl(HWND dialog, int id);

// The text of a window of another process (asked with WM_GETTEXT, which crosses processes).
std::wstring WindowText(HWND window);

// Keys and the close box, through the dialog manager as a player's would go: Esc or Enter sent
// to the dialog's focused control, the close box as the system menu's close command.
bool PressKey(HWND dialog, UINT virtual_key);
bool PressCloseBox(HWND dialog);
// Alt+F4 as the keyboard gives it: a system key the window's default handling turns into close.
bool PressAltF4(HWND dialog);

// Waits until `window` is gone (destroyed or hidden).
bool WaitGone(HWND window, std::chrono::milliseconds timeout);

// Code page 932 bytes of a text read from a window, for comparison with the updater's texts.
std::string ToCp932(const std::wstring& text);
std::wstring FromCp932(std::string_view bytes);

const char* IconName(IconKind kind);

}  // namespace updtest::win

namespace updtest::win {
// A file beside the running test executable (helper programs are built into the same folder).
std::wstring SiblingPath(const std::wstring& name);
}  // namespace updtest::win
