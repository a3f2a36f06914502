// updpack: the publisher's tool. Builds, lists, extracts and verifies update packages, and
// puts them into the updater.
//
// Commands are found through the table below; a new command is one row and one function with
// the CommandFn signature (see commands.h).
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "commands.h"
#include "embed_command.h"
#include "host.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace updpack {
namespace {

const std::array kCommands = {
    Command{"build", "pack the files of a folder into a package", kBuildHelp, RunBuild},
    Command{"list", "list the entries of a package", kListHelp, RunList},
    Command{"extract", "write the entries of a package as files", kExtractHelp, RunExtract},
    Command{"verify", "check that a package is sound", kVerifyHelp, RunVerify},
    Command{"init", "write UPDATE.INI for the files of a folder", kInitHelp, RunInit},
    Command{"lint", "check an update's UPDATE.INI against its package", kLintHelp, RunLint},
    Command{"plan", "show what an update will do, mode by mode", kPlanHelp, RunPlan},
    Command{"embed", "put a package into a copy of the updater", kEmbedHelp, RunEmbed},
};

void ToolHelp(std::ostream& s) {
  s << "usage: updpack COMMAND [ARGS...]\n"
       "       updpack COMMAND --help\n"
       "\n"
       "The publisher's tool for update packages.\n"
       "\n";
  for (const Command& c : kCommands) {
    s << "  " << c.name << std::string(10 - std::min<std::size_t>(c.name.size(), 9), ' ')
      << c.summary << "\n";
  }
  s << "\n"
       "  -V, --version  the tool's version\n"
       "\n"
       "Names are shown and given in UTF-8; inside a package they are code page 932.\n"
       "Exit codes: 0 success, 1 a bad package or input, 2 wrong usage.\n";
}

bool AsksForHelp(CommandArgs args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

// A command never ends the process by an exception: what escapes it is named, and counts as
// a failure.
int RunGuarded(const Command& c, CommandArgs rest, std::ostream& out, std::ostream& err) {
  try {
    return c.run(rest, out, err);
  } catch (const std::bad_alloc&) {
    return Fail(err, c.name, "out of memory", kExitFailed);
  } catch (const std::exception& e) {
    return Fail(err, c.name, std::string("unexpected fault: ") + e.what(), kExitFailed);
  }
}

// A report that did not reach standard output (a full disk, a closed pipe) is a failure too.
int CheckOutput(std::string_view command, std::ostream& out, std::ostream& err, int code) {
  errno = 0;
  out.flush();
  if (out) return code;
  const int why = errno;
  err << "updpack" << (command.empty() ? "" : " ") << command
      << ": cannot write to standard output" << (why != 0 ? std::string(": ") + std::strerror(why) : "")
      << "\n"
      << std::flush;
  return code == kExitOk ? kExitFailed : code;
}

}  // namespace

int RunTool(CommandArgs args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    ToolHelp(err);
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "--version" || name == "-V") {
    out << "updpack " << UPDPACK_VERSION << "\n";
    return CheckOutput({}, out, err, kExitOk);
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (name == "help" && args.size() > 1) {
      for (const Command& c : kCommands) {
        if (c.name == args[1]) {
          out << c.help;
          return CheckOutput(c.name, out, err, kExitOk);
        }
      }
    }
    ToolHelp(out);
    return CheckOutput({}, out, err, kExitOk);
  }
  for (const Command& c : kCommands) {
    if (c.name != name) continue;
    const CommandArgs rest = args.subspan(1);
    if (AsksForHelp(rest)) {
      out << c.help;
      return CheckOutput(c.name, out, err, kExitOk);
    }
    const int code = CheckOutput(c.name, out, err, RunGuarded(c, rest, out, err));
    err.flush();
    return code;
  }
  err << "updpack: unknown command '" << name << "'\n\n";
  ToolHelp(err);
  err.flush();
  return kExitUsage;
}

}  // namespace updpack

#ifdef _WIN32
// Wide arguments, turned into UTF-8 for the commands; a path goes back to UTF-16 unchanged.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view w(argv[i]);
    std::string utf8;
    if (!w.empty()) {
      const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(),
                                        static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
      if (n <= 0) {
        updpack::host::Err() << "updpack: argument " << i << " is not valid UTF-16 text\n"
                             << std::flush;
        return updpack::kExitUsage;
      }
      utf8.resize(static_cast<std::size_t>(n));
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), static_cast<int>(w.size()),
                          utf8.data(), n, nullptr, nullptr);
    }
    args.push_back(std::move(utf8));
  }
  return updpack::RunTool(args, updpack::host::Out(), updpack::host::Err());
}
#else
int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return updpack::RunTool(args, updpack::host::Out(), updpack::host::Err());
}
#endif
