#include "package/container.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "package/byte_order.h"
#include "package/decoder.h"

namespace upd {
namespace {

// A record the loader accepts: its name ends inside the field, and its sizes are ones that
// extraction can honour without reading outside the entry's bytes.
bool SoundRecord(std::span<const std::uint8_t, kEntryRecordSize> rec, const PackageEntry& e) {
  if (std::find(rec.begin(), rec.begin() + kEntryNameCapacity, 0) ==
      rec.begin() + kEntryNameCapacity) {
    return false;
  }
  if (e.IsCompressed()) {
    return std::uint64_t{e.UnpackedSize} <= std::uint64_t{e.StoredSize} * kMaxExpansion;
  }
  return e.UnpackedSize <= e.StoredSize;
}

}  // namespace

void EncodeHeader(const PackageHeader& h, std::span<std::uint8_t, kPackageHeaderSize> out) {
  Put32(&out[0], h.Magic);
  Put32(&out[4], h.HeaderFlags);
  Put32(&out[8], h.DirectoryOffset);
  Put32(&out[12], h.EntryCount);
}

PackageHeader DecodeHeader(std::span<const std::uint8_t, kPackageHeaderSize> in) {
  return {Get32(&in[0]), Get32(&in[4]), Get32(&in[8]), Get32(&in[12])};
}

void EncodeEntryRecord(const PackageEntry& e, std::span<std::uint8_t, kEntryRecordSize> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  const std::string_view name = e.Name();
  std::memcpy(out.data(), name.data(), std::min(name.size(), kEntryNameCapacity - 1));
  Put32(&out[260], e.EntryFlags);
  Put32(&out[264], static_cast<std::uint32_t>(e.TimeStamp));
  Put32(&out[268], static_cast<std::uint32_t>(e.TimeStamp >> 32));
  Put32(&out[272], e.UnpackedSize);
  Put32(&out[276], e.StoredSize);
}

PackageEntry DecodeEntryRecord(std::span<const std::uint8_t, kEntryRecordSize> in) {
  PackageEntry e;
  std::memcpy(e.EntryName.data(), in.data(), kEntryNameCapacity);
  e.EntryName.back() = '\0';
  e.EntryFlags = Get32(&in[260]);
  e.TimeStamp = std::uint64_t{Get32(&in[264])} | std::uint64_t{Get32(&in[268])} << 32;
  e.UnpackedSize = Get32(&in[272]);
  e.StoredSize = Get32(&in[276]);
  return e;
}

std::unique_ptr<PackageDirectory> LoadPackageDirectory(std::span<const std::uint8_t> image) {
  if (image.size() < kPackageHeaderSize) return nullptr;
  const PackageHeader header = DecodeHeader(image.first<kPackageHeaderSize>());
  // The magic is not compared: the image is the updater's own resource.
  if (header.DirectoryOffset < kPackageHeaderSize || header.DirectoryOffset > image.size()) {
    return nullptr;
  }
  const std::uint64_t table_size = std::uint64_t{header.EntryCount} * kEntryRecordSize;
  const std::span<const std::uint8_t> tail = image.subspan(header.DirectoryOffset);

  // Only the record table gets memory of its own; a stored table is read in place. Every
  // allocation here is sized by the header, so none may throw.
  UnfilledArray<std::uint8_t> decoded;
  std::span<const std::uint8_t> table;
  if (header.HeaderFlags & kDirectoryCompressed) {
    if (table_size > std::uint64_t{tail.size()} * kMaxExpansion) return nullptr;
    if (table_size > std::numeric_limits<std::size_t>::max() ||
        !decoded.AllocateUnfilled(static_cast<std::size_t>(table_size))) {
      return nullptr;
    }
    const auto produced = DecompressBlock(tail, decoded.span());
    if (!produced || *produced != decoded.size()) return nullptr;
    table = decoded.span();
  } else {
    if (table_size > tail.size()) return nullptr;
    table = tail.first(static_cast<std::size_t>(table_size));
  }

  std::unique_ptr<PackageDirectory> dir(new (std::nothrow) PackageDirectory);
  if (!dir || !dir->entries_.Reserve(header.EntryCount) ||
      !dir->offsets_.Reserve(header.EntryCount)) {
    return nullptr;
  }
  dir->header_ = header;
  std::uint64_t data_end = kPackageHeaderSize;
  for (std::size_t i = 0; i < header.EntryCount; ++i) {
    const auto rec = table.subspan(i * kEntryRecordSize).first<kEntryRecordSize>();
    const PackageEntry e = DecodeEntryRecord(rec);
    if (!SoundRecord(rec, e)) return nullptr;
    // 64-bit sums: a run of sizes that wraps 32 bits cannot pass this test.
    if (data_end + e.StoredSize > header.DirectoryOffset) return nullptr;
    dir->offsets_.PushBack(static_cast<std::uint32_t>(data_end));
    dir->entries_.PushBack(e);
    data_end += PaddedSize(e.StoredSize);
  }
  return dir;
}

}  // namespace upd
