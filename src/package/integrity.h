// The integrity record: one extra entry that updpack adds to the packages it builds, holding a
// hash (XXH3-128) of every other entry's unpacked bytes and of their directory records. The
// container format itself has no checksum; packages without the record stay valid everywhere.
//
//   entry name  kIntegrityEntryName ("<XXH3-128>": '<' and '>' cannot be in a Windows file
//               name, so no game file can take it)
//   content     0  8   magic "UPDXXH3\0"
//               8  4   version (1), u32 LE
//               12 4   N: the number of other entries, u32 LE
//               16 16  hash of the other entries' records (280 bytes each, as written by
//                      EncodeEntryRecord, in directory order)
//               32 16N hash of each other entry's unpacked bytes, in directory order
//   hashes are XXH3-128 with seed 0, in xxHash's canonical (big-endian) byte order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "package/container.h"

namespace upd {

inline constexpr std::string_view kIntegrityEntryName = "<XXH3-128>";

using Hash128 = std::array<std::uint8_t, 16>;

Hash128 HashBytes(std::span<const std::uint8_t> bytes);

// The index of the integrity record among `entries`, if there is one (the first so named).
std::optional<std::size_t> FindIntegrityRecord(std::span<const PackageEntry> entries);

// The record's content for `others` (every entry but the record, in directory order) and the
// hashes of their unpacked bytes.
std::vector<std::uint8_t> MakeIntegrityRecord(std::span<const PackageEntry> others,
                                              std::span<const Hash128> content_hashes);

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

// Hands the unpacked bytes of entry `index` to `use`, one entry at a time; returns kSound, or
// kUnreadable or kNoMemory when the bytes cannot be had.
using EntryReader = std::function<IntegrityResult::Status(
    std::size_t index, const std::function<void(std::span<const std::uint8_t>)>& use)>;

// Checks every entry of `entries` against the record, reading each through `read`.
IntegrityResult CheckIntegrity(std::span<const PackageEntry> entries, const EntryReader& read);

// The same over a loaded directory and its image: stored entries in place, compressed ones
// decoded into memory of their own, one at a time.
IntegrityResult CheckIntegrity(const PackageDirectory& dir, std::span<const std::uint8_t> image);

}  // namespace upd
