// The stand-in hosts of the end-to-end scenarios take their orders from the environment.
#pragma once

#include <windows.h>

#include <string>

namespace updtest::win {

// The variable `name`, or empty when it is not set (or longer than the hosts ever need).
inline std::wstring HostEnv(const wchar_t* name) {
  wchar_t buf[1024] = {};
  const DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : std::wstring();
}

}  // namespace updtest::win
