#include "lint.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <ostream>
#include <set>
#include <span>
#include <system_error>

#include "config/cp932.h"
#include "config/item_path.h"
#include "config/profile.h"
#include "config/setup_description.h"
#include "config/update_section.h"
#include "entry_name.h"
#include "host.h"
#include "run/plan.h"

namespace updpack {
namespace {

namespace fs = std::filesystem;

constexpr std::int32_t kModeDigits = 10;  // a filter is one digit: modes 0-9 can be asked for
constexpr std::size_t kKeysLooked = 100;  // UpdateFile00-99: the keys a publisher may have written
constexpr std::array<std::string_view, 4> kRequiredSetupKeys = {"CompanyName", "GameTitle", "GameClass",
                                                                "GameDir"};

// A code page 932 text for a message.
std::string Show(std::string_view cp932) {
  if (auto utf8 = host::Cp932ToUtf8(cp932)) return *utf8;
  return "(bytes that are not code page 932 text)";
}

// Appended piece by piece: GCC 12 sees a possible overlap in "'" + (a temporary string) and
// warns (-Wrestrict) where there is none.
std::string Quote(std::string_view cp932) {
  std::string quoted = "'";
  quoted += Show(cp932);
  quoted += '\'';
  return quoted;
}

// A path as a message shows it: control bytes spelt "\xNN", so that the finding stays one line.
std::string QuotePath(std::string_view cp932) {
  std::string spelt;
  for (const char c : cp932) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      spelt += c;
      continue;
    }
    constexpr std::string_view kHex = "0123456789ABCDEF";
    spelt += "\\x";
    spelt += kHex[b >> 4];
    spelt += kHex[b & 0xF];
  }
  return Quote(spelt);
}

// The next UTF-8 character of `text` at `i`: its length and code point, or length 0 when the
// bytes there are no valid UTF-8 (overlong forms, surrogates and stray continuations included).
struct Utf8Char {
  std::size_t length = 0;
  std::uint32_t code = 0;
};
Utf8Char NextUtf8(std::string_view text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return {1, b};
  std::size_t n = 0;
  std::uint32_t code = 0;
  std::uint32_t least = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, code = b & 0x1Fu, least = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, code = b & 0x0Fu, least = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, code = b & 0x07u, least = 0x10000;
  } else {
    return {};
  }
  if (i + n > text.size()) return {};
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return {};
    code = (code << 6) | (c & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {n, code};
}

// Characters a Japanese text saved as UTF-8 is made of: CJK punctuation, kana, kanji, full-width
// forms.
constexpr bool IsJapaneseCode(std::uint32_t code) {
  return (code >= 0x3000 && code <= 0x30FF) || (code >= 0x4E00 && code <= 0x9FFF) ||
         (code >= 0xFF00 && code <= 0xFFEF);
}

// "UpdateFile%02i" for the index.
std::string KeyName(std::string_view stem, std::size_t index) {
  return std::string(stem) + (index < 10 ? "0" : "") + std::to_string(index);
}

// The offsets where each line of `text` ends, after its line end (CR LF, LF or a lone CR, each
// one line as editors count them): the first N lines are text.substr(0, ends[N - 1]).
std::vector<std::size_t> LineEnds(std::string_view text) {
  std::vector<std::size_t> ends;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    if (text[i] == '\r' || text[i] == '\n') ends.push_back(i + 1);
  }
  if (ends.empty() || ends.back() != text.size()) ends.push_back(text.size());
  return ends;
}

// Where the updater's reader takes a key from, asked of the reader itself rather than of a
// second parser. Two lines of our own are appended to the first N lines of the file: the key
// with a marker value, and a probe key. The reader gives the probe when the N lines end inside
// the section it searches, and the marker unless the key is on one of the N lines (with any
// value, empty too, or none): the first such N is the key's line, and the first N that gives
// the probe at all is the section's header. A line end ends a line for the reader too.
constexpr std::string_view kMarker = "updpack-lint-marker";
constexpr std::string_view kProbe = "updpack-lint-probe";

