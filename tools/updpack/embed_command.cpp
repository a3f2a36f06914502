#include "embed_command.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>
#include <vector>

#include "embed.h"
#include "package/container.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace updpack {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct EmbedArgs {
  fs::path package;
  fs::path output;
  fs::path stub;
  bool has_package = false;
  bool has_output = false;
  bool has_stub = false;
};

std::optional<EmbedArgs> ParseArgs(std::span<const std::string> args, std::ostream& err) {
  EmbedArgs a;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-o" || arg == "--output" || arg == "--stub") {
      if (i + 1 == args.size()) {
        err << "updpack embed: " << arg << " needs a file name\n";
        return std::nullopt;
      }
      (arg == "--stub" ? a.stub : a.output) = fs::path(args[++i]);
      (arg == "--stub" ? a.has_stub : a.has_output) = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      err << "updpack embed: unknown option " << arg << "\n";
      return std::nullopt;
    } else if (a.has_package) {
      err << "updpack embed: one package only (also got " << arg << ")\n";
      return std::nullopt;
    } else {
      a.package = fs::path(arg);
      a.has_package = true;
    }
  }
  if (!a.has_package || !a.has_output) {
    err << "updpack embed: " << (a.has_package ? "no output file (-o)" : "no package") << "\n";
    return std::nullopt;
  }
  return a;
}

std::optional<Bytes> ReadBytes(const fs::path& path, std::string& why) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    why = "is a folder";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    why = "read error";
    return std::nullopt;
  }
  return bytes;
}

// Written in full beside the target, then moved over it: a failure leaves the old file alone.
bool WriteReplacing(const fs::path& target, const Bytes& bytes, std::string& why) {
  fs::path temp = target;
  temp += ".updpack-tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      why = std::strerror(errno);
      std::error_code ignored;
      fs::remove(temp, ignored);
      return false;
    }
  }
#ifdef _WIN32
  const bool moved = MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!moved) why = "cannot replace the file (error " + std::to_string(GetLastError()) + ")";
#else
  std::error_code ec;
  fs::rename(temp, target, ec);
  const bool moved = !ec;
  if (!moved) why = ec.message();
#endif
  if (!moved) {
    std::error_code ignored;
    fs::remove(temp, ignored);
  }
  return moved;
}

// Why `bytes` cannot be a package, or empty when they can.
std::string PackageProblem(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "is empty";
  if (LooksLikeExecutable(bytes)) return "is an executable, not an update package";
  if (bytes.size() < upd::kPackageHeaderSize ||
      upd::DecodeHeader(bytes.first<upd::kPackageHeaderSize>()).Magic != upd::kPackageMagic) {
    return "is not an update package (no package header)";
  }
  if (!upd::LoadPackageDirectory(bytes)) return "is a damaged update package";
  return {};
}

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

int RunEmbedCommand(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  const std::optional<EmbedArgs> a = ParseArgs(args, err);
  if (!a) {
    err << "usage: " << kEmbedUsage << "\n";
    return 2;
  }
  std::string why;
  std::optional<Bytes> package = ReadBytes(a->package, why);
  if (!package) {
    err << "updpack embed: cannot read " << a->package.string() << ": " << why << "\n";
    return 1;
  }
  if (const std::string problem = PackageProblem(*package); !problem.empty()) {
    err << "updpack embed: " << a->package.string() << " " << problem << "\n";
    return 1;
  }

  const fs::path stub_path = a->has_stub ? a->stub : DefaultStubPath();
  std::error_code ec;
  if (!fs::exists(stub_path, ec)) {
    err << "updpack embed: no updater stub at " << stub_path.string()
        << (a->has_stub ? "" : " (update.exe beside updpack; name another with --stub)") << "\n";
    return 1;
  }
  std::optional<Bytes> stub = ReadBytes(stub_path, why);
  if (!stub) {
    err << "updpack embed: cannot read " << stub_path.string() << ": " << why << "\n";
    return 1;
  }

  const std::size_t package_size = package->size();
  pe::RewriteResult result;
  try {
    result = EmbedPackage(std::move(*stub), std::move(*package));
  } catch (const pe::PeError& e) {
    err << "updpack embed: " << stub_path.string() << ": " << e.what() << "\n";
    return 1;
  }
  if (!WriteReplacing(a->output, result.file, why)) {
    err << "updpack embed: cannot write " << a->output.string() << ": " << why << "\n";
    return 1;
  }
  out << "embedded " << a->package.string() << " (" << package_size << " bytes) into "
      << a->output.string() << " from " << stub_path.string()
      << (result.appended_section ? ", resources in a new section\n"
                                  : ", resource section rewritten\n");
  return 0;
}

}  // namespace updpack
