#include "entry_name.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>

#include "config/cp932.h"

namespace updpack {
namespace {

bool IsTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

bool IsSingleByte(unsigned char c) { return (c >= 0x01 && c <= 0x7F) || (c >= 0xA1 && c <= 0xDF); }


// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, alone or before an extension: Windows opens the
// device instead of a file.
bool IsDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string lower;
  for (char c : stem) lower += upd::cp932::AsciiLower(c);
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  for (std::string_view d : kPlain) {
    if (lower == d) return true;
  }
  return lower.size() == 4 && (lower.starts_with("com") || lower.starts_with("lpt")) &&
         lower[3] >= '1' && lower[3] <= '9';
}

struct CodeRange {
  std::uint16_t first, last;
};
struct CodeFold {
  std::uint16_t code, fold;
};
struct CodeKind {
  std::uint16_t first, last;
  std::uint8_t kind;
};

#include "name_fold_table.inc"

std::uint16_t FoldedCode(std::uint16_t code) {
  const auto it = std::lower_bound(std::begin(kFolds), std::end(kFolds), code,
                                   [](const CodeFold& f, std::uint16_t c) { return f.code < c; });
  return it != std::end(kFolds) && it->code == code ? it->fold : code;
}

std::optional<std::uint16_t> MarkStandsFor(std::uint16_t code) {
  const auto it =
      std::lower_bound(std::begin(kMarkStandsFor), std::end(kMarkStandsFor), code,
                       [](const CodeFold& f, std::uint16_t c) { return f.code < c; });
  if (it == std::end(kMarkStandsFor) || it->code != code) return std::nullopt;
  return it->fold;
}

std::optional<std::size_t> MarkKindAfter(std::uint16_t code) {
  const auto it = std::upper_bound(std::begin(kMarkContexts), std::end(kMarkContexts), code,
                                   [](std::uint16_t c, const CodeKind& r) { return c < r.first; });
  if (it == std::begin(kMarkContexts) || code > std::prev(it)->last) return std::nullopt;
  return std::prev(it)->kind;
}

void AppendCode(std::string& out, std::uint16_t code) {
  if (code == 0) return;  // a character the comparison does not see
  if (code > 0xFF) out += static_cast<char>(code >> 8);
  out += static_cast<char>(code & 0xFF);
}

}  // namespace

std::optional<std::string> EntryNameFault(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > kMaxEntryName) {
    return "the name takes " + std::to_string(name.size()) +
           " bytes in code page 932; at most 259 fit";
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(c)) {
      if (i + 1 == name.size() || !IsTrailByte(static_cast<unsigned char>(name[i + 1]))) {
        return "the name is not valid code page 932 text";
      }
      // A code without a character would show as ・ on Windows.
      if (!IsSpeltCode(static_cast<std::uint16_t>(c << 8 | static_cast<unsigned char>(name[i + 1])))) {
        return "the name holds a code that code page 932 gives no character";
      }
      ++i;
      continue;
    }
    if (!IsSingleByte(c)) return "the name is not valid code page 932 text";
    if (c == '\\' || c == '/') return "the name has a folder part";
    if (c == ':') return "the name has a drive or stream part (':')";
    if (c < 0x20 || std::string_view("<>\"|?*").find(static_cast<char>(c)) != std::string_view::npos) {
      return "the name holds a character Windows refuses in file names";
    }
  }
  if (name == "." || name == "..") return "the name refers to a folder";
  if (name.back() == '.' || name.back() == ' ') return "the name ends in a dot or a blank";
  if (IsDeviceName(name)) return "the name is a Windows device name";
  return std::nullopt;
}

std::string FoldEntryName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  // The last character that was no mark: the marks behind it compare by it.
  std::optional<std::uint16_t> before;
  for (std::size_t i = 0; i < name.size();) {
    std::uint16_t code = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(static_cast<unsigned char>(code)) && i + 1 < name.size()) {
      code = static_cast<std::uint16_t>(code << 8 | static_cast<unsigned char>(name[i + 1]));
      i += 2;
    } else {
      i += 1;
    }
    const auto mark = std::find(std::begin(kMarks), std::end(kMarks), code);
    if (mark == std::end(kMarks)) {
      AppendCode(out, FoldedCode(code));
      before = code;
    } else if (!before) {
      AppendCode(out, FoldedCode(code));  // at the start all marks are alike
    } else if (const auto other = MarkStandsFor(*before)) {
      AppendCode(out, *other);  // after Ａ: as A, the character without its width and case
    } else if (const auto kind = MarkKindAfter(*before)) {
      // After a kana a mark keeps a weight of its own: a token no character folds to.
      out += '\0';
      AppendCode(out, kMarkKinds[*kind][mark - std::begin(kMarks)]);
    } else {
      AppendCode(out, FoldedCode(*before));  // after a kanji or a letter: that character again
    }
  }
  return out;
}

bool IsSpeltCode(std::uint16_t code) {
  const auto it = std::upper_bound(std::begin(kSpelt), std::end(kSpelt), code,
                                   [](std::uint16_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(kSpelt) && code <= std::prev(it)->last;
}

}  // namespace updpack
