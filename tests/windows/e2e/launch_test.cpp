// update.exe from its start to the wizard's pages: the installation key, the notice, SETUP.INI,
// the caption, a second updater, the running game, and the wizard with and without the
// agreement. The same scenarios run under a Japanese and an English system locale.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "scenario.h"

namespace updtest::e2e {
namespace {

class LaunchScenario : public UpdaterScenario {
 protected:
  std::string Interrupted() { return J(u8"アップデートが中断されました"); }

  // Aborts the wizard of `p` and checks the run ends as interrupted.
  void AbortWizard(ChildProcess& p, HWND wizard, const std::string& caption) {
    Press(wizard, IDCANCEL);
    ExpectBox(p, caption, Interrupted());
    EXPECT_EQ(p.Wait(kTimeout), std::optional<DWORD>(0));
  }

  // The box the updater shows while the game titled `title` (code page 932 bytes) runs.
  static std::string Running(const std::string& title) {
    return J(u8"「") + title +
           J(u8"」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
             u8"を、アップデートを中止する場合は [キャンセル] を押して下さい");
  }

  std::optional<ChildProcess> StartGame(const std::wstring& title,
                                        std::wstring window_class = L"") {
    if (window_class.empty()) window_class = win::FromCp932(game_class_);
    return StartGameWindow(L"\"" + window_class + L"\" \"" + title + L"\"", title);
  }

  // An old game that names its window through the ANSI calls with the code page 932 bytes
  // `window_class` and `title`. `spelt` is the title as Windows then holds it: the window is
  // waited for under it.
  std::optional<ChildProcess> StartAnsiGame(const std::string& window_class,
                                            const std::string& title, const std::wstring& spelt) {
    return StartGameWindow(L"-a " + Hex(window_class) + L" " + Hex(title), spelt);
  }

  static std::wstring Hex(std::string_view bytes) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out;
    for (const char c : bytes) {
      out += kDigits[static_cast<unsigned char>(c) >> 4];
      out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
  }

  // Code page 932 bytes as the code page `code_page` reads them.
  static std::wstring Widen(unsigned code_page, std::string_view bytes) {
    const int n = MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
  }

  static std::optional<ChildProcess> StartGameWindow(const std::wstring& args,
                                                     const std::wstring& title) {
    auto game = ChildProcess::Start(win::SiblingPath(L"game_window.exe"), args);
    if (!game) return game;
    const auto found = win::WaitForWindow(
        *game, [&](const win::WindowInfo& i) { return i.title == title; }, kTimeout);
    EXPECT_TRUE(found) << "the game window did not open under the title expected";
    return game;
  }

