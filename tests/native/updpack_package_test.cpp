// The package writer against the updater's loader, and the reader that list, extract and
// verify use: layout, names, refusals, and the first fault of damaged packages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "corpus.h"
#include "entry_name.h"
#include "package/byte_order.h"
#include "package/container.h"
#include "package/decoder.h"
#include "package/integrity.h"
#include "name_spelling.h"
#include "package_reader.h"
#include "relaid_package.h"
#include "package_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using updpack::BuildPackage;
using updpack::PackageFile;
using updpack::PackageOptions;

Bytes Random(std::size_t n, std::uint32_t seed) {
  Bytes v(n);
  std::uint32_t x = seed | 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return v;
}

using upd::Get32;
using upd::Put32;

// Options for a package as another tool would make it: without the integrity record.
PackageOptions WithoutRecord() {
  PackageOptions o;
  o.integrity = false;
  return o;
}

Bytes Build(std::vector<PackageFile> files, PackageOptions options = {}) {
  updpack::BuildResult r = BuildPackage(std::move(files), options);
  EXPECT_EQ(r.error, "");
  return r.image;
}

// Names in code page 932: 表 (95 5C, a trail byte that is a backslash), ｱ (B1, half-width).
const std::string kHyou = "\x95\x5C.txt";  // 表.txt
const std::string kHalfA = "\xB1.bin";     // ｱ.bin

std::vector<PackageFile> SampleFiles() {
  return {
      {kHalfA, updbench::ScriptText(3000, 1), 0x01D0000000000001ull},
      {"sixteen", Random(16, 2), 132000000000000000ull},
      {kHyou, Bytes(5000, 'x'), 132000000000000001ull},
      {"a.txt", updbench::ScriptText(20000, 3), 0xFFFFFFFF00000000ull},
      {"empty", {}, 0},
      {"Z.DAT", Random(17, 4), 1},
  };
}

// The layout of the files themselves: the integrity record, which follows them, is left out.
TEST(PackageWriter, LayoutAsTheLoaderReadsIt) {
  std::vector<PackageFile> files = SampleFiles();
  const Bytes img = Build(files, WithoutRecord());
  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);

  // Ascending byte order of the names: Z (5A) < a (61) < e < s < 表 (95) < ｱ (B1).
  const std::vector<std::string> order = {"Z.DAT", "a.txt", "empty", "sixteen", kHyou, kHalfA};
  ASSERT_EQ(dir->EntryCount(), order.size());
  EXPECT_EQ(dir->Header().Magic, upd::kPackageMagic);
  EXPECT_EQ(dir->Header().HeaderFlags, upd::kDirectoryCompressed);

  std::uint64_t expected_offset = upd::kPackageHeaderSize;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const upd::PackageEntry& e = dir->Entries()[i];
    SCOPED_TRACE(order[i]);
    ASSERT_EQ(e.Name(), order[i]);
    const auto src = std::find_if(files.begin(), files.end(),
                                  [&](const PackageFile& f) { return f.name == order[i]; });
    EXPECT_EQ(e.TimeStamp, src->time_stamp);
    EXPECT_EQ(e.UnpackedSize, src->bytes.size());
    EXPECT_EQ(dir->DataOffset(i), expected_offset);
    const auto stored = dir->StoredBytes(img, i);
    if (e.IsCompressed()) {
      EXPECT_EQ(e.EntryFlags, upd::kEntryCompressed);
      EXPECT_LT(e.StoredSize, e.UnpackedSize);
      Bytes out(e.UnpackedSize);
      ASSERT_EQ(upd::DecompressBlock(stored, out), std::optional<std::size_t>(e.UnpackedSize));
      EXPECT_EQ(out, src->bytes);
    } else {
      EXPECT_EQ(e.EntryFlags, upd::kEntryStored);
      EXPECT_EQ(e.StoredSize, e.UnpackedSize);
      EXPECT_EQ(Bytes(stored.begin(), stored.end()), src->bytes);
    }
    // Zero fill up to the next multiple of 16.
    const std::uint64_t end = expected_offset + e.StoredSize;
    expected_offset += upd::PaddedSize(e.StoredSize);
    for (std::uint64_t p = end; p < expected_offset; ++p) EXPECT_EQ(img[p], 0) << "fill byte " << p;
  }
  // Text compresses; random bytes and the empty file are stored; 17 stored bytes take 32.
  EXPECT_TRUE(dir->Entries()[1].IsCompressed());
  EXPECT_TRUE(dir->Entries()[4].IsCompressed());
  EXPECT_FALSE(dir->Entries()[0].IsCompressed());
  EXPECT_FALSE(dir->Entries()[2].IsCompressed());
  EXPECT_FALSE(dir->Entries()[3].IsCompressed());
  EXPECT_EQ(dir->DataOffset(1) - dir->DataOffset(0), 32u);

  // The directory follows the data directly and its stream is the last thing in the package:
  // it is exactly our compression of the records.
  EXPECT_EQ(dir->Header().DirectoryOffset, expected_offset);
  Bytes table(order.size() * upd::kEntryRecordSize);
  for (std::size_t i = 0; i < order.size(); ++i) {
    upd::EncodeEntryRecord(dir->Entries()[i], std::span(table).subspan(i * upd::kEntryRecordSize)
                                                  .first<upd::kEntryRecordSize>());
  }
  const Bytes stream = updpack::Compress(table, updpack::Level::kDefault);
  EXPECT_EQ(img.size(), dir->Header().DirectoryOffset + stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), img.begin() + dir->Header().DirectoryOffset));

  std::vector<updpack::Fault> notes;
  EXPECT_FALSE(updpack::VerifyPackage(img, &notes));
  EXPECT_TRUE(notes.empty());
}

