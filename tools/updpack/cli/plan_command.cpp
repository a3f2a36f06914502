// updpack plan FOLDER|PACKAGE|UPDATER.exe [--setup SETUP.INI] [--inst-mode N]
//                                         [--installed DIR [--data-path DIR]] [--tsv]
#include <algorithm>
#include <map>
#include <ostream>
#include <system_error>

#include "commands.h"
#include "entry_name.h"
#include "folder_entries.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"
#include "update_plan.h"

namespace updpack {

const std::string_view kPlanHelp =
    "usage: updpack plan FOLDER|PACKAGE|UPDATER.exe [--setup SETUP.INI] [--inst-mode N]\n"
    "                    [--installed DIR [--data-path DIR]] [--tsv]\n"
    "\n"
    "Shows what the update will do, read with the updater's own readers and rules: for each\n"
    "installation mode (equal lists shown once), the UpdateFile entries in the order the run\n"
    "carries them out, each with the mode (- u d o), its size and time stamp, what happens\n"
    "to it and its target, relative to the installation folder (inst) or the data folder\n"
    "(data), DataFolder included; then the disc copies, the disk space that RequiredDiskSpace\n"
    "asks for against the bytes written, the totals, and where the run would stop.\n"
    "\n"
    "What happens: written; written, kept if newer (u); written only over an existing file\n"
    "(o, or OverwriteOnly); content kept with a new time, written if missing (d); skipped\n"
    "by its filter.\n"
    "\n"
    "  --setup FILE      the installed game's SETUP.INI: its installation sets are the modes\n"
    "                    shown, its DiskCheckFile entries name the discs\n"
    "  --inst-mode N     the one installation mode to show (default: with --setup the modes of\n"
    "                    its installation sets, else every mode 0-9)\n"
    "  --installed DIR   a copy of an installed game: says per entry what the run would do to\n"
    "                    it (new, replaced, kept because newer, content kept with a new time,\n"
    "                    left alone, FAILS); its SETUP.INI is read when --setup is not given\n"
    "  --data-path DIR   with --installed: a copy of the installation's data folder (DataPath)\n"
    "  --tsv             tab-separated records for scripts, one per line, for every mode:\n"
    "                      file  MODE KEY inst|data TARGET -|u|d|o ENTRY SIZE TIME ACTION RESULT\n"
    "                      copy  MODE KEY DISC CHECKFILE PATH copy|filtered\n"
    "                      space MODE REQUIRED WRITTEN\n"
    "                      stop  MODE KEY REASON\n"
    "                    ACTION: write, write-unless-newer, overwrite-only,\n"
    "                    overwrite-only-unless-newer, keep-content, keep-content-only, filtered;\n"
    "                    RESULT: new, replaced, kept-newer, new-time, left-alone, skipped, fails,\n"
    "                    not-reached, or empty; TIME in ISO 8601, UTC\n"
    "\n"
    "Exits with 0 when the run goes through for every mode shown, 1 when it would stop for\n"
    "one (a mode that only might exist, without --setup or --inst-mode, counts only when it\n"
    "stops for another reason than getting no entry) or the input cannot be read, 2 for wrong\n"
    "usage.\n";

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kCmd = "plan";

struct PlanArgs {
  std::optional<fs::path> target;
  std::optional<fs::path> setup;
  std::optional<std::int32_t> inst_mode;
  std::optional<fs::path> installed;
  std::optional<fs::path> data;
  bool tsv = false;
};

std::string ParseArgs(CommandArgs args, PlanArgs& a) {
  using enum Option::Takes;
  const Option options[] = {
      {{}, "--setup", kName, "a file", &a.setup},
      {{}, "--installed", kName, "a folder", &a.installed},
      {{}, "--data-path", kName, "a folder", &a.data},
      {{}, "--inst-mode", kText, "a number", InstModeArg(a.inst_mode)},
      {{}, "--tsv", kNothing, {}, &a.tsv},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (a.target) return "one folder or package only";
    if (arg.empty()) return "the folder or package is named by an empty argument";
    a.target = host::PathFromArg(arg);
    return {};
  });
  if (!problem.empty()) return problem;
  if (!a.target) return "no folder or package";
  if (a.data && !a.installed) return "--data-path goes with --installed";
  return {};
}

bool IsUpdateIni(std::string_view name) { return FoldEntryName(name) == FoldEntryName("UPDATE.INI"); }

