// The wizard: its two templates as built into update.exe, and its pages and buttons against
// every outcome of the update run (a host whose RunUpdate does what the scenario asks).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "scenario.h"

namespace updtest::e2e {
namespace {

// ---- The templates, read back out of update.exe ----

struct ControlSpec {
  std::uint32_t id;
  std::uint16_t class_atom;  // 0x80 Button, 0x81 Edit, 0x82 Static
  std::wstring text;
  std::uint32_t style;
  std::int16_t x, y, cx, cy;
  bool operator==(const ControlSpec&) const = default;
};

struct TemplateSpec {
  std::uint32_t style = 0, ex_style = 0, help_id = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  bool has_menu = false, has_class = false;
  std::wstring caption;
  std::uint16_t point_size = 0, weight = 0;
  std::uint8_t italic = 0, charset = 0;
  std::wstring face;
  std::vector<ControlSpec> controls;
  std::vector<std::uint32_t> control_ex_styles, control_help_ids, control_extra_sizes;
};

class TemplateReader {
 public:
  explicit TemplateReader(std::span<const std::uint8_t> b) : b_(b) {}
  bool ok() const { return ok_; }
  template <typename T>
  T Get() {
    T v{};
    if (p_ + sizeof(T) > b_.size()) {
      ok_ = false;
      return v;
    }
    std::memcpy(&v, b_.data() + p_, sizeof(T));
    p_ += sizeof(T);
    return v;
  }
  std::wstring String() {
    std::wstring s;
    for (wchar_t c; (c = static_cast<wchar_t>(Get<std::uint16_t>())) != 0 && ok_;) s.push_back(c);
    return s;
  }
  // sz_Or_Ord: nothing (0), an ordinal (0xFFFF n), or a string.
  std::pair<std::uint16_t, std::wstring> StringOrOrdinal() {
    const auto first = Get<std::uint16_t>();
    if (first == 0) return {0, {}};
    if (first == 0xFFFF) return {Get<std::uint16_t>(), {}};
    p_ -= 2;
    return {0, String()};
  }
  void AlignTo4() { p_ = (p_ + 3) & ~std::size_t{3}; }
  void Skip(std::size_t n) { p_ += n; }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t p_ = 0;
  bool ok_ = true;
};

std::optional<TemplateSpec> ReadTemplate(HMODULE module, int id) {
  HRSRC info = FindResourceExW(module, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(id),
                               MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  if (!info) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, info)));
  TemplateReader r({bytes, SizeofResource(module, info)});
  if (r.Get<std::uint16_t>() != 1 || r.Get<std::uint16_t>() != 0xFFFF) return std::nullopt;
  TemplateSpec t;
  t.help_id = r.Get<std::uint32_t>();
  t.ex_style = r.Get<std::uint32_t>();
  t.style = r.Get<std::uint32_t>();
  const auto count = r.Get<std::uint16_t>();
  t.x = r.Get<std::int16_t>();
  t.y = r.Get<std::int16_t>();
  t.cx = r.Get<std::int16_t>();
  t.cy = r.Get<std::int16_t>();
  auto menu = r.StringOrOrdinal();
  auto cls = r.StringOrOrdinal();
  t.has_menu = menu.first != 0 || !menu.second.empty();
  t.has_class = cls.first != 0 || !cls.second.empty();
  t.caption = r.String();
  t.point_size = r.Get<std::uint16_t>();
  t.weight = r.Get<std::uint16_t>();
  t.italic = r.Get<std::uint8_t>();
  t.charset = r.Get<std::uint8_t>();
  t.face = r.String();
  for (int i = 0; i < count; ++i) {
    r.AlignTo4();
    ControlSpec c{};
    t.control_help_ids.push_back(r.Get<std::uint32_t>());
    t.control_ex_styles.push_back(r.Get<std::uint32_t>());
    c.style = r.Get<std::uint32_t>();
    c.x = r.Get<std::int16_t>();
    c.y = r.Get<std::int16_t>();
    c.cx = r.Get<std::int16_t>();
    c.cy = r.Get<std::int16_t>();
    c.id = r.Get<std::uint32_t>();
    auto control_class = r.StringOrOrdinal();
    c.class_atom = control_class.first;
    auto title = r.StringOrOrdinal();
    c.text = title.second;
    const auto extra = r.Get<std::uint16_t>();
    t.control_extra_sizes.push_back(extra);
    r.Skip(extra);
    t.controls.push_back(c);
  }
  if (!r.ok()) return std::nullopt;
  return t;
}

