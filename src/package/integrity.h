// The integrity record: one extra entry that updpack adds to the packages it builds, holding
// hashes (XXH3-128) of every other entry's stored bytes, of its unpacked bytes, and of their
// directory records. The container format itself has no checksum; packages without the record
// stay valid everywhere.
//
//   entry name  kIntegrityEntryName ("<XXH3-128>": '<' and '>' cannot be in a Windows file
//               name, so no game file can take it)
//   place       in name order among the files, like every entry (its data too); packages
//               built before that have it last. What it covers skips it wherever it lies, so
//               both check alike.
//   content     0  8   magic "UPDXXH3\0"
//               8  4   version (2), u32 LE
//               12 4   N: the number of other entries, u32 LE
//               16 16  hash of the other entries' records (280 bytes each, as written by
//                      EncodeEntryRecord, in directory order)
//               32 32N for each other entry, in directory order: the hash of its StoredSize
//                      stored bytes, then the hash of its unpacked bytes
//   hashes are XXH3-128 with seed 0, in xxHash's canonical (big-endian) byte order.
//
// The stored hashes let the updater check the whole package before it writes anything without
// unpacking it (hashing runs at memory speed; unpacking everything twice would double the run's
// cost); the unpacked hashes let `updpack verify` prove that every entry unpacks to what was
// packed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "package/container.h"

namespace upd {

inline constexpr std::string_view kIntegrityEntryName = "<XXH3-128>";

using Hash128 = std::array<std::uint8_t, 16>;

Hash128 HashBytes(std::span<const std::uint8_t> bytes);

// The same hash of bytes that come in pieces: Update with each piece in order, then Digest.
class Hasher {
 public:
  Hasher();
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  void Reset();  // for the next bytes, keeping the state's memory
  void Update(std::span<const std::uint8_t> bytes);
  Hash128 Digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The index of the integrity record among `entries`, if there is one (the first so named).
std::optional<std::size_t> FindIntegrityRecord(std::span<const PackageEntry> entries);

struct EntryHashes {
  Hash128 stored;    // of the entry's StoredSize bytes as they lie in the package
  Hash128 unpacked;  // of the bytes the entry unpacks to
};

// The size of the record's content for `others` entries besides it: known before any entry is
// packed, so the writer can leave the record its place in name order and fill it in last.
std::size_t IntegrityRecordSize(std::size_t others);

// The record's content for `others` (every entry but the record, in directory order) and their
// hashes.
std::vector<std::uint8_t> MakeIntegrityRecord(std::span<const PackageEntry> others,
                                              std::span<const EntryHashes> hashes);

// What checking a package against its record found.
struct IntegrityResult {
  enum class Status {
    kNoRecord,      // nothing to check against
    kSound,         // every entry matches
    kBadRecord,     // the record itself is damaged or does not fit the directory
    kRecords,       // the directory records differ from what the record holds
    kContent,       // an entry's bytes differ (entry)
    kUnreadable,    // an entry's bytes cannot be had (entry): a damaged stream
    kNoMemory,      // memory for an entry's bytes cannot be had (entry)
  } status = Status::kNoRecord;
  std::size_t entry = 0;  // index in the directory, for kContent, kUnreadable and kNoMemory
};

// How far a check goes: the records and every entry's stored bytes, or also what every entry
// unpacks to.
enum class IntegrityDepth { kStoredBytes, kUnpackedToo };

// Checks every entry of `entries` against the record, for a reader that has read every entry
// itself: `record` is the record's content, `hashes[i]` the hashes of entry i (the record's own
// slot is not looked at).
IntegrityResult CheckIntegrity(std::span<const PackageEntry> entries,
                               std::span<const std::uint8_t> record,
                               std::span<const EntryHashes> hashes, IntegrityDepth depth);

// The updater's check over a loaded directory and its image: the records and every entry's
// stored bytes, in place; nothing is unpacked but the record itself.
IntegrityResult CheckIntegrity(const PackageDirectory& dir, std::span<const std::uint8_t> image);

}  // namespace upd
