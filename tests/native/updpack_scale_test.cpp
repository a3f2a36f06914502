// updpack with files and packages larger than the buffers it reads and writes them in: round
// trips byte for byte, damage found piece by piece and named as before, the format's limits
// refused before anything is written, and the memory each command takes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "package/container.h"
#include "package_reader.h"
#include "package_writer.h"
#include "pe_image.h"
#include "pe_builder.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using updtest::Bytes;
using testing::HasSubstr;

void WriteFile(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                           static_cast<std::streamsize>(b.size()));
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Text-like bytes that compress well but not to nothing: phrases from a small set, with
// numbers between them (seed printed by the callers' names: fixed per file).
Bytes Compressible(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {"texture ", "sprite_", "level", "=0x", "\r\n",
                                       "[MAP] ", "actor ", "sound/", ".ogg", "; "};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 32);
  while (b.size() < n) {
    const std::string w = kWords[rng() % 10] + std::to_string(rng() % 1000);
    b.insert(b.end(), w.begin(), w.end());
  }
  b.resize(n);
  return b;
}

struct Ran : updtest::Ran {
  long peak_kib = 0;  // the process's peak resident memory, when measured
};

// A process started from this one counts this one's peak as its own (Linux hands the peak of
// the address space it replaces on to the program it starts), so updpack's own is taken by
// /usr/bin/time, which starts it from a small process.
constexpr const char* kTime = "/usr/bin/time";

// updpack as a user runs it, in a process of its own.
Ran RunUpdpack(const std::vector<std::string>& args, const fs::path& scratch, bool measure = false) {
  const fs::path peak = scratch / "peak.txt";
  updtest::Argv argv;
  if (measure) argv = {kTime, "-f", "%M", "-o", peak.string()};
  argv.push_back(UPDPACK_EXE);
  argv.insert(argv.end(), args.begin(), args.end());
  Ran r{updtest::RunProcess(argv)};
  if (measure) {
    // The last line: a failing command's status comes before it.
    std::ifstream in(peak);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) r.peak_kib = std::stol(line);
    }
    fs::remove(peak);
  }
  return r;
}

class Scale : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("updpack_scale_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "in");
  }
  void TearDown() override { fs::remove_all(dir_); }

  Ran Run(const std::vector<std::string>& args, bool measure = false) {
    return RunUpdpack(args, dir_, measure);
  }
  std::string P(const std::string& name) const { return (dir_ / name).string(); }
  // The names in a folder: what a refusal must not have left behind.
  static std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// Files larger than every buffer on the way (1 MiB chunks and stream pieces, 256 KiB pieces
