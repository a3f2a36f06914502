// Little-endian numbers in byte buffers, whatever the host: the package's header, records and
// control words, and the fields of Windows executables, are all stored so. The caller has
// checked that the bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace upd {

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The same at byte `at` of a buffer.
inline std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
  return Get16(b.data() + at);
}
inline std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
  return Get32(b.data() + at);
}
inline void Put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  Put16(b.data() + at, v);
}
inline void Put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  Put32(b.data() + at, v);
}

}  // namespace upd
