// ReadSetupDescription over small SETUP.INI fixtures (tests/fixtures/ini) and edits of them:
// one description read completely, the failure table with the faults' messages, captions and
// kinds, and the edge cases of counts, lists, shortcuts, discs, GameClass, the add-on set and
// sizes. The reader shows no box itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "config/setup_description.h"
#include "error_box_recorder.h"
#include "ini_edit.h"

namespace {

using updtest::RecordedBox;
using updtest::TakeBoxes;

// Japanese texts of the fixtures and messages, in code page 932.
#define TITLE "\x83\x65\x83\x58\x83\x67\x83\x51\x81\x5B\x83\x80"    // テストゲーム
#define MISSING "\x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1"  // キーが存在しません
#define ERROR_WORD "\x83\x47\x83\x89\x81\x5B"                       // エラー
#define OVER_WORD "\x83\x49\x81\x5B\x83\x6F\x81\x5B"                 // オーバー
// インストール方法を選択して下さい
#define SELECT_MESSAGE                                                                         \
  "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x95\xFB\x96\x40\x82\xF0\x91\x49\x91\xF0" \
  "\x82\xB5\x82\xC4\x89\xBA\x82\xB3\x82\xA2"

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::string Fixture(const char* name) {
  std::ifstream in(std::string(UPD_FIXTURES) + "/ini/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using updtest::Apply;
using updtest::Edit;
using updtest::Remove;
using updtest::Set;

class SetupDescriptionTest : public ::testing::Test {
 protected:
  void SetUp() override { TakeBoxes(); }
  void TearDown() override { EXPECT_TRUE(TakeBoxes().empty()) << "the reader shows no box"; }

  // Reads the description: 1 when it was read whole, 0 with a fault.
  int Parse(const std::string& ini) {
    read_ = upd::ReadSetupDescription(ini);
    return read_.fault ? 0 : 1;
  }

  // The fault's box, which the caller shows: none when the description was read.
  std::vector<RecordedBox> Boxes() const {
    if (!read_.fault) return {};
    return {{std::string(read_.fault->caption), std::string(read_.fault->text.view())}};
  }

  const upd::SetupDescription& d() const { return read_.setup; }
  const upd::GameIdentity& game() const { return read_.game; }

  upd::SetupDescriptionRead read_;
};

std::vector<std::string> Items(std::span<const upd::NameString> slots) {
  std::vector<std::string> v;
  for (const auto& s : slots) v.emplace_back(s.view());
  return v;
}

TEST_F(SetupDescriptionTest, FullDescriptionReadCompletely) {
  ASSERT_EQ(Parse(Fixture("setup_full.ini")), 1);

  EXPECT_EQ(game().CompanyName.view(), "SampleSoft");
  EXPECT_EQ(game().GameTitle.view(), TITLE);
  EXPECT_EQ(game().GameDir.view(), "TestGame");
  EXPECT_EQ(game().GameClass.view(), "OrvelantWindow 2.0");
  EXPECT_EQ(d().GameExe.view(), "GAME.EXE");
  EXPECT_EQ(d().UninstExe.view(), "UNINST.EXE");

  const std::vector<std::string> bmps = Items(d().SetupBmp);
  EXPECT_EQ(std::vector<std::string>(bmps.begin(), bmps.begin() + 4),
            (std::vector<std::string>{"SETUP1.BMP", "SETUP2.BMP ", "SETUP3.BMP", ""}));
  EXPECT_EQ(d().SetupBmpLast, 2);

  EXPECT_EQ(d().InstallSelects, 4);
  const auto& s = d().InstallSets;
  EXPECT_EQ(s[0].InstallTitle.view(), "\x95\x57\x8F\x80");  // 標準
  EXPECT_EQ(Items(s[0].InstallFiles)[0], "DATA1.PAK");
  EXPECT_EQ(Items(s[0].InstallFiles)[1], "DATA2.PAK");
  EXPECT_EQ(Items(s[0].InstallFiles)[2], "DATA3.PAK");
  EXPECT_EQ(Items(s[0].InstallFiles)[3], "");
  EXPECT_EQ(s[0].InstallDiscs[0], 1);
  EXPECT_EQ(s[0].InstallDiscs[1], 1);
  EXPECT_EQ(s[0].InstallDiscs[2], 2);
  EXPECT_EQ(s[0].NeedsCD, 1);
  EXPECT_EQ(s[0].InstallSize, 123456789012u);
  EXPECT_EQ(s[1].InstallTitle.view(), "\x8D\xC5\x8F\xAC");  // 最小
  EXPECT_EQ(Items(s[1].InstallFiles)[0], "GAME.EXE");
  EXPECT_EQ(Items(s[1].InstallFiles)[1], "");
  EXPECT_EQ(s[1].InstallDiscs[0], 0);
  EXPECT_EQ(s[1].NeedsCD, 0);
  EXPECT_EQ(s[1].InstallSize, 1000u);
  EXPECT_EQ(s[2].InstallTitle.view(), "\x83\x74\x83\x8B");  // フル
  EXPECT_EQ(Items(s[2].InstallFiles)[1], "MOVIE.PAK");
  EXPECT_EQ(s[2].InstallDiscs[0], 0);
  EXPECT_EQ(s[2].InstallDiscs[1], 9);
  EXPECT_EQ(s[2].NeedsCD, 1);
  EXPECT_EQ(s[2].InstallSize, 0u);  // 'abc'
  // Slot 3: its own title, the add-on's files, discs, NeedsCD and size.
  EXPECT_EQ(s[3].InstallTitle.view(), "\x92\xC7\x89\xC1");  // 追加
  const std::vector<std::string> addon = Items(s[3].InstallFiles);
  EXPECT_EQ(std::vector<std::string>(addon.begin(), addon.begin() + 4),
            (std::vector<std::string>{"ADD1.PAK", "ADD2.PAK", "", ""}));
  EXPECT_EQ(s[3].InstallDiscs[0], 0);
  EXPECT_EQ(s[3].InstallDiscs[1], 3);
  EXPECT_EQ(s[3].NeedsCD, 1);
  EXPECT_EQ(s[3].InstallSize, 777u);

  EXPECT_EQ(d().Shortcuts, 2);
  EXPECT_EQ(Items(d().ShortcutEntries[0].Fields),
            (std::vector<std::string>{"GAME.EXE", TITLE, "", "-fullscreen"}));
  EXPECT_EQ(Items(d().ShortcutEntries[1].Fields),
            (std::vector<std::string>{"http://example.com/", "\x83\x54\x83\x7C\x81\x5B\x83\x67", "", ""}));
  EXPECT_EQ(Items(d().ShortcutEntries[2].Fields), (std::vector<std::string>{"", "", "", ""}));

  EXPECT_EQ(d().EngineKind, 0);
  EXPECT_EQ(d().DefaultSelect, 2);
  std::vector<std::string> checks = Items(d().DiskCheckFile);
  EXPECT_EQ(checks, (std::vector<std::string>{"", "DISK1.CHK", "DATA\\\x95\x5C.CHK", "", "", "", "", "", "", ""}));
  EXPECT_EQ(Items(d().ExecApp), (std::vector<std::string>{"SETUP.EXE", "-quiet"}));
  EXPECT_EQ(d().SelectSetupMessage.view(),
            "\x20\x20\x91\x49\x82\xF1\x82\xC5\x89\xBA\x82\xB3\x82\xA2\x20\x20");  // "  選んで下さい  "
  EXPECT_EQ(d().UseCompanyNameForShortcutGroup, 1);
  EXPECT_EQ(d().ChooseSaveDataFolder, 0);
  EXPECT_EQ(d().SaveDataFolderNameInInstall.view(), "save");
  EXPECT_EQ(d().SaveDataFolderName.view(), "TestGameSave");
  EXPECT_EQ(d().CancelSaveData, 1);  // 5 is not 0
  EXPECT_EQ(d().InstallAfterAdd, 1);
  EXPECT_EQ(d().UninstTitle.view(), TITLE "\x8D\xED\x8F\x9C");  // テストゲーム削除
}

TEST_F(SetupDescriptionTest, MinimalDescriptionTakesTheDefaults) {
  ASSERT_EQ(Parse(Fixture("setup_minimal.ini")), 1) << "optional keys are never reported";
  EXPECT_EQ(game().GameClass.view(), "Title") << "the title stands in for a missing GameClass";
  EXPECT_EQ(d().EngineKind, 2);
  EXPECT_EQ(d().SetupBmpLast, 0);
  EXPECT_EQ(d().DefaultSelect, 0);
  EXPECT_EQ(d().InstallSets[0].InstallSize, 0u);
  for (const auto& f : d().DiskCheckFile) EXPECT_TRUE(f.empty());
  EXPECT_TRUE(d().ExecApp[0].empty());
  EXPECT_EQ(d().SelectSetupMessage.view(), SELECT_MESSAGE);
  EXPECT_EQ(d().UseCompanyNameForShortcutGroup, 0);
  EXPECT_EQ(d().ChooseSaveDataFolder, 0);
  EXPECT_EQ(d().SaveDataFolderNameInInstall.view(), "savedata");
  EXPECT_EQ(d().SaveDataFolderName.view(), "Dir");
  EXPECT_EQ(d().CancelSaveData, 0);
  EXPECT_EQ(d().InstallAfterAdd, 0);
  EXPECT_EQ(d().UninstTitle.view(), "Title");
}

struct FailureRow {
  const char* name;
  std::vector<Edit> edits;
  upd::FaultKind kind;  // the run shows no box for a missing key of SETUP.INI
  std::string message;  // the fault's box, captioned "INSTCMMN"
};

TEST_F(SetupDescriptionTest, FailureTable) {
  const std::string full = Fixture("setup_full.ini");
  const auto missing = [](const char* key) { return std::string("SETUP.INI : ") + key + " " MISSING; };
  const auto list_error = [](const char* key) { return std::string("SETUP.INI : ") + key + " " ERROR_WORD; };
  constexpr upd::FaultKind kMissing = upd::FaultKind::kMissingKey;
  constexpr upd::FaultKind kBad = upd::FaultKind::kBadValue;
  std::vector<FailureRow> rows;
  for (const char* key : {"CompanyName", "GameTitle", "GameDir", "GameExe", "UninstExe", "SetupBmp",
                          "InstallSelects", "InstallTitle0", "InstallFiles0", "InstallTitle3",
                          "InstallFiles3", "Shortcuts", "Shortcut0", "Shortcut1"}) {
    rows.push_back({key, {Remove(key)}, kMissing, missing(key)});
  }
  rows.push_back({"GameExeEmpty", {Set("GameExe", "")}, kMissing, missing("GameExe")});
  rows.push_back({"SetupBmpFirstItemEmpty", {Set("SetupBmp", " ,A.BMP")}, kBad, "SETUP.INI : SetupBmps " ERROR_WORD});
  rows.push_back({"InstallSelectsFive", {Set("InstallSelects", "5")}, kBad, "SETUP.INI : InstallSelect " OVER_WORD});
  rows.push_back({"InstallFilesFirstEmpty", {Set("InstallFiles2", ",A.PAK")}, kBad, list_error("InstallFiles2")});
  rows.push_back({"InstallFilesFirstTooLong", {Set("InstallFiles0", std::string(260, 'L'))}, kBad,
                  list_error("InstallFiles0")});
  // An item too long for a slot is a list error in any position, not a silent end of the list.
  const std::string l300(300, 'L');
  rows.push_back({"InstallFilesLaterTooLong", {Set("InstallFiles0", "A.PAK," + l300 + ",C.PAK")}, kBad,
                  list_error("InstallFiles0")});
  rows.push_back({"InstallFilesLastTooLong", {Set("InstallFiles3", "1:A.PAK,B.PAK,2:" + std::string(260, 'L'))}, kBad,
                  list_error("InstallFiles3")});
  rows.push_back({"SetupBmpLaterTooLong", {Set("SetupBmp", "A.BMP,B.BMP," + l300)}, kBad,
                  "SETUP.INI : SetupBmps " ERROR_WORD});
  rows.push_back({"InstallAddFilesLaterTooLong", {Set("InstallAddFiles", "ADD1.PAK," + l300)}, kBad,
                  "SETUP.INI : InstallAddFiles " ERROR_WORD});
  rows.push_back({"ShortcutsEleven", {Set("Shortcuts", "11")}, kBad, "SETUP.INI : Shortcuts " OVER_WORD});
  rows.push_back({"ShortcutOneField", {Set("Shortcut1", "GAME.EXE")}, kBad, list_error("Shortcut1")});
  rows.push_back({"ShortcutEmptyFirstField", {Set("Shortcut0", ",Caption")}, kBad, list_error("Shortcut0")});
  rows.push_back({"ShortcutEmptySecondField", {Set("Shortcut0", "A,,C")}, kBad, list_error("Shortcut0")});
  rows.push_back({"ExecAppOneItem", {Set("ExecApp", "SETUP.EXE")}, kBad, list_error("ExecApp")});
  rows.push_back({"ExecAppEmptySecondItem", {Set("ExecApp", "SETUP.EXE,")}, kBad, list_error("ExecApp")});
  // The add-on set asked for without its list is a bad value, which the run shows, though its
  // text names the key.
  rows.push_back({"InstallAddFilesMissing", {Remove("InstallAddFiles")}, kBad, missing("InstallAddFiles")});
  rows.push_back({"InstallAddFilesEmpty", {Set("InstallAddFiles", "")}, kBad, missing("InstallAddFiles")});
  rows.push_back({"InstallAddFilesFirstEmpty", {Set("InstallAddFiles", "  ,A.PAK")}, kBad,
                  "SETUP.INI : InstallAddFiles " ERROR_WORD});
  // Only the first failure in reading order is reported.
  rows.push_back({"FirstFailureOnly", {Remove("UninstExe"), Set("InstallSelects", "9")}, kMissing,
                  missing("UninstExe")});
  rows.push_back({"OverBeforeShortcuts", {Set("InstallSelects", "9"), Set("Shortcuts", "99")}, kBad,
                  "SETUP.INI : InstallSelect " OVER_WORD});

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Parse(Apply(full, row.edits)), 0);
    EXPECT_EQ(Boxes(), (std::vector<RecordedBox>{{"INSTCMMN", row.message}}));
    ASSERT_TRUE(read_.fault);
    EXPECT_EQ(read_.fault->kind, row.kind);
  }
}

TEST_F(SetupDescriptionTest, Counts) {
  const std::string minimal = Fixture("setup_minimal.ini");
  struct Row {
    const char* name;
    std::vector<Edit> edits;
    std::int32_t install_selects;
    std::int32_t shortcuts;
  };
  std::vector<Edit> four = {Set("InstallSelects", "4")};
  std::vector<Edit> ten = {Set("Shortcuts", "10")};
  for (int i = 0; i < 4; ++i) {
    four.push_back(Set("InstallTitle" + std::to_string(i), "T"));
    four.push_back(Set("InstallFiles" + std::to_string(i), "F.PAK"));
  }
  for (int i = 0; i < 10; ++i) ten.push_back(Set("Shortcut" + std::to_string(i), "A,B"));
  const Row rows[] = {
      {"FourSets", four, 4, 1},
      {"TenShortcuts", ten, 1, 10},
      {"ZeroSets", {Set("InstallSelects", "0"), Remove("InstallTitle0"), Set("InstallSize0", "5")}, 0, 1},
      {"NegativeSets", {Set("InstallSelects", "-1"), Remove("InstallFiles0"), Set("InstallSize0", "5")}, -1, 1},
      {"NonNumericSets", {Set("InstallSelects", "abc"), Remove("InstallTitle0")}, 0, 1},
      {"LeadingDigitsSets", {Set("InstallSelects", "1x")}, 1, 1},
      {"ZeroShortcuts", {Set("Shortcuts", "0"), Remove("Shortcut0")}, 1, 0},
      {"NegativeShortcuts", {Set("Shortcuts", "-7"), Set("Shortcut0", "only")}, 1, -7},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(Parse(Apply(minimal, row.edits)), 1);
    EXPECT_EQ(d().InstallSelects, row.install_selects);
    EXPECT_EQ(d().Shortcuts, row.shortcuts);
    if (row.install_selects <= 0) {
      EXPECT_EQ(d().InstallSets[0].InstallSize, 0u) << "no InstallSize key is read without sets";
      EXPECT_TRUE(d().InstallSets[0].InstallFiles[0].empty());
    }
    if (row.shortcuts <= 0) {
      EXPECT_TRUE(d().ShortcutEntries[0].Fields[0].empty());
    }
  }
}

TEST_F(SetupDescriptionTest, ShortcutFields) {
  const std::string minimal = Fixture("setup_minimal.ini");
  struct Row {
    const char* value;
    std::vector<std::string> fields;
  };
  const Row rows[] = {
      {"A,B,,D", {"A", "B", "", "D"}},
      {"A,B,,,D", {"A", "B", "", "D"}},
      {"A,B, , ,D", {"A", "B", "", "D"}},
      {"A,B,C,D,E", {"A", "B", "C", "D"}},
      {"A,B", {"A", "B", "", ""}},
      {"A,B,", {"A", "B", "", ""}},
      {"A,B,C", {"A", "B", "C", ""}},
      {" A , B ,C ", {"A ", "B ", "C", ""}},  // the reader took the value's last blank
      {"1:A,B,2:C,D", {"A", "B", "C", "D"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    ASSERT_EQ(Parse(Apply(minimal, {Set("Shortcut0", row.value)})), 1);
    EXPECT_EQ(Items(d().ShortcutEntries[0].Fields), row.fields);
  }
}

TEST_F(SetupDescriptionTest, InstallListsAndDiscs) {
  const std::string minimal = Fixture("setup_minimal.ini");
  struct Row {
    const char* name;
    const char* files0;
    const char* files1;
    std::vector<std::string> items1;
    std::vector<std::int32_t> discs1;
    std::int32_t needs_cd1;
  };
  const Row rows[] = {
      {"PrefixCarriesOn", "A", "1:A.DAT,B.DAT,C.DAT", {"A.DAT", "B.DAT", "C.DAT"}, {1, 1, 1}, 1},
      {"LaterPrefix", "A", "A.DAT,2:B.DAT", {"A.DAT", "B.DAT"}, {0, 2}, 1},
      {"NoPrefix", "A", "A.DAT,B.DAT", {"A.DAT", "B.DAT"}, {0, 0}, 0},
      {"EachListStartsAtDiscZero", "5:A", "B.DAT", {"B.DAT"}, {0}, 0},
      {"ZeroPrefixIsNoDisc", "A", "0:A.DAT", {"A.DAT"}, {0}, 0},
      {"DriveLetterLosesTwoCharacters", "A", "C:\\GAME\\A.EXE", {"\\GAME\\A.EXE"}, {0}, 0},
      {"EmptyItemEndsTheList", "A", "A.DAT,,B.DAT", {"A.DAT"}, {0}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(Parse(Apply(minimal, {Set("InstallSelects", "2"), Set("InstallFiles0", row.files0),
                                    Set("InstallTitle1", "T1"), Set("InstallFiles1", row.files1)})), 1);
    const auto& set = d().InstallSets[1];
    for (std::size_t k = 0; k < row.items1.size(); ++k) {
      EXPECT_EQ(set.InstallFiles[k].view(), row.items1[k]) << k;
      EXPECT_EQ(set.InstallDiscs[k], row.discs1[k]) << k;
    }
    EXPECT_TRUE(set.InstallFiles[row.items1.size()].empty());
    EXPECT_EQ(set.NeedsCD, row.needs_cd1);
  }
}

TEST_F(SetupDescriptionTest, ListSlotLimits) {
  const std::string minimal = Fixture("setup_minimal.ini");
  const auto list = [](int n, const char* stem) {
    std::string v;
    for (int i = 0; i < n; ++i) v += (i ? "," : "") + std::string(stem) + std::to_string(i);
    return v;
  };
  struct Row {
    const char* name;
    int bmps;
    std::int32_t last;
  };
  for (const Row& row : {Row{"ThreeBitmaps", 3, 2}, Row{"TwentyBitmaps", 20, 19}, Row{"TwentyFiveBitmaps", 25, 19}}) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(Parse(Apply(minimal, {Set("SetupBmp", list(row.bmps, "B"))})), 1);
    EXPECT_EQ(d().SetupBmpLast, row.last);
    EXPECT_EQ(d().SetupBmp[static_cast<std::size_t>(row.last)].view(), "B" + std::to_string(row.last));
    if (row.last < 19) {
      EXPECT_TRUE(d().SetupBmp[static_cast<std::size_t>(row.last) + 1].empty());
    }
  }
  // 45 files: the list ends after the fortieth, the rest of the value is ignored.
  ASSERT_EQ(Parse(Apply(minimal, {Set("InstallFiles0", "3:" + list(45, "F"))})), 1);
  EXPECT_EQ(d().InstallSets[0].InstallFiles[39].view(), "F39");
  EXPECT_EQ(d().InstallSets[0].InstallDiscs[39], 3);
  // 259 bytes fill a slot in any position (one more is a list error, see FailureTable).
  const std::string l259(259, 'L');
  ASSERT_EQ(Parse(Apply(minimal, {Set("InstallFiles0", "A.PAK," + l259 + ",C.PAK"),
                                  Set("SetupBmp", "A.BMP,2:" + l259)})), 1);
  EXPECT_EQ(Items(d().InstallSets[0].InstallFiles)[1], l259);
  EXPECT_EQ(Items(d().InstallSets[0].InstallFiles)[2], "C.PAK");
  EXPECT_EQ(d().SetupBmp[1].view(), l259);
  EXPECT_EQ(d().SetupBmpLast, 1);
  // Items past the slots are never read, so their length does not matter.
  ASSERT_EQ(Parse(Apply(minimal, {Set("InstallFiles0", list(40, "F") + "," + std::string(300, 'L'))})), 1);
  EXPECT_EQ(d().InstallSets[0].InstallFiles[39].view(), "F39");
}

TEST_F(SetupDescriptionTest, EngineKind) {
  const std::string minimal = Fixture("setup_minimal.ini");
  struct Row {
    const char* game_class;  // nullptr: key missing (GameClass becomes the title)
    const char* title;
    std::int32_t kind;
  };
  const Row rows[] = {
      {"Orvelant", "T", 0},
      {"OrvelantWindow ver 3.14", "T", 0},
      {"TTVPWindowForm", "T", 1},
      {"TTVPWINDOWFORM", "T", 2},
      {"TTVPWindowForm2", "T", 2},
      {"orvelant", "T", 2},
      {"Orvelan", "T", 2},
      {"MyGameWindow", "T", 2},
      {nullptr, "TTVPWindowForm", 1},
      {nullptr, "Orvelant Story", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.game_class ? row.game_class : row.title);
    std::vector<Edit> edits = {Set("GameTitle", row.title)};
    if (row.game_class) edits.push_back(Set("GameClass", row.game_class));
    ASSERT_EQ(Parse(Apply(minimal, edits)), 1);
    EXPECT_EQ(d().EngineKind, row.kind);
    EXPECT_EQ(game().GameClass.view(), row.game_class ? row.game_class : row.title);
  }
}

TEST_F(SetupDescriptionTest, FlagsAndSizes) {
  const std::string minimal = Fixture("setup_minimal.ini");
  struct Row {
    const char* text;  // nullptr: key missing
    std::int32_t flag;
    std::uint64_t size;
  };
  const Row rows[] = {
      {nullptr, 0, 0},
      {"1", 1, 1},
      {"0", 0, 0},
      {"5", 1, 5},
      {"-1", 1, kMaxU64},
      {"abc", 0, 0},
      {"12abc", 1, 12},
      {"18446744073709551615", 1, kMaxU64},
      {"18446744073709551616", 1, kMaxU64},
      {"9999999999999999999", 1, 9999999999999999999u},
      // Twenty digits and more: every digit counts (see ReadSize).
      {"12345678901234567890", 1, 12345678901234567890u},
      {"99999999999999999999", 1, kMaxU64},
      // The flags take 19 characters, all of them zeros here; the size takes every digit.
      {"  +000000000000000000000000042", 0, 42},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text ? row.text : "(missing)");
    std::vector<Edit> edits;
    for (const char* key : {"UseCompanyNameForShortcutGroup", "ChooseSaveDataFolder", "CancelSaveData",
                            "InstallSize0"}) {
      edits.push_back(row.text ? Set(key, row.text) : Remove(key));
    }
    ASSERT_EQ(Parse(Apply(minimal, edits)), 1);
    EXPECT_EQ(d().UseCompanyNameForShortcutGroup, row.flag);
    EXPECT_EQ(d().ChooseSaveDataFolder, row.flag);
    EXPECT_EQ(d().CancelSaveData, row.flag);
    EXPECT_EQ(d().InstallSets[0].InstallSize, row.size);
  }
}

TEST_F(SetupDescriptionTest, AddOnSet) {
  const std::string full = Fixture("setup_full.ini");
  // With one set only, slot 3 has no title and takes just the add-on.
  ASSERT_EQ(Parse(Apply(full, {Set("InstallSelects", "1"), Set("InstallAddFiles", "X.PAK"),
                               Remove("InstallAddSize")})), 1);
  const auto& slot3 = d().InstallSets[3];
  EXPECT_TRUE(slot3.InstallTitle.empty());
  EXPECT_EQ(slot3.InstallFiles[0].view(), "X.PAK");
  EXPECT_TRUE(slot3.InstallFiles[1].empty());
  EXPECT_EQ(slot3.NeedsCD, 0);
  EXPECT_EQ(slot3.InstallSize, 0u);

  // Without InstallAfterAdd the fourth set keeps its own files, and no add-on key is needed.
  ASSERT_EQ(Parse(Apply(full, {Set("InstallAfterAdd", "0"), Remove("InstallAddFiles")})), 1);
  EXPECT_EQ(d().InstallSets[3].InstallFiles[2].view(), "OLD3.PAK");
  EXPECT_EQ(d().InstallSets[3].NeedsCD, 0);
  EXPECT_EQ(d().InstallSets[3].InstallSize, kMaxU64);
}

TEST_F(SetupDescriptionTest, OverLongValuesAreCut) {
  const std::string minimal = Fixture("setup_minimal.ini");
  ASSERT_EQ(Parse(Apply(minimal, {Set("GameTitle", std::string(300, 'T')),
                                  Set("SelectSetupMessage", std::string(1100, 'M'))})), 1);
  EXPECT_EQ(game().GameTitle.view(), std::string(259, 'T'));
  EXPECT_EQ(d().SelectSetupMessage.view(), std::string(1023, 'M'));
  EXPECT_EQ(d().UninstTitle.view(), std::string(259, 'T'));
}

}  // namespace
