// Bytes as upper-case hexadecimal, so that tests compare code page 932 texts byte for byte.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace updtest {

inline std::string Hex(std::string_view bytes) {
  std::string out;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

}  // namespace updtest
