#include "package_reader.h"

#include <algorithm>
#include <map>
#include <new>

#include "entry_name.h"
#include "package/decoder.h"
#include "package/integrity.h"

namespace updpack {
namespace {

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::string Hex(std::uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

// What the package asked for and the system would not give: the package is refused, the process
// goes on.
std::string NoMemory(const std::string& what, std::uint64_t bytes) {
  return "not enough memory for " + what + " (" + Num(bytes) +
         " bytes, as the package's sizes ask); the package is damaged or too large for this system";
}

}  // namespace

OpenResult OpenPackage(std::span<const std::uint8_t> image) {
  OpenResult r;
  auto fail = [&](std::string text) {
    r.fault = {kWholePackage, std::move(text)};
    return std::move(r);
  };
  if (image.size() < upd::kPackageHeaderSize) {
    return fail("the file has " + Num(image.size()) +
                " bytes, too few for a package (the header alone takes 16)");
  }
  if (image.size() > 0xFFFFFFFFu) return fail("the file is 4 GiB or larger, too large for a package");
  PackageView v;
  v.image = image;
  v.header = upd::DecodeHeader(image.first<upd::kPackageHeaderSize>());
  if (v.header.Magic != upd::kPackageMagic) {
    return fail("not a package: it does not begin with the bytes 46 41 32 00");
  }
  const std::uint32_t dir = v.header.DirectoryOffset;
  if (dir > image.size()) {
    return fail("the package is truncated: its directory offset " + Num(dir) +
                " lies outside the file (" + Num(image.size()) + " bytes)");
  }
  if (dir < upd::kPackageHeaderSize) {
    return fail("the directory offset " + Num(dir) + " lies outside the package (" +
                Num(image.size()) + " bytes, data from byte 16)");
  }
  const std::uint64_t table_size = std::uint64_t{v.header.EntryCount} * upd::kEntryRecordSize;
  const std::span<const std::uint8_t> tail = image.subspan(dir);
  if (v.header.HeaderFlags & upd::kDirectoryCompressed) {
    if (table_size > std::uint64_t{tail.size()} * upd::kMaxExpansion) {
      // Too short a stream for the count: a cut file, when the stream runs out before its end.
      std::vector<std::uint8_t> probe(static_cast<std::size_t>(
          std::min<std::uint64_t>(std::uint64_t{tail.size()} * upd::kMaxExpansion, 16u << 20) + 1));
      bool input_ended = false;
      if (!upd::DecompressBlock(tail, probe, &input_ended) && input_ended) {
        return fail("the package is truncated: its compressed directory runs past the end of "
                    "the file, " + Num(tail.size()) + " bytes after byte " + Num(dir));
      }
      return fail("a directory of " + Num(v.header.EntryCount) + " entries cannot come from the " +
                  Num(tail.size()) + " bytes of its compressed stream");
    }
    // Room for a little more than the records, to tell "too long" from "damaged".
    if (!v.table.AllocateUnfilled(static_cast<std::size_t>(table_size) + 4096)) {
      return fail(NoMemory("the directory of " + Num(v.header.EntryCount) + " records",
                           table_size));
    }
    bool input_ended = false;
    const auto produced = upd::DecompressBlock(tail, v.table.span(), &input_ended);
    if (!produced && input_ended) {
      // The directory stream is the last thing in a package: a cut file loses its end first.
      return fail("the package is truncated: its compressed directory runs past the end of the "
                  "file, " + Num(tail.size()) + " bytes after byte " + Num(dir));
    }
    if (!produced) {
      return fail("the compressed directory is damaged: its stream does not decode");
    }
    if (*produced != table_size) {
      return fail("the compressed directory holds " + Num(*produced) + " bytes, not the " +
                  Num(table_size) + " of " + Num(v.header.EntryCount) + " records");
    }
    v.table.Shrink(static_cast<std::size_t>(table_size));
  } else {
    if (table_size > tail.size()) {
      return fail("the package is truncated: the directory of " + Num(v.header.EntryCount) +
                  " records needs " +
                  Num(table_size) + " bytes from byte " + Num(dir) + ", but the package ends " +
                  Num(tail.size()) + " bytes after it");
    }
    if (!v.table.AllocateUnfilled(static_cast<std::size_t>(table_size))) {
      return fail(NoMemory("the directory of " + Num(v.header.EntryCount) + " records",
                           table_size));
    }
    std::copy_n(tail.begin(), static_cast<std::size_t>(table_size), v.table.span().begin());
  }
  try {
    v.entries.reserve(v.header.EntryCount);
    v.offsets.reserve(v.header.EntryCount);
    v.name_terminated.reserve(v.header.EntryCount);
  } catch (const std::bad_alloc&) {
    return fail(NoMemory("the " + Num(v.header.EntryCount) + " entries of the directory",
                         std::uint64_t{v.header.EntryCount} * sizeof(upd::PackageEntry)));
  }
  std::uint64_t offset = upd::kPackageHeaderSize;
  for (std::size_t i = 0; i < v.header.EntryCount; ++i) {
    const auto rec = v.table.span()
                         .subspan(i * upd::kEntryRecordSize)
                         .first<upd::kEntryRecordSize>();
    v.entries.push_back(upd::DecodeEntryRecord(rec));
    v.name_terminated.push_back(
        std::find(rec.begin(), rec.begin() + upd::kEntryNameCapacity, 0) !=
        rec.begin() + upd::kEntryNameCapacity);
    v.offsets.push_back(offset);
    offset += upd::PaddedSize(v.entries.back().StoredSize);
  }
  v.integrity_record = upd::FindIntegrityRecord(v.entries);
  r.view = std::move(v);
  return r;
}

std::optional<std::string> EntryFault(const PackageView& view, std::size_t index) {
  const upd::PackageEntry& e = view.entries[index];
  if (!view.name_terminated[index]) return "the name field has no terminating zero byte";
  // The integrity record's name is one no file can have, on purpose.
  if (e.Name() != upd::kIntegrityEntryName) {
    if (auto fault = EntryNameFault(e.Name())) return *fault;
  }
  if (e.EntryFlags != upd::kEntryStored && e.EntryFlags != upd::kEntryCompressed) {
    return "its flags are " + Num(e.EntryFlags) + "; an entry is 1 (stored) or 2 (compressed)";
  }
  if (e.EntryFlags == upd::kEntryStored && e.StoredSize != e.UnpackedSize) {
    return "stored as it is, yet its stored size " + Num(e.StoredSize) + " differs from its size " +
           Num(e.UnpackedSize);
  }
  if (e.IsCompressed() &&
      std::uint64_t{e.UnpackedSize} > std::uint64_t{e.StoredSize} * upd::kMaxExpansion) {
    return "no stream of " + Num(e.StoredSize) + " bytes unpacks to its size " + Num(e.UnpackedSize);
  }
  const std::uint64_t begin = view.offsets[index];
  if (begin + e.StoredSize > view.header.DirectoryOffset) {
    return "its " + Num(e.StoredSize) + " bytes from byte " + Num(begin) +
           " run past the directory at byte " + Num(view.header.DirectoryOffset);
  }
  return std::nullopt;
}

EntryBytes ReadEntry(const PackageView& view, std::size_t index) {
  const upd::PackageEntry& e = view.entries[index];
  const auto stored = view.image.subspan(static_cast<std::size_t>(view.offsets[index]), e.StoredSize);
  EntryBytes out;
  if (!e.IsCompressed()) {
    out.bytes = stored.first(e.UnpackedSize);
    return out;
  }
  // One byte of spare room tells a stream that runs long from one that fits exactly.
  if (!out.owned.AllocateUnfilled(std::size_t{e.UnpackedSize} + 1)) {
    out.fault = NoMemory("its " + Num(e.UnpackedSize) + " bytes", std::uint64_t{e.UnpackedSize} + 1);
    return out;
  }
  const auto produced = upd::DecompressBlock(stored, out.owned.span());
  if (!produced) {
    out.owned = {};
    out.fault = "its compressed data is damaged: it does not decode within its " +
                Num(e.StoredSize) + " bytes to at most its size " + Num(e.UnpackedSize);
    return out;
  }
  if (*produced != e.UnpackedSize) {
    out.owned = {};
    out.fault = *produced < e.UnpackedSize
                    ? "its compressed data unpacks to " + Num(*produced) + " bytes, not its size " +
                          Num(e.UnpackedSize)
                    : "its compressed data unpacks to more than its size " + Num(e.UnpackedSize);
    return out;
  }
  out.owned.Shrink(e.UnpackedSize);
  out.bytes = out.owned.span();
  return out;
}

namespace {

// New bytes per piece of a compressed entry: small enough for the cache to hold a piece while
// it is hashed and handed on, large enough that the window carried between pieces costs little.
constexpr std::size_t kPieceBytes = std::size_t{1} << 18;
constexpr std::size_t kRoomBytes = upd::StreamDecoder::kWindow + kPieceBytes;
// Bytes in place in the image are hashed and handed on in chunks of this size, each let go
// once done.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

template <class F>
void InChunks(std::span<const std::uint8_t> bytes, F&& f) {
  for (std::size_t at = 0; at < bytes.size(); at += kChunkBytes) {
    f(bytes.subspan(at, std::min(kChunkBytes, bytes.size() - at)));
  }
}

}  // namespace

EntryPieces::EntryPieces(ReleaseBytes release) : release_(std::move(release)) {}

std::optional<std::string> EntryPieces::Read(
    const PackageView& view, std::size_t index,
    const std::function<void(std::span<const std::uint8_t>)>& use, upd::EntryHashes* hashes) {
  const upd::PackageEntry& e = view.entries[index];
  const auto stored =
      view.image.subspan(static_cast<std::size_t>(view.offsets[index]), e.StoredSize);
  hasher_.Reset();
  if (!e.IsCompressed()) {
    InChunks(stored.first(e.UnpackedSize), [&](std::span<const std::uint8_t> chunk) {
      if (hashes) hasher_.Update(chunk);
      use(chunk);
      Release(chunk);
    });
    if (hashes) hashes->stored = hashes->unpacked = hasher_.Digest();
    return std::nullopt;
  }
  if (room_.size() == 0 && !room_.AllocateUnfilled(kRoomBytes)) {
    return NoMemory("the room entries are unpacked in", kRoomBytes);
  }
  if (hashes) {
    InChunks(stored, [&](std::span<const std::uint8_t> chunk) {
      hasher_.Update(chunk);
      Release(chunk);
    });
    hashes->stored = hasher_.Digest();
    hasher_.Reset();
  }
  upd::StreamDecoder decoder(stored, e.UnpackedSize);
  std::uint64_t released = 0;
  for (;;) {
    std::span<const std::uint8_t> piece;
    const upd::StreamDecoder::Status status = decoder.Next(room_.span(), piece);
    if (!piece.empty()) {
      if (hashes) hasher_.Update(piece);
      use(piece);
    }
    // The stream behind the decoder, estimated by the share of the output made, less a margin:
    // a page let go too early costs only its fault.
    const std::uint64_t behind =
        e.UnpackedSize == 0 ? 0 : std::uint64_t{e.StoredSize} * decoder.produced() / e.UnpackedSize;
    if (behind > released + 2 * kChunkBytes) {
      Release(stored.subspan(static_cast<std::size_t>(released),
                             static_cast<std::size_t>(behind - kChunkBytes - released)));
      released = behind - kChunkBytes;
    }
    if (status == upd::StreamDecoder::Status::kMore) continue;
    if (status == upd::StreamDecoder::Status::kDone) break;
    return DecodeFault(stored, e.UnpackedSize, decoder.produced());
  }
  Release(stored);
  if (hashes) hashes->unpacked = hasher_.Digest();
  return std::nullopt;
}

// Said as ReadEntry says it, which decodes into room for one byte more than the entry's size:
// a stream that ends early, one that yields exactly one byte too many, or a damaged one. Only
// a failed stream gets here, so decoding it again costs nothing in a sound package.
std::string EntryPieces::DecodeFault(std::span<const std::uint8_t> stored, std::uint32_t size,
                                     std::uint64_t produced) {
  const auto decodes_to = [&](std::uint64_t total) {
    upd::StreamDecoder again(stored, total);
    std::span<const std::uint8_t> piece;
    upd::StreamDecoder::Status status;
    while ((status = again.Next(room_.span(), piece)) == upd::StreamDecoder::Status::kMore) {
    }
    return status == upd::StreamDecoder::Status::kDone;
  };
  if (produced < size && decodes_to(produced)) {
    return "its compressed data unpacks to " + Num(produced) + " bytes, not its size " + Num(size);
  }
  if (decodes_to(std::uint64_t{size} + 1)) {
    return "its compressed data unpacks to more than its size " + Num(size);
  }
  return "its compressed data is damaged: it does not decode within its " + Num(stored.size()) +
         " bytes to at most its size " + Num(size);
}

bool IsIntegrityRecord(const PackageView& view, std::size_t index) {
  return view.integrity_record && *view.integrity_record == index;
}

namespace {

// Whether entry `index` stands in ascending name order. A file is held against the file before
// it; the integrity record against its neighbours, or nothing when it is last, where packages
// built before it took its place in name order have it.
bool InNameOrder(const PackageView& v, std::size_t index) {
  const auto& entries = v.entries;
  if (IsIntegrityRecord(v, index)) {
    return index + 1 == entries.size() ||
           ((index == 0 || entries[index - 1].Name() < entries[index].Name()) &&
            entries[index].Name() < entries[index + 1].Name());
  }
  std::size_t file_before = index;  // one past it: none when 0
  if (file_before > 0 && IsIntegrityRecord(v, file_before - 1)) --file_before;
  return file_before == 0 || entries[file_before - 1].Name() < entries[index].Name();
}

}  // namespace

std::optional<Fault> VerifyPackage(std::span<const std::uint8_t> image, std::vector<Fault>* notes,
                                   bool* contents_checked, const VerifyProgress& progress,
                                   const ReleaseBytes& release) {
  if (contents_checked) *contents_checked = false;
  auto note = [&](std::size_t entry, std::string text) {
    if (notes) notes->push_back({entry, std::move(text)});
  };
  OpenResult opened = OpenPackage(image);
  if (!opened.view) return opened.fault;
  const PackageView& v = *opened.view;
  if (v.header.HeaderFlags & ~upd::kDirectoryCompressed) {
    note(kWholePackage, "header flags " + Hex(v.header.HeaderFlags) +
                            " carry bits that no reader looks at");
  }
  std::map<std::string, std::size_t> seen;
  // Each entry is read once, in pieces: its hashes are taken on the way for the integrity check
  // below, and the record's content is kept (beyond its proper size it is damaged anyway).
  EntryPieces pieces(release);
  std::vector<upd::EntryHashes> hashes(v.integrity_record ? v.entries.size() : 0);
  std::vector<std::uint8_t> record;
  const std::size_t record_room =
      v.integrity_record ? upd::IntegrityRecordSize(v.entries.size() - 1) + 1 : 0;
  std::uint64_t done = 0;
  for (std::size_t i = 0; i < v.entries.size(); ++i) {
    if (progress) progress(i, v.entries.size(), done);
    done += v.entries[i].UnpackedSize;
    if (auto fault = EntryFault(v, i)) return Fault{i, *fault};
    const upd::PackageEntry& e = v.entries[i];
    auto [it, fresh] = IsIntegrityRecord(v, i)
                           ? std::pair{seen.end(), true}
                           : seen.emplace(FoldEntryName(e.Name()), i);
    if (!fresh) {
      return Fault{i, v.entries[it->second].Name() == e.Name()
                          ? "it has the same name as entry " + Num(it->second) +
                                ", so the updater never finds it"
                          : "the updater cannot tell its name from that of entry " +
                                Num(it->second) + " (its lookup compares names as Windows "
                                "does, regardless of letter case), so it never finds it",
                   it->second};
    }
    const bool is_record = IsIntegrityRecord(v, i);
    const auto keep = [&](std::span<const std::uint8_t> b) {
      if (!is_record) return;
      record.insert(record.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                           b.size(), record_room - record.size())));
    };
    if (auto fault = pieces.Read(v, i, keep, hashes.empty() ? nullptr : &hashes[i])) {
      return Fault{i, *fault};
    }

