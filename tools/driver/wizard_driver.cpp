// wizard_driver: walks the real update.exe through its pages under Wine, as a player would, for
// `make demo` and `make bench`. It reuses the end-to-end tests' UI driver (finding windows,
// reading controls, posting button clicks).
//
//   wizard_driver install --company NAME --game-dir DIR --inst-path PATH [--data-path PATH]
//                         [--mode N]
//       writes the installation key HKCU\Software\NAME\DIR (InstPath, DataPath, InstMode) and
//       maps the dialog font to an installed Japanese font when the prefix has none.
//   wizard_driver walk UPDATER.exe [--shots DIR] [--timeout SECONDS]
//       answers the notice box, agrees to the agreement, confirms, lets the update run and
//       closes the finished page; saves each page as DIR\NN-page.bmp; prints one line per page,
//       the run's time, the updater's peak working set and its exit code. Exits with 0 when the
//       updater went through every page and ended with its finished code, 1 otherwise.
//   wizard_driver copy FROM_DIR TO_DIR [--flush]
//       copies every file of FROM_DIR into TO_DIR (CopyFileW) and prints the time: the yardstick
//       for the update run in the benchmark. --flush writes each copy through to the disk
//       (FlushFileBuffers), as the updater does with each file it writes.
//   wizard_driver run PROGRAM [ARGUMENT...]
//       starts PROGRAM with the arguments, waits for it and prints its time from start to exit
//       and its exit code: how the benchmark times a general installer beside the updater.
//
// Every line it prints is "key: value" so that the scripts can pick the figures out.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "win/ui_driver.h"

namespace {

using namespace std::chrono_literals;
namespace win = updtest::win;
using Clock = std::chrono::steady_clock;

// The updater's own texts, code page 932.
// "アップデートを実行します" (the confirm page)
constexpr std::string_view kConfirmInfo =
    "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xF0\x8E\xC0\x8D\x73\x82\xB5\x82\xDC"
    "\x82\xB7";
// "アップデートを実行しています" (the update is running)
constexpr std::string_view kRunningInfo =
    "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xF0\x8E\xC0\x8D\x73\x82\xB5\x82\xC4"
    "\x82\xA2\x82\xDC\x82\xB7";
// "アップデートは完了しました" (the finished page)
constexpr std::string_view kFinishedInfo =
    "\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67\x82\xCD\x8A\xAE\x97\xB9\x82\xB5\x82\xDC"
    "\x82\xB5\x82\xBD";

constexpr int kNext = 1, kAgree = 1002, kInfo = 1001;

void Say(const char* key, const std::string& value) {
  std::printf("%s: %s\n", key, value.c_str());
  std::fflush(stdout);
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// A message box's text on one line, as the log shows it.
std::string OneLine(std::wstring text) {
  for (auto& c : text) {
    if (c == L'\r') c = L' ';
    if (c == L'\n') c = L' ';
  }
  return Utf8(text);
}

// Saves what the screen shows of `window` as a 24-bit BMP. The capture is taken from the screen
// (not printed by the window) so it is exactly what a player sees, fonts included.
bool SaveWindowBmp(HWND window, const std::wstring& path) {
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  std::this_thread::sleep_for(300ms);  // let the X server show the repaint
  RECT rc{};
  if (!GetWindowRect(window, &rc)) return false;
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0) return false;

  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;  // bottom-up, as BMP files store rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (dib && bits) {
    HGDIOBJ old = SelectObject(mem, dib);
    ok = BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY) != 0;
    GdiFlush();
    SelectObject(mem, old);
  }
  if (ok) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u;
    const std::uint32_t image = stride * static_cast<std::uint32_t>(h);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;  // "BM"
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + image;
    bi.bmiHeader.biSizeImage = image;
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
    out.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof bi.bmiHeader);
    out.write(static_cast<const char*>(bits), image);
    ok = static_cast<bool>(out);
  }
  if (dib) DeleteObject(dib);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok;
}

