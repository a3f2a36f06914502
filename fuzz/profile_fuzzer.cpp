// The profile reader on any file, section and key, into a destination of any capacity: a short
// destination gets the longest prefix of the whole value that ends on a character boundary and
// fits capacity - 1 bytes, never the first byte of a double-byte character alone; the count is
// the value's length, or capacity - 1 for a cut value; nothing after the terminating NUL is
// written, inside the destination or past it. Input: capacity (1 byte), section length and key
// length (1 byte each, up to 15), the section, the key, then the file's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "fuzz_check.h"
#include "no_boxes.h"


namespace {


constexpr std::uint8_t kGuard = 0xA5;  // neither NUL nor a byte the reader stops at
constexpr std::size_t kGuardBytes = 16;

bool IsLead(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The longest prefix of `v` within `room` bytes that splits no double-byte character (a lead
// byte as the value's last byte is a character of its own).
std::size_t BoundaryPrefix(std::string_view v, std::size_t room) {
  std::size_t at = 0;
  while (at < v.size()) {
    const std::size_t n = IsLead(v[at]) && at + 1 < v.size() ? 2 : 1;
    if (at + n > room) break;
    at += n;
  }
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t capacity = data[0];
  const std::size_t section_length = data[1] & 0x0F;
  const std::size_t key_length = data[2] & 0x0F;
  if (size < 3 + section_length + key_length) return 0;
  const char* text = reinterpret_cast<const char*>(data + 3);
  const std::string_view section(text, section_length);
  const std::string_view key(text + section_length, key_length);
  const std::vector<char> file(text + section_length + key_length,
                               reinterpret_cast<const char*>(data + size));  // exact bounds
  const std::string_view ini(file.data(), file.size());

  // The whole value: a destination larger than the file can never cut.
  std::vector<char> whole(ini.size() + 1, static_cast<char>(kGuard));
  bool whole_cut = true;
  const std::size_t length = upd::ReadProfileString(ini, section, key, whole, whole_cut);
  Check(!whole_cut && length <= ini.size() && whole[length] == '\0');
  const std::string_view value(whole.data(), length);
  Check(value.find('\0') == std::string_view::npos);
  Check(value.find_first_of("\r\n") == std::string_view::npos);

  // The same with `capacity` bytes, inside guard bytes on both sides.
  std::vector<char> buffer(kGuardBytes + capacity + kGuardBytes, static_cast<char>(kGuard));
  const std::span<char> destination(buffer.data() + kGuardBytes, capacity);
  bool cut = false;
  const std::size_t count = upd::ReadProfileString(ini, section, key, destination, cut);
  std::size_t written = 0;  // bytes of the destination written, the NUL included
  if (capacity == 0) {
    Check(count == 0 && !cut);
  } else if (length <= capacity - 1) {
    Check(count == length && !cut);
    Check(std::string_view(destination.data(), length) == value && destination[length] == '\0');
    written = length + 1;
  } else {
    const std::size_t kept = BoundaryPrefix(value, capacity - 1);
    Check(cut && count == capacity - 1);
    Check(kept == capacity - 1 || kept + 1 == capacity - 1);
    Check(std::string_view(destination.data(), kept) == value.substr(0, kept));
    Check(destination[kept] == '\0');
    written = kept + 1;
  }
  Check(std::all_of(buffer.begin(), buffer.begin() + kGuardBytes,
                    [](char c) { return c == static_cast<char>(kGuard); }));
  Check(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(kGuardBytes + written),
                    buffer.end(), [](char c) { return c == static_cast<char>(kGuard); }));

  // A value of exactly capacity - 1 bytes is whole.
  std::vector<char> exact(length + 1, static_cast<char>(kGuard));
  bool exact_cut = true;
  Check(upd::ReadProfileString(ini, section, key, exact, exact_cut) == length && !exact_cut);
  Check(std::string_view(exact.data(), length) == value && exact[length] == '\0');
  return 0;
}
