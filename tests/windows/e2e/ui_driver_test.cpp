// The UI driver reads real message boxes of another process: caption, text, icon, buttons.
#include <gtest/gtest.h>

#include <thread>

#include "win/ui_driver.h"

namespace {

using namespace std::chrono_literals;
using updtest::win::ChildProcess;
using updtest::win::IconKind;

TEST(UiDriver, ReadsAndAnswersMessageBoxes) {
  struct Row {
    const char* name;
    UINT style;
    IconKind icon;
    std::vector<int> buttons;
    int press;
  };
  const Row rows[] = {
      {"stop icon, OK", MB_ICONERROR, IconKind::kStop, {IDOK}, IDOK},
      {"no icon, OK/Cancel, cancel", MB_OKCANCEL, IconKind::kNone, {IDOK, IDCANCEL}, IDCANCEL},
      {"no icon, OK/Cancel, ok", MB_OKCANCEL, IconKind::kNone, {IDOK, IDCANCEL}, IDOK},
      {"warning icon", MB_ICONWARNING, IconKind::kWarning, {IDOK}, IDOK},
  };
  // Other tests' windows share the screen: one lies over every box here, from the start.
  auto cover = ChildProcess::Start(updtest::win::SiblingPath(L"game_window.exe"),
                                   L"CoverClass Cover 0 0 1024 768 topmost");
  ASSERT_TRUE(cover);
  ASSERT_TRUE(updtest::win::WaitForWindow(
      *cover, [](const updtest::win::WindowInfo& w) { return w.title == L"Cover"; }, 20s));
  const std::wstring caption = L"\u30C6\u30B9\u30C8 UPDATE";   // テスト UPDATE
  const std::wstring text = L"\u300C\u8868\u300D\u304C\u5B9F\u884C\u4E2D\u3067\u3059";  // 「表」が実行中です
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto p = ChildProcess::Start(updtest::win::SiblingPath(L"box_host.exe"),
                                 std::to_wstring(r.style) + L" \"" + caption + L"\" \"" + text + L"\"");
    ASSERT_TRUE(p);
    auto w = updtest::win::WaitForDialog(*p, 20s);
    ASSERT_TRUE(w);
    auto box = updtest::win::ReadMessageBox(w->hwnd);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, caption);
    EXPECT_EQ(box->text, text);
    EXPECT_STREQ(updtest::win::IconName(box->icon), updtest::win::IconName(r.icon));
    std::vector<int> buttons = box->buttons;
    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(buttons, r.buttons);
    ASSERT_TRUE(updtest::win::PressButton(w->hwnd, r.press));
    EXPECT_EQ(p->Wait(20s), std::optional<DWORD>(r.press));
  }
}

// Two tests reading boxes at the same place at the same time (as the two locales' scenarios
// do): each box is read right, neither reader waits for ever on the other.
TEST(UiDriver, ReadsTwoBoxesAtTheSamePlaceAtOnce) {
  struct Reader {
    UINT style;
    IconKind icon;
    std::optional<ChildProcess> process;
    std::string seen;
  };
  Reader readers[] = {{MB_ICONERROR, IconKind::kStop, {}, {}},
                      {MB_ICONWARNING, IconKind::kWarning, {}, {}}};
  for (Reader& r : readers) {
    auto p = ChildProcess::Start(updtest::win::SiblingPath(L"box_host.exe"),
                                 std::to_wstring(r.style) + L" Same \"Same text\"");
    ASSERT_TRUE(p);
    r.process.emplace(std::move(*p));
  }
  std::vector<std::thread> threads;
  for (Reader& r : readers) {
    threads.emplace_back([&r] {
      auto w = updtest::win::WaitForDialog(*r.process, 20s);
      if (!w) return;
      if (auto box = updtest::win::ReadMessageBox(w->hwnd)) r.seen = updtest::win::IconName(box->icon);
      updtest::win::PressButton(w->hwnd, IDOK);
    });
  }
  for (std::thread& t : threads) t.join();
  for (Reader& r : readers) {
    EXPECT_EQ(r.seen, updtest::win::IconName(r.icon));
    EXPECT_EQ(r.process->Wait(20s), std::optional<DWORD>(IDOK));
  }
}

}  // namespace