struct ProbeRead {
  bool in_section = false;
  bool key_above = false;
};

ProbeRead Probe(std::string_view head, std::string_view section, std::string_view key) {
  std::string text(head);
  text += "\r\n";
  text += key;
  text += '=';
  text += kMarker;
  text += "\r\n";
  text += kProbe;
  text += "=1\r\n";
  std::array<char, kMarker.size() + 2> value{};
  ProbeRead read;
  read.in_section = upd::ReadProfileString(text, section, kProbe, value) != 0;
  if (!key.empty()) {
    upd::ReadProfileString(text, section, key, value);
    read.key_above = std::string_view(value.data()) != kMarker;
  }
  return read;
}

std::optional<std::size_t> FindKeyLine(std::string_view ini, std::span<const std::size_t> ends,
                                       std::string_view section, std::string_view key) {
  for (std::size_t n = 0; n < ends.size(); ++n) {
    const ProbeRead read = Probe(ini.substr(0, ends[n]), section, key);
    if (read.in_section && read.key_above) return n + 1;
  }
  return std::nullopt;
}

std::optional<std::size_t> FindSectionLine(std::string_view ini, std::span<const std::size_t> ends,
                                           std::string_view section) {
  for (std::size_t n = 0; n < ends.size(); ++n) {
    if (Probe(ini.substr(0, ends[n]), section, {}).in_section) return n + 1;
  }
  return std::nullopt;
}

}  // namespace

// The updater reads its description files as code page 932 whatever the player's system, so a
// file saved as UTF-8 shows garbage in every box. Both encodings cover ASCII, and a code page
// 932 text can be valid UTF-8 by chance (half-width katakana in pairs read as Latin letters,
// a level-2 kanji before a full-width digit), so the rule is:
//   - a UTF-8 byte order mark (EF BB BF) at the start: UTF-8;
//   - not valid UTF-8, or no byte above 0x7F: not UTF-8 (code page 932 or ASCII);
//   - valid UTF-8 with multi-byte characters: UTF-8 when its code page 932 reading fails (a
//     byte or a pair that code page has not), or when its UTF-8 reading holds a Japanese
//     character (kana, kanji, CJK punctuation, full-width forms), which a chance collision
//     gives only rarely; otherwise, taken for code page 932.
bool LooksLikeUtf8(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) return true;
  bool multi_byte = false;
  bool japanese = false;
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = NextUtf8(text, i);
    if (c.length == 0) return false;
    multi_byte = multi_byte || c.length > 1;
    japanese = japanese || IsJapaneseCode(c.code);
    i += c.length;
  }
  if (!multi_byte) return false;
  return japanese || !host::Cp932ToUtf8(text);
}

std::string Utf8Problem(std::string_view file_name) {
  const std::string name(file_name);
  return "saved as UTF-8, not code page 932: the updater shows its texts garbled to every player; "
         "convert it with: iconv -f UTF-8 -t CP932 " + name + " > " + name + ".new";
}

namespace {

// The keys the updater reads, by section; UpdateFileNN and CopyFileNN are told by their stems.
constexpr std::array<std::string_view, 11> kSetupKeys = {
    "CompanyName",  "GameTitle",   "GameClass",     "GameDir",       "GameTitleA",    "UpdaterVersion",
    "UpdaterTitle", "DataFolder",  "UpdateMessage", "AgreementText", "AgreementTitle"};
constexpr std::array<std::string_view, 2> kUpdateKeys = {"RequiredDiskSpace", "OverwriteOnly"};
constexpr std::array<std::string_view, 2> kListStems = {"UpdateFile", "CopyFile"};

bool SameAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return upd::cp932::AsciiLower(x) == upd::cp932::AsciiLower(y);
         });
}

