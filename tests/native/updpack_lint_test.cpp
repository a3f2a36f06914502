// updpack lint: one fixture edit per finding, each row with every finding it must give (and no
// other); then the command and build's check as the publisher runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ini_edit.h"
#include "lint.h"
#include "run_process.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using updtest::Apply;
using updtest::Edit;
using updtest::Remove;
using updtest::Set;

std::string Fixture(const char* name) {
  std::ifstream in(std::string(UPD_FIXTURES) + "/ini/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The package beside the fixture: entry name and content.
using Entries = std::map<std::string, std::string>;

Entries BaseEntries() {
  return {{"UPDATE.INI", "(the description)"},
          {"license.txt", "Terms"},
          {"title.txt", "Do you agree?"},
          {"a.dat", std::string(100, 'a')},
          {"b.dat", std::string(200, 'b')},
          {"c.dat", std::string(300, 'c')}};
}

struct LintCase {
  const char* name;
  std::vector<Edit> edits;          // of UPDATE.INI
  std::vector<std::string> expect;  // "E key" or "W key", in order
  Entries entries = BaseEntries();
  std::optional<std::vector<Edit>> setup{};  // edits of a SETUP.INI with two installation sets
  std::optional<std::int32_t> inst_mode{};
  std::string prefix{};  // bytes before UPDATE.INI's first line
  bool strict = false;
};

// 星の記憶, and 「星の記憶」を Ver.1.02 に更新します。, in both encodings.
constexpr const char* kStarCp932 = "\x90\xAF\x82\xCC\x8B\x4C\x89\xAF";
constexpr const char* kStarUtf8 = "\xE6\x98\x9F\xE3\x81\xAE\xE8\xA8\x98\xE6\x86\xB6";
constexpr const char* kSentenceCp932 =
    "\x81\x75\x90\xAF\x82\xCC\x8B\x4C\x89\xAF\x81\x76\x82\xF0 Ver.1.02 "
    "\x82\xC9\x8D\x58\x90\x56\x82\xB5\x82\xDC\x82\xB7\x81\x42";
constexpr const char* kSentenceUtf8 =
    "\xE3\x80\x8C\xE6\x98\x9F\xE3\x81\xAE\xE8\xA8\x98\xE6\x86\xB6\xE3\x80\x8D\xE3\x82\x92 Ver.1.02 "
    "\xE3\x81\xAB\xE6\x9B\xB4\xE6\x96\xB0\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99\xE3\x80\x82";

std::vector<std::string> Lint(const LintCase& c, updtest::TempFolder& folder) {
  updpack::LintSubject s;
  s.update_ini = c.prefix + Apply(Fixture("update_lint.ini"), c.edits);
  for (const auto& [name, content] : c.entries) s.entries.push_back({name, content.size()});
  s.inst_mode = c.inst_mode;
  s.strict = c.strict;
  if (c.setup) {
    std::vector<Edit> edits = {Set("InstallSelects", "2"), Set("InstallTitle1", "T1"),
                               Set("InstallFiles1", "F1.PAK"), Set("DiskCheckFile1", "DISC1.CHK")};
    edits.insert(edits.end(), c.setup->begin(), c.setup->end());
    s.setup_ini = folder.Write("SETUP.INI", Apply(Fixture("setup_minimal.ini"), edits));
  }
  std::vector<std::string> got;
  for (const updpack::Finding& f : updpack::LintUpdate(s)) {
    EXPECT_FALSE(f.reason.empty()) << f.key;
    got.push_back((f.severity == updpack::Severity::kError ? "E " : "W ") + f.key);
  }
  return got;
}

TEST(Lint, Findings) {
  const std::string l300(300, 'L');
  Entries with_extra = BaseEntries();
  with_extra["extra.dat"] = "x";
  Entries other_case = BaseEntries();
  other_case.erase("a.dat");
  other_case["A.DAT"] = std::string(100, 'a');
  std::vector<Edit> seventeen;
  for (int i = 3; i <= 16; ++i) seventeen.push_back(Set("UpdateFile" + std::to_string(i / 10) + std::to_string(i % 10), "c.dat"));

  const std::vector<LintCase> cases = {
      {"Sound", {}, {}},
      {"SoundWithSetup", {}, {}, BaseEntries(), std::vector<Edit>{}},
      {"SoundForOneMode", {}, {}, BaseEntries(), std::nullopt, 1},
      // Errors.
      {"RequiredKeyMissing", {Remove("GameClass")}, {"E [SETUP] GameClass"}},
      {"RequiredKeyEmpty", {Set("GameDir", "")}, {"E [SETUP] GameDir"}},
      {"AgreementNotInPackage", {Set("AgreementText", "terms.txt")},
       {"E [SETUP] AgreementText", "W entry license.txt"}},
      {"ItemTooLong", {Set("UpdateFile02", "0," + l300)}, {"E [UPDATE] UpdateFile02", "W entry c.dat"}},
      {"CopyPathTooLong", {Set("CopyFile01", "1," + l300)}, {"E [UPDATE] CopyFile01"}},
      {"DiscNotDigit", {Set("CopyFile00", "x:movie")}, {"E [UPDATE] CopyFile00"}},
      {"EntryNotInPackage", {Set("UpdateFile02", "0,sub\\z.dat")}, {"E [UPDATE] UpdateFile02", "W entry c.dat"}},
      {"PathWithoutFileName", {Set("UpdateFile02", "0,sub\\")}, {"E [UPDATE] UpdateFile02", "W entry c.dat"}},
      // Paths the run refuses before it writes anything; ".." that stays inside is no finding.
      {"PathLeavesFolder", {Set("UpdateFile02", "0,..\\..\\c.dat")}, {"E [UPDATE] UpdateFile02"}},
      {"PathClimbsOutAndBack", {Set("UpdateFile01", "1,d,..\\Game\\b.dat")}, {"E [UPDATE] UpdateFile01"}},
      {"PathDotDotInside", {Set("UpdateFile02", "0,sub\\..\\c.dat")}, {}},
      // "C:" is read as a disc prefix, which leaves "\Windows\a.dat".
      {"PathFromADrive", {Set("UpdateFile00", "u,C:\\Windows\\a.dat")}, {"E [UPDATE] UpdateFile00"}},
      {"PathStream", {Set("UpdateFile02", "0,sub:x\\c.dat")}, {"E [UPDATE] UpdateFile02"}},
      {"PathDevice", {Set("UpdateFile02", "0,con.txt\\c.dat")}, {"E [UPDATE] UpdateFile02"}},
      {"PathControlCharacter", {Set("UpdateFile02", "0,sub\x01\\c.dat")}, {"E [UPDATE] UpdateFile02"}},
      {"PathNameEndsInDot", {Set("UpdateFile02", "0,sub.\\c.dat")}, {"E [UPDATE] UpdateFile02"}},
      // 表 is 95 5C: its second byte is no separator.
      {"PathJapaneseFolder", {Set("UpdateFile02", "0,\x95\x5C\\c.dat")}, {}},
      {"DataFolderLeaves", {Set("DataFolder", "..\\Save")}, {"E [SETUP] DataFolder"}},
      {"DataFolderDevice", {Set("DataFolder", "Save\\NUL")}, {"E [SETUP] DataFolder"}},
      {"DataFolderDotDotInside", {Set("DataFolder", "Save\\..\\Data")}, {}},
      {"DataFolderEmpty", {Set("DataFolder", "")}, {}},
      {"CopyPathLeaves", {Set("CopyFile00", "1:..\\movie")}, {"E [UPDATE] CopyFile00"}},
      {"CopyPathDriveAfterDisc", {Set("CopyFile00", "1:C:\\Windows")}, {"E [UPDATE] CopyFile00"}},
      {"CopyPatternLeaves", {Set("CopyFile01", "1,bonus\\..\\..\\*.*")}, {"E [UPDATE] CopyFile01"}},
      {"CopyPathStream", {Set("CopyFile01", "1,bonus:x")}, {"E [UPDATE] CopyFile01"}},
      {"NothingForTheMode", {Set("UpdateFile00", "1,u,a.dat"), Set("CopyFile00", "1,1:movie")}, {"E [UPDATE]"},
       BaseEntries(), std::nullopt, 7},
      {"NothingForAnyMode", {Remove("UpdateFile00"), Remove("CopyFile00")},
       {"E [UPDATE]", "W [UPDATE] UpdateFile01", "W [UPDATE] UpdateFile02", "W [UPDATE] CopyFile01",
        "W entry a.dat", "W entry b.dat", "W entry c.dat"}},
      // With SETUP.INI's one set (mode 0), every entry for mode 1 meets nobody.
      {"NothingForAnySet",
       {Set("UpdateFile00", "1,u,a.dat"), Set("UpdateFile02", "1,c.dat"), Set("CopyFile00", "1,1:movie")},
       {"E [UPDATE]", "W [UPDATE] UpdateFile00", "W [UPDATE] UpdateFile01", "W [UPDATE] UpdateFile02",
        "W [UPDATE] CopyFile00", "W [UPDATE] CopyFile01"},
       BaseEntries(), std::vector<Edit>{Set("InstallSelects", "1")}},
      // Warnings.
      // Of SETUP.INI's two sets, mode 1 gets nothing.
      {"NothingForOneSet",
       {Set("UpdateFile00", "0,u,a.dat"), Set("UpdateFile01", "0,d,save\\b.dat"), Set("CopyFile00", "0,1:movie"),
        Set("CopyFile01", "0,bonus")},
       {"W [UPDATE]"}, BaseEntries(), std::vector<Edit>{}},
      {"KeyAfterGap", {Set("UpdateFile04", "c.dat")}, {"W [UPDATE] UpdateFile04"}},
      {"MoreThanSixteenKeys", seventeen, {"W [UPDATE] UpdateFile16"}},
      {"ItemsAfterTheThird", {Set("UpdateFile01", "1,d,save\\b.dat,more")}, {"W [UPDATE] UpdateFile01"}},
      {"FilterNoSetMeets", {Set("UpdateFile02", "5,c.dat")}, {"W [UPDATE] UpdateFile02"}, BaseEntries(),
       std::vector<Edit>{}},
      {"CopyFilterNotADigit", {Set("CopyFile01", "a,bonus")}, {"W [UPDATE] CopyFile01"}},
      // Mode 0 writes a.dat and c.dat, 400 bytes; mode 1 a.dat and b.dat, 300.
      {"DiskSpaceBelow", {Set("RequiredDiskSpace", "399")}, {"W [UPDATE] RequiredDiskSpace"}},
      {"DiskSpaceEnough", {Set("RequiredDiskSpace", "400")}, {}},
      {"DiskSpaceBelowForOneMode", {Set("RequiredDiskSpace", "299")}, {"W [UPDATE] RequiredDiskSpace"},
       BaseEntries(), std::nullopt, 1},
      {"DiskSpaceEnoughForOneMode", {Set("RequiredDiskSpace", "300")}, {}, BaseEntries(), std::nullopt, 1},
      {"NoDiskSpaceTest", {Set("RequiredDiskSpace", "0")}, {}},
      {"DiscWithoutCheckFile", {Set("CopyFile00", "2:movie")}, {"W [UPDATE] CopyFile00"}, BaseEntries(),
       std::vector<Edit>{}},
      {"EntryNoItemWrites", {}, {"W entry extra.dat"}, with_extra},
      {"EntryNoItemWritesStrict", {}, {"E entry extra.dat"}, with_extra, std::nullopt, std::nullopt, "", true},
      // In the order of the file: RequiredDiskSpace (line 13) before UpdateFile00 (line 14), the
      // package's entries last.
      {"FileOrder", {Set("RequiredDiskSpace", "1"), Set("UpdateFile00", "u,z.dat")},
       {"W [UPDATE] RequiredDiskSpace", "E [UPDATE] UpdateFile00", "W entry a.dat"}},
      // Names compared as the updater compares them.
      {"EntryInOtherCase", {}, {}, other_case},
      {"AgreementInOtherCase", {Set("AgreementText", "LICENSE.TXT")}, {}},
      // A SETUP.INI the updater cannot read.
      {"SetupIniBroken", {}, {"E SETUP.INI"}, BaseEntries(), std::vector<Edit>{Remove("GameExe")}},
      // Encoding: the updater reads code page 932 only.
      {"Utf8Japanese", {Set("GameTitle", kStarUtf8)}, {"E UPDATE.INI"}},
      {"Utf8JapaneseSentence", {Set("CompanyName", kSentenceUtf8)}, {"E UPDATE.INI"}},
      // E3 81 82 E3 81 84 reads as three assigned code page 932 characters as well.
      {"Utf8KanaAlsoReadAsCp932", {Set("GameTitle", "\xE3\x81\x82\xE3\x81\x84")}, {"E UPDATE.INI"}},
      // No Japanese character, but E2 80 94 then CR leaves the lead byte 94 without a second byte.
      {"Utf8DashCp932CannotRead", {Set("GameTitle", "Title\xE2\x80\x94")}, {"E UPDATE.INI"}},
      {"Utf8ByteOrderMark", {}, {"E UPDATE.INI"}, BaseEntries(), std::nullopt, std::nullopt, "\xEF\xBB\xBF"},
      {"Utf8SetupIni", {}, {"E SETUP.INI"}, BaseEntries(), std::vector<Edit>{Set("GameTitle", kStarUtf8)}},
      {"Cp932Japanese", {Set("GameTitle", kStarCp932)}, {}},
      {"Cp932JapaneseSentence", {Set("CompanyName", kSentenceCp932)}, {}},
      {"Cp932SetupIni", {}, {}, BaseEntries(), std::vector<Edit>{Set("GameTitle", kStarCp932)}},
      // Half-width ﾃｱ (C3 B1) is valid UTF-8 by chance ("ñ"), but no Japanese text in it.
      {"Cp932HalfWidthKanaValidUtf8", {Set("GameTitle", "\xC3\xB1")}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    updtest::TempFolder folder;
    EXPECT_EQ(Lint(c, folder), c.expect);
  }
}

// Where each finding is, as the publisher reads it: the file, the line of the key (of its
// section when the key is missing, none without the section), counted as editors count lines.
TEST(Lint, Where) {
  struct WhereCase {
    const char* name;
    std::string update_ini;
    std::vector<std::string> expect;  // the printed lines
  };
  const std::string sound = Fixture("update_lint.ini");
  const std::string setup_only = "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=W\r\nGameDir=Dir\r\n";
  const std::string missing = ": missing or empty: the updater stops at its start";
  const std::string none = "no UpdateFile or CopyFile entry applies to any installation mode (installation modes are "
                           "0-9): the updater writes nothing and stops";
  const std::string unwritten = "my-update: warning: entry a.dat: no UpdateFile entry writes it";
  const std::vector<WhereCase> cases = {
      {"Sound", sound, {}},
      {"KeyLine", Apply(sound, {Set("UpdateFile02", "0,z.dat")}),
       {"my-update/UPDATE.INI:16: error: [UPDATE] UpdateFile02: writes the entry 'z.dat', which the package does "
        "not hold",
        "my-update: warning: entry c.dat: no UpdateFile entry writes it"}},
      {"EmptyKeyLine", Apply(sound, {Set("GameDir", "")}),
       {"my-update/UPDATE.INI:7: error: [SETUP] GameDir" + missing}},
      {"MissingKeySectionLine", Apply(sound, {Remove("GameDir")}),
       {"my-update/UPDATE.INI:3: error: [SETUP] GameDir" + missing}},
      // The first section of a name is the one read: its header, not the later one's.
      {"MissingKeySecondSection", Apply(sound, {Remove("GameDir")}) + "[SETUP]\r\nGameDir=Dir\r\n",
       {"my-update/UPDATE.INI:3: error: [SETUP] GameDir" + missing}},
      {"NoSectionNoLine", "[UPDATE]\r\nUpdateFile00=a.dat\r\n",
       {"my-update/UPDATE.INI: error: [SETUP] CompanyName" + missing,
        "my-update/UPDATE.INI: error: [SETUP] GameTitle" + missing,
        "my-update/UPDATE.INI: error: [SETUP] GameClass" + missing,
        "my-update/UPDATE.INI: error: [SETUP] GameDir" + missing}},
      // LF alone ends a line as CR LF does; the first of two lines of a key is the one read.
      {"LfAndRepeatedKey", "; note\n\n" + setup_only + "[UPDATE]\nUpdateFile00=z.dat\nUpdateFile00=a.dat\n",
       {"my-update/UPDATE.INI:9: error: [UPDATE] UpdateFile00: writes the entry 'z.dat', which the package does "
        "not hold",
        "my-update/UPDATE.INI:10: warning: [UPDATE] UpdateFile00: given again: the updater takes the first, on line 9",
        unwritten}},
      {"SectionFinding", setup_only + "[UPDATE]\r\nRequiredDiskSpace=0\r\n",
       {"my-update/UPDATE.INI:6: error: [UPDATE]: " + none, unwritten}},
      {"SectionFindingWithoutSection", setup_only, {"my-update/UPDATE.INI: error: [UPDATE]: " + none, unwritten}},
      {"WholeFile", "\xEF\xBB\xBF" + sound,
       {"my-update/UPDATE.INI: error: UPDATE.INI: saved as UTF-8, not code page 932: the updater shows its texts "
        "garbled to every player; convert it with: iconv -f UTF-8 -t CP932 UPDATE.INI > UPDATE.INI.new"}},
  };
  for (const WhereCase& c : cases) {
    SCOPED_TRACE(c.name);
    updpack::LintSubject s;
    s.update_ini = c.update_ini;
    s.update_ini_name = "my-update/UPDATE.INI";
    s.package_name = "my-update";
    // The fixture's package, or for the short texts UPDATE.INI and a.dat.
    const bool fixture = c.update_ini.find("license.txt") != std::string::npos;
    for (const auto& [name, content] : BaseEntries()) {
      if (fixture || name == "UPDATE.INI" || name == "a.dat") s.entries.push_back({name, content.size()});
    }
    std::stringstream printed;
    updpack::PrintFindings(printed, "", updpack::LintUpdate(s));
    std::vector<std::string> lines;
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
    EXPECT_EQ(lines, c.expect);
  }
}

// A text edited as the publisher would: `from` replaced by `to` (once).
std::string Replace(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Lines the updater reads otherwise than meant, or not at all: each found on its line with what
// the updater makes of it.
TEST(Lint, UnknownAndMalformed) {
  struct Case {
    const char* name;
    std::string update_ini;
    std::vector<std::string> expect;  // the printed lines
  };
  const std::string sound = Fixture("update_lint.ini");
  const std::string at = "my-update/UPDATE.INI:";
  const std::string missing = ": missing or empty: the updater stops at its start";
  const std::vector<Case> cases = {
      {"MisspeltKey", Replace(sound, "GameTitle=", "GameTitel="),
       {at + "3: error: [SETUP] GameTitle" + missing,
        at + "5: warning: [SETUP] GameTitel: unknown key: the updater never reads it; did you mean GameTitle?"}},
      {"MisspeltListKey", Replace(sound, "CopyFile01=", "CopyFlie01="),
       {at + "18: warning: [UPDATE] CopyFlie01: unknown key: the updater never reads it; did you mean CopyFile01?"}},
      {"UnknownKeyFarFromAny", Replace(sound, "GameDir=Dir\r\n", "GameDir=Dir\r\nZz=1\r\n"),
       {at + "8: warning: [SETUP] Zz: unknown key: the updater never reads it"}},
      {"UnknownSection", sound + "[UPDATES]\r\nUpdateFile03=c.dat\r\n",
       {at + "19: warning: [UPDATES]: unknown section: the updater reads [SETUP] and [UPDATE] only"}},
      // ゾ is 83 5D: its second byte does not close the name.
      {"UnknownSectionJapanese", sound + "[\x83\x5D]\r\n",
       {at + "19: warning: [\xE3\x82\xBE]: unknown section: the updater reads [SETUP] and [UPDATE] only"}},
      {"DuplicateKey", Replace(sound, "UpdateFile02=0,c.dat\r\n", "UpdateFile02=0,c.dat\r\nUpdateFile00=b.dat\r\n"),
       {at + "17: warning: [UPDATE] UpdateFile00: given again: the updater takes the first, on line 14"}},
      {"LineWithoutEquals", Replace(sound, "GameDir=Dir", "GameDir"),
       {at + "7: warning: [SETUP] GameDir: a line without '=': the updater reads it as the key 'GameDir' without "
             "a value",
        at + "7: error: [SETUP] GameDir" + missing}},
      {"KeyInWrongSection", Replace(sound, "GameDir=Dir\r\n", "GameDir=Dir\r\nOverwriteOnly=1\r\n"),
       {at + "8: warning: [SETUP] OverwriteOnly: a key of [UPDATE], never read in [SETUP]"}},
      {"KeyBeforeAnySection", "Foo=1\r\n" + sound,
       {at + "1: warning: Foo: before any section: the updater never reads it"}},
      // Mode 0 writes 400 bytes: the 100 read fall short as well.
      {"DiskSpaceWithUnit", Replace(sound, "RequiredDiskSpace=1000", "RequiredDiskSpace=100MB"),
       {at + "13: error: [UPDATE] RequiredDiskSpace: a number with trailing text '100MB': the updater reads 100",
        at + "13: warning: [UPDATE] RequiredDiskSpace: 100 bytes, below the 400 bytes that the update writes for "
             "installation mode 0"}},
      {"DiskSpacePlainNumber", Replace(sound, "RequiredDiskSpace=1000", "RequiredDiskSpace= 1000 "), {}},
      {"NotAMode", Replace(sound, "UpdateFile01=1,d,save\\b.dat", "UpdateFile01=x,b.dat"),
       {at + "15: error: [UPDATE] UpdateFile01: 'x' is not a mode (u, d, o): the updater reads 'x' as the path",
        at + "15: error: [UPDATE] UpdateFile01: writes the entry 'x', which the package does not hold",
        "my-update: warning: entry b.dat: no UpdateFile entry writes it"}},
      {"NotAModeAfterFilter", Replace(sound, "UpdateFile01=1,d,save\\b.dat", "UpdateFile01=1,x,b.dat"),
       {at + "15: error: [UPDATE] UpdateFile01: 'x' is not a mode (u, d, o): the updater reads 'x' as the path",
        at + "15: error: [UPDATE] UpdateFile01: writes the entry 'x', which the package does not hold",
        "my-update: warning: entry b.dat: no UpdateFile entry writes it"}},
      {"ModeInOtherCase", Replace(sound, "UpdateFile01=1,d,", "UpdateFile01=1,D,"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    updpack::LintSubject s;
    s.update_ini = c.update_ini;
    s.update_ini_name = "my-update/UPDATE.INI";
    s.package_name = "my-update";
    for (const auto& [name, content] : BaseEntries()) s.entries.push_back({name, content.size()});
    std::stringstream printed;
    updpack::PrintFindings(printed, "", updpack::LintUpdate(s));
    std::vector<std::string> lines;
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
    EXPECT_EQ(lines, c.expect);
  }
}

using updtest::Ran;

// The built tool as a process.
Ran Updpack(const std::vector<std::string>& args) {
  updtest::Argv argv = {UPDPACK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return updtest::RunProcess(argv);
}

// The words of a command line written with single spaces.
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at <= line.size();) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    words.emplace_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class LintCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir());
    for (const auto& [name, content] : BaseEntries()) Write(name, content);
  }
  fs::path dir() const { return folder_.path() / "update"; }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(dir() / name, std::ios::binary) << content;
  }
  void WriteIni(const std::vector<Edit>& edits) { Write("UPDATE.INI", Apply(Fixture("update_lint.ini"), edits)); }
  std::string P(const fs::path& p) const { return p.string(); }

  updtest::TempFolder folder_;
};

TEST_F(LintCommand, FolderAndPackage) {
  WriteIni({});
  Ran r = Updpack({"lint", P(dir())});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, ": 0 errors, 0 warnings")) << r.out;

  WriteIni({Set("UpdateFile02", "0,z.dat"), Set("UpdateFile04", "late.dat")});
  r = Updpack({"lint", P(dir())});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  const std::string ini = P(dir() / "UPDATE.INI");
  EXPECT_TRUE(Has(r.out, ini + ":16: error: [UPDATE] UpdateFile02: writes the entry 'z.dat', which the package "
                               "does not hold\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, ini + ":19: warning: [UPDATE] UpdateFile04: never read")) << r.out;
  EXPECT_TRUE(Has(r.out, P(dir()) + ": warning: entry c.dat: no UpdateFile entry writes it")) << r.out;
  EXPECT_TRUE(Has(r.out, ": 1 error, 2 warnings")) << r.out;  // and c.dat, which nothing writes

  // build prints the same findings and still writes the package; lint reads the package alike.
  const fs::path package = folder_.path() / "update.fa3";
  r = Updpack({"build", P(dir()), "-o", P(package)});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.err, "updpack build: " + ini + ":16: error: [UPDATE] UpdateFile02:")) << r.err;
  ASSERT_TRUE(fs::exists(package));
  r = Updpack({"lint", P(package), "--inst-mode", "0"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.out, P(package) + "(UPDATE.INI):16: error: [UPDATE] UpdateFile02:")) << r.out;
  // The package's integrity record is no file of the update: no finding names it.
  EXPECT_FALSE(Has(r.out, "XXH3")) << r.out;

  // --strict: nothing written; c.dat, which nothing writes, is then an error too.
  fs::remove(package);
  r = Updpack({"build", P(dir()), "-o", P(package), "--strict"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "2 errors in UPDATE.INI; nothing written (--strict)")) << r.err;
  EXPECT_FALSE(fs::exists(package));
}

