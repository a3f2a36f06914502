// Reading a file that another process holds: with every kind of sharing granted, as a reader
// that must not get in anybody's way (the updater holds its temporary UPDATE.INI with read
// sharing only and deletes it on close, which every later opener must allow).
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace updtest::win {

// The file's bytes; empty when it cannot be opened.
inline std::string ReadShared(const std::filesystem::path& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(h);
  return bytes;
}

}  // namespace updtest::win
