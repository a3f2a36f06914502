// updpack build DIR -o FILE [--store] [--level fast|default|best] [--strict] [-v]
#include <algorithm>
#include <ostream>
#include <system_error>

#include "commands.h"
#include "entry_name.h"
#include "host.h"
#include "lint.h"
#include "name_spelling.h"
#include "package_reader.h"
#include "package_writer.h"

namespace updpack {

const std::string_view kBuildHelp =
    "usage: updpack build DIR -o FILE [--store] [--level fast|default|best] [--strict] [-v]\n"
    "\n"
    "Packs every file of the folder DIR into the package FILE. Each file becomes an entry\n"
    "named by its file name in code page 932, with its last-write time (UTC) as time stamp.\n"
    "An entry is compressed when that makes it smaller, else stored as it is. The same files\n"
    "give the same package, byte for byte. One more entry, the integrity record, holds a\n"
    "hash (XXH3-128) of every file and of the directory, for verify and the updater to check\n"
    "the package against; list and extract leave it out.\n"
    "\n"
    "  -o, --output FILE  the package to write; an existing FILE is replaced only once the\n"
    "                     new package is complete\n"
    "  --level LEVEL      fast, default, or best (smallest, slowest; never larger than default)\n"
    "  --store            store every file and the directory uncompressed\n"
    "  --strict           write nothing when the check of UPDATE.INI finds an error or a\n"
    "                     warning (as lint --strict fails)\n"
    "  -v, --verbose      list each entry: its size, and what it takes in the package\n"
    "\n"
    "UPDATE.INI is checked as `updpack lint DIR` checks it, and the findings are printed;\n"
    "the package is written all the same unless --strict is given, or UPDATE.INI is saved\n"
    "as UTF-8 rather than code page 932 (the updater would show every player garbage).\n"
    "\n"
    "A name is stored as a Japanese Windows shows it: where code page 932 has one code for\n"
    "two characters (\xE3\x80\x9C and \xEF\xBD\x9E, \xE2\x80\x94 and \xE2\x80\x95, ...) the name is stored with the one\n"
    "Windows shows, with a note; kana in decomposed form (as macOS writes them) are composed.\n"
    "\n"
    "DIR must hold at least one file, and files only. Refused: a subfolder or anything else\n"
    "that is not a file, a name that code page 932 cannot spell or would store as a plainer\n"
    "character (\xE2\x80\xBE as ~, \xC2\xA5 as the path separator \\), or that takes more than\n"
    "259 bytes in it, a name "
    "Windows cannot hold as it is (a drive or stream part, characters such as ? or *, a\n"
    "device name such as CON, a trailing dot or blank), and two names that the updater cannot\n"
    "tell apart (it compares names as Windows does: regardless of letter case, the two codes\n"
    "of one character as one, a mark such as \xE3\x80\x85 as the character before it).\n";

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCmd = "build";

struct BuildArgs {
  std::optional<fs::path> dir;
  std::optional<fs::path> output;
  PackageOptions options;
  bool strict = false;
  bool verbose = false;
};

// Returns an empty text when the arguments are fine.
std::string ParseArgs(CommandArgs args, BuildArgs& a) {
  using enum Option::Takes;
  const Option options[] = {
      {"-o", "--output", kName, "a file name", &a.output},
      {"-v", "--verbose", kNothing, {}, &a.verbose},
      {{}, "--level", kText, "fast, default or best",
       [&](const std::string& value) -> std::string {
         const auto level = ParseLevel(value);
         if (!level) return "unknown level '" + value + "': fast, default or best";
         a.options.level = *level;
         return {};
       }},
      {{}, "--store", kNothing, {}, &a.options.store},
      {{}, "--strict", kNothing, {}, &a.strict},
  };
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (a.dir) return "one folder only (got " + host::ShowPath(*a.dir) + " and " + arg + ")";
    if (arg.empty()) return "the folder to pack is named by an empty argument";
    a.dir = host::PathFromArg(arg);
    return {};
  });
  if (!problem.empty()) return problem;
  if (!a.dir) return "no folder to pack";
  if (!a.output) return "no package file to write (-o FILE)";
  return {};
}

class FileSink : public PackageSink {
 public:
  explicit FileSink(host::FileWriter& file) : file_(file) {}
  bool Write(std::span<const std::uint8_t> bytes) override { return file_.Write(bytes); }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
    return file_.WriteAt(offset, bytes);
  }
  bool CutBack(std::uint64_t size) override { return file_.CutBack(size); }
  std::uint64_t Size() const override { return file_.Size(); }

 private:
  host::FileWriter& file_;
};