// The integrity record is listed in its place in name order like any entry ('<' is 3C: after
// digits and some marks, before letters and Japanese), and its data lies where that order puts
// it.
TEST(PackageWriter, RecordInNameOrder) {
  const std::string kRecord(upd::kIntegrityEntryName);
  struct Row {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> listed;
    bool store = false;
  };
  const Row rows[] = {
      {"every file name sorts after it", {"UPDATE.INI", kHyou, "a.txt"},
       {kRecord, "UPDATE.INI", "a.txt", kHyou}},
      {"digits and marks sort before it",
       {"UPDATE.INI", "=y", "9.txt", "~z", "0.dat", "!readme.txt", ";x", kHalfA, "#1.dat"},
       {"!readme.txt", "#1.dat", "0.dat", "9.txt", ";x", kRecord, "=y", "UPDATE.INI", "~z", kHalfA}},
      {"digits and marks, stored", {"UPDATE.INI", "0.dat", "a.txt"}, {"0.dat", kRecord, "UPDATE.INI", "a.txt"},
       true},
      {"every file name sorts before it", {"1.dat", "0.dat"}, {"0.dat", "1.dat", kRecord}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<PackageFile> files;
    for (std::size_t i = 0; i < r.files.size(); ++i) {
      // Text that compresses and bytes that do not, in turn, so that sizes differ.
      files.push_back({r.files[i], i % 2 ? Random(100 + i, 7 + static_cast<std::uint32_t>(i))
                                         : updbench::ScriptText(2000 + 100 * i, static_cast<std::uint32_t>(i)),
                       1000 + i});
    }
    PackageOptions o;
    o.store = r.store;
    const Bytes img = Build(files, o);
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    std::vector<std::string> listed;
    for (const upd::PackageEntry& e : dir->Entries()) listed.emplace_back(e.Name());
    EXPECT_EQ(listed, r.listed);

    // Every entry's bytes at the offset the directory order gives it: the files unpack to what
    // was packed, the record holds its magic and checks.
    for (std::size_t i = 0; i < listed.size(); ++i) {
      SCOPED_TRACE(listed[i]);
      const auto stored = dir->StoredBytes(img, i);
      if (listed[i] == kRecord) {
        EXPECT_EQ(std::string(stored.begin(), stored.begin() + 8), std::string("UPDXXH3\0", 8));
        continue;
      }
      const auto src = std::find_if(files.begin(), files.end(),
                                    [&](const PackageFile& f) { return f.name == listed[i]; });
      Bytes out(dir->Entries()[i].UnpackedSize);
      if (dir->Entries()[i].IsCompressed()) {
        ASSERT_EQ(upd::DecompressBlock(stored, out), std::optional<std::size_t>(out.size()));
      } else {
        out.assign(stored.begin(), stored.end());
      }
      EXPECT_EQ(out, src->bytes);
    }
    EXPECT_EQ(upd::CheckIntegrity(*dir, img).status, upd::IntegrityResult::Status::kSound);
    std::vector<updpack::Fault> notes;
    bool checked = false;
    EXPECT_FALSE(updpack::VerifyPackage(img, &notes, &checked));
    EXPECT_TRUE(checked);
    EXPECT_TRUE(notes.empty()) << notes.front().text;
  }
}

TEST(PackageWriter, SameFilesSameBytes) {
  std::vector<PackageFile> files = SampleFiles();
  const Bytes first = Build(files);
  std::reverse(files.begin(), files.end());
  EXPECT_EQ(Build(files), first);
  std::rotate(files.begin(), files.begin() + 2, files.end());
  EXPECT_EQ(Build(files), first);
}

TEST(PackageWriter, NoEntries) {
  for (bool store : {false, true}) {
    SCOPED_TRACE(store ? "stored" : "compressed");
    PackageOptions o;
    o.store = store;
    o.integrity = false;
    const Bytes img = Build({}, o);
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->EntryCount(), 0u);
    EXPECT_EQ(dir->Header().DirectoryOffset, 16u);
    EXPECT_EQ(img.size(), store ? 16u : 21u);  // header, then nothing or the bare end marker
  }
}