// "UpdateFile07" for the stem "UpdateFile": the stem and two digits.
bool IsListKey(std::string_view key, std::string_view stem) {
  return key.size() == stem.size() + 2 && SameAscii(key.substr(0, stem.size()), stem) &&
         std::isdigit(static_cast<unsigned char>(key[stem.size()])) &&
         std::isdigit(static_cast<unsigned char>(key[stem.size() + 1]));
}

bool IsKeyOf(std::string_view section, std::string_view key) {
  if (SameAscii(section, "SETUP")) {
    return std::any_of(kSetupKeys.begin(), kSetupKeys.end(), [&](std::string_view k) { return SameAscii(k, key); });
  }
  return SameAscii(key, "RequiredDiskSpace") || SameAscii(key, "OverwriteOnly") || IsListKey(key, "UpdateFile") ||
         IsListKey(key, "CopyFile");
}

// Edits (insert, delete, replace, swap of neighbours) from a to b, letters in any case alike.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = upd::cp932::AsciiLower(a[i - 1]) == upd::cp932::AsciiLower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && upd::cp932::AsciiLower(a[i - 1]) == upd::cp932::AsciiLower(b[j - 2]) && upd::cp932::AsciiLower(a[i - 2]) == upd::cp932::AsciiLower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known key nearest to a misspelt one, when it is near enough to be what was meant.
// A list key is offered with the misspelt key's own number ("UpdatFile03": UpdateFile03).
std::optional<std::string> Nearest(std::string_view key) {
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  auto consider = [&](std::string k) {
    const std::size_t distance = EditDistance(key, k);
    if (!best || distance < best_distance) best = std::move(k), best_distance = distance;
  };
  for (std::string_view k : kSetupKeys) consider(std::string(k));
  for (std::string_view k : kUpdateKeys) consider(std::string(k));
  const bool numbered = key.size() >= 2 && std::isdigit(static_cast<unsigned char>(key[key.size() - 1])) &&
                        std::isdigit(static_cast<unsigned char>(key[key.size() - 2]));
  for (std::string_view stem : kListStems) {
    consider(std::string(stem) + std::string(numbered ? key.substr(key.size() - 2) : "00"));
  }
  if (!best || best_distance > std::max<std::size_t>(2, key.size() / 4)) return std::nullopt;
  return best;
}

bool IsBlankByte(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlankByte(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankByte(s.back())) s.remove_suffix(1);
  return s;
}

class Linter {
 public:
  explicit Linter(const LintSubject& s) : s_(s), ends_(LineEnds(s.update_ini)) {
    for (std::size_t i = 0; i < s.entries.size(); ++i) by_fold_.emplace(FoldEntryName(s.entries[i].name), i);
  }

  std::vector<Finding> Findings() {
    if (LooksLikeUtf8(s_.update_ini)) Error("UPDATE.INI", Utf8Problem("UPDATE.INI"));
    CheckLines();
    if (s_.setup_ini) CheckSetupIni();
    CheckSetupSection();
    CheckUpdateFiles();
    CheckCopyFiles();
    CheckApplicable();
    CheckDiskSpace();
    CheckUnwritten();
    // The checks run by kind; the publisher reads them down the file. Stable, so that findings
    // of one line keep the order of the checks.
    const auto rank = [&](const Finding& f) {
      const int group = f.key.starts_with("entry ") ? 2 : f.key == "SETUP.INI" ? 1 : 0;
      return std::pair(group, f.line.value_or(0));
    };
    std::stable_sort(findings_.begin(), findings_.end(),
                     [&](const Finding& a, const Finding& b) { return rank(a) < rank(b); });
    return std::move(findings_);
  }

 private:
  // Where a finding is: a file and, within it, a line.
  struct Where {
    std::string file;
    std::optional<std::size_t> line;
  };

  void Error(std::string key, std::string reason) { Add(Severity::kError, std::move(key), std::move(reason)); }
  void Warning(std::string key, std::string reason) { Add(Severity::kWarning, std::move(key), std::move(reason)); }

