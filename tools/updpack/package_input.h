// The one way the commands read a package named on the command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace updpack {

// Every offset and size of a package, and of a Windows executable, is 32-bit.
inline constexpr std::uint64_t kMaxInputSize = 0xFFFFFFFFu;

struct PackageInput {
  std::vector<std::uint8_t> bytes;  // the package image
  std::string error;                // set when there is none
  // Set when the file is an executable that carries the package: whether it holds a
  // certificate table (the signature signtool or osslsigncode adds). Only its presence is
  // known here; whether it is valid and trusted is for those tools or Windows to tell.
  std::optional<bool> signed_executable;
};

// The package in the file at `path`. Whether the bytes form a sound package is for the
// caller to find out; this only gets them.
PackageInput ReadPackageInput(const std::filesystem::path& path);

}  // namespace updpack
