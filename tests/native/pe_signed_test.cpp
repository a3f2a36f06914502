// A signed updater, as a publisher ships it: `list`, `verify` and `lint` read its package as
// they read an unsigned one, and `verify` says whether it is signed. The tool runs as a process,
// as the publisher runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "embed.h"
#include "package/byte_order.h"
#include "package_builder.h"
#include "pe_builder.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;
using updtest::Bytes;

void WriteFile(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                           static_cast<std::streamsize>(b.size()));
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Text(const fs::path& p) {
  const Bytes b = ReadFile(p);
  return std::string(b.begin(), b.end());
}

using upd::Get32;
using upd::Put32;

// What a signer does to an image, done by hand: a certificate table (one WIN_CERTIFICATE of
// PKCS#7 signed data, its content here mere filler) appended at an 8-byte boundary, and the
// security directory (entry 4, a file offset and a size) pointing at it.
Bytes SignByHand(Bytes exe) {
  const std::size_t opt = Get32(exe, 0x3C) + 24;
  const bool pe32_plus = (exe[opt] | exe[opt + 1] << 8) == 0x20B;
  const std::size_t security = opt + (pe32_plus ? 112 : 96) + 4 * 8;
  exe.resize((exe.size() + 7) / 8 * 8, 0);
  Bytes cert(24, 0x30);
  Put32(cert, 0, static_cast<std::uint32_t>(cert.size()));
  cert[4] = 0x00, cert[5] = 0x02;  // revision 2.0
  cert[6] = 0x02, cert[7] = 0x00;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  Put32(exe, security, static_cast<std::uint32_t>(exe.size()));
  Put32(exe, security + 4, static_cast<std::uint32_t>(cert.size()));
  exe.insert(exe.end(), cert.begin(), cert.end());
  return exe;
}

// A package whose UPDATE.INI lacks every key, so that lint has findings to name once it has
// read it.
Bytes SmallPackage() { return updtest::OneFilePackage("UPDATE.INI", "[SETUP]\r\n"); }

using updtest::Ran;

class SignedUpdater : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("updpack_signed_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    updtest::FakePe shape;
    shape.resources = updtest::StandardResources();
    WriteFile(dir_ / "update.fa3", SmallPackage());
    WriteFile(dir_ / "plain.exe", updpack::EmbedPackage(updtest::BuildFakePe(shape), SmallPackage()).file);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // updpack with `args`, its output and exit code.
  static Ran Updpack(std::vector<std::string> args) {
    args.insert(args.begin(), UPDPACK_EXE);
    return updtest::RunProcess(args);
  }

  // Each command on `file` reads the same package as on the package file itself; verify's
  // word on the signature is `signature_line` (none for a package file).
  void ExpectReadAlike(const std::string& name, const std::string& signature_line) const {
    const std::string file = (dir_ / name).string();
    const std::string package = (dir_ / "update.fa3").string();

    const Ran list = Updpack({"list", "--tsv", file});
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_EQ(list.out, Updpack({"list", "--tsv", package}).out);

    const Ran verify = Updpack({"verify", file});
    EXPECT_EQ(verify.code, 0) << verify.err;
    EXPECT_THAT(verify.out, HasSubstr(file + ": sound, 1 entries"));
    if (signature_line.empty()) {
      EXPECT_THAT(verify.out, Not(HasSubstr(": executable")));
    } else {
      EXPECT_THAT(verify.out, HasSubstr(file + ": " + signature_line + "\n"));
    }

    // The package's UPDATE.INI has no keys: lint reads it and names what is missing.
    const Ran lint = Updpack({"lint", file});
    const Ran lint_package = Updpack({"lint", package});
    EXPECT_EQ(lint.code, 1);
    EXPECT_THAT(lint.out + lint.err, HasSubstr("CompanyName"));
    EXPECT_EQ(lint.code, lint_package.code);
  }

  fs::path dir_;
};

TEST_F(SignedUpdater, IsReadAsTheUnsignedOneAndSaidToBeSigned) {
  WriteFile(dir_ / "signed.exe", SignByHand(ReadFile(dir_ / "plain.exe")));
  struct Row {
    const char* name;
    const char* file;
    const char* signature_line;
  };
  const Row rows[] = {
      {"the package itself", "update.fa3", ""},
      {"an unsigned updater", "plain.exe", "executable not signed"},
      {"a signed updater",
       "signed.exe", "executable signed (it holds a certificate table; the signature itself is not checked)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ExpectReadAlike(r.file, r.signature_line);
  }
}

// The same with a real signature, as osslsigncode makes it with a throwaway self-signed
// certificate, where the tools are installed (tests/install-deps.sh installs them).
TEST_F(SignedUpdater, SignedByOsslsigncode) {
  if (std::system("command -v openssl >/dev/null && command -v osslsigncode >/dev/null") != 0) {
    GTEST_SKIP() << "openssl or osslsigncode is not installed";
  }
  const std::string d = dir_.string();
  const std::string sign =
      "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem "
      "-days 2 -subj '/CN=updpack test' >openssl.log 2>&1 && osslsigncode sign -certs cert.pem "
      "-key key.pem -n 'updpack test' -in plain.exe -out signed.exe >sign.log 2>&1";
  ASSERT_EQ(std::system(sign.c_str()), 0) << Text(dir_ / "openssl.log") << Text(dir_ / "sign.log");
  ExpectReadAlike("signed.exe",
                  "executable signed (it holds a certificate table; the signature itself is not checked)");
  // And embed, given it as the stub, advises to sign the result instead.
  const Ran embed = Updpack({"embed", (dir_ / "update.fa3").string(), "--stub",
                             (dir_ / "signed.exe").string(), "-o", (dir_ / "out.exe").string()});
  EXPECT_EQ(embed.code, 1);
  EXPECT_THAT(embed.err, HasSubstr("embed into the unsigned updater and sign the result"));
  EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
}

}  // namespace
