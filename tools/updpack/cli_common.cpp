#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include "commands.h"
#include "host.h"

namespace updpack {

std::string ShowEntry(std::string_view name, std::size_t index) {
  if (auto utf8 = host::Cp932ToUtf8(name)) return *utf8;
  return "entry " + std::to_string(index) + " (its name is not code page 932 text)";
}

namespace {

std::string FormatTime(std::uint64_t file_time, bool iso) {
  constexpr std::uint64_t kTicksPerSecond = 10000000;
  constexpr std::uint64_t kDaysPer400Years = 146097;
  std::uint64_t seconds = file_time / kTicksPerSecond;
  const std::uint64_t fraction = file_time % kTicksPerSecond;
  std::uint64_t days = seconds / 86400;
  seconds %= 86400;
  // 1601 begins a 400-year cycle of the Gregorian calendar.
  std::uint64_t year = 1601 + days / kDaysPer400Years * 400;
  days %= kDaysPer400Years;
  auto leap = [](std::uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  while (days >= (leap(year) ? 366u : 365u)) {
    days -= leap(year) ? 366 : 365;
    ++year;
  }
  static const unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned month = 0;
  for (;; ++month) {
    const unsigned len = kMonthDays[month] + (month == 1 && leap(year) ? 1 : 0);
    if (days < len) break;
    days -= len;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04llu-%02u-%02llu%c%02llu:%02llu:%02llu",
                static_cast<unsigned long long>(year), month + 1,
                static_cast<unsigned long long>(days + 1), iso ? 'T' : ' ',
                static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
  std::string out = buf;
  if (!iso) return out;
  std::snprintf(buf, sizeof buf, ".%07lluZ", static_cast<unsigned long long>(fraction));
  return out + buf;
}

}  // namespace

std::string FormatFileTime(std::uint64_t file_time) { return FormatTime(file_time, true); }
std::string FormatFileTimeShort(std::uint64_t file_time) { return FormatTime(file_time, false); }

bool OptionValue(CommandArgs args, std::size_t& i, std::string_view short_name,
                 std::string_view long_name, std::string_view what, std::string& value,
                 std::string& problem) {
  const std::string& arg = args[i];
  if (arg == short_name || arg == long_name) {
    if (i + 1 == args.size()) {
      problem = arg + " needs " + std::string(what);
      return true;
    }
    value = args[++i];
  } else if (arg.size() > long_name.size() && arg.starts_with(long_name) &&
             arg[long_name.size()] == '=') {
    value = arg.substr(long_name.size() + 1);
  } else {
    return false;
  }
  if (value.empty()) problem = arg + " needs " + std::string(what) + ", not an empty one";
  if (value == "-") {
    problem = (arg == "-" || arg.find('=') == std::string::npos ? arg + " -" : arg) +
              ": standard output is not taken here; name a file";
  }
  return true;
}

namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ProgressLine::ProgressLine(std::ostream& err, std::uint64_t total, bool wanted)
    : err_(err),
      total_(std::max<std::uint64_t>(total, 1)),
      on_(wanted && host::StderrIsTerminal()),
      start_ms_(NowMs()) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Show(std::size_t index, std::size_t count, const std::string& name,
                        std::uint64_t done) {
  if (!on_) return;
  const std::int64_t now = NowMs();
  if (now - start_ms_ < 500 || now - last_ms_ < 100) return;
  last_ms_ = now;
  std::string line = "updpack: " + std::to_string(index + 1) + "/" + std::to_string(count) +
                     "  " + std::to_string(std::min(done, total_) * 100 / total_) + "%  " + name;
  if (line.size() > 76) line = line.substr(0, 76);  // keep to one line (UTF-8 may cut short)
  err_ << '\r' << line << std::string(width_ > line.size() ? width_ - line.size() : 0, ' ')
       << std::flush;
  width_ = line.size();
}

void ProgressLine::Clear() {
  if (width_ == 0) return;
  err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
  width_ = 0;
}

int Fail(std::ostream& err, std::string_view command, std::string_view text, int code) {
  err << "updpack " << command << ": " << text << "\n";
  if (code == kExitUsage) err << "Try 'updpack " << command << " --help'.\n";
  err.flush();
  return code;
}

}  // namespace updpack

namespace updpack {

std::optional<std::string> SinglePackageArg(CommandArgs args, std::string_view command,
                                            std::ostream& err, int& code) {
  std::optional<std::string> file;
  bool options_done = false;
  for (const std::string& arg : args) {
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      code = Fail(err, command, "unknown option " + arg, kExitUsage);
      return std::nullopt;
    } else if (file) {
      code = Fail(err, command, "one package only", kExitUsage);
      return std::nullopt;
    } else {
      file = arg;
    }
  }
  if (!file) code = Fail(err, command, "no package", kExitUsage);
  return file;
}

}  // namespace updpack