class Walk {
 public:
  Walk(std::wstring shots, Clock::duration timeout) : shots_(std::move(shots)), timeout_(timeout) {}

  void Shot(HWND window, const char* page) {
    if (shots_.empty()) return;
    char name[64];
    std::snprintf(name, sizeof name, "%02d-%s.bmp", ++shot_, page);
    const std::wstring path = shots_ + L"\\" + win::FromCp932(name);
    if (!SaveWindowBmp(window, path)) Say("warning", std::string("no screenshot of ") + page);
  }

  // Waits until the information line reads `info`; false when the wizard is gone or time is up.
  bool WaitInfo(HWND wizard, std::string_view info) const {
    const auto until = Clock::now() + timeout_;
    while (Clock::now() < until) {
      if (!IsWindow(wizard)) return false;
      if (win::ToCp932(win::WindowText(GetDlgItem(wizard, kInfo))) == info) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  bool WaitEnabled(HWND wizard, int id) const {
    const auto until = Clock::now() + timeout_;
    while (Clock::now() < until) {
      if (win::ReadControl(wizard, id).enabled) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  std::chrono::milliseconds timeout() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(timeout_);
  }

 private:
  std::wstring shots_;
  Clock::duration timeout_;
  int shot_ = 0;
};

void SayPage(const char* page, HWND wizard) {
  Say("page", std::string(page) + " | " + Utf8(win::WindowText(GetDlgItem(wizard, kInfo))));
}

// Peak working set of the process, or nothing when the system does not say.
std::optional<std::uint64_t> PeakWorkingSet(DWORD pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!h) return std::nullopt;
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  const BOOL ok = GetProcessMemoryInfo(h, &pmc, sizeof pmc);
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return pmc.PeakWorkingSetSize;
}

int Fail(const std::string& what) {
  Say("error", what);
  return 1;
}

int WalkUpdater(const std::wstring& exe, const std::wstring& shots, int timeout_s) {
  Walk walk(shots, std::chrono::seconds(timeout_s));
  auto process = win::ChildProcess::Start(exe);
  if (!process) return Fail("cannot start the updater");

  // The first window is the notice box (when UPDATE.INI has a notice) or the wizard.
  auto first = win::WaitForDialog(*process, walk.timeout());
  if (!first) return Fail("the updater showed no window");
  if (auto box = win::ReadMessageBox(first->hwnd)) {
    // The notice is captioned "UPDATE"; any other box says why the updater stops.
    if (box->caption != L"UPDATE") {
      Say("box", "\"" + Utf8(box->caption) + "\" | " + OneLine(box->text));
      return Fail("the updater stopped with a box before its wizard");
    }
    Say("page", "notice \"" + Utf8(box->caption) + "\" | " + OneLine(box->text));
    walk.Shot(first->hwnd, "notice");
    win::PressButton(first->hwnd, IDOK);
    win::WaitGone(first->hwnd, walk.timeout());
  }

  auto found = win::WaitForWindow(
      *process,
      [](const win::WindowInfo& i) {
        return i.class_name == win::kDialogClass && GetDlgItem(i.hwnd, kInfo) != nullptr;
      },
      walk.timeout());
  if (!found) {
    // A box instead of the wizard says why the updater stopped (no installation, ...).
    for (const auto& w : win::TopLevelWindows(process->pid())) {
      if (auto box = win::ReadMessageBox(w.hwnd)) Say("box", OneLine(box->text));
    }
    return Fail("the wizard did not open");
  }
  const HWND wizard = found->hwnd;
  Say("caption", Utf8(found->title));
  SayPage("start", wizard);
  // What the updater holds before the run: its image (with the package), the wizard.
  if (const auto at_start = PeakWorkingSet(process->pid())) {
    Say("peak-working-set-at-start", std::to_string(*at_start));
  }
  walk.Shot(wizard, "start");

  const win::ControlView agree = win::ReadControl(wizard, kAgree);
  if (agree.exists && agree.visible) {
    win::PressButton(wizard, kAgree);
    if (!walk.WaitEnabled(wizard, kNext)) return Fail("Next stayed disabled after agreeing");
    SayPage("agreed", wizard);
    walk.Shot(wizard, "agreed");
  }

  win::PressButton(wizard, kNext);
  if (!walk.WaitInfo(wizard, kConfirmInfo)) return Fail("no confirm page");
  SayPage("confirm", wizard);
  walk.Shot(wizard, "confirm");

  const auto started = Clock::now();
  win::PressButton(wizard, kNext);
  // A long run shows its running page; a short one is over before we look.
  const auto until = Clock::now() + walk.timeout();
  std::string info;
  bool shot_running = false;
  while (Clock::now() < until && IsWindow(wizard)) {
    info = win::ToCp932(win::WindowText(GetDlgItem(wizard, kInfo)));
    if (info == kFinishedInfo) break;
    if (info == kRunningInfo && !shot_running) {
      shot_running = true;
      SayPage("running", wizard);
    }
    std::this_thread::sleep_for(5ms);
  }
  const auto finished = Clock::now();
  if (info != kFinishedInfo) {
    for (const auto& w : win::TopLevelWindows(process->pid())) {
      if (auto box = win::ReadMessageBox(w.hwnd)) Say("box", OneLine(box->text));
    }
    return Fail("the update did not finish");
  }
  const auto peak = PeakWorkingSet(process->pid());
  SayPage("finished", wizard);
  Say("next-button", Utf8(win::ReadControl(wizard, kNext).text));
  walk.Shot(wizard, "finished");
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.3f",
                std::chrono::duration<double>(finished - started).count());
  Say("update-seconds", ms);
  Say("peak-working-set", peak ? std::to_string(*peak) : std::string("unknown"));

  win::PressButton(wizard, kNext);
  const auto code = process->Wait(walk.timeout());
  if (!code) return Fail("the updater did not end");
  Say("exit-code", std::to_string(static_cast<std::int32_t>(*code)));
  return *code == 1 ? 0 : 1;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

int Install(const std::wstring& company, const std::wstring& game_dir,
            const std::wstring& inst_path, const std::wstring& data_path, DWORD mode) {
  const std::wstring key_path = L"Software\\" + company + L"\\" + game_dir;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key_path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return Fail("cannot create HKCU\\" + Utf8(key_path));
  }
  bool ok = SetString(key, L"InstPath", inst_path);
  if (!data_path.empty()) ok = ok && SetString(key, L"DataPath", data_path);
  ok = ok && RegSetValueExW(key, L"InstMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode),
                            sizeof mode) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return Fail("cannot write the values of HKCU\\" + Utf8(key_path));
  Say("installed", "HKCU\\" + Utf8(key_path));

  // The dialogs ask for "ＭＳ Ｐゴシック", which a Wine prefix does not have; without a
  // replacement Wine falls back to a font without Japanese glyphs and the pages show boxes.
  HKEY fonts = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Fonts\\Replacements", 0, nullptr, 0,
                      KEY_WRITE, nullptr, &fonts, nullptr) == ERROR_SUCCESS) {
    // ＭＳ Ｐゴシック, ＭＳ ゴシック -> the IPA fonts
    SetString(fonts, L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF", L"IPAPGothic");
    SetString(fonts, L"\xFF2D\xFF33 \x30B4\x30B7\x30C3\x30AF", L"IPAGothic");
    RegCloseKey(fonts);
  }
  return 0;
}

