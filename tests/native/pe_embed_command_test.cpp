// `updpack embed` as a user runs it: files in, files out, messages and exit codes; and the
// other commands reading the package out of an updater.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "embed.h"
#include "commands.h"
#include "embed_command.h"
#include "package_builder.h"
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

class EmbedCommand : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("updpack_embed_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    updtest::FakePe shape;
    shape.resources = updtest::StandardResources();
    shape.reloc_after_rsrc = true;
    stub_ = updtest::BuildFakePe(shape);
    package_ = updtest::OneFilePackage("UPDATE.INI", "[SETUP]\n");
    WriteFile(dir_ / "stub.exe", stub_);
    WriteFile(dir_ / "update.fa3", package_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run(std::vector<std::string> args, updpack::CommandFn command = updpack::RunEmbed) {
    out_.str("");
    err_.str("");
    return command(args, out_, err_);
  }
  std::size_t FilesInFolder() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
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
  EXPECT_THAT(out_.str(), HasSubstr("game_update.exe: package of " +
                                    std::to_string(package_.size()) + " bytes embedded in"));
  EXPECT_EQ(updpack::ReadEmbeddedPackage(ReadFile(dir_ / "game_update.exe")), package_);
  EXPECT_EQ(ReadFile(dir_ / "stub.exe"), stub_) << "the stub is only read";
  EXPECT_EQ(FilesInFolder(), 3u) << "no temporary file left behind";

  // list and verify take the updater as they take the package.
  EXPECT_EQ(Run({"--tsv", P("game_update.exe")}, updpack::RunList), 0) << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("UPDATE.INI\tstored\t8\t8\t"));
  EXPECT_EQ(Run({P("game_update.exe")}, updpack::RunVerify), 0) << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("sound, 1 entries"));

  // Again over the result itself, options first, the package taken from another updater.
  Bytes other = package_;
  other.resize(other.size() + 16, 0);  // a different, still sound package image
  WriteFile(dir_ / "other.exe", updpack::EmbedPackage(stub_, other).file);
  ASSERT_EQ(Run({"--stub", P("game_update.exe"), "-o", P("game_update2.exe"), "--", P("other.exe")}),
            0)
      << err_.str();
  EXPECT_EQ(updpack::ReadEmbeddedPackage(ReadFile(dir_ / "game_update2.exe")), other);
}

