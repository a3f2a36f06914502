// Lookup of entries by name and the bytes handed out for them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "package/entry_access.h"
#include "package/integrity.h"
#include "package/piece_stream.h"
#include "package_test_support.h"
#include "space_hooks.h"
#include "platform/name_compare.h"
#include "win/import_hook.h"

namespace {

using pkgtest::Boxes;
using pkgtest::Bytes;
using pkgtest::RunPackage;
using updtest::Compressed;
using updtest::History;
using updtest::Item;
using updtest::StoredBytes;

const std::string kNotFound(upd::texts::kEntryNotFoundMessage);
const std::string kNoMemory(upd::texts::kNoMemoryMessage);

int Sign(int v) { return (v > 0) - (v < 0); }

struct NameRow {
  const char* what;
  std::string a, b;  // code page 932 bytes
  bool equal;        // lstrcmpiA's answer on a Japanese system
};

const NameRow kNameRows[] = {
    {"letter case", "a.dat", "A.DAT", true},
    {"mixed case", "UpDate.Ini", "update.INI", true},
    {"other name", "a.dat", "b.dat", false},
    {"prefix", "a.dat", "a.da", false},
    {"trailing blank", "a.dat", "a.dat ", false},
    {"both empty", "", "", true},
    {"one empty", "", "a", false},
    {"hyphen is not ignored", "co-op", "coop", false},
    {"apostrophe is not ignored", "cant", "can't", false},
    // Ａ / ａ: full-width letters fold case
    {"full-width case", "\x82\x60.DAT", "\x82\x81.dat", true},
    // Ｚ / ｚ
    {"full-width Z", "\x82\x79", "\x82\x9a", true},
    // Ａ / A: width is not ignored
    {"full-width and ASCII", "\x82\x60", "A", false},
    // ｱ / ア: width is not ignored
    {"half-width kana", "\xb1", "\x83\x41", false},
    // ア / あ: kana type is not ignored
    {"katakana and hiragana", "\x83\x41", "\x82\xa0", false},
    // ｶﾞ / ガ
    {"half-width voiced kana", "\xb6\xde", "\x83\x4b", false},
    // １ / 1
    {"full-width digit", "\x82\x50", "1", false},
    // Α / α: Greek case folds
    {"Greek case", "\x83\x9f", "\x83\xbf", true},
    // Д / д: Cyrillic case folds
    {"Cyrillic case", "\x84\x44", "\x84\x74", true},
    // Ⅰ / ⅰ: Roman numerals
    {"Roman numeral case", "\x87\x54", "\xfa\x40", true},
    // ≒ in its NEC and JIS codes: one character
    {"two codes of one character", "\x87\x90", "\x81\xe0", true},
    // 表A / 表a: a trail byte 0x5C does not end the character
    {"trail byte 0x5C then case", "\x95\x5c" "A", "\x95\x5c" "a", true},
    // 表 / 俵 differ only in the lead byte
    {"lead bytes differ", "\x95\x5c", "\x95\x55", false},
    // テスト.DAT / テスト.dat
    {"Japanese name, ASCII extension", "\x83\x65\x83\x58\x83\x67.DAT",
     "\x83\x65\x83\x58\x83\x67.dat", true},
    // 漢字 / 漢字
    {"kanji", "\x8a\xbf\x8e\x9a", "\x8a\xbf\x8e\x9a", true},
    {"lone lead byte at the end", "a\x81", "a\x82", true},
    {"undefined double-byte code", "\x85\x40", "\x85\x41", true},
};

// Ours against lstrcmpiA. The expected column holds what lstrcmpiA answers on a Japanese system;
// in the Japanese bench both must agree with it, in any other locale ours still must.
TEST(EntryNames, CompareAsLstrcmpiADoesOnAJapaneseSystem) {
  const char* expect_acp = std::getenv("UPD_EXPECT_ACP");
  const UINT acp = expect_acp ? static_cast<UINT>(std::atoi(expect_acp)) : 932u;
  ASSERT_EQ(GetACP(), acp) << "the bench does not run in the code page this test is for";
  for (const NameRow& row : kNameRows) {
    SCOPED_TRACE(row.what);
    const int ours = upd::platform::CompareNamesIgnoreCase(row.a, row.b);
    EXPECT_EQ(ours == 0, row.equal);
    EXPECT_EQ(Sign(upd::platform::CompareNamesIgnoreCase(row.b, row.a)), -Sign(ours));
    EXPECT_EQ(upd::platform::NameMatcher(row.a).Matches(row.b), row.equal);
    if (acp == 932) {
      const int theirs = lstrcmpiA(row.a.c_str(), row.b.c_str());
      EXPECT_EQ(Sign(ours), Sign(theirs)) << "lstrcmpiA says " << theirs;
    }
  }
}

TEST(EntryNames, EndAtTheirFirstNul) {
  EXPECT_EQ(upd::platform::CompareNamesIgnoreCase(std::string("a.dat\0xyz", 9), "A.DAT"), 0);
}

Bytes Content(const char* text) { return Bytes(text, text + std::strlen(text)); }

std::string AsText(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }

TEST(FindPackageEntry, FirstOfNamesDifferingInCaseWins) {
  // The loader takes the records in the order they come; the package as built sorts them, but
  // two names that differ only in case may come in either order.
  for (bool upper_first : {false, true}) {
    SCOPED_TRACE(upper_first ? "README.TXT first" : "readme.txt first");
    Item lower = StoredBytes("readme.txt", Content("lower"), pkgtest::kStamp);
    Item upper = Compressed("README.TXT", Content("UPPER"), pkgtest::kStamp);
    RunPackage pkg(upper_first ? std::vector<Item>{upper, lower} : std::vector<Item>{lower, upper});
    ASSERT_TRUE(pkg.loaded());
    for (const char* ask : {"readme.txt", "README.TXT", "ReadMe.Txt"}) {
      SCOPED_TRACE(ask);
      const auto found = upd::FindPackageEntry(ask);
      ASSERT_TRUE(found);
      EXPECT_EQ(AsText(found->bytes()), upper_first ? "UPPER" : "lower");
    }
    EXPECT_TRUE(updtest::TakeBoxes().empty());
  }
}

TEST(FindPackageEntry, StoredEntryIsAViewIntoTheImage) {
  const Bytes data = History(1000, 7);
  RunPackage pkg({updtest::Stored("A.BIN", 33, 3), StoredBytes("B.BIN", data, pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  const auto found = upd::FindPackageEntry("b.bin");
  ASSERT_TRUE(found);
  EXPECT_FALSE(found->owns_block());
  // B.BIN's bytes begin behind A.BIN's 33 bytes padded to 48.
  EXPECT_EQ(found->bytes().data(), pkg.image().data() + 16 + 48);
  EXPECT_EQ(Bytes(found->bytes().begin(), found->bytes().end()), data);
}

TEST(FindPackageEntry, CompressedEntryOwnsItsDecodedBytes) {
  updtest::TokenScript script;
  script.Literals(History(300, 9)).Long(300, 282).Short(2).Long(1, 100);
  const Bytes expected = script.expected();
  Item packed{"PACKED.BIN", upd::kEntryCompressed, static_cast<std::uint32_t>(expected.size()),
              script.Finish(), pkgtest::kStamp};
  RunPackage pkg({packed});
  ASSERT_TRUE(pkg.loaded());
  auto found = upd::FindPackageEntry("packed.bin");
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->owns_block());
  const auto* begin = pkg.image().data();
  EXPECT_TRUE(found->bytes().data() < begin || found->bytes().data() >= begin + pkg.image().size());
  EXPECT_EQ(Bytes(found->bytes().begin(), found->bytes().end()), expected);
  // A moved EntryBytes keeps the block; the source no longer frees it.
  upd::EntryBytes moved = std::move(*found);
  EXPECT_EQ(Bytes(moved.bytes().begin(), moved.bytes().end()), expected);
}

TEST(FindPackageEntry, EmptyEntries) {
  RunPackage pkg({Compressed("EMPTY.Z", {}, pkgtest::kStamp),
                  StoredBytes("EMPTY.TXT", {}, pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  for (const char* name : {"EMPTY.Z", "EMPTY.TXT"}) {
    SCOPED_TRACE(name);
    const auto found = upd::FindPackageEntry(name);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 0u);
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}

TEST(FindPackageEntry, MissingNameShowsItsMessageOnce) {
  struct Row {
    const char* what;
    std::vector<Item> items;
    const char* ask;
  };
  const Row rows[] = {
      {"no entries at all", {}, "UPDATE.INI"},
      {"name not there", {updtest::Stored("UPDATE.INI", 10)}, "UPDATE.TXT"},
      {"name shorter", {updtest::Stored("UPDATE.INI", 10)}, "UPDATE.IN"},
      // アップデート.INI asked as ｱｯﾌﾟﾃﾞｰﾄ.INI
      {"half-width spelling",
       {updtest::Stored("\x83\x41\x83\x62\x83\x76\x83\x66\x81\x5b\x83\x67.INI", 10)},
       "\xb1\xaf\xcc\xdf\xc3\xde\xb0\xc4.INI"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunPackage pkg(row.items);
    ASSERT_TRUE(pkg.loaded());
    EXPECT_FALSE(upd::FindPackageEntry(row.ask));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound}));
  }
}

// The integrity record is no file of the update: a lookup never finds it, even by its name,
// wherever it lies (in name order before the files, as built; last, as built before that).
TEST(FindPackageEntry, NeverHandsOutTheIntegrityRecord) {
  const auto file = StoredBytes("A.TXT", Content("a"), pkgtest::kStamp);
  const auto record =
      StoredBytes(std::string(upd::kIntegrityEntryName), Content("hashes"), pkgtest::kStamp);
  struct Row {
    const char* what;
    std::vector<updtest::Item> items;
  };
  const Row rows[] = {{"record first", {record, file}}, {"record last", {file, record}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunPackage pkg(row.items);
    ASSERT_TRUE(pkg.loaded());
    const auto found = upd::FindPackageEntry("A.TXT");
    ASSERT_TRUE(found);
    EXPECT_EQ(std::string(found->bytes().begin(), found->bytes().end()), "a");
    EXPECT_FALSE(upd::FindPackageEntry(upd::kIntegrityEntryName));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound}));
  }
}

TEST(FindPackageEntry, NothingWithoutALoadedPackage) {
  upd::ResetRun();
  EXPECT_FALSE(upd::FindPackageEntry("UPDATE.INI"));
  EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound}));
}

