#include "scenario.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "pe_update.h"
#include "win/shared_file.h"

namespace updtest::e2e {

std::wstring W(std::u8string_view utf8) {
  if (utf8.empty()) return {};
  const auto* s = reinterpret_cast<const char*>(utf8.data());
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s, static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string J(std::u8string_view utf8) { return win::ToCp932(W(utf8)); }

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes ReadAll(const std::filesystem::path& path) {
  const std::string bytes = win::ReadShared(path);
  return Bytes(bytes.begin(), bytes.end());
}

void WriteAll(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

RegValue RegValue::Text(std::wstring name, const std::wstring& text) {
  RegValue v{std::move(name), REG_SZ, {}};
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.c_str());
  v.data.assign(p, p + (text.size() + 1) * sizeof(wchar_t));
  return v;
}

RegValue RegValue::Dword(std::wstring name, std::uint32_t value) {
  RegValue v{std::move(name), REG_DWORD, {}};
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return v;
}

void UpdaterScenario::SetUp() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::wstring wname(name.begin(), name.end());
  for (wchar_t& c : wname) {
    if (c == L'/') c = L'_';
  }
  base_ = std::filesystem::path(temp) /
          (L"upd_" + std::to_wstring(GetCurrentProcessId()) + L"_" + wname);
  std::filesystem::remove_all(base_);
  temp_ = base_ / L"\u66F4\u65B0_tmp";  // 更新_tmp
  inst_ = base_ / L"game";
  std::filesystem::create_directories(temp_);
  std::filesystem::create_directories(inst_);
  // A company of this process and scenario: scenarios of several processes share HKCU.
  company_ = "UpdTest" + std::to_string(GetCurrentProcessId()) + "_" +
             std::to_string(reinterpret_cast<std::uintptr_t>(info) % 100000);
  // Windows are seen by every process of the bench: a title and a game class of this process's
  // own keep the other locale's scenarios, running at the same time, from meeting ours.
  const std::string tag = std::to_string(GetCurrentProcessId());
  title_ = J(u8"テストゲーム") + tag;
  game_class_ = "UpdTestGameClass" + tag;
  setup_title_ = title_;
}

void UpdaterScenario::TearDown() {
  const std::wstring key = L"Software\\" + std::wstring(company_.begin(), company_.end());
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  std::error_code ec;
  std::filesystem::remove_all(base_, ec);
}

std::string UpdaterScenario::UpdateIni(const std::string& extra_setup,
                                       const std::string& update_section) const {
  std::string s = "[SETUP]\r\nCompanyName=" + company_ + "\r\nGameTitle=" + title_ +
                  "\r\nGameClass=" + game_class_ + "\r\nGameDir=TestGame\r\nUpdaterVersion=1.02\r\n";
  s += extra_setup;
  s += "\r\n[UPDATE]\r\n" + update_section;
  return s;
}

std::string UpdaterScenario::SetupIni(const std::string& extra) const {
  return "[SETUP]\r\nCompanyName=" + company_ + "\r\nGameTitle=" + setup_title_ +
         "\r\nGameDir=TestGame\r\nGameExe=GAME.EXE\r\nUninstExe=UNINST.EXE\r\nSetupBmp=A.BMP\r\n"
         "InstallSelects=1\r\nInstallTitle0=T0\r\nInstallFiles0=F0.PAK\r\nShortcuts=1\r\n"
         "Shortcut0=GAME.EXE,Game\r\nGameClass=" + game_class_ + "\r\n" + extra;
}

Bytes UpdaterScenario::Package(const std::string& ini, std::vector<updpack::PackageFile> more) {
  more.push_back({"UPDATE.INI", B(ini), kPackageTime});
  more.push_back({"README.TXT", B("read me\r\n"), kPackageTime});
  auto built = updpack::BuildPackage(std::move(more), {});
  EXPECT_TRUE(built.error.empty()) << built.error;
  return built.image;
}

std::filesystem::path UpdaterScenario::Updater(const Bytes& package, const std::wstring& source,
                                               const std::wstring& name) {
  std::filesystem::path from = win::SiblingPath(source);
  if (source == L"update.exe") {
    wchar_t buf[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"UPD_UPDATE_EXE", buf, MAX_PATH)) from = buf;
  }
  const Bytes host = ReadAll(from);
  EXPECT_FALSE(host.empty()) << "no updater at " << from.string();
  namespace pe = updpack::pe;
  const Bytes exe =
      pe::EmbedResource(host, pe::ResourceId::Name(u"UPDATE"), pe::ResourceId::Number(102), 1041,
                        package)
          .file;
  const auto path = base_ / name;
  WriteAll(path, std::string_view(reinterpret_cast<const char*>(exe.data()), exe.size()));
  return path;
}

