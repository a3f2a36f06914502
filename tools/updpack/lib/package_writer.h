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
#include "package/container.h"

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
  std::vector<std::uint8_t> image;  // empty when `error` is set, or when written to a sink
  std::string error;                // why, without the names: the caller spells those
  std::size_t file = kNoFile;       // index of the file at fault in the input
  std::size_t other = kNoFile;      // the file it clashes with, for a name clash
  bool sink_failed = false;         // the sink refused a write; it knows why
  std::vector<upd::PackageEntry> entries;  // the directory as written
  std::optional<std::size_t> integrity_record;  // its index among them
  std::uint64_t size = 0;           // of the package
};

// Refuses names that are not entry names, two names the updater cannot tell apart (the same
// code page 932 name, or names its lookup takes for one, FoldEntryName), and files that would
// take the package to 4 GiB or beyond.
BuildResult BuildPackage(std::vector<PackageFile> files, const PackageOptions& options);

// A file to pack, known by its name, size and time before its bytes are read.
struct PackageItem {
  std::string name;  // code page 932, a bare file name
  std::uint64_t size = 0;
  std::uint64_t time_stamp = 0;
};

// The files' bytes, one file at a time, in package order.
class ItemBytes {
 public:
  virtual ~ItemBytes() = default;
  // The bytes of item `index`, valid until the next Open; nothing, with `error` set, when they
  // cannot be read.
  virtual std::optional<std::span<const std::uint8_t>> Open(std::size_t index, std::string& error) = 0;
  // Bytes of the item opened last that will not be read again soon.
  virtual void Release(std::span<const std::uint8_t> /*range*/) {}
};

// Where a package is written: front to back, with a few bytes filled in afterwards and an
// entry's bytes dropped when it is stored after all. False when the bytes cannot be written.
class PackageSink {
 public:
  virtual ~PackageSink() = default;
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  virtual bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
  virtual bool CutBack(std::uint64_t size) = 0;
  virtual std::uint64_t Size() const = 0;
};

// BuildPackage for files of any size: each file's bytes are read when its turn comes and the
// package goes to `out` as it is made, so memory holds the encoder's tables and a few buffers,
// never a file or the package. The same bytes as BuildPackage. Everything that can be refused
// before a byte is read or written is refused so (names, sizes, a package that could not stay
// below 4 GiB however well its files compress); a package that passes 4 GiB while it is written
// is refused then, and the caller drops what was written.
BuildResult WritePackage(std::span<const PackageItem> items, ItemBytes& bytes, PackageSink& out,
                         const PackageOptions& options);

}  // namespace updpack