// Compressed entries whose stream does not give exactly UnpackedSize bytes.
std::vector<std::pair<const char*, Item>> DamagedEntries() {
  const Bytes data = History(200, 11);
  std::vector<std::pair<const char*, Item>> rows;
  {
    Item it = Compressed("BAD.BIN", data, pkgtest::kStamp);
    it.stored.resize(it.stored.size() - 6);  // the end marker is cut off
    rows.push_back({"stream without its end", it});
  }
  {
    Item it = Compressed("BAD.BIN", data, pkgtest::kStamp);
    it.unpacked += 1;
    rows.push_back({"stream yields fewer bytes than claimed", it});
  }
  {
    Item it = Compressed("BAD.BIN", data, pkgtest::kStamp);
    it.unpacked -= 1;
    rows.push_back({"stream yields more bytes than claimed", it});
  }
  {
    updtest::TokenScript s;
    s.Literals(History(10, 3)).Long(50, 20);
    Item it{"BAD.BIN", upd::kEntryCompressed, 30, s.Finish(), pkgtest::kStamp};
    rows.push_back({"match reaching before the start", it});
  }
  return rows;
}

TEST(FindPackageEntry, DamagedCompressedEntryIsRefused) {
  for (const auto& [what, item] : DamagedEntries()) {
    SCOPED_TRACE(what);
    RunPackage pkg({item});
    ASSERT_TRUE(pkg.loaded());
    EXPECT_FALSE(upd::FindPackageEntry("BAD.BIN"));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound}));
  }
}

