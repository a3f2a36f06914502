// The [UPDATE] section of UPDATE.INI: one UpdateFile or CopyFile value at a time (filters,
// modes, discs, file-name offsets, values the updater cannot use), then both lists read from
// a fixture and edits of it, and the two numbers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/state.h"
#include "config/update_section.h"
#include "error_box_recorder.h"
#include "ini_edit.h"
#include "run/plan.h"
#include "temp_folder.h"

namespace {

using updtest::Apply;
using updtest::Edit;
using updtest::Remove;
using updtest::Set;
using upd::UpdateMode;
using upd::UpdateValueFault;

// 表: its second byte is 0x5C, the byte of '\'.
#define HYO "\x95\x5c"

std::string Fixture(const char* name) {
  std::ifstream in(std::string(UPD_FIXTURES) + "/ini/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct UpdateFileCase {
  const char* name;
  std::string value;
  std::int32_t inst_mode;
  bool applies;
  UpdateValueFault fault;
  UpdateMode mode = UpdateMode::kNone;
  std::string path{};
  std::int32_t name_offset = 0;
  std::int32_t filter = -1;
  bool ignored_items = false;
  bool cut = false;  // the read cut the value
};

TEST(UpdateFileValue, Table) {
  constexpr auto kOk = UpdateValueFault::kNone;
  const std::string l259(259, 'L');
  const std::string l260(260, 'L');
  const UpdateFileCase cases[] = {
      // Modes, in any case; without one the item is the path.
      {"ModeUpperCase", "U,a.dat", 0, true, kOk, UpdateMode::kNewer, "a.dat"},
      {"PathOnly", "a.dat", 0, true, kOk, UpdateMode::kNone, "a.dat"},
      {"ModeD", "d,a.dat", 0, true, kOk, UpdateMode::kData, "a.dat"},
      {"ModeO", "O,a.dat", 0, true, kOk, UpdateMode::kOverwrite, "a.dat"},
      {"NoModeFirstItemIsPath", "x,a.dat", 0, true, kOk, UpdateMode::kNone, "x"},
      {"TwoLetterItemIsNoMode", "uu,a.dat", 0, true, kOk, UpdateMode::kNone, "uu"},
      {"ModeWithoutPath", "u", 0, true, kOk, UpdateMode::kNewer, ""},
      // Filters: exactly one digit.
      {"FilterMatches", "1,u,a.dat", 1, true, kOk, UpdateMode::kNewer, "a.dat", 0, 1},
      {"FilterExcludes", "1,u,a.dat", 2, false, kOk, UpdateMode::kNone, "", 0, 1},
      {"FilterZero", "0,a.dat", 0, true, kOk, UpdateMode::kNone, "a.dat", 0, 0},
      {"TwoDigitsAreNoFilter", "12,a.dat", 1, true, kOk, UpdateMode::kNone, "12"},
      {"DigitWithBlankIsNoFilter", "1 ,a.dat", 2, true, kOk, UpdateMode::kNone, "1 "},
      {"BlanksBeforeItemsSkipped", "1, u, a.dat", 1, true, kOk, UpdateMode::kNewer, "a.dat", 0, 1},
      {"FilterOnly", "3", 3, true, kOk, UpdateMode::kNone, "", 0, 3},
      // The third item is the last one read.
      {"ThirdItemWithoutFilterUnused", "u,a.dat,b.dat", 0, true, kOk, UpdateMode::kNewer, "a.dat"},
      {"ItemsAfterTheThirdIgnored", "1,o,a.dat,b.dat,c.dat", 1, true, kOk, UpdateMode::kOverwrite, "a.dat", 0, 1,
       true},
      {"EmptyItemEndsTheList", "u,,a.dat", 0, true, kOk, UpdateMode::kNewer, ""},
      // A disc prefix is taken off and means nothing here.
      {"PrefixTakenOff", "u,C:\\sub\\a.dat", 0, true, kOk, UpdateMode::kNewer, "\\sub\\a.dat", 5},
      // The file-name part, found in code page 932.
      {"Subfolder", "u,sub\\a.dat", 0, true, kOk, UpdateMode::kNewer, "sub\\a.dat", 4},
      {"TwoFolders", "x\\y\\a.dat", 0, true, kOk, UpdateMode::kNone, "x\\y\\a.dat", 4},
      {"SlashIsNoSeparator", "x/y/a.dat", 0, true, kOk, UpdateMode::kNone, "x/y/a.dat", 0},
      {"TrailByte5CIsNoSeparator", "d," HYO ".dat", 0, true, kOk, UpdateMode::kData, HYO ".dat", 0},
      {"SeparatorAfterTrailByte5C", HYO "\\" HYO ".dat", 0, true, kOk, UpdateMode::kNone, HYO "\\" HYO ".dat", 3},
      {"NameEndsInTrailByte5C", "sub\\" HYO, 0, true, kOk, UpdateMode::kNone, "sub\\" HYO, 4},
      {"TrailingSeparator", "sub\\", 0, true, kOk, UpdateMode::kNone, "sub\\", 4},
      // Length: 259 bytes fit an item; longer ones are refused in whatever position.
      {"LongestPath", "u," + l259, 0, true, kOk, UpdateMode::kNewer, l259},
      {"LongestPathAfterPrefix", "u,1:" + l259, 0, true, kOk, UpdateMode::kNewer, l259},
      {"PathTooLong", "u," + l260, 0, true, UpdateValueFault::kItemTooLong},
      {"ThirdItemTooLong", "1,u," + l260, 1, true, UpdateValueFault::kItemTooLong, UpdateMode::kNone, "", 0, 1},
      {"FirstItemTooLongCountsAsApplying", l260 + ",a.dat", 5, true, UpdateValueFault::kItemTooLong},
      {"TooLongButFilteredOut", "1,u," + l260, 2, false, UpdateValueFault::kItemTooLong, UpdateMode::kNone, "", 0,
       1},
      {"FourthItemTooLongIsNeverRead", "1,u,a.dat," + l260, 1, true, kOk, UpdateMode::kNewer, "a.dat", 0, 1, true},
      // Values over 1023 bytes: cut where the read cuts them.
      {"CutInsidePath", "u," + std::string(1018, ' ') + "abcde.dat", 0, true, UpdateValueFault::kValueCut},
      {"CutBeforePath", "u," + std::string(1100, ' ') + "a.dat", 0, true, UpdateValueFault::kValueCut},
      {"CutAfterTheItemsUsed", "1,u,a.dat," + std::string(1100, 'x'), 1, true, kOk, UpdateMode::kNewer, "a.dat", 0,
       1, true},
      {"ReadCutTheValue", "u,a.dat", 0, true, UpdateValueFault::kValueCut, UpdateMode::kNone, "", 0, -1, false,
       true},
      {"ReadCutAfterItemEnd", "u,a.dat,,", 0, true, kOk, UpdateMode::kNewer, "a.dat", 0, -1, false, true},
      // The value is a C string.
      {"NulEndsTheValue", std::string("u,a.dat\0,b", 10), 0, true, kOk, UpdateMode::kNewer, "a.dat"},
  };
  // An entry with a fault or filtered out carries no item.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const upd::UpdateFileEntry e = upd::ParseUpdateFileValue(c.value, c.inst_mode, c.cut);
    EXPECT_EQ(e.applies, c.applies);
    EXPECT_EQ(e.fault, c.fault);
    EXPECT_EQ(e.filter, c.filter);
    EXPECT_EQ(e.ignored_items, c.ignored_items);
    EXPECT_EQ(e.item.Mode, c.mode);
    EXPECT_EQ(e.item.Path.view(), c.path);
    EXPECT_EQ(e.item.NameOffset, c.name_offset);
  }
}

struct CopyFileCase {
  const char* name;
  std::string value;
  std::int32_t inst_mode;
  bool applies;
  UpdateValueFault fault;
  std::int32_t disc = 0;
  std::string path{};
  bool cut = false;
};

TEST(CopyFileValue, Table) {
  constexpr auto kOk = UpdateValueFault::kNone;
  const std::string m259(259, 'M');
  const CopyFileCase cases[] = {
      {"Disc", "2:movie", 0, true, kOk, 2, "movie"},
      {"FilterAndDiscMatch", "1,2:movie", 1, true, kOk, 2, "movie"},
      {"FilterAndDiscExclude", "1,2:movie", 2, false, kOk},
      {"NoPrefix", "movie", 0, true, kOk, 0, "movie"},
      {"DiscZeroAsksForNoDisc", "0:movie", 0, true, kOk, 0, "movie"},
      {"FilterOnly", "3,movie", 3, true, kOk, 0, "movie"},
      // Taken as it is: blanks stay, commas after the filter are part of the path.
      {"BlanksKept", " movie ", 0, true, kOk, 0, " movie "},
      {"CommasInPath", "1,a,b", 1, true, kOk, 0, "a,b"},
      {"WildcardAndFolders", "9:data\\*.*", 0, true, kOk, 9, "data\\*.*"},
      // Any character is a filter; one that is no digit meets its code minus '0' only.
      {"LetterFilterExcludes", "a,movie", 1, false, kOk},
      {"LetterFilterMatchesItsCode", "a,movie", 'a' - '0', true, kOk, 0, "movie"},
      {"DiscPrefixOnly", "3:", 0, true, kOk, 3, ""},
      // What the updater cannot use.
      {"DiscNotDigit", "A:movie", 0, true, UpdateValueFault::kDiscNotDigit},
      {"DiscNotDigitFilteredOut", "1,x:movie", 2, false, UpdateValueFault::kDiscNotDigit},
      {"LongestValue", m259, 0, true, kOk, 0, m259},
      {"ValueTooLong", m259 + "M", 0, true, UpdateValueFault::kPathTooLong},
      {"ReadCutTheValue", "movie", 0, true, UpdateValueFault::kPathTooLong, 0, "", true},
      {"TooLongButFilteredOut", "1,2:" + m259, 0, false, UpdateValueFault::kPathTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const upd::CopyFileEntry e = upd::ParseCopyFileValue(c.value, c.inst_mode, c.cut);
    EXPECT_EQ(e.applies, c.applies);
    EXPECT_EQ(e.fault, c.fault);
    EXPECT_EQ(e.item.Disc, c.disc);
    EXPECT_EQ(e.item.Path.view(), c.path);
  }
}

struct Expected {
  UpdateMode mode;
  std::string path{};
  std::int32_t name_offset;
};

struct CopyExpected {
  std::int32_t disc;
  std::string path{};
};

// The UpdateFile items the run carries out, in order.
std::vector<upd::UpdateItem> RunItems(const upd::RunPlan& plan) {
  std::vector<upd::UpdateItem> items;
  if (plan.refused_value) return items;
  for (const upd::PlannedItem& item : plan.items) {
    if (item.Applies()) items.push_back(item.item);
  }
  return items;
}

std::vector<upd::CopyItem> RunCopies(const upd::RunPlan& plan) {
  std::vector<upd::CopyItem> copies;
  if (plan.refused_value) return copies;
  for (const upd::PlannedCopy& copy : plan.copies) {
    if (copy.applies) copies.push_back(copy.item);
  }
  return copies;
}

struct ListsCase {
  const char* name;
  std::vector<Edit> edits;
  std::int32_t inst_mode;
  bool ok;
  std::vector<Expected> updates;
  std::vector<CopyExpected> copies;
};

class UpdateSection : public ::testing::Test {
 protected:
  void SetUp() override { updtest::TakeBoxes(); }

  void Use(const std::string& ini) { ini_ = ini; }
  std::string ini_;
};

TEST_F(UpdateSection, Lists) {
  const std::string base = Fixture("update_lists.ini");
  const Expected a{UpdateMode::kNewer, "a.dat", 0};
  const Expected save{UpdateMode::kData, "save\\" HYO ".dat", 5};
  const Expected b{UpdateMode::kOverwrite, "b.dat", 0};
  const Expected c{UpdateMode::kNone, "data\\c.dat", 5};
  const CopyExpected movie{2, "movie"};
  const CopyExpected bonus{3, "bonus\\*.*"};
  const CopyExpected manual{0, "manual.pdf"};

  std::vector<Edit> sixteen;
  std::vector<Expected> sixteen_items;
  for (int i = 0; i < 17; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "UpdateFile%02d", i);
    sixteen.push_back(Set(key, "f" + std::to_string(i)));
    if (i < 16) sixteen_items.push_back({UpdateMode::kNone, "f" + std::to_string(i), 0});
  }
  const std::string l300(300, 'L');

  const std::vector<ListsCase> cases = {
      {"InstModeOne", {}, 1, true, {a, save, c}, {movie, bonus}},
      {"InstModeTwo", {}, 2, true, {a, b, c}, {movie, manual}},
      {"InstModeZero", {}, 0, true, {a, c}, {movie}},
      // A list ends at its first missing or empty key; keys after a gap are never read.
      {"GapAtUpdateFile00", {Remove("UpdateFile00")}, 1, true, {}, {movie, bonus}},
      {"GapAtCopyFile00", {Remove("CopyFile00")}, 1, true, {a, save, c}, {}},
      {"EmptyKeyEndsTheList", {Set("UpdateFile02", "")}, 2, true, {a}, {movie, manual}},
      {"GapInTheMiddle", {Remove("CopyFile01")}, 2, true, {a, b, c}, {movie}},
      // Filtered-out entries take no slot and do not end their lists.
      {"FilteredOutFirstEntries", {Set("UpdateFile00", "3,a.dat"), Set("CopyFile00", "3,2:movie")}, 2, true,
       {b, c}, {manual}},
      {"EveryEntryFilteredOut",
       {Set("UpdateFile00", "5,a"), Set("UpdateFile01", "5,b"), Remove("UpdateFile02"), Set("CopyFile00", "5,c"),
        Remove("CopyFile01")},
       2, true, {}, {}},
      {"SixteenKeysAtMost", sixteen, 0, true, sixteen_items, {movie}},
      // A value the updater cannot use whole refuses both lists, wherever it stands.
      {"OverLongItemAfterTheFirst", {Set("UpdateFile03", "data\\c.dat," + l300)}, 1, false, {}, {}},
      {"OverLongPathInLaterKey", {Set("UpdateFile03", "u," + l300)}, 1, false, {}, {}},
      {"OverLongItemFilteredOut", {Set("UpdateFile03", "1,u," + l300)}, 2, true, {a, b}, {movie, manual}},
      {"LongestCopyFile", {Set("CopyFile02", "2," + std::string(257, 'm'))}, 2, true, {a, b, c},
       {movie, {0, std::string(257, 'm')}}},
      {"OverLongCopyFile", {Set("CopyFile02", "2," + std::string(258, 'm'))}, 2, false, {}, {}},
      {"OverLongCopyFileFilteredOut", {Set("CopyFile02", "2," + l300)}, 1, true, {a, save, c}, {movie, bonus}},
      {"CopyDiscNotDigit", {Set("CopyFile01", "x:extra")}, 1, false, {}, {}},
      {"UpdateFileCutAt1023", {Set("UpdateFile01", "d," + std::string(1100, ' ') + "save.dat")}, 1, false, {}, {}},
      // A comment or a quoted value reads as the profile reader gives it.
      {"QuotedValue", {Set("UpdateFile03", "\" o,q.dat \"")}, 2, true,
       {a, b, {UpdateMode::kOverwrite, "q.dat ", 0}}, {movie, manual}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    Use(Apply(base, row.edits));
    const upd::RunPlan plan = upd::PlanRun(ini_, row.inst_mode);
    EXPECT_EQ(!plan.refused_value, row.ok);
    // What the run carries out: the entries that apply, none of a refused plan.
    const auto run = RunItems(plan);
    const auto copies = RunCopies(plan);
    ASSERT_EQ(run.size(), row.updates.size());
    ASSERT_EQ(copies.size(), row.copies.size());
    for (std::size_t i = 0; i < row.updates.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(run[i].Mode, row.updates[i].mode);
      EXPECT_EQ(run[i].Path.view(), row.updates[i].path);
      EXPECT_EQ(run[i].NameOffset, row.updates[i].name_offset);
    }
    for (std::size_t i = 0; i < row.copies.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(copies[i].Disc, row.copies[i].disc);
      EXPECT_EQ(copies[i].Path.view(), row.copies[i].path);
    }
    if (!row.ok) {
      EXPECT_EQ(plan.stop, upd::PlanStop::kRefusedValue) << "a refused value stops the run before it writes";
    }
    EXPECT_TRUE(updtest::TakeBoxes().empty());
  }
}

TEST_F(UpdateSection, MissingKeysAreNeverReported) {
  Use("[SETUP]\r\nGameDir=X\r\n");
  const upd::RunPlan plan = upd::PlanRun(ini_, 1);
  EXPECT_FALSE(plan.refused_value);
  EXPECT_TRUE(plan.items.empty());
  EXPECT_TRUE(plan.copies.empty());
  EXPECT_EQ(plan.stop, upd::PlanStop::kNothingApplies);
  EXPECT_EQ(upd::ReadRequiredDiskSpace(ini_), 0u);
  EXPECT_FALSE(upd::ReadOverwriteOnly(ini_));
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}

TEST_F(UpdateSection, Numbers) {
  struct Row {
    const char* text;  // nullptr: the key is missing
    std::uint32_t required;
    bool overwrite_only;
  };
  const Row rows[] = {
      {nullptr, 0, false},
      {"1048576", 1048576, true},
      {"0", 0, false},
      {"abc", 0, false},
      {"  +12kb", 12, true},
      {"-1", 0xFFFFFFFFu, true},
      {"4294967295", 0x7FFFFFFFu, true},  // saturates at the signed limit first
      {"-99999999999", 0x80000000u, true},
      {"0x10", 0, false},
      {"\"7\"", 7, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text ? row.text : "(missing)");
    std::string ini = "[UPDATE]\r\n";
    if (row.text) {
      ini += std::string("RequiredDiskSpace=") + row.text + "\r\nOverwriteOnly=" + row.text + "\r\n";
    }
    Use(ini);
    EXPECT_EQ(upd::ReadRequiredDiskSpace(ini_), row.required);
    EXPECT_EQ(upd::ReadOverwriteOnly(ini_), row.overwrite_only);
  }
}

}  // namespace
