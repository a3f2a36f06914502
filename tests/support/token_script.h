// Builds a stream token by token with the packer's StreamWriter and, beside it, the output a
// plain byte-by-byte LZ77 copy gives for the same tokens: the reference the decoder must meet.
#pragma once

#include <cstdint>
#include <vector>

#include "stream_writer.h"

namespace updtest {

class TokenScript {
 public:
  TokenScript& Literal(std::uint8_t b) {
    w_.Literal(b);
    expected_.push_back(b);
    return *this;
  }
  TokenScript& Literals(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes) Literal(b);
    return *this;
  }
  TokenScript& Short(std::uint32_t distance) {
    w_.ShortMatch(distance);
    Copy(distance, 2);
    return *this;
  }
  TokenScript& Long(std::uint32_t distance, std::uint32_t length) {
    w_.LongMatch(distance, length);
    Copy(distance, length);
    return *this;
  }
  std::vector<std::uint8_t> Finish() {
    w_.End();
    return std::move(w_).Finish();
  }
  const std::vector<std::uint8_t>& expected() const { return expected_; }

 private:
  void Copy(std::uint32_t distance, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) {
      // A match before the start has no meaning; such scripts build damaged streams.
      const std::uint8_t b =
          distance <= expected_.size() ? expected_[expected_.size() - distance] : 0;
      expected_.push_back(b);
    }
  }

  updpack::StreamWriter w_;
  std::vector<std::uint8_t> expected_;
};

// Deterministic filler bytes with few repeats, so that a match's source is identifiable.
inline std::vector<std::uint8_t> History(std::size_t n, std::uint32_t seed = 12345) {
  std::vector<std::uint8_t> v(n);
  std::uint32_t x = seed;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 23);
  }
  return v;
}

}  // namespace updtest