  // Closes the game as a player would, and waits until its window is really gone: a window of
  // an ended process may linger for a moment, and the updater would still see the game.
  static void CloseGame(std::optional<ChildProcess>& game) {
    std::vector<HWND> windows;
    for (const auto& w : win::TopLevelWindows(game->pid())) windows.push_back(w.hwnd);
    for (HWND w : windows) PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(game->Wait(kTimeout), std::optional<DWORD>(0));
    for (HWND w : windows) {
      for (int i = 0; i < 400 && IsWindow(w); ++i) Sleep(25);
      EXPECT_FALSE(IsWindow(w));
    }
    game.reset();
  }
};

TEST_F(LaunchScenario, NotInstalledWhenTheKeyOrARequiredValueCannotBeRead) {
  struct Row {
    const char* name;
    std::vector<RegValue> values;
    bool key = true;
  };
  const std::wstring too_long = (inst_ / std::wstring(300, L'x')).wstring();
  RegValue eight_bytes{L"InstMode", REG_BINARY, Bytes(8, 1)};
  const Row rows[] = {
      {"no key", {}, false},
      {"no InstPath", {RegValue::Dword(L"InstMode", 0)}},
      {"no InstMode", {RegValue::Text(L"InstPath", inst_.wstring())}},
      {"InstMode larger than four bytes", {RegValue::Text(L"InstPath", inst_.wstring()), eight_bytes}},
      {"InstPath over 259 bytes",
       {RegValue::Text(L"InstPath", too_long), RegValue::Dword(L"InstMode", 0)}},
  };
  const auto exe = Updater(Package(UpdateIni()));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::wstring key = L"Software\\" + std::wstring(company_.begin(), company_.end());
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (r.key) Install(inst_, r.values, SetupIni());
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ExpectBox(*p, "UPDATE", J(u8"「") + title_ + J(u8"」がインストールされていません"));
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
    EXPECT_TRUE(std::filesystem::is_empty(temp_));
  }
}

TEST_F(LaunchScenario, WithoutDataPathTheRunGoesOn) {
  InstallStandard();
  auto p = Start(Updater(Package(UpdateIni())));
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  AbortWizard(*p, w, Caption());
}

TEST_F(LaunchScenario, NoticeIsShownBeforeTheSetupIniTestWithCaptionUpdate) {
  struct Row {
    const char* name;
    std::string notice;
    std::string shown;
  };
  const std::string hyou = "\x95\x5C";  // 表: its second byte is a backslash
  const Row rows[] = {
      {"two lines", "A\\nB", "A\rB"},
      {"trailing line break", "A\\n", "A\r"},
      {"trailing backslash", "A\\", "A\\"},
      {"0x5C trail byte before n", hyou + "n", hyou + "n"},
  };
  // No SETUP.INI: the notice comes first, then the missing file; UpdaterTitle does not change
  // the notice's caption.
  Install(inst_, {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Dword(L"InstMode", 0)}, "");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto p = Start(Updater(
        Package(UpdateIni("UpdateMessage=" + r.notice + "\r\nUpdaterTitle=My Updater\r\n"))));
    ASSERT_TRUE(p);
    ExpectBox(*p, "UPDATE", r.shown);
    ExpectBox(*p, "UPDATE", J(u8"インストール先に \"SETUP.INI\" ファイルが見つかりません"));
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  }
}

TEST_F(LaunchScenario, SetupIniMissingUnreadableOrOutOfReach) {
  const auto exe = Updater(Package(UpdateIni()));
  {
    SCOPED_TRACE("missing");
    Install(inst_, {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Dword(L"InstMode", 0)}, "");
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ExpectBox(*p, "UPDATE", J(u8"インストール先に \"SETUP.INI\" ファイルが見つかりません"));
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  }
  {
    // 259 bytes fit the value, but not with "\SETUP.INI" behind them within the path width.
    SCOPED_TRACE("InstPath too long to hold SETUP.INI");
    const std::wstring root = inst_.wstring();
    const std::wstring deep = root + L"\\" + std::wstring(255 - root.size(), L'y');
    Install(inst_, {RegValue::Text(L"InstPath", deep), RegValue::Dword(L"InstMode", 0)}, "");
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ExpectBox(*p, "UPDATE", J(u8"インストール先に \"SETUP.INI\" ファイルが見つかりません"));
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  }
  {
    // A required key missing: the parse fails silently, and so does the run.
    SCOPED_TRACE("SETUP.INI without GameExe");
    std::string setup = SetupIni();
    setup.erase(setup.find("GameExe=GAME.EXE\r\n"), 18);
    Install(inst_, {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Dword(L"InstMode", 0)}, setup);
    auto p = Start(exe);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  }
}

