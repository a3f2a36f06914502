// update.exe carrying out updates: every mode, overwrite-only, subfolders, a missing entry, the
// lists it refuses, and the copies from the game's disc on a Wine CD-ROM drive. The files are
// checked afterwards: bytes, last-write times, attributes. The installation folder is named
// "Café ほし", which no single ANSI code page spells; the suite runs under both locales.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "scenario.h"

namespace updtest::e2e {
namespace {

namespace fs = std::filesystem;

std::string Text(const fs::path& p) {
  const Bytes b = ReadAll(p);
  return std::string(b.begin(), b.end());
}

std::uint64_t LastWrite(const fs::path& p) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

void SetLastWrite(const fs::path& p, std::uint64_t t) {
  HANDLE h = CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
}

std::uint64_t Now() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

constexpr std::uint64_t kOld = kPackageTime - 10'000'000ull * 86400;  // a day before the entries
constexpr std::uint64_t kNew = kPackageTime + 10'000'000ull * 86400;  // a day after

class UpdateRun : public UpdaterScenario {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    inst_ = base_ / W(u8"Café ほし");
    data_ = base_ / W(u8"データ");
    fs::create_directories(inst_);
    fs::create_directories(data_);
  }

  void InstallWithData(std::uint32_t mode = 0, const std::string& setup_extra = "") {
    Install(inst_,
            {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Text(L"DataPath", data_.wstring()),
             RegValue::Dword(L"InstMode", mode)},
            SetupIni(setup_extra));
  }

  // The whole update, to the finished page and "完了": exit code 1.
  void RunToTheEnd(ChildProcess& p) {
    HWND w = RunUntil(p, J(u8"アップデートは完了しました"));
    ASSERT_TRUE(w) << "the run did not finish";
    const WizardView v = ReadWizard(w);
    EXPECT_EQ(win::ToCp932(v.next.text), J(u8"完了"));
    EXPECT_TRUE(v.next.enabled);
    EXPECT_FALSE(v.back.enabled);
    EXPECT_FALSE(v.abort.enabled);
    Press(w, IDOK);
    EXPECT_EQ(p.Wait(kTimeout), std::optional<DWORD>(1));
    EXPECT_TRUE(fs::is_empty(temp_));
  }

  // The run stops after `boxes`, then "アップデートが中断されました": exit code 0.
  void RunToFailure(ChildProcess& p, const std::vector<std::string>& boxes) {
    ASSERT_TRUE(RunUntil(p, ""));
    for (const std::string& b : boxes) ExpectBox(p, Caption(), b);
    ExpectBox(p, Caption(), J(u8"アップデートが中断されました"));
    EXPECT_EQ(p.Wait(kTimeout), std::optional<DWORD>(0));
  }

  static updpack::PackageFile Entry(const std::string& name, const std::string& content) {
    return {name, B(content), kPackageTime};
  }