TEST(PackageWriter, StoreOptionStoresEverything) {
  PackageOptions o;
  o.store = true;
  const Bytes img = Build(SampleFiles(), o);
  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->Header().HeaderFlags, 0u);
  for (const upd::PackageEntry& e : dir->Entries()) {
    SCOPED_TRACE(std::string(e.Name()));
    EXPECT_EQ(e.EntryFlags, upd::kEntryStored);
    EXPECT_EQ(e.StoredSize, e.UnpackedSize);
  }
  EXPECT_EQ(img.size(), dir->Header().DirectoryOffset + dir->EntryCount() * upd::kEntryRecordSize);
  EXPECT_FALSE(updpack::VerifyPackage(img, nullptr));
}

TEST(PackageWriter, EveryLevelMakesASoundPackage) {
  for (auto level : {updpack::Level::kFast, updpack::Level::kDefault, updpack::Level::kBest}) {
    SCOPED_TRACE(std::string(updpack::LevelName(level)));
    PackageOptions o;
    o.level = level;
    const Bytes img = Build(SampleFiles(), o);
    EXPECT_FALSE(updpack::VerifyPackage(img, nullptr));
  }
}

std::string Kanji(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "\x88\x9F";  // 亜
  return s;
}

TEST(EntryNames, RefusedAndAccepted) {
  struct Row {
    const char* what;
    std::string name;
    bool ok;
  };
  const Row rows[] = {
      {"plain", "UPDATE.INI", true},
      {"259 bytes", std::string(259, 'a'), true},
      {"260 bytes", std::string(260, 'a'), false},
      {"129 kanji and a letter: 259 bytes", Kanji(129) + "a", true},
      {"130 kanji: 260 bytes", Kanji(130), false},
      {"trail byte 5C is no separator (表)", "\x95\x5C.txt", true},
      {"trail byte 5C is no separator (ソ)", "\x83\x5C", true},
      {"trail byte 7C is no bar (ポ)", "\x83\x7C.txt", true},
      {"half-width katakana", "\xB1\xB2.txt", true},
      {"dots inside", "a..b", true},
      {"device-like but longer", "CONSOLE.txt", true},
      {"COM0 is no device", "COM0", true},
      {"empty", "", false},
      {"slash", "sub/a.txt", false},
      {"backslash", "sub\\a.txt", false},
      {"parent", "..", false},
      {"current", ".", false},
      {"parent with backslash", "..\\a.txt", false},
      {"drive", "C:a.txt", false},
      {"stream", "a.txt:x", false},
      {"question mark", "a?.txt", false},
      {"star", "*.txt", false},
      {"bar", "a|b", false},
      {"quote", "a\"b", false},
      {"angle", "a<b", false},
      {"control", "a\tb", false},
      {"trailing dot", "a.", false},
      {"trailing blank", "a ", false},
      {"device", "CON", false},
      {"device with extension", "nul.txt", false},
      {"device any case", "Lpt3", false},
      {"lone lead byte", "a\x88", false},
      {"lead byte and bad trail", "\x88\x20", false},
      {"byte 80", "\x80", false},
      {"byte FF", "a\xFF", false},
      {"a double-byte code without a character", "\x85\x40.txt", false},
      {"a user-defined character", "\xF0\x40.txt", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(!updpack::EntryNameFault(r.name).has_value(), r.ok);
    updpack::BuildResult built = BuildPackage({{"ok.txt", {}, 0}, {r.name, {1, 2, 3}, 0}}, {});
    EXPECT_EQ(built.error.empty(), r.ok);
    if (!r.ok) {
      EXPECT_EQ(built.file, 1u);
      EXPECT_TRUE(built.image.empty());
    }
  }
}

TEST(EntryNames, NamesTheUpdaterCannotTellApartAreRefused) {
  struct Row {
    const char* what;
    std::string a, b;
    bool clash;
  };
  const Row rows[] = {
      {"ASCII case", "Data.bin", "DATA.BIN", true},
      {"same name", "a", "a", true},
      {"full-width Latin (Ａ, ａ)", "\x82\x60.txt", "\x82\x81.txt", true},
      {"Greek (Α, α)", "\x83\x9F", "\x83\xBF", true},
      {"Cyrillic (Ж, ж)", "\x84\x47", "\x84\x77", true},
      {"Cyrillic past the gap (О, о)", "\x84\x4F", "\x84\x80", true},
      {"Roman numerals (Ⅰ, ⅰ)", "\x87\x54.txt", "\xFA\x40.txt", true},
      {"the two codes of ≒", "\x81\xE0", "\x87\x90", true},
      {"NEC and IBM codes of one kanji (纊)", "\xED\x40", "\xFA\x5C", true},
      {"a repeat mark counts as the kanji before it (亜々, 亜亜)", "\x88\x9F\x81\x58",
       "\x88\x9F\x88\x9F", true},
      {"a prolonged sound mark after a kana is its own (カー, カア)", "\x83\x4A\x81\x5B",
       "\x83\x4A\x83\x41", false},
      {"katakana and hiragana (ア, あ)", "\x83\x41", "\x82\xA0", false},
      {"half- and full-width (ｱ, ア)", "\xB1", "\x83\x41", false},
      {"different names", "a.txt", "b.txt", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    updpack::BuildResult built = BuildPackage({{r.a, {1}, 0}, {r.b, {2}, 0}}, {});
    EXPECT_EQ(!built.error.empty(), r.clash);
    if (r.clash) {
      EXPECT_EQ(built.file, 1u);
      EXPECT_EQ(built.other, 0u);
    }
  }
}

// A sound package with a compressed (0), a stored (1) and another compressed entry (2), and
// a way to damage its directory records and rebuild the directory stream.
class DamagedPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    // As another tool would make it: without the integrity record, so that what is checked
    // here is the structure alone.
    good_ = Build({{"a.txt", updbench::ScriptText(6000, 8), 5},
                   {"b.bin", Random(100, 9), 6},
                   {"c.txt", Bytes(3000, 'c'), 7}},
                  WithoutRecord());
    const upd::PackageHeader h = upd::DecodeHeader(std::span(good_).first<16>());
    ASSERT_EQ(h.EntryCount, 3u);
    table_.resize(3 * upd::kEntryRecordSize);
    ASSERT_EQ(upd::DecompressBlock(std::span(good_).subspan(h.DirectoryOffset), table_),
              std::optional<std::size_t>(table_.size()));
  }

  // The good package with its records edited.
  Bytes WithRecords(const std::function<void(Bytes&)>& edit) const {
    Bytes table = table_;
    edit(table);
    const std::uint32_t dir = Get32(good_, 8);
    Bytes img(good_.begin(), good_.begin() + dir);
    const Bytes stream = updpack::Compress(table, updpack::Level::kFast);
    img.insert(img.end(), stream.begin(), stream.end());
    return img;
  }
  static std::size_t Field(std::size_t entry, std::size_t offset) {
    return entry * upd::kEntryRecordSize + offset;
  }
  static void SetName(Bytes& table, std::size_t entry, const std::string& name) {
    std::fill_n(table.begin() + Field(entry, 0), 260, 0);
    std::copy(name.begin(), name.end(), table.begin() + Field(entry, 0));
  }

  Bytes good_;
  Bytes table_;
};

