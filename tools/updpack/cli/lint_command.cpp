// updpack lint FOLDER|PACKAGE|UPDATER.exe [--setup SETUP.INI] [--inst-mode N] [--strict]
#include <ostream>
#include <system_error>

#include "commands.h"
#include "entry_name.h"
#include "host.h"
#include "lint.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kLintHelp =
    "usage: updpack lint FOLDER|PACKAGE|UPDATER.exe [--setup SETUP.INI] [--inst-mode N] [--strict]\n"
    "\n"
    "Checks an update before it ships: reads its UPDATE.INI as the updater will (with the\n"
    "updater's own readers) and holds it against the entries of the package, or against the\n"
    "files of the folder that `build` would pack. Each finding names the file and line, as\n"
    "compilers do (FILE:LINE: error: ...), the key, and says why.\n"
    "\n"
    "  --setup FILE     the installed game's SETUP.INI: its installation sets and disc check\n"
    "                   files are then checked as well\n"
    "  --inst-mode N    check for this installation mode only (default: every mode 0-9, or\n"
    "                   with --setup the modes of its installation sets, 0 to InstallSelects-1)\n"
    "  --strict         fail on warnings too, and report an entry that no UpdateFile entry\n"
    "                   writes as an error (as build --strict does)\n"
    "\n"
    "Errors: a required [SETUP] key missing or empty; an agreement entry the package lacks;\n"
    "an UpdateFile or CopyFile value the updater refuses (an item or path too long, a disc\n"
    "that is not a digit); an UpdateFile entry the package lacks (names compared as the\n"
    "updater compares them); an UpdateFile or CopyFile path or the DataFolder that leaves\n"
    "its folder (absolute, a drive, '..' above it) or names a stream, a device (CON, NUL,\n"
    "COM1, ... with any extension), a control character, or a name ending in '.' or ' ';\n"
    "no entry that applies; a SETUP.INI the updater cannot read; UPDATE.INI or SETUP.INI\n"
    "saved as UTF-8 (a byte order mark, or Japanese text in UTF-8) instead of code page 932;\n"
    "a RequiredDiskSpace with text after its number (100MB: the updater reads 100); an\n"
    "UpdateFile value whose mode is no mode (x,a.dat: the updater reads x as the path).\n"
    "Warnings: an unknown key (with the nearest known one) or section, a key in the other\n"
    "section or before any, a key given twice (the first is read), a line without '=';\n"
    "keys the updater never reads (after a gap, past the sixteenth), items after\n"
    "the third, a filter no installation mode meets, RequiredDiskSpace below what the\n"
    "update writes, a CopyFile disc without a DiskCheckFile in SETUP.INI, entries that no\n"
    "UpdateFile entry writes, and with --setup an installation set for whose mode no entry\n"
    "applies. A '%' in the game title or the agreement title is no finding: the updater\n"
    "shows both as they stand.\n"
    "\n"
    "Findings are listed in the order of the file. Exits with 1 when there is an error (with\n"
    "--strict, any finding), else 0 (warnings included).\n";

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kCmd = "lint";

struct LintArgs {
  std::optional<fs::path> target;
  std::optional<fs::path> setup;
  std::optional<std::int32_t> inst_mode;
  bool strict = false;
};

std::string ParseArgs(CommandArgs args, LintArgs& a) {
  using enum Option::Takes;
  const Option options[] = {
      {{}, "--setup", kNextText, "a file", &a.setup},
      {{}, "--inst-mode", kNextText, "a number", InstModeArg(a.inst_mode)},
      {{}, "--strict", kNothing, {}, &a.strict},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (a.target) return "one folder or package only";
    a.target = host::PathFromArg(arg);
    return {};
  });
  if (!problem.empty()) return problem;
  if (!a.target) return "no folder or package to check";
  return {};
}

