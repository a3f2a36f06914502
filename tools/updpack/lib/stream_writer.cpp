#include "stream_writer.h"

#include <cassert>
#include <utility>

#include "package/byte_order.h"
#include "package/decoder.h"

namespace updpack {

StreamWriter::StreamWriter(Sink sink) : sink_(std::move(sink)) { out_.resize(4); }

void StreamWriter::FlushWord() { upd::Put32(out_, word_pos_, word_); }

void StreamWriter::PutBit(unsigned bit) {
  if (used_ == 32) {
    // The reader loads the next word at its cursor when it needs this bit.
    FlushWord();
    // Everything before the new word is final now.
    if (sink_ && out_.size() >= kFlushBytes) {
      sink_(out_);
      flushed_ += out_.size();
      out_.clear();
    }
    word_pos_ = out_.size();
    out_.resize(out_.size() + 4);
    word_ = 0;
    used_ = 0;
  }
  word_ |= std::uint32_t{bit & 1u} << (31 - used_);
  ++used_;
}

void StreamWriter::PutBits(std::uint32_t value, unsigned count) {
  while (count--) PutBit(value >> count & 1u);
}

void StreamWriter::Literal(std::uint8_t b) {
  PutBit(1);
  PutByte(b);
}

void StreamWriter::ShortMatch(std::uint32_t distance) {
  assert(distance >= 1 && distance <= upd::kMaxShortDistance);
  const std::uint32_t k = distance - 1;
  PutBits(0b01, 2);
  if (k < 256) {
    PutBit(0);
    PutByte(static_cast<std::uint8_t>(k));
  } else {
    PutBit(1);
    PutByte(static_cast<std::uint8_t>((k - 256) >> 3));
    PutBits((k - 256) & 7u, 3);
  }
}

void StreamWriter::LongMatch(std::uint32_t distance, std::uint32_t length) {
  using namespace upd::stream_codes;
  assert(distance >= 1 && distance <= upd::kMaxLongDistance && length >= upd::kMinLongLength &&
         length <= upd::kMaxLongLength);
  PutBits(0b00, 2);
  // The distance class: its 0 bits and 1 bit (none after the last class's), its byte, its
  // extra bits.
  const std::uint32_t c = distance - 1;
  const unsigned cls = DistanceClassOf(c);
  const unsigned extra = kDistanceExtra[cls];
  PutBits(cls + 1 < kDistanceClasses ? 1 : 0, DistancePrefixBits(cls));
  const std::uint32_t rest = c - kDistanceBase[cls];
  PutByte(static_cast<std::uint8_t>(rest >> extra));
  PutBits(rest & ((1u << extra) - 1), extra);
  // The length code the same way; the last one is followed by a byte instead of bits.
  const unsigned code = LengthCodeOf(length);
  if (code + 1 < kLengthCodes) {
    PutBits(1, code + 1);
    PutBits(length - kLengthBase[code], kLengthExtra[code]);
  } else {
    PutBits(0, code);
    PutByte(static_cast<std::uint8_t>(length - kLengthBase[code]));
  }
}

void StreamWriter::End() {
  PutBits(0b011, 3);
  PutByte(0xFF);
  PutBits(0b111, 3);
  PutBit(1);
}

std::vector<std::uint8_t> StreamWriter::Finish() && {
  FlushWord();
  if (sink_) {
    sink_(out_);
    flushed_ += out_.size();
    out_.clear();
  }
  return std::move(out_);
}

}  // namespace updpack
