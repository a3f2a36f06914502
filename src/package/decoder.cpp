#include "package/decoder.h"

#include <bit>
#include <cstring>

namespace upd {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the pattern copy below assumes a little-endian host");

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// Any token reads at most one new control word and two data bytes.
constexpr std::ptrdiff_t kMaxTokenInput = 6;

enum class Step { kNext, kEnd, kFail };

class Decoder {
 public:
  Decoder(std::span<const std::uint8_t> in, std::span<std::uint8_t> out)
      : ip_(in.data()), iend_(in.data() + in.size()),
        obeg_(out.data()), op_(out.data()), oend_(out.data() + out.size()) {}

  std::optional<std::size_t> Run() {
    if (iend_ - ip_ < 4) return std::nullopt;
    word_ = LoadLe32(ip_);
    ip_ += 4;
    left_ = 32;
    // Fast loop: while a whole token's input is surely there, reads go unchecked.
    for (;;) {
      Step s;
      if (iend_ - ip_ >= kMaxTokenInput) {
        s = Token<false>();
      } else {
        s = Token<true>();
      }
      if (s == Step::kNext) continue;
      if (s == Step::kEnd) return static_cast<std::size_t>(op_ - obeg_);
      return std::nullopt;
    }
  }

 private:
  template <bool Checked>
  std::uint32_t Bit() {
    if (left_ == 0) [[unlikely]] {
      if (Checked && iend_ - ip_ < 4) {
        ok_ = false;
        return 0;
      }
      word_ = LoadLe32(ip_);
      ip_ += 4;
      left_ = 32;
    }
    const std::uint32_t b = word_ >> 31;
    word_ <<= 1;
    --left_;
    return b;
  }

  template <bool Checked>
  std::uint32_t Bits(unsigned n) {
    std::uint32_t v = 0;
    while (n--) v = (v << 1) | Bit<Checked>();
    return v;
  }

  template <bool Checked>
  std::uint32_t Byte() {
    if (Checked && ip_ == iend_) {
      ok_ = false;
      return 0;
    }
    return *ip_++;
  }

  template <bool Checked>
  Step Token() {
    if (Bit<Checked>()) {
      const std::uint8_t b = static_cast<std::uint8_t>(Byte<Checked>());
      if (Checked && !ok_) return Step::kFail;
      if (op_ == oend_) return Step::kFail;
      *op_++ = b;
      return Step::kNext;
    }
    if (Bit<Checked>()) {
      const std::uint32_t e = Bit<Checked>();
      const std::uint32_t b = Byte<Checked>();
      std::uint32_t k = b;
      if (e) {
        k = 256 + 8 * b + Bits<Checked>(3);
        if (Checked && !ok_) return Step::kFail;
        if (k == kEndMarkerCode) return Step::kEnd;
      }
      if (Checked && !ok_) return Step::kFail;
      return CopyShort(k + 1) ? Step::kNext : Step::kFail;
    }
    std::uint32_t code;
    if (Bit<Checked>()) {
      code = 2 * Byte<Checked>();
      code += Bit<Checked>();
    } else if (Bit<Checked>()) {
      code = 512 + 2 * Byte<Checked>();
      code += Bit<Checked>();
    } else if (Bit<Checked>()) {
      code = 1024 + 4 * Byte<Checked>();
      code += Bits<Checked>(2);
    } else if (Bit<Checked>()) {
      code = 2048 + 8 * Byte<Checked>();
      code += Bits<Checked>(3);
    } else {
      code = 4096 + 16 * Byte<Checked>();
      code += Bits<Checked>(4);
    }
    std::uint32_t length;
    if (Bit<Checked>()) {
      length = 3;
    } else if (Bit<Checked>()) {
      length = 4;
    } else if (Bit<Checked>()) {
      length = 5 + Bit<Checked>();
    } else if (Bit<Checked>()) {
      length = 7 + Bits<Checked>(2);
    } else if (Bit<Checked>()) {
      length = 11 + Bits<Checked>(4);
    } else {
      length = 27 + Byte<Checked>();
    }
    if (Checked && !ok_) return Step::kFail;
    return CopyLong(code + 1, length) ? Step::kNext : Step::kFail;
  }

  bool CopyShort(std::uint32_t dist) {
    if (dist > static_cast<std::size_t>(op_ - obeg_) || oend_ - op_ < 2) return false;
    op_[0] = op_[-static_cast<std::ptrdiff_t>(dist)];
    op_[1] = op_[1 - static_cast<std::ptrdiff_t>(dist)];
    op_ += 2;
    return true;
  }

  bool CopyLong(std::uint32_t dist, std::uint32_t len) {
    if (dist > static_cast<std::size_t>(op_ - obeg_) ||
        static_cast<std::size_t>(oend_ - op_) < len) {
      return false;
    }
    const std::uint8_t* src = op_ - dist;
    std::uint8_t* dst = op_;
    op_ += len;
    if (dist >= 4) {
      // The 4 bytes read never overlap the 4 being written.
      for (; len >= 4; len -= 4, src += 4, dst += 4) std::memcpy(dst, src, 4);
      while (len--) *dst++ = *src++;
      return true;
    }
    // Distances 1..3: a 32-bit pattern of the last `dist` bytes, advanced by one word per store.
    std::uint32_t pat;
    if (dist == 1) {
      pat = 0x01010101u * src[0];
    } else if (dist == 2) {
      pat = 0x00010001u * (std::uint32_t{src[0]} | std::uint32_t{src[1]} << 8);
    } else {
      pat = std::uint32_t{src[0]} | std::uint32_t{src[1]} << 8 | std::uint32_t{src[2]} << 16 |
            std::uint32_t{src[0]} << 24;
    }
    for (; len >= 4; len -= 4, dst += 4) {
      std::memcpy(dst, &pat, 4);
      if (dist == 3) {
        // Next phase: the sequence shifted by 4 = by 1 modulo 3.
        pat = (pat >> 8) | (pat >> 8 & 0xFFu) << 24;
      }
    }
    std::memcpy(dst, &pat, len);
    return true;
  }

  const std::uint8_t* ip_;
  const std::uint8_t* const iend_;
  std::uint8_t* const obeg_;
  std::uint8_t* op_;
  std::uint8_t* const oend_;
  std::uint32_t word_ = 0;
  unsigned left_ = 0;
  bool ok_ = true;
};

}  // namespace

std::optional<std::size_t> DecompressBlock(std::span<const std::uint8_t> in,
                                           std::span<std::uint8_t> out) {
  return Decoder(in, out).Run();
}

}  // namespace upd
