// The package container.
//
//   offset 0    PackageHeader, 16 bytes, four u32 LE: Magic ("FA2\0"), HeaderFlags
//               (bit 0: directory compressed), DirectoryOffset, EntryCount
//   offset 16   data area: each entry's StoredSize bytes, zero-filled to a multiple of 16,
//               in directory order; offsets are not stored, readers walk the records
//   DirectoryOffset
//               EntryCount records of 280 bytes, or (flag bit 0) one compressed stream to the
//               end of the package that decodes to exactly EntryCount * 280 bytes
//
//   record:     0 EntryName[260] (code page 932, NUL-terminated)   260 EntryFlags (bit 1:
//               compressed)   264 TimeStamp (FILETIME, UTC, low word first)
//               272 UnpackedSize   276 StoredSize
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "package/unfilled_array.h"

namespace upd {

inline constexpr std::uint32_t kPackageMagic = 0x00324146;  // "FA2\0"
inline constexpr std::uint32_t kDirectoryCompressed = 1;    // HeaderFlags bit 0
inline constexpr std::uint32_t kEntryStored = 1;
inline constexpr std::uint32_t kEntryCompressed = 2;        // the only EntryFlags bit read
inline constexpr std::size_t kPackageHeaderSize = 16;
inline constexpr std::size_t kEntryRecordSize = 280;
inline constexpr std::size_t kEntryNameCapacity = 260;

struct PackageHeader {
  std::uint32_t Magic = 0;
  std::uint32_t HeaderFlags = 0;
  std::uint32_t DirectoryOffset = 0;
  std::uint32_t EntryCount = 0;
};

struct PackageEntry {
  std::array<char, kEntryNameCapacity> EntryName{};  // always NUL-terminated once loaded
  std::uint32_t EntryFlags = 0;
  std::uint64_t TimeStamp = 0;  // FILETIME, UTC
  std::uint32_t UnpackedSize = 0;
  std::uint32_t StoredSize = 0;

  std::string_view Name() const { return EntryName.data(); }
  bool IsCompressed() const { return (EntryFlags & kEntryCompressed) != 0; }
};

// Bytes an entry of `stored` bytes takes in the data area.
inline constexpr std::uint64_t PaddedSize(std::uint32_t stored) {
  return (std::uint64_t{stored} + 15) & ~std::uint64_t{15};
}

void EncodeHeader(const PackageHeader& h, std::span<std::uint8_t, kPackageHeaderSize> out);
PackageHeader DecodeHeader(std::span<const std::uint8_t, kPackageHeaderSize> in);
void EncodeEntryRecord(const PackageEntry& e, std::span<std::uint8_t, kEntryRecordSize> out);
PackageEntry DecodeEntryRecord(std::span<const std::uint8_t, kEntryRecordSize> in);

// The loaded directory: the header as read and the records, each with the offset of its
// bytes in the package image (the running sum of the padded sizes before it).
// The rule of mode u: a file at the target whose last write is strictly later than the entry's
// time stamp stays; an equal or earlier one is written over.
inline bool IsNewerThanEntry(std::uint64_t file_time, std::uint64_t entry_time) { return file_time > entry_time; }

class PackageDirectory {
 public:
  const PackageHeader& Header() const { return header_; }
  std::uint32_t EntryCount() const { return header_.EntryCount; }
  std::span<const PackageEntry> Entries() const { return entries_.span(); }
  std::uint32_t DataOffset(std::size_t index) const { return offsets_[index]; }

  // The entry's StoredSize bytes inside `image` (the image the directory was loaded from).
  std::span<const std::uint8_t> StoredBytes(std::span<const std::uint8_t> image,
                                            std::size_t index) const {
    return image.subspan(offsets_[index], entries_[index].StoredSize);
  }

 private:
  friend std::unique_ptr<PackageDirectory> LoadPackageDirectory(std::span<const std::uint8_t>);
  PackageDirectory() = default;

  PackageHeader header_;
  UnfilledArray<PackageEntry> entries_;
  UnfilledArray<std::uint32_t> offsets_;
};

// Loads the directory of the package `image` (never copied: entry bytes stay in place).
// Returns null for a damaged package: a directory outside the image, a record table that does
// not fit, a compressed directory that does not decode to exactly EntryCount records, a name
// without its NUL, entry data that runs into the directory, or sizes no entry can have; and
// when the memory for the directory cannot be had. It never throws.
std::unique_ptr<PackageDirectory> LoadPackageDirectory(std::span<const std::uint8_t> image);

}  // namespace upd