TEST(WizardTemplates, AreExactlyAsDesigned) {
  wchar_t exe[MAX_PATH] = {};
  ASSERT_TRUE(GetEnvironmentVariableW(L"UPD_UPDATE_EXE", exe, MAX_PATH));
  HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_TRUE(module);
  constexpr std::uint16_t kButton = 0x80, kEdit = 0x81, kStatic = 0x82;
  const std::wstring next = W(u8"次へ"), abort = W(u8"中止"), back = W(u8"戻る");
  struct Expected {
    int id;
    std::int16_t cx, cy;
    std::vector<ControlSpec> controls;
  };
  const Expected expected[] = {
      {100, 247, 93,
       {{1, kButton, next, 0x50010001, 143, 72, 44, 14},
        {2, kButton, abort, 0x50010000, 196, 72, 44, 14},
        {4, kButton, back, 0x50010000, 99, 72, 44, 14},
        {1001, kStatic, L"Info", 0x50020000, 16, 16, 214, 26}}},
      {101, 364, 222,
       {{1, kButton, next, 0x50010001, 258, 202, 44, 14},
        {2, kButton, abort, 0x50010000, 311, 202, 44, 14},
        {4, kButton, back, 0x50010000, 214, 202, 44, 14},
        {1001, kStatic, L"Info", 0x50020000, 16, 9, 331, 65},
        {1000, kEdit, L"", 0x50A00004, 6, 81, 351, 92},
        {1002, kButton, W(u8"同意する"), 0x50000004, 10, 177, 225, 10},
        {1003, kButton, W(u8"同意しない"), 0x50000004, 10, 189, 225, 10}}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE("template " + std::to_string(e.id));
    const auto t = ReadTemplate(module, e.id);
    ASSERT_TRUE(t) << "no DLGTEMPLATEEX of language 1041";
    EXPECT_EQ(t->style, 0x90C808C0u);
    EXPECT_EQ(t->ex_style, 0u);
    EXPECT_EQ(t->help_id, 0u);
    EXPECT_EQ(t->x, 0);
    EXPECT_EQ(t->y, 0);
    EXPECT_EQ(t->cx, e.cx);
    EXPECT_EQ(t->cy, e.cy);
    EXPECT_FALSE(t->has_menu);
    EXPECT_FALSE(t->has_class);
    EXPECT_EQ(t->caption, L"UPDATE");
    EXPECT_EQ(t->point_size, 10);
    EXPECT_EQ(t->weight, 0);
    EXPECT_EQ(t->italic, 0);
    EXPECT_EQ(t->charset, 0);
    EXPECT_EQ(t->face, W(u8"ＭＳ Ｐゴシック"));
    ASSERT_EQ(t->controls.size(), e.controls.size());
    for (std::size_t i = 0; i < e.controls.size(); ++i) {
      SCOPED_TRACE("control " + std::to_string(e.controls[i].id));
      EXPECT_EQ(t->controls[i], e.controls[i]);
      EXPECT_EQ(t->control_ex_styles[i], 0u);
      EXPECT_EQ(t->control_help_ids[i], 0u);
      EXPECT_EQ(t->control_extra_sizes[i], 0u);
    }
  }
  FreeLibrary(module);
}

// ---- The pages against the update run's outcomes ----

class WizardScenario : public UpdaterScenario {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    InstallStandard();
    runs_ = base_ / L"runs.txt";
  }
  std::optional<ChildProcess> StartHost(const std::wstring& outcome, bool hold = false,
                                        const std::string& extra_setup = "",
                                        std::vector<updpack::PackageFile> more = {}) {
    const auto exe = Updater(Package(UpdateIni(extra_setup), std::move(more)), L"wizard_host.exe");
    win::Env env = {{L"UPD_E2E_RUN", outcome}, {L"UPD_E2E_RUNS", runs_.wstring()}};
    if (hold) env.push_back({L"UPD_E2E_RUN_HOLD", L"1"});
    return Start(exe, env);
  }
  int Runs() {
    std::ifstream in(runs_);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  std::filesystem::path runs_;
};

TEST_F(WizardScenario, FinishedRunEndsWithExitCodeOne) {
  auto p = StartHost(L"finish");
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, J(u8"アップデートは完了しました"));
  ASSERT_TRUE(w);
  const WizardView v = ReadWizard(w);
  EXPECT_EQ(win::ToCp932(v.next.text), J(u8"完了"));
  EXPECT_TRUE(v.next.enabled);
  EXPECT_FALSE(v.back.enabled);
  EXPECT_FALSE(v.abort.enabled);
  EXPECT_EQ(Runs(), 1);
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
}