// --strict fails lint and build alike: on an error, and on a warning (an entry that nothing
// writes is then an error itself); without it, warnings pass.
TEST_F(LintCommand, StrictAgreesForLintAndBuild) {
  struct StrictCase {
    const char* name;
    std::vector<Edit> edits;
    bool strict;
    int code;
    const char* says;  // in lint's output
  };
  const std::vector<StrictCase> cases = {
      {"Sound", {}, false, 0, ": 0 errors, 0 warnings"},
      {"SoundStrict", {}, true, 0, ": 0 errors, 0 warnings"},
      {"Warning", {Set("UpdateFile04", "c.dat")}, false, 0, "warning: [UPDATE] UpdateFile04"},
      {"WarningStrict", {Set("UpdateFile04", "c.dat")}, true, 1, "warning: [UPDATE] UpdateFile04"},
      {"Unwritten", {Remove("UpdateFile02")}, false, 0, "warning: entry c.dat: no UpdateFile entry writes it"},
      {"UnwrittenStrict", {Remove("UpdateFile02")}, true, 1, "error: entry c.dat: no UpdateFile entry writes it"},
      {"Error", {Set("UpdateFile02", "0,z.dat")}, false, 1, "error: [UPDATE] UpdateFile02"},
  };
  const fs::path package = folder_.path() / "update.fa3";
  for (const StrictCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.edits);
    std::vector<std::string> lint = {"lint", P(dir())};
    std::vector<std::string> build = {"build", P(dir()), "-o", P(package)};
    if (c.strict) {
      lint.push_back("--strict");
      build.push_back("--strict");
    }
    Ran r = Updpack(lint);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, c.says)) << r.out;
    fs::remove(package);
    r = Updpack(build);
    // build writes the package despite an error unless --strict; with it, where lint fails.
    const bool written = !c.strict || c.code == 0;
    EXPECT_EQ(r.code, written ? 0 : 1) << r.err;
    EXPECT_EQ(fs::exists(package), written);
  }
}