TEST_F(LaunchScenario, CaptionFromUpdaterTitleOrFromTheInstalledGamesTitle) {
  struct Row {
    const char* name;
    std::string setup_extra;
    std::string caption;
  };
  // SETUP.INI names the game otherwise than UPDATE.INI: its title wins for the caption.
  setup_title_ = J(u8"本物のゲーム") + title_.substr(J(u8"テストゲーム").size());
  const std::string real = setup_title_;
  const Row rows[] = {
      {"UpdaterTitle as it is", "UpdaterTitle=" + J(u8"特別 %s 版") + real + "\r\n",
       J(u8"特別 %s 版") + real},
      {"title and version", "", real + J(u8" アップデータ 1.02")},
  };
  InstallStandard();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto p = Start(Updater(Package(UpdateIni(r.setup_extra))));
    ASSERT_TRUE(p);
    HWND w = WaitWizard(*p);
    ASSERT_TRUE(w);
    EXPECT_EQ(win::ToCp932(ReadWizard(w).caption), r.caption);
    EXPECT_EQ(win::ToCp932(ReadWizard(w).info), J(u8"「") + real + J(u8"」のアップデートを開始します"));
    AbortWizard(*p, w, r.caption);
  }
  {
    SCOPED_TRACE("no version: a space after the last word");
    std::string ini = UpdateIni();
    ini.erase(ini.find("UpdaterVersion=1.02\r\n"), 21);
    auto p = Start(Updater(Package(ini)));
    ASSERT_TRUE(p);
    HWND w = WaitWizard(*p);
    ASSERT_TRUE(w);
    EXPECT_EQ(win::ToCp932(ReadWizard(w).caption), real + J(u8" アップデータ "));
    AbortWizard(*p, w, real + J(u8" アップデータ "));
  }
}

TEST_F(LaunchScenario, ASecondUpdaterShowsNothingAndLeavesTheFirst) {
  InstallStandard();
  const auto exe = Updater(Package(UpdateIni()));
  auto first = Start(exe);
  ASSERT_TRUE(first);
  HWND w = WaitWizard(*first);
  ASSERT_TRUE(w);
  auto second = Start(exe);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Wait(kTimeout), std::optional<DWORD>(0));
  EXPECT_TRUE(IsWindow(w));
  EXPECT_TRUE(first->Running());
  // The first run's temporary file is still there for its update run.
  EXPECT_FALSE(std::filesystem::is_empty(temp_));
  AbortWizard(*first, w, Caption());
  EXPECT_TRUE(std::filesystem::is_empty(temp_));
}

