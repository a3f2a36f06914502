#include "update_plan.h"

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <system_error>

#include "base/state.h"
#include "config/cp932.h"
#include "config/profile.h"
#include "config/setup_description.h"
#include "config/update_section.h"
#include "entry_name.h"
#include "host.h"
#include "lint.h"
#include "run/plan.h"

namespace updpack {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kModeDigits = 10;  // a filter is one digit: modes 0-9

std::string Show(std::string_view cp932) {
  if (auto utf8 = host::Cp932ToUtf8(cp932)) return *utf8;
  return "(bytes that are not code page 932 text)";
}

std::string Quote(std::string_view cp932) { return "'" + Show(cp932) + "'"; }

char ModeLetter(upd::UpdateMode mode) {
  switch (mode) {
    case upd::UpdateMode::kNewer: return 'u';
    case upd::UpdateMode::kData: return 'd';
    case upd::UpdateMode::kOverwrite: return 'o';
    case upd::UpdateMode::kNone: break;
  }
  return '-';
}

// The copy of an installation, as the run meets it: what is on disk, and what the run has
// written or made so far. Names are found as Windows finds them, regardless of case.
class Installation {
 public:
  struct Found {
    bool exists = false;
    bool folder = false;
    std::optional<std::uint64_t> time;  // of a file
  };

  // What stands at `parts` below `root` (0: the installation folder, 1: the data folder).
  Found Look(int root, const fs::path& base, const std::vector<std::string>& parts) {
    const std::string key = Key(root, parts);
    if (const auto it = made_.find(key); it != made_.end()) return it->second;
    Found f;
    fs::path at = base;
    for (const std::string& part : parts) {
      auto next = Child(at, part);
      if (!next) return f;
      at = std::move(*next);
    }
    std::error_code ec;
    const fs::file_status st = fs::status(at, ec);
    if (ec || !fs::exists(st)) return f;
    f.exists = true;
    f.folder = fs::is_directory(st);
    std::uint64_t time = 0;
    std::string error;
    if (!f.folder && host::LastWriteTime(at, time, error)) f.time = time;
    return f;
  }

  void Made(int root, const std::vector<std::string>& parts, Found what) { made_[Key(root, parts)] = what; }

 private:
  static std::string Key(int root, const std::vector<std::string>& parts) {
    std::string key = std::to_string(root);
    for (const std::string& p : parts) {
      key += '\\';  // not "\\" + a temporary: GCC 12 warns of an overlap there is not
      key += FoldEntryName(p);
    }
    return key;
  }

  // The item of `folder` named `name` (code page 932): the name as it is, else the first whose
  // name the updater cannot tell from it.
  static std::optional<fs::path> Child(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    if (const auto file = host::FileNameOf(name)) {
      if (fs::exists(fs::symlink_status(folder / *file, ec))) return folder / *file;
    }
    const std::string fold = FoldEntryName(name);
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const auto entry_name = host::EntryNameOf(it->path().filename());
      if (entry_name && FoldEntryName(*entry_name) == fold) return it->path();
    }
    return std::nullopt;
  }

  std::map<std::string, Found> made_;
};

class Planner {
 public:
  Planner(const PlanInput& in, std::string data_folder) : in_(in), data_folder_(std::move(data_folder)) {}

  std::array<std::optional<std::string>, upd::kDiskCheckFiles> disc_checks;

  ModePlan PlanMode(std::int32_t mode, bool known) {
    install_ = Installation{};  // each mode is a run of its own
    const upd::RunPlan run = upd::PlanRun(in_.update_ini, mode);
    ModePlan mp;
    mp.modes = {mode};
    mp.mode_known = known;
    mp.overwrite_only = run.overwrite_only;
    mp.required_disk_space = run.required_disk_space;
    for (const upd::PlannedItem& planned : run.items) mp.items.push_back(ItemOf(planned));
    for (const upd::PlannedCopy& planned : run.copies) mp.copies.push_back(CopyOf(planned));
    StopOf(run, mp);
    if (mp.stops_before_writing) {
      for (PlanItem& item : mp.items) {
        if (item.action != PlanAction::kFiltered) item.outcome = PlanOutcome::kNotReached;
      }
      return mp;
    }
    Carry(mp);
    return mp;
  }

  void SetSetupRead() { setup_read_ = true; }

 private:
  static void Stop(ModePlan& mp, std::string key, std::string why, bool before_writing) {
    if (mp.stop_key) return;  // the first stop is the one the run meets
    mp.stop_key = std::move(key);
    mp.stop = std::move(why);
    mp.stops_before_writing = before_writing;
  }

