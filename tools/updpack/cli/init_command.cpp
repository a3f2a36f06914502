// updpack init FOLDER [--setup SETUP.INI] [--updater-version TEXT] [--force]
#include <algorithm>
#include <array>
#include <map>
#include <ostream>
#include <span>
#include <system_error>

#include "base/state.h"
#include "commands.h"
#include "config/item_path.h"
#include "config/profile.h"
#include "config/update_section.h"
#include "entry_name.h"
#include "folder_entries.h"
#include "host.h"
#include "update_plan.h"

namespace updpack {

const std::string_view kInitHelp =
    "usage: updpack init FOLDER [--setup SETUP.INI] [--updater-version TEXT] [--force]\n"
    "\n"
    "Writes FOLDER/UPDATE.INI for the files of the folder, in code page 932 with CRLF line\n"
    "ends, as the updater reads it:\n"
    "  [SETUP]   CompanyName, GameTitle, GameClass and GameDir, taken from the installed\n"
    "            game's SETUP.INI (read as the updater reads it); without --setup they are\n"
    "            left empty, and `updpack lint` reports them as errors until they are filled\n"
    "            in; UpdaterVersion, the version in the updater's caption.\n"
    "  [UPDATE]  RequiredDiskSpace, the bytes of the files listed; one UpdateFile item per\n"
    "            file, written plainly into the installation folder, in the order of the\n"
    "            package's entries (byte order of the names in code page 932). The updater\n"
    "            reads UpdateFile00 to UpdateFile15: further files are named in a comment\n"
    "            and in a warning, not listed.\n"
    "\n"
    "  --setup FILE            the SETUP.INI of the installed game\n"
    "  --updater-version TEXT  UpdaterVersion (default 1.00)\n"
    "  --force                 replace an existing UPDATE.INI (never replaced without it)\n"
    "\n"
    "Files are named as `build` names them. Nothing is written when the folder holds what\n"
    "build refuses (a subfolder, a name code page 932 cannot spell, two names the updater\n"
    "cannot tell apart) or a name that no UpdateFile value can give (one holding a comma).\n"
    "With --setup the result passes `updpack lint FOLDER --setup SETUP.INI` as it stands.\n"
    "\n"
    "Exits with 0 when UPDATE.INI was written, 1 when not (an existing one without --force,\n"
    "a file that cannot be listed, a SETUP.INI the updater cannot read), 2 for wrong usage.\n";

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kCmd = "init";
constexpr std::string_view kUpdateIni = "UPDATE.INI";
// RequiredDiskSpace is read as strtol reads it, so it saturates here.
constexpr std::uint64_t kLargestDiskSpace = 0x7FFFFFFF;

struct InitArgs {
  std::optional<fs::path> folder;
  std::optional<fs::path> setup;
  std::string updater_version = "1.00";
  bool force = false;
};

std::string ParseArgs(CommandArgs args, InitArgs& a) {
  using enum Option::Takes;
  const Option options[] = {
      {{}, "--setup", kName, "a file", &a.setup},
      {{}, "--updater-version", kText, "a text", &a.updater_version},
      {{}, "--force", kNothing, {}, &a.force},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (a.folder) return "one folder only";
    if (arg.empty()) return "the folder is named by an empty argument";
    a.folder = host::PathFromArg(arg);
    return {};
  });
  if (!problem.empty()) return problem;
  if (!a.folder) return "no folder";
  return {};
}

// Reads `key` of `section` from the text as the updater does.
std::optional<std::string> ReadBack(const std::string& ini, std::string_view section, std::string_view key) {
  upd::LongString value;
  bool cut = false;
  if (upd::ReadProfileString(ini, section, key, std::span<char>(value.bytes), cut) == 0 || cut) return std::nullopt;
  return std::string(value.view());
}

