// The one way the commands read a package named on the command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host.h"

namespace updpack {

// Every offset and size of a package, and of a Windows executable, is 32-bit.
inline constexpr std::uint64_t kMaxInputSize = 0xFFFFFFFFu;

struct PackageInput {
  // The package image, where it lies in `file`'s mapping: a package of any size is read in
  // place, never copied.
  std::span<const std::uint8_t> bytes;
  std::string error;                // set when there is none
  host::MappedFile file;
  // Lets the pages of bytes of the image go once they are read.
  void Release(std::span<const std::uint8_t> range) const { file.Release(range); }
  // Set when the file is an executable that carries the package: whether it holds a
  // certificate table (the signature signtool or osslsigncode adds). Only its presence is
  // known here; whether it is valid and trusted is for those tools or Windows to tell.
  std::optional<bool> signed_executable;
};

// The package in the file at `path`. Whether the bytes form a sound package is for the
// caller to find out; this only gets them.
PackageInput ReadPackageInput(const std::filesystem::path& path);

}  // namespace updpack