TEST_F(DamagedPackage, VerifyNamesTheFirstFault) {
  constexpr std::size_t kAll = updpack::kWholePackage;
  const std::uint32_t dir = Get32(good_, 8);
  const std::uint32_t a_stored = Get32(table_, Field(0, 276));
  struct Row {
    const char* what;
    Bytes image;
    std::size_t entry;
    const char* says;
  };
  auto edited = [&](auto edit) {
    Bytes b = good_;
    edit(b);
    return b;
  };
  const Row rows[] = {
      {"shorter than a header", Bytes(good_.begin(), good_.begin() + 10), kAll, "too few"},
      {"wrong magic", edited([](Bytes& b) { b[2] = '3'; }), kAll, "not a package"},
      {"directory offset past the end",
       edited([&](Bytes& b) { Put32(b, 8, static_cast<std::uint32_t>(b.size() + 1)); }), kAll,
       "lies outside"},
      {"directory offset inside the header", edited([](Bytes& b) { Put32(b, 8, 8); }), kAll,
       "lies outside"},
      {"directory stream cut short", Bytes(good_.begin(), good_.end() - 6), kAll,
       "the package is truncated: its compressed directory runs past the end"},
      {"directory stream damaged within", edited([&](Bytes& b) { std::fill(b.begin() + dir, b.end(), 0); }),
       kAll, "damaged: its stream does not decode"},
      {"one record more than the stream holds", edited([](Bytes& b) { Put32(b, 12, 4); }), kAll,
       "holds 840 bytes, not the 1120"},
      {"plain directory beyond the end",
       edited([&](Bytes& b) { Put32(b, 4, 0); b.resize(dir + 100); }), kAll, "needs 840 bytes"},
      {"name without its zero byte",
       WithRecords([](Bytes& t) { std::fill_n(t.begin() + Field(1, 0), 260, 'B'); }), 1,
       "no terminating zero"},
      {"name with a folder",
       WithRecords([](Bytes& t) { SetName(t, 1, "..\\b.bin"); }), 1, "folder part"},
      {"flags 3", WithRecords([](Bytes& t) { Put32(t, Field(2, 260), 3); }), 2, "flags are 3"},
      {"stored size differs from the size",
       WithRecords([](Bytes& t) { Put32(t, Field(1, 276), 99); }), 1, "differs from its size"},
      {"compressed stream cut short",
       WithRecords([&](Bytes& t) { Put32(t, Field(0, 276), a_stored / 2); }), 0, "damaged"},
      {"compressed entry one byte larger than its stream",
       WithRecords([](Bytes& t) { Put32(t, Field(0, 272), 6001); }), 0, "unpacks to 6000 bytes"},
      {"compressed entry one byte smaller than its stream",
       WithRecords([](Bytes& t) { Put32(t, Field(0, 272), 5999); }), 0, "more than its size"},
      {"data running into the directory",
       WithRecords([](Bytes& t) { Put32(t, Field(2, 276), 4000); }), 2, "run past the directory"},
      {"size no stream can have",
       WithRecords([](Bytes& t) { Put32(t, Field(2, 272), 0x7FFFFFFF); }), 2, "no stream of"},
      {"same name as an earlier entry but for case",
       WithRecords([](Bytes& t) { SetName(t, 2, "A.TXT"); }), 2, "regardless of letter case"},
      {"two faults: the earlier entry is named",
       WithRecords([](Bytes& t) {
         Put32(t, Field(2, 260), 0);
         Put32(t, Field(1, 276), 1);
       }),
       1, "differs from its size"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const auto fault = updpack::VerifyPackage(r.image, nullptr);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->entry, r.entry);
    EXPECT_NE(fault->text.find(r.says), std::string::npos) << fault->text;
  }
}