  // The key names what the finding is about: "[SETUP] GameDir" is found in UPDATE.INI at that
  // key's line, or at its section's line when the key is missing; "[UPDATE]" at the section;
  // "SETUP.INI" and "UPDATE.INI" the whole file; "entry x" the package.
  void Add(Severity severity, std::string key, std::string reason) {
    Where where = Locate(key);
    findings_.push_back({severity, std::move(where.file), where.line, std::move(key), std::move(reason)});
  }

  Where Locate(std::string_view key) const {
    if (key == "SETUP.INI") return {s_.setup_ini ? host::ShowPath(*s_.setup_ini) : std::string(key), {}};
    if (key.starts_with("entry ")) return {s_.package_name, {}};
    Where where{s_.update_ini_name, {}};
    if (!key.starts_with('[')) return where;
    const std::size_t close = key.find(']');
    const std::string_view section = key.substr(1, close - 1);
    if (close + 2 < key.size()) where.line = FindKeyLine(s_.update_ini, ends_, section, key.substr(close + 2));
    if (!where.line) where.line = FindSectionLine(s_.update_ini, ends_, section);
    return where;
  }

  // A path of the lists that the run refuses before it writes anything.
  void CheckPath(const std::string& key, std::string_view what, std::string_view path) {
    const upd::ItemPathFault fault = upd::CheckItemPath(path);
    if (fault == upd::ItemPathFault::kNone) return;
    Error(key, std::string(what) + " " + QuotePath(path) + " " + std::string(upd::DescribeItemPathFault(fault)) +
                   ": the updater refuses the update");
  }

  std::optional<std::size_t> FindEntry(std::string_view name) const {
    const auto it = by_fold_.find(FoldEntryName(name));
    if (it == by_fold_.end()) return std::nullopt;
    return it->second;
  }

  // The installation modes to check: the one asked for, else those an installation can have.
  std::vector<std::int32_t> Modes() const {
    if (s_.inst_mode) return {*s_.inst_mode};
    std::vector<std::int32_t> modes;
    for (std::int32_t m = 0; m < kModeDigits; ++m) {
      if (ModePossible(m)) modes.push_back(m);
    }
    return modes;
  }

  // Whether an installation can have mode `mode`: with SETUP.INI, modes are the indices of
  // its installation sets (0 to InstallSelects - 1); without it, any digit.
  bool ModePossible(std::int32_t mode) const {
    if (mode < 0 || mode >= kModeDigits) return false;
    if (install_selects_) return mode < *install_selects_;
    return true;
  }

  std::string ModeRange() const {
    if (install_selects_) {
      return "SETUP.INI has " + std::to_string(*install_selects_) + " installation sets, modes 0-" +
             std::to_string(*install_selects_ - 1);
    }
    return "installation modes are 0-9";
  }

  void AddAt(Severity severity, std::size_t line, std::string key, std::string reason) {
    findings_.push_back({severity, s_.update_ini_name, line, std::move(key), std::move(reason)});
  }