// The entries and UPDATE.INI of a folder, as `build` would pack it.
std::string FromFolder(const fs::path& dir, PlanInput& in, std::ostream& err) {
  FolderEntries listed = ReadFolderEntries(dir);
  if (!listed.error.empty()) return listed.error;
  for (const FolderRemark& r : listed.remarks) {
    if (r.refused) err << "updpack plan: warning: " << host::ShowPath(r.file) << ": " << r.text << " (build refuses it)\n";
  }
  std::optional<fs::path> ini;
  for (FolderEntry& e : listed.entries) {
    if (IsUpdateIni(e.name) && !ini) ini = e.file;
    in.entries.push_back({std::move(e.name), e.size, e.time});
  }
  if (!ini) return host::ShowPath(dir) + " holds no UPDATE.INI";
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!host::ReadWholeFile(*ini, bytes, error)) return "cannot read " + host::ShowPath(*ini) + ": " + error;
  in.update_ini.assign(bytes.begin(), bytes.end());
  return {};
}

// The entries and UPDATE.INI of a package, or of the package an updater carries.
std::string FromPackage(const fs::path& file, PlanInput& in) {
  PackageInput input = ReadPackageInput(file);
  if (!input.error.empty()) return input.error;
  if (const std::optional<Fault> fault = VerifyPackage(input.bytes, nullptr)) {
    return host::ShowPath(file) + ": not a sound package (" + fault->text + "); see 'updpack verify'";
  }
  const PackageView view = std::move(*OpenPackage(input.bytes).view);
  std::optional<std::size_t> ini;
  for (std::size_t i = 0; i < view.entries.size(); ++i) {
    if (IsIntegrityRecord(view, i)) continue;  // no file of the update
    const upd::PackageEntry& e = view.entries[i];
    if (IsUpdateIni(e.Name()) && !ini) ini = i;
    in.entries.push_back({std::string(e.Name()), e.UnpackedSize, e.TimeStamp});
  }
  if (!ini) return host::ShowPath(file) + " holds no UPDATE.INI";
  const EntryBytes text = ReadEntry(view, *ini);
  if (!text.fault.empty()) return host::ShowPath(file) + ": UPDATE.INI cannot be unpacked";
  in.update_ini.assign(text.bytes.begin(), text.bytes.end());
  return {};
}

std::string Show(std::string_view cp932) {
  if (auto utf8 = host::Cp932ToUtf8(cp932)) return *utf8;
  std::string hex = "(bytes";
  for (const char c : cp932) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    const auto b = static_cast<unsigned char>(c);
    hex += ' ';
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return hex + ")";
}

// "0", "0-9", "0, 2-9".
std::string ModeList(const std::vector<std::int32_t>& modes) {
  std::string s;
  for (std::size_t i = 0; i < modes.size();) {
    std::size_t j = i;
    while (j + 1 < modes.size() && modes[j + 1] == modes[j] + 1) ++j;
    if (!s.empty()) s += ", ";
    s += std::to_string(modes[i]);
    if (j > i) s += "-" + std::to_string(modes[j]);
    i = j + 1;
  }
  return s;
}

