// updpack as the publisher runs it: the built tool as a process, its exit codes, its output,
// and the files it writes.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "package/container.h"
#include "package/decoder.h"
#include "package_builder.h"
#include "package_writer.h"
#include "relaid_package.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using updtest::Ran;

// A folder of its own, removed with everything in it when the test ends.
class Scratch {
 public:
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "updpack_cli_XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes ReadBytes(const fs::path& p) {
  const std::string s = ReadText(p);
  return Bytes(s.begin(), s.end());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

// Sets the last-write time, in seconds and nanoseconds since 1970.
void SetTime(const fs::path& p, std::int64_t sec, long nsec) {
  timespec t[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
}

timespec GetTime(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_mtim;
}

// Runs the built tool with the arguments, in `cwd`, collecting its output (or sending its
// standard output to `stdout_to`). The tool's own folder does not matter; relative paths are
// taken from cwd.
Ran Updpack(const std::vector<std::string>& args, const fs::path& cwd = fs::temp_directory_path(),
            const fs::path& stdout_to = {}) {
  updtest::Argv argv = {UPDPACK_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return updtest::RunProcess(argv, {.cwd = cwd, .stdout_to = stdout_to});
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A small update: an UPDATE.INI, a Japanese name (テスト.txt, データ.bin) and a file whose
// time stamp has a fraction of a second.
struct SampleUpdate {
  Scratch dir;
  SampleUpdate() {
    WriteFile(dir / "UPDATE.INI", "[SETUP]\r\nCompanyName=Test\r\n");
    std::string text;
    for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i % 7) + " of the script\r\n";
    WriteFile(dir / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt", text);  // テスト.txt
    std::string bin;
    for (int i = 0; i < 200; ++i) bin += static_cast<char>(i * 97 % 251);  // no byte twice
    WriteFile(dir / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin", bin);  // データ.bin
    SetTime(dir / "UPDATE.INI", 1600000000, 0);
    SetTime(dir / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt", 1262304000, 500000000);
    SetTime(dir / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin", 946684799, 123456700);
  }
};

TEST(UpdpackCli, BuildListVerifyExtract) {
  SampleUpdate sample;
  Scratch work;
  const fs::path pkg = work / "update.fa3";
  Ran b = Updpack({"build", sample.dir.path().string(), "-o", pkg.string()});
  ASSERT_EQ(b.code, 0) << b.err;
  EXPECT_TRUE(Has(b.out, "3 entries")) << b.out;

  // Entry names are code page 932 inside the package.
  const Bytes img = ReadBytes(pkg);
  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->EntryCount(), 4u);
  EXPECT_EQ(dir->Entries()[0].Name(), "<XXH3-128>");  // the integrity record: '<' is 3C
  EXPECT_EQ(dir->Entries()[1].Name(), "UPDATE.INI");
  EXPECT_EQ(dir->Entries()[2].Name(), "\x83\x65\x83\x58\x83\x67.txt");  // テスト.txt
  EXPECT_EQ(dir->Entries()[3].Name(), "\x83\x66\x81\x5B\x83\x5E.bin");  // データ.bin

  // For scripts: tabs, and times with every digit of the fraction.
  Ran l = Updpack({"list", "--tsv", pkg.string()});
  ASSERT_EQ(l.code, 0) << l.err;
  const std::string text_size =
      std::to_string(fs::file_size(sample.dir / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt"));
  const std::string text_stored = std::to_string(dir->Entries()[2].StoredSize);
  EXPECT_EQ(l.out,
            "UPDATE.INI\tstored\t27\t27\t2020-09-13T12:26:40.0000000Z\n"
            "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt\tcompressed\t" + text_size + "\t" +
                text_stored + "\t2010-01-01T00:00:00.5000000Z\n"
            "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin\tstored\t200\t200\t1999-12-31T23:59:59.1234567Z\n");

  // For people: a header, aligned columns, times to the second, and the totals.
  Ran h = Updpack({"list", pkg.string()});
  ASSERT_EQ(h.code, 0) << h.err;
  const std::uint64_t size = 27 + std::stoull(text_size) + 200;
  const std::uint64_t stored = 27 + std::stoull(text_stored) + 200;
  auto pad = [](std::string v, std::size_t w) { return std::string(w - v.size(), ' ') + v; };
  EXPECT_EQ(h.out,
            "Size  Stored  Method      Time (UTC)           Name\n" +
                pad("27", 4) + "  " + pad("27", 6) + "  stored      2020-09-13 12:26:40  UPDATE.INI\n" +
                pad(text_size, 4) + "  " + pad(text_stored, 6) +
                "  compressed  2010-01-01 00:00:00  \xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt\n" +
                pad("200", 4) + "  " + pad("200", 6) +
                "  stored      1999-12-31 23:59:59  \xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin\n" +
                pad(std::to_string(size), 4) + "  " + pad(std::to_string(stored), 6) +
                "  3 entries, stored in " + std::to_string(stored * 100 / size) + "% of their size\n");

  Ran v = Updpack({"verify", pkg.string()});
  EXPECT_EQ(v.code, 0) << v.err;
  EXPECT_TRUE(Has(v.out, "sound, 3 entries, contents checked")) << v.out;
  EXPECT_EQ(v.err, "");

  const fs::path into = work / "out";
  Ran x = Updpack({"extract", pkg.string(), "-C", into.string()});
  ASSERT_EQ(x.code, 0) << x.err;
  for (const auto& e : fs::directory_iterator(sample.dir.path())) {
    const fs::path name = e.path().filename();
    SCOPED_TRACE(name.string());
    EXPECT_EQ(ReadText(into / name), ReadText(e.path()));
    const timespec a = GetTime(e.path()), c = GetTime(into / name);
    EXPECT_EQ(a.tv_sec, c.tv_sec);
    EXPECT_EQ(a.tv_nsec / 100, c.tv_nsec / 100);  // FILETIME counts 100 ns
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(into), fs::directory_iterator()), 3);
}

// verify --against: a package against the folder it was built from, every difference named.
TEST(UpdpackCli, VerifyAgainstTheFolder) {
  SampleUpdate sample;
  Scratch work;
  const fs::path pkg = work / "update.fa3";
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg.string()}).code, 0);
  const fs::path& dir = sample.dir.path();
  Ran same = Updpack({"verify", pkg.string(), "--against", dir.string()});
  EXPECT_EQ(same.code, 0) << same.err;
  EXPECT_TRUE(Has(same.out, "contents checked; matches the folder")) << same.out;

  const std::string text = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt";  // テスト.txt
  WriteFile(dir / "new.txt", "added later");
  WriteFile(dir / "UPDATE.INI", "[SETUP]\r\nchanged=1\r\n");
  SetTime(dir / text, 1262304001, 0);
  Ran differ = Updpack({"verify", "--against=" + dir.string(), pkg.string()});
  EXPECT_EQ(differ.code, 1);
  EXPECT_TRUE(Has(differ.err, "(UPDATE.INI): its 27 bytes differ")) << differ.err;
  EXPECT_TRUE(Has(differ.err, "(" + text + "): its time stamp 2010-01-01T00:00:00.5000000Z differs"))
      << differ.err;
  EXPECT_TRUE(Has(differ.err, "new.txt: not in the package")) << differ.err;
  EXPECT_TRUE(Has(differ.err, "sound, but 3 differences from the folder")) << differ.err;
  fs::remove(dir / "new.txt");
  fs::remove(dir / text);
  Ran missing = Updpack({"verify", pkg.string(), "--against", dir.string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(Has(missing.err, "(" + text + "): no such file in")) << missing.err;
}

updpack::PackageOptions WithoutRecord() {
  updpack::PackageOptions o;
  o.integrity = false;
  return o;
}

// A package without the integrity record (another tool's) verifies, and says what it could not
// check; one with it checks its contents, whether the record lies in name order or last (as
// build put it before); list and extract never show or write the record.
TEST(UpdpackCli, IntegrityRecordIsNoFile) {
  Scratch work;
  const std::vector<updpack::PackageFile> files = {{"A.TXT", {'a'}, 1}, {"B.TXT", {'b'}, 2}};
  const Bytes with = updpack::BuildPackage(files, {}).image;
  const Bytes last = updtest::Relaid(with, updtest::RecordLast(with));
  const Bytes without = updpack::BuildPackage(files, WithoutRecord()).image;
  ASSERT_NE(last, with);
  WriteFile(work / "with", std::string(with.begin(), with.end()));
  WriteFile(work / "last", std::string(last.begin(), last.end()));
  WriteFile(work / "without", std::string(without.begin(), without.end()));
  Ran plain = Updpack({"verify", (work / "without").string()});
  EXPECT_EQ(plain.code, 0);
  EXPECT_TRUE(Has(plain.out, "sound, 2 entries, structure only: the package has no integrity "
                             "record")) << plain.out;
  for (const char* which : {"with", "last"}) {
    SCOPED_TRACE(which);
    Ran checked = Updpack({"verify", (work / which).string()});
    EXPECT_EQ(checked.code, 0);
    EXPECT_TRUE(Has(checked.out, "sound, 2 entries, contents checked")) << checked.out;
    EXPECT_EQ(checked.err, "");
  }
  for (const char* which : {"with", "last", "without"}) {
    SCOPED_TRACE(which);
    Ran l = Updpack({"list", "--tsv", (work / which).string()});
    EXPECT_EQ(l.out, "A.TXT\tstored\t1\t1\t1601-01-01T00:00:00.0000001Z\n"
                     "B.TXT\tstored\t1\t1\t1601-01-01T00:00:00.0000002Z\n");
    const fs::path into = work / (std::string(which) + "_out");
    EXPECT_EQ(Updpack({"extract", (work / which).string(), "-C", into.string()}).code, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(into), fs::directory_iterator()), 2);
  }
  Ran named = Updpack({"extract", (work / "with").string(), "-C", (work / "x").string(),
                       "<XXH3-128>"});
  EXPECT_EQ(named.code, 1);
  EXPECT_TRUE(Has(named.err, "no entry named <XXH3-128>")) << named.err;
}

TEST(UpdpackCli, SameFolderSamePackageAtEveryLevel) {
  SampleUpdate sample;
  Scratch work;
  for (const char* level : {"fast", "default", "best"}) {
    SCOPED_TRACE(level);
    ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", (work / "a").string(), "--level", level}).code, 0);
    ASSERT_EQ(Updpack({"build", "--level=" + std::string(level), sample.dir.path().string(), "-o", (work / "b").string()}).code, 0);
    EXPECT_EQ(ReadBytes(work / "a"), ReadBytes(work / "b"));
    EXPECT_EQ(Updpack({"verify", (work / "a").string()}).code, 0);
  }
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "--store", "-o", (work / "s").string()}).code, 0);
  auto dir = upd::LoadPackageDirectory(ReadBytes(work / "s"));
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->Header().HeaderFlags, 0u);
  for (const auto& e : dir->Entries()) EXPECT_FALSE(e.IsCompressed());
}

TEST(UpdpackCli, ExtractChosenEntriesRegardlessOfCase) {
  SampleUpdate sample;
  Scratch work;
  const fs::path pkg = work / "p";
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg.string()}).code, 0);
  Ran x = Updpack({"extract", pkg.string(), "-C", (work / "o").string(), "update.ini",
               "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.TXT"});
  ASSERT_EQ(x.code, 0) << x.err;
  EXPECT_TRUE(fs::exists(work / "o" / "UPDATE.INI"));
  EXPECT_TRUE(fs::exists(work / "o" / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt"));
  EXPECT_FALSE(fs::exists(work / "o" / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"));

  struct Row {
    const char* what;
    std::string name;
    const char* says;
  };
  const Row rows[] = {
      {"no such entry", "nothing.txt", "no entry named nothing.txt"},
      {"not in code page 932 (Korean)", "\xED\x95\x9C.txt", "cannot spell"},
      {"not UTF-8", "\xFF.txt", "cannot spell"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Ran bad = Updpack({"extract", pkg.string(), "-C", (work / "none").string(), "UPDATE.INI", r.name});
    EXPECT_EQ(bad.code, 1);
    EXPECT_TRUE(Has(bad.err, r.says)) << bad.err;
    EXPECT_FALSE(fs::exists(work / "none"));  // nothing is written when a name is wrong
  }
}

TEST(UpdpackCli, BuildRefusals) {
  struct Row {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    const char* says;
  };
  const Row rows[] = {
      {"a subfolder", {"a.txt"}, {"sub"}, "is a folder"},
      {"a name code page 932 cannot spell (Korean)", {"\xED\x95\x9C.txt"}, {}, "cannot spell"},
      {"a name that is not UTF-8", {"\xFF\xFE.txt"}, {}, "cannot spell"},
      {"names that differ only in case", {"a.txt", "A.TXT"}, {}, "cannot tell its name"},
      {"Roman numerals the updater takes for one (Ⅰ, ⅰ)",
       {"\xE2\x85\xA0.txt", "\xE2\x85\xB0.txt"}, {}, "cannot tell its name"},
      {"a name Windows refuses", {"what?.txt"}, {}, "Windows refuses"},
      {"a stream name", {"a.txt:x"}, {}, "stream"},
      {"a device name", {"aux.dat"}, {}, "device"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Scratch src, work;
    for (const auto& f : r.files) WriteFile(src / f, "x");
    for (const auto& d : r.folders) fs::create_directory(src / d);
    Ran b = Updpack({"build", src.path().string(), "-o", (work / "p").string()});
    EXPECT_EQ(b.code, 1);
    EXPECT_TRUE(Has(b.err, r.says)) << b.err;
    EXPECT_FALSE(fs::exists(work / "p"));
  }
  // The package may not land in the folder it packs.
  Scratch src;
  WriteFile(src / "a.txt", "x");
  Ran b = Updpack({"build", ".", "-o", "p"}, src.path());
  EXPECT_EQ(b.code, 1);
  EXPECT_TRUE(Has(b.err, "would lie in the folder")) << b.err;
}

// Names that code page 932 cannot keep as they are: folded into the character Windows shows
// with a note, composed from decomposed kana with a note, or refused where the stored form
// would be a different, plainer character.
TEST(UpdpackCli, NamesChangedOnTheWayAreSaid) {
  struct Row {
    const char* what;
    std::vector<std::string> files;
    int code;
    std::string says;    // in stderr
    std::string listed;  // the first name list prints, for code 0
  };
  const Row rows[] = {
      {"wave dash (〜) is stored as ～", {"\xE3\x80\x9C.txt"}, 0,
       "\xE3\x80\x9C is stored as \xEF\xBD\x9E", "\xEF\xBD\x9E.txt"},
      {"em dash (—) is stored as ―", {"a\xE2\x80\x94" "b"}, 0,
       "\xE2\x80\x94 is stored as \xE2\x80\x95", "a\xE2\x80\x95" "b"},
      {"pound sign (£) is stored as ￡", {"\xC2\xA3.txt"}, 0, "\xC2\xA3 is stored as \xEF\xBF\xA1",
       "\xEF\xBF\xA1.txt"},
      {"decomposed ガ (カ and U+3099) is composed", {"\xE3\x82\xAB\xE3\x82\x99.txt"}, 0,
       "composed to \xE3\x82\xAC", "\xE3\x82\xAC.txt"},
      {"overline (‾) would become ~", {"a\xE2\x80\xBE.txt"}, 1, "stored as ~, a different", ""},
      {"yen sign (¥) would become the path separator", {"\xC2\xA5" "100.txt"}, 1,
       "path separator", ""},
      {"〜 and ～ are one name in code page 932",
       {"\xE3\x80\x9C.txt", "\xEF\xBD\x9E.txt"}, 1, "the same name in code page 932", ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Scratch src, work;
    for (const auto& f : r.files) WriteFile(src / f, "x");
    Ran b = Updpack({"build", src.path().string(), "-o", (work / "p").string()});
    EXPECT_EQ(b.code, r.code) << b.err;
    EXPECT_TRUE(Has(b.err, r.says)) << b.err;
    if (r.code == 0) {
      Ran l = Updpack({"list", "--tsv", (work / "p").string()});
      EXPECT_EQ(l.out.substr(0, l.out.find('\t')), r.listed);
    } else {
      EXPECT_FALSE(fs::exists(work / "p"));
    }
  }
}

// Names the updater cannot tell apart: build names both files and says why; verify names both
// entries of a package made elsewhere.
TEST(UpdpackCli, NamesTheUpdaterTakesForOne) {
  const std::string upper = "\xE2\x85\xA0.txt", lower = "\xE2\x85\xB0.txt";  // Ⅰ.txt, ⅰ.txt
  Scratch src, work;
  WriteFile(src / upper, "upper");
  WriteFile(src / lower, "lower");
  Ran b = Updpack({"build", src.path().string(), "-o", (work / "p").string()});
  EXPECT_EQ(b.code, 1);
  EXPECT_TRUE(Has(b.err, upper) && Has(b.err, lower)) << b.err;
  EXPECT_TRUE(Has(b.err, "cannot tell its name from another's")) << b.err;
  EXPECT_FALSE(fs::exists(work / "p"));

  const Bytes img = updtest::Image({updtest::Stored("\x87\x54.txt", 5, 1),
                                    updtest::Stored("\xFA\x40.txt", 5, 2)}, true);
  WriteFile(work / "q", std::string(img.begin(), img.end()));
  Ran v = Updpack({"verify", (work / "q").string()});
  EXPECT_EQ(v.code, 1);
  EXPECT_TRUE(Has(v.err, "entry 1 (" + lower + ")") && Has(v.err, "entry 0: " + upper)) << v.err;
  EXPECT_TRUE(Has(v.err, "cannot tell its name from that of entry 0")) << v.err;
}

TEST(UpdpackCli, ExitCodesAndHelp) {
  Scratch work;
  WriteFile(work / "junk", "this is no package at all");
  struct Row {
    const char* what;
    std::vector<std::string> args;
    int code;
    const char* says;  // in stdout for code 0, in stderr otherwise
  };
  const Row rows[] = {
      {"no arguments", {}, 2, "usage: updpack COMMAND"},
      {"tool help", {"--help"}, 0, "usage: updpack COMMAND"},
      {"help for a command", {"help", "verify"}, 0, "usage: updpack verify FILE"},
      {"build help", {"build", "--help"}, 0, "usage: updpack build DIR -o FILE"},
      {"list help", {"list", "-h"}, 0, "usage: updpack list FILE"},
      {"extract help", {"extract", "x", "--help"}, 0, "usage: updpack extract FILE"},
      {"verify help", {"verify", "--help"}, 0, "usage: updpack verify FILE"},
      {"unknown command", {"pack"}, 2, "unknown command 'pack'"},
      {"unknown option", {"list", "--long", "x"}, 2, "unknown option --long"},
      {"build without output", {"build", work.path().string()}, 2, "-o FILE"},
      {"build with a bad level", {"build", "d", "-o", "p", "--level", "max"}, 2, "unknown level"},
      {"two packages", {"verify", "a", "b"}, 2, "one package only"},
      {"missing package", {"list", (work / "none").string()}, 1, "cannot read"},
      {"not a package", {"verify", (work / "junk").string()}, 1, "not a package"},
      {"missing folder", {"build", (work / "none").string(), "-o", (work / "p").string()}, 1,
       "cannot read the folder"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Ran run = Updpack(r.args);
    EXPECT_EQ(run.code, r.code) << run.err;
    EXPECT_TRUE(Has(r.code == 0 ? run.out : run.err, r.says)) << run.out << run.err;
  }
}

// A package whose directory claims names with folder parts: extract writes only the sound
// entries, inside its folder, and says which it refused.
TEST(UpdpackCli, ExtractNeverWritesOutsideItsFolder) {
  Scratch work;
  const Bytes good = updpack::BuildPackage({{"a.txt", Bytes(40, 'a'), 1},
                                            {"b.txt", Bytes(40, 'b'), 2},
                                            {"c.txt", Bytes(40, 'c'), 3},
                                            {"d.txt", Bytes(40, 'd'), 4}},
                                           {.level = updpack::Level::kDefault, .store = true,
                                            .integrity = false, .progress = {}})
                         .image;
  ASSERT_FALSE(good.empty());
  Bytes bad = good;
  const std::size_t table = bad.size() - 4 * upd::kEntryRecordSize;
  auto rename = [&](std::size_t i, const std::string& name) {
    std::fill_n(bad.begin() + static_cast<std::ptrdiff_t>(table + i * upd::kEntryRecordSize), 260, 0);
    std::copy(name.begin(), name.end(), bad.begin() + static_cast<std::ptrdiff_t>(table + i * upd::kEntryRecordSize));
  };
  rename(0, "../up.txt");
  rename(1, "..\\up2.txt");
  rename(3, "/tmp/abs.txt");
  const fs::path pkg = work / "bad.fa3";
  WriteFile(pkg, std::string(bad.begin(), bad.end()));
  fs::create_directory(work / "deep");
  Ran x = Updpack({"extract", pkg.string(), "-C", (work / "deep" / "out").string()});
  EXPECT_EQ(x.code, 1);
  EXPECT_TRUE(Has(x.err, "entry 0")) << x.err;
  EXPECT_TRUE(Has(x.err, "entry 1")) << x.err;
  EXPECT_TRUE(Has(x.err, "entry 3")) << x.err;
  EXPECT_TRUE(Has(x.err, "folder part")) << x.err;
  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(work.path())) {
    if (e.is_regular_file()) written.push_back(fs::relative(e.path(), work.path()).string());
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"bad.fa3", "deep/out/c.txt"}));
  EXPECT_FALSE(fs::exists("/tmp/abs.txt"));

  Ran v = Updpack({"verify", pkg.string()});
  EXPECT_EQ(v.code, 1);
  EXPECT_TRUE(Has(v.err, "entry 0 (../up.txt): the name has a folder part")) << v.err;
}

TEST(UpdpackCli, VerifyNamesTheFirstDamagedEntry) {
  SampleUpdate sample;
  Scratch work;
  const fs::path pkg = work / "p";
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg.string()}).code, 0);
  Bytes img = ReadBytes(pkg);
  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  ASSERT_TRUE(dir->Entries()[2].IsCompressed());
  // Zeros over the second half of the compressed entry's stream: its end marker goes.
  const std::size_t at = dir->DataOffset(2);
  const std::size_t n = dir->Entries()[2].StoredSize;
  std::fill(img.begin() + static_cast<std::ptrdiff_t>(at + n / 2),
            img.begin() + static_cast<std::ptrdiff_t>(at + n), 0);
  WriteFile(pkg, std::string(img.begin(), img.end()));
  Ran v = Updpack({"verify", pkg.string()});
  EXPECT_EQ(v.code, 1);
  EXPECT_TRUE(Has(v.err, "entry 2 (\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt): its compressed data"))
      << v.err;
  Ran x = Updpack({"extract", pkg.string(), "-C", (work / "o").string()});
  EXPECT_EQ(x.code, 1);
  EXPECT_TRUE(fs::exists(work / "o" / "UPDATE.INI"));
  EXPECT_TRUE(fs::exists(work / "o" / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"));
  EXPECT_FALSE(fs::exists(work / "o" / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt"));
}

// Whatever the arguments, the tool ends by itself: a message naming the fault and exit 1 or 2,
// never an abort by an uncaught exception.
TEST(UpdpackCli, NoArgumentEndsTheProcess) {
  SampleUpdate sample;
  Scratch work;
  const std::string pkg = (work / "p").string();
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg}).code, 0);
  struct Row {
    const char* what;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"build an empty folder name", {"build", "", "-o", (work / "x").string()}},
      {"build to an empty file name", {"build", sample.dir.path().string(), "-o", ""}},
      {"list an empty name", {"list", ""}},
      {"verify an empty name", {"verify", ""}},
      {"extract an empty name", {"extract", ""}},
      {"extract into an empty folder name", {"extract", pkg, "-C", ""}},
      {"extract into a file", {"extract", pkg, "-C", pkg}},
      {"embed an empty name", {"embed", "", "-o", (work / "x.exe").string()}},
      {"embed with an empty stub name", {"embed", pkg, "--stub", "", "-o", (work / "x.exe").string()}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Ran run = Updpack(r.args, work.path());
    EXPECT_TRUE(run.code == 1 || run.code == 2) << run.code << " " << run.err;
    EXPECT_TRUE(Has(run.err, "updpack " + r.args[0] + ": ")) << run.err;
    EXPECT_FALSE(Has(run.err, "terminate")) << run.err;
  }
  EXPECT_FALSE(fs::exists(work / "x"));
  EXPECT_FALSE(fs::exists(work / "x.exe"));
}

// A report that cannot be written is a failure, not a silent success.
TEST(UpdpackCli, WriteErrorsOnStandardOutputFail) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  SampleUpdate sample;
  Scratch work;
  const std::string pkg = (work / "p").string();
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg}).code, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list", pkg}, {"verify", pkg}, {"--help"}, {"list", "--help"}}) {
    SCOPED_TRACE(args.front() + " " + args.back());
    Ran run = Updpack(args, work.path(), "/dev/full");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Has(run.err, "cannot write to standard output")) << run.err;
  }
}

