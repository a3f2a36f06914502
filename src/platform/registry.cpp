#include "platform/registry.h"

#include <cstring>
#include <vector>

#include "platform/codepage.h"

namespace upd::platform {
namespace {

struct RawValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

std::optional<RawValue> QueryRaw(HKEY key, const wchar_t* name) {
  RawValue value;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.bytes.resize(size);
  if (RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.bytes.resize(size);
  return value;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The UTF-16 text of a string value, up to its first NUL.
std::wstring StringOf(const RawValue& value) {
  std::wstring text(value.bytes.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), value.bytes.data(), text.size() * sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  return text;
}

}  // namespace

UniqueRegistryKey OpenKeyForReading(HKEY hive, std::string_view path) {
  const std::wstring wide = WidenCp932Lossy(path);
  HKEY key = nullptr;
  if (RegOpenKeyExW(hive, wide.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  return UniqueRegistryKey(key);
}

std::optional<std::wstring> QueryTextValue(HKEY key, const wchar_t* name, std::size_t capacity) {
  std::optional<RawValue> value = QueryRaw(key, name);
  if (!value) return std::nullopt;
  if (IsStringType(value->type)) {
    std::wstring text = StringOf(*value);
    // The size the ANSI query would need: the code page 932 bytes and the terminator.
    if (NarrowCp932Lossy(text).size() + 1 > capacity) return std::nullopt;
    return text;
  }
  if (value->bytes.size() > capacity) return std::nullopt;
  std::string bytes(value->bytes.begin(), value->bytes.end());
  bytes.resize(::strnlen(bytes.data(), bytes.size()));
  return WidenCp932Lossy(bytes);
}

std::optional<std::uint32_t> QueryFourBytes(HKEY key, const wchar_t* name) {
  std::optional<RawValue> value = QueryRaw(key, name);
  if (!value) return std::nullopt;
  std::vector<BYTE> bytes = value->bytes;
  if (IsStringType(value->type)) {
    const std::string narrow = NarrowCp932Lossy(StringOf(*value));
    bytes.assign(narrow.begin(), narrow.end());
    bytes.push_back(0);
  }
  if (bytes.size() > 4) return std::nullopt;
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) number |= std::uint32_t{bytes[i]} << (8 * i);
  return number;
}

}  // namespace upd::platform
