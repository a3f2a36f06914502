// update.exe runs as administrator over a game folder that other users may write. These
// scenarios plant what such a user could: links in the folders the run writes through (Unix
// symbolic links stand in for junctions under Wine), a folder swapped while the wizard waits,
// paths that leave the installation, a save that is not what it seems, and a run killed in the
// middle of a large file. Every row: nothing is written outside the installation and data
// folders, and nothing of the run stays behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
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

// The Unix path of a Windows path, from Wine's own export (these scenarios run under Wine).
std::string UnixPath(const fs::path& path) {
  using Fn = char*(CDECL*)(LPCWSTR);
  const auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!fn) return {};
  char* unix_path = fn(path.c_str());
  if (!unix_path) return {};
  std::string out(unix_path);
  HeapFree(GetProcessHeap(), 0, unix_path);
  return out;
}

// Starts a Unix program (Wine runs them too) and waits until `done` holds. Wine does not follow
// a Unix program to its end, so the wait is for what the program makes.
bool RunUnix(const wchar_t* program, const std::wstring& args, const std::function<bool()>& done) {
  if (!win::ChildProcess::Start(program, args)) return false;
  for (int i = 0; i < 400; ++i) {
    if (done()) return true;
    Sleep(25);
  }
  return false;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  return W(std::u8string_view(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

// The links a scenario made, removed after it: the system's file calls under Wine cannot
// remove a link whose target has gone.
std::vector<fs::path>& Links() {
  static std::vector<fs::path> links;
  return links;
}

// Makes `link` a Unix symbolic link to the folder or file `target`, with the system's ln (Wine
// starts Unix programs too); a Windows process cannot make one under Wine 8.
bool MakeLink(const fs::path& link, const fs::path& target) {
  const std::string from = UnixPath(target), to = UnixPath(link);
  if (from.empty() || to.empty()) return false;
  // Wine's Unix paths are UTF-8.
  Links().push_back(link);
  return RunUnix(L"Z:\\bin\\ln", L"-sfn \"" + Utf8ToWide(from) + L"\" \"" + Utf8ToWide(to) + L"\"",
                 [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

void RemoveLinks() {
  for (const fs::path& link : Links()) {
    const std::string unix_path = UnixPath(link);
    if (unix_path.empty()) continue;
    RunUnix(L"Z:\\bin\\rm", L"-f \"" + Utf8ToWide(unix_path) + L"\"", [&] {
      WIN32_FIND_DATAW found{};
      HANDLE h = FindFirstFileW(link.c_str(), &found);
      if (h == INVALID_HANDLE_VALUE) return true;
      FindClose(h);
      return false;
    });
  }
  Links().clear();
}

// Whether another process holds `folder` so that it cannot be deleted or renamed (an open that
// asks to delete it meets a sharing violation).
bool IsHeld(const fs::path& folder) {
  HANDLE h = CreateFileW(folder.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Waits for the run's pin to show in the folder, then asks IsHeld once. Polling IsHeld itself
// would open the folder for deletion again and again, and could take the very moment the run
// opens it to hold it.
bool WaitHeld(const fs::path& folder) {
  const auto pinned = [&] {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(folder, ec)) {
      const std::wstring name = item.path().filename().wstring();
      if (name.starts_with(L"~upd") && name.ends_with(L".pin")) return true;
    }
    return false;
  };
  for (int i = 0; i < 4000; ++i) {
    if (pinned()) return IsHeld(folder);
    Sleep(5);
  }
  return false;
}

// The Unix stand-in for turning an empty folder into a mount point, which Windows allows on a
// folder that another process holds: the folder is removed and a link to `target` put in its
// place (Unix ignores the holder's sharing). True when the folder was turned; false when its
// removal failed (it is not empty), which is what a mount point needs too.
bool TurnIntoLink(const fs::path& folder, const fs::path& target) {
  const fs::path mark = folder.parent_path() / L"turn.mark";
  const fs::path turned = folder.parent_path() / L"turn.mark.turned";
  fs::remove(mark);
  fs::remove(turned);
  const std::string f = UnixPath(folder), t = UnixPath(target), m = UnixPath(mark);
  if (f.empty() || t.empty() || m.empty()) return false;
  const std::wstring script =
      L"rmdir \\\"$1\\\" 2>/dev/null && ln -s \\\"$2\\\" \\\"$1\\\" && touch \\\"$3.turned\\\"; touch \\\"$3\\\"";
  const bool ended = RunUnix(L"Z:\\bin\\sh",
                             L"-c \"" + script + L"\" sh \"" + Utf8ToWide(f) + L"\" \"" + Utf8ToWide(t) +
                                 L"\" \"" + Utf8ToWide(m) + L"\"",
                             [&] { return fs::exists(mark); });
  EXPECT_TRUE(ended) << "the stand-in did not end";
  const bool was_turned = fs::exists(turned);
  if (was_turned) Links().push_back(folder);
  fs::remove(mark);
  fs::remove(turned);
  return was_turned;
}

// Text-like bytes that compress well but take a while to unpack.
std::string Wordy(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"castle ", "dragon ", "sword ", "potion ", "the ", "of ",
                                       "level ", "save ", "quest ", "hero\r\n", "gold ", "map "};
  std::mt19937 random(seed);
  std::string out;
  out.reserve(size + 16);
  while (out.size() < size) out += kWords[random() % std::size(kWords)];
  out.resize(size);
  return out;
}

// The sizes of the run's replacement files (~upd*.tmp) in `folder` now.
std::vector<std::uint64_t> ReplacementFileSizes(const fs::path& folder) {
  std::vector<std::uint64_t> sizes;
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW((folder / L"~upd*.tmp").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return sizes;
  do {
    sizes.push_back(std::uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return sizes;
}

std::uint64_t LastWrite(const fs::path& p) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// What the installation holds afterwards: every file below `folder`, with its content.
std::vector<std::pair<std::wstring, std::string>> Tree(const fs::path& folder) {
  std::vector<std::pair<std::wstring, std::string>> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.emplace_back(fs::relative(it->path(), folder).wstring(), Text(it->path()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

class ElevatedRun : public UpdaterScenario {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    inst_ = base_ / W(u8"Café ほし");
    data_ = base_ / W(u8"データ");
    outside_ = base_ / L"protected";
    for (const fs::path& f : {inst_, data_, outside_}) fs::create_directories(f);
    // A file that only an administrator may change, where a planted link leads.
    WriteAll(outside_ / L"victim.dll", "system");
    protected_before_ = Tree(outside_);
  }
  void TearDown() override {
    RemoveLinks();
    UpdaterScenario::TearDown();
  }

  void InstallWithData(const std::string& setup_extra = "") {
    Install(inst_,
            {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Text(L"DataPath", data_.wstring()),
             RegValue::Dword(L"InstMode", 1)},
            SetupIni(setup_extra));
  }

  // The run, under way, refuses or fails an item: "ファイルの書き込みに失敗しました", then
  // "アップデートが中断されました" and exit code 0.
  void ExpectWriteFailure(ChildProcess& p) {
    ExpectBox(p, Caption(), J(u8"ファイルの書き込みに失敗しました"));
    ExpectBox(p, Caption(), J(u8"アップデートが中断されました"));
    EXPECT_EQ(p.Wait(kTimeout), std::optional<DWORD>(0));
  }

  // Through the start page to the confirm page.
  HWND ToConfirmPage(ChildProcess& p) {
    HWND w = WaitWizard(p);
    if (!w) return nullptr;
    Press(w, IDOK);
    return WaitInfo(w, J(u8"アップデートを実行します")) ? w : nullptr;
  }

  void ExpectNothingOutside() {
    EXPECT_EQ(Tree(outside_), protected_before_);
    EXPECT_FALSE(fs::exists(base_ / L"escape.txt"));
    EXPECT_FALSE(fs::exists(base_ / L"escape"));
    EXPECT_TRUE(fs::is_empty(temp_));
  }

  // The updater with a package of `files` (UPDATE.INI among them), compressed at the fast level.
  fs::path FastUpdater(const std::vector<updpack::PackageFile>& files) {
    updpack::PackageOptions options;
    options.level = updpack::Level::kFast;
    auto built = updpack::BuildPackage(files, options);
    EXPECT_TRUE(built.error.empty()) << built.error;
    return Updater(built.image);
  }

  static updpack::PackageFile Entry(const std::string& name, const std::string& content) {
    return {name, B(content), kPackageTime};
  }

  fs::path data_, outside_;
  std::vector<std::pair<std::wstring, std::string>> protected_before_;
};

// ---- Refused before anything is written ----

struct Refusal {
  const char* name;
  std::string data_folder;  // DataFolder of UPDATE.INI
  std::string later_items;  // [UPDATE] lines after FIRST.DAT
  // Plants a link; nothing to plant for a path that is refused by itself.
  std::function<bool(const fs::path& inst, const fs::path& data, const fs::path& outside)> plant;
};

class RefusedRun : public ElevatedRun, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedRun, NothingIsWrittenAnywhere) {
  const Refusal& row = GetParam();
  InstallWithData();
  if (row.plant) {
    ASSERT_TRUE(row.plant(inst_, data_, outside_)) << "could not plant the link";
  }
  const std::string setup = row.data_folder.empty() ? "" : "DataFolder=" + row.data_folder + "\r\n";
  const auto exe = Updater(Package(UpdateIni(setup, "UpdateFile00=FIRST.DAT\r\n" + row.later_items),
                                   {Entry("FIRST.DAT", "first"), Entry("victim.dll", "planted"),
                                    Entry("escape.txt", "out")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  ExpectWriteFailure(*p);
  // The first item is sound, yet not written: the run refused before its first write.
  EXPECT_FALSE(fs::exists(inst_ / L"FIRST.DAT"));
  EXPECT_FALSE(fs::exists(inst_ / L"save" / L"FIRST.DAT"));
  ExpectNothingOutside();
}

INSTANTIATE_TEST_SUITE_P(
    Links, RefusedRun,
    ::testing::Values(
        Refusal{"ItemSubfolder", "", "UpdateFile01=sub\\victim.dll\r\n",
                [](auto& inst, auto&, auto& out) { return MakeLink(inst / L"sub", out); }},
        Refusal{"DeeperSubfolder", "", "UpdateFile01=sub\\deeper\\victim.dll\r\n",
                [](auto& inst, auto&, auto& out) {
                  fs::create_directories(inst / L"sub");
                  return MakeLink(inst / L"sub" / L"deeper", out);
                }},
        Refusal{"DataFolder", "save", "UpdateFile01=d,victim.dll\r\n",
                [](auto&, auto& data, auto& out) { return MakeLink(data / L"save", out); }},
        Refusal{"DiscCopyDestination", "", "CopyFile00=1:movie\r\n",
                [](auto& inst, auto&, auto& out) { return MakeLink(inst / L"movie", out); }},
        Refusal{"DiscFileCopyFolder", "", "CopyFile00=movie\\victim.dll\r\n",
                [](auto& inst, auto&, auto& out) { return MakeLink(inst / L"movie", out); }}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedRun,
    ::testing::Values(Refusal{"ItemClimbsOut", "", "UpdateFile01=..\\escape.txt\r\n", {}},
                      Refusal{"ItemClimbsOutFromBelow", "", "UpdateFile01=a\\..\\..\\escape.txt\r\n", {}},
                      Refusal{"ItemAbsolute", "", "UpdateFile01=C:\\escape.txt\r\n", {}},
                      Refusal{"ItemStream", "", "UpdateFile01=x.dat:x\r\n", {}},
                      Refusal{"ItemDevice", "", "UpdateFile01=NUL.txt\r\n", {}},
                      Refusal{"ItemControlCharacter", "", "UpdateFile01=a\x01\\escape.txt\r\n", {}},
                      Refusal{"DataFolderClimbsOut", "..\\escape", "", {}},
                      Refusal{"CopyClimbsOut", "", "CopyFile00=..\\escape\r\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A folder swapped for a link while the confirm page waits: the run checks the folders when it
// starts, so the link is found, whoever made it and whenever.
TEST_F(ElevatedRun, FolderSwappedAtTheConfirmPageIsRefused) {
  InstallWithData();
  fs::create_directories(inst_ / L"sub");
  const auto exe = Updater(Package(UpdateIni("", "UpdateFile00=FIRST.DAT\r\nUpdateFile01=sub\\victim.dll\r\n"),
                                   {Entry("FIRST.DAT", "first"), Entry("victim.dll", "planted")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = ToConfirmPage(*p);
  ASSERT_TRUE(w);
  // Another program of the player's, a Windows process where sharing rules hold.
  ASSERT_TRUE(MoveFileW((inst_ / L"sub").c_str(), (inst_ / L"sub_old").c_str()));
  ASSERT_TRUE(MakeLink(inst_ / L"sub", outside_));
  Press(w, IDOK);
  ExpectWriteFailure(*p);
  EXPECT_FALSE(fs::exists(inst_ / L"FIRST.DAT"));
  ExpectNothingOutside();
}

// While the run waits for the disc, the folders it wrote through and will copy into are held:
// nobody can rename or remove them (to put a link in their place); once it ends, they are free.
TEST_F(ElevatedRun, FoldersAreHeldUntilTheRunEnds) {
  InstallWithData("DiskCheckFile2=no_such_disc_" + std::to_string(GetCurrentProcessId()) + "\r\n");
  fs::create_directories(inst_ / L"save" / L"sub");
  fs::create_directories(inst_ / L"movie");
  fs::create_directories(data_ / L"save");
  const auto exe = Updater(Package(
      UpdateIni("DataFolder=save\r\n",
                "UpdateFile00=sub\\A.DAT\r\nUpdateFile01=d,B.SAV\r\nCopyFile00=2:movie\r\n"),
      {Entry("A.DAT", "a"), Entry("B.SAV", "b")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "");
  ASSERT_TRUE(w);
  auto prompt = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(prompt) << "no disc prompt";
  EXPECT_EQ(Text(inst_ / L"save" / L"sub" / L"A.DAT"), "a");
  EXPECT_EQ(Text(data_ / L"save" / L"B.SAV"), "b");
  const std::vector<fs::path> held = {inst_ / L"save", inst_ / L"save" / L"sub", inst_ / L"movie",
                                      data_ / L"save", inst_, data_};
  for (const fs::path& folder : held) {
    SCOPED_TRACE(folder.string());
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder.wstring() + L"_moved").c_str()));
    EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
  }
  ExpectBox(*p, Caption(),
            J(u8"ＣＤ－ＲＯＭドライブに「") + title_ + J(u8"」ディスク 2 を入れて下さい"),
            win::IconKind::kNone, {IDOK, IDCANCEL}, IDCANCEL);
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  EXPECT_TRUE(MoveFileW((inst_ / L"movie").c_str(), (inst_ / L"movie_moved").c_str()));
  ExpectNothingOutside();
}

// ---- A held folder turned or swapped ----

// Two large items first, so that the run is still at work when a folder it holds is turned.
constexpr std::size_t kSlowItemBytes = 40u << 20;

struct Turned {
  const char* name;
  std::string setup;  // [SETUP] lines of UPDATE.INI
  std::string items;  // [UPDATE] lines after the two slow items
  // The folder turned once the run holds it (created empty before the run when `make`).
  std::function<fs::path(const fs::path& inst, const fs::path& data)> folder;
  bool make = true;
  const wchar_t* written;  // the file the item writes, below the folder turned
};

class TurnedFolder : public ElevatedRun, public ::testing::WithParamInterface<Turned> {};

// Whatever the run writes through the folder lands in it or nowhere: never where a link put in
// its place leads. With the run's pin in the folder, the stand-in cannot turn it at all, and
// the update finishes as it would have.
TEST_P(TurnedFolder, NothingIsWrittenWhereItLeads) {
  const Turned& row = GetParam();
  InstallWithData();
  WriteAll(data_ / L"KEPT.SAV", "player's save");
  const fs::path folder = row.folder(inst_, data_);
  if (row.make) fs::create_directories(folder);
  std::vector<updpack::PackageFile> files = {
      {"UPDATE.INI", B(UpdateIni(row.setup, "UpdateFile00=SLOW1.DAT\r\nUpdateFile01=SLOW2.DAT\r\n" + row.items)),
       kPackageTime},
      {"SLOW1.DAT", B(Wordy(kSlowItemBytes, 1)), kPackageTime},
      {"SLOW2.DAT", B(Wordy(kSlowItemBytes, 2)), kPackageTime},
      Entry("KEPT.SAV", "package save"),
      Entry("victim.dll", "planted")};
  auto p = Start(FastUpdater(files));
  ASSERT_TRUE(p);
  HWND w = ToConfirmPage(*p);
  ASSERT_TRUE(w);
  Press(w, IDOK);
  ASSERT_TRUE(WaitHeld(folder)) << "the run never held the folder";
  const bool turned = TurnIntoLink(folder, outside_);
  // The stand-in acted while the run was still at its slow items (a folder that holds the item
  // already cannot be turned): the row shows something.
  if (!turned) {
    ASSERT_FALSE(fs::exists(folder / row.written)) << "the run wrote the item before the stand-in acted";
  }
  if (turned) {
    ExpectWriteFailure(*p);
  } else {
    HWND done = WaitInfo(w, J(u8"アップデートは完了しました")) ? w : nullptr;
    ASSERT_TRUE(done);
    Press(w, IDOK);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
    EXPECT_EQ(Text(folder / row.written), "planted");
  }
  EXPECT_FALSE(turned) << "the folder held could be turned";
  ExpectNothingOutside();
  EXPECT_EQ(Text(data_ / L"KEPT.SAV"), "player's save");
}

INSTANTIATE_TEST_SUITE_P(
    Writes, TurnedFolder,
    ::testing::Values(
        // Written at its own turn: the item before it keeps a save, so nothing is begun ahead.
        Turned{"PlainItem", "", "UpdateFile02=d,KEPT.SAV\r\nUpdateFile03=sub\\victim.dll\r\n",
               [](auto& inst, auto&) { return inst / L"sub"; }, true, L"victim.dll"},
        // Begun beside its target while SLOW2.DAT is written.
        Turned{"EntryWrittenAhead", "", "UpdateFile02=sub\\victim.dll\r\n",
               [](auto& inst, auto&) { return inst / L"sub"; }, true, L"victim.dll"},
        // Below the data folder of UPDATE.INI (the slow items go below it in the installation).
        Turned{"DataItem", "DataFolder=save\r\n", "UpdateFile02=d,victim.dll\r\n",
               [](auto&, auto& data) { return data / L"save"; }, true, L"victim.dll"}),
    [](const auto& info) { return std::string(info.param.name); });

// The data folder itself, held from the launch checks on: turned while the start page waits.
TEST_F(ElevatedRun, DataFolderTurnedAtTheStartPageStaysHeld) {
  const fs::path data = base_ / L"data-empty";
  fs::create_directories(data);
  Install(inst_,
          {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Text(L"DataPath", data.wstring()),
           RegValue::Dword(L"InstMode", 1)},
          SetupIni());
  auto p = Start(Updater(Package(UpdateIni("", "UpdateFile00=d,victim.dll\r\n"), {Entry("victim.dll", "planted")})));
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  EXPECT_TRUE(IsHeld(data)) << "the data folder is not held while the wizard waits";
  const bool turned = TurnIntoLink(data, outside_);
  EXPECT_FALSE(turned) << "the data folder could be turned";
  Press(w, IDOK);
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
  Press(w, IDOK);
  if (turned) {
    ExpectWriteFailure(*p);
  } else {
    ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
    Press(w, IDOK);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
    EXPECT_EQ(Text(data / L"victim.dll"), "planted");
  }
  ExpectNothingOutside();
}

// The installation folder renamed while the start page waits, and a link to elsewhere put in
// its place: the folder is held from the launch checks on, so it cannot be renamed.
TEST_F(ElevatedRun, InstallationFolderCannotBeSwappedWhileTheWizardWaits) {
  InstallWithData();
  auto p = Start(Updater(Package(UpdateIni("", "UpdateFile00=victim.dll\r\n"), {Entry("victim.dll", "planted")})));
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  const fs::path moved = base_ / L"inst-moved";
  const bool swapped = MoveFileW(inst_.c_str(), moved.c_str()) != 0;
  EXPECT_FALSE(swapped) << "the installation folder could be renamed";
  if (swapped) {
    ASSERT_TRUE(MakeLink(inst_, outside_));
  }
  Press(w, IDOK);
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
  Press(w, IDOK);
  if (!swapped) {
    ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
    Press(w, IDOK);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
    EXPECT_EQ(Text(inst_ / L"victim.dll"), "planted");
  } else {
    p->Wait(kTimeout);
    RemoveLinks();
    MoveFileW(moved.c_str(), inst_.c_str());
  }
  ExpectNothingOutside();
}

// The disc's folder is copied into a folder the run holds; turned while the disc prompt waits,
// the copy would land where the link leads.
TEST_F(ElevatedRun, DiscCopyFolderTurnedAtThePromptStaysHeld) {
  const char* drive = std::getenv("UPD_CDROM");
  const char* dir = std::getenv("UPD_CDROM_DIR");
  if (!drive || !dir) GTEST_SKIP() << "no CD-ROM drive in this bench (UPD_CDROM)";
  const fs::path disc = fs::path(std::string(dir));
  const std::string check = "DISC1_" + std::to_string(GetCurrentProcessId()) + ".TAG";
  const auto eject = [&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(disc, ec)) fs::remove_all(e.path(), ec);
  };
  eject();
  InstallWithData("DiskCheckFile1=" + check + "\r\n");
  fs::create_directories(inst_ / L"movie");
  auto p = Start(Updater(Package(UpdateIni("", "UpdateFile00=A.DAT\r\nCopyFile00=1:movie\r\n"),
                                 {Entry("A.DAT", "a")})));
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "");
  ASSERT_TRUE(w);
  auto prompt = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(prompt) << "no disc prompt";
  ASSERT_TRUE(IsHeld(inst_ / L"movie"));
  const bool turned = TurnIntoLink(inst_ / L"movie", outside_);
  EXPECT_FALSE(turned) << "the copy's folder could be turned";
  WriteAll(disc / std::wstring(check.begin(), check.end()), "disc 1");
  fs::create_directories(disc / L"movie");
  WriteAll(disc / L"movie" / L"victim.dll", "from the disc");
  ExpectBox(*p, Caption(), J(u8"ＣＤ－ＲＯＭドライブに「") + title_ + J(u8"」ディスク 1 を入れて下さい"),
            win::IconKind::kNone, {IDOK, IDCANCEL}, IDOK);
  if (!turned) {
    ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
    Press(w, IDOK);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
    EXPECT_EQ(Text(inst_ / L"movie" / L"victim.dll"), "from the disc");
  } else {
    p->Wait(kTimeout);
  }
  eject();
  ExpectNothingOutside();
}

// ---- The player's save (mode d) ----

// A save that is a link to a file elsewhere (a symbolic link, or a second name of that file) is
// neither read nor touched there, and the item fails; the save's target keeps its content and
// time.
TEST_F(ElevatedRun, SaveThatIsALinkIsLeftAlone) {
  const std::pair<const char*, std::function<bool(const fs::path&, const fs::path&)>> kinds[] = {
      {"symbolic link", [](const fs::path& link, const fs::path& target) { return MakeLink(link, target); }},
      {"second name", [](const fs::path& link, const fs::path& target) {
         return CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != 0;
       }}};
  for (const auto& [kind, make_link] : kinds) {
    SCOPED_TRACE(kind);
    InstallWithData();
    const std::uint64_t victim_time = LastWrite(outside_ / L"victim.dll");
    ASSERT_TRUE(make_link(data_ / L"KEEP.SAV", outside_ / L"victim.dll"));
    const auto exe = Updater(Package(UpdateIni("", "UpdateFile00=FIRST.DAT\r\nUpdateFile01=d,KEEP.SAV\r\n"),
                                     {Entry("FIRST.DAT", "first"), Entry("KEEP.SAV", "package save")}));
    auto p = Start(exe);
    ASSERT_TRUE(p);
    ASSERT_TRUE(RunUntil(*p, ""));
    ExpectWriteFailure(*p);
    EXPECT_EQ(Text(inst_ / L"FIRST.DAT"), "first");  // written before the save's item
    EXPECT_EQ(LastWrite(outside_ / L"victim.dll"), victim_time);
    ExpectNothingOutside();
    RemoveLinks();
    DeleteFileW((data_ / L"KEEP.SAV").c_str());
    DeleteFileW((inst_ / L"FIRST.DAT").c_str());
  }
}

// A save too large to be read into memory keeps its content and takes the update's time: a
// kept save is never read into memory, so a lack of memory cannot turn into writing the
// package's file over it. The file is sparse: 15 TiB that take no room on the disk.
TEST_F(ElevatedRun, SaveTooLargeForMemoryIsKept) {
  InstallWithData();
  const fs::path save = data_ / L"KEEP.SAV";
  constexpr LONGLONG kSize = 15LL << 40;
  const std::string head = "player's save";
  const auto size_and_head = [&]() -> std::pair<LONGLONG, std::string> {
    HANDLE h = CreateFileW(save.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {-1, {}};
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    std::string bytes(head.size(), '\0');
    DWORD got = 0;
    ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(h);
    return {size.QuadPart, bytes.substr(0, got)};
  };
  {
    HANDLE h = CreateFileW(save.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, head.data(), static_cast<DWORD>(head.size()), &written, nullptr);
    LARGE_INTEGER end{};
    end.QuadPart = kSize;
    const bool sized = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    if (!sized) GTEST_SKIP() << "the file system takes no file of 15 TiB";
  }
  const std::uint64_t before = LastWrite(save);
  const auto exe = Updater(Package(UpdateIni("", "UpdateFile00=d,KEEP.SAV\r\n"),
                                   {Entry("KEEP.SAV", "package save")}));
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, J(u8"アップデートは完了しました"));
  ASSERT_TRUE(w);
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
  EXPECT_EQ(size_and_head(), std::make_pair(kSize, head));
  EXPECT_GT(LastWrite(save), before);
}

// A save that exists but cannot be read now (the game holds it) is never overwritten from the
// package: the item fails and the save stays as it was.
struct HeldSave {
  const char* name;
  DWORD access;
  DWORD sharing;
};

class SaveHeldByTheGame : public ElevatedRun, public ::testing::WithParamInterface<HeldSave> {};

TEST_P(SaveHeldByTheGame, IsNeverOverwritten) {
  InstallWithData();
  WriteAll(data_ / L"KEEP.SAV", "player's save");
  const auto exe = Updater(Package(UpdateIni("", "UpdateFile00=d,KEEP.SAV\r\n"),
                                   {Entry("KEEP.SAV", "package save")}));
  HANDLE game = CreateFileW((data_ / L"KEEP.SAV").c_str(), GetParam().access, GetParam().sharing, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(game, INVALID_HANDLE_VALUE);
  auto p = Start(exe);
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  ExpectWriteFailure(*p);
  CloseHandle(game);
  EXPECT_EQ(Text(data_ / L"KEEP.SAV"), "player's save");
  EXPECT_EQ(Tree(data_).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Sharing, SaveHeldByTheGame,
    ::testing::Values(HeldSave{"WithoutSharing", GENERIC_READ | GENERIC_WRITE, 0},
                      // The game writes its save and lets others rename or delete it: a new file
                      // could be moved over it, so only the refusal to read keeps it.
                      HeldSave{"WrittenWithDeleteSharing", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The streamed run ----

// A save that the game writes while the run writes the package's file for it (it was not there
// when the run looked) keeps its content: the package's file never replaces it.
TEST_F(ElevatedRun, SaveThatAppearsDuringItsItemIsKept) {
  InstallWithData();
  const std::string package_save = Wordy(kSlowItemBytes, 3);
  std::vector<updpack::PackageFile> files = {
      {"UPDATE.INI", B(UpdateIni("", "UpdateFile00=FIRST.DAT\r\nUpdateFile01=d,KEEP.SAV\r\n")), kPackageTime},
      Entry("FIRST.DAT", "first"),
      {"KEEP.SAV", B(package_save), kPackageTime}};
  auto p = Start(FastUpdater(files));
  ASSERT_TRUE(p);
  HWND w = ToConfirmPage(*p);
  ASSERT_TRUE(w);
  Press(w, IDOK);
  // The run's file for the save, begun once it found no save.
  bool begun = false;
  for (int i = 0; i < 2000000 && !begun && p->Running(); ++i) {
    begun = !ReplacementFileSizes(data_).empty();
  }
  ASSERT_TRUE(begun) << "the run's file for the save never showed";
  HANDLE save = CreateFileW((data_ / L"KEEP.SAV").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(save, INVALID_HANDLE_VALUE) << "the run had moved its file before the game saved";
  DWORD written = 0;
  WriteFile(save, "game's save", 11, &written, nullptr);
  CloseHandle(save);
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました")));
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
  EXPECT_EQ(Text(data_ / L"KEEP.SAV"), "game's save");
  EXPECT_EQ(Tree(data_).size(), 1u);
  ExpectNothingOutside();
}

// A data folder that is not there when the run starts is made by the run, held, and written.
TEST_F(ElevatedRun, DataFolderMadeByTheRunIsWritten) {
  const fs::path data = data_ / L"new";
  Install(inst_,
          {RegValue::Text(L"InstPath", inst_.wstring()), RegValue::Text(L"DataPath", data.wstring()),
           RegValue::Dword(L"InstMode", 1)},
          SetupIni());
  auto p = Start(Updater(Package(UpdateIni("", "UpdateFile00=plain.dat\r\nUpdateFile01=d,save.dat\r\n"),
                                 {Entry("plain.dat", "plain"), Entry("save.dat", "first save")})));
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, J(u8"アップデートは完了しました"));
  ASSERT_TRUE(w);
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
  EXPECT_EQ(Text(inst_ / L"plain.dat"), "plain");
  EXPECT_EQ(Text(data / L"save.dat"), "first save");
  ExpectNothingOutside();
}

// An item that fails while the next one is begun beside its target: by the time the player sees
// the box, nothing is being written any more and the begun file is gone.
TEST_F(ElevatedRun, NothingIsWrittenAheadWhileTheFailureBoxWaits) {
  InstallWithData();
  fs::create_directories(inst_ / L"A.DAT");  // a folder in the first item's place fails it
  std::vector<updpack::PackageFile> files = {
      {"UPDATE.INI", B(UpdateIni("", "UpdateFile00=A.DAT\r\nUpdateFile01=BIG.DAT\r\n")), kPackageTime},
      Entry("A.DAT", "a"),
      {"BIG.DAT", B(Wordy(kSlowItemBytes, 4)), kPackageTime}};
  auto p = Start(FastUpdater(files));
  ASSERT_TRUE(p);
  ASSERT_TRUE(RunUntil(*p, ""));
  auto box = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(box) << "no failure box";
  EXPECT_TRUE(ReplacementFileSizes(inst_).empty()) << "a file is written behind the box";
  ExpectWriteFailure(*p);
  EXPECT_FALSE(fs::exists(inst_ / L"BIG.DAT"));
  ExpectNothingOutside();
}

// ---- A run killed in the middle of a large file ----

// Killed while large items are written (replacement files are there: the item being written and,
// for compressed items, the next one begun beside its target), the run leaves no replacement
// file and no temporary UPDATE.INI; the next run finishes the update.
TEST_F(ElevatedRun, KilledRunLeavesNothingAndTheNextRunFinishes) {
  struct Row {
    const char* what;
    bool store;
    std::vector<std::string> names;
    std::size_t files_seen;  // replacement files with bytes in them when the run is killed
  };
  const Row rows[] = {
      {"one stored file being written", true, {"BIG.DAT"}, 1},
      {"a compressed file written and the next begun", false, {"BIG.DAT", "BIG2.DAT", "BIG3.DAT"}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    InstallWithData();
    std::mt19937 random(20261210);  // fixed seed: the content only needs to be incompressible
    std::vector<updpack::PackageFile> files;
    std::vector<std::string> contents;
    std::string items;
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::wstring name(row.names[i].begin(), row.names[i].end());
      WriteAll(inst_ / name, "old");
      std::string content(48u << 20, '\0');
      if (row.store) {
        for (char& c : content) c = static_cast<char>(random());
      } else {
        content = Wordy(content.size(), static_cast<std::uint32_t>(i));
      }
      char key[32];
      std::snprintf(key, sizeof key, "UpdateFile%02zu=", i);
      items += key + row.names[i] + "\r\n";
      contents.push_back(content);
      files.push_back({row.names[i], B(content), kPackageTime});
    }
    files.insert(files.begin(), {"UPDATE.INI", B(UpdateIni("", items)), kPackageTime});
    updpack::PackageOptions options;
    options.store = row.store;
    options.level = updpack::Level::kFast;
    auto built = updpack::BuildPackage(files, options);
    ASSERT_TRUE(built.error.empty()) << built.error;
    const auto exe = Updater(built.image);

    auto p = Start(exe);
    ASSERT_TRUE(p);
    HWND w = ToConfirmPage(*p);
    ASSERT_TRUE(w);
    Press(w, IDOK);
    // Once enough replacement files hold some of their bytes (each is marked for deletion before
    // its first byte), the run is ended: while they are written, flushed, or before a move.
    bool seen = false;
    for (int i = 0; i < 2000000 && !seen && p->Running(); ++i) {
      const auto sizes = ReplacementFileSizes(inst_);
      const auto with_bytes = static_cast<std::size_t>(
          std::count_if(sizes.begin(), sizes.end(), [](std::uint64_t size) { return size > 0; }));
      seen = with_bytes >= row.files_seen;
    }
    ASSERT_TRUE(seen) << "the replacement files never showed";
    ASSERT_TRUE(p->Kill());
    EXPECT_EQ(Tree(inst_).size(), 1 + row.names.size()) << "more than SETUP.INI and the items";
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      const std::string after_kill = Text(inst_ / std::wstring(row.names[i].begin(), row.names[i].end()));
      EXPECT_TRUE(after_kill == "old" || after_kill == contents[i]) << row.names[i] << " torn";
    }
    EXPECT_TRUE(fs::is_empty(temp_));

    auto again = Start(exe);
    ASSERT_TRUE(again);
    HWND w2 = RunUntil(*again, J(u8"アップデートは完了しました"));
    ASSERT_TRUE(w2);
    Press(w2, IDOK);
    EXPECT_EQ(again->Wait(kTimeout), std::optional<DWORD>(1));
    for (std::size_t i = 0; i < row.names.size(); ++i) {
      EXPECT_TRUE(Text(inst_ / std::wstring(row.names[i].begin(), row.names[i].end())) == contents[i])
          << row.names[i];
    }
    EXPECT_EQ(Tree(inst_).size(), 1 + row.names.size());
    EXPECT_TRUE(fs::is_empty(temp_));
    for (const std::string& name : row.names) fs::remove(inst_ / std::wstring(name.begin(), name.end()));
  }
}

}  // namespace
}  // namespace updtest::e2e
