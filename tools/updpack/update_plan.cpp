#include "update_plan.h"

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <system_error>

#include "config/cp932.h"
#include "config/item_path.h"
#include "config/profile.h"
#include "config/setup_description.h"
#include "config/update_section.h"
#include "entry_name.h"
#include "host.h"
#include "lint.h"
#include "run/state.h"

namespace updpack {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kModeDigits = 10;  // a filter is one digit: modes 0-9

std::string Show(std::string_view cp932) {
  if (auto utf8 = host::Cp932ToUtf8(cp932)) return *utf8;
  return "(bytes that are not code page 932 text)";
}

std::string Quote(std::string_view cp932) { return "'" + Show(cp932) + "'"; }

std::string KeyName(std::string_view stem, std::int32_t index) {
  return std::string(stem) + (index < 10 ? "0" : "") + std::to_string(index);
}

// `folder` joined with `component` as the updater's JoinPath joins them (one '\' between).
std::string Join(std::string_view folder, std::string_view component) {
  upd::FixedString<2 * upd::kLongCapacity> joined;
  joined.assign(folder);
  if (!upd::JoinPath(std::span<char>(joined.bytes), component)) return std::string(folder) + "\\" + std::string(component);
  return std::string(joined.view());
}

// The components of a path that CheckItemPath accepts, "." and ".." resolved as the file
// system resolves them: '\' and '/' separate, the second byte of a double-byte character never.
std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = 0; i < path.size();) {
    const std::size_t n = upd::cp932::CharLength(path, i);
    if (n == 1 && (path[i] == '\\' || path[i] == '/')) {
      flush();
    } else {
      part.append(path.substr(i, n));
    }
    i += n;
  }
  flush();
  return parts;
}

char ModeLetter(upd::UpdateMode mode) {
  switch (mode) {
    case upd::UpdateMode::kNewer: return 'u';
    case upd::UpdateMode::kData: return 'd';
    case upd::UpdateMode::kOverwrite: return 'o';
    case upd::UpdateMode::kNone: break;
  }
  return '-';
}

PlanAction ActionOf(upd::UpdateMode mode, bool overwrite_only) {
  const bool only = overwrite_only || mode == upd::UpdateMode::kOverwrite;
  if (mode == upd::UpdateMode::kData) return only ? PlanAction::kKeepContentOnly : PlanAction::kKeepContent;
  if (mode == upd::UpdateMode::kNewer) return only ? PlanAction::kOverwriteOnlyUnlessNewer : PlanAction::kWriteUnlessNewer;
  return only ? PlanAction::kOverwriteOnly : PlanAction::kWrite;
}

