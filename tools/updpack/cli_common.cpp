#include <cstdio>
#include <ostream>

#include "commands.h"
#include "host.h"

namespace updpack {

std::string ShowEntry(std::string_view name, std::size_t index) {
  if (auto utf8 = host::Cp932ToUtf8(name)) return *utf8;
  return "entry " + std::to_string(index) + " (its name is not code page 932 text)";
}

std::string FormatFileTime(std::uint64_t file_time) {
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
  std::snprintf(buf, sizeof buf, "%04llu-%02u-%02lluT%02llu:%02llu:%02llu",
                static_cast<unsigned long long>(year), month + 1,
                static_cast<unsigned long long>(days + 1),
                static_cast<unsigned long long>(seconds / 3600),
                static_cast<unsigned long long>(seconds / 60 % 60),
                static_cast<unsigned long long>(seconds % 60));
  std::string out = buf;
  if (fraction != 0) {
    std::snprintf(buf, sizeof buf, ".%07llu", static_cast<unsigned long long>(fraction));
    std::string f = buf;
    while (f.back() == '0') f.pop_back();
    out += f;
  }
  return out + "Z";
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