// of unpacked bytes, the encoder's 1 MiB blocks), each level of packing, through build, verify,
// list and extract: what comes out is what went in, and the package is the one the in-memory
// writer makes of the same files.
TEST_F(Scale, LargeEntriesRoundTripByteForByte) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"UPDATE.INI", {'[', 'S', 'E', 'T', 'U', 'P', ']', '\r', '\n'}},
      {"big.dat", Compressible((5u << 19) + 12345, 1)},   // compressed, several stream pieces
      {"noise.bin", updtest::RandomBytes((3u << 19) + 7, 2)},  // given up, then stored
      {"z.txt", Compressible(100, 3)},
  };
  for (const auto& [name, bytes] : files) WriteFile(dir_ / "in" / name, bytes);
  struct Case {
    const char* name;
    std::vector<std::string> options;
    updpack::PackageOptions in_memory;
  };
  updpack::PackageOptions fast, store;
  fast.level = updpack::Level::kFast;
  store.store = true;
  const std::vector<Case> cases = {
      {"fast", {"--level", "fast"}, fast},
      {"default", {}, {}},
      {"store", {"--store"}, store},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pkg = P(std::string(c.name) + ".fa3");
    std::vector<std::string> args = {"build", P("in"), "-o", pkg};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran built = Run(args);
    ASSERT_EQ(built.code, 0) << built.err;

    std::vector<updpack::PackageFile> in_memory;
    for (const auto& [name, bytes] : files) in_memory.push_back({name, bytes, 0});
    const Bytes written = ReadFile(pkg);
    const updpack::OpenResult opened = updpack::OpenPackage(written);
    ASSERT_TRUE(opened.view) << opened.fault.text;
    // Time stamps come from the files; the rest must be what the in-memory writer lays out.
    for (std::size_t i = 0; i < in_memory.size(); ++i) {
      for (const upd::PackageEntry& e : opened.view->entries) {
        if (e.Name() == in_memory[i].name) in_memory[i].time_stamp = e.TimeStamp;
      }
    }
    EXPECT_EQ(updpack::BuildPackage(in_memory, c.in_memory).image, written);

    const Ran verified = Run({"verify", pkg});
    EXPECT_EQ(verified.code, 0) << verified.err;
    EXPECT_THAT(verified.out, HasSubstr("contents checked"));
    const Ran listed = Run({"list", "--tsv", pkg});
    EXPECT_EQ(listed.code, 0) << listed.err;
    EXPECT_THAT(listed.out, HasSubstr(std::string("big.dat\t") + (c.in_memory.store ? "stored" : "compressed") +
                                      "\t" + std::to_string(files[1].second.size())));

    const fs::path out = dir_ / (std::string(c.name) + "-out");
    const Ran extracted = Run({"extract", pkg, "-C", out.string()});
    ASSERT_EQ(extracted.code, 0) << extracted.err;
    for (const auto& [name, bytes] : files) {
      EXPECT_TRUE(ReadFile(out / name) == bytes) << name << " differs after the round trip";
    }
  }
}

// A damaged stream is found while it is decoded piece by piece, and named in the words of the
// whole-buffer reader: a stream that ends early, one that yields one byte too many, one that
// yields more, one cut short, one with a flipped byte. The pieces handed on before the fault
// or of a sound entry are its bytes in order.
TEST(EntryPieces, FaultsAsTheWholeBufferReaderNamesThem) {
  updpack::PackageOptions options;
  options.integrity = false;
  options.level = updpack::Level::kFast;
  const Bytes content = Compressible(700u << 10, 4);
  const Bytes image = updpack::BuildPackage({{"BIG.DAT", content, 0}}, options).image;
  const std::optional<updpack::PackageView> sound = updpack::OpenPackage(image).view;
  ASSERT_TRUE(sound);
  ASSERT_TRUE(sound->entries[0].IsCompressed());
  const std::uint32_t size = sound->entries[0].UnpackedSize;
  const std::uint32_t stream = sound->entries[0].StoredSize;

  struct Case {
    const char* name;
    std::int64_t size_change = 0;      // to the record's UnpackedSize
    std::int64_t stored_change = 0;    // to the record's StoredSize (cuts the stream)
    std::size_t flip_at = 0;           // a byte of the stream flipped, when not 0
    const char* words;                 // what the fault must say
  };
  const std::vector<Case> cases = {
      {"sound", 0, 0, 0, ""},
      {"ends early", +5, 0, 0, "unpacks to " },
      {"one byte too many", -1, 0, 0, "unpacks to more than its size"},
      {"two bytes too many", -2, 0, 0, "is damaged"},
      {"cut short", 0, -static_cast<std::int64_t>(stream / 2), 0, "is damaged"},
      {"a flipped byte", 0, 0, stream / 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = image;
    if (c.flip_at != 0) damaged[sound->offsets[0] + c.flip_at] ^= 0x5A;
    updpack::PackageView v = *updpack::OpenPackage(damaged).view;
    v.entries[0].UnpackedSize = static_cast<std::uint32_t>(size + c.size_change);
    v.entries[0].StoredSize = static_cast<std::uint32_t>(stream + c.stored_change);

    const updpack::EntryBytes whole = updpack::ReadEntry(v, 0);
    Bytes pieces_bytes;
    std::size_t pieces = 0;
    updpack::EntryPieces reader;
    const std::optional<std::string> fault =
        reader.Read(v, 0, [&](std::span<const std::uint8_t> p) {
          pieces_bytes.insert(pieces_bytes.end(), p.begin(), p.end());
          ++pieces;
        });
    EXPECT_EQ(fault.value_or(""), whole.fault);
    EXPECT_THAT(fault.value_or(""), HasSubstr(c.words));
    if (!fault) {
      EXPECT_GT(pieces, 2u) << "a large entry comes in several pieces";
      EXPECT_TRUE(std::equal(pieces_bytes.begin(), pieces_bytes.end(), whole.bytes.begin(),
                             whole.bytes.end()));
    }
  }
}

// verify finds a flipped byte in the middle of a large compressed entry and names the entry.
TEST_F(Scale, VerifyNamesDamageInALargeEntry) {
  WriteFile(dir_ / "in" / "a.txt", Compressible(1000, 5));
  WriteFile(dir_ / "in" / "big.dat", Compressible(3u << 20, 6));
  ASSERT_EQ(Run({"build", P("in"), "-o", P("u.fa3"), "--level", "fast"}).code, 0);
  Bytes pkg = ReadFile(P("u.fa3"));
  const updpack::PackageView v = *updpack::OpenPackage(pkg).view;
  std::size_t big = 0;
  while (v.entries[big].Name() != "big.dat") ++big;
  pkg[v.offsets[big] + v.entries[big].StoredSize / 2] ^= 0x01;
  WriteFile(P("damaged.fa3"), pkg);
  const Ran r = Run({"verify", P("damaged.fa3")});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("entry " + std::to_string(big) + " (big.dat): "));
}