bool OnlyOverExisting(PlanAction a) {
  return a == PlanAction::kOverwriteOnly || a == PlanAction::kOverwriteOnlyUnlessNewer ||
         a == PlanAction::kKeepContentOnly;
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
    paths_.clear();
    install_ = Installation{};  // each mode is a run of its own
    ModePlan mp;
    mp.modes = {mode};
    mp.mode_known = known;
    mp.overwrite_only = upd::ReadOverwriteOnly();
    mp.required_disk_space = upd::ReadRequiredDiskSpace();
    ReadItems(mode, mp);
    ReadCopies(mode, mp);

    // The updater's own reading of both lists decides whether the run goes on at all.
    upd::UpdateTables tables;
    if (!upd::ReadUpdateLists(mode, tables)) {
      if (!mp.stop_key) Stop(mp, "", "a value the updater refuses: it writes nothing", true);
    } else if (tables.UpdateItemCount == 0 && tables.CopyItemCount == 0) {
      Stop(mp, "",
           "no UpdateFile or CopyFile entry applies to this installation mode: the updater shows "
           "\"No 'UpdateFileXX' and 'CopyFileXX'\" and stops",
           true);
      mp.nothing_applies = true;
    }
    CheckPaths(mp);
    if (mp.stops_before_writing) {
      for (PlanItem& item : mp.items) {
        if (item.action != PlanAction::kFiltered) item.outcome = PlanOutcome::kNotReached;
      }
      return mp;
    }
    Carry(mp);
    return mp;
  }

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

  void ReadItems(std::int32_t mode, ModePlan& mp) {
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(upd::kUpdateListSlots); ++i) {
      upd::LongString value;
      bool cut = false;
      const std::string key = KeyName("UpdateFile", i);
      if (upd::ReadUpdateValue(upd::kUpdateSection, key,
                               std::span<char>(value.bytes).first(upd::kUpdateFileCapacity), cut) == 0) {
        break;
      }
      PlanItem item;
      item.key = key;
      item.value = value.view();
      upd::UpdateFileEntry e = upd::ParseUpdateFileValue(value.view(), mode, cut);
      item.filter = e.filter;
      if (!e.applies) {
        item.action = PlanAction::kFiltered;
        item.outcome = PlanOutcome::kSkipped;
        e = upd::ParseUpdateFileValue(value.view(), e.filter, cut);  // only to show where it goes
      } else if (e.fault != upd::UpdateValueFault::kNone) {
        item.why = std::string(upd::DescribeFault(e.fault));
        Stop(mp, key, "the updater refuses this value (" + item.why + "): it writes nothing", true);
      }
      if (e.fault == upd::UpdateValueFault::kNone) {
        item.mode = ModeLetter(e.item.Mode);
        item.data = e.item.Mode == upd::UpdateMode::kData;
        item.target = Join(data_folder_, e.item.Path.view());
        item.entry = e.item.Path.view().substr(static_cast<std::size_t>(e.item.NameOffset));
        item.entry_index = FindEntry(item.entry);
        if (item.action != PlanAction::kFiltered) item.action = ActionOf(e.item.Mode, mp.overwrite_only);
        if (item.entry_index) item.written = in_.entries[*item.entry_index].size;
        paths_.push_back(std::string(e.item.Path.view()));
      } else {
        paths_.push_back({});
      }
      mp.items.push_back(std::move(item));
    }
  }

  void ReadCopies(std::int32_t mode, ModePlan& mp) {
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(upd::kUpdateListSlots); ++i) {
      upd::NameString value;
      bool cut = false;
      const std::string key = KeyName("CopyFile", i);
      if (upd::ReadUpdateValue(upd::kUpdateSection, key,
                               std::span<char>(value.bytes).first(upd::kCopyFileCapacity), cut) == 0) {
        break;
      }
      PlanCopy copy;
      copy.key = key;
      copy.value = value.view();
      upd::CopyFileEntry e = upd::ParseCopyFileValue(value.view(), mode, cut);
      if (!e.applies) {
        copy.filtered = true;
        e = upd::ParseCopyFileValue(value.view(), static_cast<unsigned char>(e.filter) - '0', cut);
      } else if (e.fault != upd::UpdateValueFault::kNone) {
        Stop(mp, key, "the updater refuses this value (" + std::string(upd::DescribeFault(e.fault)) +
                          "): it writes nothing", true);
      }
      if (e.fault == upd::UpdateValueFault::kNone) {
        copy.disc = e.item.Disc;
        copy.path = e.item.Path.view();
        if (setup_read_ && copy.disc >= 0 && copy.disc < static_cast<std::int32_t>(upd::kDiskCheckFiles)) {
          copy.check_file = disc_checks[static_cast<std::size_t>(copy.disc)].value_or("");
        }
        if (!copy.filtered) {
          if (const auto fault = upd::CheckItemPath(copy.path); fault != upd::ItemPathFault::kNone) {
            Stop(mp, key, "the path " + Quote(copy.path) + " " + std::string(upd::DescribeItemPathFault(fault)) +
                              ": the updater refuses the update before it writes anything", true);
          }
        }
      }
      mp.copies.push_back(std::move(copy));
    }
  }

 public:
  void SetSetupRead() { setup_read_ = true; }

 private:
  // What the run checks of every path before it writes anything.
  void CheckPaths(ModePlan& mp) {
    const bool any_item = std::any_of(mp.items.begin(), mp.items.end(),
                                      [](const PlanItem& i) { return i.action != PlanAction::kFiltered; });
    if (!any_item) return;
    if (const auto fault = upd::CheckItemPath(data_folder_); fault != upd::ItemPathFault::kNone) {
      Stop(mp, "", "the data folder " + Quote(data_folder_) + " " + std::string(upd::DescribeItemPathFault(fault)) +
                       ": the updater refuses the update before it writes anything", true);
    }
    for (std::size_t k = 0; k < mp.items.size(); ++k) {
      const PlanItem& item = mp.items[k];
      if (item.action == PlanAction::kFiltered || !item.why.empty()) continue;
      const std::string& path = paths_[k];
      if (const auto fault = upd::CheckItemPath(path); fault != upd::ItemPathFault::kNone) {
        Stop(mp, item.key, "the path " + Quote(path) + " " + std::string(upd::DescribeItemPathFault(fault)) +
                               ": the updater refuses the update before it writes anything", true);
      } else if (Components(path).empty()) {
        Stop(mp, item.key, "the path " + Quote(path) + " names no file: the updater refuses the update before it "
                           "writes anything", true);
      }
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
        if (OnlyOverExisting(item.action)) item.why += " (when there is a file to write over)";
        if (item.action == PlanAction::kKeepContent) item.why += " (when there is no file to keep)";
      }
      if (item.outcome == PlanOutcome::kFails) {
        item.written = 0;
        Stop(mp, item.key, item.why + ": the updater stops here; the entries before it stay written", false);
        // Without an installation an entry written only in some cases may yet be passed.
        stopped = have_install || !(OnlyOverExisting(item.action) || item.action == PlanAction::kKeepContent);
        continue;
      }
      if (item.outcome == PlanOutcome::kKeptNewer || item.outcome == PlanOutcome::kNewTime ||
          item.outcome == PlanOutcome::kLeftAlone) {
        item.written = 0;
      }
      mp.bytes_written += item.written;
    }
  }

  // One item against the copy of the installation, as WriteItem and ExtractPackageEntry meet it.
  void Against(PlanItem& item) {
    const int root = item.data ? 1 : 0;
    const std::optional<fs::path>& base = item.data ? in_.data : in_.installed;
    if (!base) {
      item.outcome = PlanOutcome::kUnknown;
      item.why = "no copy of the data folder given (--data-path)";
      return;
    }
    // The run makes the data folder's last level when it is missing, nothing else.
    const std::vector<std::string> folder = Components(data_folder_);
    if (!folder.empty()) {
      const Installation::Found parent =
          install_.Look(root, *base, std::vector<std::string>(folder.begin(), folder.end() - 1));
      const Installation::Found last = install_.Look(root, *base, folder);
      if (!last.exists && (folder.size() == 1 || parent.folder)) install_.Made(root, folder, {true, true, {}});
    }
    const std::vector<std::string> parts = Components(item.target);
    const std::vector<std::string> above(parts.begin(), parts.end() - 1);
    const bool folder_there = above.empty() || install_.Look(root, *base, above).folder;
    const Installation::Found target = install_.Look(root, *base, parts);
    const bool file_there = folder_there && target.exists && !target.folder;

    if (OnlyOverExisting(item.action) && !file_there) {
      item.outcome = PlanOutcome::kLeftAlone;
      return;
    }
    if (!folder_there) {
      item.outcome = PlanOutcome::kFails;
      std::string shown;
      for (const std::string& p : above) shown += (shown.empty() ? "" : "\\") + p;
      item.why = "the folder " + Quote(shown) + " is not there, and the run makes only the data folder's last level";
      return;
    }
    if ((item.action == PlanAction::kKeepContent || item.action == PlanAction::kKeepContentOnly) && file_there) {
      item.outcome = PlanOutcome::kNewTime;
      install_.Made(root, parts, {true, false, UINT64_MAX});  // the time of the run: later than any entry
      return;
    }
    if (!item.entry_index) {
      item.outcome = PlanOutcome::kFails;
      item.why = "the package holds no entry " + Quote(item.entry);
      return;
    }
    if (target.folder) {
      item.outcome = PlanOutcome::kFails;
      item.why = "a folder stands in the place of " + Quote(item.target);
      return;
    }
    const PlanEntry& entry = in_.entries[*item.entry_index];
    const bool keep_newer =
        item.action == PlanAction::kWriteUnlessNewer || item.action == PlanAction::kOverwriteOnlyUnlessNewer;
    if (keep_newer && file_there && target.time && *target.time > entry.time) {
      item.outcome = PlanOutcome::kKeptNewer;
      return;
    }
    item.outcome = file_there ? PlanOutcome::kReplaced : PlanOutcome::kNew;
    install_.Made(root, parts, {true, false, entry.time});
  }

  const PlanInput& in_;
  std::string data_folder_;
  bool setup_read_ = false;
  std::vector<std::string> paths_;  // each item's path as written, by index of ModePlan::items
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

