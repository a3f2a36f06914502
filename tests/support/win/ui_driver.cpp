#include "win/ui_driver.h"

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <thread>

namespace updtest::win {
namespace {

// The environment block of this process with `extra` applied, sorted as Windows wants it.
std::wstring EnvironmentBlock(const Env& extra) {
  std::vector<std::wstring> vars;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) vars.emplace_back(p);
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : extra) {
    const std::wstring prefix = name + L"=";
    std::erase_if(vars, [&](const std::wstring& v) {
      return _wcsnicmp(v.c_str(), prefix.c_str(), prefix.size()) == 0;
    });
    vars.push_back(prefix + value);
  }
  std::sort(vars.begin(), vars.end(), [](const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  });
  std::wstring out;
  for (const auto& v : vars) {
    out += v;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

std::wstring ClassOf(HWND h) {
  wchar_t buf[256] = {};
  GetClassNameW(h, buf, 256);
  return buf;
}

std::wstring TextOf(HWND h) {
  // WM_GETTEXT is marshalled across processes, so this reads other programs' windows too.
  const int n = GetWindowTextLengthW(h);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(h, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return s;
}

// Counts the icon's colours: the stop icon is red, the warning yellow, the information and
// question icons blue. `pixel` gives the colour at (x, y) of a w x h area.
template <typename PixelAt>
IconKind ClassifyColours(int w, int h, PixelAt pixel) {
  int red = 0, yellow = 0, blue = 0, drawn = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const COLORREF c = pixel(x, y);
      const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
      if (r > 150 && g < 110 && b < 110) ++red;
      else if (r > 170 && g > 150 && b < 100) ++yellow;
      else if (b > 150 && r < 120) ++blue;
      if (std::abs(r - g) > 40 || std::abs(g - b) > 40 || std::abs(r - b) > 40) ++drawn;
    }
  }
  const int most = std::max({red, yellow, blue});
  if (drawn < 10) return IconKind::kNone;
  if (most == red) return IconKind::kStop;
  if (most == yellow) return IconKind::kWarning;
  if (most == blue) return IconKind::kInformation;
  return IconKind::kOther;
}

// The icon a static control shows; 0 for none.
HICON IconOf(HWND icon_control) {
  DWORD_PTR icon = 0;
  if (!SendMessageTimeoutW(icon_control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &icon)) {
    return nullptr;
  }
  return reinterpret_cast<HICON>(icon);
}

// The icon drawn into a bitmap of our own. Where icons belong to the process that loaded them
// (as under Wine) another process cannot draw them: nothing then.
std::optional<IconKind> ClassifyIconHandle(HICON icon) {
  constexpr int kSize = 32;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, kSize, kSize);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all{0, 0, kSize, kSize};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  std::optional<IconKind> kind;
  if (DrawIconEx(dc, 0, 0, icon, kSize, kSize, 0, nullptr, DI_NORMAL)) {
    kind = ClassifyColours(kSize, kSize, [&](int x, int y) { return GetPixel(dc, x, y); });
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return kind;
}

// True when no other window covers any of the rectangle's corners or its centre.
bool ShowsUncovered(HWND box, const RECT& rc) {
  const POINT points[] = {{rc.left, rc.top},
                          {rc.right - 1, rc.top},
                          {rc.left, rc.bottom - 1},
                          {rc.right - 1, rc.bottom - 1},
                          {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}};
  for (const POINT& p : points) {
    const HWND hit = WindowFromPoint(p);
    if (!hit || GetAncestor(hit, GA_ROOT) != box) return false;
  }
  return true;
}

// Classifies the icon of a message box. A box without an icon has a control of no size, or one
// that holds no icon.
IconKind ClassifyIcon(HWND icon_control, std::string& note) {
  RECT rc{};
  GetWindowRect(icon_control, &rc);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  const HICON icon = IconOf(icon_control);
  if (w <= 1 || h <= 1 || !icon) return IconKind::kNone;
  if (auto kind = ClassifyIconHandle(icon)) return *kind;
  // Otherwise as the screen shows it. Windows of other tests on the same screen may lie over
  // the box: it is raised to the top, and the pixels count only when nothing covered the icon
  // before and after they were read. A box under load may not have painted its icon yet: the
  // control holds one, so a blank reading is taken again.
  // Tests that run at the same time show their boxes at the same place, many of them topmost:
  // readers take turns, one attempt per turn (a reader must not keep the turn while another
  // test's box, which that test cannot read and close meanwhile, lies over its own), and a box
  // still covered after two attempts is moved to a place of its own.
  HWND box = GetAncestor(icon_control, GA_ROOT);
  DWORD box_pid = 0;
  GetWindowThreadProcessId(box, &box_pid);
  HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\upd-test-screen-reader");
  constexpr UINT kKeep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  const bool was_topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  std::optional<IconKind> kind;
  int covered = 0, blank = 0;
  for (int attempt = 0; attempt < 50 && !kind; ++attempt) {
    if (attempt > 0) Sleep(50 + 10 * (attempt % 7));
    if (covered >= 2 && covered % 2 == 0) {
      RECT at{};
      GetWindowRect(box, &at);
      const int x = static_cast<int>(box_pid * 37 % 600), y = static_cast<int>(box_pid * 53 % 500);
      SetWindowPos(box, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
      rc.left += x - at.left, rc.right += x - at.left, rc.top += y - at.top, rc.bottom += y - at.top;
    }
    if (turn) WaitForSingleObject(turn, 10000);
    SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, kKeep);
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(100);
    if (!ShowsUncovered(box, rc)) {
      ++covered;
    } else {
      HDC screen = GetDC(nullptr);
      const IconKind seen = ClassifyColours(
          w, h, [&](int x, int y) { return GetPixel(screen, rc.left + x, rc.top + y); });
      ReleaseDC(nullptr, screen);
      if (seen == IconKind::kNone) ++blank;
      if (seen != IconKind::kNone && ShowsUncovered(box, rc)) kind = seen;
    }
    if (turn) ReleaseMutex(turn);
  }
  if (!kind) {
    const HWND hit = GetAncestor(WindowFromPoint({(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}), GA_ROOT);
    DWORD hit_pid = 0;
    GetWindowThreadProcessId(hit, &hit_pid);
    note = "icon unread: covered " + std::to_string(covered) + " times, blank " +
           std::to_string(blank) + " times; over it now: class " + ToCp932(ClassOf(hit)) +
           " \"" + ToCp932(TextOf(hit)) + "\" of process " + std::to_string(hit_pid) +
           " (the box's: " + std::to_string(box_pid) + ", topmost " +
           std::to_string((GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) + ")";
  }
  if (!was_topmost) SetWindowPos(box, HWND_NOTOPMOST, 0, 0, 0, 0, kKeep);
  if (turn) CloseHandle(turn);
  return kind.value_or(IconKind::kNone);
}

}  // namespace

std::optional<ChildProcess> ChildProcess::Start(const std::wstring& exe, const std::wstring& args,
                                                const Env& env) {
  std::wstring cmd = L"\"" + exe + L"\"";
  if (!args.empty()) cmd += L" " + args;
  std::wstring block = EnvironmentBlock(env);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi)) {
    return std::nullopt;
  }
  CloseHandle(pi.hThread);
  // The process must be ready for window searches before the caller looks.
  WaitForInputIdle(pi.hProcess, 5000);
  return ChildProcess(pi.hProcess, pi.dwProcessId);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)), pid_(other.pid_) {}