// The lines a publisher reads: the key, the path as written (a control byte spelt out), why.
TEST_F(LintCommand, PathsThatLeaveTheirFolder) {
  WriteIni({Set("DataFolder", "..\\Save"), Set("UpdateFile02", "0,..\\..\\c.dat"),
            Set("CopyFile00", "1:movie\\CON"), Set("CopyFile01", "1,bonus\t\\*.*")});
  const Ran r = Updpack({"lint", P(dir())});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  for (const char* line : {
           "UPDATE.INI:10: error: [SETUP] DataFolder: the data folder '..\\Save' leaves the folder it is relative to",
           "UPDATE.INI:16: error: [UPDATE] UpdateFile02: the path '..\\..\\c.dat' leaves the folder it is relative to",
           "UPDATE.INI:17: error: [UPDATE] CopyFile00: the path 'movie\\CON' names a device",
           "UPDATE.INI:18: error: [UPDATE] CopyFile01: the path 'bonus\\x09\\*.*' holds a control character",
           ": 4 errors, 0 warnings",
       }) {
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  }
}

// The updater hands the game title and the agreement title to its formatter as arguments,
// never as the format, so a '%' in either shows as it stands: lint says nothing more of a folder
// or a package with '%' in both than of one with plain titles.
TEST_F(LintCommand, PercentInTitlesIsNoFinding) {
  WriteIni({});
  const fs::path setup = folder_.path() / "SETUP.INI";
  const fs::path package = folder_.path() / "update.fa3";
  auto lint = [&](const std::string& game_title, const std::string& agreement_title) {
    Write("title.txt", agreement_title);
    std::ofstream(setup, std::ios::binary) << Apply(Fixture("setup_minimal.ini"), {Set("GameTitle", game_title)});
    std::string said;
    Ran r = Updpack({"build", P(dir()), "-o", P(package)});
    EXPECT_EQ(r.code, 0) << r.err;
    said += r.err;
    for (const fs::path& target : {dir(), package}) {
      r = Updpack({"lint", P(target), "--setup", P(setup)});
      EXPECT_EQ(r.code, 0) << r.out << r.err;
      said += r.out + r.err;
    }
    return said;
  };
  const std::string plain = lint("Title", "Do you agree?");
  EXPECT_TRUE(Has(plain, "warnings")) << plain;
  EXPECT_EQ(lint("T%s%d%n", "Agree to 100% of it? %s%d%n"), plain);
}

