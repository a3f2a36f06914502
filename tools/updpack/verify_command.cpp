// updpack verify FILE
#include <ostream>

#include "commands.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kVerifyHelp =
    "usage: updpack verify FILE\n"
    "\n"
    "Checks the package FILE as the updater will read it: the header, the directory, every\n"
    "entry's name, flags and sizes, and that every compressed entry unpacks to exactly its\n"
    "size. Exits with 0 for a sound package; otherwise names the first fault and exits with 1.\n"
    "Harmless oddities (entries out of order, fill bytes that are not zero) are noted.\n";

namespace {

std::string Where(const std::filesystem::path& path, const PackageView* view, std::size_t entry) {
  std::string s = host::ShowPath(path) + ": ";
  if (entry == kWholePackage || !view) return s;
  const upd::PackageEntry& e = view->entries[entry];
  std::string name = view->name_terminated[entry] ? ShowEntry(e.Name(), entry) : "";
  return s + "entry " + std::to_string(entry) + (name.empty() ? "" : " (" + name + ")") + ": ";
}

}  // namespace

int RunVerify(CommandArgs args, std::ostream& out, std::ostream& err) {
  constexpr std::string_view kCmd = "verify";
  int usage = kExitUsage;
  const std::optional<std::string> file = SinglePackageArg(args, kCmd, err, usage);
  if (!file) return usage;
  const auto path = host::PathFromArg(*file);
  const PackageInput in = ReadPackageInput(path);
  if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);

  std::vector<Fault> notes;
  const std::optional<Fault> fault = VerifyPackage(in.bytes, &notes);
  const OpenResult opened = OpenPackage(in.bytes);  // for the names in the messages
  const PackageView* view = opened.view ? &*opened.view : nullptr;
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
  out << host::ShowPath(path) << ": sound, " << view->entries.size() << " entries\n" << std::flush;
  return kExitOk;
}

}  // namespace updpack
