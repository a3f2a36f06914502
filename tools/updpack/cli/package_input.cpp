#include "package_input.h"

#include "embed.h"
#include "host.h"

namespace updpack {

PackageInput ReadPackageInput(const std::filesystem::path& path) {
  PackageInput in;
  std::string error;
  // Every package, and every executable that carries one, is below 4 GiB: a larger file is
  // refused before it is read.
  std::error_code size_error;
  if (const std::uintmax_t size = std::filesystem::file_size(path, size_error);
      !size_error && size > kMaxInputSize) {
    in.error = host::ShowPath(path) + ": the file is " + std::to_string(size) +
               " bytes; a package, or an updater that carries one, is less than 4 GiB";
    return in;
  }
  if (!in.file.Open(path, error)) {
    in.error = "cannot read " + host::ShowPath(path) + ": " + error;
    return in;
  }
  in.bytes = in.file.Bytes();
  // Other containers of a package (an updater executable with the package as its resource)
  // are recognised here by their bytes and their package taken out, so that every command
  // that reads a package accepts them alike.
  if (LooksLikeExecutable(in.bytes)) {
    try {
      const pe::Image image(in.bytes);
      in.bytes = {};
      const std::optional<std::span<const std::uint8_t>> package = FindEmbeddedPackage(image);
      if (package) {
        in.signed_executable = !image.Directory(pe::kCertificateDirectoryIndex).Empty();
        in.bytes = *package;
      } else {
        in.error = host::ShowPath(path) + ": an executable without a package (no resource " +
                   "UPDATE 102)";
      }
    } catch (const pe::PeError& e) {
      in.bytes = {};
      in.error = host::ShowPath(path) + ": " + e.what();
    }
  }
  return in;
}

}  // namespace updpack