TEST_F(DamagedPackage, HarmlessOdditiesAreNotedNotFaulted) {
  struct Row {
    const char* what;
    Bytes image;
    std::size_t entry;
    const char* says;
  };
  const std::uint32_t dir = Get32(good_, 8);
  Bytes filled = good_;
  // Entry 1 stores 100 bytes: 12 fill bytes follow.
  filled[16 + upd::PaddedSize(Get32(table_, Field(0, 276))) + 100] = 0xAA;
  Bytes gap(good_.begin(), good_.begin() + dir);
  gap.resize(dir + 16, 0);
  gap.insert(gap.end(), good_.begin() + dir, good_.end());
  Put32(gap, 8, dir + 16);
  Bytes flagged = good_;
  Put32(flagged, 4, 0x81);
  const Row rows[] = {
      {"names out of order", WithRecords([](Bytes& t) { SetName(t, 0, "d.txt"); }), 1,
       "out of order"},
      {"fill byte not zero", filled, 1, "fill bytes"},
      {"stray bytes after a name",
       WithRecords([](Bytes& t) { t[Field(1, 200)] = 'x'; }), 1, "stray bytes"},
      {"spare bytes before the directory", gap, updpack::kWholePackage, "16 unused bytes"},
      {"unknown header flags", flagged, updpack::kWholePackage, "0x00000081"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<updpack::Fault> notes;
    EXPECT_FALSE(updpack::VerifyPackage(r.image, &notes));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].entry, r.entry);
    EXPECT_NE(notes[0].text.find(r.says), std::string::npos) << notes[0].text;
  }
}

