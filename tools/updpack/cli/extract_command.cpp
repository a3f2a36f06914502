// updpack extract FILE [-C DIR] [-k] [-v] [NAME...]
#include <algorithm>
#include <map>
#include <ostream>

#include "commands.h"
#include "entry_name.h"
#include "host.h"
#include "name_spelling.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kExtractHelp =
    "usage: updpack extract FILE [-C DIR] [-k] [-v] [NAME...]\n"
    "\n"
    "Writes the entries of the package FILE as files into the folder DIR (made when missing;\n"
    "the current folder without -C), each with its time stamp as last-write time. Existing\n"
    "files are replaced, unless -k is given. With NAMEs, only those entries, found as the\n"
    "updater finds them: regardless of letter case, as Windows compares names.\n"
    "\n"
    "  -C, --directory DIR  the folder to write into\n"
    "  -k, --keep           leave files that already exist alone (each is named)\n"
    "  -v, --verbose        name each file as it is written\n"
    "\n"
    "An entry whose name is not a bare file name (a folder or drive part, \"..\"), or whose\n"
    "data is damaged, is refused and reported: nothing is ever written outside DIR. The exit\n"
    "code is then 1, after the other entries are written. A fault of DIR itself (no file can\n"
    "be made there, the disk is full) stops the extraction at the first file.\n";

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kCmd = "extract";

struct ExtractArgs {
  std::optional<std::string> file;
  fs::path dir = ".";
  std::vector<std::string> names;
  bool keep = false;
  bool verbose = false;
};

std::string ParseArgs(CommandArgs args, ExtractArgs& a) {
  using enum Option::Takes;
  const Option options[] = {
      {"-C", "--directory", kName, "a folder", &a.dir},
      {"-k", "--keep", kNothing, {}, &a.keep},
      {"-v", "--verbose", kNothing, {}, &a.verbose},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (a.file) {
      a.names.push_back(arg);
    } else if (arg.empty()) {
      return "the package is named by an empty argument";
    } else {
      a.file = arg;
    }
    return {};
  });
  if (!problem.empty()) return problem;
  if (!a.file) return "no package";
  return {};
}

// A single plain component: what the entry name check already ensures, asked again of the
// path the system will be given.
bool IsPlainFileName(const fs::path& p) {
  return !p.empty() && !p.has_root_path() && !p.has_parent_path() && p == p.filename() &&
         p != "." && p != "..";
}

}  // namespace

