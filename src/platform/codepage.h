// Code page 932 <-> UTF-16 at the boundary to Windows. The updater's strings are code page 932
// bytes whatever the system locale; every call into Windows goes through the wide API.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace upd::platform {

inline constexpr unsigned kJapaneseCodePage = 932;

// Converts code page 932 bytes to UTF-16. Invalid byte sequences fail rather than turn into
// replacement characters, so a name that cannot be spelt is never silently altered.
std::optional<std::wstring> WidenCp932(std::string_view text);

// Converts UTF-16 to code page 932; fails for characters code page 932 cannot hold.
std::optional<std::string> NarrowCp932(std::wstring_view text);

// For texts shown to the user: never fails; invalid bytes become the system's default character.
std::wstring WidenCp932Lossy(std::string_view text);

// For system paths shown to the user: never fails; characters code page 932 cannot hold become
// its default character.
std::string NarrowCp932Lossy(std::wstring_view text);

// Code page 932 bytes as the system's ANSI code page reads them: the names another program gave
// Windows through the ANSI calls (RegisterClassA, CreateWindowExA) are held in this form. Only
// for finding such a program's windows; never fails, as the system's own conversion does not.
std::wstring WidenAnsiLossy(std::string_view text);

}  // namespace upd::platform