    const auto rec = v.table.span().subspan(i * upd::kEntryRecordSize);
    const std::size_t name_len = e.Name().size();
    if (std::any_of(rec.begin() + static_cast<std::ptrdiff_t>(name_len),
                    rec.begin() + upd::kEntryNameCapacity, [](std::uint8_t b) { return b != 0; })) {
      note(i, "the name field holds stray bytes after the name");
    }
    if (!InNameOrder(v, i)) note(i, "out of order: names are not in ascending order");
    // The fill of the last entry may run into a directory placed too early; that is noted below.
    const std::uint64_t fill_from = v.offsets[i] + e.StoredSize;
    const std::uint64_t fill_to =
        std::min<std::uint64_t>(v.offsets[i] + upd::PaddedSize(e.StoredSize), v.header.DirectoryOffset);
    const auto fill = image.subspan(static_cast<std::size_t>(fill_from),
                                    static_cast<std::size_t>(fill_to - fill_from));
    if (std::any_of(fill.begin(), fill.end(), [](std::uint8_t b) { return b != 0; })) {
      note(i, "the fill bytes after its data are not zero");
    }
  }
  const std::uint64_t data_end =
      v.entries.empty() ? upd::kPackageHeaderSize
                        : v.offsets.back() + upd::PaddedSize(v.entries.back().StoredSize);
  if (data_end < v.header.DirectoryOffset) {
    note(kWholePackage, Num(v.header.DirectoryOffset - data_end) +
                            " unused bytes lie between the data and the directory");
  } else if (data_end > v.header.DirectoryOffset) {
    note(kWholePackage, "the directory begins inside the fill bytes of the last entry");
  }
  if (!(v.header.HeaderFlags & upd::kDirectoryCompressed) &&
      v.header.DirectoryOffset + v.table.size() != image.size()) {
    note(kWholePackage, Num(image.size() - v.header.DirectoryOffset - v.table.size()) +
                            " bytes follow the directory");
  }
  if (!upd::LoadPackageDirectory(image)) {
    return Fault{kWholePackage, "the updater's loader refuses the package"};
  }
  using Status = upd::IntegrityResult::Status;
  const upd::IntegrityResult checked =
      upd::CheckIntegrity(v.entries, record, hashes, upd::IntegrityDepth::kUnpackedToo);
  switch (checked.status) {
    case Status::kNoRecord:
      return std::nullopt;
    case Status::kSound:
      if (contents_checked) *contents_checked = true;
      return std::nullopt;
    case Status::kBadRecord:
      return Fault{checked.entry, "the integrity record is damaged: its header or size does not "
                                  "fit the " + Num(v.entries.size() - 1) + " entries it covers"};
    case Status::kRecords:
      return Fault{kWholePackage, "the directory differs from what the integrity record holds: "
                                  "a name, size, flag or time stamp is damaged"};
    case Status::kContent:
      return Fault{checked.entry, "its contents differ from the integrity record: the data is "
                                  "damaged"};
    case Status::kUnreadable:
    case Status::kNoMemory:
      break;
  }
  return Fault{checked.entry, "its bytes cannot be read for the integrity check"};
}

}  // namespace updpack