// Each file mapped while it is packed, its pages let go as the packing moves on.
class MappedItems : public ItemBytes {
 public:
  explicit MappedItems(const std::vector<fs::path>& paths) : paths_(paths) {}
  std::optional<std::span<const std::uint8_t>> Open(std::size_t index, std::string& error) override {
    if (!file_.Open(paths_[index], error)) return std::nullopt;
    return file_.Bytes();
  }
  void Release(std::span<const std::uint8_t> range) override { file_.Release(range); }

 private:
  const std::vector<fs::path>& paths_;
  host::MappedFile file_;
};

bool SameFolder(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const fs::path ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  return !ec && ca == cb;
}

}  // namespace

int RunBuild(CommandArgs args, std::ostream& out, std::ostream& err) {
  BuildArgs a;
  if (std::string problem = ParseArgs(args, a); !problem.empty()) {
    return Fail(err, kCmd, problem, kExitUsage);
  }
  const fs::path& dir = *a.dir;
  const fs::path& output = *a.output;
  if (SameFolder(output.has_parent_path() ? output.parent_path() : fs::path("."), dir)) {
    return Fail(err, kCmd, "the package " + host::ShowPath(output) +
                               " would lie in the folder it packs", kExitFailed);
  }

  std::vector<host::FolderItem> items;
  std::string error;
  if (!host::ListFolder(dir, items, error)) {
    return Fail(err, kCmd, "cannot read the folder " + host::ShowPath(dir) + ": " + error,
                kExitFailed);
  }
  std::sort(items.begin(), items.end(),
            [](const host::FolderItem& x, const host::FolderItem& y) { return x.name < y.name; });

  // Every refusal first, before anything is read.
  std::vector<PackageItem> files;
  std::vector<fs::path> paths;
  bool refused = false;
  for (const host::FolderItem& item : items) {
    const fs::path path = dir / item.name;
    const std::string shown = host::ShowPath(path);
    auto refuse = [&](const std::string& why) {
      err << "updpack build: " << shown << ": " << why << "\n";
      refused = true;
    };
    if (item.kind == host::FolderItem::Kind::kFolder) {
      refuse("is a folder; a package holds the files of one folder, without subfolders");
      continue;
    }
    if (item.kind != host::FolderItem::Kind::kFile) {
      refuse("is not a regular file");
      continue;
    }
    const NameSpelling spelled = SpellForCodePage932(host::ShowPath(item.name));
    if (spelled.refusal) {
      refuse(*spelled.refusal);
      continue;
    }
    auto name = host::Utf8ToCp932(spelled.utf8);
    if (!name) {
      refuse("code page 932 cannot spell this name");
      continue;
    }
    // Whatever else a converter might bend: the stored name must read back as given.
    if (const auto back = host::Cp932ToUtf8(*name); !back || *back != spelled.utf8) {
      refuse("code page 932 would store it as " + back.value_or("?") + ", a different name");
      continue;
    }
    for (const std::string& note : spelled.notes) {
      err << "updpack build: note: " << shown << ": " << note << "\n";
    }
    if (auto fault = EntryNameFault(*name)) {
      refuse(*fault);
      continue;
    }
    // Known from the folder alone: a file too large is refused before anything is read.
    std::error_code size_error;
    if (const std::uintmax_t size = fs::file_size(path, size_error);
        !size_error && size > kMaxFileSize) {
      refuse("is " + std::to_string(size) + " bytes; a package holds files of less than 4 GiB");
      continue;
    }
    files.push_back({std::move(*name), 0, 0});
    paths.push_back(path);
  }
  if (refused) return Fail(err, kCmd, "nothing written", kExitFailed);
  if (files.empty()) {
    return Fail(err, kCmd, host::ShowPath(dir) + " holds no files: a package without entries " +
                               "would update nothing; nothing written", kExitFailed);
  }

  // Each file is opened here, so that one that cannot be read is refused before anything is
  // written, but read only when its turn comes.
  std::uint64_t total = 0;
  std::vector<std::uint8_t> update_ini_bytes;
  for (std::size_t i = 0; i < files.size(); ++i) {
    host::MappedFile file;
    if (!file.Open(paths[i], error) || !host::LastWriteTime(paths[i], files[i].time_stamp, error)) {
      return Fail(err, kCmd, "cannot read " + host::ShowPath(paths[i]) + ": " + error, kExitFailed);
    }
    files[i].size = file.Bytes().size();
    total += files[i].size;
    if (FoldEntryName(files[i].name) == FoldEntryName("UPDATE.INI")) {
      update_ini_bytes.assign(file.Bytes().begin(), file.Bytes().end());
    }
  }
  const auto update_ini = std::find_if(files.begin(), files.end(), [](const PackageItem& f) {
    return FoldEntryName(f.name) == FoldEntryName("UPDATE.INI");
  });
  const bool has_update_ini = update_ini != files.end();
  if (has_update_ini) {
    LintSubject subject;
    subject.update_ini.assign(update_ini_bytes.begin(), update_ini_bytes.end());
    for (const PackageItem& f : files) subject.entries.push_back({f.name, f.size});
    subject.update_ini_name = host::ShowPath(paths[static_cast<std::size_t>(update_ini - files.begin())]);
    subject.package_name = host::ShowPath(dir);
    subject.strict = a.strict;
    const std::vector<Finding> findings = LintUpdate(subject);
    PrintFindings(err, "updpack build: ", findings);
    // Not left to --strict: every player of such a package would see the garbled texts.
    if (LooksLikeUtf8(subject.update_ini)) {
      return Fail(err, kCmd, "UPDATE.INI is saved as UTF-8; nothing written", kExitFailed);
    }
    // --strict fails where `lint --strict` fails: on errors, and on warnings.
    if (const std::size_t errors = CountErrors(findings); errors > 0 && a.strict) {
      return Fail(err, kCmd, std::to_string(errors) + (errors == 1 ? " error" : " errors") +
                                 " in UPDATE.INI; nothing written (--strict)", kExitFailed);
    }
    if (a.strict && FailsCheck(findings, true)) {
      return Fail(err, kCmd, std::to_string(findings.size()) + (findings.size() == 1 ? " warning" : " warnings") +
                                 " in UPDATE.INI; nothing written (--strict)", kExitFailed);
    }
  }

  // Bytes of the files before each one in package order (ascending names), for the share done.
  std::vector<std::pair<std::string, std::uint64_t>> in_order;
  for (const PackageItem& f : files) in_order.emplace_back(f.name, f.size);
  std::sort(in_order.begin(), in_order.end());
  std::vector<std::uint64_t> before(files.size() + 1, 0);
  for (std::size_t k = 0; k < in_order.size(); ++k) before[k + 1] = before[k] + in_order[k].second;

  // With -v the list of entries follows the build; the progress line would only interleave.
  ProgressLine progress(err, total, !a.verbose);
  a.options.progress = [&](std::size_t index, std::size_t count, std::string_view name,
                           std::size_t done) {
    progress.Show(index, count, ShowEntry(name, index), before[index] + done);
  };
  const std::size_t count = files.size();
  // The package goes to a new file beside the output, which it replaces only when complete.
  host::FileWriter file;
  if (!file.Create(output)) {
    progress.Clear();
    return Fail(err, kCmd, "cannot write " + host::ShowPath(output) + ": " + file.Error(), kExitFailed);
  }
  FileSink sink(file);
  MappedItems sources(paths);
  BuildResult built = WritePackage(files, sources, sink, a.options);
  progress.Clear();
  if (built.sink_failed) {
    return Fail(err, kCmd, "cannot write " + host::ShowPath(output) + ": " + file.Error(), kExitFailed);
  }
  if (!built.error.empty()) {
    std::string where = built.file < paths.size() ? host::ShowPath(paths[built.file]) + ": " : "";
    std::string also = built.other < paths.size() ? " (" + host::ShowPath(paths[built.other]) + ")" : "";
    return Fail(err, kCmd, where + built.error + also, kExitFailed);
  }
  if (!file.Commit(std::nullopt)) {
    return Fail(err, kCmd, "cannot write " + host::ShowPath(output) + ": " + file.Error(), kExitFailed);
  }

  std::size_t compressed = 0;
  for (std::size_t i = 0; i < built.entries.size(); ++i) {
    if (built.integrity_record == i) continue;
    const upd::PackageEntry& e = built.entries[i];
    compressed += e.IsCompressed() ? 1 : 0;
    if (a.verbose) {
      out << ShowEntry(e.Name(), i) << "  " << e.UnpackedSize
          << (e.IsCompressed() ? " -> " + std::to_string(e.StoredSize) + " bytes, compressed"
                               : " bytes, stored")
          << "\n";
    }
  }
  out << host::ShowPath(output) << ": " << count << " entries (" << compressed << " compressed, "
      << count - compressed << " stored), " << total << " bytes in " << built.size
      << " bytes";
  if (total > 0) out << " (" << built.size * 100 / total << "%)";
  out << ", with an integrity record";
  out << "\n" << std::flush;
  if (!has_update_ini) {
    err << "updpack build: note: " << host::ShowPath(dir)
        << " holds no UPDATE.INI; the updater needs one\n";
  }
  return kExitOk;
}

}  // namespace updpack