std::string Pad(std::string s, std::size_t width, bool right = false) {
  if (s.size() >= width) return s;
  return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

std::string WhatHappens(const PlanItem& i) {
  std::string text(ActionText(i.action));
  if (i.action == PlanAction::kFiltered) {
    text += ' ';  // not " " + a temporary: GCC 12 warns of an overlap there is not (-Wrestrict)
    text += std::to_string(i.filter);
  }
  return text;
}

bool Counts(const ModePlan& mp) { return mp.stop_key && (mp.mode_known || !mp.nothing_applies); }

void PrintGroup(std::ostream& out, const PlanInput& in, const ModePlan& mp) {
  if (!mp.mode_known && mp.modes.size() == 10) {
    out << "Every installation mode, 0-9 (no filter tells them apart):\n";
  } else {
    out << (mp.modes.size() == 1 ? "Installation mode " : "Installation modes ") << ModeList(mp.modes) << ":\n";
  }
  const bool installed = in.installed.has_value();
  const bool results = installed || std::any_of(mp.items.begin(), mp.items.end(), [](const PlanItem& i) {
                         return !OutcomeText(i.outcome).empty();
                       });
  std::size_t size_width = 4, action_width = 12, result_width = 6;
  for (const PlanItem& i : mp.items) {
    if (i.entry_index) size_width = std::max(size_width, std::to_string(in.entries[*i.entry_index].size).size());
    action_width = std::max(action_width, WhatHappens(i).size());
    result_width = std::max(result_width, OutcomeText(i.outcome).size());
  }
  if (mp.items.empty()) {
    out << "  No UpdateFile entries.\n";
  } else {
    out << "  " << Pad("Key", 14) << "M  " << Pad("Size", size_width, true) << "  " << Pad("Time (UTC)", 19) << "  "
        << Pad("What happens", action_width) << "  " << (results ? Pad(installed ? "Installation" : "Result",
                                                                            std::max<std::size_t>(result_width, 12)) + "  "
                                                                     : "")
        << "In    Target\n";
    for (const PlanItem& i : mp.items) {
      std::string size = "-", time = "-";
      std::string note;
      if (i.entry_index) {
        const PlanEntry& e = in.entries[*i.entry_index];
        size = std::to_string(e.size);
        time = FormatFileTimeShort(e.time);
        if (e.name != i.entry) note = "  (entry " + Show(e.name) + ")";
      }
      if (!i.why.empty()) {
        note += "  (" + i.why + ")";
      } else if (!i.entry_index && !i.entry.empty()) {
        note += "  (no such entry)";
      }
      out << "  " << Pad(i.key, 14) << i.mode << "  " << Pad(size, size_width, true) << "  " << Pad(time, 19) << "  "
          << Pad(WhatHappens(i), action_width)
          << "  "
          << (results ? Pad(std::string(OutcomeText(i.outcome)), std::max<std::size_t>(result_width, 12)) + "  " : "")
          << (i.data ? "data  " : "inst  ") << Show(i.target) << note << "\n";
    }
  }
  std::size_t copies = 0;
  std::int32_t last_disc = 0;  // the disc of the latest search: a copy without a disc is taken from its drive
  if (!mp.copies.empty()) {
    out << "  Disc copies, into the installation folder:\n";
    for (const PlanCopy& c : mp.copies) {
      out << "    " << Pad(c.key, 12);
      if (c.filtered) {
        out << "skipped by its filter  " << Show(c.value) << "\n";
        continue;
      }
      ++copies;
      if (c.disc == 0) {
        out << "no disc asked for: "
            << (last_disc != 0 ? "from the drive of disc " + std::to_string(last_disc)
                               : std::string("from the first CD-ROM drive with DiskCheckFile0 of SETUP.INI"));
      } else {
        last_disc = c.disc;
        out << "disc " << c.disc;
        if (!c.check_file) {
          out << " (found by DiskCheckFile" << c.disc << " of SETUP.INI)";
        } else if (c.check_file->empty()) {
          out << " (SETUP.INI has no DiskCheckFile" << c.disc << ": any disc is taken)";
        } else {
          out << " (found by " << Show(*c.check_file) << ")";
        }
      }
      out << "  " << Show(c.path) << "\n";
    }
  }

  // The disk-space test, then the totals.
  const bool at_most = !installed;
  out << "  Disk space: ";
  if (mp.required_disk_space == 0) {
    out << "no test (RequiredDiskSpace missing or 0)";
  } else {
    out << "RequiredDiskSpace asks for " << mp.required_disk_space << " bytes free";
  }
  out << "; the update writes " << (at_most ? "at most " : "") << mp.bytes_written << " bytes";
  if (mp.required_disk_space != 0 && mp.required_disk_space < mp.bytes_written) out << " (more than it asks for)";
  out << "\n";

  std::size_t filtered = 0, applied = 0;
  std::map<std::string, std::size_t> by;
  for (const PlanItem& i : mp.items) {
    if (i.action == PlanAction::kFiltered) {
      ++filtered;
      continue;
    }
    ++applied;
    if (installed) {
      ++by[std::string(OutcomeText(i.outcome))];
    }
  }
  out << "  Total: " << applied << (applied == 1 ? " entry" : " entries");
  if (installed) {
    std::string parts;
    for (const PlanOutcome o : {PlanOutcome::kNew, PlanOutcome::kReplaced, PlanOutcome::kKeptNewer,
                                PlanOutcome::kNewTime, PlanOutcome::kLeftAlone, PlanOutcome::kUnknown,
                                PlanOutcome::kFails, PlanOutcome::kNotReached}) {
      const auto it = by.find(std::string(OutcomeText(o)));
      if (it == by.end()) continue;
      parts += (parts.empty() ? "" : "; ") + std::to_string(it->second) + " " +
               (o == PlanOutcome::kUnknown ? "unknown" : std::string(OutcomeText(o)));
    }
    if (!parts.empty()) out << " (" << parts << ")";
  }
  out << ", " << filtered << " skipped by " << (filtered == 1 ? "its filter" : "their filters") << ", " << copies
      << (copies == 1 ? " disc copy" : " disc copies") << "; " << (at_most ? "at most " : "") << mp.bytes_written
      << " bytes written\n";
  if (mp.stop_key) {
    out << "  The run stops" << (mp.stop_key->empty() ? "" : " at " + *mp.stop_key) << ": " << mp.stop << "\n";
  }
}

void PrintTsv(std::ostream& out, const PlanInput& in, const ModePlan& mp) {
  for (const std::int32_t mode : mp.modes) {
    const std::string m = std::to_string(mode);
    for (const PlanItem& i : mp.items) {
      std::string entry = Show(i.entry), size, time;
      if (i.entry_index) {
        const PlanEntry& e = in.entries[*i.entry_index];
        entry = Show(e.name);
        size = std::to_string(e.size);
        time = FormatFileTime(e.time);
      }
      out << "file\t" << m << "\t" << i.key << "\t" << (i.data ? "data" : "inst") << "\t" << Show(i.target) << "\t"
          << i.mode << "\t" << entry << "\t" << size << "\t" << time << "\t" << ActionToken(i.action) << "\t"
          << OutcomeToken(i.outcome) << "\n";
    }
    for (const PlanCopy& c : mp.copies) {
      out << "copy\t" << m << "\t" << c.key << "\t" << c.disc << "\t" << (c.check_file ? Show(*c.check_file) : "")
          << "\t" << Show(c.path) << "\t" << (c.filtered ? "filtered" : "copy") << "\n";
    }
    out << "space\t" << m << "\t" << mp.required_disk_space << "\t" << mp.bytes_written << "\n";
    if (mp.stop_key) out << "stop\t" << m << "\t" << *mp.stop_key << "\t" << mp.stop << "\n";
  }
}

}  // namespace

