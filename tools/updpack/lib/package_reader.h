// Reads a package image for list, extract and verify, naming what is wrong where the updater's
// loader would only refuse. Texts name entries by number ("entry 3"); the caller adds the name
// in the user's encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/container.h"
#include "package/integrity.h"
#include "package/unfilled_array.h"

namespace updpack {

inline constexpr std::size_t kWholePackage = static_cast<std::size_t>(-1);

struct Fault {
  std::size_t entry = kWholePackage;  // index of the entry at fault, or the whole package
  std::string text;
  std::size_t other = kWholePackage;  // the entry it clashes with, for names
};

struct PackageView {
  std::span<const std::uint8_t> image;
  upd::PackageHeader header;
  upd::UnfilledArray<std::uint8_t> table;   // the directory records, decoded
  std::vector<upd::PackageEntry> entries;
  std::vector<std::uint64_t> offsets;       // where each entry's bytes begin
  std::vector<bool> name_terminated;        // the name field holds its NUL
  std::optional<std::size_t> integrity_record;  // the entry that holds it, if any
};

// Whether entry `index` is the integrity record (package/integrity.h): no game file, so list and
// extract leave it out.
bool IsIntegrityRecord(const PackageView& view, std::size_t index);

struct OpenResult {
  std::optional<PackageView> view;
  Fault fault;  // when there is no view
};

// Header and directory: the file is large enough, starts with the magic, the directory lies
// inside and holds exactly EntryCount records. Memory that the header asks for and that cannot
// be had is a fault like any other.
OpenResult OpenPackage(std::span<const std::uint8_t> image);

// What is wrong with one record: its name, flags, sizes, and where its bytes lie.
std::optional<std::string> EntryFault(const PackageView& view, std::size_t index);

struct EntryBytes {
  upd::UnfilledArray<std::uint8_t> owned;  // a decoded entry
  std::span<const std::uint8_t> bytes; // the file's bytes: `owned`, or in place in the image
  std::string fault;                   // set when the bytes cannot be had
};

// The file's bytes; a compressed entry must decode to exactly its UnpackedSize, into memory
// that is a fault when it cannot be had.
// Requires that EntryFault found nothing.
EntryBytes ReadEntry(const PackageView& view, std::size_t index);

// Told of bytes of the image once they are read, so that a mapped image lets their pages go.
using ReleaseBytes = std::function<void(std::span<const std::uint8_t>)>;

// Reads entries piece by piece through one room that is kept from entry to entry: memory
// stays the same whatever the entries' sizes, and no fresh buffer is paid for per entry.
class EntryPieces {
 public:
  explicit EntryPieces(ReleaseBytes release = {});

  // Hands the bytes that entry `index` unpacks to to `use`, in pieces and in order (a stored
  // entry's in place in the image). Returns the fault, in ReadEntry's words, when they cannot
  // be had; `use` may have had some pieces by then. With `hashes`, also hashes the entry's
  // stored bytes and its unpacked bytes. Requires that EntryFault found nothing.
  std::optional<std::string> Read(const PackageView& view, std::size_t index,
                                  const std::function<void(std::span<const std::uint8_t>)>& use,
                                  upd::EntryHashes* hashes = nullptr);

 private:
  std::string DecodeFault(std::span<const std::uint8_t> stored, std::uint32_t size,
                          std::uint64_t produced);
  void Release(std::span<const std::uint8_t> bytes) const {
    if (release_) release_(bytes);
  }

  ReleaseBytes release_;
  upd::UnfilledArray<std::uint8_t> room_;
  upd::Hasher hasher_;
};

// The first fault of the package: header, directory, then each entry in order (its record,
// then its bytes), then whether the updater's own loader takes the package, then, when the
// package has an integrity record, every entry against it (`contents_checked` then says so).
// `notes` receives what is harmless but not as our writer makes it (order, fill bytes, spare
// bytes, flags). `progress`, when set, is called before each entry is checked (index, count,
// bytes of the entries before it).
using VerifyProgress = std::function<void(std::size_t index, std::size_t count, std::uint64_t done)>;
// Every entry is read in pieces (EntryPieces, which `release` is handed to).
std::optional<Fault> VerifyPackage(std::span<const std::uint8_t> image,
                                   std::vector<Fault>* notes, bool* contents_checked = nullptr,
                                   const VerifyProgress& progress = {},
                                   const ReleaseBytes& release = {});

}  // namespace updpack
