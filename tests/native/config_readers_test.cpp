// ReadSetupValue, ReadUpdateValue and ReadSetupInt over files on disk: results, zero-filled
// destinations, the missing-key boxes and their captions, SilentMissingKeys.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "config/profile.h"
#include "config/text_format.h"
#include "error_box_recorder.h"
#include "run/state.h"
#include "temp_folder.h"

namespace {

using updtest::RecordedBox;
using updtest::TakeBoxes;

// キーが存在しません
#define UPD_MISSING_KEY "\x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1"

class Readers : public ::testing::Test {
 protected:
  void SetUp() override {
    upd::ResetRun();
    TakeBoxes();
    upd::Run().SetupIniPath = folder_.Write("SETUP.INI",
        "[SETUP]\r\n"
        "GameTitle=\x83\x65\x83\x58\x83\x67\r\n"  // テスト
        "GameExe=\r\n"
        "Count=12abc\r\n"
        "Word=abc\r\n"
        "Negative=  -42\r\n"
        "Huge=99999999999\r\n"
        "Tiny=-99999999999\r\n"
        "Long=0123456789012345678901234567890\r\n"
        "Quoted=\" 7\"\r\n");
    upd::Run().UpdateIniText = "[SETUP]\r\nCompanyName=Co\r\n[UPDATE]\r\nUpdateFile00=A.DAT\r\n";
  }
  void TearDown() override { upd::ResetRun(); }