TEST(ExtractPackageEntry, DamagedCompressedEntryWritesNothing) {
  for (const auto& [what, item] : DamagedEntries()) {
    SCOPED_TRACE(what);
    pkgtest::ScratchFolder folder(L"damaged");
    const Bytes old = Content("the old file");
    pkgtest::MakeFile(folder / L"OLD.BIN", old);
    RunPackage pkg({item});
    ASSERT_TRUE(pkg.loaded());
    EXPECT_FALSE(upd::ExtractPackageEntry("BAD.BIN", folder / L"NEW.BIN", false));
    EXPECT_FALSE(upd::ExtractPackageEntry("BAD.BIN", folder / L"OLD.BIN", false));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNotFound, kNotFound}));
    EXPECT_EQ(pkgtest::Listing(folder.path()), std::vector<std::wstring>{L"OLD.BIN"});
    EXPECT_EQ(pkgtest::ReadFileBytes(folder / L"OLD.BIN"), old);
  }
}

HGLOBAL WINAPI FailingGlobalAlloc(UINT, SIZE_T) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(FindPackageEntry, NoMemoryForACompressedEntry) {
  RunPackage pkg({Compressed("PACKED.BIN", History(64, 2), pkgtest::kStamp),
                  StoredBytes("PLAIN.BIN", History(64, 3), pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  pkgtest::ScratchFolder folder(L"nomemory");
  {
    updtest::win::ImportHook hook("kernel32.dll", "GlobalAlloc",
                                  reinterpret_cast<void*>(&FailingGlobalAlloc));
    ASSERT_TRUE(hook.installed());
    EXPECT_FALSE(upd::FindPackageEntry("PACKED.BIN"));
    EXPECT_FALSE(upd::ExtractPackageEntry("PACKED.BIN", folder / L"PACKED.BIN", false));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNoMemory, kNoMemory}));
    // A stored entry needs no memory of its own.
    EXPECT_TRUE(upd::FindPackageEntry("PLAIN.BIN"));
    EXPECT_TRUE(updtest::TakeBoxes().empty());
  }
  EXPECT_EQ(pkgtest::Listing(folder.path()), std::vector<std::wstring>{});
  EXPECT_TRUE(upd::FindPackageEntry("PACKED.BIN"));
}

