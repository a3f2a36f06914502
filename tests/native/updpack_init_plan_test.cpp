// updpack init and plan as the publisher runs them: the built tool as a process, the UPDATE.INI
// it writes (bytes, and what lint says of it), and the lists plan shows for folders, packages
// and updaters, with and without a copy of an installation.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ini_edit.h"
#include "pe_builder.h"
#include "run_process.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using updtest::Apply;
using updtest::Edit;
using updtest::Set;

constexpr std::int64_t kT0 = 1600000000;  // 2020-09-13 12:26:40 UTC: the update's files
const std::string kT0Iso = "2020-09-13T12:26:40.0000000Z";

using updtest::Ran;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& p, const std::string& bytes, std::int64_t time = kT0) {
  std::ofstream(p, std::ios::binary) << bytes;
  const timespec t[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, 0), 0) << p;
}

std::string Fixture(const char* name) { return ReadText(fs::path(UPD_FIXTURES) / "ini" / name); }

// The built tool with the arguments, its output collected.
Ran Updpack(const std::vector<std::string>& args) {
  updtest::Argv argv = {UPDPACK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return updtest::RunProcess(argv);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The "file" records of plan --tsv, each as "KEY FIELD" for the field asked for (by index).
std::vector<std::string> FileColumn(const std::string& tsv, std::size_t field, const std::string& mode = "0") {
  std::vector<std::string> got;
  for (const std::string& line : Lines(tsv)) {
    const auto f = Fields(line);
    if (f.size() == 11 && f[0] == "file" && f[1] == mode) got.push_back(f[2] + " " + f[field]);
  }
  return got;
}

// テスト.txt and 表.txt (95 5C: its second byte is a backslash) in UTF-8 and code page 932.
const std::string kTestUtf8 = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt";
const std::string kTest932 = "\x83\x65\x83\x58\x83\x67.txt";
const std::string kHyouUtf8 = "\xE8\xA1\xA8.txt";
const std::string kHyou932 = "\x95\x5C.txt";

// The installed game's SETUP.INI: two installation sets (modes 0 and 1), a check file for disc 2.
std::string SetupIni() {
  return Apply(Fixture("setup_minimal.ini"), {Set("InstallSelects", "2"), Set("InstallTitle1", "T1"),
                                              Set("InstallFiles1", "F1.PAK"), Set("DiskCheckFile2", "DISC2.CHK"),
                                              Set("GameClass", "CoWindow")});
}

class InitCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir());
    WriteFile(folder_.path() / "SETUP.INI", SetupIni());
  }
  fs::path dir() const { return folder_.path() / "update"; }
  std::string D() const { return dir().string(); }
  std::string Setup() const { return (folder_.path() / "SETUP.INI").string(); }
  std::string Ini() const { return ReadText(dir() / "UPDATE.INI"); }
  void Write(const std::string& name, const std::string& content = "x") { WriteFile(dir() / name, content); }

  updtest::TempFolder folder_;
};

// The whole file, byte for byte: the four values from SETUP.INI, one item per file in the order
// of the package (code page 932 bytes), RequiredDiskSpace their bytes; lint finds nothing.
TEST_F(InitCommand, FromSetupPassesLint) {
  Write("b.dat", std::string(20, 'b'));
  Write("A.dat", std::string(10, 'a'));
  Write(kTestUtf8, "t");
  Write(kHyouUtf8, "h");
  Write("\xCE\xB1.dat", "g");  // α, 83 BF: after テ (83 65) in code page 932, before it in UTF-8
  Ran r = Updpack({"init", D(), "--setup", Setup()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Has(r.out, "5 UpdateFile entries for 5 files, RequiredDiskSpace 33")) << r.out;
  EXPECT_EQ(Ini(),
            "; The update's description, read by the updater (code page 932). Written by\r\n"
            "; updpack init; check it with updpack lint, see it with updpack plan.\r\n"
            "[SETUP]\r\n"
            "CompanyName=Co\r\nGameTitle=Title\r\nGameClass=CoWindow\r\nGameDir=Dir\r\nUpdaterVersion=1.00\r\n"
            "\r\n[UPDATE]\r\n"
            "; UpdateFileNN=[installation mode digit,][u|d|o,]path: u keeps a newer file, d writes below\r\n"
            "; the data folder and keeps an existing file, o writes only over an existing file.\r\n"
            "RequiredDiskSpace=33\r\n"
            "UpdateFile00=A.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=" + kTest932 +
                "\r\nUpdateFile03=\x83\xBF.dat\r\nUpdateFile04=" + kHyou932 + "\r\n");

  r = Updpack({"lint", D(), "--setup", Setup()});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Has(r.out, ": 0 errors, 0 warnings")) << r.out;
}

