// CheckItemPath on any path, against a reading of the rules in item_path.h made apart from it:
// the path cut into code page 932 characters (a lead byte takes the next byte along, whatever
// it is, so a '\' or '/' there separates nothing), split at the separators left, and resolved
// lexically on a stack of names. The path is sound exactly when that reading finds no fault;
// a fault given is one of those of the first step that has any (an absolute or drive start,
// then the components from the left). Then transformations whose effect the rules fix: case,
// the kind of separator, doubled separators, "." and "x\.." put in, a folder put in front, a cut
// at a separator, "\.." after a sound path, and a sound path joined to itself.
// Input: the path (longer than any list could give: ignored).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/item_path.h"
#include "fuzz_check.h"

namespace {

using upd::CheckItemPath;
using upd::ItemPathFault;

bool IsLead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

bool IsSlash(char c) { return c == '\\' || c == '/'; }

// Where each separator of `path` is: a '\' or '/' that is a character of its own.
std::vector<std::size_t> Separators(std::string_view path) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsLead(static_cast<unsigned char>(path[i]))) {
      ++i;  // the next byte belongs to this character
    } else if (IsSlash(path[i])) {
      at.push_back(i);
    }
  }
  return at;
}

using FaultSet = unsigned;

constexpr FaultSet Bit(ItemPathFault f) { return 1u << static_cast<unsigned>(f); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Windows opens a device for the name before the first dot, blanks at its end dropped.
bool IsDevice(std::string_view name) {
  std::string_view before_dot = name.substr(0, name.find('.'));
  while (!before_dot.empty() && before_dot.back() == ' ') before_dot.remove_suffix(1);
  if (before_dot.size() > 7) return false;
  char buffer[7];
  for (std::size_t i = 0; i < before_dot.size(); ++i) buffer[i] = Upper(before_dot[i]);
  const std::string_view stem(buffer, before_dot.size());
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" || stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '0' && stem[3] <= '9';
}

// Every fault that a component other than "", "." and ".." has.
FaultSet NameFaults(std::string_view name) {
  FaultSet faults = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    if (IsLead(b)) {
      // A character needs a second byte that code page 932 has after a lead byte.
      const int second = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : -1;
      if (second < 0x40 || second == 0x7F || second > 0xFC) faults |= Bit(ItemPathFault::kBadName);
      ++i;
      continue;
    }
    if (b < 0x20 || b == 0x7F) faults |= Bit(ItemPathFault::kControlCharacter);
    if (b == ':') faults |= Bit(ItemPathFault::kStream);
    if (b == '<' || b == '>' || b == '"' || b == '|') faults |= Bit(ItemPathFault::kBadName);
  }
  if (IsDevice(name)) faults |= Bit(ItemPathFault::kDevice);
  if (name.back() == '.' || name.back() == ' ') faults |= Bit(ItemPathFault::kBadName);
  return faults;
}

struct Reading {
  FaultSet first = 0;      // the faults of the first faulty step; 0 when sound
  std::size_t depth = 0;   // names left on the stack at the end, when sound
};

Reading Read(std::string_view path) {
  Reading r;
  if (path.empty()) return r;
  const bool drive = path.size() >= 2 && path[1] == ':' && Upper(path[0]) >= 'A' && Upper(path[0]) <= 'Z';
  if (IsSlash(path[0]) || drive) {
    r.first = Bit(ItemPathFault::kLeavesFolder);
    return r;
  }
  std::vector<std::string_view> stack;
  std::size_t begin = 0;
  std::vector<std::size_t> cuts = Separators(path);
  cuts.push_back(path.size());
  for (const std::size_t end : cuts) {
    const std::string_view name = path.substr(begin, end - begin);
    begin = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.empty()) {
        r.first = Bit(ItemPathFault::kLeavesFolder);
        return r;
      }
      stack.pop_back();
      continue;
    }
    if ((r.first = NameFaults(name)) != 0) return r;
    stack.push_back(name);
  }
  r.depth = stack.size();
  return r;
}

std::string ReplaceAt(std::string_view path, std::size_t at, std::size_t length, std::string_view with) {
  std::string out(path.substr(0, at));
  out += with;
  out += path.substr(at + length);
  return out;
}

}  // namespace

// A list item holds at most 259 bytes; longer paths only slow the run down.
constexpr std::size_t kLongestPath = 520;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kLongestPath) return 0;
  const std::string path(reinterpret_cast<const char*>(data), size);
  const ItemPathFault fault = CheckItemPath(path);
  const Reading reading = Read(path);
  Check(fault == ItemPathFault::kNone ? reading.first == 0 : (reading.first & Bit(fault)) != 0);
  Check(DescribeItemPathFault(fault) != DescribeItemPathFault(static_cast<ItemPathFault>(0xFF)));

  // Letter case matters to no rule (drives and devices are read in any case).
  std::string flipped = path;
  for (std::size_t i = 0; i < flipped.size(); ++i) {
    const char c = flipped[i];
    if (IsLead(static_cast<unsigned char>(c))) {
      ++i;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      flipped[i] = static_cast<char>(c ^ 0x20);
    }
  }
  Check(CheckItemPath(flipped) == fault);

  const std::vector<std::size_t> separators = Separators(path);
  if (!separators.empty()) {
    // '\' and '/' are one separator, and a run of them separates as one.
    std::string swapped = path, doubled;
    for (const std::size_t at : separators) swapped[at] = path[at] == '\\' ? '/' : '\\';
    std::size_t from = 0;
    for (const std::size_t at : separators) {
      doubled.append(path, from, at + 1 - from);
      doubled += path[at];
      from = at + 1;
    }
    doubled.append(path, from);
    Check(CheckItemPath(swapped) == fault);
    Check(CheckItemPath(doubled) == fault);

    // At one separator: "." or a name and ".." after it change nothing; the path up to it
    // already holds the fault of the whole when it has one (faults are found from the left).
    const std::size_t at = separators[size % separators.size()];
    Check(CheckItemPath(ReplaceAt(path, at + 1, 0, ".\\")) == fault);
    Check(CheckItemPath(ReplaceAt(path, at + 1, 0, "x/..\\")) == fault);
    const ItemPathFault head = CheckItemPath(path.substr(0, at));
    Check(head == ItemPathFault::kNone || head == fault);
  }

  // One folder more in front: a ".." that climbed out may now stay inside, nothing else moves.
  const ItemPathFault deeper = CheckItemPath("a\\" + path);
  Check(fault == ItemPathFault::kLeavesFolder || deeper == fault);

  if (fault == ItemPathFault::kNone && !path.empty()) {
    // ".." after a sound path leaves the folder exactly when the path ends in the folder itself.
    Check(CheckItemPath(path + "\\..") ==
          (reading.depth == 0 ? ItemPathFault::kLeavesFolder : ItemPathFault::kNone));
    Check(CheckItemPath(path + "/" + path) == ItemPathFault::kNone);
  }
  return 0;
}
