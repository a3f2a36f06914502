#include <algorithm>
#include <charconv>
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

namespace {

// Whether `arg` is `option` with its value joined: "--output=NAME".
bool JoinedValue(const Option& option, const std::string& arg) {
  const std::string_view name = option.long_name;
  return (option.takes == Option::Takes::kName || option.takes == Option::Takes::kText) &&
         arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=';
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Puts the option's value where its table says; what is wrong with it, if anything.
std::string Store(const Option& option, const std::string& value) {
  return std::visit(
      Overloaded{
          [](bool* flag) {
            *flag = true;
            return std::string();
          },
          [&](std::string* text) {
            *text = value;
            return std::string();
          },
          [&](std::optional<std::filesystem::path>* path) {
            *path = host::PathFromArg(value);
            return std::string();
          },
          [&](std::filesystem::path* path) {
            *path = host::PathFromArg(value);
            return std::string();
          },
          [&](const TakeArg& take) { return take(value); },
      },
      option.to);
}

}  // namespace

std::string ParseOptions(CommandArgs args, std::span<const Option> options, const TakeArg& operand) {
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (std::string problem = operand(arg); !problem.empty()) return problem;
      continue;
    }
    const auto option = std::find_if(options.begin(), options.end(), [&](const Option& o) {
      return arg == o.long_name || (!o.short_name.empty() && arg == o.short_name) ||
             JoinedValue(o, arg);
    });
    if (option == options.end()) return "unknown option " + arg;
    std::string value;
    if (option->takes != Option::Takes::kNothing) {
      const bool joined = JoinedValue(*option, arg);
      if (joined) {
        value = arg.substr(option->long_name.size() + 1);
      } else if (i + 1 == args.size()) {
        return arg + " needs " + std::string(option->what);
      } else {
        value = args[++i];
      }
      if (option->takes == Option::Takes::kName && value == "-") {
        return (joined ? arg : arg + " -") + ": standard output is not taken here; name a file";
      }
      if (option->takes == Option::Takes::kName && value.empty()) {
        return arg + " needs " + std::string(option->what) + ", not an empty one";
      }
    }
    if (std::string problem = Store(*option, value); !problem.empty()) return problem;
  }
  return {};
}

TakeArg InstModeArg(std::optional<std::int32_t>& mode) {
  return [&mode](const std::string& n) -> std::string {
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) {
      return "--inst-mode needs a number of 0 or more, not '" + n + "'";
    }
    std::int32_t value = 0;
    std::from_chars(n.data(), n.data() + n.size(), value);  // 9 digits always fit
    mode = value;
    return {};
  };
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