// Writes the file's cached bytes to the disk, as the updater does before it names a file.
bool Flush(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

int CopyAll(const std::wstring& from, const std::wstring& to, bool flush) {
  CreateDirectoryW(to.c_str(), nullptr);
  WIN32_FIND_DATAW fd{};
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return Fail("nothing to copy in " + Utf8(from));
  std::vector<std::wstring> names;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(fd.cFileName);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  std::uint64_t bytes = 0;
  const auto started = Clock::now();
  for (const auto& name : names) {
    const std::wstring dst = to + L"\\" + name;
    if (!CopyFileW((from + L"\\" + name).c_str(), dst.c_str(), FALSE) ||
        (flush && !Flush(dst))) {
      return Fail("cannot copy " + Utf8(name));
    }
    WIN32_FILE_ATTRIBUTE_DATA a{};
    if (GetFileAttributesExW(dst.c_str(), GetFileExInfoStandard, &a)) {
      bytes += (std::uint64_t{a.nFileSizeHigh} << 32) | a.nFileSizeLow;
    }
  }
  const auto took = std::chrono::duration<double>(Clock::now() - started).count();
  char s[32];
  std::snprintf(s, sizeof s, "%.3f", took);
  Say("copy-seconds", s);
  Say("copy-files", std::to_string(names.size()));
  Say("copy-bytes", std::to_string(bytes));
  return 0;
}

// Quotes one argument for CreateProcess's command line (backslashes before a quote doubled).
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
    } else {
      out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
      slashes = 0;
    }
    out += c;
  }
  out.append(slashes, L'\\');
  return out + L"\"";
}