// Unpacking the next entry ahead, on a thread of its own, gives the same files and the same
// boxes, at the same moments, as unpacking each when it is asked for; with streams not proven
// (no sound integrity record) nothing runs ahead and each stream is checked when asked for.
TEST(ExtractPackageEntry, UnpackingTheNextEntryAheadChangesNoOutcome) {
  // A.BIN and B.BIN take several pieces each.
  const Bytes a = History(upd::kPieceBytes * 2 + 70000, 5), b = History(upd::kPieceBytes + 90000, 6),
              c = History(300, 7);
  Item bad = DamagedEntries().front().second;
  struct Row {
    const char* what;
    const char* next;     // named when A.BIN is extracted
    const char* extract;  // then extracted
    bool written;
    bool not_found_box;  // the extraction shows "Can't Find File in Resource !!" (nothing before it)
  };
  const Row rows[] = {
      {"the next entry as announced", "B.BIN", "B.BIN", true, false},
      {"announced in another case", "b.bin", "B.BIN", true, false},
      {"a damaged stream is reported when asked for", "BAD.BIN", "BAD.BIN", false, true},
      {"a name the package lacks shows nothing ahead", "NONE.BIN", "B.BIN", true, false},
      {"another entry than announced", "B.BIN", "C.BIN", true, false},
      {"a stored entry announced", "C.BIN", "C.BIN", true, false},
      {"announced, then another, then the announced", "B.BIN", "A.BIN", true, false},
  };
  for (const bool proven : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + (proven ? ", streams proven" : ", streams not proven"));
      RunPackage pkg({Compressed("A.BIN", a, pkgtest::kStamp), Compressed("B.BIN", b, pkgtest::kStamp),
                      bad, StoredBytes("C.BIN", c, pkgtest::kStamp)});
      ASSERT_TRUE(pkg.loaded());
      upd::Run().StreamsProven = proven;
      pkgtest::ScratchFolder folder(L"ahead");
      ASSERT_TRUE(upd::ExtractPackageEntry("A.BIN", folder / L"A.BIN", false, row.next));
      EXPECT_TRUE(updtest::TakeBoxes().empty());
      const std::wstring target = std::wstring(row.extract, row.extract + std::strlen(row.extract)) + L".out";
      EXPECT_EQ(upd::ExtractPackageEntry(row.extract, folder / target, false), row.written);
      EXPECT_EQ(updtest::TakeBoxes(), row.not_found_box ? Boxes({kNotFound}) : Boxes({}));
      EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"A.BIN") == a);
      if (row.written) {
        const Bytes& want = row.extract[0] == 'B' ? b : row.extract[0] == 'A' ? a : c;
        EXPECT_TRUE(pkgtest::ReadFileBytes(folder / target) == want);
      } else {
        EXPECT_EQ(pkgtest::Listing(folder.path()), std::vector<std::wstring>{L"A.BIN"});
      }
      // What was announced and not taken is still found whole afterwards.
      const auto again = upd::FindPackageEntry("B.BIN");
      ASSERT_TRUE(again);
      EXPECT_TRUE(Bytes(again->bytes().begin(), again->bytes().end()) == b);
      EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.again", false));
      EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.again") == b);
      upd::DropPreparedEntry();
    }
  }
}