TEST_F(LaunchScenario, RunningGameAsksUntilItIsClosed) {
  InstallStandard();
  const auto exe = Updater(Package(UpdateIni()));
  const std::string running = Running(title_);
  const std::wstring title = win::FromCp932(title_);
  {
    SCOPED_TRACE("OK while it runs asks again; OK after closing it opens the wizard");
    auto game = StartGame(title);
    ASSERT_TRUE(game);
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ExpectBox(*p, Caption(), running, win::IconKind::kNone, {IDOK, IDCANCEL}, IDOK);
    ExpectBox(*p, Caption(), running, win::IconKind::kNone, {IDOK, IDCANCEL}, IDOK);
    // Still running: a third box. Close the game, then OK.
    auto box = win::WaitForWindow(
        *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
    ASSERT_TRUE(box);
    CloseGame(game);
    ASSERT_TRUE(win::PressButton(box->hwnd, IDOK));
    HWND w = WaitWizard(*p);
    ASSERT_TRUE(w);
    AbortWizard(*p, w, Caption());
  }
  {
    SCOPED_TRACE("Cancel ends the run without a further box");
    auto game = StartGame(title);
    ASSERT_TRUE(game);
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ExpectBox(*p, Caption(), running, win::IconKind::kNone, {IDOK, IDCANCEL}, IDCANCEL);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  }
}

TEST_F(LaunchScenario, SecondTitleIsSearchedAfterTheFirstAndTheFirstNotAgain) {
  InstallStandard();
  const auto exe = Updater(Package(UpdateIni("GameTitleA=" + J(u8"設定ツール") + "\r\n")));
  auto tool = StartGame(W(u8"設定ツール"));
  ASSERT_TRUE(tool);
  auto p = Start(exe);
  ASSERT_TRUE(p);
  auto box = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(box);
  EXPECT_EQ(win::ToCp932(win::ReadMessageBox(box->hwnd)->text), Running(J(u8"設定ツール")));
  // The first title opens now; it is not looked for again.
  auto game = StartGame(win::FromCp932(title_));
  ASSERT_TRUE(game);
  CloseGame(tool);
  ASSERT_TRUE(win::PressButton(box->hwnd, IDOK));
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  AbortWizard(*p, w, Caption());
}

// The system spells an ANSI game's class and title with the game's ANSI code page: under the
// English locale its code page 932 bytes become code page 1252 text, while a Unicode game holds
// them as Japanese, as does an ANSI game under a locale emulator (the Unicode row stands for it:
// Windows holds the same names). The updater sees each, by either title, under either locale.
TEST_F(LaunchScenario, RunningGameIsSeenHoweverItsNamesWereSpelt) {
  struct Row {
    const char* name;
    bool ansi;
    bool second_title;
  };
  const Row rows[] = {
      {"ANSI game, GameTitle", true, false},
      {"Unicode game, GameTitle", false, false},
      {"ANSI game, GameTitleA", true, true},
      {"Unicode game, GameTitleA", false, true},
  };
  // Japanese class and titles, with bytes that code page 1252 leaves undefined (0x81, ー) and
  // trail bytes that are ASCII (ソ, 表: 0x5C); each ends with this process's id.
  game_class_ = J(u8"ゲームソ表クラス") + game_class_;
  const std::string tool = J(u8"設定ツール表") + std::to_string(GetCurrentProcessId());
  InstallStandard();
  const auto exe = Updater(Package(UpdateIni("GameTitleA=" + tool + "\r\n")));
  const char* expect_acp = std::getenv("UPD_EXPECT_ACP");
  if (expect_acp) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expect_acp)));
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string& title = r.second_title ? tool : title_;
    auto game = [&]() -> std::optional<ChildProcess> {
      if (!r.ansi) return StartGame(win::FromCp932(title));
      const std::wstring spelt = Widen(CP_ACP, title);
      // Under the English locale the row is worth its name only if the spellings differ.
      if (expect_acp) {
        EXPECT_NE(spelt, win::FromCp932(title));
      }
      return StartAnsiGame(game_class_, title, spelt);
    }();
    ASSERT_TRUE(game);
    auto p = Start(exe);
    ASSERT_TRUE(p);
    // The box or, when the game is not seen, the wizard: whichever the updater shows first.
    const auto shown = win::WaitForDialog(*p, kTimeout);
    ASSERT_TRUE(shown) << "the updater showed nothing";
    if (GetDlgItem(shown->hwnd, 1001) != nullptr) {
      ADD_FAILURE() << "the wizard opened: the running game was not seen";
      AbortWizard(*p, shown->hwnd, Caption());
    } else {
      ExpectBox(*p, Caption(), Running(title), win::IconKind::kNone, {IDOK, IDCANCEL}, IDCANCEL);
      EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
    }
    CloseGame(game);
  }
}

TEST_F(LaunchScenario, WizardWithoutAgreement) {
  InstallStandard();
  const auto exe = Updater(Package(UpdateIni()));
  for (bool on_confirm_page : {false, true}) {
    for (const std::string how : {"Abort", "Esc", "close box"}) {
      SCOPED_TRACE(how + (on_confirm_page ? " on the confirm page" : " on the start page"));
      auto p = Start(exe);
      ASSERT_TRUE(p);
      HWND w = WaitWizard(*p);
      ASSERT_TRUE(w);
      WizardView v = ReadWizard(w);
      EXPECT_EQ(win::ToCp932(v.caption), Caption());
      EXPECT_EQ(win::ToCp932(v.info), J(u8"「") + title_ + J(u8"」のアップデートを開始します"));
      EXPECT_TRUE(v.next.enabled);
      EXPECT_FALSE(v.back.enabled);
      EXPECT_TRUE(v.abort.enabled);
      EXPECT_FALSE(v.agreement.exists);  // template 100
      EXPECT_FALSE(v.agree.exists);
      if (on_confirm_page) {
        Press(w, IDOK);
        ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
        v = ReadWizard(w);
        EXPECT_TRUE(v.next.enabled);
        EXPECT_FALSE(v.back.enabled);
        EXPECT_TRUE(v.abort.enabled);
      }
      if (how == "Esc") {
        ASSERT_TRUE(win::PressKey(w, VK_ESCAPE));
      } else if (how == "close box") {
        ASSERT_TRUE(win::PressCloseBox(w));
      } else {
        Press(w, IDCANCEL);
      }
      ExpectBox(*p, Caption(), Interrupted());
      EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
    }
  }
}