// The line "key=value" that the updater reads back as `value` (quoted where blanks at its ends
// or quotes around it would be taken off), or nothing.
std::optional<std::string> SetupLine(std::string_view key, const std::string& value) {
  for (const std::string& written : {value, "\"" + value + "\""}) {
    const std::string line = std::string(key) + "=" + written + "\r\n";
    if (value.empty() || ReadBack("[SETUP]\r\n" + line, "SETUP", key) == value) return line;
  }
  return std::nullopt;
}

// The UpdateFile value that writes the entry `name` into the installation folder: the name
// itself, or ".\name" where the bare name would read as a filter or a mode, or lose its blanks.
// Nothing when no value does (a comma ends an item).
std::optional<std::string> UpdateFileValue(const std::string& name) {
  for (const std::string& value : {name, ".\\" + name}) {
    const std::string ini = "[UPDATE]\r\nUpdateFile00=" + value + "\r\n";
    const auto back = ReadBack(ini, upd::kUpdateSection, "UpdateFile00");
    if (!back) continue;
    const upd::UpdateFileEntry e = upd::ParseUpdateFileValue(*back, 0);
    if (e.fault != upd::UpdateValueFault::kNone || e.filter >= 0 || e.has_mode || e.ignored_items) continue;
    const std::string_view path = e.item.Path.view();
    if (upd::CheckItemPath(path) != upd::ItemPathFault::kNone) continue;
    if (path.substr(static_cast<std::size_t>(e.item.NameOffset)) == name) return value;
  }
  return std::nullopt;
}

}  // namespace

