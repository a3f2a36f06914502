// Builds a package image (layout in src/package/container.h) from files in memory.
//
// Entries, the integrity record (package/integrity.h) among them unless it is left out, are
// listed and laid out in ascending byte order of their code page 932 names, each padded with
// zeros to 16 bytes; an entry is compressed only when its stream is smaller than the file,
// otherwise stored as it is. The directory is one compressed stream after the data. The same
// files and options always give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoder.h"

namespace updpack {

struct PackageFile {
  std::string name;                 // code page 932, a bare file name
  std::vector<std::uint8_t> bytes;
  std::uint64_t time_stamp = 0;     // FILETIME, UTC
};

struct PackageOptions {
  Level level = Level::kDefault;
  // Store every entry and the directory as they are: a package that needs no decoder.
  bool store = false;
  // Add the integrity record (package/integrity.h), in its place in name order.
  bool integrity = true;
  // Called before each entry is packed (entry index in package order, count, name), and with
  // the entry's input bytes done so far while a large entry is compressed.
  std::function<void(std::size_t index, std::size_t count, std::string_view name,
                     std::size_t done)> progress;
};

inline constexpr std::size_t kNoFile = static_cast<std::size_t>(-1);

// The largest file a package can hold: stored alone behind the header, with its fill to 16
// bytes, it must leave the package below 4 GiB (every offset and size is 32-bit).
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu - 16 - 15;

struct BuildResult {
  std::vector<std::uint8_t> image;  // empty when `error` is set
  std::string error;                // why, without the names: the caller spells those
  std::size_t file = kNoFile;       // index of the file at fault in the input
  std::size_t other = kNoFile;      // the file it clashes with, for a name clash
};

// Refuses names that are not entry names, two names the updater cannot tell apart (the same
// code page 932 name, or names its lookup takes for one, FoldEntryName), and files that would
// take the package to 4 GiB or beyond.
BuildResult BuildPackage(std::vector<PackageFile> files, const PackageOptions& options);

}  // namespace updpack