ChildProcess::~ChildProcess() {
  if (!process_) return;
  if (Running()) Kill();
  CloseHandle(process_);
}

bool ChildProcess::Kill() {
  TerminateProcess(process_, 0xDEAD);
  return WaitForSingleObject(process_, 5000) == WAIT_OBJECT_0;
}

bool ChildProcess::Running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return code;
}

std::vector<WindowInfo> TopLevelWindows(DWORD pid) {
  struct Ctx {
    DWORD pid;
    std::vector<WindowInfo> found;
  } ctx{pid, {}};
  EnumWindows(
      [](HWND h, LPARAM lp) -> BOOL {
        auto* c = reinterpret_cast<Ctx*>(lp);
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == c->pid && IsWindowVisible(h)) c->found.push_back({h, ClassOf(h), TextOf(h)});
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}

std::optional<WindowInfo> WaitForWindow(const ChildProcess& process,
                                        const std::function<bool(const WindowInfo&)>& match,
                                        std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const WindowInfo& w : TopLevelWindows(process.pid())) {
      if (match(w)) return w;
    }
    if (!process.Running() || std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<WindowInfo> WaitForDialog(const ChildProcess& process,
                                        std::chrono::milliseconds timeout) {
  return WaitForWindow(
      process, [](const WindowInfo& w) { return w.class_name == kDialogClass; }, timeout);
}

std::optional<MessageBoxView> ReadMessageBox(HWND box) {
  if (ClassOf(box) != kDialogClass) return std::nullopt;
  HWND text = GetDlgItem(box, 0xFFFF);  // the message text of a message box
  if (!text) return std::nullopt;
  MessageBoxView view;
  view.caption = TextOf(box);
  view.text = TextOf(text);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsWindowVisible(child)) continue;
    const std::wstring cls = ClassOf(child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
      view.buttons.push_back(GetDlgCtrlID(child));
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
      view.icon = ClassifyIcon(child, view.icon_note);
    }
  }
  return view;
}