TEST_F(WizardScenario, DiskSpaceStopThenBackAndNextRunsAgain) {
  auto p = StartHost(L"diskstop");
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "DISK STOP");
  ASSERT_TRUE(w);
  WizardView v = ReadWizard(w);
  EXPECT_FALSE(v.next.enabled);
  EXPECT_TRUE(v.back.enabled);
  EXPECT_TRUE(v.abort.enabled);
  // Back lowers the page by two: the confirm page again, Back disabled once more.
  Press(w, 4);
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
  v = ReadWizard(w);
  EXPECT_TRUE(v.next.enabled);
  EXPECT_FALSE(v.back.enabled);
  EXPECT_TRUE(v.abort.enabled);
  Press(w, IDOK);
  ASSERT_TRUE(WaitInfo(w, "DISK STOP"));
  EXPECT_EQ(Runs(), 2);
  Press(w, IDCANCEL);
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
}

TEST_F(WizardScenario, FailedRunEndsTheDialogAndTellsTheUpdateWasInterrupted) {
  auto p = StartHost(L"fail");
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  ExpectBox(*p, Caption(), J(u8"ファイルの書き込みに失敗しました"));
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
}

// While a step runs (here: a box of the run is open), Next, Back and Abort do nothing, and the
// information line is empty between the press and the step's own text.
TEST_F(WizardScenario, PressesWhileAStepRunsDoNothing) {
  auto p = StartHost(L"finish", /*hold=*/true);
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "");
  ASSERT_TRUE(w);
  auto hold = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return i.title == L"HOLD"; }, kTimeout);
  ASSERT_TRUE(hold);
  EXPECT_EQ(ReadWizard(w).info, L"");
  for (int id : {IDOK, 4, IDCANCEL, IDOK}) ASSERT_TRUE(win::PressButton(w, id));
  Sleep(500);
  EXPECT_TRUE(IsWindow(w));
  EXPECT_EQ(ReadWizard(w).info, L"");
  ASSERT_TRUE(win::PressButton(hold->hwnd, IDOK));
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
  EXPECT_EQ(Runs(), 1);
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
}

// A wizard that cannot be created (here: an updater without its dialog templates) is an
// interrupted update like any other.
TEST_F(WizardScenario, ADialogThatCannotBeCreatedIsAnInterruptedUpdate) {
  const auto exe = Updater(Package(UpdateIni()), L"wizard_host_bare.exe");
  auto p = Start(exe);
  ASSERT_TRUE(p);
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
}

// ---- Keys and the close box on every page ----

enum class Page { kStartWithAgreement, kConfirm, kDiskStop, kFinished };
enum class Key { kEsc, kCloseBox, kAltF4, kEnter };
// What the key does: end the wizard as interrupted, nothing at all, or what Next does.
enum class Outcome { kInterrupted, kNothing, kNext };

struct KeyRow {
  const char* name;
  Page page;
  Key key;
  Outcome outcome;
};

class WizardKeys : public WizardScenario, public ::testing::WithParamInterface<KeyRow> {
 protected:
  // The updater for `page`: the real one, except for the disk-space stop, which a host whose
  // run stops for disk space brings about.
  std::optional<ChildProcess> StartFor(Page page) {
    switch (page) {
      case Page::kStartWithAgreement:
        return Start(Updater(Package(UpdateIni("AgreementText=LICENSE.TXT\r\n"),
                                     {{"LICENSE.TXT", B("terms"), kPackageTime}})));
      case Page::kDiskStop:
        return StartHost(L"diskstop");
      case Page::kConfirm:
      case Page::kFinished:
        return Start(Updater(Package(UpdateIni())));
    }
    return std::nullopt;
  }

  // The wizard of `p` once it shows `page`.
  HWND ReachPage(Page page, ChildProcess& p) {
    switch (page) {
      case Page::kStartWithAgreement:
        return WaitWizard(p);
      case Page::kConfirm: {
        HWND w = WaitWizard(p);
        if (!w) return nullptr;
        Press(w, IDOK);
        return WaitInfo(w, J(u8"アップデートを実行します")) ? w : nullptr;
      }
      case Page::kDiskStop:
        return RunUntil(p, "DISK STOP");
      case Page::kFinished:
        return RunUntil(p, J(u8"アップデートは完了しました"));
    }
    return nullptr;
  }

