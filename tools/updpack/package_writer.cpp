#include "package_writer.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <string_view>

#include "entry_name.h"
#include "package/container.h"
#include "package/integrity.h"

namespace updpack {
namespace {

constexpr std::uint64_t kMaxPackageSize = 0xFFFFFFFFu;  // every offset and size is 32-bit

void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

BuildResult BuildPackage(std::vector<PackageFile> files, const PackageOptions& options) {
  BuildResult result;
  auto fail = [&](std::size_t file, std::string why, std::size_t other = kNoFile) {
    result.image.clear();
    result.error = std::move(why);
    result.file = file;
    result.other = other;
    return result;
  };

  std::map<std::string, std::size_t> folded;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (auto fault = EntryNameFault(files[i].name)) return fail(i, *fault);
    // Even stored alone behind the header it must leave the package below 4 GiB.
    if (files[i].bytes.size() > kMaxFileSize) {
      return fail(i, "the file is too large for a package, which stays below 4 GiB");
    }
    auto [it, fresh] = folded.emplace(FoldEntryName(files[i].name), i);
    if (!fresh) {
      return fail(i, files[it->second].name == files[i].name
                         ? "it has the same name in code page 932 as another file"
                         : "the updater cannot tell its name from another's (its lookup "
                           "compares names as Windows does, regardless of letter case, and "
                           "takes these two for one), so one of them would never be found",
                  it->second);
    }
  }

  // Byte order of the names: std::string compares its chars as unsigned.
  std::vector<std::size_t> order(files.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return files[a].name < files[b].name; });
  // The integrity record takes its place in that order like any entry: before the first file
  // whose name sorts after its own (no file can have its name).
  const auto sorts_before_record = [&](std::size_t i) {
    return std::string_view(files[i].name) < upd::kIntegrityEntryName;
  };
  const std::size_t record_at =
      options.integrity
          ? static_cast<std::size_t>(std::ranges::partition_point(order, sorts_before_record) -
                                     order.begin())
          : kNoFile;

  Compressor compressor;
  std::vector<std::uint8_t> image(upd::kPackageHeaderSize, 0);
  std::vector<upd::PackageEntry> entries;  // directory order, the record among them
  std::vector<upd::EntryHashes> hashes;    // of the files only, in directory order
  // Appends one entry's data and record; false when the package would reach 4 GiB.
  auto append = [&](upd::PackageEntry e, std::span<const std::uint8_t> stored) {
    e.StoredSize = static_cast<std::uint32_t>(stored.size());
    if (image.size() + upd::PaddedSize(e.StoredSize) > kMaxPackageSize) return false;
    Append(image, stored);
    image.resize(image.size() + (upd::PaddedSize(e.StoredSize) - e.StoredSize), 0);
    entries.push_back(e);
    return true;
  };
  // The record's bytes are known only once every file is packed, but its size is known now:
  // its place is kept in zeros and filled in at the end. It is stored as it is: hashes do not
  // compress, and the updater reads it without unpacking.
  std::size_t record_entry = 0, record_offset = 0;
  auto reserve_record = [&] {
    std::uint64_t newest = 0;
    for (const PackageFile& f : files) newest = std::max(newest, f.time_stamp);
    upd::PackageEntry e;
    std::copy(upd::kIntegrityEntryName.begin(), upd::kIntegrityEntryName.end(), e.EntryName.begin());
    e.EntryFlags = upd::kEntryStored;
    e.TimeStamp = newest;
    e.UnpackedSize = static_cast<std::uint32_t>(upd::IntegrityRecordSize(files.size()));
    record_entry = entries.size();
    record_offset = image.size();
    return append(e, std::vector<std::uint8_t>(e.UnpackedSize, 0));
  };
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k == record_at && !reserve_record()) return fail(kNoFile, "the package would reach 4 GiB");
    const std::size_t i = order[k];
    PackageFile& f = files[i];
    if (options.progress) options.progress(k, order.size(), f.name, 0);
    upd::PackageEntry e;
    std::copy(f.name.begin(), f.name.end(), e.EntryName.begin());
    e.TimeStamp = f.time_stamp;
    e.UnpackedSize = static_cast<std::uint32_t>(f.bytes.size());
    std::vector<std::uint8_t> stream;
    if (!options.store && !f.bytes.empty()) {
      CompressProgress hook;
      if (options.progress) {
        hook = [&](std::size_t done) { options.progress(k, order.size(), f.name, done); };
      }
      stream = compressor.Compress(f.bytes, options.level, hook);
    }
    // Compressed only when that makes it smaller.
    const bool compressed = !stream.empty() && stream.size() < f.bytes.size();
    const std::span<const std::uint8_t> stored =
        compressed ? std::span<const std::uint8_t>(stream) : f.bytes;
    e.EntryFlags = compressed ? upd::kEntryCompressed : upd::kEntryStored;
    if (!append(e, stored)) return fail(i, "the package would reach 4 GiB with this file");
    if (options.integrity) hashes.push_back({upd::HashBytes(stored), upd::HashBytes(f.bytes)});
    std::vector<std::uint8_t>().swap(f.bytes);  // done with it; large updates hold much
  }
  if (record_at == order.size() && !reserve_record()) {
    return fail(kNoFile, "the package would reach 4 GiB");
  }
  if (options.integrity) {
    // What the record covers: every entry but itself, wherever it lies.
    std::vector<upd::PackageEntry> others = entries;
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(record_entry));
    const std::vector<std::uint8_t> record = upd::MakeIntegrityRecord(others, hashes);
    std::copy(record.begin(), record.end(), image.begin() + static_cast<std::ptrdiff_t>(record_offset));
  }

  std::vector<std::uint8_t> table(entries.size() * upd::kEntryRecordSize, 0);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    upd::EncodeEntryRecord(entries[k], std::span(table).subspan(k * upd::kEntryRecordSize)
                                           .first<upd::kEntryRecordSize>());
  }

  upd::PackageHeader header;
  header.Magic = upd::kPackageMagic;
  header.DirectoryOffset = static_cast<std::uint32_t>(image.size());
  header.EntryCount = static_cast<std::uint32_t>(entries.size());
  if (options.store) {
    Append(image, table);
  } else {
    header.HeaderFlags = upd::kDirectoryCompressed;
    Append(image, compressor.Compress(table, options.level));
  }
  if (image.size() > kMaxPackageSize) return fail(kNoFile, "the package would reach 4 GiB");
  upd::EncodeHeader(header, std::span(image).first<upd::kPackageHeaderSize>());
  result.image = std::move(image);
  return result;
}

}  // namespace updpack