  std::optional<std::size_t> FindEntry(std::string_view name) const {
    const std::string fold = FoldEntryName(name);
    for (std::size_t i = 0; i < in_.entries.size(); ++i) {
      if (FoldEntryName(in_.entries[i].name) == fold) return i;
    }
    return std::nullopt;
  }

  PlanItem ItemOf(const upd::PlannedItem& planned) const {
    PlanItem item;
    item.key = planned.key;
    item.value = planned.value;
    item.filter = planned.parsed.filter;
    item.action = planned.action;
    if (!planned.Applies()) {
      item.outcome = PlanOutcome::kSkipped;
    } else if (planned.parsed.fault != upd::UpdateValueFault::kNone) {
      item.why = std::string(upd::DescribeFault(planned.parsed.fault));
    }
    if (planned.placed) {
      item.mode = ModeLetter(planned.item.Mode);
      item.data = planned.data;
      item.target = planned.target;
      item.entry = planned.Entry();
      item.entry_index = FindEntry(item.entry);
      if (item.entry_index) item.written = in_.entries[*item.entry_index].size;
    }
    return item;
  }

  PlanCopy CopyOf(const upd::PlannedCopy& planned) const {
    PlanCopy copy;
    copy.key = planned.key;
    copy.value = planned.value;
    copy.filtered = !planned.applies;
    if (planned.placed) {
      copy.disc = planned.item.Disc;
      copy.path = planned.item.Path.view();
      if (setup_read_ && copy.disc >= 0 && copy.disc < static_cast<std::int32_t>(upd::kDiskCheckFiles)) {
        copy.check_file = disc_checks[static_cast<std::size_t>(copy.disc)].value_or("");
      }
    }
    return copy;
  }

  // Where the plan says the run stops before writing anything, said for a publisher.
  static void StopOf(const upd::RunPlan& run, ModePlan& mp) {
    constexpr std::string_view kRefused = ": the updater refuses the update before it writes anything";
    switch (run.stop) {
      case upd::PlanStop::kNone:
        return;
      case upd::PlanStop::kRefusedValue:
        Stop(mp, run.stop_key,
             "the updater refuses this value (" + std::string(upd::DescribeFault(run.stop_value_fault)) +
                 "): it writes nothing",
             true);
        return;
      case upd::PlanStop::kNothingApplies:
        Stop(mp, "",
             "no UpdateFile or CopyFile entry applies to this installation mode: the updater shows "
             "\"No 'UpdateFileXX' and 'CopyFileXX'\" and stops",
             true);
        mp.nothing_applies = true;
        return;
      case upd::PlanStop::kRefusedPath:
        break;
    }
    if (run.stop_key.empty()) {
      Stop(mp, "", "the data folder " + Quote(run.data_folder) + " " +
                       std::string(upd::DescribeItemPathFault(run.stop_path_fault)) + std::string(kRefused), true);
      return;
    }
    std::string path;
    for (const upd::PlannedItem& i : run.items) {
      if (i.key == run.stop_key) path = i.item.Path.view();
    }
    for (const upd::PlannedCopy& c : run.copies) {
      if (c.key == run.stop_key) path = c.item.Path.view();
    }
    if (run.stop_path_fault == upd::ItemPathFault::kNone) {
      Stop(mp, run.stop_key, "the path " + Quote(path) + " names no file" + std::string(kRefused), true);
    } else {
      Stop(mp, run.stop_key, "the path " + Quote(path) + " " +
                                 std::string(upd::DescribeItemPathFault(run.stop_path_fault)) + std::string(kRefused),
           true);
    }
  }

  // The items in the run's order, against the installation when there is one.
  void Carry(ModePlan& mp) {
    const bool have_install = in_.installed.has_value();
    bool stopped = false;
    for (PlanItem& item : mp.items) {
      if (item.action == PlanAction::kFiltered) continue;
      if (stopped) {
        item.outcome = PlanOutcome::kNotReached;
        item.written = 0;
        continue;
      }
      if (have_install) {
        Against(item);
      } else if (!item.entry_index) {
        item.outcome = PlanOutcome::kFails;
        item.why = "the package holds no entry " + Quote(item.entry);
        if (upd::WritesOnlyOverExisting(item.action)) item.why += " (when there is a file to write over)";
        if (item.action == PlanAction::kKeepContent) item.why += " (when there is no file to keep)";
      }
      if (item.outcome == PlanOutcome::kFails) {
        item.written = 0;
        Stop(mp, item.key, item.why + ": the updater stops here; the entries before it stay written", false);
        // Without an installation an entry written only in some cases may yet be passed.
        stopped = have_install ||
                  !(upd::WritesOnlyOverExisting(item.action) || item.action == PlanAction::kKeepContent);
        continue;
      }
      if (item.outcome == PlanOutcome::kKeptNewer || item.outcome == PlanOutcome::kNewTime ||
          item.outcome == PlanOutcome::kLeftAlone) {
        item.written = 0;
      }
      mp.bytes_written += item.written;
    }
  }