int RunInit(CommandArgs args, std::ostream& out, std::ostream& err) {
  InitArgs a;
  if (std::string problem = ParseArgs(args, a); !problem.empty()) return Fail(err, kCmd, problem, kExitUsage);
  const fs::path& folder = *a.folder;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    return Fail(err, kCmd, host::ShowPath(folder) + " is not a folder", kExitFailed);
  }
  const auto version = host::Utf8ToCp932(a.updater_version);
  if (!version || version->find_first_of("\r\n") != std::string::npos) {
    return Fail(err, kCmd, "--updater-version: code page 932 cannot spell '" + a.updater_version +
                               "' on one line", kExitUsage);
  }

  FolderEntries listed = ReadFolderEntries(folder);
  if (!listed.error.empty()) return Fail(err, kCmd, listed.error, kExitFailed);

  // An UPDATE.INI already there, in any spelling the updater takes for it.
  fs::path ini_path = folder / std::string(kUpdateIni);
  bool exists = false;
  std::vector<const FolderEntry*> files;
  for (const FolderEntry& e : listed.entries) {
    if (FoldEntryName(e.name) == FoldEntryName(kUpdateIni)) {
      ini_path = e.file;
      exists = true;
    } else {
      files.push_back(&e);
    }
  }
  if (!exists && fs::exists(fs::symlink_status(ini_path, ec))) exists = true;  // e.g. a folder of that name
  if (exists && !a.force) {
    return Fail(err, kCmd, host::ShowPath(ini_path) + " is there already; --force replaces it", kExitFailed);
  }

  bool refused = false;
  for (const FolderRemark& r : listed.remarks) {
    refused = refused || r.refused;
    err << "updpack init: " << (r.refused ? "" : "note: ") << host::ShowPath(r.file) << ": " << r.text << "\n";
  }
  std::map<std::string, const FolderEntry*> by_fold;
  std::vector<std::string> values;
  for (const FolderEntry* f : files) {
    const auto [at, fresh] = by_fold.emplace(FoldEntryName(f->name), f);
    if (!fresh) {
      err << "updpack init: " << host::ShowPath(f->file) << ": the updater cannot tell it from "
          << host::ShowPath(at->second->file.filename()) << "\n";
      refused = true;
    }
    auto value = UpdateFileValue(f->name);
    if (!value) {
      err << "updpack init: " << host::ShowPath(f->file) << ": no UpdateFile value can name it"
          << (f->name.find(',') != std::string::npos ? " (a comma ends an item of the value)" : "")
          << "; rename it\n";
      refused = true;
    }
    values.push_back(value.value_or(""));
  }
  if (refused) return Fail(err, kCmd, "nothing written", kExitFailed);
  if (files.empty()) {
    return Fail(err, kCmd, host::ShowPath(folder) + " holds no files to update; nothing written", kExitFailed);
  }

  // [SETUP]: the installed game's four values, read as the updater reads them.
  std::array<std::pair<std::string_view, std::string>, 4> game = {
      std::pair{"CompanyName", std::string()}, {"GameTitle", {}}, {"GameClass", {}}, {"GameDir", {}}};
  if (a.setup) {
    const SetupIniRead read = ReadInstallerDescription(*a.setup);
    if (!read.problem.empty()) return Fail(err, kCmd, read.problem, kExitFailed);
    const upd::GameIdentity& g = read.description.game;
    game[0].second = g.CompanyName.view();
    game[1].second = g.GameTitle.view();
    game[2].second = g.GameClass.view();
    game[3].second = g.GameDir.view();
  }

  std::string ini = "; The update's description, read by the updater (code page 932). Written by\r\n"
                    "; updpack init; check it with updpack lint, see it with updpack plan.\r\n"
                    "[SETUP]\r\n";
  if (!a.setup) {
    ini += "; Fill in these four from the SETUP.INI in the game's installation folder, or write\r\n"
           "; this file again with updpack init --setup SETUP.INI --force. The updater needs all four.\r\n";
  }
  for (const auto& [key, value] : game) {
    const auto line = SetupLine(key, value);
    if (!line) {
      return Fail(err, kCmd, "SETUP.INI's " + std::string(key) + " cannot be written so that the updater reads it back",
                  kExitFailed);
    }
    ini += *line;
  }
  if (const auto line = SetupLine("UpdaterVersion", *version)) {
    ini += *line;
  } else {
    return Fail(err, kCmd, "--updater-version cannot be written so that the updater reads it back", kExitUsage);
  }

  const std::size_t listed_count = std::min(files.size(), upd::kUpdateListSlots);
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < listed_count; ++i) bytes += files[i]->size;
  ini += "\r\n[UPDATE]\r\n"
         "; UpdateFileNN=[installation mode digit,][u|d|o,]path: u keeps a newer file, d writes below\r\n"
         "; the data folder and keeps an existing file, o writes only over an existing file.\r\n"
         "RequiredDiskSpace=" + std::to_string(std::min(bytes, kLargestDiskSpace)) + "\r\n";
  for (std::size_t i = 0; i < listed_count; ++i) {
    ini += "UpdateFile" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "=" + values[i] + "\r\n";
  }
  if (files.size() > listed_count) {
    ini += "; Not listed: the updater reads UpdateFile00 to UpdateFile15 only.\r\n";
    for (std::size_t i = listed_count; i < files.size(); ++i) ini += ";   " + files[i]->name + "\r\n";
  }

  const std::vector<std::uint8_t> bytes_out(ini.begin(), ini.end());
  std::string error;
  if (!host::WriteWholeFile(ini_path, bytes_out, std::nullopt, error)) {
    return Fail(err, kCmd, "cannot write " + host::ShowPath(ini_path) + ": " + error, kExitFailed);
  }
  for (std::size_t i = listed_count; i < files.size(); ++i) {
    err << "updpack init: warning: " << host::ShowPath(files[i]->file)
        << ": not listed; the updater reads UpdateFile00 to UpdateFile15 only\n";
  }
  out << host::ShowPath(ini_path) << ": " << listed_count << " UpdateFile "
      << (listed_count == 1 ? "entry" : "entries") << " for " << files.size()
      << (files.size() == 1 ? " file" : " files") << ", RequiredDiskSpace "
      << std::min(bytes, kLargestDiskSpace) << "\n";
  if (!a.setup) {
    out << "Fill in CompanyName, GameTitle, GameClass and GameDir from the installed game's SETUP.INI;\n"
           "until then `updpack lint` reports them as errors.\n";
  }
  out << std::flush;
  return kExitOk;
}

}  // namespace updpack
