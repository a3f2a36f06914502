#include "win/ui_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <thread>
#include <vector>

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

// Places where readers of any test process showed a box lately, shared through a named mapping
// and changed only by the holder of the readers' turn. A box gone from Wine's list may still be
// on the screen a while, and Wine does not restack the X windows of unmanaged windows when it
// changes its own order: a box moved where another just was may lie under it on the screen.
struct RecentPlaces {
  static constexpr int kSlots = 64;
  static constexpr DWORD kKeepMs = 5000;
  struct Slot {
    RECT rect;
    DWORD tick;
  };
  std::uint32_t next;
  Slot slots[kSlots];
};

class SharedPlaces {
 public:
  SharedPlaces() {
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  sizeof(RecentPlaces), L"Local\\upd-test-screen-places");
    if (mapping_) {
      places_ = static_cast<RecentPlaces*>(
          MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(RecentPlaces)));
    }
  }
  ~SharedPlaces() {
    if (places_) UnmapViewOfFile(places_);
    if (mapping_) CloseHandle(mapping_);
  }
  SharedPlaces(const SharedPlaces&) = delete;
  SharedPlaces& operator=(const SharedPlaces&) = delete;

  void AddRecent(std::vector<RECT>& taken) const {
    if (!places_) return;
    const DWORD now = GetTickCount();
    for (const auto& slot : places_->slots) {
      if (!IsRectEmpty(&slot.rect) && now - slot.tick < RecentPlaces::kKeepMs) {
        taken.push_back(slot.rect);
      }
    }
  }
  void Remember(const RECT& rect) {
    if (!places_) return;
    places_->slots[places_->next++ % RecentPlaces::kSlots] = {rect, GetTickCount()};
  }

 private:
  HANDLE mapping_ = nullptr;
  RecentPlaces* places_ = nullptr;
};

// A place on the screen for `box` (now at `at`) where no other visible top-level window lies,
// nor a box lay lately; the nearest to the top left. Without one (a window as large as the
// screen), a place where no box lay lately: the box, shown after such a window, lies over it.
// None when the screen is full of recent places.
std::optional<POINT> FreePlace(HWND box, const RECT& at, const SharedPlaces& recent) {
  struct Search {
    HWND box;
    std::vector<RECT> taken;
  } search{box, {}};
  recent.AddRecent(search.taken);
  const std::size_t recent_taken = search.taken.size();
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(p);
        RECT r{};
        if (h != s.box && IsWindowVisible(h) && GetWindowRect(h, &r) && !IsRectEmpty(&r)) {
          s.taken.push_back(r);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  const int w = at.right - at.left, h = at.bottom - at.top;
  const int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
  constexpr int kStep = 16;
  for (const std::size_t count : {search.taken.size(), recent_taken}) {
    const auto end = search.taken.begin() + static_cast<std::ptrdiff_t>(count);
    for (int y = 0; y + h <= screen_h; y += kStep) {
      for (int x = 0; x + w <= screen_w; x += kStep) {
        const RECT want{x, y, x + w, y + h};
        const bool free = std::none_of(search.taken.begin(), end, [&](const RECT& r) {
          RECT both{};
          return IntersectRect(&both, &r, &want) != 0;
        });
        if (free) return POINT{x, y};
      }
    }
  }
  return std::nullopt;
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
  // the box, and with unmanaged windows Wine does not restack the X windows when it changes its
  // own order: a box it calls the topmost may still lie under another on the screen. So the box
  // is moved to a place where no other window lies, raised there, and the pixels count only when
  // nothing covered the icon before and after they were read. A box under load may not have
  // painted its icon yet: the control holds one, so a blank reading is taken again.
  // Tests that run at the same time read their boxes at the same time: readers take turns, one
  // attempt per turn, so that each finds a free place with the others' boxes where they are.
  HWND box = GetAncestor(icon_control, GA_ROOT);
  DWORD box_pid = 0;
  GetWindowThreadProcessId(box, &box_pid);
  HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\upd-test-screen-reader");
  SharedPlaces recent;
  constexpr UINT kKeep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  const bool was_topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  const auto screen_shows = [w, h](const RECT& where) {
    HDC screen = GetDC(nullptr);
    const IconKind seen = ClassifyColours(
        w, h, [&](int x, int y) { return GetPixel(screen, where.left + x, where.top + y); });
    ReleaseDC(nullptr, screen);
    return seen;
  };
  std::optional<IconKind> kind;
  std::optional<IconKind> candidate;
  int covered = 0, blank = 0, crowded = 0, unclean = 0;
  for (int attempt = 0; attempt < 50 && !kind; ++attempt) {
    if (attempt > 0) Sleep(50 + 10 * (attempt % 7));
    if (turn) WaitForSingleObject(turn, 10000);
    RECT at{};
    GetWindowRect(box, &at);
    bool read = true, moved = false;
    if (const auto place = FreePlace(box, at, recent)) {
      recent.Remember({place->x, place->y, place->x + at.right - at.left,
                       place->y + at.bottom - at.top});
      RECT there = rc;
      OffsetRect(&there, place->x - at.left, place->y - at.top);
      // What the screen shows there before the box comes: if it looks like an icon already
      // (a window gone from Wine's list but not yet from the screen), a reading there would
      // prove nothing; the place is remembered and another taken at the next attempt.
      if (screen_shows(there) != IconKind::kNone) {
        ++unclean;
        read = false;
      } else {
        SetWindowPos(box, HWND_TOPMOST, place->x, place->y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
        rc = there;
        moved = true;
      }
    } else {
      ++crowded;
      SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, kKeep);
    }
    if (read) {
      RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      Sleep(100);
      if (!ShowsUncovered(box, rc)) {
        ++covered;
      } else {
        const IconKind seen = screen_shows(rc);
        if (seen == IconKind::kNone) ++blank;
        if (seen != IconKind::kNone && ShowsUncovered(box, rc)) {
          // Taken when two places in turn show the same: a window that reaches the screen
          // over the box while Wine's list does not show it yet rarely does so twice.
          if (!moved || candidate == seen) kind = seen;
          candidate = seen;
        }
      }
    }
    if (turn) ReleaseMutex(turn);
  }
  if (!kind) {
    const HWND hit = GetAncestor(WindowFromPoint({(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}), GA_ROOT);
    DWORD hit_pid = 0;
    GetWindowThreadProcessId(hit, &hit_pid);
    note = "icon unread: covered " + std::to_string(covered) + " times, blank " +
           std::to_string(blank) + " times, no free place " + std::to_string(crowded) +
           " times, an icon already where it was to go " + std::to_string(unclean) +
           " times; over it now: class " + ToCp932(ClassOf(hit)) +
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
