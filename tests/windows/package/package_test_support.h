// Shared by the package tests: a package installed as the run's, folders of their own, and file
// contents, times and attributes read and written straight through the system (never through the
// code under test).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/state.h"
#include "error_box_recorder.h"
#include "package/container.h"
#include "package/entry_access.h"
#include "package_builder.h"

namespace pkgtest {

using updtest::Bytes;

inline constexpr std::uint64_t kStamp = 0x01D5A1B2C3D4E5F6ull;  // 2019, an odd tick count

// Installs `image` as the run's package while the object lives.
class RunPackage {
 public:
  explicit RunPackage(Bytes image) : image_(std::move(image)) {
    upd::ResetRun();
    upd::Run().PackageImage = image_;
    upd::Run().Directory = upd::LoadPackageDirectory(image_);
    updtest::TakeBoxes();
  }
  explicit RunPackage(const std::vector<updtest::Item>& items)
      : RunPackage(updtest::Image(items, true)) {}
  ~RunPackage() {
    upd::DropPreparedEntry();  // its thread reads the package
    upd::ResetRun();
    updtest::TakeBoxes();
  }
  bool loaded() const { return upd::Run().Directory != nullptr; }
  const Bytes& image() const { return image_; }

 private:
  Bytes image_;
};

// A path for failure messages, in UTF-8 (the path may hold any character).
inline std::string Show(const std::filesystem::path& p) {
  const std::wstring& w = p.native();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
  }
  return out;
}

inline std::filesystem::path TempFolder() {
  wchar_t buf[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, buf);
  return std::filesystem::path(std::wstring(buf, n));
}

// A new folder of its own (under the temporary folder unless told), removed with its content.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& hint, const std::filesystem::path& base = TempFolder()) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
      path_ = base / (hint + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                      std::to_wstring(counter++));
      if (CreateDirectoryW(path_.c_str(), nullptr)) break;
      if (GetLastError() != ERROR_ALREADY_EXISTS) {
        ADD_FAILURE() << "cannot create a scratch folder under " << Show(base);
        break;
      }
    }
  }
  // Removed through the extended form, so that folders deeper than MAX_PATH go as well.
  ~ScratchFolder() { Remove(L"\\\\?\\" + path_.native()); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::wstring& name) const { return path_ / name; }

 private:
  static void Remove(const std::filesystem::path& p) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((p / L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const auto child = p / name;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(child);
        } else {
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(p.c_str());
  }
  std::filesystem::path path_;
};

inline FILETIME ToFileTime(std::uint64_t t) {
  return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}
inline std::uint64_t FromFileTime(const FILETIME& t) {
  return std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime;
}

// Creates or overwrites a file with `content` and, when given, all three times.
inline void MakeFile(const std::filesystem::path& p, const Bytes& content,
                     std::optional<std::uint64_t> stamp = std::nullopt) {
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot create " << Show(p);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
  EXPECT_EQ(written, content.size());
  if (stamp) {
    const FILETIME t = ToFileTime(*stamp);
    EXPECT_TRUE(SetFileTime(h, &t, &t, &t));
  }
  CloseHandle(h);
}

inline std::optional<Bytes> ReadFileBytes(const std::filesystem::path& p) {
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  Bytes out(GetFileSize(h, nullptr));
  DWORD read = 0;
  const BOOL ok = out.empty() || ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &read,
                                          nullptr);
  CloseHandle(h);
  if (!ok || read != out.size()) return std::nullopt;
  return out;
}

struct Times {
  std::uint64_t creation = 0, last_access = 0, last_write = 0;
  bool operator==(const Times&) const = default;
};

inline std::optional<Times> ReadTimes(const std::filesystem::path& p) {
  HANDLE h = CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME c{}, a{}, w{};
  const BOOL ok = GetFileTime(h, &c, &a, &w);
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return Times{FromFileTime(c), FromFileTime(a), FromFileTime(w)};
}

// Attributes a file may carry that matter here (the file system may add "archive" of its own).
inline DWORD NotableAttributes(const std::filesystem::path& p) {
  const DWORD a = GetFileAttributesW(p.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return a;
  return a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
              FILE_ATTRIBUTE_DIRECTORY);
}

// The names in a folder, sorted: shows anything left behind.
inline std::vector<std::wstring> Listing(const std::filesystem::path& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder / L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = fd.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<updtest::RecordedBox> Boxes(std::initializer_list<std::string> texts) {
  std::vector<updtest::RecordedBox> out;
  for (const auto& t : texts) out.push_back({"UPDATE", t});
  return out;
}

}  // namespace pkgtest
