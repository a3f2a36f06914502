// updpack as the publisher runs it: the built tool as a process, its exit codes, its output,
// and the files it writes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};

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

// Runs the built tool with the arguments, in `cwd`, collecting its output.
Ran Updpack(const std::vector<std::string>& args, const fs::path& cwd = fs::temp_directory_path()) {
  Scratch io;
  const fs::path out = io / "out", err = io / "err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> argv_s = {UPDPACK_EXE};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The tool's own folder does not matter; relative paths are taken from cwd.
  const fs::path here = fs::current_path();
  fs::current_path(cwd);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, UPDPACK_EXE, &fa, nullptr, argv.data(), environ);
  fs::current_path(here);
  posix_spawn_file_actions_destroy(&fa);
  Ran r;
  if (spawned != 0) return r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadText(out);
  r.err = ReadText(err);
  return r;
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
  EXPECT_EQ(dir->Entries()[0].Name(), "UPDATE.INI");
  EXPECT_EQ(dir->Entries()[1].Name(), "\x83\x65\x83\x58\x83\x67.txt");  // テスト.txt
  EXPECT_EQ(dir->Entries()[2].Name(), "\x83\x66\x81\x5B\x83\x5E.bin");  // データ.bin
  EXPECT_EQ(dir->Entries()[3].Name(), "<XXH3-128>");  // the integrity record, last

  Ran l = Updpack({"list", pkg.string()});
  ASSERT_EQ(l.code, 0) << l.err;
  EXPECT_EQ(l.out,
            "UPDATE.INI\tstored\t27\t27\t2020-09-13T12:26:40Z\n"
            "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt\tcompressed\t" +
                std::to_string(fs::file_size(sample.dir / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt")) +
                "\t" + std::to_string(dir->Entries()[1].StoredSize) + "\t2010-01-01T00:00:00.5Z\n"
            "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin\tstored\t200\t200\t1999-12-31T23:59:59.1234567Z\n");

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
  EXPECT_TRUE(Has(differ.err, "(" + text + "): its time stamp 2010-01-01T00:00:00.5Z differs"))
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
// check; list and extract never show or write the record.
TEST(UpdpackCli, IntegrityRecordIsNoFile) {
  Scratch work;
  const std::vector<updpack::PackageFile> files = {{"A.TXT", {'a'}, 1}, {"B.TXT", {'b'}, 2}};
  const Bytes with = updpack::BuildPackage(files, {}).image;
  const Bytes without = updpack::BuildPackage(files, WithoutRecord()).image;
  WriteFile(work / "with", std::string(with.begin(), with.end()));
  WriteFile(work / "without", std::string(without.begin(), without.end()));
  Ran plain = Updpack({"verify", (work / "without").string()});
  EXPECT_EQ(plain.code, 0);
  EXPECT_TRUE(Has(plain.out, "sound, 2 entries, structure only: the package has no integrity "
                             "record")) << plain.out;
  for (const char* which : {"with", "without"}) {
    SCOPED_TRACE(which);
    Ran l = Updpack({"list", (work / which).string()});
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
      Ran l = Updpack({"list", (work / "p").string()});
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
  ASSERT_TRUE(dir->Entries()[1].IsCompressed());
  // Zeros over the second half of the compressed entry's stream: its end marker goes.
  const std::size_t at = dir->DataOffset(1);
  const std::size_t n = dir->Entries()[1].StoredSize;
  std::fill(img.begin() + static_cast<std::ptrdiff_t>(at + n / 2),
            img.begin() + static_cast<std::ptrdiff_t>(at + n), 0);
  WriteFile(pkg, std::string(img.begin(), img.end()));
  Ran v = Updpack({"verify", pkg.string()});
  EXPECT_EQ(v.code, 1);
  EXPECT_TRUE(Has(v.err, "entry 1 (\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt): its compressed data"))
      << v.err;
  Ran x = Updpack({"extract", pkg.string(), "-C", (work / "o").string()});
  EXPECT_EQ(x.code, 1);
  EXPECT_TRUE(fs::exists(work / "o" / "UPDATE.INI"));
  EXPECT_TRUE(fs::exists(work / "o" / "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF.bin"));
  EXPECT_FALSE(fs::exists(work / "o" / "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt"));
}

}  // namespace