int RunExtract(CommandArgs args, std::ostream& out, std::ostream& err) {
  ExtractArgs a;
  if (std::string problem = ParseArgs(args, a); !problem.empty()) {
    return Fail(err, kCmd, problem, kExitUsage);
  }
  const fs::path path = host::PathFromArg(*a.file);
  const PackageInput in = ReadPackageInput(path);
  if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);
  const OpenResult opened = OpenPackage(in.bytes);
  if (!opened.view) return Fail(err, kCmd, host::ShowPath(path) + ": " + opened.fault.text, kExitFailed);
  const PackageView& v = *opened.view;

  // The first entry of each name, as the updater's lookup would find it.
  std::map<std::string, std::size_t> first;
  // The integrity record is no file of the update: never written, never found by name.
  for (std::size_t i = 0; i < v.entries.size(); ++i) {
    if (v.name_terminated[i] && !IsIntegrityRecord(v, i)) {
      first.emplace(FoldEntryName(v.entries[i].Name()), i);
    }
  }

  std::vector<std::size_t> chosen;
  if (a.names.empty()) {
    for (std::size_t i = 0; i < v.entries.size(); ++i) {
      if (!IsIntegrityRecord(v, i)) chosen.push_back(i);
    }
  } else {
    bool missing = false;
    for (const std::string& name : a.names) {
      // Spelt as build stores it: 〜.txt finds the entry ～.txt.
      const NameSpelling spelled = SpellForCodePage932(name);
      const auto cp932 = spelled.refusal ? std::nullopt : host::Utf8ToCp932(spelled.utf8);
      if (!cp932) {
        err << "updpack extract: " << name << ": code page 932 cannot spell this name\n";
        missing = true;
        continue;
      }
      const auto it = first.find(FoldEntryName(*cp932));
      if (it == first.end()) {
        err << "updpack extract: " << host::ShowPath(path) << ": no entry named " << name << "\n";
        missing = true;
      } else if (std::find(chosen.begin(), chosen.end(), it->second) == chosen.end()) {
        chosen.push_back(it->second);
      }
    }
    if (missing) return Fail(err, kCmd, "nothing written", kExitFailed);
  }

  std::string error;
  if (!host::MakeFolders(a.dir, error)) {
    return Fail(err, kCmd, "cannot make the folder " + host::ShowPath(a.dir) + ": " + error,
                kExitFailed);
  }
  int code = kExitOk;
  std::uint64_t total = 0;
  for (const std::size_t i : chosen) total += v.entries[i].UnpackedSize;
  std::uint64_t done = 0;
  ProgressLine progress(err, total, !a.verbose);
  EntryPieces pieces([&](std::span<const std::uint8_t> range) { in.Release(range); });
  for (std::size_t k = 0; k < chosen.size(); ++k) {
    const std::size_t i = chosen[k];
    const upd::PackageEntry& e = v.entries[i];
    progress.Show(k, chosen.size(), v.name_terminated[i] ? ShowEntry(e.Name(), i) : "", done);
    done += e.UnpackedSize;
    auto refuse = [&](const std::string& why) {
      progress.Clear();
      err << "updpack extract: " << host::ShowPath(path) << ": entry " << i;
      if (v.name_terminated[i]) err << " (" << ShowEntry(e.Name(), i) << ")";
      err << ": " << why << "; not written\n";
      code = kExitFailed;
    };
    if (auto fault = EntryFault(v, i)) {
      refuse(*fault);
      continue;
    }
    if (first.at(FoldEntryName(e.Name())) != i) {
      refuse("the updater cannot tell its name from an earlier entry's, and finds that one");
      continue;
    }
    const auto file_name = host::FileNameOf(e.Name());
    if (!file_name) {
      refuse("its name is not code page 932 text");
      continue;
    }
    if (!IsPlainFileName(*file_name)) {
      refuse("its name is not a bare file name");
      continue;
    }
    const fs::path target = a.dir / *file_name;
    std::error_code exists_error;
    if (a.keep && fs::exists(fs::symlink_status(target, exists_error))) {
      progress.Clear();
      err << "updpack extract: " << host::ShowPath(target) << " exists; kept (-k)\n";
      continue;
    }
    // Unpacked piece by piece into the new file. A write that fails stops the writing, not
    // the decode: a damaged entry is reported as such whatever else went wrong.
    host::FileWriter file;
    bool written = file.Create(target);
    const std::optional<std::string> fault =
        pieces.Read(v, i, [&](std::span<const std::uint8_t> piece) {
          written = written && file.Write(piece);
        });
    if (fault) {
      refuse(*fault);
      continue;
    }
    if (!written || !file.Commit(e.TimeStamp)) {
      progress.Clear();
      err << "updpack extract: cannot write " << host::ShowPath(target) << ": " << file.Error()
          << "\n";
      code = kExitFailed;
      if (file.FolderFault()) {
        // Every other file would fail the same way: one message, not one per entry.
        const std::size_t left = chosen.size() - k - 1;
        if (left > 0) {
          err << "updpack extract: stopped: " << left << (left == 1 ? " entry" : " entries")
              << " not written, as nothing can be written into " << host::ShowPath(a.dir) << "\n";
        }
        break;
      }
      continue;
    }
    if (a.verbose) out << host::ShowPath(target) << "\n";
  }
  progress.Clear();
  err.flush();
  return code;
}

}  // namespace updpack
