// Extraction of entries to files: time stamps, the keep-newer test, attributes, folders in the
// way, the free-space test, and writes that cannot complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "package/entry_access.h"
#include "platform/held_folders.h"
#include "platform/file_system.h"
#include "platform/handles.h"
#include "package_test_support.h"
#include "space_hooks.h"
#include "win/ui_driver.h"

namespace {

using pkgtest::Boxes;
using pkgtest::Bytes;
using pkgtest::kStamp;
using pkgtest::Listing;
using pkgtest::ReadFileBytes;
using pkgtest::ReadTimes;
using pkgtest::RunPackage;
using pkgtest::ScratchFolder;
using pkgtest::SpaceHooks;
using pkgtest::SpaceScript;
using pkgtest::Times;
using updtest::Compressed;
using updtest::History;
using updtest::StoredBytes;

using Names = std::vector<std::wstring>;

const std::string kNotFound(upd::texts::kEntryNotFoundMessage);

Bytes Content(const char* text) { return Bytes(text, text + std::strlen(text)); }

TEST(ExtractPackageEntry, WritesTheEntryWithItsTimeStamp) {
  const Bytes stored = History(5000, 1), packed = History(3000, 2);
  RunPackage pkg({StoredBytes("STORED.BIN", stored, kStamp),
                  Compressed("PACKED.BIN", packed, kStamp + 1),
                  StoredBytes("EMPTY.TXT", {}, kStamp + 2)});
  ASSERT_TRUE(pkg.loaded());
  ScratchFolder folder(L"extract");
  struct Row {
    const char* name;
    Bytes content;
    std::uint64_t stamp;
  };
  const Row rows[] = {{"STORED.BIN", stored, kStamp},
                      {"PACKED.BIN", packed, kStamp + 1},
                      {"EMPTY.TXT", {}, kStamp + 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto target = folder / std::wstring(row.name, row.name + std::strlen(row.name));
    ASSERT_TRUE(upd::ExtractPackageEntry(row.name, target, false));
    // Times first: reading the content may move the last-access time.
    EXPECT_EQ(ReadTimes(target), (Times{row.stamp, row.stamp, row.stamp}));
    EXPECT_EQ(ReadFileBytes(target), row.content);
    EXPECT_EQ(pkgtest::NotableAttributes(target), 0u);
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_EQ(Listing(folder.path()), (Names{L"EMPTY.TXT", L"PACKED.BIN", L"STORED.BIN"}));
}

TEST(ExtractPackageEntry, FirstOfNamesDifferingInCaseWins) {
  RunPackage pkg({StoredBytes("data.bin", Content("first"), kStamp),
                  StoredBytes("DATA.BIN", Content("second"), kStamp)});
  ASSERT_TRUE(pkg.loaded());
  ScratchFolder folder(L"case");
  ASSERT_TRUE(upd::ExtractPackageEntry("Data.Bin", folder / L"out.bin", false));
  EXPECT_EQ(ReadFileBytes(folder / L"out.bin"), Content("first"));
}

// The existing file's times relative to the entry's, the flag, and what must happen.
TEST(ExtractPackageEntry, KeepNewerKeepsOnlyAStrictlyLaterFile) {
  constexpr std::uint64_t kHigh = std::uint64_t{1} << 32;
  struct Row {
    const char* what;
    std::uint64_t existing_write;
    bool keep_newer;
    bool kept;
  };
  const Row rows[] = {
      {"equal time is replaced", kStamp, true, false},
      {"one tick later is kept", kStamp + 1, true, true},
      {"one tick earlier is replaced", kStamp - 1, true, false},
      {"later in the high word, lower in the low word, is kept",
       (kStamp & ~(kHigh - 1)) + kHigh, true, true},
      {"earlier in the high word, higher in the low word, is replaced",
       (kStamp & ~(kHigh - 1)) - kHigh + (kHigh - 1), true, false},
      {"later without the flag is replaced", kStamp + 1000, false, false},
  };
  const Bytes entry = Content("the entry's content");
  const Bytes old = Content("the old file");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunPackage pkg({StoredBytes("GAME.DAT", entry, kStamp)});
    ASSERT_TRUE(pkg.loaded());
    ScratchFolder folder(L"newer");
    const auto target = folder / L"GAME.DAT";
    pkgtest::MakeFile(target, old, row.existing_write);
    EXPECT_TRUE(upd::ExtractPackageEntry("GAME.DAT", target, row.keep_newer));
    const std::uint64_t t = row.kept ? row.existing_write : kStamp;
    EXPECT_EQ(ReadTimes(target), (Times{t, t, t}));
    EXPECT_EQ(ReadFileBytes(target), row.kept ? old : entry);
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    EXPECT_EQ(Listing(folder.path()), Names{L"GAME.DAT"});
  }
}

TEST(ExtractPackageEntry, ReadOnlyTargetLosesItsAttributesEvenWhenKept) {
  const Bytes entry = Content("new"), old = Content("old");
  for (bool keep_newer : {true, false}) {
    SCOPED_TRACE(keep_newer ? "kept as newer" : "replaced");
    RunPackage pkg({StoredBytes("SAVE.DAT", entry, kStamp)});
    ASSERT_TRUE(pkg.loaded());
    ScratchFolder folder(L"readonly");
    const auto target = folder / L"SAVE.DAT";
    pkgtest::MakeFile(target, old, kStamp + 1);
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(upd::ExtractPackageEntry("SAVE.DAT", target, keep_newer));
    EXPECT_EQ(ReadFileBytes(target), keep_newer ? old : entry);
    EXPECT_EQ(pkgtest::NotableAttributes(target), 0u);
  }
}

TEST(ExtractPackageEntry, FolderInTheTargetsPlaceFailsSilently) {
  RunPackage pkg({StoredBytes("MOVIE", Content("x"), kStamp)});
  ASSERT_TRUE(pkg.loaded());
  ScratchFolder folder(L"folder");
  ASSERT_TRUE(CreateDirectoryW((folder / L"MOVIE").c_str(), nullptr));
  for (bool keep_newer : {false, true}) {
    EXPECT_FALSE(upd::ExtractPackageEntry("MOVIE", folder / L"MOVIE", keep_newer));
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_EQ(pkgtest::NotableAttributes(folder / L"MOVIE"), DWORD{FILE_ATTRIBUTE_DIRECTORY});
  EXPECT_EQ(Listing(folder.path()), Names{L"MOVIE"});
}

// What creating over an existing file refuses stays refused: a hidden or system file (that is
// not also read-only, which extraction clears first) is not replaced.
TEST(ExtractPackageEntry, HiddenOrSystemTargetIsNotReplaced) {
  for (DWORD attribute : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attribute);
    RunPackage pkg({StoredBytes("SYS.DAT", Content("new"), kStamp)});
    ASSERT_TRUE(pkg.loaded());
    ScratchFolder folder(L"hidden");
    const auto target = folder / L"SYS.DAT";
    pkgtest::MakeFile(target, Content("old"));
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), attribute));
    EXPECT_FALSE(upd::ExtractPackageEntry("SYS.DAT", target, false));
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    EXPECT_EQ(ReadFileBytes(target), Content("old"));
    EXPECT_EQ(Listing(folder.path()), Names{L"SYS.DAT"});
  }
}

