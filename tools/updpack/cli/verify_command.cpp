// updpack verify FILE [--against DIR]
#include <algorithm>
#include <map>
#include <ostream>

#include "commands.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kVerifyHelp =
    "usage: updpack verify FILE [--against DIR]\n"
    "\n"
    "Checks the package FILE as the updater will read it: the header, the directory, every\n"
    "entry's name, flags and sizes, and that every compressed entry unpacks to exactly its\n"
    "size. When the package holds an integrity record (packages that updpack builds do),\n"
    "every entry's contents are checked against it as well (\"contents checked\"); without\n"
    "one only the structure can be checked, and verify says so.\n"
    "Exits with 0 for a sound package; otherwise names the first fault and exits with 1.\n"
    "Harmless oddities (entries out of order, fill bytes that are not zero) are noted.\n"
    "FILE may be an updater that carries the package; verify then also says whether it is\n"
    "signed or not signed, that is whether it holds a certificate table. It cannot check the\n"
    "signature or whether Windows will trust it: osslsigncode verify or signtool verify /pa\n"
    "does that.\n"
    "\n"
    "  --against DIR  also compare the package with the folder it was built from: every file\n"
    "                 of DIR must be an entry with the same bytes and time stamp, and every\n"
    "                 entry a file of DIR; each difference is named\n";

namespace {

namespace fs = std::filesystem;
constexpr std::string_view kCmd = "verify";

std::string Where(const fs::path& path, const PackageView* view, std::size_t entry) {
  std::string s = host::ShowPath(path) + ": ";
  if (entry == kWholePackage || !view) return s;
  const upd::PackageEntry& e = view->entries[entry];
  std::string name = view->name_terminated[entry] ? ShowEntry(e.Name(), entry) : "";
  return s + "entry " + std::to_string(entry) + (name.empty() ? "" : " (" + name + ")") + ": ";
}

// Every difference between the sound package `v` and the folder `dir`, one line each; the
// number of differences (or of folder errors).
std::size_t CompareWithFolder(const fs::path& path, const PackageInput& in, const PackageView& v,
                              const fs::path& dir, std::ostream& err) {
  std::size_t differences = 0;
  auto differ = [&](const std::string& text) {
    err << "updpack verify: " << text << "\n";
    ++differences;
  };
  std::vector<host::FolderItem> items;
  std::string error;
  if (!host::ListFolder(dir, items, error)) {
    differ("cannot read the folder " + host::ShowPath(dir) + ": " + error);
    return differences;
  }
  // The folder's files by their entry name.
  std::map<std::string, fs::path> files;
  for (const host::FolderItem& item : items) {
    const fs::path file = dir / item.name;
    if (item.kind != host::FolderItem::Kind::kFile) {
      differ(host::ShowPath(file) + ": not a file, so not in any package built from the folder");
      continue;
    }
    auto name = host::EntryNameOf(item.name);
    if (!name) {
      differ(host::ShowPath(file) + ": code page 932 cannot spell its name");
      continue;
    }
    files.emplace(std::move(*name), file);
  }
  EntryPieces pieces([&](std::span<const std::uint8_t> range) { in.Release(range); });
  for (std::size_t i = 0; i < v.entries.size(); ++i) {
    if (IsIntegrityRecord(v, i)) continue;
    const upd::PackageEntry& e = v.entries[i];
    const auto it = files.find(std::string(e.Name()));
    if (it == files.end()) {
      differ(Where(path, &v, i) + "no such file in " + host::ShowPath(dir));
      continue;
    }
    const fs::path file = it->second;
    files.erase(it);
    host::MappedFile mapped;
    std::uint64_t time = 0;
    if (!mapped.Open(file, error) || !host::LastWriteTime(file, time, error)) {
      differ("cannot read " + host::ShowPath(file) + ": " + error);
      continue;
    }
    // The entry piece by piece against the file where it lies.
    const std::span<const std::uint8_t> bytes = mapped.Bytes();
    bool same = bytes.size() == e.UnpackedSize;
    std::size_t at = 0;
    (void)pieces.Read(v, i, [&](std::span<const std::uint8_t> piece) {
      if (same && piece.size() <= bytes.size() - at) {
        const auto theirs = bytes.subspan(at, piece.size());
        same = std::equal(piece.begin(), piece.end(), theirs.begin());
        mapped.Release(theirs);
      } else {
        same = false;
      }
      at += piece.size();
    });
    if (!same) {
      differ(Where(path, &v, i) + "its " + std::to_string(e.UnpackedSize) +
             " bytes differ from the " + std::to_string(bytes.size()) + " of " +
             host::ShowPath(file));
    } else if (time != e.TimeStamp) {
      differ(Where(path, &v, i) + "its time stamp " + FormatFileTime(e.TimeStamp) +
             " differs from the last write of " + host::ShowPath(file) + ", " +
             FormatFileTime(time));
    }
  }
  for (const auto& [name, file] : files) {
    differ(host::ShowPath(file) + ": not in the package");
  }
  return differences;
}

}  // namespace

