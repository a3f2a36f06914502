// Writes token streams in the package's LZ format (see src/package/decoder.h), following the
// interleaving rule: a new control word is placed exactly where the reader will stand when it
// needs the 33rd flag bit of the previous word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "package/stream_codes.h"

namespace updpack {

class StreamWriter {
 public:
  // Takes the stream's finished bytes in order, a piece at a time.
  using Sink = std::function<void(std::span<const std::uint8_t>)>;

  // Without a sink the writer keeps the whole stream for Finish; with one it hands its finished
  // bytes on in pieces of about kFlushBytes, keeping only the control word being filled and the
  // bytes behind it.
  explicit StreamWriter(Sink sink = {});
  static constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

  void Literal(std::uint8_t b);
  void ShortMatch(std::uint32_t distance);                       // 1..2303, length 2
  void LongMatch(std::uint32_t distance, std::uint32_t length);  // 1..8192, 3..282
  // The end marker, then the trailing 1 bit that every stream of ours carries.
  void End();

  // Raw access, for streams built by hand in tests.
  void PutBit(unsigned bit);
  void PutBits(std::uint32_t value, unsigned count);  // most significant first
  void PutByte(std::uint8_t b) { out_.push_back(b); }

  // The whole stream, or, with a sink, nothing: its last bytes went to the sink.
  std::vector<std::uint8_t> Finish() &&;
  std::size_t size() const { return flushed_ + out_.size(); }

 private:
  void FlushWord();

  Sink sink_;
  std::size_t flushed_ = 0;  // bytes handed to the sink
  std::vector<std::uint8_t> out_;
  std::size_t word_pos_ = 0;
  std::uint32_t word_ = 0;
  unsigned used_ = 0;
};

// Exact cost in bits of each token kind, control-word bits included (the words carry nothing
// else, so a stream's size is its total bit cost rounded up to whole words plus its bytes).
constexpr unsigned kLiteralBits = 9;
constexpr unsigned ShortMatchBits(std::uint32_t distance) { return distance <= 256 ? 11 : 14; }
constexpr unsigned LongDistanceBits(std::uint32_t distance) {
  using namespace upd::stream_codes;
  const unsigned cls = DistanceClassOf(distance - 1);
  return DistancePrefixBits(cls) + 8 + kDistanceExtra[cls];
}
constexpr unsigned LongLengthBits(std::uint32_t length) {
  using namespace upd::stream_codes;
  const unsigned code = LengthCodeOf(length);
  return LengthCodeBits(code) + (code + 1 < kLengthCodes ? 0 : 8);
}
constexpr unsigned LongMatchBits(std::uint32_t distance, std::uint32_t length) {
  return 2 + LongDistanceBits(distance) + LongLengthBits(length);
}

}  // namespace updpack
