// Owners of Win32 handles: one type per handle kind, each closing its handle with the kind's own
// call, movable and not copyable. Only the shell includes this (it brings <windows.h>).
#pragma once

#include <windows.h>

#include <utility>

namespace upd::platform {

template <typename Kind>
class UniqueHandle {
 public:
  using handle_type = typename Kind::handle_type;

  UniqueHandle() = default;
  explicit UniqueHandle(handle_type handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  explicit operator bool() const { return handle_ != Kind::Invalid(); }
  handle_type get() const { return handle_; }
  handle_type release() { return std::exchange(handle_, Kind::Invalid()); }
  void reset(handle_type handle = Kind::Invalid()) {
    const handle_type old = std::exchange(handle_, handle);
    if (old != Kind::Invalid()) Kind::Close(old);
  }

 private:
  handle_type handle_ = Kind::Invalid();
};

// CreateFileW results: INVALID_HANDLE_VALUE on failure.
struct FileHandleKind {
  using handle_type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

// FindFirstFileW results.
struct FindHandleKind {
  using handle_type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::FindClose(h); }
};

// RegOpenKeyExW results.
struct RegistryKeyKind {
  using handle_type = HKEY;
  static HKEY Invalid() { return nullptr; }
  static void Close(HKEY h) { ::RegCloseKey(h); }
};

using UniqueFile = UniqueHandle<FileHandleKind>;
using UniqueFind = UniqueHandle<FindHandleKind>;
using UniqueRegistryKey = UniqueHandle<RegistryKeyKind>;

}  // namespace upd::platform