// A description saved as UTF-8: lint says how to convert it, and build writes nothing even
// without --strict, since every player would see its texts garbled.
TEST_F(LintCommand, Utf8DescriptionStopsBuild) {
  WriteIni({Set("GameTitle", kStarUtf8)});
  const fs::path package = folder_.path() / "update.fa3";
  Ran r = Updpack({"lint", P(dir())});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "UPDATE.INI: error: UPDATE.INI: saved as UTF-8, not code page 932")) << r.out;
  EXPECT_TRUE(Has(r.out, "iconv -f UTF-8 -t CP932 UPDATE.INI > UPDATE.INI.new")) << r.out;
  r = Updpack({"build", P(dir()), "-o", P(package)});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_TRUE(Has(r.err, "UPDATE.INI is saved as UTF-8; nothing written")) << r.err;
  EXPECT_FALSE(fs::exists(package));

  WriteIni({Set("GameTitle", kStarCp932)});
  r = Updpack({"build", P(dir()), "-o", P(package)});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(package));
}

TEST_F(LintCommand, SetupAndUsage) {
  WriteIni({Set("CopyFile00", "2:movie")});
  std::ofstream(folder_.path() / "SETUP.INI", std::ios::binary) << Fixture("setup_minimal.ini");
  Ran r = Updpack({"lint", P(dir()), "--setup", P(folder_.path() / "SETUP.INI")});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "UPDATE.INI:17: warning: [UPDATE] CopyFile00: disc 2 has no DiskCheckFile2 in SETUP.INI"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "UPDATE.INI:15: warning: [UPDATE] UpdateFile01: the filter 1 meets no installation"))
      << r.out;

  struct Usage {
    const char* args;
    const char* says;
  };
  for (const Usage& u : {Usage{"lint", "no folder or package"}, Usage{"lint a b", "one folder or package only"},
                         Usage{"lint a --inst-mode x", "--inst-mode needs a number"},
                         Usage{"lint a --inst-mode -1", "--inst-mode needs a number"},
                         Usage{"lint a --setup", "--setup needs a file"}, Usage{"lint a --bad", "unknown option"}}) {
    SCOPED_TRACE(u.args);
    r = Updpack(Words(u.args));
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Has(r.err, u.says)) << r.err;
  }
  r = Updpack({"lint", P(folder_.path() / "nothing-here")});
  EXPECT_EQ(r.code, 1);
  fs::remove(dir() / "UPDATE.INI");
  r = Updpack({"lint", P(dir())});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "holds no UPDATE.INI")) << r.err;
}

}  // namespace