  static bool Send(HWND w, Key key) {
    switch (key) {
      case Key::kEsc: return win::PressKey(w, VK_ESCAPE);
      case Key::kCloseBox: return win::PressCloseBox(w);
      case Key::kAltF4: return win::PressAltF4(w);
      case Key::kEnter: return win::PressKey(w, VK_RETURN);
    }
    return false;
  }

  void ExpectInterrupted(ChildProcess& p) {
    ExpectBox(p, Caption(), J(u8"アップデートが中断されました"));
    EXPECT_EQ(p.Wait(kTimeout), std::optional<DWORD>(0));
  }
};

TEST_P(WizardKeys, DoWhatTheButtonsAllow) {
  const KeyRow& row = GetParam();
  auto p = StartFor(row.page);
  ASSERT_TRUE(p);
  HWND w = ReachPage(row.page, *p);
  ASSERT_TRUE(w) << "the wizard did not reach the page";
  const std::wstring info = ReadWizard(w).info;
  ASSERT_TRUE(Send(w, row.key));

  if (row.outcome == Outcome::kInterrupted) return ExpectInterrupted(*p);
  if (row.outcome == Outcome::kNext) {
    if (row.page == Page::kConfirm) {
      ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
      Press(w, IDOK);
    }
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
    return;
  }
  // Nothing happened: a press that follows the key (its messages come after the key's) shows
  // the page as it was.
  switch (row.page) {
    case Page::kStartWithAgreement:
      ASSERT_TRUE(win::PressButton(w, 1002));  // 同意する
      for (int i = 0; i < 400 && !ReadWizard(w).next.enabled; ++i) Sleep(25);
      ASSERT_TRUE(ReadWizard(w).next.enabled);
      EXPECT_EQ(ReadWizard(w).info, info) << "the key left the start page";
      Press(w, IDCANCEL);
      return ExpectInterrupted(*p);
    case Page::kDiskStop:
      // Had Enter passed, the wizard would have ended as finished (exit code 1, no box).
      Press(w, IDCANCEL);
      return ExpectInterrupted(*p);
    case Page::kFinished:
      // Had the key ended the wizard, "アップデートが中断されました" would come and the code be 0.
      Press(w, IDOK);
      EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
      return;
    case Page::kConfirm:
      break;
  }
  ADD_FAILURE() << "no row expects nothing on the confirm page";
}

INSTANTIATE_TEST_SUITE_P(
    Pages, WizardKeys,
    ::testing::Values(
        KeyRow{"StartEsc", Page::kStartWithAgreement, Key::kEsc, Outcome::kInterrupted},
        KeyRow{"StartCloseBox", Page::kStartWithAgreement, Key::kCloseBox, Outcome::kInterrupted},
        KeyRow{"StartAltF4", Page::kStartWithAgreement, Key::kAltF4, Outcome::kInterrupted},
        KeyRow{"StartEnterWithoutAgreeing", Page::kStartWithAgreement, Key::kEnter, Outcome::kNothing},
        KeyRow{"ConfirmEsc", Page::kConfirm, Key::kEsc, Outcome::kInterrupted},
        KeyRow{"ConfirmCloseBox", Page::kConfirm, Key::kCloseBox, Outcome::kInterrupted},
        KeyRow{"ConfirmAltF4", Page::kConfirm, Key::kAltF4, Outcome::kInterrupted},
        KeyRow{"ConfirmEnter", Page::kConfirm, Key::kEnter, Outcome::kNext},
        KeyRow{"DiskStopEsc", Page::kDiskStop, Key::kEsc, Outcome::kInterrupted},
        KeyRow{"DiskStopCloseBox", Page::kDiskStop, Key::kCloseBox, Outcome::kInterrupted},
        KeyRow{"DiskStopAltF4", Page::kDiskStop, Key::kAltF4, Outcome::kInterrupted},
        KeyRow{"DiskStopEnter", Page::kDiskStop, Key::kEnter, Outcome::kNothing},
        KeyRow{"FinishedEsc", Page::kFinished, Key::kEsc, Outcome::kNothing},
        KeyRow{"FinishedCloseBox", Page::kFinished, Key::kCloseBox, Outcome::kNothing},
        KeyRow{"FinishedAltF4", Page::kFinished, Key::kAltF4, Outcome::kNothing},
        KeyRow{"FinishedEnter", Page::kFinished, Key::kEnter, Outcome::kNext}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace updtest::e2e