TEST_F(LaunchScenario, WizardWithAgreement) {
  InstallStandard();
  const std::string agreement = J(u8"使用許諾\r\n第一条 100% の責任");
  const std::string title = J(u8"アップデート 50% 割引 %s %d");
  const auto exe = Updater(
      Package(UpdateIni("AgreementText=LICENSE.TXT\r\nAgreementTitle=TITLE.TXT\r\n"),
              {{"LICENSE.TXT", B(agreement), kPackageTime}, {"TITLE.TXT", B(title), kPackageTime}}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  WizardView v = ReadWizard(w);
  // The start text as it stands, '%' and all.
  EXPECT_EQ(win::ToCp932(v.info), title);
  EXPECT_EQ(win::ToCp932(v.agreement.text), agreement);
  EXPECT_FALSE(v.next.enabled);
  EXPECT_FALSE(v.back.enabled);
  EXPECT_TRUE(v.abort.enabled);
  EXPECT_TRUE(v.agreement.visible && v.agree.visible && v.disagree.visible);
  EXPECT_TRUE(v.agree.enabled && v.disagree.enabled);
  EXPECT_FALSE(v.agree.checked);
  EXPECT_TRUE(v.disagree.checked);

  Press(w, 1002);  // 同意する
  for (int i = 0; i < 200 && !ReadWizard(w).next.enabled; ++i) Sleep(25);
  v = ReadWizard(w);
  EXPECT_TRUE(v.next.enabled);
  EXPECT_TRUE(v.agree.checked);
  EXPECT_FALSE(v.disagree.checked);
  Press(w, 1003);  // 同意しない
  for (int i = 0; i < 200 && ReadWizard(w).next.enabled; ++i) Sleep(25);
  v = ReadWizard(w);
  EXPECT_FALSE(v.next.enabled);
  EXPECT_FALSE(v.agree.checked);
  EXPECT_TRUE(v.disagree.checked);
  Press(w, 1002);
  for (int i = 0; i < 200 && !ReadWizard(w).next.enabled; ++i) Sleep(25);

  Press(w, IDOK);
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
  v = ReadWizard(w);
  EXPECT_FALSE(v.agreement.visible || v.agree.visible || v.disagree.visible);
  EXPECT_TRUE(v.next.enabled);
  AbortWizard(*p, w, Caption());
}

TEST_F(LaunchScenario, EmptyAgreementStillSelectsTheAgreementWizard) {
  InstallStandard();
  // A start text of 1,200 bytes: the line shows 1,023 at most, never half a character.
  std::string long_title;
  for (int i = 0; i < 600; ++i) long_title += J(u8"あ");
  const auto exe = Updater(Package(UpdateIni("AgreementText=EMPTY.TXT\r\nAgreementTitle=T.TXT\r\n"),
                                   {{"EMPTY.TXT", {}, kPackageTime},
                                    {"T.TXT", B(long_title), kPackageTime}}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  const WizardView v = ReadWizard(w);
  EXPECT_TRUE(v.agreement.exists);
  EXPECT_EQ(v.agreement.text, L"");
  EXPECT_FALSE(v.next.enabled);
  EXPECT_EQ(win::ToCp932(v.info), long_title.substr(0, 1022));
  AbortWizard(*p, w, Caption());
}

// An installation folder whose name no single ANSI code page spells: found and read under the
// Japanese and the English system locale alike.
TEST_F(LaunchScenario, InstallationFolderOutsideAnyOneCodePage) {
  const std::filesystem::path folder = base_ / W(u8"Café ほし");
  Install(folder, {RegValue::Text(L"InstPath", folder.wstring()), RegValue::Dword(L"InstMode", 0)},
          SetupIni());
  auto p = Start(Updater(Package(UpdateIni())));
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  EXPECT_EQ(win::ToCp932(ReadWizard(w).caption), Caption());
  AbortWizard(*p, w, Caption());
}

}  // namespace
}  // namespace updtest::e2e
