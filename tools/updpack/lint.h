// The pre-flight check of an update: UPDATE.INI read by the updater's own readers (the core's
// profile reader, list splitter and [UPDATE] parser, not a second parser), held against the
// package's entries and, when given, the installation's SETUP.INI. Used by `lint` and `build`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updpack {

struct LintEntry {
  std::string name;  // code page 932, as the package holds it
  std::uint64_t size = 0;
};

struct LintSubject {
  std::string update_ini;          // the bytes of UPDATE.INI
  std::vector<LintEntry> entries;  // every entry of the package (UPDATE.INI among them)
  std::optional<std::filesystem::path> setup_ini;  // the installation's SETUP.INI
  std::optional<std::int32_t> inst_mode;           // the one installation mode to check
};

enum class Severity { kError, kWarning };

struct Finding {
  Severity severity;
  std::string key;     // where: "[UPDATE] UpdateFile03", "SETUP.INI DiskCheckFile2", "entry a.dat"
  std::string reason;  // one line, UTF-8
};

// Every finding, errors and warnings in the order of the file. Uses (and leaves behind) the
// run-wide state of the core; not for use while an update runs.
std::vector<Finding> LintUpdate(const LintSubject& subject);

// One line per finding: "<prefix>error: <key>: <reason>".
void PrintFindings(std::ostream& s, std::string_view prefix, const std::vector<Finding>& findings);
std::size_t CountErrors(const std::vector<Finding>& findings);

}  // namespace updpack