  // One item against the copy of the installation, by the run's own rules.
  void Against(PlanItem& item) {
    const int root = item.data ? 1 : 0;
    const std::optional<fs::path>& base = item.data ? in_.data : in_.installed;
    if (!base) {
      item.outcome = PlanOutcome::kUnknown;
      item.why = "no copy of the data folder given (--data-path)";
      return;
    }
    // The run makes the data folder's last level when it is missing, nothing else.
    const std::vector<std::string> folder = upd::PathComponents(data_folder_);
    if (!folder.empty()) {
      const Installation::Found parent =
          install_.Look(root, *base, std::vector<std::string>(folder.begin(), folder.end() - 1));
      const Installation::Found last = install_.Look(root, *base, folder);
      if (!last.exists && (folder.size() == 1 || parent.folder)) install_.Made(root, folder, {true, true, {}});
    }
    const std::vector<std::string> parts = upd::PathComponents(item.target);
    const std::vector<std::string> above(parts.begin(), parts.end() - 1);
    const Installation::Found target = install_.Look(root, *base, parts);
    upd::TargetSight sight;
    sight.folder_there = above.empty() || install_.Look(root, *base, above).folder;
    if (target.exists) sight.kind = target.folder ? upd::TargetKind::kFolder : upd::TargetKind::kFile;
    sight.time = target.time;
    std::optional<std::uint64_t> entry_time;
    if (item.entry_index) entry_time = in_.entries[*item.entry_index].time;

    const upd::ItemResult result = upd::OutcomeOf(item.action, sight, entry_time);
    switch (result.outcome) {
      case upd::ItemOutcome::kLeftAlone:
        item.outcome = PlanOutcome::kLeftAlone;
        return;
      case upd::ItemOutcome::kNewTime:
        item.outcome = PlanOutcome::kNewTime;
        install_.Made(root, parts, {true, false, UINT64_MAX});  // the time of the run: later than any entry
        return;
      case upd::ItemOutcome::kKeptNewer:
        item.outcome = PlanOutcome::kKeptNewer;
        return;
      case upd::ItemOutcome::kNew:
      case upd::ItemOutcome::kReplaced:
        item.outcome = result.outcome == upd::ItemOutcome::kNew ? PlanOutcome::kNew : PlanOutcome::kReplaced;
        install_.Made(root, parts, {true, false, entry_time});
        return;
      case upd::ItemOutcome::kFails:
        break;
    }
    item.outcome = PlanOutcome::kFails;
    switch (result.failure) {
      case upd::ItemFailure::kFolderMissing: {
        std::string shown;
        for (const std::string& p : above) shown += (shown.empty() ? "" : "\\") + p;
        item.why =
            "the folder " + Quote(shown) + " is not there, and the run makes only the data folder's last level";
        return;
      }
      case upd::ItemFailure::kNoEntry:
        item.why = "the package holds no entry " + Quote(item.entry);
        return;
      case upd::ItemFailure::kFolderInPlace:
      case upd::ItemFailure::kNone:
        item.why = "a folder stands in the place of " + Quote(item.target);
        return;
    }
  }

  const PlanInput& in_;
  std::string data_folder_;
  bool setup_read_ = false;
  Installation install_;
};

// Everything a mode's list shows but the mode itself: equal lists are shown once.
std::string Signature(const ModePlan& mp) {
  std::string s;
  for (const PlanItem& i : mp.items) {
    s += i.key + '\x1f' + std::to_string(static_cast<int>(i.action)) + '\x1f' +
         std::to_string(static_cast<int>(i.outcome)) + '\x1f' + i.why + '\x1f' + std::to_string(i.written) + '\x1e';
  }
  for (const PlanCopy& c : mp.copies) s += c.key + '\x1f' + (c.filtered ? "f" : "c") + '\x1e';
  s += mp.stop_key.value_or("\x1d") + '\x1f' + mp.stop + '\x1f' + std::to_string(mp.bytes_written);
  return s;
}

}  // namespace

