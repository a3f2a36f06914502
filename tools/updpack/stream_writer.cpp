#include "stream_writer.h"

#include <cassert>
#include <utility>

namespace updpack {

StreamWriter::StreamWriter(Sink sink) : sink_(std::move(sink)) { out_.resize(4); }

void StreamWriter::FlushWord() {
  out_[word_pos_] = static_cast<std::uint8_t>(word_);
  out_[word_pos_ + 1] = static_cast<std::uint8_t>(word_ >> 8);
  out_[word_pos_ + 2] = static_cast<std::uint8_t>(word_ >> 16);
  out_[word_pos_ + 3] = static_cast<std::uint8_t>(word_ >> 24);
}

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
  assert(distance >= 1 && distance <= 2303);
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
  assert(distance >= 1 && distance <= 8192 && length >= 3 && length <= 282);
  const std::uint32_t c = distance - 1;
  PutBits(0b00, 2);
  if (c < 512) {
    PutBit(1);
    PutByte(static_cast<std::uint8_t>(c >> 1));
    PutBits(c & 1u, 1);
  } else if (c < 1024) {
    PutBits(0b01, 2);
    PutByte(static_cast<std::uint8_t>((c - 512) >> 1));
    PutBits((c - 512) & 1u, 1);
  } else if (c < 2048) {
    PutBits(0b001, 3);
    PutByte(static_cast<std::uint8_t>((c - 1024) >> 2));
    PutBits((c - 1024) & 3u, 2);
  } else if (c < 4096) {
    PutBits(0b0001, 4);
    PutByte(static_cast<std::uint8_t>((c - 2048) >> 3));
    PutBits((c - 2048) & 7u, 3);
  } else {
    PutBits(0b0000, 4);
    PutByte(static_cast<std::uint8_t>((c - 4096) >> 4));
    PutBits((c - 4096) & 15u, 4);
  }
  if (length == 3) {
    PutBit(1);
  } else if (length == 4) {
    PutBits(0b01, 2);
  } else if (length <= 6) {
    PutBits(0b001, 3);
    PutBits(length - 5, 1);
  } else if (length <= 10) {
    PutBits(0b0001, 4);
    PutBits(length - 7, 2);
  } else if (length <= 26) {
    PutBits(0b00001, 5);
    PutBits(length - 11, 4);
  } else {
    PutBits(0b00000, 5);
    PutByte(static_cast<std::uint8_t>(length - 27));
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
