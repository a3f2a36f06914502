#include "package_writer.h"

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <string_view>

#include "entry_name.h"
#include "package/container.h"
#include "package/decoder.h"
#include "package/integrity.h"

namespace updpack {
namespace {

constexpr std::uint64_t kMaxPackageSize = 0xFFFFFFFFu;  // every offset and size is 32-bit
// Bytes in place in a file are hashed and written in chunks of this size, each let go once done.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

template <class F>
void InChunks(std::span<const std::uint8_t> bytes, F&& f) {
  for (std::size_t at = 0; at < bytes.size(); at += kChunkBytes) {
    f(bytes.subspan(at, std::min(kChunkBytes, bytes.size() - at)));
  }
}

class VectorSink : public PackageSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out) {}
  bool Write(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
    std::copy(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }
  bool CutBack(std::uint64_t size) override {
    out_.resize(static_cast<std::size_t>(size));
    return true;
  }
  std::uint64_t Size() const override { return out_.size(); }

 private:
  std::vector<std::uint8_t>& out_;
};

class VectorBytes : public ItemBytes {
 public:
  explicit VectorBytes(std::vector<PackageFile>& files) : files_(files) {}
  std::optional<std::span<const std::uint8_t>> Open(std::size_t index, std::string&) override {
    // Done with the one before: large updates hold much.
    if (last_ != kNoFile) std::vector<std::uint8_t>().swap(files_[last_].bytes);
    last_ = index;
    return files_[index].bytes;
  }

 private:
  std::vector<PackageFile>& files_;
  std::size_t last_ = kNoFile;
};

}  // namespace

BuildResult BuildPackage(std::vector<PackageFile> files, const PackageOptions& options) {
  std::vector<PackageItem> items;
  items.reserve(files.size());
  for (const PackageFile& f : files) items.push_back({f.name, f.bytes.size(), f.time_stamp});
  std::vector<std::uint8_t> image;
  VectorSink out(image);
  VectorBytes bytes(files);
  BuildResult result = WritePackage(items, bytes, out, options);
  if (result.error.empty()) result.image = std::move(image);
  return result;
}