  // Each line as the publisher wrote it: sections and keys the updater never reads, a key given
  // twice, a line without '='. What a line is, is split here by its '[', ']' or first '=' (a
  // section header, a key); which line of a key the updater takes is asked of its reader.
  void CheckLines() {
    std::size_t start = 0;
    std::optional<std::string> section;  // the section the lines are in, as the header spells it
    for (std::size_t n = 0; n < ends_.size(); ++n) {
      std::string_view raw = std::string_view(s_.update_ini).substr(start, ends_[n] - start);
      start = ends_[n];
      const std::size_t line = n + 1;
      // A byte order mark is the encoding's finding, not one of its line.
      if (n == 0 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
      const std::string_view text = Trim(raw.substr(0, raw.find_first_of("\r\n")));
      if (text.empty() || text.front() == ';') continue;
      if (text.front() == '[') {
        // The name ends at the first ']' that is a character of its own: the second byte of a
        // double-byte character can be 5D too.
        std::size_t close = 1;
        while (close < text.size() && text[close] != ']') close += upd::cp932::CharLength(text, close);
        const std::string_view name = Trim(text.substr(1, close - 1));
        section = std::string(name);
        if (!SameAscii(name, "SETUP") && !SameAscii(name, "UPDATE")) {
          AddAt(Severity::kWarning, line, "[" + Show(name) + "]",
                "unknown section: the updater reads [SETUP] and [UPDATE] only");
        }
        continue;
      }
      const std::size_t eq = text.find('=');
      const std::string name(Trim(text.substr(0, eq)));
      if (!section) {
        AddAt(Severity::kWarning, line, Show(name), "before any section: the updater never reads it");
        continue;
      }
      const bool known_section = SameAscii(*section, "SETUP") || SameAscii(*section, "UPDATE");
      if (!known_section) continue;  // the section's finding says it
      const std::string key = "[" + Show(*section) + "] " + Show(name);
      if (eq == std::string_view::npos) {
        AddAt(Severity::kWarning, line, key, "a line without '=': the updater reads it as the key '" + Show(name) +
                                                 "' without a value");
        continue;
      }
      if (!IsKeyOf(*section, name)) {
        const std::string_view other = SameAscii(*section, "SETUP") ? "UPDATE" : "SETUP";
        if (IsKeyOf(other, name)) {
          AddAt(Severity::kWarning, line, key,
                "a key of [" + std::string(other) + "], never read in [" + Show(*section) + "]");
        } else if (const auto near = Nearest(name)) {
          AddAt(Severity::kWarning, line, key,
                "unknown key: the updater never reads it; did you mean " + *near + "?");
        } else {
          AddAt(Severity::kWarning, line, key, "unknown key: the updater never reads it");
        }
        continue;
      }
      const std::optional<std::size_t> read_at = FindKeyLine(s_.update_ini, ends_, *section, name);
      if (read_at && *read_at < line) {
        AddAt(Severity::kWarning, line, key,
              "given again: the updater takes the first, on line " + std::to_string(*read_at));
      }
    }
  }

  // RequiredDiskSpace as strtol reads it: the number up to the first other character. A unit
  // after it ("100MB") is not read, so the test asks for far less room than meant.
  void CheckDiskSpaceText() {
    upd::NameString text;
    if (!upd::ReadUpdateValue(s_.update_ini, upd::kUpdateSection, "RequiredDiskSpace", text).found()) return;
    const std::string_view value = text.view();
    std::size_t i = 0;
    while (i < value.size() && IsBlankByte(value[i])) ++i;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
    const std::size_t digits = i;
    while (i < value.size() && std::isdigit(static_cast<unsigned char>(value[i]))) ++i;
    if (i == digits || Trim(value.substr(i)).empty()) return;
    Error("[UPDATE] RequiredDiskSpace", "a number with trailing text " + Quote(value) + ": the updater reads " +
                                            std::to_string(upd::ReadRequiredDiskSpace(s_.update_ini)));
  }

  void CheckSetupIni() {
    const SetupIniRead read = ReadSetupIni(*s_.setup_ini);
    if (read.utf8) Error("SETUP.INI", Utf8Problem("SETUP.INI"));
    if (!read.problem.empty()) {
      Error("SETUP.INI", read.problem);
      return;
    }
    const upd::SetupDescription& d = read.description.setup;
    if (d.InstallSelects > 0) install_selects_ = std::min(d.InstallSelects, kModeDigits);
    for (std::size_t i = 0; i < disc_checks_.size(); ++i) disc_checks_[i] = !d.DiskCheckFile[i].empty();
    setup_read_ = true;
  }

  void CheckSetupSection() {
    for (std::string_view key : kRequiredSetupKeys) {
      upd::NameString value;
      if (!upd::ReadUpdateValue(s_.update_ini, "SETUP", key, value).found()) {
        Error("[SETUP] " + std::string(key), "missing or empty: the updater stops at its start");
      }
    }
    for (std::string_view key : {std::string_view("AgreementText"), std::string_view("AgreementTitle")}) {
      upd::NameString name;
      if (!upd::ReadUpdateValue(s_.update_ini, "SETUP", key, name).found()) continue;
      reserved_.insert(FoldEntryName(name.view()));
      if (!FindEntry(name.view())) {
        Error("[SETUP] " + std::string(key),
              "names " + Quote(name.view()) + ", which the package does not hold: the updater stops at its start");
      }
    }
    upd::NameString data_folder;
    if (upd::ReadUpdateValue(s_.update_ini, "SETUP", "DataFolder", data_folder).found()) {
      CheckPath("[SETUP] DataFolder", "the data folder", data_folder.view());
    }
  }

  // The values of one list's keys 00-99 as the updater reads them; the list's end, the first
  // missing or empty key.
  struct ListKeys {
    std::array<upd::LongString, kKeysLooked> values{};
    std::array<bool, kKeysLooked> present{};
    std::array<bool, kKeysLooked> cut{};
    std::size_t end = kKeysLooked;
  };

  ListKeys ReadKeys(std::string_view stem, std::size_t capacity) {
    ListKeys keys;
    for (std::size_t i = 0; i < kKeysLooked; ++i) {
      const upd::KeyRead read = upd::ReadUpdateValue(s_.update_ini, upd::kUpdateSection, KeyName(stem, i),
                                                     std::span<char>(keys.values[i].bytes).first(capacity));
      keys.present[i] = read.found();
      keys.cut[i] = read.cut;
      if (!keys.present[i] && keys.end == kKeysLooked) keys.end = i;
    }
    return keys;
  }

  // Keys that the updater never reads: past the sixteenth, or after the list's end.
  void CheckUnread(std::string_view stem, const ListKeys& keys) {
    for (std::size_t i = 0; i < kKeysLooked; ++i) {
      if (!keys.present[i]) continue;
      if (i > keys.end) {
        Warning("[UPDATE] " + KeyName(stem, i), "never read: the list ends at the missing or empty " +
                                                    KeyName(stem, keys.end));
      } else if (i >= upd::kUpdateListSlots) {
        Warning("[UPDATE] " + KeyName(stem, i), "never read: the updater reads " + KeyName(stem, 0) + " to " +
                                                    KeyName(stem, upd::kUpdateListSlots - 1) + " only");
      }
    }
  }

  // Whether the value holds an item after the one the updater takes for the path (split by the
  // updater's own list reader): then the item before it was meant as a mode.
  static bool ItemsAfterPath(std::string_view value, bool has_filter) {
    upd::LongString text;
    text.assign(value);
    const char* cursor = text.data();
    std::int32_t disc = 0;
    upd::NameString item;
    std::size_t count = 0;
    while (count < 3 && upd::NextListItem(item, cursor, disc) == upd::ListStep::kItem) ++count;
    return count > (has_filter ? 2u : 1u);
  }

  std::size_t ReadCount(const ListKeys& keys) const { return std::min(keys.end, upd::kUpdateListSlots); }

  void CheckUpdateFiles() {
    const ListKeys keys = ReadKeys("UpdateFile", upd::kUpdateFileCapacity);
    for (std::size_t i = 0; i < ReadCount(keys); ++i) {
      const std::string key = "[UPDATE] " + KeyName("UpdateFile", i);
      const std::string_view value = keys.values[i].view();
      upd::UpdateFileEntry e = upd::ParseUpdateFileValue(value, 0, keys.cut[i]);
      if (!e.applies) e = upd::ParseUpdateFileValue(value, e.filter, keys.cut[i]);
      if (e.fault != upd::UpdateValueFault::kNone) {
        Error(key, std::string(upd::DescribeFault(e.fault)) + ": the updater refuses the update");
        continue;
      }
      if (e.ignored_items) Warning(key, "items after the third are never read");
      if (!e.ignored_items && !e.has_mode && ItemsAfterPath(value, e.filter >= 0)) {
        const std::string_view first = e.item.Path.view();
        Error(key, first.size() == 1 ? Quote(first) + " is not a mode (u, d, o): the updater reads " + Quote(first) +
                                           " as the path"
                                     : "items after the path " + Quote(first) + " are never read");
      }
      if (e.filter >= 0 && !ModePossible(e.filter)) {
        Warning(key, "the filter " + std::to_string(e.filter) + " meets no installation (" + ModeRange() + ")");
      }
      const std::string_view path = e.item.Path.view();
      CheckPath(key, "the path", path);
      const std::string_view name = path.substr(static_cast<std::size_t>(e.item.NameOffset));
      written_.insert(FoldEntryName(name));
      if (name.empty()) {
        Error(key, "names no file: the path " + Quote(path) + " has no file-name part");
      } else if (!FindEntry(name)) {
        Error(key, "writes the entry " + Quote(name) + ", which the package does not hold");
      }
    }
    CheckUnread("UpdateFile", keys);
  }

  void CheckCopyFiles() {
    const ListKeys keys = ReadKeys("CopyFile", upd::kCopyFileCapacity);
    for (std::size_t i = 0; i < ReadCount(keys); ++i) {
      const std::string key = "[UPDATE] " + KeyName("CopyFile", i);
      const std::string_view value = keys.values[i].view();
      upd::CopyFileEntry e = upd::ParseCopyFileValue(value, 0, keys.cut[i]);
      const std::int32_t filter = static_cast<unsigned char>(e.filter) - '0';
      if (!e.applies) e = upd::ParseCopyFileValue(value, filter, keys.cut[i]);
      if (e.fault != upd::UpdateValueFault::kNone) {
        Error(key, std::string(upd::DescribeFault(e.fault)) + ": the updater refuses the update");
        continue;
      }
      CheckPath(key, "the path", e.item.Path.view());
      if (e.has_filter && !ModePossible(filter)) {
        Warning(key, "the filter " + Quote(std::string_view(&e.filter, 1)) + " meets no installation (" +
                         ModeRange() + ")");
      }
      if (setup_read_ && e.item.Disc != 0 && !disc_checks_[static_cast<std::size_t>(e.item.Disc)]) {
        Warning(key, "disc " + std::to_string(e.item.Disc) + " has no DiskCheckFile" +
                         std::to_string(e.item.Disc) + " in SETUP.INI: any disc in any CD-ROM drive is taken for it");
      }
    }
    CheckUnread("CopyFile", keys);
  }

  // The updater's own reading of both lists, for each mode checked.
  void CheckApplicable() {
    bool any = false;
    bool all_read = true;
    std::vector<std::int32_t> empty_modes;
    for (const std::int32_t mode : Modes()) {
      const upd::RunPlan plan = upd::PlanRun(s_.update_ini, mode);
      if (plan.refused_value) {
        all_read = false;
        continue;
      }
      if (plan.stop != upd::PlanStop::kNothingApplies) {
        any = true;
      } else {
        empty_modes.push_back(mode);
      }
    }
    if (!all_read) return;  // the refused values are the errors
    if (any) {
      // With SETUP.INI the modes are known: players of a mode that gets nothing see the update
      // fail. A warning only, since the installer records the mode, not this file.
      if (install_selects_ && !s_.inst_mode) {
        for (const std::int32_t mode : empty_modes) {
          Warning("[UPDATE]", "no UpdateFile or CopyFile entry applies to installation mode " +
                                  std::to_string(mode) + " (" + ModeRange() +
                                  "): the updater writes nothing there and stops");
        }
      }
      return;
    }
    Error("[UPDATE]", s_.inst_mode ? "no UpdateFile or CopyFile entry applies to installation mode " +
                                         std::to_string(*s_.inst_mode) + ": the updater writes nothing and stops"
                                   : "no UpdateFile or CopyFile entry applies to any installation mode (" +
                                         ModeRange() + "): the updater writes nothing and stops");
  }

  void CheckDiskSpace() {
    CheckDiskSpaceText();
    const std::uint32_t required = upd::ReadRequiredDiskSpace(s_.update_ini);
    if (required == 0) return;  // no test
    std::uint64_t most = 0;
    std::int32_t most_mode = 0;
    for (const std::int32_t mode : Modes()) {
      const upd::RunPlan plan = upd::PlanRun(s_.update_ini, mode);
      if (plan.refused_value) continue;
      std::set<std::size_t> entries;
      for (const upd::PlannedItem& item : plan.items) {
        if (!item.Applies()) continue;
        if (auto at = FindEntry(item.Entry())) entries.insert(*at);
      }
      std::uint64_t bytes = 0;
      for (const std::size_t at : entries) bytes += s_.entries[at].size;
      if (bytes > most) {
        most = bytes;
        most_mode = mode;
      }
    }
    if (required < most) {
      Warning("[UPDATE] RequiredDiskSpace",
              std::to_string(required) + " bytes, below the " + std::to_string(most) +
                  " bytes that the update writes" +
                  (s_.inst_mode ? std::string() : " for installation mode " + std::to_string(most_mode)));
    }
  }

  void CheckUnwritten() {
    for (const LintEntry& e : s_.entries) {
      const std::string fold = FoldEntryName(e.name);
      if (fold == "update.ini" || reserved_.count(fold) || written_.count(fold)) continue;
      Add(s_.strict ? Severity::kError : Severity::kWarning, "entry " + Show(e.name), "no UpdateFile entry writes it");
    }
  }

  const LintSubject& s_;
  std::vector<std::size_t> ends_;  // of UPDATE.INI's lines
  std::multimap<std::string, std::size_t> by_fold_;
  std::set<std::string> reserved_;  // UPDATE.INI's agreement entries
  std::set<std::string> written_;   // entries named by UpdateFile values, folded
  std::optional<std::int32_t> install_selects_;
  std::array<bool, upd::kDiskCheckFiles> disc_checks_{};
  bool setup_read_ = false;
  std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> LintUpdate(const LintSubject& subject) { return Linter(subject).Findings(); }

SetupIniRead ReadSetupIni(const fs::path& setup_ini) {
  SetupIniRead read;
  std::error_code ec;
  if (!fs::is_regular_file(setup_ini, ec)) {
    read.problem = "cannot read " + host::ShowPath(setup_ini);
    return read;
  }
  // A file that is there but cannot be read holds no keys, as the profile reader has always
  // taken such a file: the updater's reason is then its first missing key.
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!host::ReadWholeFile(setup_ini, bytes, error)) bytes.clear();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  read.utf8 = LooksLikeUtf8(text);
  read.description = upd::ReadSetupDescription(text);
  if (read.description.fault) {
    read.problem = "cannot be read as the installer's description (the updater says: " +
                   Show(read.description.fault->text.view()) + ")";
  }
  return read;
}

void PrintFindings(std::ostream& s, std::string_view prefix, const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    s << prefix;
    if (!f.file.empty()) {
      s << f.file;
      if (f.line) s << ':' << *f.line;
      s << ": ";
    }
    s << (f.severity == Severity::kError ? "error: " : "warning: ") << f.key << ": " << f.reason
      << "\n";
  }
}

std::size_t CountErrors(const std::vector<Finding>& findings) {
  return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(), [](const Finding& f) {
    return f.severity == Severity::kError;
  }));
}

bool FailsCheck(const std::vector<Finding>& findings, bool strict) {
  return CountErrors(findings) > 0 || (strict && !findings.empty());
}

}  // namespace updpack
