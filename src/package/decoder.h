// The package's LZ stream format.
//
// A stream is one cursor over bytes. 32-bit little-endian control words supply flag bits,
// most significant first; a new word is read at the cursor only at the moment a flag bit is
// needed and the previous word is used up. Data bytes are read at the cursor as tokens need them.
//
//   1                       byte b                   literal b
//   0 1 0                   byte b                   match, length 2, distance b+1
//   0 1 1                   byte b, 3 bits x         k = 256+8b+x; k = 2303 ends the stream,
//                                                    otherwise match, length 2, distance k+1
//   0 0  <distance class>  <length code>             match, distance code+1, length 3..282
//
//   distance class: 1 b x1 -> 2b+x        01 b x1 -> 512+2b+x     001 b x2 -> 1024+4b+x
//                   0001 b x3 -> 2048+8b+x                        0000 b x4 -> 4096+16b+x
//   length code:    1 -> 3   01 -> 4   001 x1 -> 5+x   0001 x2 -> 7+x   00001 x4 -> 11+x
//                   00000 b -> 27+b
//
// Multi-bit fields are read most significant bit first. Matches copy byte by byte forward,
// so a distance shorter than the length repeats the bytes the match has just written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <algorithm>

namespace upd {

inline constexpr std::uint32_t kEndMarkerCode = 2303;  // k of the end marker: b = 255, x = 7
inline constexpr std::uint32_t kShortMatchLength = 2;
inline constexpr std::uint32_t kMaxShortDistance = 2303;
inline constexpr std::uint32_t kMinLongLength = 3;
inline constexpr std::uint32_t kMaxLongLength = 282;
inline constexpr std::uint32_t kMaxLongDistance = 8192;

// Upper bound of output bytes per input byte: the densest token (a long match of 282 bytes at
// distance <= 512) costs 25 bits, i.e. 282 bytes for 3.125 bytes of stream. A record that claims
// more than this ratio cannot be a sound stream.
inline constexpr std::uint32_t kMaxExpansion = 91;

// Decodes the stream at the start of `in` into `out` and returns the number of bytes written.
// Returns nothing when the stream is damaged: it reads past `in`, would write past `out`,
// refers before the start of `out`, or ends without the end marker. Bytes of `in` after the
// end marker are not read. On failure `out` may hold a partial result, and `input_ended`, when
// given, says whether the stream ran past the end of `in` (a cut stream, as in a truncated
// file) rather than being damaged within it.
std::optional<std::size_t> DecompressBlock(std::span<const std::uint8_t> in,
                                           std::span<std::uint8_t> out,
                                           bool* input_ended = nullptr);

namespace decoder_detail {
// Where a decode stands between two calls: always at a token boundary. `bits` holds the `left`
// unused flag bits of the current control word at its top, zeros below them.
struct Cursor {
  const std::uint8_t* ip = nullptr;
  std::uint64_t bits = 0;
  unsigned left = 0;
};
}  // namespace decoder_detail

// Decodes one stream in pieces, so that an entry of any size unpacks in a few buffers: a match
// reaches back at most kMaxLongDistance bytes, so only that much of the output is carried from
// one piece to the next. Same checks and same result as DecompressBlock with an output of
// exactly `unpacked_size` bytes (whose result must then equal that size).
class StreamDecoder {
 public:
  // The output a match can reach, carried at the front of each room.
  static constexpr std::size_t kWindow = kMaxLongDistance;
  // The least room a piece is decoded into: the window and some room for new bytes.
  static constexpr std::size_t kMinRoom = kWindow + 4096;

  enum class Status {
    kMore,     // a piece was decoded; more follow
    kDone,     // the last piece: the end marker after exactly `unpacked_size` bytes
    kDamaged,  // the stream is damaged (or yields another size than `unpacked_size`)
    kCut,      // the stream runs past the end of its bytes
  };

  // `stream` must stay valid while pieces are decoded.
  StreamDecoder(std::span<const std::uint8_t> stream, std::uint64_t unpacked_size);

  // Decodes the next piece into `room` (at least kMinRoom bytes), whose front first receives the
  // window carried from the previous piece; `piece` gets the new bytes, which follow it. The
  // previous piece's room must be untouched until this call (it may be this same room). Once a
  // status other than kMore was given, every further call gives it again with no bytes.
  Status Next(std::span<std::uint8_t> room, std::span<const std::uint8_t>& piece);

  std::uint64_t produced() const { return produced_; }

 private:
  std::span<const std::uint8_t> in_;
  std::uint64_t total_ = 0;
  std::uint64_t produced_ = 0;
  decoder_detail::Cursor cursor_;
  bool started_ = false;
  const std::uint8_t* previous_end_ = nullptr;
  std::size_t kept_ = 0;  // bytes of the window carried into the next room
  Status status_ = Status::kMore;
};

}  // namespace upd