// Extracts `name` to `target` as the update run does with the entry after it (`next`, to go to
// `next_target`) unpacked and begun beside its target meanwhile.
bool ExtractAhead(std::string_view name, const std::filesystem::path& target, std::string_view next,
                  const std::filesystem::path& next_target) {
  upd::ExtractRequest request;
  request.unpack_next = next;
  request.next_target = next_target;
  return upd::ExtractEntry(name, target, request) == upd::Extracted::kDone;
}

// Waits until a file in `folder` other than `done` holds `size` bytes: the file begun ahead,
// whole. False when none does within half a minute.
bool WaitForBegunFile(const std::filesystem::path& folder, const std::wstring& done, std::size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::wstring& name : pkgtest::Listing(folder)) {
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (name != done && GetFileAttributesExW((folder / name).c_str(), GetFileExInfoStandard, &data) &&
          data.nFileSizeHigh == 0 && data.nFileSizeLow == size) {
        return true;
      }
    }
    SwitchToThread();
  }
  return false;
}

// The next entry written beside its target as it unpacks (or, stored, as it lies): the
// extraction to that target goes on from the file begun and moves it into place; whatever else
// happens to it, the file begun goes and nothing but the extracted files is left in the folder.
TEST(ExtractPackageEntry, TheNextEntryBegunBesideItsTargetEndsInPlaceOrGoes) {
  // B.BIN takes several pieces, so that the file begun holds some when it is taken.
  const Bytes a = History(upd::kPieceBytes * 2 + 70000, 5), b = History(upd::kPieceBytes * 3 + 90000, 6),
              c = History(300, 7);
  enum class Then { kExtractThere, kExtractElsewhere, kKeepNewer, kOtherEntry, kDrop };
  struct Row {
    const char* what;
    Then then;
    std::vector<std::wstring> listing;  // the folder afterwards
    bool whole_first = false;  // B.BIN is all in the file begun before it is asked for
  };
  const Row rows[] = {
      {"extracted to the target it was begun for", Then::kExtractThere, {L"A.BIN", L"B.BIN"}},
      {"all of it begun before it is asked for", Then::kExtractThere, {L"A.BIN", L"B.BIN"}, true},
      {"extracted to another target", Then::kExtractElsewhere, {L"A.BIN", L"B.other"}},
      {"the target is newer and kept", Then::kKeepNewer, {L"A.BIN", L"B.BIN"}},
      {"another entry extracted first", Then::kOtherEntry, {L"A.BIN", L"C.BIN"}},
      {"dropped", Then::kDrop, {L"A.BIN"}},
  };
  for (const bool stored : {false, true})
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + (stored ? ", B.BIN stored" : ", B.BIN compressed"));
    RunPackage pkg({Compressed("A.BIN", a, pkgtest::kStamp),
                    stored ? StoredBytes("B.BIN", b, pkgtest::kStamp) : Compressed("B.BIN", b, pkgtest::kStamp),
                    StoredBytes("C.BIN", c, pkgtest::kStamp)});
    ASSERT_TRUE(pkg.loaded());
    upd::Run().StreamsProven = true;
    pkgtest::ScratchFolder folder(L"ahead-file");
    const Bytes old_b = History(1000, 9);
    if (row.then == Then::kKeepNewer) {
      ASSERT_TRUE(upd::WriteWholeFile(folder / L"B.BIN", old_b, pkgtest::kStamp + 1));
    }
    ASSERT_TRUE(ExtractAhead("A.BIN", folder / L"A.BIN", "B.BIN", folder / L"B.BIN"));
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    if (row.whole_first) {
      ASSERT_TRUE(WaitForBegunFile(folder.path(), L"A.BIN", b.size())) << "no file took B.BIN";
    }
    switch (row.then) {
      case Then::kExtractThere:
        EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", false));
        EXPECT_EQ(pkgtest::ReadTimes(folder / L"B.BIN"),
                  (pkgtest::Times{pkgtest::kStamp, pkgtest::kStamp, pkgtest::kStamp}));
        EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.BIN") == b);
        break;
      case Then::kExtractElsewhere:
        EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.other", false));
        EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.other") == b);
        break;
      case Then::kKeepNewer:
        EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", true));
        EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.BIN") == old_b);
        break;
      case Then::kOtherEntry:
        EXPECT_TRUE(upd::ExtractPackageEntry("C.BIN", folder / L"C.BIN", false));
        EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"C.BIN") == c);
        break;
      case Then::kDrop:
        break;
    }
    upd::DropPreparedEntry();
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"A.BIN") == a);
    EXPECT_EQ(pkgtest::Listing(folder.path()), row.listing);
  }
}

