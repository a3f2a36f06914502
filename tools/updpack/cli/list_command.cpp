// updpack list FILE [--tsv]
#include <algorithm>
#include <ostream>

#include "commands.h"
#include "host.h"
#include "package_input.h"
#include "package_reader.h"

namespace updpack {

const std::string_view kListHelp =
    "usage: updpack list FILE [--tsv]\n"
    "\n"
    "Lists the entries of the package FILE in package order: a header line, one line per\n"
    "entry (size, stored size, stored or compressed, time stamp in UTC, name), and a line of\n"
    "totals. The integrity record that updpack adds to a package is no file and is not listed.\n"
    "\n"
    "  --tsv  for scripts: no header or totals, one line per entry with the fields name,\n"
    "         stored or compressed, size, stored size, time stamp (ISO 8601, UTC, always with\n"
    "         seven digits of the fraction of a second), separated by tabs\n";

namespace {

constexpr std::string_view kCmd = "list";

struct Row {
  std::string name;
  const upd::PackageEntry* entry;
};

std::string Pad(const std::string& s, std::size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

void PrintTable(std::ostream& out, const std::vector<Row>& rows) {
  std::uint64_t size = 0;
  std::uint64_t stored = 0;
  for (const Row& r : rows) {
    size += r.entry->UnpackedSize;
    stored += r.entry->StoredSize;
  }
  const std::string entries = std::to_string(rows.size()) + (rows.size() == 1 ? " entry" : " entries");
  const std::size_t w1 = std::max<std::size_t>(std::to_string(size).size(), 4);
  const std::size_t w2 = std::max<std::size_t>(std::to_string(stored).size(), 6);
  out << Pad("Size", w1) << "  " << Pad("Stored", w2) << "  Method      Time (UTC)           Name\n";
  for (const Row& r : rows) {
    const upd::PackageEntry& e = *r.entry;
    out << Pad(std::to_string(e.UnpackedSize), w1) << "  " << Pad(std::to_string(e.StoredSize), w2)
        << "  " << (e.IsCompressed() ? "compressed" : "stored    ") << "  "
        << FormatFileTimeShort(e.TimeStamp) << "  " << r.name << "\n";
  }
  out << Pad(std::to_string(size), w1) << "  " << Pad(std::to_string(stored), w2) << "  "
      << entries;
  if (size > 0) out << ", stored in " << stored * 100 / size << "% of their size";
  out << "\n";
}

}  // namespace

int RunList(CommandArgs args, std::ostream& out, std::ostream& err) {
  bool tsv = false;
  std::optional<std::string> file;
  const Option options[] = {{{}, "--tsv", Option::Takes::kNothing, {}, &tsv}};
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
  const OpenResult opened = OpenPackage(in.bytes);
  if (!opened.view) return Fail(err, kCmd, host::ShowPath(path) + ": " + opened.fault.text, kExitFailed);

  int code = kExitOk;
  const PackageView& v = *opened.view;
  std::vector<Row> rows;
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
    rows.push_back({*name, &e});
  }
  if (tsv) {
    for (const Row& r : rows) {
      const upd::PackageEntry& e = *r.entry;
      out << r.name << '\t' << (e.IsCompressed() ? "compressed" : "stored") << '\t'
          << e.UnpackedSize << '\t' << e.StoredSize << '\t' << FormatFileTime(e.TimeStamp) << '\n';
    }
  } else {
    PrintTable(out, rows);
  }
  return code;
}

}  // namespace updpack