std::string AsText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The files that `build` would pack. Files whose names cannot be entries are left to `build`
// to refuse; they are no entries here.
std::string FromFolder(const fs::path& dir, LintSubject& s) {
  std::vector<host::FolderItem> items;
  std::string error;
  if (!host::ListFolder(dir, items, error)) return "cannot read the folder " + host::ShowPath(dir) + ": " + error;
  std::optional<fs::path> ini;
  for (const host::FolderItem& item : items) {
    if (item.kind != host::FolderItem::Kind::kFile) continue;
    std::optional<std::string> name = host::EntryNameOf(item.name);
    if (!name || EntryNameFault(*name)) continue;
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(dir / item.name, ec);
    if (FoldEntryName(*name) == "update.ini") ini = dir / item.name;
    s.entries.push_back({std::move(*name), ec ? 0 : static_cast<std::uint64_t>(size)});
  }
  if (!ini) return host::ShowPath(dir) + " holds no UPDATE.INI";
  std::vector<std::uint8_t> bytes;
  if (!host::ReadWholeFile(*ini, bytes, error)) return "cannot read " + host::ShowPath(*ini) + ": " + error;
  s.update_ini = AsText(bytes);
  s.update_ini_name = host::ShowPath(*ini);
  return {};
}

}  // namespace

int RunLint(CommandArgs args, std::ostream& out, std::ostream& err) {
  LintArgs a;
  if (std::string problem = ParseArgs(args, a); !problem.empty()) return Fail(err, kCmd, problem, kExitUsage);
  const fs::path& target = *a.target;

  LintSubject s;
  s.setup_ini = a.setup;
  s.inst_mode = a.inst_mode;
  s.strict = a.strict;
  PackageInput in;
  std::optional<PackageView> view;
  std::error_code ec;
  if (fs::is_directory(target, ec)) {
    if (std::string problem = FromFolder(target, s); !problem.empty()) {
      return Fail(err, kCmd, problem, kExitFailed);
    }
  } else {
    in = ReadPackageInput(target);
    if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);
    if (const std::optional<Fault> fault = VerifyPackage(in.bytes, nullptr)) {
      return Fail(err, kCmd, host::ShowPath(target) + ": not a sound package (" + fault->text +
                                 "); see 'updpack verify'", kExitFailed);
    }
    view = std::move(OpenPackage(in.bytes).view);
    std::optional<std::size_t> ini;  // the view's index of UPDATE.INI
    for (std::size_t i = 0; i < view->entries.size(); ++i) {
      if (IsIntegrityRecord(*view, i)) continue;  // no file of the update
      const upd::PackageEntry& e = view->entries[i];
      if (FoldEntryName(e.Name()) == "update.ini") ini = i;
      s.entries.push_back({std::string(e.Name()), e.UnpackedSize});
    }
    if (!ini) return Fail(err, kCmd, host::ShowPath(target) + " holds no UPDATE.INI", kExitFailed);
    const EntryBytes text = ReadEntry(*view, *ini);
    if (!text.fault.empty()) {
      return Fail(err, kCmd, host::ShowPath(target) + ": UPDATE.INI cannot be unpacked", kExitFailed);
    }
    s.update_ini.assign(text.bytes.begin(), text.bytes.end());
    // The member named as archivers name one: "update.fa3(UPDATE.INI)".
    const std::optional<std::string> name = host::Cp932ToUtf8(view->entries[*ini].Name());
    s.update_ini_name = host::ShowPath(target) + "(" + name.value_or("UPDATE.INI") + ")";
  }
  s.package_name = host::ShowPath(target);

  const std::vector<Finding> findings = LintUpdate(s);
  PrintFindings(out, "", findings);
  const std::size_t errors = CountErrors(findings);
  out << host::ShowPath(target) << ": " << errors << (errors == 1 ? " error, " : " errors, ")
      << findings.size() - errors << (findings.size() - errors == 1 ? " warning" : " warnings") << "\n"
      << std::flush;
  return FailsCheck(findings, a.strict) ? kExitFailed : kExitOk;
}

}  // namespace updpack
