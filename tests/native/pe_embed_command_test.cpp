// `updpack embed` as a user runs it: files in, files out, messages and exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "embed.h"
#include "embed_command.h"
#include "package/container.h"
#include "pe_builder.h"

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

// A package with one stored entry, as the loader expects it.
Bytes SmallPackage() {
  const Bytes content = {'[', 'S', 'E', 'T', 'U', 'P', ']', '\n'};
  Bytes pkg(16);
  pkg.insert(pkg.end(), content.begin(), content.end());
  pkg.resize(32, 0);
  upd::PackageEntry e;
  std::memcpy(e.EntryName.data(), "UPDATE.INI", 10);
  e.EntryFlags = upd::kEntryStored;
  e.UnpackedSize = e.StoredSize = static_cast<std::uint32_t>(content.size());
  Bytes record(upd::kEntryRecordSize);
  upd::EncodeEntryRecord(e, std::span<std::uint8_t, upd::kEntryRecordSize>(record));
  pkg.insert(pkg.end(), record.begin(), record.end());
  upd::EncodeHeader({upd::kPackageMagic, 0, 32, 1}, std::span<std::uint8_t, 16>(pkg.data(), 16));
  return pkg;
}

class EmbedCommand : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("updpack_embed_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    updtest::FakePe spec;
    spec.resources = updtest::StandardResources();
    spec.reloc_after_rsrc = true;
    stub_ = updtest::BuildFakePe(spec);
    package_ = SmallPackage();
    WriteFile(dir_ / "stub.exe", stub_);
    WriteFile(dir_ / "update.fa3", package_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return updpack::RunEmbedCommand(args, out_, err_);
  }
  std::string P(const char* name) const { return (dir_ / name).string(); }

  fs::path dir_;
  Bytes stub_, package_;
  std::ostringstream out_, err_;
};

TEST_F(EmbedCommand, WritesTheUpdaterWithThePackage) {
  ASSERT_EQ(Run({P("update.fa3"), "-o", P("game_update.exe"), "--stub", P("stub.exe")}), 0)
      << err_.str();
  EXPECT_EQ(err_.str(), "");
  EXPECT_THAT(out_.str(), HasSubstr("game_update.exe"));
  EXPECT_EQ(updpack::ReadEmbeddedPackage(ReadFile(dir_ / "game_update.exe")), package_);
  EXPECT_EQ(ReadFile(dir_ / "stub.exe"), stub_) << "the stub is only read";
  EXPECT_FALSE(fs::exists(dir_ / "game_update.exe.updpack-tmp"));

  // Again over the result itself, with the options first: the package is replaced.
  Bytes other = package_;
  other.resize(other.size() + 16, 0);  // a different (still sound) package image
  WriteFile(dir_ / "other.fa3", other);
  ASSERT_EQ(Run({"--stub", P("game_update.exe"), "-o", P("game_update.exe"), P("other.fa3")}), 0)
      << err_.str();
  EXPECT_EQ(updpack::ReadEmbeddedPackage(ReadFile(dir_ / "game_update.exe")), other);
}

TEST_F(EmbedCommand, RefusesAndLeavesTheOutputAlone) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  WriteFile(dir_ / "empty.fa3", {});
  WriteFile(dir_ / "notes.txt", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!',
                                 '!', '!', '!', '!'});
  Bytes damaged = package_;
  damaged[12] = 9;  // nine records claimed, one present
  WriteFile(dir_ / "damaged.fa3", damaged);
  WriteFile(dir_ / "text.exe", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'e', 'x', 'e'});
  {
    updtest::FakePe spec;
    spec.resources = updtest::StandardResources();
    spec.signed_image = true;
    WriteFile(dir_ / "signed.exe", updtest::BuildFakePe(spec));
  }
  const std::string out = P("out.exe");
  const Row rows[] = {
      {"no arguments", {}, 2, "usage: updpack embed PACKAGE -o OUT.exe"},
      {"no output", {P("update.fa3"), "--stub", P("stub.exe")}, 2, "no output file (-o)"},
      {"-o without a name", {P("update.fa3"), "-o"}, 2, "-o needs a file name"},
      {"two packages", {P("update.fa3"), P("update.fa3"), "-o", out}, 2, "one package only"},
      {"unknown option", {P("update.fa3"), "-o", out, "--sign"}, 2, "unknown option --sign"},
      {"missing package", {P("nothing.fa3"), "-o", out, "--stub", P("stub.exe")}, 1,
       "cannot read"},
      {"empty package", {P("empty.fa3"), "-o", out, "--stub", P("stub.exe")}, 1, "is empty"},
      {"not a package", {P("notes.txt"), "-o", out, "--stub", P("stub.exe")}, 1,
       "is not an update package"},
      {"damaged package", {P("damaged.fa3"), "-o", out, "--stub", P("stub.exe")}, 1,
       "is a damaged update package"},
      {"missing stub", {P("update.fa3"), "-o", out, "--stub", P("nothing.exe")}, 1,
       "no updater stub at"},
      {"default stub missing", {P("update.fa3"), "-o", out}, 1,
       "(update.exe beside updpack; name another with --stub)"},
      {"stub not an executable", {P("update.fa3"), "-o", out, "--stub", P("text.exe")}, 1,
       "not a Windows executable"},
      {"signed stub", {P("update.fa3"), "-o", out, "--stub", P("signed.exe")}, 1, "is signed"},
      {"output in a missing folder",
       {P("update.fa3"), "-o", P("no/such/dir/out.exe"), "--stub", P("stub.exe")}, 1,
       "cannot write"},
  };
  const Bytes before = {'o', 'l', 'd'};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    WriteFile(out, before);
    EXPECT_EQ(Run(r.args), r.code);
    EXPECT_THAT(err_.str(), HasSubstr(r.message));
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(ReadFile(out), before);
    EXPECT_FALSE(fs::exists(out + ".updpack-tmp"));
  }
}

TEST_F(EmbedCommand, DefaultStubIsBesideTheProgram) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(updpack::DefaultStubPath(), self.parent_path() / "update.exe");
}

}  // namespace
