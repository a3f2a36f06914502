#include "config/profile.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <system_error>

#include "config/cp932.h"

namespace upd {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The names a caller asks for lose their spaces only (not tabs), as the system's reader does.
std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}


// Case-insensitive for ASCII letters; the second byte of a double-byte character is compared
// exactly, since folding it would make two different characters equal.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size();) {
    if (cp932::IsLeadByte(a[i])) {
      const std::size_t n = cp932::CharLength(a, i);
      if (a.substr(i, n) != b.substr(i, n)) return false;
      i += n;
    } else {
      if (cp932::AsciiLower(a[i]) != cp932::AsciiLower(b[i])) return false;
      ++i;
    }
  }
  return true;
}

// Position of the first `c` that is a character of its own (not a second byte).
std::size_t FindChar(std::string_view s, char c) {
  for (std::size_t i = 0; i < s.size(); i += cp932::CharLength(s, i)) {
    if (s[i] == c) return i;
  }
  return std::string_view::npos;
}

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// Calls `line_fn(line)` for each line (without its line end); stops when it returns true.
template <typename F>
void ForEachLine(std::string_view text, F line_fn) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, end);
    if (line_fn(line)) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// The value of `key` in the first section named `section`, before quotes are taken off.
bool FindValue(std::string_view ini, std::string_view section, std::string_view key,
               std::string_view& value) {
  enum class State { kNoSection, kOtherSection, kInSection, kDone } state = State::kNoSection;
  bool found = false;
  ForEachLine(ini, [&](std::string_view raw) {
    const std::string_view line = TrimBlanks(raw);
    if (line.empty() || line.front() == ';') return false;
    if (line.front() == '[') {
      if (state == State::kInSection) {
        state = State::kDone;  // only the first section of the name counts
        return true;
      }
      std::string_view name = line.substr(1);
      name = name.substr(0, FindChar(name, ']'));
      state = SameName(TrimBlanks(name), section) ? State::kInSection : State::kOtherSection;
      return false;
    }
    if (state != State::kInSection) return false;
    // A line without '=' is a key without a value: as the first line of its key it hides
    // later ones, as in the system's reader.
    const std::size_t eq = FindChar(line, '=');
    if (!SameName(TrimBlanks(line.substr(0, eq)), key)) return false;
    value = eq == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(eq + 1));
    found = true;
    return true;
  });
  return found;
}

}  // namespace

std::size_t ReadProfileString(std::string_view ini, std::string_view section,
                              std::string_view key, std::span<char> destination) {
  bool cut = false;
  return ReadProfileString(ini, section, key, destination, cut);
}

std::size_t ReadProfileString(std::string_view ini, std::string_view section,
                              std::string_view key, std::span<char> destination, bool& cut) {
  cut = false;
  if (destination.empty()) return 0;
  destination[0] = '\0';
  std::string_view value;
  if (!FindValue(ini, TrimSpaces(section), TrimSpaces(key), value)) return 0;
  value = StripQuotes(value);
  value = value.substr(0, value.find('\0'));  // the value is a C string
  const std::size_t room = destination.size() - 1;
  const std::size_t n = cp932::CutLength(value, room);
  std::copy_n(value.data(), n, destination.data());
  destination[n] = '\0';
  cut = value.size() > room;
  return cut ? room : n;
}

std::size_t ReadProfileFile(const std::filesystem::path& file, std::string_view section,
                            std::string_view key, std::span<char> destination) {
  bool cut = false;
  return ReadProfileFile(file, section, key, destination, cut);
}

std::size_t ReadProfileFile(const std::filesystem::path& file, std::string_view section,
                            std::string_view key, std::span<char> destination, bool& cut) {
  cut = false;
  if (!destination.empty()) destination[0] = '\0';
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) return 0;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return 0;
  return ReadProfileString(bytes, section, key, destination, cut);
}

namespace {

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Sign and magnitude as strtol/strtoull read them; the magnitude saturates at 2^64 - 1.
struct DecimalText {
  bool negative = false;
  std::uint64_t magnitude = 0;
  bool overflow = false;
};

DecimalText ScanDecimal(std::string_view text) {
  DecimalText d;
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (d.overflow || d.magnitude > (kMax - digit) / 10) {
      d.overflow = true;
      continue;
    }
    d.magnitude = d.magnitude * 10 + digit;
  }
  return d;
}

}  // namespace

std::int32_t ParseDecimal32(std::string_view text) {
  const DecimalText d = ScanDecimal(text.substr(0, text.find('\0')));
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  if (d.negative) {
    if (d.overflow || d.magnitude > std::uint64_t{1} << 31) return kMin;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(d.magnitude));
  }
  if (d.overflow || d.magnitude > static_cast<std::uint64_t>(kMax)) return kMax;
  return static_cast<std::int32_t>(d.magnitude);
}

std::uint64_t ParseDecimalU64(std::string_view text) {
  const DecimalText d = ScanDecimal(text.substr(0, text.find('\0')));
  if (d.overflow) return std::numeric_limits<std::uint64_t>::max();
  return d.negative ? std::uint64_t{0} - d.magnitude : d.magnitude;
}

namespace {
bool IsItemEnd(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ','; }
bool IsListBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

ListStep NextListItem(NameString& item, const char*& cursor, std::int32_t& disc) {
  while (IsListBlank(*cursor)) ++cursor;
  if (IsItemEnd(*cursor)) return ListStep::kEnd;

  // A prefix "N:" (any first character) names the disc of this and the following items.
  const bool prefixed = cursor[1] == ':';
  const char* start = prefixed ? cursor + 2 : cursor;
  const char* end = start;
  while (!IsItemEnd(*end)) ++end;
  const auto length = static_cast<std::size_t>(end - start);
  if (length > item.capacity() - 1) return ListStep::kTooLong;

  if (prefixed) {
    disc = (*cursor >= '0' && *cursor <= '9') ? *cursor - '0' : 0;
  }
  std::copy(start, end, item.data());
  item.data()[length] = '\0';
  // Past the item end, except the NUL that ends the value: later calls must find it again.
  cursor = *end == '\0' ? end : end + 1;
  return ListStep::kItem;
}

bool JoinPath(std::span<char> path, std::string_view component) {
  const std::size_t used = std::find(path.begin(), path.end(), '\0') - path.begin();
  if (used == path.size()) return false;  // not a NUL-terminated path: touch nothing
  const std::string_view base(path.data(), used);
  component = component.substr(0, component.find('\0'));

  // The last character, found by walking whole characters from the start.
  std::size_t last = 0;
  for (std::size_t i = 0; i < base.size(); i += cp932::CharLength(base, i)) last = i;
  const bool separated = base.empty() || ((base[last] == '\\' || base[last] == '/') &&
                                          cp932::CharLength(base, last) == 1);
  const std::size_t total = base.size() + (separated ? 0 : 1) + component.size();
  if (total + 2 > path.size()) return false;

  std::size_t at = base.size();
  if (!separated) path[at++] = '\\';
  std::copy(component.begin(), component.end(), path.begin() + static_cast<std::ptrdiff_t>(at));
  at += component.size();
  path[at] = '\0';
  path[at + 1] = '\0';
  return true;
}

}  // namespace upd
