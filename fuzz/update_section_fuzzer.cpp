// The [UPDATE] parser on any value: ParseUpdateFileValue against a plain reference split written
// from the list grammar (blanks, item ends, the "N:" prefix, at most three items, 259 bytes an
// item), and ParseCopyFileValue against the prefix rules. Input: installation mode (1 byte),
// flags (1 byte: bit 0 = the read cut the value), then the value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/state.h"
#include "config/cp932.h"
#include "config/update_section.h"
#include "fuzz_check.h"
#include "no_boxes.h"

namespace {


bool IsItemEnd(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ','; }

struct Split {
  std::vector<std::string> items;
  bool too_long = false;
  bool read_to_end = false;
};

// Up to three items of the value (which ends at its first NUL).
Split ReferenceSplit(std::string_view v) {
  Split s;
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return k < v.size() ? v[k] : '\0'; };
  while (s.items.size() < 3) {
    while (at(i) == ' ' || at(i) == '\t') ++i;
    if (IsItemEnd(at(i))) break;
    std::size_t start = at(i + 1) == ':' ? i + 2 : i;
    std::size_t end = start;
    while (!IsItemEnd(at(end))) ++end;
    if (end - start > 259) {
      s.too_long = true;
      break;
    }
    s.items.emplace_back(v.substr(start, end - start));
    i = at(end) == '\0' ? end : end + 1;
  }
  s.read_to_end = at(i) == '\0';
  return s;
}

}  // namespace


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int32_t mode = data[0] < 12 ? data[0] : static_cast<std::int32_t>(data[0]) - 200;
  const bool cut = (data[1] & 1) != 0;
  std::string_view value(reinterpret_cast<const char*>(data + 2), size - 2);

  const upd::UpdateFileEntry u = upd::ParseUpdateFileValue(value, mode, cut);
  std::string_view as_read = value.substr(0, value.find('\0'));
  const bool long_value = as_read.size() > 1023;
  if (long_value) as_read = as_read.substr(0, upd::cp932::CutLength(as_read, 1023));
  const Split ref = ReferenceSplit(as_read);
  if (ref.too_long) {
    Check(u.fault == upd::UpdateValueFault::kItemTooLong);
  } else if ((cut || long_value) && ref.read_to_end) {
    Check(u.fault == upd::UpdateValueFault::kValueCut);
  } else {
    Check(u.fault == upd::UpdateValueFault::kNone);
  }
  const bool filter = !ref.items.empty() && ref.items[0].size() == 1 && ref.items[0][0] >= '0' &&
                      ref.items[0][0] <= '9';
  if (!ref.too_long || !ref.items.empty()) {
    Check(u.filter == (filter ? ref.items[0][0] - '0' : -1));
    Check(u.applies == (!filter || u.filter == mode));
  } else {
    Check(u.applies && u.filter == -1);  // no filter can be told: taken as applying
  }
  if (u.fault == upd::UpdateValueFault::kNone && u.applies) {
    std::size_t next = filter ? 1 : 0;
    if (next < ref.items.size() && ref.items[next].size() == 1 &&
        std::string_view("dDuUoO").find(ref.items[next][0]) != std::string_view::npos) {
      Check(u.item.Mode != upd::UpdateMode::kNone);
      ++next;
    } else {
      Check(u.item.Mode == upd::UpdateMode::kNone);
    }
    const std::string path = next < ref.items.size() ? ref.items[next] : std::string();
    Check(u.item.Path.view() == path);
    // The name part starts after a '\' that is a character of its own, and holds none.
    const auto offset = static_cast<std::size_t>(u.item.NameOffset);
    Check(offset <= path.size());
    std::size_t last = 0;
    for (std::size_t k = 0; k < path.size(); k += upd::cp932::CharLength(path, k)) {
      if (path[k] == '\\') last = k + 1;
    }
    Check(offset == last);
  } else {
    Check(u.item.Path.empty());
  }

  const upd::CopyFileEntry c = upd::ParseCopyFileValue(value, mode, cut);
  std::string_view rest = value.substr(0, value.find('\0'));
  const bool too_long = cut || rest.size() > 259;
  if (!too_long && c.fault == upd::UpdateValueFault::kNone && c.applies) {
    if (rest.size() >= 2 && rest[1] == ',') rest.remove_prefix(2);
    if (rest.size() >= 2 && rest[1] == ':') rest.remove_prefix(2);
    Check(c.item.Path.view() == rest);
    Check(c.item.Disc >= 0 && c.item.Disc <= 9);
  }
  if (too_long) Check(c.fault == upd::UpdateValueFault::kPathTooLong);
  return 0;
}