// Without SETUP.INI the four values are left for the publisher, and lint holds them up.
TEST_F(InitCommand, WithoutSetupLintReportsThePlaceholders) {
  Write("a.dat");
  Ran r = Updpack({"init", D(), "--updater-version", "2.5"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Fill in CompanyName, GameTitle, GameClass and GameDir")) << r.out;
  EXPECT_TRUE(Has(Ini(), "\r\nCompanyName=\r\nGameTitle=\r\nGameClass=\r\nGameDir=\r\nUpdaterVersion=2.5\r\n")) << Ini();
  r = Updpack({"lint", D()});
  EXPECT_EQ(r.code, 1) << r.out;
  for (const char* key : {"CompanyName", "GameTitle", "GameClass", "GameDir"}) {
    EXPECT_TRUE(Has(r.out, std::string("error: [SETUP] ") + key + ": missing or empty")) << key << "\n" << r.out;
  }
  EXPECT_TRUE(Has(r.out, ": 4 errors, 0 warnings")) << r.out;
}

// An UPDATE.INI is replaced only with --force, in whatever spelling it is there, and it is never
// an item of its own list.
TEST_F(InitCommand, ExistingUpdateIniOnlyWithForce) {
  for (const std::string name : {"UPDATE.INI", "update.ini"}) {
    SCOPED_TRACE(name);
    fs::remove_all(dir());
    fs::create_directories(dir());
    Write("a.dat");
    Write(name, "[SETUP]\r\nmine\r\n");
    Ran r = Updpack({"init", D(), "--setup", Setup()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, name + " is there already; --force replaces it")) << r.err;
    EXPECT_EQ(ReadText(dir() / name), "[SETUP]\r\nmine\r\n");

    r = Updpack({"init", D(), "--setup", Setup(), "--force"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string ini = ReadText(dir() / name);
    EXPECT_TRUE(Has(ini, "UpdateFile00=a.dat\r\n")) << ini;
    EXPECT_FALSE(Has(ini, "UpdateFile01")) << ini;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 2);
  }
}

// The updater reads sixteen items: the rest are named, in the file and on standard error, and
// lint warns of them as it warns of any entry nothing writes.
TEST_F(InitCommand, MoreFilesThanTheUpdaterReads) {
  for (int i = 0; i < 18; ++i) Write("f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".dat", "12345");
  Ran r = Updpack({"init", D(), "--setup", Setup()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "16 UpdateFile entries for 18 files, RequiredDiskSpace 80")) << r.out;
  const std::string ini = Ini();
  EXPECT_TRUE(Has(ini, "UpdateFile15=f15.dat\r\n; Not listed: the updater reads UpdateFile00 to UpdateFile15 only.\r\n"
                       ";   f16.dat\r\n;   f17.dat\r\n"))
      << ini;
  EXPECT_FALSE(Has(ini, "UpdateFile16")) << ini;
  for (const char* name : {"f16.dat", "f17.dat"}) {
    EXPECT_TRUE(Has(r.err, std::string("warning: ") + (dir() / name).string() + ": not listed")) << r.err;
  }
  r = Updpack({"lint", D(), "--setup", Setup()});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "warning: entry f16.dat: no UpdateFile entry writes it")) << r.out;
  EXPECT_TRUE(Has(r.out, ": 0 errors, 2 warnings")) << r.out;
}

// Names the updater would read as something else are written so that it reads them as names.
TEST_F(InitCommand, NamesThatLookLikeFiltersOrModes) {
  for (const char* name : {"1", "u", "D", " lead.dat"}) Write(name);
  Ran r = Updpack({"init", D(), "--setup", Setup()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(Ini(), "UpdateFile00=.\\ lead.dat\r\nUpdateFile01=.\\1\r\nUpdateFile02=.\\D\r\nUpdateFile03=.\\u\r\n"))
      << Ini();
  r = Updpack({"lint", D(), "--setup", Setup()});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Has(r.out, ": 0 errors, 0 warnings")) << r.out;
  r = Updpack({"plan", D(), "--inst-mode", "0", "--tsv"});
  EXPECT_EQ(FileColumn(r.out, 6), (std::vector<std::string>{"UpdateFile00  lead.dat", "UpdateFile01 1",
                                                             "UpdateFile02 D", "UpdateFile03 u"}))
      << r.out;
}

// What cannot be listed stops init before it writes anything, each file named.
TEST_F(InitCommand, RefusedFolders) {
  struct Case {
    const char* name;
    std::string file;  // made in the folder beside a.dat
    bool folder;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"Korean", "\xED\x95\x9C.txt", false, "code page 932 cannot spell this name"},  // 한.txt
      {"Overline", "a\xE2\x80\xBE.txt", false, "it would be stored as ~, a different character"},       // a‾.txt
      {"Comma", "a,b.dat", false, "no UpdateFile value can name it (a comma ends an item of the value)"},
      {"Device", "CON.txt", false, "device"},
      {"SameForTheUpdater", "A.DAT", false, "the updater cannot tell it from"},
      {"Subfolder", "sub", true, "is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir());
    fs::create_directories(dir());
    Write("a.dat");
    if (c.folder) {
      fs::create_directories(dir() / c.file);
    } else {
      Write(c.file);
    }
    const Ran r = Updpack({"init", D(), "--setup", Setup()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, c.says)) << r.err;
    EXPECT_TRUE(Has(r.err, "updpack init: nothing written")) << r.err;
    EXPECT_FALSE(fs::exists(dir() / "UPDATE.INI"));
  }
}

TEST_F(InitCommand, UsageAndBadInput) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  Write("a.dat");
  const std::string broken = (folder_.path() / "BROKEN.INI").string();
  WriteFile(broken, Apply(SetupIni(), {updtest::Remove("GameExe")}));
  const std::vector<Case> cases = {
      {"NoFolder", {"init"}, 2, "updpack init: no folder"},
      {"TwoFolders", {"init", D(), D()}, 2, "one folder only"},
      {"UnknownOption", {"init", D(), "--quiet"}, 2, "unknown option --quiet"},
      {"SetupWithoutFile", {"init", D(), "--setup"}, 2, "--setup needs a file"},
      {"NotAFolder", {"init", (dir() / "a.dat").string()}, 1, "is not a folder"},
      {"EmptyFolder", {"init", folder_.path().string() + "/none"}, 1, "is not a folder"},
      {"SetupMissing", {"init", D(), "--setup", broken + ".none"}, 1, "cannot read"},
      {"SetupBroken", {"init", D(), "--setup", broken}, 1, "GameExe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Ran r = Updpack(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_TRUE(Has(r.err, c.says)) << r.err;
    EXPECT_FALSE(fs::exists(dir() / "UPDATE.INI"));
  }
  fs::create_directories(folder_.path() / "empty");
  Ran r = Updpack({"init", (folder_.path() / "empty").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "holds no files to update")) << r.err;
  r = Updpack({"init", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Has(r.out, "usage: updpack init FOLDER")) << r.out;
}

// ---------------------------------------------------------------------------------------------
// plan

// An update with every rule of the run in it; the entries a.dat to f.dat of 10 to 60 bytes.
const std::string kPlanIni =
    "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Cls\r\nGameDir=Dir\r\nDataFolder=Save\r\n"
    "\r\n[UPDATE]\r\nRequiredDiskSpace=100\r\n"
    "UpdateFile00=a.dat\r\n"
    "UpdateFile01=u,b.dat\r\n"
    "UpdateFile02=o,c.dat\r\n"
    "UpdateFile03=d,sub\\d.dat\r\n"
    "UpdateFile04=1,e.dat\r\n"
    "UpdateFile05=0,U,f.dat\r\n"
    "CopyFile00=2:movie\r\n"
    "CopyFile01=1,bonus\\*.*\r\n";

class PlanCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir());
    fs::create_directories(inst());
    fs::create_directories(data());
    WriteIni({});
    const char* names[] = {"a.dat", "b.dat", "c.dat", "d.dat", "e.dat", "f.dat"};
    for (int i = 0; i < 6; ++i) WriteFile(dir() / names[i], std::string(static_cast<std::size_t>(10 * (i + 1)), 'x'));
    WriteFile(folder_.path() / "SETUP.INI", SetupIni());
  }
  void WriteIni(const std::vector<Edit>& edits) { WriteFile(dir() / "UPDATE.INI", Apply(kPlanIni, edits)); }
  fs::path dir() const { return folder_.path() / "update"; }
  fs::path inst() const { return folder_.path() / "inst"; }
  fs::path data() const { return folder_.path() / "data"; }
  std::string Setup() const { return (folder_.path() / "SETUP.INI").string(); }

  updtest::TempFolder folder_;
};

