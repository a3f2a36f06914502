#include "config/item_path.h"

#include <array>
#include <cstddef>

#include "config/cp932.h"

namespace upd {
namespace {

// The bytes that complete a double-byte character after a lead byte. A lead byte followed by
// anything else is no character that the file system could be given.
constexpr bool IsTrailByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

constexpr bool IsSeparator(char c) { return c == '\\' || c == '/'; }

constexpr bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// `name` equals `upper` (ASCII capitals) in any case. Bytes of double-byte characters are all
// 0x40 or above and never meet a device name's letters in their place, so a byte-wise
// comparison is exact.
bool EqualsIgnoringCase(std::string_view name, std::string_view upper) {
  if (name.size() != upper.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (AsciiUpper(name[i]) != upper[i]) return false;
  }
  return true;
}

// Windows opens a device whatever follows the name after a dot, and drops blanks before that
// dot: "con", "CON.txt" and "Con .log.gz" all open the console. COM and LPT with the
// superscript digits are devices too, but code page 932 holds no superscripts, so no path of
// ours can spell them. COM0 and LPT0 are refused as Windows documents them reserved.
bool IsDeviceName(std::string_view name) {
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const std::string_view device : kDevices) {
    if (EqualsIgnoringCase(name, device)) return true;
  }
  if (name.size() != 4 || name[3] < '0' || name[3] > '9') return false;
  return EqualsIgnoringCase(name.substr(0, 3), "COM") || EqualsIgnoringCase(name.substr(0, 3), "LPT");
}

// One component other than "", "." and "..".
ItemPathFault CheckName(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const auto b = static_cast<unsigned char>(c);
    if (cp932::IsLeadByte(c)) {
      if (i + 1 == name.size() || !IsTrailByte(name[i + 1])) return ItemPathFault::kBadName;
      ++i;  // the second byte is part of the character, whatever it looks like alone
    } else if (b < 0x20 || b == 0x7F) {
      return ItemPathFault::kControlCharacter;
    } else if (c == ':') {
      return ItemPathFault::kStream;
    } else if (c == '<' || c == '>' || c == '"' || c == '|') {
      return ItemPathFault::kBadName;
    }
  }
  if (IsDeviceName(name)) return ItemPathFault::kDevice;
  // Windows drops a name's final dots and blanks, and the file written would be another one.
  if (name.back() == '.' || name.back() == ' ') return ItemPathFault::kBadName;
  return ItemPathFault::kNone;
}

}  // namespace

ItemPathFault CheckItemPath(std::string_view path) {
  if (path.empty()) return ItemPathFault::kNone;
  // "\x", "/x", "\\server\share", "\\?\C:\x", "C:\x" and the drive-relative "C:x".
  if (IsSeparator(path[0])) return ItemPathFault::kLeavesFolder;
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':') return ItemPathFault::kLeavesFolder;

  // How many folders below the start the path stands after each component: a ".." at 0
  // leaves the folder even when later components come back into it, since the file system
  // resolves the path from the left.
  std::size_t depth = 0;
  std::size_t start = 0;
  std::size_t i = 0;
  while (true) {
    if (i == path.size() || IsSeparator(path[i])) {
      const std::string_view name = path.substr(start, i - start);
      if (name == "..") {
        if (depth == 0) return ItemPathFault::kLeavesFolder;
        --depth;
      } else if (!name.empty() && name != ".") {
        if (const ItemPathFault fault = CheckName(name); fault != ItemPathFault::kNone) return fault;
        ++depth;
      }
      if (i == path.size()) return ItemPathFault::kNone;
      start = ++i;
    } else {
      i += cp932::IsLeadByte(path[i]) && i + 1 < path.size() && IsTrailByte(path[i + 1]) ? 2 : 1;
    }
  }
}

std::string_view DescribeItemPathFault(ItemPathFault fault) {
  switch (fault) {
    case ItemPathFault::kNone:
      return "stays inside its folder";
    case ItemPathFault::kLeavesFolder:
      return "leaves the folder it is relative to (an absolute path, a drive, or '..' above the folder)";
    case ItemPathFault::kStream:
      return "names a stream (a ':' in a name)";
    case ItemPathFault::kDevice:
      return "names a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$ or CONOUT$, with any extension)";
    case ItemPathFault::kControlCharacter:
      return "holds a control character";
    case ItemPathFault::kBadName:
      return "holds a name Windows would change or refuse (ending in '.' or ' ', holding < > \" or |, or a "
             "double-byte character without its second byte)";
  }
  return "is not a usable path";
}

}  // namespace upd