TEST(ExtractPackageEntry, MissingNameAsksNothingOfTheDisk) {
  RunPackage pkg({StoredBytes("THERE.DAT", Content("x"), kStamp)});
  ASSERT_TRUE(pkg.loaded());
  ScratchFolder folder(L"missing");
  SpaceHooks hooks;
  EXPECT_FALSE(upd::ExtractPackageEntry("ABSENT.DAT", folder / L"ABSENT.DAT", false));
  EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound}));
  EXPECT_EQ(hooks.calls(), 0);
  EXPECT_EQ(Listing(folder.path()), Names{});
  // The hooks do see the question when the name is there.
  EXPECT_TRUE(upd::ExtractPackageEntry("THERE.DAT", folder / L"THERE.DAT", false));
  EXPECT_GT(hooks.ex_calls(), 0);
}

// "ディスク容量が足りません。%s ドライブに %i バイトの空き容量が必要です"
std::string Shortage(const std::string& drive, long long bytes) {
  return "\x83\x66\x83\x42\x83\x58\x83\x4e\x97\x65\x97\xca\x82\xaa\x91\xab\x82\xe8\x82\xdc"
         "\x82\xb9\x82\xf1\x81\x42" +
         drive + "\x20\x83\x68\x83\x89\x83\x43\x83\x75\x82\xc9\x20" + std::to_string(bytes) +
         "\x20\x83\x6f\x83\x43\x83\x67\x82\xcc\x8b\xf3\x82\xab\x97\x65\x97\xca\x82\xaa\x95\x4b"
         "\x97\x76\x82\xc5\x82\xb7";
}