bool PressButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  if (!button) return false;
  return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != 0;
}

std::wstring WindowText(HWND window) {
  std::wstring text(4096, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 5000, &got)) {
    return {};
  }
  text.resize(static_cast<std::size_t>(got));
  return text;
}

ControlView ReadControl(HWND dialog, int id) {
  ControlView view;
  HWND control = GetDlgItem(dialog, id);
  if (!control) return view;
  view.exists = true;
  view.text = WindowText(control);
  view.enabled = IsWindowEnabled(control) != 0;
  view.visible = IsWindowVisible(control) != 0;
  DWORD_PTR state = 0;
  if (_wcsicmp(ClassOf(control).c_str(), L"Button") == 0 &&
      SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state)) {
    view.checked = state == BST_CHECKED;
  }
  return view;
}

bool PressKey(HWND dialog, UINT virtual_key) {
  // The dialog's modal loop hands keys to the dialog manager, which turns Esc and Enter into
  // the commands IDCANCEL and IDOK.
  return PostMessageW(dialog, WM_KEYDOWN, virtual_key, 1) != 0 &&
         PostMessageW(dialog, WM_KEYUP, virtual_key, 0xC0000001) != 0;
}

bool PressCloseBox(HWND dialog) {
  return PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) != 0;
}

bool PressAltF4(HWND dialog) {
  // Bit 29: the Alt key is down; scan code 0x3E is F4.
  constexpr LPARAM kDown = 0x20000001 | (0x3E << 16);
  return PostMessageW(dialog, WM_SYSKEYDOWN, VK_F4, kDown) != 0 &&
         PostMessageW(dialog, WM_SYSKEYUP, VK_F4, kDown | 0xC0000000) != 0;
}

bool WaitGone(HWND window, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (IsWindow(window) && IsWindowVisible(window)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    Sleep(25);
  }
  return true;
}

std::string ToCp932(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(932, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromCp932(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n =
      MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

const char* IconName(IconKind kind) {
  switch (kind) {
    case IconKind::kNone: return "none";
    case IconKind::kStop: return "stop";
    case IconKind::kWarning: return "warning";
    case IconKind::kInformation: return "information";
    case IconKind::kOther: return "other";
  }
  return "?";
}

}  // namespace updtest::win

namespace updtest::win {
std::wstring SiblingPath(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  return dir + name;
}
}  // namespace updtest::win
