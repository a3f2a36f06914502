// The commands of updpack. Each takes the arguments after its name, writes its report to `out`
// and its messages to `err` (UTF-8), and returns the exit code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

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
extern const std::string_view kInitHelp;
extern const std::string_view kPlanHelp;

int RunBuild(CommandArgs args, std::ostream& out, std::ostream& err);
int RunList(CommandArgs args, std::ostream& out, std::ostream& err);
int RunExtract(CommandArgs args, std::ostream& out, std::ostream& err);
int RunVerify(CommandArgs args, std::ostream& out, std::ostream& err);
int RunLint(CommandArgs args, std::ostream& out, std::ostream& err);
int RunInit(CommandArgs args, std::ostream& out, std::ostream& err);
int RunPlan(CommandArgs args, std::ostream& out, std::ostream& err);

// Shared by the commands.

// An entry's name for the user: its UTF-8 spelling, or "entry N" with a note when code page 932
// cannot be read as text.
std::string ShowEntry(std::string_view name, std::size_t index);
// A FILETIME as UTC, with a fixed number of digits: in ISO 8601 with all seven digits of the
// fraction (2024-03-01T12:00:00.0000000Z), or for people to whole seconds (2024-03-01 12:00:00).
std::string FormatFileTime(std::uint64_t file_time);
std::string FormatFileTimeShort(std::uint64_t file_time);
// "updpack CMD: " + text + newline, and for usage errors the hint to --help; returns the code.
int Fail(std::ostream& err, std::string_view command, std::string_view text, int code);
// Takes an argument or an option's value; returns what is wrong with it, empty when nothing.
using TakeArg = std::function<std::string(const std::string& value)>;

// One option of a command, as the command's table declares it.
struct Option {
  enum class Takes {
    kNothing,   // a switch: "-v", "--verbose"
    kName,      // a file or folder: "-o NAME", "--output NAME" or "--output=NAME"; an empty
                // name, and "-" (standard output is no place for what these name), are refused
    kText,      // any text: "--level TEXT" or "--level=TEXT"
    kNextText,  // any text, as the next argument only: "--setup TEXT"
  };
  std::string_view short_name;  // "-o", or empty
  std::string_view long_name;   // "--output"
  Takes takes = Takes::kNothing;
  std::string_view what;  // the value, in "--output needs a file name"
  // Where it goes: a switch sets its flag; a value is stored (a path as host::PathFromArg
  // makes it), or taken by a function that may refuse it.
  std::variant<bool*, std::string*, std::optional<std::filesystem::path>*,
               std::filesystem::path*, TakeArg>
      to;
};

// Reads a command's arguments by its table of options: "--" ends the options; any other
// argument that begins with '-' (but "-" alone) and is none of them is an unknown option; the
// others go to `operand`, in order. Returns the first problem, a usage error; empty when none.
std::string ParseOptions(CommandArgs args, std::span<const Option> options, const TakeArg& operand);
// The value of --inst-mode (lint, plan): a number of 0 or more, at most 9 digits, into `mode`.
TakeArg InstModeArg(std::optional<std::int32_t>& mode);

// One line on standard error, redrawn in place, while long work goes on: only on a terminal,
// only once the work has taken a moment, and cleared when done.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, std::uint64_t total, bool wanted = true);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Item `index` of `count` (named `name`), with `done` of the total finished.
  void Show(std::size_t index, std::size_t count, const std::string& name, std::uint64_t done);
  void Clear();

 private:
  std::ostream& err_;
  std::uint64_t total_;
  bool on_;
  std::int64_t start_ms_;
  std::int64_t last_ms_ = 0;
  std::size_t width_ = 0;
};

}  // namespace updpack
