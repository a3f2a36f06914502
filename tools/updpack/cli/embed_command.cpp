// updpack embed PACKAGE -o OUT.exe [--stub STUB.exe]
#include "embed_command.h"

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "embed.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace updpack {

const std::string_view kEmbedHelp =
    "usage: updpack embed PACKAGE -o OUT.exe [--stub STUB.exe]\n"
    "\n"
    "Writes OUT.exe: a copy of the updater STUB.exe (default: update.exe beside updpack) that\n"
    "carries the package PACKAGE as its resource UPDATE 102, language 1041, replacing any\n"
    "package already there. PACKAGE may also be an updater that carries a package.\n"
    "The stub's other resources stay as they are. The package must pass 'updpack verify'.\n"
    "A signed stub is refused (sign OUT.exe afterwards), and so is a stub with data appended\n"
    "after its sections. OUT.exe is written in full beside its place and then moved there, so\n"
    "a failure leaves an existing OUT.exe as it was.\n";

namespace {

namespace fs = std::filesystem;

}  // namespace

fs::path DefaultStubPath() {
#ifdef _WIN32
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n == 0) return fs::path(L"update.exe");
    if (n < self.size()) {
      self.resize(n);
      break;
    }
    self.resize(self.size() * 2);
  }
  return fs::path(self).parent_path() / L"update.exe";
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path("update.exe") : self.parent_path() / "update.exe";
#endif
}

int RunEmbed(CommandArgs args, std::ostream& out, std::ostream& err) {
  constexpr std::string_view kCmd = "embed";
  std::optional<fs::path> package_arg, output_arg, stub_arg;
  using enum Option::Takes;
  const Option options[] = {
      {"-o", "--output", kName, "a file name", &output_arg},
      {{}, "--stub", kName, "a file name", &stub_arg},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (package_arg) return "one package only";
    if (arg.empty()) return "the package is named by an empty argument";
    package_arg = host::PathFromArg(arg);
    return {};
  });
  if (!problem.empty()) return Fail(err, kCmd, problem, kExitUsage);
  if (!package_arg) return Fail(err, kCmd, "no package", kExitUsage);
  if (!output_arg) return Fail(err, kCmd, "no output file (-o OUT.exe)", kExitUsage);

  const fs::path& package_path = *package_arg;
  const fs::path& output_path = *output_arg;
  const fs::path stub_path = stub_arg ? *stub_arg : DefaultStubPath();
  // The output replaces its file only when complete, but an input it replaced would be gone.
  auto same_file = [](const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
  };
  if (same_file(output_path, package_path)) {
    return Fail(err, kCmd, "-o names the package " + host::ShowPath(package_path) +
                               " itself; write the updater to a file of its own", kExitUsage);
  }
  if (same_file(output_path, stub_path)) {
    return Fail(err, kCmd, "-o names the stub " + host::ShowPath(stub_path) +
                               " itself; write the updater to a file of its own", kExitUsage);
  }
  const PackageInput in = ReadPackageInput(package_path);
  if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);
  const auto release = [&](std::span<const std::uint8_t> range) { in.Release(range); };
  // An updater that cannot load its package is no use: check as `verify` does.
  if (const std::optional<Fault> fault = VerifyPackage(in.bytes, nullptr, nullptr, {}, release)) {
    const std::string where =
        fault->entry == kWholePackage ? "" : "entry " + std::to_string(fault->entry) + ": ";
    return Fail(err, kCmd,
                host::ShowPath(package_path) + ": not a sound package: " + where + fault->text,
                kExitFailed);
  }

  std::error_code ec;
  if (!fs::is_regular_file(stub_path, ec)) {
    return Fail(err, kCmd,
                "no updater stub at " + host::ShowPath(stub_path) +
                    (stub_arg ? "" : " (update.exe beside updpack; name another with --stub)"),
                kExitFailed);
  }
  std::string error;
  if (const std::uintmax_t size = fs::file_size(stub_path, ec); !ec && size > kMaxInputSize) {
    return Fail(err, kCmd, host::ShowPath(stub_path) + ": the file is " + std::to_string(size) +
                               " bytes, too large for a Windows executable", kExitFailed);
  }
  host::MappedFile stub;
  if (!stub.Open(stub_path, error)) {
    return Fail(err, kCmd, "cannot read " + host::ShowPath(stub_path) + ": " + error, kExitFailed);
  }
  const auto release_any = [&](std::span<const std::uint8_t> range) {
    in.Release(range);
    stub.Release(range);
  };

  // The whole layout, and every limit of it, is known before a byte is written; the updater is
  // then written piece by piece from the stub and the package where they lie.
  const std::size_t package_size = in.bytes.size();
  pe::RewritePlan plan;
  try {
    plan = PlanEmbed(pe::Image(stub.Bytes()), in.bytes);
  } catch (const pe::PeError& e) {
    return Fail(err, kCmd, host::ShowPath(stub_path) + ": " + e.what(), kExitFailed);
  }
  host::FileWriter file;
  pe::CheckSummer sum;
  bool written = file.Create(output_path);
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  for (const pe::FilePiece& piece : plan.pieces) {
    const std::span<const std::uint8_t> bytes = piece.Bytes();
    for (std::size_t at = 0; written && at < bytes.size(); at += kChunk) {
      const auto chunk = bytes.subspan(at, std::min(kChunk, bytes.size() - at));
      sum.Update(chunk);
      written = file.Write(chunk);
      release_any(chunk);
    }
  }
  std::uint8_t checksum[4];
  pe::Put32(checksum, 0, sum.Finish());
  written = written && file.WriteAt(plan.checksum_offset, checksum);
  if (!written) {
    return Fail(err, kCmd, "cannot write " + host::ShowPath(output_path) + ": " + file.Error(),
                kExitFailed);
  }
  {
    host::MappedFile back;
    if (!file.MapWritten(back)) {
      return Fail(err, kCmd, "cannot write " + host::ShowPath(output_path) + ": " + file.Error(),
                  kExitFailed);
    }
    try {
      CheckReadsBack(back.Bytes(), in.bytes, [&](std::span<const std::uint8_t> range) {
        release_any(range);
        back.Release(range);
      });
    } catch (const pe::PeError& e) {
      return Fail(err, kCmd, host::ShowPath(stub_path) + ": " + e.what(), kExitFailed);
    }
  }
  if (!file.Commit(std::nullopt)) {
    return Fail(err, kCmd, "cannot write " + host::ShowPath(output_path) + ": " + file.Error(),
                kExitFailed);
  }
  out << host::ShowPath(output_path) << ": package of " << package_size << " bytes embedded in "
      << host::ShowPath(stub_path)
      << (plan.appended_section ? " (resources moved to a new last section)\n"
                                  : " (resource section rewritten)\n")
      << std::flush;
  return kExitOk;
}

}  // namespace updpack
