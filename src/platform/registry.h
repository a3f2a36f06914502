// Reading the game installer's registry key with the wide API. Values are taken as a Japanese
// Windows's ANSI registry functions would hand them over (capacities in code page 932 bytes),
// but strings stay wide, so a folder name that no single ANSI code page can spell survives.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/handles.h"

namespace upd::platform {

// Opens `path` (code page 932 text) below `hive` for reading; empty when it cannot be opened.
UniqueRegistryKey OpenKeyForReading(HKEY hive, std::string_view path);

// A text value that fits `capacity` bytes (its terminator included) in code page 932. Nothing
// when the value is missing or larger. String types are read as the text they hold (up to the
// first NUL); other types give their bytes as code page 932 text, as the ANSI query would.
std::optional<std::wstring> QueryTextValue(HKEY key, const wchar_t* name, std::size_t capacity);

// The first four bytes of a value, as stored (little-endian; fewer bytes leave the rest 0). A
// string value counts with its code page 932 bytes and terminator. Nothing when the value is
// missing or larger than four bytes.
std::optional<std::uint32_t> QueryFourBytes(HKEY key, const wchar_t* name);

}  // namespace upd::platform