void UpdaterScenario::Install(const std::filesystem::path& folder,
                              const std::vector<RegValue>& values, const std::string& setup_ini) {
  const std::wstring key = L"Software\\" + std::wstring(company_.begin(), company_.end()) +
                           L"\\TestGame";
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, nullptr),
            ERROR_SUCCESS);
  for (const RegValue& v : values) {
    EXPECT_EQ(RegSetValueExW(h, v.name.c_str(), 0, v.type, v.data.data(),
                             static_cast<DWORD>(v.data.size())),
              ERROR_SUCCESS);
  }
  RegCloseKey(h);
  std::filesystem::create_directories(folder);
  if (!setup_ini.empty()) WriteAll(folder / L"SETUP.INI", setup_ini);
}

void UpdaterScenario::InstallStandard(std::uint32_t mode, const std::string& setup_extra) {
  Install(inst_, {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Dword(L"InstMode", mode)},
          SetupIni(setup_extra));
}

std::optional<ChildProcess> UpdaterScenario::Start(const std::filesystem::path& exe,
                                                   win::Env extra) const {
  extra.push_back({L"TMP", temp_.wstring()});
  extra.push_back({L"TEMP", temp_.wstring()});
  // A machine under heavy load has been seen to refuse a start now and then; what a scenario
  // tests begins after the start, so a refused start is tried again (and said).
  for (int attempt = 1;; ++attempt) {
    if (auto p = ChildProcess::Start(exe.wstring(), L"", extra)) return p;
    const DWORD error = GetLastError();
    std::fprintf(stderr, "starting %ls failed (error %lu), attempt %d\n", exe.c_str(),
                 static_cast<unsigned long>(error), attempt);
    if (attempt == 3) return std::nullopt;
    Sleep(500);
  }
}

void UpdaterScenario::ExpectBox(ChildProcess& p, std::string_view caption, std::string_view text,
                                win::IconKind icon, std::vector<int> buttons, int press) {
  auto w = win::WaitForWindow(
      p,
      [](const win::WindowInfo& i) {
        return i.class_name == win::kDialogClass && GetDlgItem(i.hwnd, 0xFFFF) != nullptr;
      },
      kTimeout);
  ASSERT_TRUE(w) << "no box for: " << text;
  auto box = win::ReadMessageBox(w->hwnd);
  ASSERT_TRUE(box);
  EXPECT_EQ(win::ToCp932(box->caption), caption);
  EXPECT_EQ(win::ToCp932(box->text), text);
  EXPECT_STREQ(win::IconName(box->icon), win::IconName(icon)) << box->icon_note;
  std::sort(buttons.begin(), buttons.end());
  std::sort(box->buttons.begin(), box->buttons.end());
  EXPECT_EQ(box->buttons, buttons);
  ASSERT_TRUE(win::PressButton(w->hwnd, press));
  EXPECT_TRUE(win::WaitGone(w->hwnd, kTimeout));
}

HWND UpdaterScenario::WaitWizard(ChildProcess& p) {
  auto w = win::WaitForWindow(
      p,
      [](const win::WindowInfo& i) {
        return i.class_name == win::kDialogClass && GetDlgItem(i.hwnd, 1001) != nullptr;
      },
      kTimeout);
  return w ? w->hwnd : nullptr;
}

WizardView UpdaterScenario::ReadWizard(HWND wizard) {
  WizardView v;
  v.caption = win::WindowText(wizard);
  v.info = win::WindowText(GetDlgItem(wizard, 1001));
  v.next = win::ReadControl(wizard, 1);
  v.abort = win::ReadControl(wizard, 2);
  v.back = win::ReadControl(wizard, 4);
  v.agreement = win::ReadControl(wizard, 1000);
  v.agree = win::ReadControl(wizard, 1002);
  v.disagree = win::ReadControl(wizard, 1003);
  return v;
}

bool UpdaterScenario::WaitInfo(HWND wizard, std::string_view info) {
  const auto until = std::chrono::steady_clock::now() + kTimeout;
  while (std::chrono::steady_clock::now() < until) {
    if (!IsWindow(wizard)) return false;
    if (win::ToCp932(win::WindowText(GetDlgItem(wizard, 1001))) == info) return true;
    Sleep(25);
  }
  return false;
}

HWND UpdaterScenario::RunUntil(ChildProcess& p, const std::string& info) {
  HWND w = WaitWizard(p);
  if (!w) return nullptr;
  Press(w, IDOK);
  if (!WaitInfo(w, J(u8"アップデートを実行します"))) return nullptr;
  Press(w, IDOK);
  if (!info.empty() && !WaitInfo(w, info)) {
    for (const auto& window : win::TopLevelWindows(p.pid())) {
      if (auto box = win::ReadMessageBox(window.hwnd)) {
        ADD_FAILURE() << "box instead: " << win::ToCp932(box->text);
      }
    }
    ADD_FAILURE() << "information line: " << win::ToCp932(ReadWizard(w).info);
    return nullptr;
  }
  return w;
}

std::string UpdaterScenario::Caption() const { return setup_title_ + J(u8" アップデータ 1.02"); }

void UpdaterScenario::Press(HWND wizard, int id) {
  ASSERT_TRUE(win::PressButton(wizard, id));
}

}  // namespace updtest::e2e