// A cut package is refused, or (when only the unread last control word of the directory
// stream goes) reads exactly as before; the sanitizers watch every read.
TEST_F(DamagedPackage, TruncationsAreRefusedOrHarmless) {
  const auto whole = updpack::OpenPackage(good_);
  ASSERT_TRUE(whole.view);
  for (std::size_t n = 0; n < good_.size(); ++n) {
    SCOPED_TRACE("length " + std::to_string(n));
    const Bytes cut(good_.begin(), good_.begin() + n);
    if (const auto fault = updpack::VerifyPackage(cut, nullptr)) {
      // Once the header is whole, a cut file is called what it is.
      if (n >= upd::kPackageHeaderSize) {
        EXPECT_NE(fault->text.find("the package is truncated"), std::string::npos) << n << " " << fault->text;
      }
      continue;
    }
    EXPECT_GE(n + 4, good_.size());
    const auto opened = updpack::OpenPackage(cut);
    ASSERT_TRUE(opened.view);
    for (std::size_t i = 0; i < 3; ++i) {
      const auto a = updpack::ReadEntry(*whole.view, i);
      const auto b = updpack::ReadEntry(*opened.view, i);
      EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.end(), b.bytes.begin(), b.bytes.end()));
    }
  }
}

}  // namespace

namespace {

// The integrity record that updpack adds: what verify checks with it, and without it.
class IntegrityRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = Build(SampleFiles());
    const auto opened = updpack::OpenPackage(image_);
    ASSERT_TRUE(opened.view);
    view_ = opened.view->entries;
    offsets_ = opened.view->offsets;
    ASSERT_TRUE(opened.view->integrity_record);
    record_ = *opened.view->integrity_record;
  }

  // The index of the entry so named, or the entry count when there is none.
  std::size_t IndexOf(std::string_view name) const {
    return static_cast<std::size_t>(
        std::find_if(view_.begin(), view_.end(), [&](const upd::PackageEntry& e) { return e.Name() == name; }) -
        view_.begin());
  }

  static std::optional<updpack::Fault> Verify(const Bytes& img, bool* checked = nullptr) {
    return updpack::VerifyPackage(img, nullptr, checked);
  }

  Bytes image_;
  std::vector<upd::PackageEntry> view_;
  std::vector<std::uint64_t> offsets_;
  std::size_t record_ = 0;
};

TEST_F(IntegrityRecord, IsAddedAndChecked) {
  ASSERT_EQ(view_.size(), SampleFiles().size() + 1);
  EXPECT_EQ(view_[record_].Name(), upd::kIntegrityEntryName);
  EXPECT_EQ(view_[record_].UnpackedSize, 32u + 32u * SampleFiles().size());
  bool checked = false;
  EXPECT_FALSE(Verify(image_, &checked));
  EXPECT_TRUE(checked);
  // The updater's own loader and check take it alike.
  auto dir = upd::LoadPackageDirectory(image_);
  ASSERT_TRUE(dir);
  EXPECT_EQ(upd::CheckIntegrity(*dir, image_).status, upd::IntegrityResult::Status::kSound);

  // A package without it (as other tools make them) is sound, only not checked as deeply.
  const Bytes plain = Build(SampleFiles(), WithoutRecord());
  EXPECT_FALSE(Verify(plain, &checked));
  EXPECT_FALSE(checked);
  auto plain_dir = upd::LoadPackageDirectory(plain);
  ASSERT_TRUE(plain_dir);
  EXPECT_EQ(upd::CheckIntegrity(*plain_dir, plain).status, upd::IntegrityResult::Status::kNoRecord);
}

// Every single-bit flip in any entry's stored bytes (the record's own bytes included) is caught
// by verify and (but for the record's hashes of unpacked bytes) by the updater's check, also where the entry still unpacks to the same bytes (a
// flip in the unused bits after a stream's end marker); without the record most of them passed
// as sound.
TEST_F(IntegrityRecord, EveryBitFlipInEntryDataIsCaught) {
  constexpr std::uint32_t kSeed = 20261210;
  std::printf("bit flips with seed %u\n", kSeed);
  std::uint32_t x = kSeed;
  std::size_t tried = 0;
  for (std::size_t i = 0; i < view_.size(); ++i) {
    if (view_[i].StoredSize == 0) continue;
    for (int n = 0; n < 40; ++n) {
      x = x * 1664525u + 1013904223u;
      const std::size_t at = static_cast<std::size_t>(offsets_[i] + (x >> 8) % view_[i].StoredSize);
      Bytes damaged = image_;
      damaged[at] ^= static_cast<std::uint8_t>(1u << (x & 7));
      SCOPED_TRACE("entry " + std::to_string(i) + ", byte " + std::to_string(at));
      EXPECT_TRUE(Verify(damaged));
      // The updater leaves the record's hashes of unpacked bytes alone: it never unpacks to
      // compare, so a flip that changes only those cannot mislead it.
      bool unpacked_hash_only = false;
      if (i == record_) {
        const auto a = updpack::ReadEntry(*updpack::OpenPackage(image_).view, i);
        const auto b = updpack::ReadEntry(*updpack::OpenPackage(damaged).view, i);
        if (b.fault.empty() && a.bytes.size() == b.bytes.size()) {
          unpacked_hash_only = true;
          for (std::size_t k = 0; k < a.bytes.size(); ++k) {
            if (a.bytes[k] != b.bytes[k] && (k < 32 || (k - 32) % 32 < 16)) unpacked_hash_only = false;
          }
        }
      }
      if (auto dir = upd::LoadPackageDirectory(damaged); dir && !unpacked_hash_only) {
        EXPECT_NE(upd::CheckIntegrity(*dir, damaged).status, upd::IntegrityResult::Status::kSound);
      }
      ++tried;
    }
  }
  EXPECT_GT(tried, 200u);
}

