// Access to the package's entries for the rest of the updater: lookup by name, extraction to a
// file (with the free-space test, the keep-newer test and the entry's time stamp), the whole-file
// write. All work on the run's package (Run().PackageImage and
// Run().Directory) and report failures through ShowUpdaterError.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "base/messages.h"
#include "platform/file_system.h"
#include "platform/memory.h"

namespace upd {


// An entry's bytes, UnpackedSize of them, not NUL-terminated. A stored entry is a view into the
// package image, which lives as long as the process and is never copied; a compressed entry owns
// the block it was decoded into, freed with the object.
class EntryBytes {
 public:
  static EntryBytes ViewInto(std::span<const std::uint8_t> image_bytes) {
    return EntryBytes(image_bytes);
  }
  static EntryBytes Owning(platform::GlobalBlock block) { return EntryBytes(std::move(block)); }

  std::span<const std::uint8_t> bytes() const {
    if (const auto* view = std::get_if<std::span<const std::uint8_t>>(&data_)) return *view;
    return std::get<platform::GlobalBlock>(data_).bytes();
  }
  std::size_t size() const { return bytes().size(); }
  bool owns_block() const { return std::holds_alternative<platform::GlobalBlock>(data_); }

 private:
  explicit EntryBytes(std::span<const std::uint8_t> view) : data_(view) {}
  explicit EntryBytes(platform::GlobalBlock block) : data_(std::move(block)) {}

  std::variant<std::span<const std::uint8_t>, platform::GlobalBlock> data_;
};

// The bytes of the first entry whose name equals `name` as lstrcmpiA compares on a Japanese
// system (both are code page 932 bytes); the integrity record is never found. Nothing after a message: "Can't Find File in
// Resource !!" for a name the package lacks and for a compressed entry whose stream is damaged
// (its file cannot be had from the resource either), "Can't Allocate Memory !!" when the block
// for a compressed entry cannot be had.
std::optional<EntryBytes> FindPackageEntry(std::string_view name);

// Writes the entry `name` to `target`. True when the target holds the entry afterwards, or was
// left in place because `keep_newer` is set and its last write is later than the entry's
// TimeStamp. Order: lookup (a missing name fails before anything else is asked), free-space test
// on the target's volume (shortage message), the entry's bytes, then the target: a folder there
// fails silently; a read-only file loses its attributes (also when it is then kept); the
// keep-newer test; the write with the entry's TimeStamp.
//
// A compressed entry is unpacked piece by piece straight into the new file, on a thread of its
// own while the pieces before are written: the memory taken does not grow with the entry.
//
// `unpack_next`, when given, names the entry the caller will most likely extract next: once this
// entry's stream is in hand it starts unpacking that one too, so that the next entry unpacks
// while this one is written and flushed (see PrepareEntry).
bool ExtractPackageEntry(std::string_view name, const std::filesystem::path& target,
                         bool keep_newer, std::string_view unpack_next = {});

// What the update run asks of one extraction beyond ExtractPackageEntry's.
struct ExtractRequest {
  bool keep_newer = false;
  // The target is written only where no file is: one that appears there meanwhile (a player's
  // save written while the run works) is never replaced, and the extraction ends kTargetTaken.
  bool only_new = false;
  std::string_view unpack_next;
  // Asked once the entry's bytes are in hand and before the target is looked at or written: the
  // final path of the target's folder, which the caller has checked and holds; nothing fails the
  // extraction without a message. Every file made for the target is checked to lie there.
  std::function<std::optional<std::wstring>()> folder_ready;
  // With `unpack_next`: where that entry will go, in a folder the caller has checked and holds
  // (final path `next_folder`). The next entry is then written beside it as it unpacks (see
  // PrepareEntry), so that both entries unpack at once.
  std::filesystem::path next_target;
  std::wstring next_folder;
};

enum class Extracted {
  kDone,         // as ExtractPackageEntry's true
  kFailed,       // as its false, after its message where it shows one
  kTargetTaken,  // only_new: a file was at the target by the move; it is as it was
};
Extracted ExtractEntry(std::string_view name, const std::filesystem::path& target,
                       const ExtractRequest& request);

// The bytes of the entry `name` as ExtractPackageEntry takes them for a file at `target`: the
// lookup, the free-space test on the target's volume and the unpacking, with their messages;
// nothing after one of them. For a caller that writes the bytes through a file it holds.
std::optional<EntryBytes> EntryBytesFor(std::string_view name, const std::filesystem::path& target);

// Starts unpacking the compressed entry `name` ahead, on a thread of its own, into a few pieces
// of memory (PieceStream): the next extraction of it writes from there while this one's file is
// still being written and flushed. Shows nothing and changes no outcome: an entry the package
// lacks, memory or a thread that cannot be had leave nothing running, and the extraction then
// finds (and reports) it as it would have without this. One entry runs ahead at a time;
// preparing another drops the one before. Only for a package whose streams are proven
// (RunState::StreamsProven).
//
// With a `target` (in a folder the caller has checked and holds, final path `folder`, where the
// file made is checked to lie) whose volume has room to spare, the thread also writes the entry into the new file beside it, marked for deletion like
// every replacement file, instead of waiting for the extraction: memory stays a few pieces
// however far it runs. A stored entry is begun so too (copied from the package as it lies), and
// only so. The extraction of `name` to that target counts that file as free space
// in its free-space test, goes on where it stands and moves it into place; any other
// extraction, a failed write, or dropping the entry deletes it.
void PrepareEntry(std::string_view name, const std::filesystem::path& target = {},
                  std::wstring_view folder = {});

// Stops every stream of the run and frees their memory, waiting for their threads. Whoever
// extracts entries calls this before the package or its directory may go away.
void DropPreparedEntry();

// Creates or replaces `path` with `bytes` and, when given, gives it the three times `stamp`.
// The content goes to a new file beside the target first and takes the target's place only when
// complete: on failure the target is as it was and nothing is left behind. Fails (false, no
// message) for what exists at `path` and may not be replaced: a folder, or a read-only, hidden or
// system file.
bool WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    std::optional<std::uint64_t> stamp);

}  // namespace upd
