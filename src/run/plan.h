// The update's plan: what the run will do, worked out from UPDATE.INI's bytes and an installation
// mode before anything is written. update.exe carries out this list; updpack prints and checks
// the same list, so what a publisher is shown is what a player's run does.
//
// Portable: no Windows type, no file is touched. What the run finds on disk when an item's turn
// comes is put to the same rules (DecideItem, WriteOutcome) by the run and by updpack's look at
// a copy of an installation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/state.h"
#include "config/item_path.h"
#include "config/update_section.h"

namespace upd {

// What the run's rules do with an UpdateFile entry, before any installation is looked at.
enum class ItemAction : std::uint8_t {
  kWrite,                     // written
  kWriteUnlessNewer,          // mode u: an existing file with a later time is kept
  kOverwriteOnly,             // mode o or OverwriteOnly: written only over an existing file
  kOverwriteOnlyUnlessNewer,  // both of the above
  kKeepContent,               // mode d: an existing file keeps its content and takes a new time;
                              // a missing one is written
  kKeepContentOnly,           // mode d with OverwriteOnly: an existing file takes a new time only
  kFiltered,                  // its filter excludes this installation mode: skipped
};

ItemAction ActionOf(UpdateMode mode, bool overwrite_only);
// Only a file that is there is written over (or touched); without one the item is left alone.
bool WritesOnlyOverExisting(ItemAction action);
// A file that is there keeps its content and takes the time of the run.
bool KeepsContent(ItemAction action);
// A file that is there and newer than the entry stays.
bool KeepsNewer(ItemAction action);

// What stands at an item's target when its turn comes.
enum class TargetKind : std::uint8_t { kNothing, kFile, kFolder };
struct TargetSight {
  bool folder_there = true;  // the target's folder exists (and is held by the run)
  TargetKind kind = TargetKind::kNothing;
  std::optional<std::uint64_t> time;  // of a file: its last write (FILETIME, UTC), when known
};

// The first step of an item at its turn, from its action and what stands at its target.
enum class ItemStep : std::uint8_t {
  kLeaveAlone,   // nothing to write over: skipped
  kKeepContent,  // the file there keeps its content and takes the time of the run
  kWrite,        // the entry is written (WriteOutcome says what that does)
};
ItemStep DecideItem(ItemAction action, const TargetSight& sight);

// What happens to an item, all told.
enum class ItemOutcome : std::uint8_t {
  kNew,        // written where there was no file
  kReplaced,   // written over the file there
  kKeptNewer,  // the file there is newer and stays
  kNewTime,    // the file there keeps its content and takes the time of the run
  kLeftAlone,  // nothing there to write over: skipped
  kFails,      // the write fails, and the run stops here
};
enum class ItemFailure : std::uint8_t { kNone, kFolderMissing, kNoEntry, kFolderInPlace };
struct ItemResult {
  ItemOutcome outcome;
  ItemFailure failure = ItemFailure::kNone;
};
// The write of an entry (time `entry_time`; none when the package lacks it) at `sight`.
ItemResult WriteOutcome(ItemAction action, const TargetSight& sight, std::optional<std::uint64_t> entry_time);
// Both steps: what the run does to the item.
ItemResult OutcomeOf(ItemAction action, const TargetSight& sight, std::optional<std::uint64_t> entry_time);

// One UpdateFile key as the plan reads it.
struct PlannedItem {
  std::string key;    // "UpdateFile03"
  std::string value;  // as read (code page 932)
  UpdateFileEntry parsed;  // filter, fault; the item when it applies without a fault
  ItemAction action = ItemAction::kWrite;  // kFiltered when its filter excludes the mode
  // Where it goes, known without a value fault (for a filtered entry too, parsed for its own
  // filter, to show it):
  bool placed = false;
  UpdateItem item;
  bool data = false;                // relative to the data folder (mode d), else the installation
  std::vector<std::string> folders;  // below that base: DataFolder's components, then the path's
  std::string file;                 // the last component of the path
  std::string target;               // DataFolder joined with the path, as shown (code page 932)
  ItemPathFault path_fault = ItemPathFault::kNone;
  bool names_no_file = false;       // the path resolves to no component at all

  bool Applies() const { return action != ItemAction::kFiltered; }
  // The package entry the item writes: the part of its path after the last '\'.
  std::string_view Entry() const { return item.Path.view().substr(static_cast<std::size_t>(item.NameOffset)); }
};

// One CopyFile key as the plan reads it.
struct PlannedCopy {
  std::string key;
  std::string value;
  CopyFileEntry parsed;
  bool applies = false;
  bool placed = false;             // no value fault (a filtered one parsed for its filter)
  CopyItem item;
  std::vector<std::string> parts;  // the path's components below the installation folder
  ItemPathFault path_fault = ItemPathFault::kNone;
};

// Why the run stops before it writes anything.
enum class PlanStop : std::uint8_t {
  kNone,
  kRefusedValue,    // a value that applies cannot be used whole (stop_key names it)
  kNothingApplies,  // no UpdateFile or CopyFile entry applies to the installation mode
  kRefusedPath,     // a path leaves its folder or names no file (stop_key names it; "" for
                    // DataFolder)
};

struct RunPlan {
  std::int32_t inst_mode = 0;
  bool overwrite_only = false;
  std::uint32_t required_disk_space = 0;  // 0: no test
  std::string data_folder;                // DataFolder of [SETUP] (code page 932)
  std::vector<std::string> data_folder_parts;
  ItemPathFault data_folder_fault = ItemPathFault::kNone;
  std::vector<PlannedItem> items;  // every UpdateFile key read, in key order (filtered ones too)
  std::vector<PlannedCopy> copies;  // every CopyFile key read, in key order
  // An entry that applies holds a value the run cannot use whole (whatever stop comes first).
  bool refused_value = false;
  PlanStop stop = PlanStop::kNone;
  std::string stop_key;
  ItemPathFault stop_path_fault = ItemPathFault::kNone;  // with kRefusedPath: why
  UpdateValueFault stop_value_fault = UpdateValueFault::kNone;  // with kRefusedValue: why
};

// The plan of the update in `update_ini` (UPDATE.INI's bytes) for the installation mode
// `inst_mode`.
RunPlan PlanRun(std::string_view update_ini, std::int32_t inst_mode);

// The components of a path from the update's lists, "." and ".." resolved as the file system
// resolves them: '\' and '/' separate, the second byte of a double-byte character never.
std::vector<std::string> PathComponents(std::string_view cp932_path);

}  // namespace upd
