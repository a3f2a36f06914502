// Writes token streams in the package's LZ format (see src/package/decoder.h), following the
// interleaving rule: a new control word is placed exactly where the reader will stand when it
// needs the 33rd flag bit of the previous word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace updpack {

class StreamWriter {
 public:
  StreamWriter();

  void Literal(std::uint8_t b);
  void ShortMatch(std::uint32_t distance);                       // 1..2303, length 2
  void LongMatch(std::uint32_t distance, std::uint32_t length);  // 1..8192, 3..282
  // The end marker, then the trailing 1 bit that every stream of ours carries.
  void End();

  // Raw access, for streams built by hand in tests.
  void PutBit(unsigned bit);
  void PutBits(std::uint32_t value, unsigned count);  // most significant first
  void PutByte(std::uint8_t b) { out_.push_back(b); }

  std::vector<std::uint8_t> Finish() &&;
  std::size_t size() const { return out_.size(); }

 private:
  void FlushWord();

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
  return distance <= 512 ? 10 : distance <= 1024 ? 11 : distance <= 2048 ? 13
       : distance <= 4096 ? 15 : 16;
}
constexpr unsigned LongLengthBits(std::uint32_t length) {
  return length == 3 ? 1 : length == 4 ? 2 : length <= 6 ? 4 : length <= 10 ? 6
       : length <= 26 ? 9 : 13;
}
constexpr unsigned LongMatchBits(std::uint32_t distance, std::uint32_t length) {
  return 2 + LongDistanceBits(distance) + LongLengthBits(length);
}

}  // namespace updpack
