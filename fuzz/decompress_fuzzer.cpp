// Fuzzes DecompressBlock against a plain reference decoder written from the format's grammar,
// one flag bit at a time: both must agree on failure or on every output byte.
//
// Input: 2 bytes of output capacity (little-endian), then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "package/decoder.h"

namespace {

class Reference {
 public:
  Reference(const std::uint8_t* in, std::size_t n, std::size_t capacity)
      : in_(in), n_(n), cap_(capacity) {}

  std::optional<std::vector<std::uint8_t>> Run() {
    if (!Word()) return std::nullopt;
    for (;;) {
      int b = Bit();
      if (b < 0) return std::nullopt;
      if (b == 1) {
        int v = Byte();
        if (v < 0 || out_.size() == cap_) return std::nullopt;
        out_.push_back(static_cast<std::uint8_t>(v));
        continue;
      }
      if ((b = Bit()) < 0) return std::nullopt;
      if (b == 1) {
        const int e = Bit();
        const int v = Byte();
        if (e < 0 || v < 0) return std::nullopt;
        std::uint32_t k = static_cast<std::uint32_t>(v);
        if (e == 1) {
          const long x = Bits(3);
          if (x < 0) return std::nullopt;
          k = 256 + 8 * k + static_cast<std::uint32_t>(x);
          if (k == 2303) return out_;
        }
        if (!Copy(k + 1, 2)) return std::nullopt;
        continue;
      }
      static const std::uint32_t kBase[5] = {0, 512, 1024, 2048, 4096};
      static const int kExtra[5] = {1, 1, 2, 3, 4};
      int cls = 0;
      for (; cls < 4; ++cls) {
        const int s = Bit();
        if (s < 0) return std::nullopt;
        if (s == 1) break;
      }
      const int v = Byte();
      const long x = Bits(kExtra[cls]);
      if (v < 0 || x < 0) return std::nullopt;
      const std::uint32_t code = kBase[cls] + (static_cast<std::uint32_t>(v) << kExtra[cls]) +
                                 static_cast<std::uint32_t>(x);
      int zeros = 0;
      for (; zeros < 5; ++zeros) {
        const int s = Bit();
        if (s < 0) return std::nullopt;
        if (s == 1) break;
      }
      long len;
      switch (zeros) {
        case 0: len = 3; break;
        case 1: len = 4; break;
        case 2: len = Bits(1); len = len < 0 ? -1 : 5 + len; break;
        case 3: len = Bits(2); len = len < 0 ? -1 : 7 + len; break;
        case 4: len = Bits(4); len = len < 0 ? -1 : 11 + len; break;
        default: len = Byte(); len = len < 0 ? -1 : 27 + len; break;
      }
      if (len < 0 || !Copy(code + 1, static_cast<std::uint32_t>(len))) return std::nullopt;
    }
  }

 private:
  bool Word() {
    if (n_ - pos_ < 4) return false;
    word_ = static_cast<std::uint32_t>(in_[pos_]) | static_cast<std::uint32_t>(in_[pos_ + 1]) << 8 |
            static_cast<std::uint32_t>(in_[pos_ + 2]) << 16 | static_cast<std::uint32_t>(in_[pos_ + 3]) << 24;
    pos_ += 4;
    left_ = 32;
    return true;
  }
  int Bit() {
    if (left_ == 0 && !Word()) return -1;
    --left_;
    return static_cast<int>(word_ >> left_ & 1);
  }
  long Bits(int n) {
    long v = 0;
    while (n--) {
      const int b = Bit();
      if (b < 0) return -1;
      v = v << 1 | b;
    }
    return v;
  }
  int Byte() { return pos_ < n_ ? in_[pos_++] : -1; }
  bool Copy(std::uint32_t dist, std::uint32_t len) {
    if (dist > out_.size() || cap_ - out_.size() < len) return false;
    for (std::uint32_t i = 0; i < len; ++i) out_.push_back(out_[out_.size() - dist]);
    return true;
  }

  const std::uint8_t* in_;
  std::size_t n_;
  std::size_t cap_;
  std::size_t pos_ = 0;
  std::uint32_t word_ = 0;
  unsigned left_ = 0;
  std::vector<std::uint8_t> out_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacity = static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8;
  const std::vector<std::uint8_t> stream(data + 2, data + size);  // exact bounds for ASan
  std::vector<std::uint8_t> out(capacity);
  const auto got = upd::DecompressBlock(stream, out);
  const auto want = Reference(stream.data(), stream.size(), capacity).Run();
  if (got.has_value() != want.has_value()) std::abort();
  if (got && *got != want->size()) std::abort();
  if (got && *got > 0 && std::memcmp(out.data(), want->data(), *got) != 0) std::abort();
  return 0;
}
