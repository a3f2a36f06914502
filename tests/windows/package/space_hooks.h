// Watches the free-space questions the code under test asks the system, and can change the
// answers: counts the calls of GetVolumePathNameW, GetDiskFreeSpaceExW and GetDiskFreeSpaceW
// made through this executable's imports, and makes them fail or report other figures.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "win/import_hook.h"

namespace pkgtest {

// What the hooked calls do; what is not set leaves the real answer alone.
struct SpaceScript {
  std::optional<std::wstring> volume_root;  // GetVolumePathNameW reports this root
  std::optional<std::uint64_t> free_bytes;  // GetDiskFreeSpaceExW reports this as available
  bool fail_volume = false;
  bool fail_ex = false;
  bool fail_clusters = false;

  SpaceScript& Root(std::wstring root) { volume_root = std::move(root); return *this; }
  SpaceScript& Free(std::uint64_t bytes) { free_bytes = bytes; return *this; }
  SpaceScript& FailVolume() { fail_volume = true; return *this; }
  SpaceScript& FailEx() { fail_ex = true; return *this; }
  SpaceScript& FailClusters() { fail_clusters = true; return *this; }
};

class SpaceHooks {
 public:
  using Script = SpaceScript;

  SpaceHooks() : SpaceHooks(SpaceScript()) {}
  explicit SpaceHooks(SpaceScript script)
      : volume_("kernel32.dll", "GetVolumePathNameW", reinterpret_cast<void*>(&Volume)),
        ex_("kernel32.dll", "GetDiskFreeSpaceExW", reinterpret_cast<void*>(&Ex)),
        clusters_("kernel32.dll", "GetDiskFreeSpaceW", reinterpret_cast<void*>(&Clusters)) {
    State() = {std::move(script), 0, 0, 0, this};
    EXPECT_TRUE(volume_.installed() && ex_.installed() && clusters_.installed())
        << "the free-space calls are not in this executable's imports";
  }
  ~SpaceHooks() { State().owner = nullptr; }

  int volume_calls() const { return State().volume_calls; }
  int ex_calls() const { return State().ex_calls; }
  int cluster_calls() const { return State().cluster_calls; }
  int calls() const { return volume_calls() + ex_calls() + cluster_calls(); }

  // The real functions, for figures to compare with.
  BOOL RealClusters(LPCWSTR root, LPDWORD spc, LPDWORD bps, LPDWORD fc, LPDWORD tc) const {
    return reinterpret_cast<decltype(&GetDiskFreeSpaceW)>(clusters_.original())(root, spc, bps,
                                                                                 fc, tc);
  }

 private:
  struct Shared {
    Script script;
    int volume_calls, ex_calls, cluster_calls;
    SpaceHooks* owner;
  };
  static Shared& State() {
    static Shared shared{};
    return shared;
  }

  static BOOL WINAPI Volume(LPCWSTR path, LPWSTR out, DWORD size) {
    Shared& s = State();
    ++s.volume_calls;
    if (s.script.fail_volume) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    if (s.script.volume_root) {
      if (s.script.volume_root->size() + 1 > size) return FALSE;
      wcscpy(out, s.script.volume_root->c_str());
      return TRUE;
    }
    return reinterpret_cast<decltype(&GetVolumePathNameW)>(s.owner->volume_.original())(path, out,
                                                                                       size);
  }
  static BOOL WINAPI Ex(LPCWSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                        PULARGE_INTEGER total_free) {
    Shared& s = State();
    ++s.ex_calls;
    if (s.script.fail_ex) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    if (s.script.free_bytes) {
      available->QuadPart = *s.script.free_bytes;
      if (total) total->QuadPart = *s.script.free_bytes * 2;
      if (total_free) total_free->QuadPart = *s.script.free_bytes;
      return TRUE;
    }
    return reinterpret_cast<decltype(&GetDiskFreeSpaceExW)>(s.owner->ex_.original())(
        root, available, total, total_free);
  }
  static BOOL WINAPI Clusters(LPCWSTR root, LPDWORD spc, LPDWORD bps, LPDWORD fc, LPDWORD tc) {
    Shared& s = State();
    ++s.cluster_calls;
    if (s.script.fail_clusters) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    return s.owner->RealClusters(root, spc, bps, fc, tc);
  }

  updtest::win::ImportHook volume_;
  updtest::win::ImportHook ex_;
  updtest::win::ImportHook clusters_;
};

}  // namespace pkgtest