int RunTimed(const std::vector<std::wstring>& command) {
  std::wstring line;
  for (const auto& arg : command) line += (line.empty() ? L"" : L" ") + Quoted(arg);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const auto started = Clock::now();
  if (!CreateProcessW(command[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    return Fail("cannot start " + Utf8(command[0]) + " (error " + std::to_string(GetLastError()) + ")");
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  const auto took = std::chrono::duration<double>(Clock::now() - started).count();
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  char s[32];
  std::snprintf(s, sizeof s, "%.3f", took);
  Say("run-seconds", s);
  Say("exit-code", std::to_string(code));
  return 0;
}

int Usage() {
  std::fputs(
      "usage: wizard_driver install --company NAME --game-dir DIR --inst-path PATH\n"
      "                             [--data-path PATH] [--mode N]\n"
      "       wizard_driver walk UPDATER.exe [--shots DIR] [--timeout SECONDS]\n"
      "       wizard_driver copy FROM_DIR TO_DIR [--flush]\n"
      "       wizard_driver run PROGRAM [ARGUMENT...]\n",
      stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == L"--help" || args[0] == L"-h") return Usage();
  // Options as NAME VALUE pairs after the fixed arguments.
  auto option = [&](std::size_t from, const wchar_t* name) -> std::optional<std::wstring> {
    for (std::size_t i = from; i + 1 < args.size(); ++i) {
      if (args[i] == name) return args[i + 1];
    }
    return std::nullopt;
  };
  const std::wstring& command = args[0];
  if (command == L"install") {
    const auto company = option(1, L"--company"), game_dir = option(1, L"--game-dir"),
               inst = option(1, L"--inst-path");
    if (!company || !game_dir || !inst) return Usage();
    const DWORD mode = static_cast<DWORD>(std::wcstoul(option(1, L"--mode").value_or(L"0").c_str(),
                                                       nullptr, 10));
    return Install(*company, *game_dir, *inst, option(1, L"--data-path").value_or(L""), mode);
  }
  if (command == L"walk" && args.size() >= 2) {
    const int timeout = std::stoi(option(2, L"--timeout").value_or(L"60"));
    return WalkUpdater(args[1], option(2, L"--shots").value_or(L""), timeout);
  }
  if (command == L"copy" && (args.size() == 3 || (args.size() == 4 && args[3] == L"--flush"))) {
    return CopyAll(args[1], args[2], args.size() == 4);
  }
  if (command == L"run" && args.size() >= 2) {
    return RunTimed(std::vector<std::wstring>(args.begin() + 1, args.end()));
  }
  return Usage();
}