  fs::path data_;
};

TEST_F(UpdateRun, EveryModeWritesWhatItShould) {
  InstallWithData(0);
  // Existing files before the update.
  WriteAll(inst_ / L"NEWER.DAT", "kept newer");
  SetLastWrite(inst_ / L"NEWER.DAT", kNew);
  WriteAll(inst_ / L"OLDER.DAT", "replaced older");
  SetLastWrite(inst_ / L"OLDER.DAT", kOld);
  WriteAll(data_ / L"KEEP.SAV", "player's save");
  SetLastWrite(data_ / L"KEEP.SAV", kOld);
  WriteAll(inst_ / L"OVER.DAT", "old over");
  fs::create_directories(inst_ / L"FOLDER.DAT");
  fs::create_directories(inst_ / L"sub");

  const std::string update =
      "UpdateFile00=PLAIN.DAT\r\n"
      "UpdateFile01=U,NEWER.DAT\r\n"
      "UpdateFile02=u,OLDER.DAT\r\n"
      "UpdateFile03=d,KEEP.SAV\r\n"
      "UpdateFile04=D,NEW.SAV\r\n"
      "UpdateFile05=o,MISSING.DAT\r\n"
      "UpdateFile06=o,FOLDER.DAT\r\n"
      "UpdateFile07=o,OVER.DAT\r\n"
      "UpdateFile08=sub\\" + J(u8"表.DAT") + "\r\n"   // a 0x5C trail byte in the entry's name
      "UpdateFile09=1,ONLY1.DAT\r\n"                 // filtered out: does not end the list
      "UpdateFile10=0,ONLY0.DAT\r\n";
  const auto exe = Updater(Package(
      UpdateIni("", update),
      {Entry("PLAIN.DAT", "plain"), Entry("NEWER.DAT", "pkg newer"), Entry("OLDER.DAT", "pkg older"),
       Entry("KEEP.SAV", "pkg save"), Entry("NEW.SAV", "pkg new save"),
       Entry("MISSING.DAT", "pkg missing"), Entry("FOLDER.DAT", "pkg folder"),
       Entry("OVER.DAT", "pkg over"), Entry(J(u8"表.DAT"), "hyou"), Entry("ONLY1.DAT", "one"),
       Entry("ONLY0.DAT", "zero")}));
  const std::uint64_t before = Now();
  auto p = Start(exe);
  ASSERT_TRUE(p);
  RunToTheEnd(*p);

  EXPECT_EQ(Text(inst_ / L"PLAIN.DAT"), "plain");
  EXPECT_EQ(LastWrite(inst_ / L"PLAIN.DAT"), kPackageTime);
  EXPECT_EQ(Text(inst_ / L"NEWER.DAT"), "kept newer");
  EXPECT_EQ(LastWrite(inst_ / L"NEWER.DAT"), kNew);
  EXPECT_EQ(Text(inst_ / L"OLDER.DAT"), "pkg older");
  EXPECT_EQ(LastWrite(inst_ / L"OLDER.DAT"), kPackageTime);
  // Mode d: below DataPath; the existing save keeps its content, with the time of the update;
  // the new one is the entry.
  EXPECT_EQ(Text(data_ / L"KEEP.SAV"), "player's save");
  EXPECT_GE(LastWrite(data_ / L"KEEP.SAV") + 20'000'000ull, before);
  EXPECT_EQ(Text(data_ / L"NEW.SAV"), "pkg new save");
  EXPECT_FALSE(fs::exists(inst_ / L"KEEP.SAV"));
  EXPECT_FALSE(fs::exists(inst_ / L"NEW.SAV"));
  // Mode o: only over an existing file.
  EXPECT_FALSE(fs::exists(inst_ / L"MISSING.DAT"));
  EXPECT_TRUE(fs::is_directory(inst_ / L"FOLDER.DAT"));
  EXPECT_EQ(Text(inst_ / L"OVER.DAT"), "pkg over");
  EXPECT_EQ(Text(inst_ / L"sub" / W(u8"表.DAT")), "hyou");
  EXPECT_FALSE(fs::exists(inst_ / L"ONLY1.DAT"));
  EXPECT_EQ(Text(inst_ / L"ONLY0.DAT"), "zero");
}

// DataFolder is joined below the base folder of every mode, and only that one level is made.
TEST_F(UpdateRun, DataFolderIsCreatedOneLevelOnly) {
  InstallWithData(0);
  const auto exe = Updater(Package(
      UpdateIni("DataFolder=newdata\r\n", "UpdateFile00=A.DAT\r\nUpdateFile01=d,B.SAV\r\n"),
      {Entry("A.DAT", "a"), Entry("B.SAV", "b")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  RunToTheEnd(*p);
  EXPECT_EQ(Text(inst_ / L"newdata" / L"A.DAT"), "a");
  EXPECT_EQ(Text(data_ / L"newdata" / L"B.SAV"), "b");
  EXPECT_FALSE(fs::exists(inst_ / L"A.DAT"));
}

TEST_F(UpdateRun, OverwriteOnlyWritesOnlyOverExistingFiles) {
  InstallWithData(0);
  WriteAll(inst_ / L"THERE.DAT", "old");
  const auto exe = Updater(Package(
      UpdateIni("", "OverwriteOnly=1\r\nUpdateFile00=THERE.DAT\r\nUpdateFile01=NOTTHERE.DAT\r\n"),
      {Entry("THERE.DAT", "new"), Entry("NOTTHERE.DAT", "x")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  RunToTheEnd(*p);
  EXPECT_EQ(Text(inst_ / L"THERE.DAT"), "new");
  EXPECT_FALSE(fs::exists(inst_ / L"NOTTHERE.DAT"));
}

TEST_F(UpdateRun, FailuresEndTheRunAndKeepWhatWasWritten) {
  InstallWithData(0);
  struct Row {
    const char* name;
    std::string update;
    std::vector<std::string> boxes;
    bool first_written;
  };
  const std::string write_failed = J(u8"ファイルの書き込みに失敗しました");
  const Row rows[] = {
      {"a subfolder that does not exist", "UpdateFile00=A.DAT\r\nUpdateFile01=nosub\\B.DAT\r\n",
       {write_failed}, true},
      {"a folder in the target's place", "UpdateFile00=A.DAT\r\nUpdateFile01=FOLDER.DAT\r\n",
       {write_failed}, true},
      {"an entry the package lacks", "UpdateFile00=A.DAT\r\nUpdateFile01=LOST.DAT\r\n",
       {"Can't Find File in Resource !!", write_failed}, true},
      {"no applicable entry", "UpdateFile00=3,A.DAT\r\nCopyFile00=3,movie\r\n",
       {"No 'UpdateFileXX' and 'CopyFileXX'"}, false},
      // A cut item would name another file: refused before anything is written.
      {"an item over 259 bytes after the first",
       "UpdateFile00=A.DAT\r\nUpdateFile01=u," + std::string(300, 'L') + "\r\n", {write_failed}, false},
  };
  fs::create_directories(inst_ / L"FOLDER.DAT");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove(inst_ / L"A.DAT");
    auto p = Start(Updater(Package(UpdateIni("", r.update),
                                   {Entry("A.DAT", "a"), Entry("B.DAT", "b"), Entry("FOLDER.DAT", "f")})));
    ASSERT_TRUE(p);
    RunToFailure(*p, r.boxes);
    EXPECT_EQ(fs::exists(inst_ / L"A.DAT"), r.first_written);
    EXPECT_TRUE(fs::is_empty(temp_));
  }
}

// Paths the run cannot have are refused before anything is written: a data item without a data
// folder (a relative path would land wherever the updater was started), and a target longer
// than the path width (a cut path would name another file).
TEST_F(UpdateRun, UnusablePathsAreRefusedBeforeAnythingIsWritten) {
  struct Row {
    const char* name;
    bool data_path;
    std::string update;
  };
  const Row rows[] = {
      {"mode d without DataPath", false, "UpdateFile00=A.DAT\r\nUpdateFile01=d,B.SAV\r\n"},
      {"target over the path width", true,
       "UpdateFile00=A.DAT\r\nUpdateFile01=" + std::string(230, 'P') + "\\" + std::string(20, 'Q') +
           "\r\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::wstring key = L"Software\\" + std::wstring(company_.begin(), company_.end());
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (r.data_path) {
      InstallWithData(0);
    } else {
      InstallStandard(0);
    }
    auto p = Start(Updater(Package(UpdateIni("", r.update), {Entry("A.DAT", "a"), Entry("B.SAV", "b")})));
    ASSERT_TRUE(p);
    RunToFailure(*p, {J(u8"ファイルの書き込みに失敗しました")});
    EXPECT_FALSE(fs::exists(inst_ / L"A.DAT"));
  }
}

// ---- The game's disc ----

class DiscRun : public UpdateRun {
 protected:
  void SetUp() override {
    UpdateRun::SetUp();
    const char* drive = std::getenv("UPD_CDROM");
    const char* dir = std::getenv("UPD_CDROM_DIR");
    if (!drive || !dir) GTEST_SKIP() << "no CD-ROM drive in this bench (UPD_CDROM)";
    drive_ = std::string(drive) + "\\";
    disc_ = fs::path(std::string(dir));
    ASSERT_EQ(GetDriveTypeA(drive_.c_str()), static_cast<UINT>(DRIVE_CDROM));
    Eject();
    // A check file of this process's own: a disc of another scenario never passes for ours.
    check_ = "DISC2_" + std::to_string(GetCurrentProcessId()) + ".TAG";
  }
  void TearDown() override {
    if (!disc_.empty()) Eject();
    UpdateRun::TearDown();
  }
  void Eject() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(disc_, ec)) {
      SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
      fs::remove_all(e.path(), ec);
    }
  }
  // Disc 2 of the game: its check file, one read-only file, a folder and a few patterned files.
  void InsertDisc() {
    WriteAll(disc_ / check_, "disc 2");
    WriteAll(disc_ / L"INTRO.AVI", "intro");
    SetFileAttributesW((disc_ / L"INTRO.AVI").c_str(), FILE_ATTRIBUTE_READONLY);
    fs::create_directories(disc_ / L"movie");
    WriteAll(disc_ / L"movie" / L"M1.AVI", "m1");
    WriteAll(disc_ / L"movie" / L"M2.AVI", "m2");
    fs::create_directories(disc_ / L"voice");
    WriteAll(disc_ / L"voice" / L"V1.OGG", "v1");
    WriteAll(disc_ / L"voice" / L"V2.OGG", "v2");
    WriteAll(disc_ / L"voice" / L"NOTE.TXT", "n");
  }
  std::string InsertDiscText() {
    return J(u8"ＣＤ－ＲＯＭドライブに「") + title_ + J(u8"」ディスク 2 を入れて下さい");
  }

  std::string drive_;
  fs::path disc_;
  std::string check_;
};

TEST_F(DiscRun, PromptUntilTheDiscIsInThenFileFolderAndPatternCopies) {
  InstallWithData(0, "DiskCheckFile2=" + check_ + "\r\n");
  const auto exe = Updater(Package(UpdateIni(
      "", "UpdateFile00=A.DAT\r\nCopyFile00=2:INTRO.AVI\r\nCopyFile01=movie\r\n"
          "CopyFile02=voice\\*.OGG\r\nCopyFile03=1,2:ONLY1.AVI\r\n"),
      {Entry("A.DAT", "a")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "");
  ASSERT_TRUE(w);
  // The disc is not in: the prompt, no icon, OK and Cancel. The entries are already written.
  auto box = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(box);
  auto view = win::ReadMessageBox(box->hwnd);
  ASSERT_TRUE(view);
  EXPECT_EQ(win::ToCp932(view->caption), Caption());
  EXPECT_EQ(win::ToCp932(view->text), InsertDiscText());
  EXPECT_STREQ(win::IconName(view->icon), "none");
  EXPECT_EQ(Text(inst_ / L"A.DAT"), "a");
  // Abort while the run waits on the prompt does nothing.
  ASSERT_TRUE(win::PressButton(w, IDCANCEL));
  // OK without the disc asks again; with the disc in, OK finds it.
  ASSERT_TRUE(win::PressButton(box->hwnd, IDOK));
  ASSERT_TRUE(win::WaitGone(box->hwnd, kTimeout));
  auto again = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(again);
  EXPECT_EQ(win::ToCp932(win::ReadMessageBox(again->hwnd)->text), InsertDiscText());
  InsertDisc();
  ASSERT_TRUE(win::PressButton(again->hwnd, IDOK));
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));

  EXPECT_EQ(Text(inst_ / L"INTRO.AVI"), "intro");
  EXPECT_EQ(GetFileAttributesW((inst_ / L"INTRO.AVI").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(Text(inst_ / L"movie" / L"M1.AVI"), "m1");
  EXPECT_EQ(Text(inst_ / L"movie" / L"M2.AVI"), "m2");
  EXPECT_EQ(Text(inst_ / L"V1.OGG"), "v1");
  EXPECT_EQ(Text(inst_ / L"V2.OGG"), "v2");
  EXPECT_FALSE(fs::exists(inst_ / L"NOTE.TXT"));
  EXPECT_FALSE(fs::exists(inst_ / L"ONLY1.AVI"));
}

// An item without a disc before any disc search: the disc of DiskCheckFile0, without asking.
TEST_F(DiscRun, ItemWithoutDiscUsesTheDiscOfCheckFileZero) {
  InsertDisc();
  InstallWithData(0, "DiskCheckFile0=" + check_ + "\r\n");
  auto p = Start(Updater(Package(UpdateIni("", "CopyFile00=INTRO.AVI\r\n"))));
  ASSERT_TRUE(p);
  RunToTheEnd(*p);
  EXPECT_EQ(Text(inst_ / L"INTRO.AVI"), "intro");
}

TEST_F(DiscRun, CancelInThePromptEndsTheRunKeepingTheEntries) {
  InstallWithData(0, "DiskCheckFile2=" + check_ + "\r\n");
  auto p = Start(Updater(Package(UpdateIni("", "UpdateFile00=A.DAT\r\nCopyFile00=2:INTRO.AVI\r\n"),
                                 {Entry("A.DAT", "a")})));
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  ExpectBox(*p, Caption(), InsertDiscText(), win::IconKind::kNone, {IDOK, IDCANCEL}, IDCANCEL);
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  EXPECT_EQ(Text(inst_ / L"A.DAT"), "a");
}

TEST_F(DiscRun, AFailedCopySaysWhichPath) {
  InsertDisc();
  InstallWithData(0, "DiskCheckFile2=" + check_ + "\r\n");
  auto p = Start(Updater(Package(UpdateIni("", "CopyFile00=2:nothing\\here\r\n"))));
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  ExpectBox(*p, Caption(), J(u8"SETUP.INI : \"nothing\\here\" のコピーに失敗しました"));
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace updtest::e2e