  updtest::TempFolder folder_;
};

TEST_F(Readers, SetupValuePresent) {
  upd::NameString title;
  std::memset(title.data(), 'x', title.capacity());
  EXPECT_EQ(upd::ReadSetupValue("GameTitle", title), 1);
  EXPECT_EQ(title.view(), "\x83\x65\x83\x58\x83\x67");
  EXPECT_EQ(title.bytes, [] {
    upd::NameString want;
    want.assign("\x83\x65\x83\x58\x83\x67");
    return want;
  }().bytes) << "every byte after the value is zero";
  EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Readers, SetupValueEmptyOrMissingShowsTheBox) {
  for (const char* key : {"GameExe", "UninstExe"}) {
    SCOPED_TRACE(key);
    upd::NameString value;
    value.assign("stale");
    EXPECT_EQ(upd::ReadSetupValue(key, value), 0);
    EXPECT_EQ(value.bytes, upd::NameString{}.bytes);
    const std::vector<RecordedBox> want = {
        {"INSTCMMN", std::string("SETUP.INI : ") + key + " " UPD_MISSING_KEY}};
    EXPECT_EQ(TakeBoxes(), want);
  }
}

TEST_F(Readers, SilentMissingKeysShowsNoBox) {
  upd::Run().SilentMissingKeys = 1;
  upd::NameString value;
  EXPECT_EQ(upd::ReadSetupValue("GameExe", value), 0);
  EXPECT_EQ(upd::ReadUpdateValue("SETUP", "GameDir", value), 0);
  EXPECT_TRUE(TakeBoxes().empty());
  EXPECT_EQ(upd::ReadSetupValue("GameTitle", value), 1);
}

TEST_F(Readers, MissingFileReadsAsMissingKey) {
  upd::Run().SetupIniPath = folder_.path() / "NONE.INI";
  upd::NameString value;
  EXPECT_EQ(upd::ReadSetupValue("GameTitle", value), 0);
  EXPECT_EQ(TakeBoxes().size(), 1u);
}

TEST_F(Readers, SetupValueCutToCapacity) {
  char small[8];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(upd::ReadSetupValue("Long", small), 1);
  EXPECT_EQ(std::string(small, 8), std::string("0123456\0", 8));
  EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Readers, UpdateValueAnySection) {
  upd::NameString value;
  EXPECT_EQ(upd::ReadUpdateValue("UPDATE", "UpdateFile00", value), 1);
  EXPECT_EQ(value.view(), "A.DAT");
  EXPECT_EQ(upd::ReadUpdateValue("setup", "companyname", value), 1);
  EXPECT_EQ(value.view(), "Co");
  EXPECT_TRUE(TakeBoxes().empty());
}

// A value of exactly capacity - 1 bytes and a longer one give the same count; only the cut
// flag tells them apart, which the update's lists need to refuse a cut path.
TEST_F(Readers, UpdateValueTellsWhetherItWasCut) {
  upd::Run().UpdateIniText = std::string(
      "[UPDATE]\r\nFits=abcdefg\r\nLonger=abcdefgh\r\nSplit=abcdef\x95\x5c\r\nShort=ab\r\n");
  struct Row {
    const char* key;
    int result;
    std::string value;
    bool cut;
  };
  const Row rows[] = {
      {"Fits", 1, "abcdefg", false},
      {"Longer", 1, "abcdefg", true},
      {"Split", 1, "abcdef", true},  // not inside the double-byte character
      {"Short", 1, "ab", false},
      {"Missing", 0, "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    char value[8];
    bool cut = !row.cut;
    EXPECT_EQ(upd::ReadUpdateValue("UPDATE", row.key, value, cut), row.result);
    EXPECT_EQ(std::string(value), row.value);
    EXPECT_EQ(cut, row.cut);
  }
  TakeBoxes();  // the missing key's box is the other tests' matter
}

TEST_F(Readers, UpdateValueMissingNamesSectionThenKey) {
  upd::NameString value;
  EXPECT_EQ(upd::ReadUpdateValue("SETUP", "GameDir", value), 0);
  EXPECT_EQ(upd::ReadUpdateValue("UPDATE", "CompanyName", value), 0);  // other section's key
  const std::vector<RecordedBox> want = {
      {"INSTCMMN", "SETUP : GameDir " UPD_MISSING_KEY},
      {"INSTCMMN", "UPDATE : CompanyName " UPD_MISSING_KEY}};
  EXPECT_EQ(TakeBoxes(), want);
}

TEST_F(Readers, SetupIntRows) {
  struct Row {
    const char* key;
    std::int32_t value;
  };
  const Row rows[] = {
      {"Count", 12},  // leading digits
      {"Word", 0},    // no number reads as 0 with the result 1
      {"Negative", -42},
      {"Huge", std::numeric_limits<std::int32_t>::max()},
      {"Tiny", std::numeric_limits<std::int32_t>::min()},
      {"Long", std::numeric_limits<std::int32_t>::max()},  // 19 characters taken, still too big
      {"Quoted", 7},  // the quotes keep the blank; the number skips it
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    std::int32_t v = -1234;
    EXPECT_EQ(upd::ReadSetupInt(r.key, v), 1);
    EXPECT_EQ(v, r.value);
  }
  EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(Readers, SetupIntMissingLeavesTheDestination) {
  std::int32_t v = 55;
  EXPECT_EQ(upd::ReadSetupInt("GameExe", v), 0);
  EXPECT_EQ(v, 55);
  EXPECT_EQ(TakeBoxes(), (std::vector<RecordedBox>{
                             {"INSTCMMN", "SETUP.INI : GameExe " UPD_MISSING_KEY}}));
  upd::Run().SilentMissingKeys = 1;
  EXPECT_EQ(upd::ReadSetupInt("Absent", v), 0);
  EXPECT_EQ(v, 55);
  EXPECT_TRUE(TakeBoxes().empty());
}

TEST(DecimalText, StrtolAndStrtoullRows) {
  struct Row {
    const char* text;
    std::int32_t as32;
    std::uint64_t as64;
  };
  constexpr auto kMax32 = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin32 = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();
  const Row rows[] = {
      {"0", 0, 0},
      {"12abc", 12, 12},
      {"abc", 0, 0},
      {"", 0, 0},
      {" \t\n\v\f\r+5", 5, 5},
      {"-", 0, 0},
      {"+-3", 0, 0},
      {"- 3", 0, 0},
      {"0x1F", 0, 0},
      {"2147483647", kMax32, 2147483647u},
      {"2147483648", kMax32, 2147483648u},
      {"-2147483648", kMin32, 0xFFFFFFFF80000000u},
      {"-2147483649", kMin32, 0xFFFFFFFF7FFFFFFFu},
      {"-1", -1, kMax64},
      {"18446744073709551615", kMax32, kMax64},
      {"18446744073709551616", kMax32, kMax64},
      {"99999999999999999999999", kMax32, kMax64},
      {"-99999999999999999999999", kMin32, kMax64},
      {"0000000000000000000000042", 42, 42},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(upd::ParseDecimal32(r.text), r.as32);
    EXPECT_EQ(upd::ParseDecimalU64(r.text), r.as64);
  }
}

TEST(FormatText, Conversions) {
  struct Row {
    const char* name;
    upd::LongString got;
    std::string want;
  };
  const Row rows[] = {
      {"Strings", upd::FormatText("%s : %s!", {"A", "B"}), "A : B!"},
      {"DoubleByteText", upd::FormatText("\x81\x75%s\x81\x76", {"\x95\x5c"}), "\x81\x75\x95\x5c\x81\x76"},
      {"ZeroPadded", upd::FormatText("UpdateFile%02i", {std::int32_t{7}}), "UpdateFile07"},
      {"Wide", upd::FormatText("DiskCheckFile%i", {std::int32_t{12}}), "DiskCheckFile12"},
      {"Negative", upd::FormatText("%d|%05d|%5d|%-4d|", {-12, -12, -12, 3}), "-12|-0012|  -12|3   |"},
      {"Unsigned", upd::FormatText("%u %x %X", {std::int32_t{-1}, 255u, 255u}), "4294967295 ff FF"},
      {"Percent", upd::FormatText("100%%", {}), "100%"},
      {"Precision", upd::FormatText("[%.2s][%4s][%-4s]", {"abc", "ab", "ab"}), "[ab][  ab][ab  ]"},
      {"MissingArgument", upd::FormatText("a%sb%ic", {}), "abc"},
      // The titles the updater shows come in as arguments: a '%' in one is no conversion.
      {"ArgumentAsItStands", upd::FormatText("[%s] %s", {"T%s%d%n", "100%"}), "[T%s%d%n] 100%"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.got.view(), r.want);
  }
}

TEST(FormatText, CutAt1023BytesWithoutSplittingACharacter) {
  const std::string ascii(1030, 'a');
  EXPECT_EQ(upd::FormatText("%s", {ascii}).view(), std::string(1023, 'a'));
  // 'b' then double-byte characters: byte 1023 would be the first half of one.
  std::string dbcs = "b";
  for (int i = 0; i < 600; ++i) dbcs += "\x95\x5c";
  const upd::LongString cut = upd::FormatText("%s", {dbcs});
  EXPECT_EQ(cut.view().size(), 1023u);
  EXPECT_EQ(cut.view(), dbcs.substr(0, 1023));
  const upd::LongString cut2 = upd::FormatText("x%s", {dbcs});
  EXPECT_EQ(cut2.view().size(), 1022u);
  EXPECT_EQ(cut2.view(), ("x" + dbcs).substr(0, 1022));
}

}  // namespace