BuildResult WritePackage(std::span<const PackageItem> items, ItemBytes& bytes, PackageSink& out,
                         const PackageOptions& options) {
  BuildResult result;
  auto fail = [&](std::size_t file, std::string why, std::size_t other = kNoFile) {
    result.error = std::move(why);
    result.file = file;
    result.other = other;
    result.entries.clear();
    return result;
  };
  auto sink_failed = [&] {
    result.sink_failed = true;
    return fail(kNoFile, "the package cannot be written");
  };

  std::map<std::string, std::size_t> folded;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (auto fault = EntryNameFault(items[i].name)) return fail(i, *fault);
    // Even stored alone behind the header it must leave the package below 4 GiB.
    if (items[i].size > kMaxFileSize) {
      return fail(i, "the file is too large for a package, which stays below 4 GiB");
    }
    auto [it, fresh] = folded.emplace(FoldEntryName(items[i].name), i);
    if (!fresh) {
      return fail(i, items[it->second].name == items[i].name
                         ? "it has the same name in code page 932 as another file"
                         : "the updater cannot tell its name from another's (its lookup "
                           "compares names as Windows does, regardless of letter case, and "
                           "takes these two for one), so one of them would never be found",
                  it->second);
    }
  }
  // No stream unpacks to more than kMaxExpansion times its size: files that take 4 GiB even
  // at that rate can never make a package, and are refused before anything is read.
  std::uint64_t least = upd::kPackageHeaderSize;
  for (const PackageItem& item : items) {
    least += upd::PaddedSize(static_cast<std::uint32_t>(
        (item.size + upd::kMaxExpansion - 1) / upd::kMaxExpansion));
  }
  if (least > kMaxPackageSize) {
    return fail(kNoFile, "the package would reach 4 GiB: its files take at least " +
                             std::to_string(least) +
                             " bytes even compressed as densely as the format allows");
  }

  // Byte order of the names: std::string compares its chars as unsigned.
  std::vector<std::size_t> order(items.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return items[a].name < items[b].name; });
  // The integrity record takes its place in that order like any entry: before the first file
  // whose name sorts after its own (no file can have its name).
  const auto sorts_before_record = [&](std::size_t i) {
    return std::string_view(items[i].name) < upd::kIntegrityEntryName;
  };
  const std::size_t record_at =
      options.integrity
          ? static_cast<std::size_t>(std::ranges::partition_point(order, sorts_before_record) -
                                     order.begin())
          : kNoFile;

  Compressor compressor;
  upd::Hasher unpacked_hash;
  upd::Hasher stored_hash;
  std::vector<upd::PackageEntry>& entries = result.entries;  // directory order, the record among them
  std::vector<upd::EntryHashes> hashes;    // of the files only, in directory order
  static constexpr std::uint8_t kZeros[16] = {};
  // The header is known last; its place is kept.
  if (!out.Write(std::span(kZeros))) return sink_failed();
  // Pads the entry just written and records it; false when the sink fails.
  auto finish_entry = [&](const upd::PackageEntry& e) {
    entries.push_back(e);
    return out.Write(std::span(kZeros).first(upd::PaddedSize(e.StoredSize) - e.StoredSize));
  };
  // The record's bytes are known only once every file is packed, but its size is known now:
  // its place is kept in zeros and filled in at the end. It is stored as it is: hashes do not
  // compress, and the updater reads it without unpacking.
  std::uint64_t record_offset = 0;
  enum class Reserved { kOk, kTooLarge, kSinkFailed };
  auto reserve_record = [&] {
    std::uint64_t newest = 0;
    for (const PackageItem& f : items) newest = std::max(newest, f.time_stamp);
    upd::PackageEntry e;
    std::copy(upd::kIntegrityEntryName.begin(), upd::kIntegrityEntryName.end(), e.EntryName.begin());
    e.EntryFlags = upd::kEntryStored;
    e.TimeStamp = newest;
    e.UnpackedSize = e.StoredSize = static_cast<std::uint32_t>(upd::IntegrityRecordSize(items.size()));
    if (out.Size() + upd::PaddedSize(e.StoredSize) > kMaxPackageSize) return Reserved::kTooLarge;
    result.integrity_record = entries.size();
    record_offset = out.Size();
    const std::vector<std::uint8_t> zeros(e.StoredSize, 0);
    return out.Write(zeros) && finish_entry(e) ? Reserved::kOk : Reserved::kSinkFailed;
  };
  auto place_record = [&]() -> std::optional<BuildResult> {
    switch (reserve_record()) {
      case Reserved::kOk: return std::nullopt;
      case Reserved::kTooLarge: return fail(kNoFile, "the package would reach 4 GiB");
      case Reserved::kSinkFailed: return sink_failed();
    }
    return std::nullopt;
  };
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k == record_at) {
      if (auto failed = place_record()) return *failed;
    }
    const std::size_t i = order[k];
    const PackageItem& f = items[i];
    if (options.progress) options.progress(k, order.size(), f.name, 0);
    std::string error;
    const std::optional<std::span<const std::uint8_t>> opened = bytes.Open(i, error);
    if (!opened) return fail(i, "cannot be read: " + error);
    const std::span<const std::uint8_t> data = *opened;
    // The file may have changed since it was listed.
    if (data.size() > kMaxFileSize) {
      return fail(i, "the file is too large for a package, which stays below 4 GiB");
    }
    upd::PackageEntry e;
    std::copy(f.name.begin(), f.name.end(), e.EntryName.begin());
    e.TimeStamp = f.time_stamp;
    e.UnpackedSize = static_cast<std::uint32_t>(data.size());
    const std::uint64_t start = out.Size();
    if (options.integrity) {
      unpacked_hash.Reset();
      InChunks(data, [&](std::span<const std::uint8_t> chunk) {
        unpacked_hash.Update(chunk);
        bytes.Release(chunk);
      });
    }
    // Compressed only when that makes it smaller: the stream is given up once it is not.
    bool written = true;
    std::optional<std::uint64_t> stream;
    if (!options.store && !data.empty()) {
      StreamOut so;
      so.write = [&](std::span<const std::uint8_t> b) {
        written = written && out.Write(b);
        if (options.integrity) stored_hash.Update(b);
      };
      so.restart = [&] {
        written = written && out.CutBack(start);
        stored_hash.Reset();
      };
      so.limit = data.size() - 1;
      so.release = [&](std::size_t below) { bytes.Release(data.first(below)); };
      stored_hash.Reset();
      CompressProgress hook;
      if (options.progress) {
        hook = [&](std::size_t done) { options.progress(k, order.size(), f.name, done); };
      }
      stream = compressor.Compress(data, options.level, so, hook);
      bytes.Release(data);
    }
    if (!written) return sink_failed();
    const bool compressed = stream.has_value();
    e.EntryFlags = compressed ? upd::kEntryCompressed : upd::kEntryStored;
    e.StoredSize = static_cast<std::uint32_t>(compressed ? *stream : data.size());
    if (start + upd::PaddedSize(e.StoredSize) > kMaxPackageSize) {
      return fail(i, "the package would reach 4 GiB with this file");
    }
    if (!compressed) {
      if (!out.CutBack(start)) return sink_failed();
      InChunks(data, [&](std::span<const std::uint8_t> chunk) {
        written = written && out.Write(chunk);
        bytes.Release(chunk);
      });
      if (!written) return sink_failed();
    }
    if (!finish_entry(e)) return sink_failed();
    if (options.integrity) {
      const upd::Hash128 unpacked = unpacked_hash.Digest();
      hashes.push_back({compressed ? stored_hash.Digest() : unpacked, unpacked});
    }
  }
  if (record_at == order.size()) {
    if (auto failed = place_record()) return *failed;
  }
  if (options.integrity) {
    // What the record covers: every entry but itself, wherever it lies.
    std::vector<upd::PackageEntry> others = entries;
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(*result.integrity_record));
    const std::vector<std::uint8_t> record = upd::MakeIntegrityRecord(others, hashes);
    if (!out.WriteAt(record_offset, record)) return sink_failed();
  }

  std::vector<std::uint8_t> table(entries.size() * upd::kEntryRecordSize, 0);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    upd::EncodeEntryRecord(entries[k], std::span(table).subspan(k * upd::kEntryRecordSize)
                                           .first<upd::kEntryRecordSize>());
  }

  upd::PackageHeader header;
  header.Magic = upd::kPackageMagic;
  header.DirectoryOffset = static_cast<std::uint32_t>(out.Size());
  header.EntryCount = static_cast<std::uint32_t>(entries.size());
  std::vector<std::uint8_t> directory;
  if (options.store) {
    directory = std::move(table);
  } else {
    header.HeaderFlags = upd::kDirectoryCompressed;
    directory = compressor.Compress(table, options.level);
  }
  if (out.Size() + directory.size() > kMaxPackageSize) {
    return fail(kNoFile, "the package would reach 4 GiB");
  }
  if (!out.Write(directory)) return sink_failed();
  std::array<std::uint8_t, upd::kPackageHeaderSize> head{};
  upd::EncodeHeader(header, head);
  if (!out.WriteAt(0, head)) return sink_failed();
  result.size = out.Size();
  return result;
}

}  // namespace updpack