// The checksum of an updater written piece by piece is the one of the whole file, wherever the
// pieces begin and end (odd offsets split a 16-bit word between two pieces).
TEST(CheckSummer, PiecesSumAsTheWholeFile) {
  std::mt19937 rng(11);
  for (const std::size_t size : {0u, 1u, 7u, 64u, 4097u, 100'003u}) {
    SCOPED_TRACE(size);
    Bytes file = updtest::RandomBytes(size, static_cast<std::uint32_t>(size));
    const std::size_t field = size / 3;  // anywhere, odd or even
    for (std::size_t k = field; k < std::min(size, field + 4); ++k) file[k] = 0;
    for (int round = 0; round < 5; ++round) {
      updpack::pe::CheckSummer sum;
      for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min<std::size_t>(size - at, rng() % 37);
        sum.Update(std::span(file).subspan(at, n));
        at += n;
      }
      EXPECT_EQ(sum.Finish(), updpack::pe::ComputeCheckSum(file, field));
    }
  }
}

// A file made of one hole: no disk space taken, any size. Nothing when the file system will
// not have it.
bool MakeSparse(const fs::path& p, std::uint64_t size) {
  std::ofstream(p, std::ios::binary).flush();
  std::error_code ec;
  fs::resize_file(p, size, ec);
  return !ec && fs::file_size(p, ec) == size;
}

