#include "package_writer.h"

#include <algorithm>
#include <map>
#include <numeric>

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

  Compressor compressor;
  std::vector<std::uint8_t> image(upd::kPackageHeaderSize, 0);
  std::vector<upd::PackageEntry> entries;
  std::vector<upd::EntryHashes> hashes;
  std::uint64_t newest = 0;
  // Appends one entry's data, compressed when that makes it smaller; false when the package
  // would reach 4 GiB.
  auto pack = [&](std::size_t k, const std::string& name, std::span<const std::uint8_t> bytes,
                  std::uint64_t time_stamp, bool store) {
    upd::PackageEntry e;
    std::copy(name.begin(), name.end(), e.EntryName.begin());
    e.TimeStamp = time_stamp;
    e.UnpackedSize = static_cast<std::uint32_t>(bytes.size());
    std::vector<std::uint8_t> stream;
    if (!store && !bytes.empty()) {
      CompressProgress hook;
      if (options.progress && k < order.size()) {
        hook = [&](std::size_t done) { options.progress(k, order.size(), name, done); };
      }
      stream = compressor.Compress(bytes, options.level, hook);
    }
    const bool compressed = !stream.empty() && stream.size() < bytes.size();
    const std::span<const std::uint8_t> stored =
        compressed ? std::span<const std::uint8_t>(stream) : bytes;
    e.EntryFlags = compressed ? upd::kEntryCompressed : upd::kEntryStored;
    e.StoredSize = static_cast<std::uint32_t>(stored.size());
    if (image.size() + upd::PaddedSize(e.StoredSize) > kMaxPackageSize) return false;
    if (options.integrity && k < order.size()) {
      hashes.push_back({upd::HashBytes(stored), upd::HashBytes(bytes)});
    }
    Append(image, stored);
    image.resize(image.size() + (upd::PaddedSize(e.StoredSize) - e.StoredSize), 0);
    entries.push_back(e);
    return true;
  };
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    PackageFile& f = files[i];
    if (options.progress) options.progress(k, order.size(), f.name, 0);
    newest = std::max(newest, f.time_stamp);
    if (!pack(k, f.name, f.bytes, f.time_stamp, options.store)) {
      return fail(i, "the package would reach 4 GiB with this file");
    }
    std::vector<std::uint8_t>().swap(f.bytes);  // done with it; large updates hold much
  }
  // The integrity record comes last, after the entries it covers, whatever its name's order.
  if (options.integrity) {
    const std::vector<std::uint8_t> record = upd::MakeIntegrityRecord(entries, hashes);
    // Stored as it is: hashes do not compress, and the updater reads it without unpacking.
    if (!pack(order.size(), std::string(upd::kIntegrityEntryName), record, newest, true)) {
      return fail(kNoFile, "the package would reach 4 GiB");
    }
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
