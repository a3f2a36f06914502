// The code tables of a long match in the LZ stream (package/decoder.h draws the tokens), for
// the decoder and the packer's writer alike. Both codes are numbered by the 0 bits that lead
// them.
#pragma once

#include <cstdint>

namespace upd::stream_codes {

// Distance class n (0..4) of the distance code c = distance - 1: n 0 bits, then a 1 bit for
// n < 4; then the byte (c - base) >> extra, then the low `extra` bits of c - base.
inline constexpr unsigned kDistanceClasses = 5;
inline constexpr std::uint32_t kDistanceBase[kDistanceClasses] = {0, 512, 1024, 2048, 4096};
inline constexpr std::uint8_t kDistanceExtra[kDistanceClasses] = {1, 1, 2, 3, 4};

constexpr unsigned DistanceClassOf(std::uint32_t code) {
  return code < kDistanceBase[1] ? 0 : code < kDistanceBase[2] ? 1 : code < kDistanceBase[3] ? 2
       : code < kDistanceBase[4] ? 3 : 4;
}
// The class's flag bits before its byte.
constexpr unsigned DistancePrefixBits(unsigned cls) {
  return cls + 1 < kDistanceClasses ? cls + 1 : cls;
}

// Length code n (0..5): n 0 bits, then a 1 bit for n < 5; then `extra` bits of length - base.
// The last code takes a byte instead: 00000 b -> 27 + b.
inline constexpr unsigned kLengthCodes = 6;
inline constexpr std::uint8_t kLengthBase[kLengthCodes] = {3, 4, 5, 7, 11, 27};
inline constexpr std::uint8_t kLengthExtra[kLengthCodes] = {0, 0, 1, 2, 4, 0};

constexpr unsigned LengthCodeOf(std::uint32_t length) {
  return length < kLengthBase[1] ? 0 : length < kLengthBase[2] ? 1 : length < kLengthBase[3] ? 2
       : length < kLengthBase[4] ? 3 : length < kLengthBase[5] ? 4 : 5;
}
// The code's flag bits, its extra bits included (not the last code's byte).
constexpr unsigned LengthCodeBits(unsigned code) {
  return (code + 1 < kLengthCodes ? code + 1 : code) + kLengthExtra[code];
}

}  // namespace upd::stream_codes