// Each rule as the run applies it, by installation mode; the OverwriteOnly switch over them all.
TEST_F(PlanCommand, WhatHappensToEachEntry) {
  struct Case {
    const char* name;
    std::vector<Edit> edits;
    const char* mode;
    std::vector<std::string> actions;
  };
  const std::vector<Case> cases = {
      {"Mode0", {}, "0",
       {"UpdateFile00 write", "UpdateFile01 write-unless-newer", "UpdateFile02 overwrite-only",
        "UpdateFile03 keep-content", "UpdateFile04 filtered", "UpdateFile05 write-unless-newer"}},
      {"Mode1", {}, "1",
       {"UpdateFile00 write", "UpdateFile01 write-unless-newer", "UpdateFile02 overwrite-only",
        "UpdateFile03 keep-content", "UpdateFile04 write", "UpdateFile05 filtered"}},
      {"OverwriteOnly", {Set("OverwriteOnly", "1")}, "0",
       {"UpdateFile00 overwrite-only", "UpdateFile01 overwrite-only-unless-newer", "UpdateFile02 overwrite-only",
        "UpdateFile03 keep-content-only", "UpdateFile04 filtered", "UpdateFile05 overwrite-only-unless-newer"}},
      {"OverwriteOnlyZero", {Set("OverwriteOnly", "0")}, "0",
       {"UpdateFile00 write", "UpdateFile01 write-unless-newer", "UpdateFile02 overwrite-only",
        "UpdateFile03 keep-content", "UpdateFile04 filtered", "UpdateFile05 write-unless-newer"}},
      // The list ends at the first missing key, as the run reads it.
      {"ListEndsAtAGap", {updtest::Remove("UpdateFile02")}, "0",
       {"UpdateFile00 write", "UpdateFile01 write-unless-newer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.edits);
    const Ran r = Updpack({"plan", dir().string(), "--inst-mode", c.mode, "--tsv"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(FileColumn(r.out, 9, c.mode), c.actions) << r.out;
  }
}

// Every record of one mode, as a script reads them: where each entry goes (DataFolder joined),
// its entry, size and time, the disc copies with their check files, the disk space.
TEST_F(PlanCommand, TsvRecordsOfOneMode) {
  const Ran r = Updpack({"plan", dir().string(), "--setup", Setup(), "--tsv"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  std::vector<std::string> mode1;
  for (const std::string& line : Lines(r.out)) {
    if (Fields(line).size() > 1 && Fields(line)[1] == "1") mode1.push_back(line);
  }
  const std::string t = "\t" + kT0Iso + "\t";
  EXPECT_EQ(mode1, (std::vector<std::string>{
                       "file\t1\tUpdateFile00\tinst\tSave\\a.dat\t-\ta.dat\t10" + t + "write\t",
                       "file\t1\tUpdateFile01\tinst\tSave\\b.dat\tu\tb.dat\t20" + t + "write-unless-newer\t",
                       "file\t1\tUpdateFile02\tinst\tSave\\c.dat\to\tc.dat\t30" + t + "overwrite-only\t",
                       "file\t1\tUpdateFile03\tdata\tSave\\sub\\d.dat\td\td.dat\t40" + t + "keep-content\t",
                       "file\t1\tUpdateFile04\tinst\tSave\\e.dat\t-\te.dat\t50" + t + "write\t",
                       "file\t1\tUpdateFile05\tinst\tSave\\f.dat\tu\tf.dat\t60" + t + "filtered\tskipped",
                       "copy\t1\tCopyFile00\t2\tDISC2.CHK\tmovie\tcopy",
                       "copy\t1\tCopyFile01\t0\t\tbonus\\*.*\tcopy",
                       "space\t1\t100\t150",
                   }))
      << r.out;
  // SETUP.INI's two sets are the modes shown; no other.
  for (const std::string& line : Lines(r.out)) EXPECT_TRUE(Fields(line)[1] == "0" || Fields(line)[1] == "1") << line;
}

// For people: one list per set of modes that gets the same, the disc copies, the disk space
// against the bytes written, the totals.
TEST_F(PlanCommand, ListsForPeople) {
  Ran r = Updpack({"plan", dir().string(), "--setup", Setup()});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  for (const char* line : {
           "Installation mode 0:\n",
           "Installation mode 1:\n",
           "  UpdateFile03  d    40  2020-09-13 12:26:40  content kept, new time (written if missing)  data  Save\\sub\\d.dat\n",
           "  UpdateFile04  -    50  2020-09-13 12:26:40  skipped by its filter 1",
           "    CopyFile00  disc 2 (found by DISC2.CHK)  movie\n",
           "    CopyFile01  skipped by its filter  1,bonus\\*.*\n",
           "    CopyFile01  no disc asked for: from the drive of disc 2  bonus\\*.*\n",
           "  Disk space: RequiredDiskSpace asks for 100 bytes free; the update writes at most 160 bytes (more than it asks for)\n",
           "  Total: 5 entries, 1 skipped by its filter, 1 disc copy; at most 160 bytes written\n",
       }) {
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  }
  // Without SETUP.INI the modes are the ten digits; those that get the same list share it.
  r = Updpack({"plan", dir().string()});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\nInstallation mode 0:\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "\nInstallation mode 1:\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "\nInstallation modes 2-9:\n")) << r.out;
  WriteIni({Set("UpdateFile04", "e.dat"), Set("UpdateFile05", "f.dat"), Set("CopyFile01", "bonus")});
  r = Updpack({"plan", dir().string()});
  EXPECT_TRUE(Has(r.out, "\nEvery installation mode, 0-9 (no filter tells them apart):\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "    CopyFile00  disc 2 (found by DiskCheckFile2 of SETUP.INI)  movie\n")) << r.out;
}

// Against a copy of an installation, in the run's order: what each entry does to it.
TEST_F(PlanCommand, AgainstAnInstallation) {
  // A file of the installation or the data folder: its time, or a folder in its place.
  struct Thing {
    std::string path;  // below the installation ("data/..." below the data folder)
    std::int64_t time = kT0;
    bool folder = false;
  };
  struct Case {
    const char* name;
    std::vector<std::string> items;  // UpdateFile00, 01, ...
    std::vector<Thing> there;
    std::vector<std::string> outcomes;
    std::string data_folder = "";
  };
  const std::vector<Case> cases = {
      {"NewWhereNothingIs", {"a.dat"}, {}, {"new"}},
      {"ReplacedOlder", {"a.dat"}, {{"a.dat", kT0 - 1000}}, {"replaced"}},
      {"ReplacedNewerWithoutU", {"a.dat"}, {{"a.dat", kT0 + 1000}}, {"replaced"}},
      {"KeptBecauseNewer", {"u,a.dat"}, {{"a.dat", kT0 + 1}}, {"kept-newer"}},
      {"ReplacedWhenAsOld", {"u,a.dat"}, {{"a.dat", kT0}}, {"replaced"}},
      {"FoundRegardlessOfCase", {"u,a.dat"}, {{"A.DAT", kT0 + 1}}, {"kept-newer"}},
      {"LeftAloneWithoutAFile", {"o,a.dat"}, {}, {"left-alone"}},
      {"LeftAloneWhereAFolderIs", {"o,a.dat"}, {{"a.dat", kT0, true}}, {"left-alone"}},
      {"OverwriteOnlyReplaces", {"o,a.dat"}, {{"a.dat", kT0 - 1}}, {"replaced"}},
      {"DataKeepsItsContent", {"d,a.dat"}, {{"data/a.dat", kT0 - 1}}, {"new-time"}},
      {"DataWrittenWhenMissing", {"d,a.dat"}, {{"a.dat", kT0 - 1}}, {"new"}},
      {"DataFolderMadeByTheRun", {"a.dat", "d,b.dat"}, {}, {"new", "new"}, "Save"},
      {"DataFolderParentMissing", {"a.dat"}, {}, {"fails"}, "Save\\Slot1"},
      {"SkippedByFilter", {"1,a.dat", "0,b.dat"}, {}, {"skipped", "new"}},
      {"FailsWithoutItsFolder", {"sub\\a.dat", "b.dat"}, {}, {"fails", "not-reached"}},
      {"SubfolderThere", {"sub\\a.dat"}, {{"SUB", kT0, true}}, {"new"}},
      {"FailsWhereAFolderIs", {"a.dat", "b.dat"}, {{"b.dat", kT0, true}}, {"new", "fails"}},
      {"FailsWithoutTheEntry", {"z.dat", "a.dat"}, {}, {"fails", "not-reached"}},
      {"EarlierEntryIsThere", {"a.dat", "o,sub\\..\\a.dat", "u,a.dat"}, {}, {"new", "replaced", "replaced"}},
      {"DataTwice", {"d,a.dat", "d,a.dat"}, {}, {"new", "new-time"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(inst());
    fs::remove_all(data());
    fs::create_directories(inst());
    fs::create_directories(data());
    WriteFile(inst() / "SETUP.INI", SetupIni());
    for (const Thing& t : c.there) {
      const fs::path at = t.path.starts_with("data/") ? data() / t.path.substr(5) : inst() / t.path;
      if (t.folder) {
        fs::create_directories(at);
      } else {
        WriteFile(at, "old", t.time);
      }
    }
    std::string ini = "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Cls\r\nGameDir=Dir\r\nDataFolder=" +
                      c.data_folder + "\r\n[UPDATE]\r\n";
    for (std::size_t i = 0; i < c.items.size(); ++i) ini += "UpdateFile0" + std::to_string(i) + "=" + c.items[i] + "\r\n";
    WriteFile(dir() / "UPDATE.INI", ini);
    const Ran r = Updpack({"plan", dir().string(), "--inst-mode", "0", "--installed", inst().string(), "--data-path",
                           data().string(), "--tsv"});
    std::vector<std::string> got;
    for (const std::string& f : FileColumn(r.out, 10)) got.push_back(f.substr(f.find(' ') + 1));
    EXPECT_EQ(got, c.outcomes) << r.out << r.err;
    const bool fails = std::find(c.outcomes.begin(), c.outcomes.end(), "fails") != c.outcomes.end();
    EXPECT_EQ(r.code, fails ? 1 : 0) << r.out << r.err;
    EXPECT_EQ(Has(r.out, "\nstop\t0\t"), fails) << r.out;
  }
}

// The installation's own SETUP.INI gives the modes, and the updater stops without one.
TEST_F(PlanCommand, InstallationForPeople) {
  WriteFile(inst() / "SETUP.INI", SetupIni());
  fs::create_directories(inst() / "Save");
  WriteFile(inst() / "Save" / "b.dat", "newer", kT0 + 60);
  fs::create_directories(data() / "Save" / "sub");
  WriteFile(data() / "Save" / "sub" / "d.dat", "kept", kT0 - 60);
  Ran r = Updpack({"plan", dir().string(), "--installed", inst().string(), "--data-path", data().string()});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  for (const char* line : {
           "Installation mode 0:\n",
           "Installation mode 1:\n",
           "  UpdateFile01  u    20  2020-09-13 12:26:40  written, kept if newer                       kept because newer      "
           "inst  Save\\b.dat\n",
           "  Total: 5 entries (2 new; 1 kept because newer; 1 content kept, new time; 1 left alone), 1 skipped by its "
           "filter, 1 disc copy; 70 bytes written\n",
       }) {
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  }
  EXPECT_FALSE(Has(r.out, "Installation modes")) << r.out;  // two sets, two lists

  fs::remove(inst() / "SETUP.INI");
  r = Updpack({"plan", dir().string(), "--installed", inst().string(), "--inst-mode", "0"});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "holds no SETUP.INI: the updater stops before its wizard")) << r.out;
  EXPECT_TRUE(Has(r.out, "  UpdateFile03  d    40  2020-09-13 12:26:40")) << r.out;
  EXPECT_TRUE(Has(r.out, "(no copy of the data folder given (--data-path))")) << r.out;
}

// A folder, its package and an updater carrying it give the same plan.
TEST_F(PlanCommand, FolderPackageAndUpdater) {
  const fs::path package = folder_.path() / "update.fa3";
  Ran r = Updpack({"build", dir().string(), "-o", package.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  updtest::FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.reloc_after_rsrc = true;
  const updtest::Bytes stub = updtest::BuildFakePe(shape);
  std::ofstream(folder_.path() / "stub.exe", std::ios::binary)
      .write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(stub.size()));
  const fs::path updater = folder_.path() / "game_update.exe";
  r = Updpack({"embed", package.string(), "--stub", (folder_.path() / "stub.exe").string(), "-o", updater.string()});
  ASSERT_EQ(r.code, 0) << r.err;

  const Ran from_folder = Updpack({"plan", dir().string(), "--setup", Setup(), "--tsv"});
  EXPECT_EQ(from_folder.code, 0) << from_folder.err;
  EXPECT_EQ(FileColumn(from_folder.out, 8).size(), 6u) << from_folder.out;
  for (const fs::path& source : {package, updater}) {
    SCOPED_TRACE(source.filename().string());
    const Ran got = Updpack({"plan", source.string(), "--setup", Setup(), "--tsv"});
    EXPECT_EQ(got.code, 0) << got.err;
    EXPECT_EQ(got.out, from_folder.out);
    EXPECT_FALSE(Has(got.out, "XXH3"));  // the integrity record is no file of the update
  }
}

// Where the run stops, for a mode that exists: before writing anything, or at the entry.
TEST_F(PlanCommand, WhereTheRunStops) {
  struct Case {
    const char* name;
    std::vector<Edit> edits;
    std::vector<std::string> args;
    int code;
    std::string stop;  // the stop record, or empty
  };
  const std::string l300(300, 'L');
  // Every entry for mode 0 only.
  const std::vector<Edit> mode0 = {Set("UpdateFile00", "0,a.dat"),   Set("UpdateFile01", "0,b.dat"),
                                   Set("UpdateFile02", "0,c.dat"),   Set("UpdateFile03", "0,d.dat"),
                                   Set("UpdateFile04", "0,e.dat"),   Set("CopyFile00", "0,movie"),
                                   Set("CopyFile01", "0,bonus")};
  const std::vector<Case> cases = {
      {"Goes", {}, {"--inst-mode", "0"}, 0, ""},
      {"NothingForTheMode", mode0, {"--inst-mode", "7"}, 1, "stop\t7\t\tno UpdateFile or CopyFile entry applies"},
      // Without SETUP.INI or --inst-mode, a digit that gets nothing may be no installation's mode.
      {"NothingForADigit", mode0, {}, 0, "stop\t5\t\tno UpdateFile or CopyFile entry applies"},
      {"NothingForASet", mode0, {"--setup", "SETUP"}, 1, "stop\t1\t\tno UpdateFile or CopyFile entry applies"},
      {"MissingEntry", {Set("UpdateFile01", "z.dat")}, {"--inst-mode", "0"}, 1,
       "stop\t0\tUpdateFile01\tthe package holds no entry 'z.dat': the updater stops here"},
      {"RefusedValue", {Set("UpdateFile02", "0," + l300)}, {"--inst-mode", "0"}, 1,
       "stop\t0\tUpdateFile02\tthe updater refuses this value (an item is longer than 259 bytes)"},
      {"PathLeaves", {Set("UpdateFile02", "..\\c.dat")}, {"--inst-mode", "0"}, 1,
       "stop\t0\tUpdateFile02\tthe path '..\\c.dat' leaves the folder"},
      {"DataFolderLeaves", {Set("DataFolder", "..\\Save")}, {"--inst-mode", "0"}, 1,
       "stop\t0\t\tthe data folder '..\\Save' leaves the folder"},
      {"DiscNotADigit", {Set("CopyFile00", "x:movie")}, {"--inst-mode", "0"}, 1,
       "stop\t0\tCopyFile00\tthe updater refuses this value (the disc before ':' is not a digit)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni(c.edits);
    std::vector<std::string> args = {"plan", dir().string(), "--tsv"};
    for (const std::string& a : c.args) args.push_back(a == "SETUP" ? Setup() : a);
    const Ran r = Updpack(args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    if (c.stop.empty()) {
      EXPECT_FALSE(Has(r.out, "stop\t")) << r.out;
    } else {
      EXPECT_TRUE(Has(r.out, "\n" + c.stop)) << r.out;
    }
  }
  // For people, the same in words.
  WriteIni({Set("UpdateFile01", "z.dat")});
  const Ran r = Updpack({"plan", dir().string(), "--inst-mode", "0"});
  EXPECT_TRUE(Has(r.out, "  UpdateFile01  -     -  -                    written       FAILS         inst  Save\\z.dat  "
                         "(the package holds no entry 'z.dat')\n") ||
              Has(r.out, "The run stops at UpdateFile01: the package holds no entry 'z.dat': the updater stops here; "
                         "the entries before it stay written\n"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "not reached")) << r.out;
}

TEST_F(PlanCommand, UsageAndBadInput) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const std::string d = dir().string();
  WriteFile(folder_.path() / "junk.fa3", "not a package at all");
  const std::vector<Case> cases = {
      {"Nothing", {"plan"}, 2, "updpack plan: no folder or package\nTry 'updpack plan --help'."},
      {"Two", {"plan", d, d}, 2, "one folder or package only"},
      {"ModeNotANumber", {"plan", d, "--inst-mode", "x"}, 2, "--inst-mode needs a number of 0 or more, not 'x'"},
      {"ModeNegative", {"plan", d, "--inst-mode=-1"}, 2, "--inst-mode needs a number"},
      {"DataWithoutInstalled", {"plan", d, "--data-path", d}, 2, "--data-path goes with --installed"},
      {"UnknownOption", {"plan", d, "--all"}, 2, "unknown option --all"},
      {"InstalledNotAFolder", {"plan", d, "--installed", d + "/a.dat"}, 1, "a.dat is not a folder"},
      {"NoSuchPackage", {"plan", d + ".fa3"}, 1, "cannot read"},
      {"NotAPackage", {"plan", (folder_.path() / "junk.fa3").string()}, 1, "not a sound package"},
      {"SetupBroken", {"plan", d, "--setup", d + "/a.dat"}, 1, "a.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Ran r = Updpack(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_TRUE(Has(r.err, c.says)) << r.err;
    EXPECT_EQ(r.out, "");
  }
  fs::remove(dir() / "UPDATE.INI");
  Ran r = Updpack({"plan", d});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Has(r.err, "holds no UPDATE.INI")) << r.err;
  r = Updpack({"plan", "-h"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Has(r.out, "usage: updpack plan FOLDER|PACKAGE|UPDATER.exe")) << r.out;
}

}  // namespace