// The drive the scratch folders are on, as the shortage message names it ("C:").
std::string TempDrive() { return pkgtest::Show(pkgtest::TempFolder()).substr(0, 2); }

// The root of the volume a folder lies on, asked of the system directly.
std::wstring VolumeRoot(const std::filesystem::path& p) {
  wchar_t root[MAX_PATH + 1] = {};
  EXPECT_TRUE(GetVolumePathNameW(p.c_str(), root, MAX_PATH + 1));
  return root;
}

TEST(ExtractPackageEntry, FreeSpaceTest) {
  constexpr std::uint32_t kSize = 1000;
  struct Row {
    const char* what;
    SpaceScript script;
    std::wstring target;  // empty: in the scratch folder
    std::optional<std::string> message;
  };
  const Row rows[] = {
      {"exactly enough", SpaceScript().Free(kSize), L"", std::nullopt},
      {"one byte short", SpaceScript().Free(kSize - 1), L"", Shortage(TempDrive(), 1)},
      {"nothing free", SpaceScript().Free(0), L"", Shortage(TempDrive(), kSize)},
      {"high half set, low half small", SpaceScript().Free((std::uint64_t{1} << 32) + 5), L"",
       std::nullopt},
      {"free space unknown does not stop the write",
       SpaceScript().FailEx().FailClusters(), L"", std::nullopt},
      {"volume unknown does not stop the write", SpaceScript().FailVolume(), L"", std::nullopt},
      {"a share path names its volume root",
       SpaceScript().Root(L"\\\\server\\share\\").Free(10),
       L"\\\\server\\share\\game\\A.DAT", Shortage("\\\\server\\share", kSize - 10)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunPackage pkg({StoredBytes("BIG.DAT", History(kSize, 4), kStamp)});
    ASSERT_TRUE(pkg.loaded());
    ScratchFolder folder(L"space");
    const std::filesystem::path target =
        row.target.empty() ? folder / L"BIG.DAT" : std::filesystem::path(row.target);
    bool ok = false;
    {
      SpaceHooks hooks(row.script);
      ok = upd::ExtractPackageEntry("BIG.DAT", target, false);
    }
    if (row.message) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(updtest::TakeBoxes(), Boxes({*row.message}));
      EXPECT_EQ(Listing(folder.path()), Names{});
    } else {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(updtest::TakeBoxes().empty());
      EXPECT_EQ(ReadFileBytes(target), History(kSize, 4));
    }
  }
}

TEST(QueryFreeSpace, FallsBackOnClusterCounts) {
  ScratchFolder folder(L"clusters");
  const std::wstring root = VolumeRoot(folder.path());
  SpaceHooks hooks(SpaceScript().FailEx());
  const auto space = upd::platform::QueryFreeSpace(folder / L"not-yet.dat");
  ASSERT_TRUE(space);
  DWORD spc = 0, bps = 0, free_clusters = 0, total_clusters = 0;
  ASSERT_TRUE(hooks.RealClusters(root.c_str(), &spc, &bps, &free_clusters, &total_clusters));
  const std::uint64_t cluster = std::uint64_t{spc} * bps;
  // The figures may move between the two questions while other tests write.
  EXPECT_NEAR(static_cast<double>(space->available_to_caller),
              static_cast<double>(free_clusters * cluster), 64.0 * 1024 * 1024);
  EXPECT_EQ(space->total, total_clusters * cluster);
  EXPECT_EQ(space->total_free, space->available_to_caller);
  EXPECT_EQ(space->available_to_caller % cluster, 0u);
}

TEST(QueryFreeSpace, AnswersForTheVolumeOfAPathThatDoesNotExistYet) {
  ScratchFolder folder(L"volume");
  ULARGE_INTEGER available{}, total{}, total_free{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(VolumeRoot(folder.path()).c_str(), &available, &total,
                                  &total_free));
  const auto space = upd::platform::QueryFreeSpace(folder / L"sub" / L"not-yet.dat");
  ASSERT_TRUE(space);
  EXPECT_EQ(space->total, total.QuadPart);
  EXPECT_FALSE(upd::platform::QueryFreeSpace(L"\\\\no-such-server\\share\\a.dat"));
}

