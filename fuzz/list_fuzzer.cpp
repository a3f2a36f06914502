// NextListItem over any value, item after item until the list ends or refuses an item, against
// a plain reference split written from the list grammar. Each item lands alone in a heap slot
// of exactly 260 bytes, so a write past it is caught; the cursor only moves forward and stays
// inside the value; a refused item leaves the slot, the disc and the cursor's item alone.
// Input: the value (it ends at its first NUL or at the input's end).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/state.h"
#include "config/profile.h"
#include "fuzz_check.h"
#include "no_boxes.h"


namespace {


bool IsItemEnd(char c) { return c == '\0' || c == '\n' || c == '\r' || c == ','; }

constexpr char kFill = '\x5A';

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The value as a C string in a buffer of exactly its size.
  std::vector<char> value(reinterpret_cast<const char*>(data),
                          reinterpret_cast<const char*>(data) + size);
  value.push_back('\0');
  const std::size_t length = std::strlen(value.data());
  const char* const begin = value.data();
  const char* const end = begin + length;  // the NUL that ends the value

  auto item = std::make_unique<upd::NameString>();
  std::int32_t run_disc = -7;  // what NextListItem keeps
  std::int32_t disc = -7;
  std::size_t at = 0;  // the reference's position
  const char* cursor = begin;
  for (;;) {
    std::memset(item->data(), kFill, upd::NameString::capacity());
    const char* const before = cursor;
    const upd::ListStep step = upd::NextListItem(*item, cursor, run_disc);
    Check(cursor >= before && cursor >= begin && cursor <= end);

    while (begin[at] == ' ' || begin[at] == '\t') ++at;
    if (IsItemEnd(begin[at])) {
      Check(step == upd::ListStep::kEnd && cursor == begin + at);
      break;
    }
    const bool prefixed = begin[at + 1] == ':';
    const std::size_t start = prefixed ? at + 2 : at;
    std::size_t stop = start;
    while (!IsItemEnd(begin[stop])) ++stop;
    if (stop - start > 259) {
      Check(step == upd::ListStep::kTooLong && cursor == begin + at);
      Check(run_disc == disc);
      Check(std::all_of(item->bytes.begin(), item->bytes.end(), [](char c) { return c == kFill; }));
      break;
    }
    Check(step == upd::ListStep::kItem);
    if (prefixed) disc = begin[at] >= '0' && begin[at] <= '9' ? begin[at] - '0' : 0;
    Check(run_disc == disc);
    const std::string_view expected(begin + start, stop - start);
    Check(std::string_view(item->data(), expected.size()) == expected);
    Check(item->data()[expected.size()] == '\0');
    // Nothing behind the item's NUL is written.
    Check(std::all_of(item->bytes.begin() + static_cast<std::ptrdiff_t>(expected.size() + 1),
                      item->bytes.end(), [](char c) { return c == kFill; }));
    at = begin[stop] == '\0' ? stop : stop + 1;
    Check(cursor == begin + at && cursor > before);
  }
  return 0;
}
