// ReadSetupValue, ReadUpdateValue and ReadSetupInt over the files' bytes: results, zero-filled
// destinations, the missing-key faults and their captions; the readers show no box themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "config/text_format.h"
#include "config/update_description.h"
#include "error_box_recorder.h"

namespace {

using updtest::RecordedBox;
using updtest::TakeBoxes;

// キーが存在しません
#define UPD_MISSING_KEY "\x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1"

constexpr std::string_view kSetupIni =
    "[SETUP]\r\n"
    "GameTitle=\x83\x65\x83\x58\x83\x67\r\n"  // テスト
    "GameExe=\r\n"
    "Count=12abc\r\n"
    "Word=abc\r\n"
    "Negative=  -42\r\n"
    "Huge=99999999999\r\n"
    "Tiny=-99999999999\r\n"
    "Long=0123456789012345678901234567890\r\n"
    "Quoted=\" 7\"\r\n";
constexpr std::string_view kUpdateIni = "[SETUP]\r\nCompanyName=Co\r\n[UPDATE]\r\nUpdateFile00=A.DAT\r\n";

// The box a read gives the updater to show: none when the key was found.
std::vector<RecordedBox> Boxes(const upd::KeyRead& read) {
  if (!read.missing) return {};
  EXPECT_EQ(read.missing->kind, upd::FaultKind::kMissingKey);
  return {{std::string(read.missing->caption), std::string(read.missing->text.view())}};
}

class Readers : public ::testing::Test {
 protected:
  void SetUp() override { TakeBoxes(); }
  // Whatever a read gives, it shows nothing itself.
  void TearDown() override { EXPECT_TRUE(TakeBoxes().empty()); }
};

TEST_F(Readers, SetupValuePresent) {
  upd::NameString title;
  std::memset(title.data(), 'x', title.capacity());
  const upd::KeyRead read = upd::ReadSetupValue(kSetupIni, "GameTitle", title);
  EXPECT_TRUE(read.found());
  EXPECT_EQ(title.view(), "\x83\x65\x83\x58\x83\x67");
  EXPECT_EQ(title.bytes, [] {
    upd::NameString want;
    want.assign("\x83\x65\x83\x58\x83\x67");
    return want;
  }().bytes) << "every byte after the value is zero";
  EXPECT_TRUE(Boxes(read).empty());
}

TEST_F(Readers, SetupValueEmptyOrMissingGivesTheBox) {
  for (const char* key : {"GameExe", "UninstExe"}) {
    SCOPED_TRACE(key);
    upd::NameString value;
    value.assign("stale");
    const upd::KeyRead read = upd::ReadSetupValue(kSetupIni, key, value);
    EXPECT_FALSE(read.found());
    EXPECT_EQ(value.bytes, upd::NameString{}.bytes);
    const std::vector<RecordedBox> want = {
        {"INSTCMMN", std::string("SETUP.INI : ") + key + " " UPD_MISSING_KEY}};
    EXPECT_EQ(Boxes(read), want);
  }
}

// SETUP.INI without bytes (the run refuses a missing file before reading it): every key is missing.
TEST_F(Readers, NoBytesReadAsMissingKey) {
  upd::NameString value;
  const upd::KeyRead read = upd::ReadSetupValue("", "GameTitle", value);
  EXPECT_FALSE(read.found());
  EXPECT_EQ(Boxes(read).size(), 1u);
}

TEST_F(Readers, SetupValueCutToCapacity) {
  char small[8];
  std::memset(small, 'x', sizeof small);
  EXPECT_TRUE(upd::ReadSetupValue(kSetupIni, "Long", small).found());
  EXPECT_EQ(std::string(small, 8), std::string("0123456\0", 8));
}

TEST_F(Readers, UpdateValueAnySection) {
  upd::NameString value;
  EXPECT_TRUE(upd::ReadUpdateValue(kUpdateIni, "UPDATE", "UpdateFile00", value).found());
  EXPECT_EQ(value.view(), "A.DAT");
  EXPECT_TRUE(upd::ReadUpdateValue(kUpdateIni, "setup", "companyname", value).found());
  EXPECT_EQ(value.view(), "Co");
}

// A value of exactly capacity - 1 bytes and a longer one give the same value; only the cut
// flag tells them apart, which the update's lists need to refuse a cut path.
TEST_F(Readers, UpdateValueTellsWhetherItWasCut) {
  const std::string ini = "[UPDATE]\r\nFits=abcdefg\r\nLonger=abcdefgh\r\nSplit=abcdef\x95\x5c\r\nShort=ab\r\n";
  struct Row {
    const char* key;
    bool found;
    std::string value;
    bool cut;
  };
  const Row rows[] = {
      {"Fits", true, "abcdefg", false},
      {"Longer", true, "abcdefg", true},
      {"Split", true, "abcdef", true},  // not inside the double-byte character
      {"Short", true, "ab", false},
      {"Missing", false, "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    char value[8];
    const upd::KeyRead read = upd::ReadUpdateValue(ini, "UPDATE", row.key, value);
    EXPECT_EQ(read.found(), row.found);
    EXPECT_EQ(std::string(value), row.value);
    EXPECT_EQ(read.cut, row.cut);
  }
}

TEST_F(Readers, UpdateValueMissingNamesSectionThenKey) {
  upd::NameString value;
  const upd::KeyRead game_dir = upd::ReadUpdateValue(kUpdateIni, "SETUP", "GameDir", value);
  const upd::KeyRead company = upd::ReadUpdateValue(kUpdateIni, "UPDATE", "CompanyName", value);  // other section's key
  EXPECT_FALSE(game_dir.found());
  EXPECT_FALSE(company.found());
  EXPECT_EQ(Boxes(game_dir), (std::vector<RecordedBox>{{"INSTCMMN", "SETUP : GameDir " UPD_MISSING_KEY}}));
  EXPECT_EQ(Boxes(company), (std::vector<RecordedBox>{{"INSTCMMN", "UPDATE : CompanyName " UPD_MISSING_KEY}}));
}

TEST_F(Readers, SetupIntRows) {
  struct Row {
    const char* key;
    std::int32_t value;
  };
  const Row rows[] = {
      {"Count", 12},  // leading digits
      {"Word", 0},    // no number reads as 0, and the key counts as found
      {"Negative", -42},
      {"Huge", std::numeric_limits<std::int32_t>::max()},
      {"Tiny", std::numeric_limits<std::int32_t>::min()},
      {"Long", std::numeric_limits<std::int32_t>::max()},  // 19 characters taken, still too big
      {"Quoted", 7},  // the quotes keep the blank; the number skips it
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    std::int32_t v = -1234;
    const upd::KeyRead read = upd::ReadSetupInt(kSetupIni, r.key, v);
    EXPECT_TRUE(read.found());
    EXPECT_EQ(v, r.value);
    EXPECT_TRUE(Boxes(read).empty());
  }
}

TEST_F(Readers, SetupIntMissingLeavesTheDestination) {
  for (const char* key : {"GameExe", "Absent"}) {
    SCOPED_TRACE(key);
    std::int32_t v = 55;
    const upd::KeyRead read = upd::ReadSetupInt(kSetupIni, key, v);
    EXPECT_FALSE(read.found());
    EXPECT_EQ(v, 55);
    EXPECT_EQ(Boxes(read), (std::vector<RecordedBox>{
                               {"INSTCMMN", std::string("SETUP.INI : ") + key + " " UPD_MISSING_KEY}}));
  }
}

// UPDATE.INI's [SETUP] as the run reads it at its start: the four required keys in their order,
// the first one missing or empty named; then the optional values and the agreement entries' names.
TEST_F(Readers, UpdateDescription) {
  const std::string full =
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=\x83\x65\x83\x58\x83\x67\r\nGameClass=Cls\r\nGameDir=Dir\r\n"
      "UpdaterVersion=1.02\r\nDataFolder=Save\r\nUpdateMessage=A\\nB\r\nAgreementText=LICENSE.TXT\r\n";
  const upd::UpdateDescriptionRead read = upd::ReadUpdateDescription(full);
  ASSERT_FALSE(read.fault);
  EXPECT_EQ(read.game.CompanyName.view(), "Co");
  EXPECT_EQ(read.game.GameTitle.view(), "\x83\x65\x83\x58\x83\x67");
  EXPECT_EQ(read.game.GameClass.view(), "Cls");
  EXPECT_EQ(read.game.GameDir.view(), "Dir");
  EXPECT_EQ(read.update.UpdaterVersion.view(), "1.02");
  EXPECT_TRUE(read.update.UpdaterTitle.empty());
  EXPECT_TRUE(read.update.GameTitleA.empty());
  EXPECT_EQ(read.update.DataFolder.view(), "Save");
  EXPECT_EQ(read.update.UpdateMessage.view(), "A\\nB");
  EXPECT_EQ(read.agreement_text.view(), "LICENSE.TXT");
  EXPECT_TRUE(read.agreement_title.empty());
  EXPECT_FALSE(read.update.AgreementTextData) << "the entry's content is the run's to fetch";

  struct Row {
    const char* name;
    std::string ini;
    const char* message;
  };
  const Row rows[] = {
      {"GameTitle and GameClass missing: only the first is named", "[SETUP]\r\nCompanyName=Co\r\nGameDir=Dir\r\n",
       "SETUP : GameTitle " UPD_MISSING_KEY},
      {"GameDir empty", "[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=\r\n",
       "SETUP : GameDir " UPD_MISSING_KEY},
      {"in another section only", "[UPDATE]\r\nCompanyName=Co\r\n", "SETUP : CompanyName " UPD_MISSING_KEY},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const upd::UpdateDescriptionRead refused = upd::ReadUpdateDescription(row.ini);
    ASSERT_TRUE(refused.fault);
    EXPECT_EQ(refused.fault->kind, upd::FaultKind::kMissingKey);
    EXPECT_EQ(refused.fault->caption, "INSTCMMN");
    EXPECT_EQ(refused.fault->text.view(), row.message);
  }
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
