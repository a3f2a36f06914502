// updpack list FILE
#include <ostream>

#include "commands.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kListHelp =
    "usage: updpack list FILE\n"
    "\n"
    "Prints one line per entry of the package FILE, in package order, fields separated by\n"
    "tabs: name, stored or compressed, size, stored size, time stamp (UTC, ISO 8601).\n"
    "The integrity record that updpack adds to a package is no file and is not listed.\n";

int RunList(CommandArgs args, std::ostream& out, std::ostream& err) {
  constexpr std::string_view kCmd = "list";
  int usage = kExitUsage;
  const std::optional<std::string> file = SinglePackageArg(args, kCmd, err, usage);
  if (!file) return usage;
  const auto path = host::PathFromArg(*file);
  const PackageInput in = ReadPackageInput(path);
  if (!in.error.empty()) return Fail(err, kCmd, in.error, kExitFailed);
  const OpenResult opened = OpenPackage(in.bytes);
  if (!opened.view) return Fail(err, kCmd, host::ShowPath(path) + ": " + opened.fault.text, kExitFailed);

  int code = kExitOk;
  const PackageView& v = *opened.view;
  for (std::size_t i = 0; i < v.entries.size(); ++i) {
    if (IsIntegrityRecord(v, i)) continue;  // no file of the update; verify reads it
    const upd::PackageEntry& e = v.entries[i];
    const auto name = host::Cp932ToUtf8(e.Name());
    if (!name || !v.name_terminated[i]) {
      err << "updpack list: " << host::ShowPath(path) << ": entry " << i
          << ": its name is not code page 932 text\n";
      code = kExitFailed;
      continue;
    }
    out << *name << '\t' << (e.IsCompressed() ? "compressed" : "stored") << '\t' << e.UnpackedSize
        << '\t' << e.StoredSize << '\t' << FormatFileTime(e.TimeStamp) << '\n';
  }
  out.flush();
  return code;
}

}  // namespace updpack