// A file of 4.5 GB (sparse: it takes no room) is refused from its size alone, whether it is to
// be packed, read as a package or used as the stub.
TEST(UpdpackCli, FilesTooLargeAreRefusedBeforeTheyAreRead) {
  constexpr std::uint64_t kSize = 4608ull << 20;  // 4.5 GiB
  Scratch src, work;
  WriteFile(src / "UPDATE.INI", "[SETUP]\r\n");
  const fs::path huge = src / "movie.bin";
  {
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const bool sized = ::ftruncate(fd, static_cast<off_t>(kSize)) == 0;
    ::close(fd);
    if (!sized) GTEST_SKIP() << "this file system holds no file of 4.5 GiB";
  }
  struct stat st {};
  ASSERT_EQ(::stat(huge.c_str(), &st), 0);
  if (static_cast<std::uint64_t>(st.st_blocks) * 512 > (1u << 20)) {
    GTEST_SKIP() << "this file system does not keep sparse files sparse";
  }
  const std::string size = std::to_string(kSize) + " bytes";
  const std::string pkg = (work / "p").string();

  Ran b = Updpack({"build", src.path().string(), "-o", pkg});
  EXPECT_EQ(b.code, 1);
  EXPECT_TRUE(Has(b.err, "movie.bin: is " + size)) << b.err;
  EXPECT_FALSE(fs::exists(pkg));

  fs::remove(huge);
  ASSERT_EQ(Updpack({"build", src.path().string(), "-o", pkg}).code, 0);
  {
    std::ofstream(work / "big.fa3").close();
    ASSERT_EQ(::truncate((work / "big.fa3").c_str(), static_cast<off_t>(kSize)), 0);
  }
  const std::string big = (work / "big.fa3").string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list", big}, {"verify", big}, {"extract", big, "-C", (work / "o").string()},
        {"embed", big, "-o", (work / "u.exe").string()},
        {"embed", pkg, "--stub", big, "-o", (work / "u.exe").string()}}) {
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args.back());
    Ran r = Updpack(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.err, size)) << r.err;
  }
  EXPECT_FALSE(fs::exists(work / "o"));
  EXPECT_FALSE(fs::exists(work / "u.exe"));
}