int RunPlan(CommandArgs args, std::ostream& out, std::ostream& err) {
  PlanArgs a;
  if (std::string problem = ParseArgs(args, a); !problem.empty()) return Fail(err, kCmd, problem, kExitUsage);
  const fs::path& target = *a.target;

  PlanInput in;
  in.inst_mode = a.inst_mode;
  in.installed = a.installed;
  in.data = a.data;
  in.setup_ini = a.setup;
  std::error_code ec;
  for (const std::optional<fs::path>* folder : {&a.installed, &a.data}) {
    if (*folder && !fs::is_directory(**folder, ec)) {
      return Fail(err, kCmd, host::ShowPath(**folder) + " is not a folder", kExitFailed);
    }
  }
  std::string problem = fs::is_directory(target, ec) ? FromFolder(target, in, err) : FromPackage(target, in);
  if (!problem.empty()) return Fail(err, kCmd, problem, kExitFailed);

  // The updater reads SETUP.INI from the installation folder, and stops without it.
  bool no_setup_there = false;
  if (a.installed && !a.setup) {
    for (fs::directory_iterator it(*a.installed, ec), end; !ec && it != end; it.increment(ec)) {
      const auto name = host::EntryNameOf(it->path().filename());
      if (name && FoldEntryName(*name) == FoldEntryName("SETUP.INI")) in.setup_ini = it->path();
    }
    no_setup_there = !in.setup_ini;
  }

  const Plan plan = MakePlan(in, problem);
  if (!problem.empty()) return Fail(err, kCmd, problem, kExitFailed);

  bool stops = no_setup_there;
  if (a.tsv) {
    for (const ModePlan& mp : plan.modes) PrintTsv(out, in, mp);
    if (no_setup_there) out << "stop\t\t\t" << host::ShowPath(*a.installed) << " holds no SETUP.INI: the updater stops before its wizard\n";
  } else {
    out << host::ShowPath(target) << ": " << in.entries.size() << (in.entries.size() == 1 ? " entry" : " entries");
    if (!plan.data_folder.empty()) out << ", DataFolder " << Show(plan.data_folder);
    if (in.setup_ini) out << ", installation sets from " << host::ShowPath(*in.setup_ini);
    if (a.installed) out << ", against " << host::ShowPath(*a.installed);
    out << "\n";
    if (no_setup_there) {
      out << "Note: " << host::ShowPath(*a.installed)
          << " holds no SETUP.INI: the updater stops before its wizard; the lists below assume one.\n";
    }
    for (const ModePlan& mp : plan.modes) {
      out << "\n";
      PrintGroup(out, in, mp);
    }
  }
  for (const ModePlan& mp : plan.modes) stops = stops || Counts(mp);
  out << std::flush;
  return stops ? kExitFailed : kExitOk;
}

}  // namespace updpack