// Waits until `path` is held open without sharing by someone else.
bool WaitUntilHeld(const std::filesystem::path& path) {
  for (int i = 0; i < 400; ++i) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) return true;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    Sleep(50);
  }
  return false;
}

TEST(ExtractPackageEntry, TargetHeldByAnotherProgramStaysAsItWas) {
  const Bytes old = History(4096, 8);
  RunPackage pkg({StoredBytes("LOCKED.DAT", History(9000, 9), kStamp),
                  Compressed("LOCKED.Z", History(9000, 10), kStamp)});
  ASSERT_TRUE(pkg.loaded());
  ScratchFolder folder(L"held");
  const auto target = folder / L"LOCKED.DAT";
  pkgtest::MakeFile(target, old, kStamp - 5);
  {
    auto holder = updtest::win::ChildProcess::Start(updtest::win::SiblingPath(L"file_holder.exe"),
                                                    L"\"" + target.native() + L"\"");
    ASSERT_TRUE(holder) << "cannot start file_holder.exe";
    ASSERT_TRUE(WaitUntilHeld(target)) << "file_holder.exe did not take the file";
    EXPECT_FALSE(upd::ExtractPackageEntry("LOCKED.DAT", target, false));
    EXPECT_FALSE(upd::ExtractPackageEntry("LOCKED.Z", target, true));
    EXPECT_FALSE(upd::WriteWholeFile(target, History(100, 1), std::nullopt));
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    EXPECT_EQ(Listing(folder.path()), Names{L"LOCKED.DAT"});
  }  // the holder ends here
  EXPECT_EQ(ReadTimes(target), (Times{kStamp - 5, kStamp - 5, kStamp - 5}));
  EXPECT_EQ(ReadFileBytes(target), old);
}

TEST(WriteWholeFile, WithoutAStampKeepsTheSystemsTimes) {
  ScratchFolder folder(L"nostamp");
  const auto target = folder / L"PLAIN.TXT";
  pkgtest::MakeFile(target, Content("old"), kStamp);
  ASSERT_TRUE(upd::WriteWholeFile(target, Content("new content"), std::nullopt));
  EXPECT_EQ(ReadFileBytes(target), Content("new content"));
  const auto times = ReadTimes(target);
  ASSERT_TRUE(times);
  EXPECT_GT(times->last_write, kStamp);  // now, not the old file's time
  EXPECT_EQ(Listing(folder.path()), Names{L"PLAIN.TXT"});
}

TEST(WriteWholeFile, MissingFolderFails) {
  ScratchFolder folder(L"nofolder");
  EXPECT_FALSE(upd::WriteWholeFile(folder / L"no" / L"A.TXT", Content("x"), kStamp));
  EXPECT_EQ(Listing(folder.path()), Names{});
}

// Paths the code under test hands to CreateFileW and MoveFileExW.
std::vector<std::wstring>& SeenPaths() {
  static std::vector<std::wstring> paths;
  return paths;
}
updtest::win::ImportHook* g_create_hook = nullptr;
updtest::win::ImportHook* g_move_hook = nullptr;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                   HANDLE templ) {
  SeenPaths().push_back(path);
  return reinterpret_cast<decltype(&CreateFileW)>(g_create_hook->original())(
      path, access, share, sa, disposition, flags, templ);
}
BOOL WINAPI RecordingMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  SeenPaths().push_back(from);
  SeenPaths().push_back(to);
  return reinterpret_cast<decltype(&MoveFileExW)>(g_move_hook->original())(from, to, flags);
}