// An entry whose stored bytes match the record but unpack to something other than what was
// packed (as a fault of the encoder would make it): the updater's check takes the stored bytes
// as they are, verify unpacks every entry and names it.
TEST_F(IntegrityRecord, VerifyAlsoProvesWhatEachEntryUnpacksTo) {
  // The record (stored as it is) first, then a.txt, compressed, then b.txt.
  Bytes img = Build({{"a.txt", updbench::ScriptText(20000, 3), 1}, {"b.txt", updbench::ScriptText(9000, 5), 2}});
  const auto opened = updpack::OpenPackage(img);
  ASSERT_TRUE(opened.view);
  const auto entries = opened.view->entries;
  const auto offsets = opened.view->offsets;
  constexpr std::size_t kRecord = 0, kA = 1;
  ASSERT_EQ(entries.size(), 3u);
  ASSERT_EQ(entries[kRecord].Name(), upd::kIntegrityEntryName);
  ASSERT_TRUE(entries[kA].IsCompressed());
  const auto original = updpack::ReadEntry(*opened.view, kA);
  // A flip that still decodes, to other bytes.
  bool changed = false;
  for (std::size_t at = offsets[kA] + 4; at < offsets[kA] + entries[kA].StoredSize && !changed; ++at) {
    img[at] ^= 0x01;
    const auto b = updpack::ReadEntry(*updpack::OpenPackage(img).view, kA);
    changed = b.fault.empty() && b.bytes.size() == original.bytes.size() &&
              !std::equal(b.bytes.begin(), b.bytes.end(), original.bytes.begin());
    if (!changed) img[at] ^= 0x01;
  }
  ASSERT_TRUE(changed);
  // The record made to agree with the new stored bytes (the first file's stored hash at 32).
  const upd::Hash128 h = upd::HashBytes(std::span(img).subspan(offsets[kA], entries[kA].StoredSize));
  std::copy(h.begin(), h.end(), img.begin() + static_cast<std::ptrdiff_t>(offsets[kRecord] + 32));

  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  EXPECT_EQ(upd::CheckIntegrity(*dir, img).status, upd::IntegrityResult::Status::kSound);
  const auto fault = Verify(img);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->entry, kA);
  EXPECT_NE(fault->text.find("contents differ from the integrity record"), std::string::npos)
      << fault->text;
}

TEST_F(IntegrityRecord, NamesWhatDiffers) {
  struct Row {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::size_t entry;
    const char* says;
  };
  // Z.DAT is stored: a flipped byte inside a stored entry still decodes, so only the record
  // can tell.
  const std::size_t z = IndexOf("Z.DAT");
  ASSERT_LT(z, view_.size());
  ASSERT_FALSE(view_[z].IsCompressed());
  const Row rows[] = {
      {"a stored entry's byte", [&](Bytes& b) { b[offsets_[z] + 3] ^= 0x10; }, z,
       "contents differ from the integrity record"},
      {"the record's header", [&](Bytes& b) { b[offsets_[record_]] ^= 1; }, record_,
       "integrity record is damaged"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes img = image_;
    r.damage(img);
    const auto fault = Verify(img);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->entry, r.entry);
    EXPECT_NE(fault->text.find(r.says), std::string::npos) << fault->text;
  }
}

