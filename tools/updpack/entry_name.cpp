#include "entry_name.h"

#include <array>

namespace updpack {
namespace {

bool IsTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

bool IsSingleByte(unsigned char c) { return (c >= 0x01 && c <= 0x7F) || (c >= 0xA1 && c <= 0xDF); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, alone or before an extension: Windows opens the
// device instead of a file.
bool IsDeviceName(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string lower;
  for (char c : stem) lower += AsciiLower(c);
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  for (std::string_view d : kPlain) {
    if (lower == d) return true;
  }
  return lower.size() == 4 && (lower.starts_with("com") || lower.starts_with("lpt")) &&
         lower[3] >= '1' && lower[3] <= '9';
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
  std::string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (!IsLeadByte(c)) {
      out[i] = AsciiLower(out[i]);
      continue;
    }
    if (i + 1 == out.size()) break;
    auto& t = reinterpret_cast<unsigned char&>(out[i + 1]);
    if (c == 0x82 && t >= 0x60 && t <= 0x79) {
      t = static_cast<unsigned char>(t + 0x21);  // Ａ-Ｚ -> ａ-ｚ
    } else if (c == 0x83 && t >= 0x9F && t <= 0xB6) {
      t = static_cast<unsigned char>(t + 0x20);  // Α-Ω -> α-ω
    } else if (c == 0x84 && t >= 0x40 && t <= 0x60) {
      // А-Я -> а-я; the lower-case run skips the unused trail byte 0x7F.
      const unsigned lower = 0x70u + (t - 0x40u);
      t = static_cast<unsigned char>(lower >= 0x7F ? lower + 1 : lower);
    }
    ++i;
  }
  return out;
}

}  // namespace updpack
