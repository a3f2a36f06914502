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

#include "config/setup_description.h"

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
  // How findings name the files: UPDATE.INI as the publisher knows it ("my-update/UPDATE.INI",
  // "update.fa3(UPDATE.INI)"), and the folder or package for findings about its entries.
  std::string update_ini_name = "UPDATE.INI";
  std::string package_name;
  // --strict: an entry that no UpdateFile entry writes is an error, not a warning.
  bool strict = false;
};

enum class Severity { kError, kWarning };

struct Finding {
  Severity severity;
  std::string file;                 // the file the finding is about, as findings name it
  std::optional<std::size_t> line;  // 1-based; none for the whole file or a section it lacks
  std::string key;     // where: "[UPDATE] UpdateFile03", "SETUP.INI DiskCheckFile2", "entry a.dat"
  std::string reason;  // one line, UTF-8
};

// Every finding, errors and warnings in the order of the file: those about UPDATE.INI as a whole
// or a section it lacks, then by line, then SETUP.INI's, then the package's entries'.
std::vector<Finding> LintUpdate(const LintSubject& subject);

// Whether a description file's bytes were saved as UTF-8 rather than code page 932 (the rule
// is at its definition), and lint's reason for such a file, with the command that converts it.
bool LooksLikeUtf8(std::string_view text);
std::string Utf8Problem(std::string_view file_name);

// The installation's SETUP.INI read by the updater's own reader. `problem` is lint's reason when
// the updater cannot read it (the file is not there, or the updater refuses it: its box's text),
// else empty.
struct SetupIniRead {
  upd::SetupDescriptionRead description;
  std::string problem;
  bool utf8 = false;  // saved as UTF-8 (see LooksLikeUtf8)
};
SetupIniRead ReadSetupIni(const std::filesystem::path& setup_ini);

// One line per finding, as compilers write them: "<prefix><file>:<line>: error: <key>: <reason>"
// (no ":<line>" without one, nor "<file>: " without a file).
void PrintFindings(std::ostream& s, std::string_view prefix, const std::vector<Finding>& findings);
std::size_t CountErrors(const std::vector<Finding>& findings);
// Whether the findings fail the check: an error, or with --strict any finding at all.
bool FailsCheck(const std::vector<Finding>& findings, bool strict);

}  // namespace updpack