// The free-space test of an entry begun ahead beside its target sees the volume as it would be
// without that file: its bytes count as free. Without that, the file begun early would make the
// entry "not fit" by its own size.
TEST(ExtractPackageEntry, AFileBegunAheadCountsAsFreeSpaceInItsTest) {
  const Bytes a = History(300000, 5), b = History(upd::kPieceBytes + 90000, 6);
  RunPackage pkg({Compressed("A.BIN", a, pkgtest::kStamp), Compressed("B.BIN", b, pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  upd::Run().StreamsProven = true;
  pkgtest::ScratchFolder folder(L"ahead-space");
  {
    pkgtest::SpaceHooks roomy(pkgtest::SpaceScript().Free(std::uint64_t{1} << 40));
    ASSERT_TRUE(ExtractAhead("A.BIN", folder / L"A.BIN", "B.BIN", folder / L"B.BIN"));
  }
  ASSERT_TRUE(WaitForBegunFile(folder.path(), L"A.BIN", b.size()));
  {
    // The volume now has one byte less free than B.BIN needs, not counting the file begun.
    pkgtest::SpaceHooks tight(pkgtest::SpaceScript().Free(b.size() - 1));
    EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", false));
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.BIN") == b);
  upd::DropPreparedEntry();
  EXPECT_EQ(pkgtest::Listing(folder.path()), (std::vector<std::wstring>{L"A.BIN", L"B.BIN"}));
}

// Writes on any thread but the test's own fail: the thread that writes ahead cannot write.
DWORD g_test_thread = 0;
using WriteFileFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
WriteFileFn g_real_write_file = nullptr;
BOOL WINAPI WriteFileOnTestThreadOnly(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                      LPOVERLAPPED overlapped) {
  if (GetCurrentThreadId() != g_test_thread) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return g_real_write_file(file, data, size, written, overlapped);
}

// A file begun ahead that could not be written is dropped, and the entry is unpacked afresh
// when asked for: the same file, no box, nothing left behind.
TEST(ExtractPackageEntry, AFileBegunAheadThatCannotBeWrittenIsUnpackedAfresh) {
  const Bytes a = History(upd::kPieceBytes * 2 + 70000, 5), b = History(upd::kPieceBytes * 2 + 90000, 6);
  RunPackage pkg({Compressed("A.BIN", a, pkgtest::kStamp), Compressed("B.BIN", b, pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  upd::Run().StreamsProven = true;
  pkgtest::ScratchFolder folder(L"ahead-unwritable");
  g_test_thread = GetCurrentThreadId();
  {
    updtest::win::ImportHook hook("kernel32.dll", "WriteFile",
                                  reinterpret_cast<void*>(&WriteFileOnTestThreadOnly));
    ASSERT_TRUE(hook.installed());
    g_real_write_file = reinterpret_cast<WriteFileFn>(hook.original());
    ASSERT_TRUE(ExtractAhead("A.BIN", folder / L"A.BIN", "B.BIN", folder / L"B.BIN"));
    EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", false));
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"A.BIN") == a);
  EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"B.BIN") == b);
  upd::DropPreparedEntry();
  EXPECT_EQ(pkgtest::Listing(folder.path()), (std::vector<std::wstring>{L"A.BIN", L"B.BIN"}));
}

// Memory the thread ahead cannot have: the extraction tries again and reports it itself, once.
TEST(ExtractPackageEntry, NoMemoryAheadIsReportedByTheExtraction) {
  RunPackage pkg({Compressed("B.BIN", History(5000, 6), pkgtest::kStamp)});
  ASSERT_TRUE(pkg.loaded());
  upd::Run().StreamsProven = true;
  pkgtest::ScratchFolder folder(L"ahead-nomemory");
  {
    updtest::win::ImportHook hook("kernel32.dll", "GlobalAlloc",
                                  reinterpret_cast<void*>(&FailingGlobalAlloc));
    ASSERT_TRUE(hook.installed());
    upd::PrepareEntry("B.BIN");
    EXPECT_TRUE(updtest::TakeBoxes().empty());
    EXPECT_FALSE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", false));
    EXPECT_EQ(updtest::TakeBoxes(), Boxes({kNoMemory}));
  }
  upd::PrepareEntry("B.BIN");
  EXPECT_TRUE(upd::ExtractPackageEntry("B.BIN", folder / L"B.BIN", false));
  EXPECT_EQ(pkgtest::ReadFileBytes(folder / L"B.BIN"), History(5000, 6));
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}

// What the package code asks of GlobalAlloc while a hook counts it: no request above a cap,
// and the sum of all requests.
std::size_t g_alloc_cap = 0;
std::size_t g_alloc_sum = 0;
using GlobalAllocFn = HGLOBAL(WINAPI*)(UINT, SIZE_T);
GlobalAllocFn g_real_global_alloc = nullptr;  // the import the hook replaced
HGLOBAL WINAPI CappedGlobalAlloc(UINT flags, SIZE_T bytes) {
  if (bytes > g_alloc_cap) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g_alloc_sum += bytes;
  return g_real_global_alloc(flags, bytes);
}

// Entries far larger than the memory to be had in one piece are written whole: what the
// extraction allocates is a few pieces for the run, not a block that grows with the entry.
TEST(ExtractPackageEntry, LargeEntriesUnpackInMemoryThatDoesNotGrowWithThem) {
  const Bytes big1 = History(24u << 20, 11), big2 = History(17u << 20, 12);
  for (const bool proven : {true, false}) {
    SCOPED_TRACE(proven ? "streams proven" : "streams not proven");
    RunPackage pkg({Compressed("BIG1.DAT", big1, pkgtest::kStamp),
                    Compressed("BIG2.DAT", big2, pkgtest::kStamp)});
    ASSERT_TRUE(pkg.loaded());
    upd::Run().StreamsProven = proven;
    pkgtest::ScratchFolder folder(L"bounded");
    g_alloc_cap = 2u << 20;
    g_alloc_sum = 0;
    {
      updtest::win::ImportHook hook("kernel32.dll", "GlobalAlloc",
                                    reinterpret_cast<void*>(&CappedGlobalAlloc));
      ASSERT_TRUE(hook.installed());
      g_real_global_alloc = reinterpret_cast<GlobalAllocFn>(hook.original());
      EXPECT_TRUE(upd::ExtractPackageEntry("BIG1.DAT", folder / L"BIG1.DAT", false, "BIG2.DAT"));
      EXPECT_TRUE(upd::ExtractPackageEntry("BIG2.DAT", folder / L"BIG2.DAT", false));
      EXPECT_TRUE(upd::ExtractPackageEntry("BIG1.DAT", folder / L"BIG1.again", false));
      EXPECT_TRUE(updtest::TakeBoxes().empty());
      upd::DropPreparedEntry();
    }
    EXPECT_LE(g_alloc_sum, std::size_t{16} << 20);
    EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"BIG1.DAT") == big1);
    EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"BIG2.DAT") == big2);
    EXPECT_TRUE(pkgtest::ReadFileBytes(folder / L"BIG1.again") == big1);
    const auto times = pkgtest::ReadTimes(folder / L"BIG2.DAT");
    ASSERT_TRUE(times);
    EXPECT_EQ(times->last_write, pkgtest::kStamp);
  }
}

}  // namespace
