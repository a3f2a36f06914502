#include "package/integrity.h"

#include <algorithm>
#include <cstring>

#include "package/byte_order.h"
#include "package/decoder.h"
#include "package/unfilled_array.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace upd {
namespace {

constexpr std::uint8_t kMagic[8] = {'U', 'P', 'D', 'X', 'X', 'H', '3', 0};
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kPerEntry = 32;
constexpr std::size_t kHeaderSize = 32;

Hash128 Canonical(XXH128_hash_t h) {
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, h);
  Hash128 out;
  std::memcpy(out.data(), c.digest, out.size());
  return out;
}

// The hash of the records of every entry but `skip`, as the writer encodes them.
Hash128 HashRecords(std::span<const PackageEntry> entries, std::optional<std::size_t> skip) {
  XXH3_state_t state;
  XXH3_128bits_reset(&state);
  std::array<std::uint8_t, kEntryRecordSize> rec;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (skip && i == *skip) continue;
    EncodeEntryRecord(entries[i], rec);
    XXH3_128bits_update(&state, rec.data(), rec.size());
  }
  return Canonical(XXH3_128bits_digest(&state));
}

}  // namespace

Hash128 HashBytes(std::span<const std::uint8_t> bytes) {
  return Canonical(XXH3_128bits(bytes.data(), bytes.size()));
}

struct Hasher::State {
  XXH3_state_t xxh;
};

Hasher::Hasher() : state_(std::make_unique<State>()) { Reset(); }
Hasher::~Hasher() = default;
void Hasher::Reset() { XXH3_128bits_reset(&state_->xxh); }
void Hasher::Update(std::span<const std::uint8_t> bytes) {
  XXH3_128bits_update(&state_->xxh, bytes.data(), bytes.size());
}
Hash128 Hasher::Digest() const { return Canonical(XXH3_128bits_digest(&state_->xxh)); }

std::optional<std::size_t> FindIntegrityRecord(std::span<const PackageEntry> entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].Name() == kIntegrityEntryName) return i;
  }
  return std::nullopt;
}

std::size_t IntegrityRecordSize(std::size_t others) { return kHeaderSize + kPerEntry * others; }

std::vector<std::uint8_t> MakeIntegrityRecord(std::span<const PackageEntry> others,
                                              std::span<const EntryHashes> hashes) {
  std::vector<std::uint8_t> out(IntegrityRecordSize(hashes.size()));
  std::copy(std::begin(kMagic), std::end(kMagic), out.begin());
  Put32(&out[8], kVersion);
  Put32(&out[12], static_cast<std::uint32_t>(hashes.size()));
  const Hash128 records = HashRecords(others, std::nullopt);
  std::copy(records.begin(), records.end(), out.begin() + 16);
  for (std::size_t i = 0; i < hashes.size(); ++i) {
    auto at = out.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + kPerEntry * i);
    at = std::copy(hashes[i].stored.begin(), hashes[i].stored.end(), at);
    std::copy(hashes[i].unpacked.begin(), hashes[i].unpacked.end(), at);
  }
  return out;
}

namespace {

using Status = IntegrityResult::Status;

// Whether `record` is a sound record for `entries` (the record at `at`) and holds their
// records' hash: kSound, kBadRecord or kRecords.
Status CheckRecordItself(std::span<const PackageEntry> entries, std::size_t at,
                         std::span<const std::uint8_t> record) {
  const std::size_t others = entries.size() - 1;
  if (record.size() != IntegrityRecordSize(others) ||
      !std::equal(std::begin(kMagic), std::end(kMagic), record.begin()) ||
      Get32(&record[8]) != kVersion || Get32(&record[12]) != others) {
    return Status::kBadRecord;
  }
  const Hash128 records = HashRecords(entries, at);
  if (!std::equal(records.begin(), records.end(), record.begin() + 16)) return Status::kRecords;
  return Status::kSound;
}

// Whether the hash the record holds for every entry it covers (0 stored, 1 unpacked) is
// `hash_of(i)`, in directory order; the first that differs is at fault.
template <class HashOf>
IntegrityResult CompareHashes(std::span<const PackageEntry> entries, std::size_t at,
                              std::span<const std::uint8_t> record, std::size_t which,
                              const HashOf& hash_of) {
  for (std::size_t i = 0, k = 0; i < entries.size(); ++i) {
    if (i == at) continue;
    const Hash128 hash = hash_of(i);
    const auto held = record.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + kPerEntry * k++ + 16 * which);
    if (!std::equal(hash.begin(), hash.end(), held)) return {Status::kContent, i};
  }
  return {Status::kSound};
}

}  // namespace

IntegrityResult CheckIntegrity(std::span<const PackageEntry> entries,
                               std::span<const std::uint8_t> record,
                               std::span<const EntryHashes> hashes, IntegrityDepth depth) {
  const auto at = FindIntegrityRecord(entries);
  if (!at) return {Status::kNoRecord};
  if (const Status s = CheckRecordItself(entries, *at, record); s != Status::kSound) {
    return s == Status::kBadRecord ? IntegrityResult{s, *at} : IntegrityResult{s};
  }
  // Stored bytes first, for every entry, as the updater checks them.
  const IntegrityResult stored = CompareHashes(entries, *at, record, 0, [&](std::size_t i) { return hashes[i].stored; });
  if (stored.status != Status::kSound || depth == IntegrityDepth::kStoredBytes) return stored;
  return CompareHashes(entries, *at, record, 1, [&](std::size_t i) { return hashes[i].unpacked; });
}

IntegrityResult CheckIntegrity(const PackageDirectory& dir, std::span<const std::uint8_t> image) {
  const auto entries = dir.Entries();
  const auto at = FindIntegrityRecord(entries);
  if (!at) return {Status::kNoRecord};

  // The record itself, unpacked when it is compressed (it is small: 32 + 32 bytes per entry).
  // The loader has made sure that the stored bytes lie inside the image.
  const PackageEntry& e = entries[*at];
  const std::span<const std::uint8_t> stored = dir.StoredBytes(image, *at);
  UnfilledArray<std::uint8_t> unpacked;
  std::span<const std::uint8_t> record = stored.first(e.UnpackedSize);
  if (e.IsCompressed()) {
    if (!unpacked.AllocateUnfilled(e.UnpackedSize)) return {Status::kNoMemory, *at};
    const auto produced = DecompressBlock(stored, unpacked.span());
    if (!produced || *produced != e.UnpackedSize) return {Status::kUnreadable, *at};
    record = unpacked.span();
  }
  if (const Status s = CheckRecordItself(entries, *at, record); s != Status::kSound) {
    return s == Status::kBadRecord ? IntegrityResult{s, *at} : IntegrityResult{s};
  }
  // Only the stored bytes, hashed in place: a damaged package is found without unpacking
  // anything.
  return CompareHashes(entries, *at, record, 0,
                       [&](std::size_t i) { return HashBytes(dir.StoredBytes(image, i)); });
}

}  // namespace upd
