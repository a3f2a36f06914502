// The commands of updpack. Each takes the arguments after its name, writes its report to `out`
// and its messages to `err` (UTF-8), and returns the exit code.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace updpack {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a bad package or input, or a failed write
inline constexpr int kExitUsage = 2;   // wrong usage

using CommandArgs = std::span<const std::string>;
using CommandFn = int (*)(CommandArgs args, std::ostream& out, std::ostream& err);

struct Command {
  std::string_view name;
  std::string_view summary;  // one line for the tool's help
  std::string_view help;     // the command's own help, from its usage line on
  CommandFn run;
};

extern const std::string_view kBuildHelp;
extern const std::string_view kListHelp;
extern const std::string_view kExtractHelp;
extern const std::string_view kVerifyHelp;
extern const std::string_view kLintHelp;

int RunBuild(CommandArgs args, std::ostream& out, std::ostream& err);
int RunList(CommandArgs args, std::ostream& out, std::ostream& err);
int RunExtract(CommandArgs args, std::ostream& out, std::ostream& err);
int RunVerify(CommandArgs args, std::ostream& out, std::ostream& err);
int RunLint(CommandArgs args, std::ostream& out, std::ostream& err);

// Shared by the commands.

// An entry's name for the user: its UTF-8 spelling, or "entry N" with a note when code page 932
// cannot be read as text.
std::string ShowEntry(std::string_view name, std::size_t index);
// A FILETIME as UTC in ISO 8601: 2024-03-01T12:00:00Z, with the fraction of a second when
// there is one.
std::string FormatFileTime(std::uint64_t file_time);
// "updpack CMD: " + text + newline, and for usage errors the hint to --help; returns the code.
int Fail(std::ostream& err, std::string_view command, std::string_view text, int code);
// The one package argument of `list` and `verify` ("--" ends the options). Nothing after a
// usage message; then `code` holds the exit code.
std::optional<std::string> SinglePackageArg(CommandArgs args, std::string_view command,
                                            std::ostream& err, int& code);

}  // namespace updpack