// Where the record lies does not matter to what it covers: the updater's check and verify take
// it in its place in name order (as built), last (as packages built before that have it), and
// anywhere else, which verify only notes.
TEST(IntegrityRecordPlace, EveryPlaceChecksAlike) {
  std::vector<PackageFile> files = SampleFiles();
  files.push_back({"0.dat", Random(40, 11), 3});
  files.push_back({"1.txt", updbench::ScriptText(4000, 12), 4});
  const Bytes built = Build(files);
  const auto opened = updpack::OpenPackage(built);
  ASSERT_TRUE(opened.view && opened.view->integrity_record);
  const std::size_t record = *opened.view->integrity_record;
  ASSERT_EQ(record, 2u);  // after 0.dat and 1.txt, before Z.DAT
  std::vector<std::size_t> first = {record};
  for (std::size_t i = 0; i < opened.view->entries.size(); ++i) {
    if (i != record) first.push_back(i);
  }
  std::vector<std::size_t> as_built(opened.view->entries.size());
  std::iota(as_built.begin(), as_built.end(), std::size_t{0});

  struct Row {
    const char* what;
    std::vector<std::size_t> order;
    std::optional<std::size_t> noted;  // the entry noted out of order
  };
  const Row rows[] = {
      {"in name order, as built", as_built, std::nullopt},
      {"last, as built before", updtest::RecordLast(built), std::nullopt},
      {"first, out of name order", first, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Bytes img = updtest::Relaid(built, r.order);
    std::vector<updpack::Fault> notes;
    bool checked = false;
    EXPECT_FALSE(updpack::VerifyPackage(img, &notes, &checked));
    EXPECT_TRUE(checked);
    ASSERT_EQ(notes.size(), r.noted ? 1u : 0u);
    if (r.noted) {
      EXPECT_EQ(notes[0].entry, *r.noted);
      EXPECT_NE(notes[0].text.find("out of order"), std::string::npos) << notes[0].text;
    }
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    EXPECT_EQ(upd::CheckIntegrity(*dir, img).status, upd::IntegrityResult::Status::kSound);

    // And it still tells damage: a byte of a stored file, which still reads, and the record's
    // own header.
    std::size_t z = 0, at = 0;
    for (std::size_t i = 0; i < dir->EntryCount(); ++i) {
      if (dir->Entries()[i].Name() == "Z.DAT") z = i;
      if (dir->Entries()[i].Name() == upd::kIntegrityEntryName) at = i;
    }
    ASSERT_FALSE(dir->Entries()[z].IsCompressed());
    Bytes damaged = img;
    damaged[dir->DataOffset(z) + 5] ^= 0x40;
    auto damaged_dir = upd::LoadPackageDirectory(damaged);
    ASSERT_TRUE(damaged_dir);
    const upd::IntegrityResult found = upd::CheckIntegrity(*damaged_dir, damaged);
    EXPECT_EQ(found.status, upd::IntegrityResult::Status::kContent);
    EXPECT_EQ(found.entry, z);
    const auto fault = updpack::VerifyPackage(damaged, nullptr);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->entry, z);
    damaged = img;
    damaged[dir->DataOffset(at)] ^= 0x01;
    EXPECT_EQ(upd::CheckIntegrity(*upd::LoadPackageDirectory(damaged), damaged).status,
              upd::IntegrityResult::Status::kBadRecord);
  }
}

}  // namespace

namespace {

TEST(NameSpelling, ComposesDecomposedKana) {
  struct Row {
    const char* what;
    std::string in, out;  // UTF-8
    bool noted;
  };
  const Row rows[] = {
      {"か + voiced", "\xE3\x81\x8B\xE3\x82\x99", "\xE3\x81\x8C", true},           // が
      {"ハ + semi-voiced", "\xE3\x83\x8F\xE3\x82\x9A", "\xE3\x83\x91", true},      // パ
      {"ホ + voiced", "\xE3\x83\x9B\xE3\x82\x99", "\xE3\x83\x9C", true},           // ボ
      {"ト + voiced", "\xE3\x83\x88\xE3\x82\x99", "\xE3\x83\x89", true},           // ド
      {"ウ + voiced", "\xE3\x82\xA6\xE3\x82\x99", "\xE3\x83\xB4", true},           // ヴ
      {"ヽ + voiced", "\xE3\x83\xBD\xE3\x82\x99", "\xE3\x83\xBE", true},           // ヾ
      {"ア + voiced stays two", "\xE3\x82\xA2\xE3\x82\x99", "\xE3\x82\xA2\xE3\x82\x99", false},
      {"カ + semi-voiced stays two", "\xE3\x82\xAB\xE3\x82\x9A", "\xE3\x82\xAB\xE3\x82\x9A", false},
      {"composed already", "\xE3\x82\xAC.txt", "\xE3\x82\xAC.txt", false},
      {"plain ASCII", "UPDATE.INI", "UPDATE.INI", false},
      {"not UTF-8 passes through", "\xFF\xFE", "\xFF\xFE", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const updpack::NameSpelling s = updpack::SpellForCodePage932(r.in);
    EXPECT_EQ(s.utf8, r.out);
    EXPECT_EQ(!s.notes.empty(), r.noted);
    EXPECT_FALSE(s.refusal);
  }
}

}  // namespace
