// The bench for end-to-end scenarios of the updater: an installed test game (registry key of
// the current user, installation folder with SETUP.INI), an updater executable carrying a
// package built by the packer library, the process with a temporary folder of its own, and
// readers for its boxes and its wizard. Texts are compared as code page 932 bytes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package_writer.h"
#include "win/ui_driver.h"

namespace updtest::e2e {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using win::ChildProcess;

inline constexpr auto kTimeout = 30s;
inline constexpr std::uint64_t kPackageTime = 0x01D9000000000000ull;

// UTF-8 text (as written in the tests) as the code page 932 bytes the updater holds.
std::string J(std::u8string_view utf8);
std::wstring W(std::u8string_view utf8);
Bytes B(std::string_view s);
Bytes ReadAll(const std::filesystem::path& path);
void WriteAll(const std::filesystem::path& path, std::string_view bytes);

// A registry value of any type, as a test installation writes it.
struct RegValue {
  std::wstring name;
  DWORD type = REG_SZ;
  Bytes data;
  static RegValue Text(std::wstring name, const std::wstring& text);
  static RegValue Dword(std::wstring name, std::uint32_t value);
};

struct WizardView {
  std::wstring caption;
  std::wstring info;
  win::ControlView next, abort, back, agreement, agree, disagree;
};

class UpdaterScenario : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // UPDATE.INI: [SETUP] with the company of this scenario, `extra_setup` lines added; then
  // `update_section` as the [UPDATE] lines.
  std::string UpdateIni(const std::string& extra_setup = "",
                        const std::string& update_section = "UpdateFile00=README.TXT\r\n") const;
  // SETUP.INI of the installed game, `extra` lines added to [SETUP].
  std::string SetupIni(const std::string& extra = "") const;

  // A package holding UPDATE.INI, README.TXT and `more`.
  static Bytes Package(const std::string& ini, std::vector<updpack::PackageFile> more = {});
  // The updater `source` (a sibling program, or update.exe of the build) with `package` inside.
  std::filesystem::path Updater(const Bytes& package, const std::wstring& source = L"update.exe",
                                const std::wstring& name = L"update.exe");

  // The installation: registry key HKCU\Software\<company>\TestGame with `values`, and
  // SETUP.INI (when not empty) in `folder`.
  void Install(const std::filesystem::path& folder, const std::vector<RegValue>& values,
               const std::string& setup_ini);
  // The usual one: InstPath = inst_, InstMode = `mode`, the standard SETUP.INI.
  void InstallStandard(std::uint32_t mode = 0, const std::string& setup_extra = "");

  std::optional<ChildProcess> Start(const std::filesystem::path& exe,
                                    win::Env extra = {}) const;

  // The next message box of `p`: caption, text and icon as given, the buttons `buttons`; then
  // presses `press`.
  void ExpectBox(ChildProcess& p, std::string_view caption, std::string_view text,
                 win::IconKind icon = win::IconKind::kStop, std::vector<int> buttons = {IDOK},
                 int press = IDOK);
  // The wizard of `p` (the dialog with the information line).
  HWND WaitWizard(ChildProcess& p);
  WizardView ReadWizard(HWND wizard);
  // Waits until the information line reads `info` (code page 932 bytes).
  bool WaitInfo(HWND wizard, std::string_view info);
  // Presses a button of the wizard (the click is posted; wait for what it shows).
  void Press(HWND wizard, int id);
  // Through the start and confirm pages into the run; the wizard once its information line
  // reads `info` (at once for an empty `info`). Nothing, after saying what the updater shows
  // instead, when it does not get there.
  HWND RunUntil(ChildProcess& p, const std::string& info);
  // The caption the updater composes for the standard installation.
  std::string Caption() const;

  std::filesystem::path base_, temp_, inst_;
  std::string company_;
  std::string title_;  // テストゲーム and this process's id
  std::string game_class_;
  std::string setup_title_;
};

}  // namespace updtest::e2e
