// What an update will do: for each installation mode, the run's own plan (src/run/plan.h, the
// list update.exe carries out) told for a publisher, with SETUP.INI read by the updater's
// ReadSetupDescription and entries looked up as the updater compares names (entry_name.h): the
// UpdateFile entries with where each goes and what happens to it, the disc copies, the
// disk-space test, and where the run would stop.
//
// With a copy of an installed game, each entry is also held against it as the run would meet
// it, in order (an entry written earlier in the run is there for the ones after it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lint.h"
#include "run/plan.h"

namespace updpack {

struct PlanEntry {
  std::string name;  // code page 932, as the package holds it
  std::uint64_t size = 0;
  std::uint64_t time = 0;  // FILETIME, UTC
};

struct PlanInput {
  std::string update_ini;                           // the bytes of UPDATE.INI
  std::vector<PlanEntry> entries;                   // in package order
  std::optional<std::filesystem::path> setup_ini;   // the installation's SETUP.INI
  std::optional<std::int32_t> inst_mode;            // the one installation mode to show
  std::optional<std::filesystem::path> installed;   // a copy of the installation folder
  std::optional<std::filesystem::path> data;        // a copy of its data folder
};

// What the run's rules do with an UpdateFile entry (before any installation is looked at): the
// plan's own action (src/run/plan.h).
using PlanAction = upd::ItemAction;

// What the run does to the copy of the installation (with PlanInput::installed).
enum class PlanOutcome {
  kUnknown,     // no installation given (or no data folder for a data entry)
  kNew,         // written where there was no file
  kReplaced,    // written over the file there
  kKeptNewer,   // the file there is newer and stays
  kNewTime,     // the file there keeps its content and takes the time of the run
  kLeftAlone,   // nothing there to write over: skipped
  kSkipped,     // excluded by its filter
  kFails,       // the write fails, and the run stops here
  kNotReached,  // after the run has stopped
};

struct PlanItem {
  std::string key;      // "UpdateFile03"
  std::string value;    // the value as written (code page 932)
  std::int32_t filter = -1;
  char mode = '-';      // '-', 'u', 'd' or 'o' as given
  bool data = false;    // relative to the data folder (mode d), else the installation folder
  std::string target;   // code page 932, relative to that folder: DataFolder joined with the path
  std::string entry;    // the entry name the path asks for
  std::optional<std::size_t> entry_index;  // in PlanInput::entries; none when the package lacks it
  PlanAction action = PlanAction::kWrite;
  PlanOutcome outcome = PlanOutcome::kUnknown;
  std::string why;      // with kFails (and where a finding needs saying): one line, UTF-8
  std::uint64_t written = 0;  // bytes this entry writes (at most, without an installation)
};

struct PlanCopy {
  std::string key;    // "CopyFile00"
  std::string value;  // code page 932
  bool filtered = false;
  std::int32_t disc = 0;  // 0: no disc asked for
  std::string path;       // code page 932, below the disc's root and the installation folder
  std::optional<std::string> check_file;  // DiskCheckFile<disc> of SETUP.INI, when it was read
};

struct ModePlan {
  std::vector<std::int32_t> modes;  // the installation modes this list is for (equal lists share)
  bool mode_known = false;  // the mode was asked for, or is an installation set of SETUP.INI
  std::vector<PlanItem> items;      // every UpdateFile key read, in key order
  std::vector<PlanCopy> copies;     // every CopyFile key read, in key order
  bool overwrite_only = false;
  std::uint32_t required_disk_space = 0;  // 0: no test
  std::uint64_t bytes_written = 0;
  // Set when the run stops: the key where (empty when before anything), and why (UTF-8).
  std::optional<std::string> stop_key;
  std::string stop;
  bool stops_before_writing = false;
  bool nothing_applies = false;  // the stop is that no entry of either list applies
};

struct Plan {
  std::vector<ModePlan> modes;
  std::vector<std::string> notes;  // about the whole update (UTF-8)
  std::string data_folder;         // DataFolder of [SETUP], code page 932
};

// Reads SETUP.INI as the updater does. `problem` is empty when it was read; else why not, in one
// line (UTF-8) that starts with the file's path, with the updater's own message where it has one.
SetupIniRead ReadInstallerDescription(const std::filesystem::path& setup_ini);

// The plan of the update. `problem` is set, and nothing planned, when SETUP.INI cannot be read.
Plan MakePlan(const PlanInput& input, std::string& problem);

// Short texts for people and tokens for scripts.
std::string_view ActionText(PlanAction action);
std::string_view ActionToken(PlanAction action);
std::string_view OutcomeText(PlanOutcome outcome);
std::string_view OutcomeToken(PlanOutcome outcome);

}  // namespace updpack