std::string ReadInstallerDescription(const fs::path& setup_ini) {
  upd::ResetRun();
  upd::Run().SetupIniPath = setup_ini;
  upd::Run().SilentMissingKeys = 1;  // as in the updater's run
  std::error_code ec;
  if (fs::is_regular_file(setup_ini, ec) && upd::ReadSetupDescription()) return {};
  // lint reads it again with the missing keys reported, for the updater's own message.
  LintSubject s;
  s.setup_ini = setup_ini;
  for (const Finding& f : LintUpdate(s)) {
    if (f.key == "SETUP.INI") return host::ShowPath(setup_ini) + ": " + f.reason;
  }
  return host::ShowPath(setup_ini) + ": cannot be read as the installer's description";
}

Plan MakePlan(const PlanInput& in, std::string& problem) {
  Plan plan;
  std::optional<std::int32_t> install_selects;
  std::array<std::optional<std::string>, upd::kDiskCheckFiles> disc_checks;
  if (in.setup_ini) {
    problem = ReadInstallerDescription(*in.setup_ini);
    if (!problem.empty()) return plan;
    const upd::SetupDescription& d = upd::Run().Setup;
    if (d.InstallSelects > 0) install_selects = std::min(d.InstallSelects, kModeDigits);
    for (std::size_t i = 0; i < disc_checks.size(); ++i) disc_checks[i] = std::string(d.DiskCheckFile[i].view());
  } else {
    upd::ResetRun();
  }
  upd::Run().UpdateIniText = in.update_ini;
  upd::Run().SilentMissingKeys = 1;
  upd::NameString data_folder;
  upd::ReadUpdateValue("SETUP", "DataFolder", data_folder);
  plan.data_folder = data_folder.view();

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
