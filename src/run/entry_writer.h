// The apply stage's writes: each UpdateFile item's file written by the plan's rules, through
// the folders the run holds, with the next item's entry begun beside its target meanwhile.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/held_folders.h"
#include "run/plan.h"

namespace upd {

// Where one UpdateFile item goes, worked out before anything is written.
struct UpdateTarget {
  std::filesystem::path base;         // InstPath or DataPath, as the installation records it
  std::vector<std::wstring> folders;  // DataFolder's and Path's folders below the base
  std::filesystem::path folder;       // the base joined with DataFolder: the one level created
  std::filesystem::path target;
};

// The plan's components of a path, wide. Nothing when one cannot be spelt on the file system.
std::optional<std::vector<std::wstring>> WideParts(std::span<const std::string> parts);

// `folder` joined with each of `parts`; nothing past the path width (never cut).
std::optional<std::filesystem::path> JoinAll(std::filesystem::path folder, std::span<const std::wstring> parts);

// The base folder as the run writes through it: where the held folder resolves (a link in its
// place, or above it, cannot be re-pointed meanwhile), else as recorded.
std::filesystem::path WriteBase(const platform::FolderGuard& guard, const std::filesystem::path& base);

// The base folder joined with DataFolder (its first `data_folder_depth` folders), then with the
// item's path. Nothing when a component cannot be spelt on the file system, a joined path would
// be longer than the path width (never cut), or a data item has no data folder to go to.
std::optional<UpdateTarget> TargetOf(const PlannedItem& item, std::size_t data_folder_depth,
                                     const platform::FolderGuard& guard);

// Owns every write of the items: the replacement files, the entry unpacked and written ahead,
// and the holds of the folders written through (in the run's guard). Nothing it began runs on
// once it goes, or once it is halted for a box that waits for the player.
class EntryWriter {
 public:
  EntryWriter(platform::FolderGuard& guard, std::size_t data_folder_depth)
      : guard_(guard), data_folder_depth_(data_folder_depth) {}
  ~EntryWriter() { Halt(); }
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;

  // Writes `item` at `where`. `next`, when given, is the item after it (going to `next_where`):
  // its entry unpacks meanwhile, and is written beside its target when it is written from the
  // package whatever is there and its folders are held. False when the item's file could not
  // be written (after the write's own message, where it has one).
  bool Write(const PlannedItem& item, UpdateTarget where, const PlannedItem* next = nullptr,
             const UpdateTarget* next_where = nullptr);

  // Stops whatever runs ahead, and frees its memory.
  void Halt();

 private:
  platform::FolderGuard& guard_;
  std::size_t data_folder_depth_;
};

}  // namespace upd
