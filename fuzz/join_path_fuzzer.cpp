// JoinPath on any buffer size, path and component: when it refuses, the buffer is as it was
// (and it refuses only a result that cannot fit, or a buffer without a NUL); otherwise the
// buffer holds path + at most one separator + component, ended by two NULs, and nothing behind
// them changed. The buffer is a heap block of exactly its size, so a write past it is caught.
// Input: buffer size (1 byte), path length (1 byte; bit 7: no NUL after the path), the path,
// then the component (it ends at its first NUL or at the input's end).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/profile.h"
#include "fuzz_check.h"
#include "no_boxes.h"


namespace {


bool IsLead(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// True when the last character of `path`, walking whole characters from its start, is a
// single-byte '\' or '/'.
bool EndsInSeparator(std::string_view path) {
  std::size_t last = 0, width = 0;
  for (std::size_t i = 0; i < path.size(); i += width) {
    width = IsLead(path[i]) && i + 1 < path.size() ? 2 : 1;
    last = i;
  }
  return width == 1 && (path[last] == '\\' || path[last] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = data[0] + (data[0] >= 0xF0 ? 16 * (data[0] - 0xEF) : 0);
  const bool unterminated = (data[1] & 0x80) != 0;
  const std::size_t path_length = data[1] & 0x7F;
  if (size < 2 + path_length) return 0;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const std::string_view path_bytes(text, path_length);
  const std::vector<char> component_bytes(text + path_length, reinterpret_cast<const char*>(data + size));
  const std::string_view component(component_bytes.data(), component_bytes.size());

  // The buffer: the path bytes, a NUL unless left out, then fill bytes.
  std::vector<char> buffer(capacity, '\x7E');
  std::copy_n(path_bytes.begin(), std::min(capacity, path_bytes.size()), buffer.begin());
  if (!unterminated && path_bytes.size() < capacity) buffer[path_bytes.size()] = '\0';
  const std::vector<char> original = buffer;

  const bool joined = upd::JoinPath(buffer, component);
  const auto nul = std::find(original.begin(), original.end(), '\0');
  if (nul == original.end()) {
    Check(!joined && buffer == original);
    return 0;
  }
  const std::string_view base(original.data(), static_cast<std::size_t>(nul - original.begin()));
  const std::string_view part = component.substr(0, component.find('\0'));
  std::string expected(base);
  if (!base.empty() && !EndsInSeparator(base)) expected += '\\';
  expected += part;
  if (expected.size() + 2 > capacity) {
    Check(!joined && buffer == original);
    return 0;
  }
  Check(joined);
  Check(std::string_view(buffer.data(), expected.size()) == expected);
  Check(buffer[expected.size()] == '\0' && buffer[expected.size() + 1] == '\0');
  Check(std::equal(buffer.begin() + static_cast<std::ptrdiff_t>(expected.size() + 2), buffer.end(),
                   original.begin() + static_cast<std::ptrdiff_t>(expected.size() + 2)));
  return 0;
}
