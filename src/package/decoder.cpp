#include "package/decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "package/byte_order.h"
#include "package/stream_codes.h"

namespace upd {
namespace {

using namespace stream_codes;

static_assert(std::endian::native == std::endian::little,
              "the pattern copy below assumes a little-endian host");

// While this much input lies ahead, a token's data bytes and the next control word (at most
// 32 literal bytes, or 2 data bytes and a word) are surely there and are read unchecked.
constexpr std::ptrdiff_t kFastInput = 40;

// Matches decoded ahead by the top 12 bits of a view (every match's bits up to its length
// code fit in 10). An entry packs the flag bits the token uses (0 for a literal), the shift of
// its distance byte, its length (0 when its length code does not fit in the 12 bits: it is
// read after the distance's bits) and the rest of its distance:
//   distance = base + (byte << shift), with base holding the extra bits and the + 1.
constexpr unsigned kTableBits = 12;

struct MatchTable {
  std::uint32_t entry[1u << kTableBits] = {};

  static constexpr std::uint32_t Pack(unsigned used, unsigned shift, unsigned len, unsigned base) {
    return used | shift << 5 | len << 8 | base << 17;
  }

  constexpr MatchTable() {
    for (std::uint32_t idx = 0; idx < (1u << kTableBits); ++idx) {
      unsigned pos = 0;
      bool fits = true;
      auto take = [&](unsigned n) -> std::uint32_t {
        if (pos + n > kTableBits) {
          fits = false;
          return 0;
        }
        const std::uint32_t v = (idx >> (kTableBits - pos - n)) & ((1u << n) - 1);
        pos += n;
        return v;
      };
      if (take(1)) continue;  // a literal: not here
      if (take(1)) {
        const std::uint32_t e = take(1);
        const std::uint32_t x = e ? take(3) : 0;
        if (fits) entry[idx] = Pack(pos, e ? 3 : 0, 2, e ? 257 + x : 1);
        continue;
      }
      unsigned cls = 0;
      while (cls < 4 && fits && take(1) == 0) ++cls;
      const std::uint32_t x = take(kDistanceExtra[cls]);
      if (!fits) continue;
      const unsigned distance_bits = pos;  // at most 10
      const std::uint32_t base = kDistanceBase[cls] + x + 1;
      unsigned zeros = 0;
      while (zeros < 5 && fits && take(1) == 0) ++zeros;
      const std::uint32_t len = zeros < 5 ? kLengthBase[zeros] + take(kLengthExtra[zeros]) : 0;
      // Length 0: the length code is read after the distance's bits.
      entry[idx] = fits && zeros < 5 ? Pack(pos, kDistanceExtra[cls], len, base)
                                     : Pack(distance_bits, kDistanceExtra[cls], 0, base);
    }
  }
};

constexpr MatchTable kMatchTable;

// Copies n (1..32) literal bytes; input and output never overlap. Fixed-size copies that may
// cover a byte twice, rather than a call for a few bytes.
inline void CopyLiterals(std::uint8_t* dst, const std::uint8_t* src, unsigned n) {
  if (n >= 8) {
    unsigned done = 0;
    for (; done + 8 <= n; done += 8) std::memcpy(dst + done, src + done, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

// Appends `len` bytes copied from `dist` bytes back, as a byte-by-byte forward copy would, and
// returns the new end of the output; null when the match reaches before the start of the
// output or past its end. Writes no byte outside the match.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline std::uint8_t* CopyMatch(std::uint8_t* op, const std::uint8_t* obeg,
                               const std::uint8_t* oend, std::uint32_t dist, std::uint32_t len) {
  if (dist > static_cast<std::size_t>(op - obeg) || static_cast<std::size_t>(oend - op) < len) {
    return nullptr;
  }
  const std::uint8_t* src = op - dist;
  std::uint8_t* dst = op;
  // Short matches as two fixed-size copies that may cover the same bytes twice: in order, every
  // byte the second copy reads is final by then, as long as the distance is at least the size
  // of one copy.
  if (len <= 8) {
    if (len <= 4) {
      if (dist >= 2) {
        std::memcpy(dst, src, 2);
        std::memcpy(dst + len - 2, src + len - 2, 2);
        return op + len;
      }
    } else if (dist >= 4) {
      std::memcpy(dst, src, 4);
      std::memcpy(dst + len - 4, src + len - 4, 4);
      return op + len;
    }
  } else if (len <= 16 && dist >= 8) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + len - 8, src + len - 8, 8);
    return op + len;
  }
  if (dist >= 8) {
    // 8 bytes at a time never overlap; the match's last 8 bytes, copied once more, end it
    // exactly (every byte they read is final by then).
    std::uint32_t done = 0;
    for (; done + 8 <= len; done += 8) std::memcpy(dst + done, src + done, 8);
    if (done < len) std::memcpy(dst + len - 8, src + len - 8, 8);
    return op + len;
  }
  if (dist >= 4) {
    // The 4 bytes read never overlap the 4 being written.
    std::uint32_t n = len;
    for (; n >= 4; n -= 4, src += 4, dst += 4) std::memcpy(dst, src, 4);
    while (n--) *dst++ = *src++;
    return op + len;
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
  std::uint32_t n = len;
  for (; n >= 4; n -= 4, dst += 4) {
    std::memcpy(dst, &pat, 4);
    if (dist == 3) {
      // Next phase: the sequence shifted by 4 = by 1 modulo 3.
      pat = (pat >> 8) | (pat >> 8 & 0xFFu) << 24;
    }
  }
  std::memcpy(dst, &pat, n);
  return op + len;
}

using decoder_detail::Cursor;

enum class Outcome { kEnd, kPaused, kDamaged, kInputEnded };

// The most bytes one token writes: a long match (a run of literals writes at most 32).
constexpr std::size_t kMaxTokenOutput = kMaxLongLength;

// Decodes tokens from `cur` (whose first control word has been read) into [op, oend), matches
// reaching back as far as `obeg`, until the end marker or a fault. When kPausable, it also stops
// before any token that starts at or past `opause`, so that no token can run into `oend` unless
// the stream is damaged; `op` and `cur` then tell where to go on.
//
// The state lives in locals so that it stays in registers.
//
// Where the next control word stands depends on the token that needs it: before the token's
// first data byte when the word runs out within the flag bits ahead of that byte, after the
// byte otherwise (every token reads 1 to 6 flag bits before its first data byte). While the
// input is far from its end:
// - a run of literals takes its bytes in one go;
// - a match whose flag bits all lie in this word is read through the table (a decode that
//   runs into the zeros past `left` comes out longer than `left` and is not taken);
// - with at least 6 bits left, the next word surely follows the token's first data byte: the
//   left bits and that word form one 64-bit view, read through the table as well;
// - any other match reads the view both ways and keeps the one its first flag bits ask for.
// Near the end of the input every token is read bit by bit, each read checked.
template <bool kPausable>
Outcome DecodeTokens(Cursor& cur, const std::uint8_t* const iend, std::uint8_t* const obeg,
                     std::uint8_t*& op_io, const std::uint8_t* const oend,
                     [[maybe_unused]] const std::uint8_t* const opause) {
  const std::uint8_t* ip = cur.ip;
  std::uint64_t bits = cur.bits;
  unsigned left = cur.left;
  std::uint8_t* op = op_io;
  const auto stop = [&](Outcome outcome) {
    cur = {ip, bits, left};
    op_io = op;
    return outcome;
  };
  // The flag bits of each length code, looked up rather than worked out per token.
  static constexpr auto kLenUsed = [] {
    std::array<std::uint8_t, kLengthCodes> used{};
    for (unsigned n = 0; n < kLengthCodes; ++n) used[n] = static_cast<std::uint8_t>(LengthCodeBits(n));
    return used;
  }();

  while (iend - ip >= kFastInput) {
    if constexpr (kPausable) {
      if (op >= opause) return stop(Outcome::kPaused);
    }
    if (left == 0) {
      // The token's first bit is the first of a new word.
      bits = std::uint64_t{Get32(ip)} << 32;
      ip += 4;
      left = 32;
    }
    if (bits >> 63) {
      // Literals: one per leading 1 bit of this word, their bytes in a row.
      const unsigned n = static_cast<unsigned>(std::countl_one(bits));  // <= left
      if (static_cast<std::size_t>(oend - op) < n) return stop(Outcome::kDamaged);
      CopyLiterals(op, ip, n);
      op += n;
      ip += n;
      bits = n == 64 ? 0 : bits << n;
      left -= n;
      continue;
    }
    if (left >= kTableBits) {
      // The table's 12 bits are all in this word; so are the token's flag bits, if it fits.
      const std::uint32_t e = kMatchTable.entry[bits >> (64 - kTableBits)];
      unsigned used = e & 31;
      std::uint32_t len = e >> 8 & 511;
      if (len == 0) {
        const std::uint64_t lv = bits << used;
        const unsigned lz = std::min(static_cast<unsigned>(std::countl_zero(lv | 1)), 5u);
        len = kLengthBase[lz] +
              static_cast<std::uint32_t>(((lv << (lz + 1)) >> 1) >> (63 - kLengthExtra[lz]));
        used += lz == 5 ? 64 : kLenUsed[lz];  // a length byte: the general way below
      }
      if (used <= left) {
        const std::uint32_t dist = (e >> 17) + (std::uint32_t{ip[0]} << (e >> 5 & 7));
        if (dist == kEndMarkerCode + 1 && len == 2) {
          ip += 1;
          return stop(Outcome::kEnd);
        }
        std::uint8_t* const next = CopyMatch(op, obeg, oend, dist, len);
        if (!next) return stop(Outcome::kDamaged);
        op = next;
        ip += 1;
        bits <<= used;
        left -= used;
        continue;
      }
    }
    std::uint32_t dist;
    std::uint32_t len;
    unsigned used;
    std::uint64_t view;
    unsigned bytes = 1;
    const std::uint64_t view1 = bits | std::uint64_t{Get32(ip + 1)} << (32 - left);
    const std::uint32_t e = kMatchTable.entry[view1 >> (64 - kTableBits)];
    if (left >= 6 && (e >> 8 & 511) != 0) {
      view = view1;
      used = e & 31;
      dist = (e >> 17) + (std::uint32_t{ip[0]} << (e >> 5 & 7));
      len = e >> 8 & 511;
    } else {
      const std::uint64_t view0 = bits | std::uint64_t{Get32(ip)} << (32 - left);
      unsigned pre;  // flag bits before the first data byte
      if (view0 >> 62) {
        // 0 1 e, byte b [, 3 bits x]: length 2.
        pre = 3;
        view = pre > left ? view0 : view1;
        const std::uint32_t b = ip[pre > left ? 4 : 0];
        len = 2;
        if (view >> 61 & 1) {
          dist = 256 + 8 * b + static_cast<std::uint32_t>(view >> 58 & 7) + 1;
          used = 6;
        } else {
          dist = b + 1;
          used = 3;
        }
      } else {
        // 0 0, distance class (1, 01, 001, 0001, 0000), byte, extra bits, length code.
        const unsigned cls = std::min(static_cast<unsigned>(std::countl_zero(view0 << 2 | 1)), 4u);
        pre = 2 + DistancePrefixBits(cls);
        view = pre > left ? view0 : view1;
        const std::uint32_t b = ip[pre > left ? 4 : 0];
        const unsigned extra = kDistanceExtra[cls];
        dist = kDistanceBase[cls] + (b << extra) +
               static_cast<std::uint32_t>((view << pre) >> (64 - extra)) + 1;
        used = pre + extra;
        const std::uint64_t lv = view << used;  // used <= 10 here
        const unsigned lz = std::min(static_cast<unsigned>(std::countl_zero(lv | 1)), 5u);
        len = kLengthBase[lz] +
              static_cast<std::uint32_t>(((lv << (lz + 1)) >> 1) >> (63 - kLengthExtra[lz]));
        used += kLenUsed[lz];
        if (lz == 5) {
          len += ip[used > left ? 5 : 1];  // the length byte ends the token
          bytes = 2;
        }
      }
    }
    if (dist == kEndMarkerCode + 1 && len == 2) return stop(Outcome::kEnd);
    std::uint8_t* const next = CopyMatch(op, obeg, oend, dist, len);
    if (!next) return stop(Outcome::kDamaged);
    op = next;
    if (used > left) {
      // The token used the next word: it is consumed with the token.
      ip += 4;
      left += 32;
      bits = view << used;
    } else {
      bits <<= used;
    }
    left -= used;
    ip += bytes;
  }

  // Bit by bit, every read checked.
  bool ok = true;
  auto bit = [&]() -> std::uint32_t {
    if (left == 0) {
      if (iend - ip < 4) {
        ok = false;
        return 0;
      }
      bits = std::uint64_t{Get32(ip)} << 32;
      ip += 4;
      left = 32;
    }
    const std::uint32_t b = static_cast<std::uint32_t>(bits >> 63);
    bits <<= 1;
    --left;
    return b;
  };
  auto bits_n = [&](unsigned n) {
    std::uint32_t v = 0;
    while (n--) v = (v << 1) | bit();
    return v;
  };
  auto byte = [&]() -> std::uint32_t {
    if (ip == iend) {
      ok = false;
      return 0;
    }
    return *ip++;
  };
  // Every failure below is the input running out when `ok` is false, damage otherwise.
  const auto failed = [&] { return stop(ok ? Outcome::kDamaged : Outcome::kInputEnded); };
  // A pause must leave the cursor at a token boundary: only between tokens, all reads done.
  for (;;) {
    if constexpr (kPausable) {
      if (op >= opause) return stop(Outcome::kPaused);
    }
    if (bit()) {
      const std::uint32_t b = byte();
      if (!ok || op == oend) return failed();
      *op++ = static_cast<std::uint8_t>(b);
      continue;
    }
    if (bit()) {
      const std::uint32_t e = bit();
      const std::uint32_t b = byte();
      std::uint32_t k = b;
      if (e) {
        k = 256 + 8 * b + bits_n(3);
        if (ok && k == kEndMarkerCode) return stop(Outcome::kEnd);
      }
      if (!ok) return failed();
      std::uint8_t* const next = CopyMatch(op, obeg, oend, k + 1, 2);
      if (!next) return failed();
      op = next;
      continue;
    }
    unsigned cls = 0;
    while (cls < 4 && !bit()) ++cls;
    std::uint32_t code = kDistanceBase[cls] + (byte() << kDistanceExtra[cls]);
    code += bits_n(kDistanceExtra[cls]);
    unsigned lz = 0;
    while (lz + 1 < kLengthCodes && !bit()) ++lz;
    const std::uint32_t length =
        kLengthBase[lz] + (lz + 1 < kLengthCodes ? bits_n(kLengthExtra[lz]) : byte());
    if (!ok) return failed();
    std::uint8_t* const next = CopyMatch(op, obeg, oend, code + 1, length);
    if (!next) return failed();
    op = next;
  }
}

}  // namespace

std::optional<std::size_t> DecompressBlock(std::span<const std::uint8_t> in,
                                           std::span<std::uint8_t> out, bool* input_ended) {
  if (input_ended) *input_ended = false;
  if (in.size() < 4) {
    if (input_ended) *input_ended = true;
    return std::nullopt;
  }
  Cursor cur{in.data() + 4, std::uint64_t{Get32(in.data())} << 32, 32};
  std::uint8_t* op = out.data();
  switch (DecodeTokens<false>(cur, in.data() + in.size(), out.data(), op, out.data() + out.size(),
                              nullptr)) {
    case Outcome::kEnd:
      return static_cast<std::size_t>(op - out.data());
    case Outcome::kInputEnded:
      if (input_ended) *input_ended = true;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

StreamDecoder::StreamDecoder(std::span<const std::uint8_t> stream, std::uint64_t unpacked_size)
    : in_(stream), total_(unpacked_size) {}

StreamDecoder::Status StreamDecoder::Next(std::span<std::uint8_t> room,
                                          std::span<const std::uint8_t>& piece) {
  piece = {};
  if (status_ != Status::kMore) return status_;
  if (room.size() < kMinRoom) return status_ = Status::kDamaged;  // a caller's fault, never silent
  std::uint8_t* const base = room.data();
  if (!started_) {
    if (in_.size() < 4) return status_ = Status::kCut;
    cursor_ = {in_.data() + 4, std::uint64_t{Get32(in_.data())} << 32, 32};
    started_ = true;
  }
  // The window the next matches may reach: the end of the previous piece, moved to the front.
  if (kept_ != 0) std::memmove(base, previous_end_ - kept_, kept_);
  std::uint8_t* const first = base + kept_;
  std::uint8_t* op = first;
  const std::uint64_t remaining = total_ - produced_;
  const std::size_t space = room.size() - kept_;
  Outcome outcome;
  if (remaining <= space) {
    // The rest of the entry fits: its end is the limit, as for a whole-buffer decode.
    outcome = DecodeTokens<false>(cursor_, in_.data() + in_.size(), base, op,
                                  first + static_cast<std::size_t>(remaining), nullptr);
  } else {
    std::uint8_t* const end = base + room.size();
    outcome = DecodeTokens<true>(cursor_, in_.data() + in_.size(), base, op, end,
                                 end - kMaxTokenOutput);
  }
  piece = {first, op};
  produced_ += piece.size();
  previous_end_ = op;
  kept_ = std::min<std::size_t>(static_cast<std::size_t>(op - base), kWindow);
  switch (outcome) {
    case Outcome::kPaused: return Status::kMore;
    case Outcome::kEnd: return status_ = produced_ == total_ ? Status::kDone : Status::kDamaged;
    case Outcome::kInputEnded: return status_ = Status::kCut;
    case Outcome::kDamaged: break;
  }
  return status_ = Status::kDamaged;
}

}  // namespace upd