// What users bring from tar, zip and 7z: --version, --output=FILE, -v, and "-o -" refused
// rather than taken as a file named "-".
TEST(UpdpackCli, HabitsOfArchivers) {
  SampleUpdate sample;
  Scratch work;
  const std::string src = sample.dir.path().string();

  for (const char* v : {"--version", "-V"}) {
    Ran r = Updpack({v});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.starts_with("updpack ") && r.out.size() > 9 && std::isdigit(r.out[8])) << r.out;
  }

  Ran b = Updpack({"build", src, "--output=" + (work / "p").string(), "-v"});
  ASSERT_EQ(b.code, 0) << b.err;
  EXPECT_TRUE(fs::exists(work / "p"));
  EXPECT_TRUE(Has(b.out, "UPDATE.INI  27 bytes, stored\n")) << b.out;
  EXPECT_TRUE(Has(b.out, "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt  ")) << b.out;
  EXPECT_TRUE(Has(b.out, " bytes, compressed\n")) << b.out;

  Ran x = Updpack({"extract", (work / "p").string(), "--directory=" + (work / "x").string(), "-v"});
  ASSERT_EQ(x.code, 0) << x.err;
  EXPECT_EQ(x.out, (work / "x" / "UPDATE.INI").string() + "\n" +
                       (work / "x" / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt").string() + "\n" +
                       (work / "x" / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin").string() + "\n");

  struct Row {
    const char* what;
    std::vector<std::string> args;
    const char* says;
  };
  const Row rows[] = {
      {"build -o -", {"build", src, "-o", "-"}, "-o -: standard output is not taken here"},
      {"build --output=-", {"build", src, "--output=-"}, "--output=-: standard output"},
      {"build --output=", {"build", src, "--output="}, "--output= needs a file name, not an empty one"},
      {"embed -o -", {"embed", (work / "p").string(), "-o", "-"}, "-o -: standard output"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Ran run = Updpack(r.args, work.path());
    EXPECT_EQ(run.code, 2);
    EXPECT_TRUE(Has(run.err, r.says)) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(work / "-"));
  }
}

// -k leaves what is there; without it every file is replaced.
TEST(UpdpackCli, ExtractKeepsExistingFilesWhenAsked) {
  SampleUpdate sample;
  Scratch work;
  const std::string pkg = (work / "p").string();
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg}).code, 0);
  fs::create_directory(work / "x");
  WriteFile(work / "x" / "UPDATE.INI", "mine");
  Ran k = Updpack({"extract", pkg, "-C", (work / "x").string(), "--keep"});
  EXPECT_EQ(k.code, 0) << k.err;
  EXPECT_TRUE(Has(k.err, "UPDATE.INI exists; kept")) << k.err;
  EXPECT_EQ(ReadText(work / "x" / "UPDATE.INI"), "mine");
  EXPECT_EQ(ReadText(work / "x" / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"),
            ReadText(sample.dir / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"));
  Ran r = Updpack({"extract", pkg, "-C", (work / "x").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadText(work / "x" / "UPDATE.INI"), ReadText(sample.dir / "UPDATE.INI"));
}

// A folder that takes no file gets one message, not one per entry.
TEST(UpdpackCli, ExtractStopsAtTheFirstFaultOfTheFolder) {
  SampleUpdate sample;
  Scratch work;
  const std::string pkg = (work / "p").string();
  ASSERT_EQ(Updpack({"build", sample.dir.path().string(), "-o", pkg}).code, 0);
  const fs::path locked = work / "locked";
  fs::create_directory(locked);
  // Root passes over permissions; an immutable folder stops it too.
  int fd = -1;
  if (::geteuid() == 0) {
    fd = ::open(locked.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
        (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags)) != 0) {
      if (fd >= 0) ::close(fd);
      GTEST_SKIP() << "cannot make a folder that refuses files here";
    }
  } else {
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  }
  Ran x = Updpack({"extract", pkg, "-C", locked.string()});
  if (fd >= 0) {
    int flags = 0;
    ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
  } else {
    fs::permissions(locked, fs::perms::owner_all);
  }
  EXPECT_EQ(x.code, 1);
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = x.err.find("cannot write", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 1u) << x.err;
  EXPECT_TRUE(Has(x.err, "stopped: 2 entries not written")) << x.err;
  EXPECT_TRUE(fs::is_empty(locked));
}

// A package without entries serves nobody; a folder without UPDATE.INI is only noted.
TEST(UpdpackCli, EmptyFolderIsRefused) {
  Scratch empty, work;
  Ran b = Updpack({"build", empty.path().string(), "-o", (work / "p").string()});
  EXPECT_EQ(b.code, 1);
  EXPECT_TRUE(Has(b.err, "holds no files")) << b.err;
  EXPECT_FALSE(fs::exists(work / "p"));
  WriteFile(empty / "a.txt", "a");
  Ran n = Updpack({"build", empty.path().string(), "-o", (work / "p").string()});
  EXPECT_EQ(n.code, 0) << n.err;
  EXPECT_TRUE(Has(n.err, "note: ")) << n.err;
  EXPECT_TRUE(Has(n.err, "holds no UPDATE.INI")) << n.err;
}

}  // namespace