SetupIniRead ReadInstallerDescription(const fs::path& setup_ini) {
  SetupIniRead read = ReadSetupIni(setup_ini);
  if (!read.problem.empty()) read.problem = host::ShowPath(setup_ini) + ": " + read.problem;
  return read;
}

Plan MakePlan(const PlanInput& in, std::string& problem) {
  Plan plan;
  std::optional<std::int32_t> install_selects;
  std::array<std::optional<std::string>, upd::kDiskCheckFiles> disc_checks;
  if (in.setup_ini) {
    const SetupIniRead read = ReadInstallerDescription(*in.setup_ini);
    problem = read.problem;
    if (!problem.empty()) return plan;
    const upd::SetupDescription& d = read.description.setup;
    if (d.InstallSelects > 0) install_selects = std::min(d.InstallSelects, kModeDigits);
    for (std::size_t i = 0; i < disc_checks.size(); ++i) disc_checks[i] = std::string(d.DiskCheckFile[i].view());
  }
  plan.data_folder = upd::PlanRun(in.update_ini, 0).data_folder;

  Planner planner(in, plan.data_folder);
  planner.disc_checks = disc_checks;
  if (in.setup_ini) planner.SetSetupRead();

  std::vector<std::int32_t> modes;
  bool known = true;
  if (in.inst_mode) {
    modes = {*in.inst_mode};
  } else if (install_selects) {
    for (std::int32_t m = 0; m < *install_selects; ++m) modes.push_back(m);
  } else {
    known = false;
    for (std::int32_t m = 0; m < kModeDigits; ++m) modes.push_back(m);
  }
  std::vector<std::string> signatures;
  for (const std::int32_t mode : modes) {
    ModePlan mp = planner.PlanMode(mode, known);
    const std::string sig = Signature(mp);
    const auto same = std::find(signatures.begin(), signatures.end(), sig);
    if (same != signatures.end()) {
      plan.modes[static_cast<std::size_t>(same - signatures.begin())].modes.push_back(mode);
      continue;
    }
    signatures.push_back(sig);
    plan.modes.push_back(std::move(mp));
  }
  return plan;
}

std::string_view ActionText(PlanAction action) {
  switch (action) {
    case PlanAction::kWrite: return "written";
    case PlanAction::kWriteUnlessNewer: return "written, kept if newer";
    case PlanAction::kOverwriteOnly: return "written only over an existing file";
    case PlanAction::kOverwriteOnlyUnlessNewer: return "written only over an older existing file";
    case PlanAction::kKeepContent: return "content kept, new time (written if missing)";
    case PlanAction::kKeepContentOnly: return "content kept, new time (only if there)";
    case PlanAction::kFiltered: return "skipped by its filter";
  }
  return "?";
}

std::string_view ActionToken(PlanAction action) {
  switch (action) {
    case PlanAction::kWrite: return "write";
    case PlanAction::kWriteUnlessNewer: return "write-unless-newer";
    case PlanAction::kOverwriteOnly: return "overwrite-only";
    case PlanAction::kOverwriteOnlyUnlessNewer: return "overwrite-only-unless-newer";
    case PlanAction::kKeepContent: return "keep-content";
    case PlanAction::kKeepContentOnly: return "keep-content-only";
    case PlanAction::kFiltered: return "filtered";
  }
  return "?";
}

std::string_view OutcomeText(PlanOutcome outcome) {
  switch (outcome) {
    case PlanOutcome::kUnknown: return "";
    case PlanOutcome::kNew: return "new";
    case PlanOutcome::kReplaced: return "replaced";
    case PlanOutcome::kKeptNewer: return "kept because newer";
    case PlanOutcome::kNewTime: return "content kept, new time";
    case PlanOutcome::kLeftAlone: return "left alone";
    case PlanOutcome::kSkipped: return "";
    case PlanOutcome::kFails: return "FAILS";
    case PlanOutcome::kNotReached: return "not reached";
  }
  return "?";
}

std::string_view OutcomeToken(PlanOutcome outcome) {
  switch (outcome) {
    case PlanOutcome::kUnknown: return "";
    case PlanOutcome::kNew: return "new";
    case PlanOutcome::kReplaced: return "replaced";
    case PlanOutcome::kKeptNewer: return "kept-newer";
    case PlanOutcome::kNewTime: return "new-time";
    case PlanOutcome::kLeftAlone: return "left-alone";
    case PlanOutcome::kSkipped: return "skipped";
    case PlanOutcome::kFails: return "fails";
    case PlanOutcome::kNotReached: return "not-reached";
  }
  return "?";
}

}  // namespace updpack