int RunVerify(CommandArgs args, std::ostream& out, std::ostream& err) {
  std::optional<std::string> file;
  std::optional<fs::path> against;
  const Option options[] = {{{}, "--against", Option::Takes::kText, "a folder", &against}};
  const std::string problem = ParseOptions(args, options, [&](const std::string& arg) -> std::string {
    if (file) return "one package only";
    file = arg;
    return {};
  });
  if (!problem.empty()) return Fail(err, kCmd, problem, kExitUsage);
  if (!file) return Fail(err, kCmd, "no package", kExitUsage);
  const auto path = host::PathFromArg(*file);
  const PackageInput in = ReadPackageInput(path);
  if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);
  if (in.signed_executable) {
    out << host::ShowPath(path) << ": executable "
        << (*in.signed_executable ? "signed (it holds a certificate table; the signature itself "
                                    "is not checked)"
                                  : "not signed")
        << "\n";
  }

  const OpenResult opened = OpenPackage(in.bytes);  // for the names in the messages
  const PackageView* view = opened.view ? &*opened.view : nullptr;
  std::uint64_t total = 0;
  if (view) {
    for (const upd::PackageEntry& e : view->entries) total += e.UnpackedSize;
  }
  std::vector<Fault> notes;
  bool contents_checked = false;
  std::optional<Fault> fault;
  {
    ProgressLine progress(err, total);
    fault = VerifyPackage(
        in.bytes, &notes, &contents_checked,
        [&](std::size_t i, std::size_t count, std::uint64_t done) {
          const upd::PackageEntry& e = view->entries[i];
          progress.Show(i, count, view->name_terminated[i] ? ShowEntry(e.Name(), i) : "", done);
        },
        [&](std::span<const std::uint8_t> range) { in.Release(range); });
  }
  for (const Fault& n : notes) {
    err << "updpack verify: note: " << Where(path, view, n.entry) << n.text << "\n";
  }
  if (fault) {
    std::string text = Where(path, view, fault->entry) + fault->text;
    if (fault->other != kWholePackage && view) {
      text += " (entry " + std::to_string(fault->other) + ": " +
              ShowEntry(view->entries[fault->other].Name(), fault->other) + ")";
    }
    return Fail(err, kCmd, text, kExitFailed);
  }
  const std::size_t files = view->entries.size() - (view->integrity_record ? 1 : 0);
  if (against) {
    const std::size_t differences = CompareWithFolder(path, in, *view, *against, err);
    if (differences > 0) {
      return Fail(err, kCmd,
                  host::ShowPath(path) + ": sound, but " + std::to_string(differences) +
                      (differences == 1 ? " difference" : " differences") + " from the folder " +
                      host::ShowPath(*against),
                  kExitFailed);
    }
  }
  out << host::ShowPath(path) << ": sound, " << files << " entries, "
      << (contents_checked ? "contents checked"
                           : "structure only: the package has no integrity record, so the "
                             "contents of its entries could not be checked");
  if (against) out << "; matches the folder " << host::ShowPath(*against);
  out << "\n" << std::flush;
  return kExitOk;
}

}  // namespace updpack
