#include "package_input.h"

#include "host.h"

namespace updpack {

PackageInput ReadPackageInput(const std::filesystem::path& path) {
  PackageInput in;
  std::string error;
  if (!host::ReadWholeFile(path, in.bytes, error)) {
    in.bytes.clear();
    in.error = "cannot read " + host::ShowPath(path) + ": " + error;
    return in;
  }
  // Other containers of a package (an updater executable with the package as its resource)
  // are recognised here by their bytes and their package taken out, so that every command
  // that reads a package accepts them alike.
  return in;
}

}  // namespace updpack