// The format's limits, not memory, decide what can be packed: a file of 4 GiB, files that even
// packed as densely as the format allows take 4 GiB, and a package too large for an updater's
// resource section are refused with the limit named, before anything is written.
TEST_F(Scale, LimitsAreRefusedBeforeAnythingIsWritten) {
  WriteFile(dir_ / "in" / "UPDATE.INI", Compressible(100, 7));
  if (!MakeSparse(dir_ / "in" / "huge.dat", 4ull << 30)) {
    GTEST_SKIP() << "this file system does not hold a sparse file of 4 GiB";
  }
  Ran r = Run({"build", P("in"), "-o", P("out") + "/u.fa3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("a package holds files of less than 4 GiB"));
  EXPECT_THAT(r.err, HasSubstr("nothing written"));

  // Each below the limit for one file, together beyond what any package can hold.
  fs::remove(dir_ / "in" / "huge.dat");
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(MakeSparse(dir_ / "in" / ("part" + std::to_string(i) + ".dat"), 4'200'000'000ull));
  }
  fs::create_directories(dir_ / "out");
  r = Run({"build", P("in"), "-o", P("out") + "/u.fa3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("the package would reach 4 GiB"));
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{}) << "nothing written, not even a temporary file";

  // A sound package of 2.2 GB: one stored entry that is a hole, and its directory. It is a
  // package, but no updater's resource section can hold it.
  const std::uint32_t size = 2'200'000'000u;
  const fs::path big = dir_ / "big.fa3";
  ASSERT_TRUE(MakeSparse(big, 16 + upd::PaddedSize(size) + upd::kEntryRecordSize));
  {
    Bytes head(16), record(upd::kEntryRecordSize);
    upd::PackageEntry e;
    std::memcpy(e.EntryName.data(), "HOLE.DAT", 8);
    e.EntryFlags = upd::kEntryStored;
    e.UnpackedSize = e.StoredSize = size;
    upd::EncodeEntryRecord(e, std::span<std::uint8_t, upd::kEntryRecordSize>(record));
    upd::EncodeHeader({upd::kPackageMagic, 0, 16 + upd::PaddedSize(size), 1},
                      std::span<std::uint8_t, 16>(head.data(), 16));
    std::fstream f(big, std::ios::binary | std::ios::in | std::ios::out);
    f.write(reinterpret_cast<const char*>(head.data()), 16);
    f.seekp(16 + upd::PaddedSize(size));
    f.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
  }
  updtest::FakePe shape;
  shape.resources = updtest::StandardResources();
  WriteFile(dir_ / "stub.exe", updtest::BuildFakePe(shape));
  r = Run({"embed", big.string(), "-o", P("out") + "/game.exe", "--stub", P("stub.exe")});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("2 GiB"));
  EXPECT_EQ(Names(dir_ / "out"), std::vector<std::string>{}) << "nothing written, not even a temporary file";
}

// What each command holds at its peak is the same for an update of 80 MiB as for one of a few
// bytes, give or take the margin below: no file, entry or package is held whole.
TEST_F(Scale, PeakMemoryDoesNotGrowWithTheUpdate) {
  if (::access(kTime, X_OK) != 0) GTEST_SKIP() << kTime << " is missing (tests/install-deps.sh installs it)";
  constexpr long kMarginKib = 24 << 10;
  fs::create_directories(dir_ / "small");
  WriteFile(dir_ / "small" / "UPDATE.INI", Compressible(100, 8));
  WriteFile(dir_ / "in" / "UPDATE.INI", Compressible(100, 8));
  WriteFile(dir_ / "in" / "level.dat", Compressible(48u << 20, 9));
  WriteFile(dir_ / "in" / "movie.bin", updtest::RandomBytes(32u << 20, 10));
  updtest::FakePe shape;
  shape.resources = updtest::StandardResources();
  WriteFile(dir_ / "stub.exe", updtest::BuildFakePe(shape));

  const auto commands = [&](const std::string& update) {
    const std::string pkg = P(update + ".fa3");
    return std::vector<std::pair<std::string, std::vector<std::string>>>{
        {"build", {"build", P(update), "-o", pkg, "--level", "fast"}},
        {"verify", {"verify", pkg}},
        {"list", {"list", pkg}},
        {"extract", {"extract", pkg, "-C", P(update + "-out")}},
        {"embed", {"embed", pkg, "-o", P(update + ".exe"), "--stub", P("stub.exe")}},
    };
  };
  const auto small = commands("small");
  const auto large = commands("in");
  for (std::size_t k = 0; k < small.size(); ++k) {
    SCOPED_TRACE(small[k].first);
    const Ran a = Run(small[k].second, true);
    const Ran b = Run(large[k].second, true);
    ASSERT_EQ(a.code, 0) << a.err;
    ASSERT_EQ(b.code, 0) << b.err;
    std::printf("%s: peak %ld KiB for 80 MiB of files, %ld KiB for 100 bytes\n",
                small[k].first.c_str(), b.peak_kib, a.peak_kib);
    EXPECT_LT(b.peak_kib, a.peak_kib + kMarginKib)
        << "peak " << b.peak_kib << " KiB for 80 MiB of files against " << a.peak_kib
        << " KiB for 100 bytes";
  }
}

}  // namespace