TEST(WriteWholeFile, LongPath) {
  // A folder whose path leaves less room than a replacement file's name needs: Windows takes
  // paths of MAX_PATH characters or more only in the extended form (\\?\ prefix), so none may
  // reach the system in the plain form. (Wine would take them either way; the recorded paths
  // show which form was used.)
  ScratchFolder folder(L"long");
  std::wstring deep = L"\\\\?\\" + folder.path().native();
  while (deep.size() - 4 < MAX_PATH - 17) {
    deep += L"\\aaaaaaaaaa";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  const std::filesystem::path target = deep.substr(4) + L"\\A.TXT";
  ASSERT_LT(target.native().size(), static_cast<std::size_t>(MAX_PATH));
  ASSERT_GE(target.native().size() - 5 + 16, static_cast<std::size_t>(MAX_PATH));
  {
    updtest::win::ImportHook create("kernel32.dll", "CreateFileW",
                                    reinterpret_cast<void*>(&RecordingCreateFileW));
    updtest::win::ImportHook move("kernel32.dll", "MoveFileExW",
                                  reinterpret_cast<void*>(&RecordingMoveFileExW));
    ASSERT_TRUE(create.installed() && move.installed());
    g_create_hook = &create;
    g_move_hook = &move;
    SeenPaths().clear();
    EXPECT_TRUE(upd::WriteWholeFile(target, Content("deep"), kStamp));
  }
  bool any_long = false;
  for (const std::wstring& p : SeenPaths()) {
    SCOPED_TRACE(pkgtest::Show(p));
    if (p.size() >= MAX_PATH) {
      any_long = true;
      EXPECT_TRUE(p.starts_with(L"\\\\?\\"));
    }
  }
  EXPECT_TRUE(any_long) << "the replacement file's path was not long";
  EXPECT_EQ(ReadFileBytes(L"\\\\?\\" + target.native()), Content("deep"));
  EXPECT_EQ(Listing(L"\\\\?\\" + target.parent_path().native()), Names{L"A.TXT"});
}

// Names in Japanese, in a folder whose name holds Japanese and a character code page 932 does
// not have: works whatever the process's ANSI code page.
TEST(ExtractPackageEntry, JapaneseNamesIntoAJapaneseFolder) {
  const char* expect_acp = std::getenv("UPD_EXPECT_ACP");
  ASSERT_EQ(GetACP(), expect_acp ? static_cast<UINT>(std::atoi(expect_acp)) : 932u)
      << "the bench does not run in the code page this test is for";
  const Bytes content = History(700, 12);
  // セーブデータ.DAT
  const char* entry_name = "\x83\x5a\x81\x5b\x83\x75\x83\x66\x81\x5b\x83\x5e.DAT";
  RunPackage pkg({Compressed(entry_name, content, kStamp)});
  ASSERT_TRUE(pkg.loaded());
  // アップデート先_한
  ScratchFolder folder(L"\u30a2\u30c3\u30d7\u30c7\u30fc\u30c8\u5148_\ud55c");
  // セーブデータ.dat: asked for in another letter case
  const auto target = folder / L"\u30bb\u30fc\u30d6\u30c7\u30fc\u30bf.DAT";
  ASSERT_TRUE(upd::ExtractPackageEntry("\x83\x5a\x81\x5b\x83\x75\x83\x66\x81\x5b\x83\x5e.dat",
                                       target, true));
  EXPECT_EQ(ReadTimes(target), (Times{kStamp, kStamp, kStamp}));
  EXPECT_EQ(ReadFileBytes(target), content);
  EXPECT_EQ(Listing(folder.path()), Names{L"\u30bb\u30fc\u30d6\u30c7\u30fc\u30bf.DAT"});
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}


// ---- The file written beside its target ----

// Where the system resolves `folder`, as the run holds it.
std::wstring FinalOf(const std::filesystem::path& folder) {
  upd::platform::UniqueFile h(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return upd::platform::FinalPathOf(h.get()).value_or(L"");
}

bool IsReplacementName(const std::wstring& name) {
  return name.size() == 16 && name.starts_with(L"~upd") && name.ends_with(L".tmp") &&
         name.substr(4, 8).find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

// The name of the file made for a target follows from nothing another user could know: made
// again for the same target, it has another name (a name fixed by the target could be planted
// in advance, or linked elsewhere).
TEST(ReplacementFile, NamesCannotBeForeseen) {
  ScratchFolder folder(L"names");
  std::vector<std::wstring> names;
  for (int i = 0; i < 3; ++i) {
    auto file = upd::platform::ReplacementFile::CreateBeside(folder / L"GAME.DAT");
    ASSERT_TRUE(file);
    names.push_back(file->path().filename().wstring());
    EXPECT_TRUE(IsReplacementName(names.back())) << pkgtest::Show(names.back());
  }
  EXPECT_NE(names[0], names[1]);
  EXPECT_NE(names[1], names[2]);
  EXPECT_TRUE(Listing(folder.path()).empty());  // each went with its object
}

// A file made through a path that does not lead into the folder the run holds (a folder on the
// way turned into a link or mount point) is refused before a byte goes in, and goes.
TEST(ReplacementFile, RefusedWhereItDoesNotLieInTheHeldFolder) {
  ScratchFolder folder(L"lies"), held(L"held");
  EXPECT_FALSE(upd::platform::ReplacementFile::CreateBeside(folder / L"GAME.DAT", FinalOf(held.path())));
  EXPECT_TRUE(Listing(folder.path()).empty());
  EXPECT_TRUE(Listing(held.path()).empty());
  auto sound = upd::platform::ReplacementFile::CreateBeside(folder / L"GAME.DAT", FinalOf(folder.path()));
  ASSERT_TRUE(sound);
  ASSERT_TRUE(sound->Write(Content("new")));
  EXPECT_EQ(sound->MoveOver(folder / L"GAME.DAT"), upd::platform::ReplacementFile::Moved::kMoved);
  EXPECT_EQ(ReadFileBytes(folder / L"GAME.DAT"), Content("new"));
}

// What a run ended between clearing its file's mark and the move left behind is removed when the
// next run first writes into that folder; a file of such a name that someone has open, or one of
// another name, stays.
TEST(ReplacementFile, LeftoversOfAnEarlierRunGoFromAHeldFolder) {
  ScratchFolder folder(L"leftovers");
  pkgtest::MakeFile(folder / L"~upd0badf00d.tmp", Content("left"));
  pkgtest::MakeFile(folder / L"~updbusy0000.tmp", Content("busy"));  // not hex: not ours
  pkgtest::MakeFile(folder / L"~upd12345678.tmp", Content("open"));
  upd::platform::UniqueFile open(CreateFileW((folder / L"~upd12345678.tmp").c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(open);
  auto file = upd::platform::ReplacementFile::CreateBeside(folder / L"GAME.DAT", FinalOf(folder.path()));
  ASSERT_TRUE(file);
  const std::wstring own = file->path().filename().wstring();
  std::vector<std::wstring> expected = {L"~upd12345678.tmp", L"~updbusy0000.tmp", own};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Listing(folder.path()), expected);
}

// Written only where no file is: a file at the target by the move stays as it is, and nothing of
// the write is left.
TEST(ExtractEntry, OnlyNewNeverReplacesAFileThere) {
  RunPackage pkg({StoredBytes("SAVE.DAT", Content("package"), kStamp),
                  Compressed("SAVE.Z", History(4000, 3), kStamp)});
  ScratchFolder folder(L"only-new");
  upd::ExtractRequest request;
  request.only_new = true;
  for (const char* name : {"SAVE.DAT", "SAVE.Z"}) {
    SCOPED_TRACE(name);
    const auto target = folder / std::wstring(name, name + std::strlen(name));
    pkgtest::MakeFile(target, Content("player's"));
    EXPECT_EQ(upd::ExtractEntry(name, target, request), upd::Extracted::kTargetTaken);
    EXPECT_EQ(ReadFileBytes(target), Content("player's"));
    DeleteFileW(target.c_str());
    EXPECT_EQ(upd::ExtractEntry(name, target, request), upd::Extracted::kDone);
  }
  EXPECT_EQ(Listing(folder.path()), (Names{L"SAVE.DAT", L"SAVE.Z"}));
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}

// A folder someone else has open for a moment with delete access (a scanner, an indexer) is held
// once they let it go, rather than refusing the run; one kept open for good is still refused.
TEST(FolderGuard, WaitsOutAMomentaryOpenElsewhere) {
  ScratchFolder base(L"guard-base");
  const auto sub = base / L"sub";
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  const auto open_for_delete = [&] {
    return upd::platform::UniqueFile(CreateFileW(sub.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  };
  {
    upd::platform::FolderGuard guard;
    ASSERT_EQ(guard.HoldBase(base.path()), upd::platform::FolderCheck::kHeld);
    auto other = open_for_delete();
    ASSERT_TRUE(other);
    std::thread let_go([&] {
      Sleep(150);
      other.reset();
    });
    EXPECT_EQ(guard.HoldBelow(base.path(), {L"sub"}), upd::platform::FolderCheck::kHeld);
    let_go.join();
    EXPECT_FALSE(open_for_delete()) << "the folder is not held";
  }
  upd::platform::FolderGuard guard;
  ASSERT_EQ(guard.HoldBase(base.path()), upd::platform::FolderCheck::kHeld);
  auto kept = open_for_delete();
  ASSERT_TRUE(kept);
  EXPECT_EQ(guard.HoldBelow(base.path(), {L"sub"}), upd::platform::FolderCheck::kRefused);
}

}  // namespace