TEST_F(EmbedCommand, RefusesAndLeavesTheOutputAlone) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* message;
  };
  WriteFile(dir_ / "empty.fa3", {});
  WriteFile(dir_ / "notes.txt", Bytes(40, 'x'));
  Bytes damaged = package_;
  damaged[12] = 9;  // nine records claimed, one present
  WriteFile(dir_ / "damaged.fa3", damaged);
  WriteFile(dir_ / "text.exe", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'e', 'x', 'e'});
  Bytes broken_exe = stub_;
  broken_exe.resize(0x500);  // cut inside the first section's data
  WriteFile(dir_ / "broken.exe", broken_exe);
  {
    updtest::FakePe shape;
    shape.resources = updtest::StandardResources();
    shape.signed_image = true;
    WriteFile(dir_ / "signed.exe", updtest::BuildFakePe(shape));
  }
  const std::string out = P("out.exe");
  const Row rows[] = {
      {"no arguments", {}, 2, "updpack embed: no package\nTry 'updpack embed --help'."},
      {"no output", {P("update.fa3"), "--stub", P("stub.exe")}, 2, "no output file (-o OUT.exe)"},
      {"-o without a name", {P("update.fa3"), "-o"}, 2, "-o needs a file name"},
      {"two packages", {P("update.fa3"), P("update.fa3"), "-o", out}, 2, "one package only"},
      {"unknown option", {P("update.fa3"), "-o", out, "--sign"}, 2, "unknown option --sign"},
      {"missing package", {P("nothing.fa3"), "-o", out, "--stub", P("stub.exe")}, 1,
       "cannot read"},
      {"empty package", {P("empty.fa3"), "-o", out, "--stub", P("stub.exe")}, 1,
       "empty.fa3: not a sound package"},
      {"not a package", {P("notes.txt"), "-o", out, "--stub", P("stub.exe")}, 1,
       "notes.txt: not a sound package"},
      {"damaged package", {P("damaged.fa3"), "-o", out, "--stub", P("stub.exe")}, 1,
       "damaged.fa3: not a sound package"},
      {"an executable without a package", {P("stub.exe"), "-o", out, "--stub", P("stub.exe")}, 1,
       "stub.exe: an executable without a package"},
      {"a damaged executable as package", {P("broken.exe"), "-o", out, "--stub", P("stub.exe")}, 1,
       "broken.exe: damaged Windows executable"},
      {"missing stub", {P("update.fa3"), "-o", out, "--stub", P("nothing.exe")}, 1,
       "no updater stub at"},
      {"default stub missing", {P("update.fa3"), "-o", out}, 1,
       "(update.exe beside updpack; name another with --stub)"},
      {"stub not an executable", {P("update.fa3"), "-o", out, "--stub", P("text.exe")}, 1,
       "text.exe: not a Windows executable"},
      {"stub damaged", {P("update.fa3"), "-o", out, "--stub", P("broken.exe")}, 1,
       "broken.exe: damaged Windows executable: section 1 ('.text')"},
      {"signed stub", {P("update.fa3"), "-o", out, "--stub", P("signed.exe")}, 1, "is signed"},
      {"output is the package", {P("update.fa3"), "-o", P("update.fa3"), "--stub", P("stub.exe")},
       2, "-o names the package"},
      {"output is the stub", {P("update.fa3"), "-o", P("stub.exe"), "--stub", P("stub.exe")}, 2,
       "-o names the stub"},
      {"output is the stub, spelt otherwise",
       {P("update.fa3"), "--stub", P("stub.exe"), "-o", (dir_ / "." / "stub.exe").string()}, 2,
       "-o names the stub"},
      {"output in a missing folder",
       {P("update.fa3"), "-o", P("no/such/dir/out.exe"), "--stub", P("stub.exe")}, 1,
       "cannot write"},
  };
  const Bytes before = {'o', 'l', 'd'};
  WriteFile(out, before);
  const std::size_t files = FilesInFolder();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Run(r.args), r.code);
    EXPECT_THAT(err_.str(), HasSubstr(r.message));
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(ReadFile(out), before);
    EXPECT_EQ(ReadFile(dir_ / "update.fa3"), package_);
    EXPECT_EQ(ReadFile(dir_ / "stub.exe"), stub_);
    EXPECT_EQ(FilesInFolder(), files);
  }
}

TEST_F(EmbedCommand, DefaultStubIsBesideTheProgram) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(updpack::DefaultStubPath(), self.parent_path() / "update.exe");
}

// The built tool: `embed` is in its table, and without --stub it takes update.exe beside it
// (here a copy of the tool's folder: the real one, a symbolic link would name the original).
TEST_F(EmbedCommand, ToolTakesTheStubBesideIt) {
  const fs::path tool_dir = dir_ / "tool";
  fs::create_directories(tool_dir);
  fs::copy_file(UPDPACK_EXE, tool_dir / "updpack");
  fs::copy_file(dir_ / "stub.exe", tool_dir / "update.exe");
  const std::string tool = (tool_dir / "updpack").string();
  const updtest::Ran ran = updtest::RunProcess({tool, "embed", P("update.fa3"), "-o", P("game.exe")});
  ASSERT_TRUE(ran.started);
  ASSERT_TRUE(ran.exited);
  EXPECT_EQ(ran.code, 0) << ran.err;
  EXPECT_THAT(ran.out, HasSubstr((tool_dir / "update.exe").string()));
  EXPECT_EQ(updpack::ReadEmbeddedPackage(ReadFile(dir_ / "game.exe")), package_);
}

}  // namespace
