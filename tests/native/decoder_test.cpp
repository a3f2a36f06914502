#include "package/decoder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "token_script.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using updtest::History;
using updtest::TokenScript;

std::optional<Bytes> Decode(const Bytes& stream, std::size_t capacity) {
  Bytes out(capacity);
  auto n = upd::DecompressBlock(stream, out);
  if (!n) return std::nullopt;
  out.resize(*n);
  return out;
}

TEST(DecompressBlock, WorkedExamples) {
  struct Row {
    const char* name;
    Bytes stream;
    std::string text;
  };
  const Row rows[] = {
      {"six a", {0x00, 0x00, 0x3F, 0x91, 0x61, 0x00, 0xFF}, "aaaaaa"},
      {"abc repeated", {0x00, 0xF0, 0x2B, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF}, "abcabcabcab"},
      {"empty", {0x00, 0x00, 0x00, 0x7E, 0xFF}, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto out = Decode(r.stream, r.text.size());
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out->begin(), out->end()), r.text);
  }
}

TEST(DecompressBlock, OurWriterReproducesTheWorkedExamples) {
  EXPECT_EQ((TokenScript().Literal('a').Long(1, 5).Finish()),
            (Bytes{0x00, 0x00, 0x3F, 0x91, 0x61, 0x00, 0xFF}));
  EXPECT_EQ((TokenScript().Literal('a').Literal('b').Literal('c').Long(3, 8).Finish()),
            (Bytes{0x00, 0xF0, 0x2B, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF}));
  EXPECT_EQ(TokenScript().Finish(), (Bytes{0x00, 0x00, 0x00, 0x7E, 0xFF}));
}

// Every short-match distance class, including the values next to the end marker.
TEST(DecompressBlock, ShortMatches) {
  const std::uint32_t distances[] = {1, 2, 255, 256, 257, 258, 1000, 2296,
                                     2297, 2298, 2299, 2300, 2301, 2302, 2303};
  for (std::uint32_t d : distances) {
    SCOPED_TRACE("distance " + std::to_string(d));
    TokenScript s;
    s.Literals(History(2400)).Short(d).Short(d);
    const Bytes expected = s.expected();
    auto out = Decode(std::move(s).Finish(), expected.size());
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, expected);
  }
}

// b = 255 and x = 0..6 are matches; only x = 7 ends the stream.
TEST(DecompressBlock, ShortMatchNextToEndMarkerByHand) {
  for (std::uint32_t x = 0; x <= 7; ++x) {
    SCOPED_TRACE("x = " + std::to_string(x));
    updpack::StreamWriter w;
    const Bytes hist = History(2303);
    for (auto b : hist) w.Literal(b);
    w.PutBits(0b011, 3);
    w.PutByte(0xFF);
    w.PutBits(x, 3);
    w.End();
    Bytes stream = std::move(w).Finish();
    auto out = Decode(stream, 2305);
    ASSERT_TRUE(out);
    if (x == 7) {
      EXPECT_EQ(*out, hist);
    } else {
      const std::size_t dist = 2297 + x;
      ASSERT_EQ(out->size(), 2305u);
      EXPECT_EQ((*out)[2303], hist[2303 - dist]);
      EXPECT_EQ((*out)[2304], hist[2304 - dist]);
    }
  }
}

// Every long-match distance class at its bounds, with every length code at its bounds.
TEST(DecompressBlock, LongMatchClassesAndLengths) {
  const std::uint32_t distances[] = {1, 2, 3, 4, 5, 511, 512, 513, 1024, 1025,
                                     2048, 2049, 4096, 4097, 8191, 8192};
  const std::uint32_t lengths[] = {3, 4, 5, 6, 7, 10, 11, 26, 27, 28, 281, 282};
  const Bytes hist = History(8192);
  for (std::uint32_t d : distances) {
    for (std::uint32_t n : lengths) {
      SCOPED_TRACE("distance " + std::to_string(d) + " length " + std::to_string(n));
      TokenScript s;
      s.Literals(hist).Long(d, n).Literal(0x5A);
      const Bytes expected = s.expected();
      auto out = Decode(std::move(s).Finish(), expected.size());
      ASSERT_TRUE(out);
      EXPECT_EQ(*out, expected);
    }
  }
}

// Distances 1..3 are copied as a repeated pattern; the phase must carry on for any length.
TEST(DecompressBlock, ShortDistancePatterns) {
  for (std::uint32_t d = 1; d <= 3; ++d) {
    for (std::uint32_t n = 3; n <= 40; ++n) {
      SCOPED_TRACE("distance " + std::to_string(d) + " length " + std::to_string(n));
      TokenScript s;
      s.Literals({'x', 'a', 'b', 'c'}).Long(d, n).Long(d, 282).Literal('z');
      const Bytes expected = s.expected();
      auto out = Decode(std::move(s).Finish(), expected.size());
      ASSERT_TRUE(out);
      EXPECT_EQ(*out, expected);
    }
  }
  auto out = Decode(TokenScript().Literal('q').Long(1, 282).Finish(), 283);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, Bytes(283, 'q'));
}

// Hand-made streams where a control word ends at a token boundary that matters.
TEST(DecompressBlock, ControlWordBoundaries) {
  Bytes lits = History(32, 7);
  struct Row {
    const char* name;
    Bytes stream;
    Bytes expected;
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
  };
  const Bytes first26(lits.begin(), lits.begin() + 26);
  const Bytes first30(lits.begin(), lits.begin() + 30);
  Bytes b30_rep = first30;
  b30_rep.push_back(first30.back());
  b30_rep.push_back(first30.back());
  Bytes b33 = lits;
  b33.push_back(0xEE);
  const Row rows[] = {
      // 32 literals use the first word; the 33rd literal's word stands before its byte.
      {"literal after a full word", cat({{0xFF, 0xFF, 0xFF, 0xFF}, lits, {0x00, 0x00, 0x00, 0xBF}, {0xEE, 0xFF}}), b33},
      // 30 literals and the short-match bits 0 1 fill the word; the selector bit comes from
      // the next word, which therefore stands before the match's byte.
      {"selector bit in the next word", cat({{0xFD, 0xFF, 0xFF, 0xFF}, first30, {0x00, 0x00, 0x00, 0x3F}, {0x00, 0xFF}}), b30_rep},
      // The end marker's last bit is bit 0 of the word: no further word is read.
      {"end marker on bit 0, nothing behind", cat({{0xDF, 0xFF, 0xFF, 0xFF}, first26, {0xFF}}), first26},
      {"end marker on bit 0, a word behind", cat({{0xDF, 0xFF, 0xFF, 0xFF}, first26, {0xFF, 0x00, 0x00, 0x00, 0x80}}), first26},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto out = Decode(r.stream, r.expected.size());
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, r.expected);
  }
}

TEST(DecompressBlock, ExactCapacityAndUnreadTail) {
  TokenScript s;
  s.Literals(History(100)).Long(50, 200);
  const Bytes expected = s.expected();
  Bytes stream = std::move(s).Finish();
  stream.insert(stream.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  auto out = Decode(stream, expected.size());
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, expected);
}

TEST(DecompressBlock, DamagedStreamsFail) {
  const Bytes good = TokenScript().Literals(History(10)).Long(4, 20).Finish();
  struct Row {
    const char* name;
    Bytes stream;
    std::size_t capacity;
  };
  const Row rows[] = {
      {"empty input", {}, 16},
      {"half a control word", {0x00, 0x00, 0x7E}, 16},
      {"no end marker", Bytes(good.begin(), good.end() - 1), 30},
      {"output one byte short", good, 29},
      {"literal into no room", {0x00, 0x00, 0x00, 0x80, 0x41}, 0},
      {"match before the start", TokenScript().Literal(1).Long(2, 3).Finish(), 64},
      {"short match before the start", TokenScript().Short(1).Finish(), 64},
      {"long match at 8192 with 8191 bytes behind",
       TokenScript().Literals(History(8191)).Long(8192, 3).Finish(), 9000},
      {"control words only", Bytes(64, 0x00), 1 << 20},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_FALSE(Decode(r.stream, r.capacity));
  }
}

// Every truncation and many random byte flips of a real stream: never a crash or a stray
// access (the sanitizers watch), and a truncated stream is never taken as complete.
TEST(DecompressBlock, TruncationsAndFlipsNeverCrash) {
  TokenScript s;
  const Bytes hist = History(3000, 99);
  s.Literals(Bytes(hist.begin(), hist.begin() + 600)).Long(1, 100).Long(300, 282).Short(2000)
      .Long(513, 27).Long(3, 17).Long(4097, 11).Literal(0);
  const Bytes expected = s.expected();
  const Bytes stream = std::move(s).Finish();
  for (std::size_t len = 0; len < stream.size(); ++len) {
    Bytes cut(stream.begin(), stream.begin() + len);
    auto out = Decode(cut, expected.size() + 64);
    EXPECT_FALSE(out) << "length " << len;
  }
  const std::uint32_t seed = 20261209;
  std::printf("flip seed %u\n", seed);
  std::uint32_t x = seed;
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = stream;
    for (int k = 0; k < 1 + i % 4; ++k) {
      x = x * 1664525u + 1013904223u;
      bad[x % bad.size()] ^= static_cast<std::uint8_t>(1u << (x >> 29));
    }
    Bytes out(expected.size() + (i % 3) * 100);
    (void)upd::DecompressBlock(bad, out);
  }
}

}  // namespace

namespace {

// A stream cut anywhere before its end marker is told from one damaged within its bytes.
TEST(DecompressBlock, TellsACutStreamFromADamagedOne) {
  const Bytes abc = {0x00, 0xF0, 0x2B, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF};
  for (std::size_t n = 0; n < abc.size(); ++n) {
    SCOPED_TRACE("cut to " + std::to_string(n));
    Bytes out(64);
    bool ended = false;
    EXPECT_FALSE(upd::DecompressBlock(std::span(abc).first(n), out, &ended));
    EXPECT_TRUE(ended);
  }
  struct Row {
    const char* what;
    Bytes stream;
    std::size_t capacity;
  };
  const Row rows[] = {
      {"output too small", abc, 10},
      {"a match before the start", {0x00, 0x00, 0x00, 0x40, 0x05}, 64},  // 0 1 0: distance 6
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes out(r.capacity);
    bool ended = true;
    EXPECT_FALSE(upd::DecompressBlock(r.stream, out, &ended));
    EXPECT_FALSE(ended);
  }
  Bytes out(64);
  bool ended = true;
  EXPECT_EQ(upd::DecompressBlock(abc, out, &ended), std::optional<std::size_t>(11));
  EXPECT_FALSE(ended);
}

}  // namespace

namespace {

// What decoding in pieces gave: the bytes and the last status.
struct PieceResult {
  Bytes bytes;
  upd::StreamDecoder::Status status;
  std::size_t pieces = 0;
};

// Decodes `stream` in pieces into rooms of `room_size` bytes, taking turns between two rooms
// or always the same one.
PieceResult DecodeInPieces(const Bytes& stream, std::uint64_t total, std::size_t room_size,
                           bool two_rooms) {
  upd::StreamDecoder decoder(stream, total);
  Bytes rooms[2] = {Bytes(room_size), Bytes(room_size)};
  PieceResult result;
  for (std::size_t turn = 0;; ++turn) {
    Bytes& room = rooms[two_rooms ? turn % 2 : 0];
    std::span<const std::uint8_t> piece;
    result.status = decoder.Next(room, piece);
    result.bytes.insert(result.bytes.end(), piece.begin(), piece.end());
    ++result.pieces;
    if (result.status != upd::StreamDecoder::Status::kMore) break;
    // Every piece but the last brings something: no endless loop on any input.
    if (piece.empty()) {
      ADD_FAILURE() << "an empty piece before the end";
      break;
    }
  }
  EXPECT_EQ(decoder.produced(), result.bytes.size());
  return result;
}

// A stream whose matches cross every piece boundary: the farthest distance, overlapping short
// distances, length bytes, and literal runs across control words.
Bytes LongStream(Bytes* expected) {
  TokenScript s;
  s.Literals(History(9000, 7));
  for (int i = 0; i < 60; ++i) {
    s.Long(8192, 282).Long(1, 200).Short(2303).Literals(History(33, i)).Long(3, 100)
        .Long(4097, 27).Short(1).Long(7000, 11);
  }
  *expected = s.expected();
  return std::move(s).Finish();
}

TEST(StreamDecoder, PiecesJoinToTheWholeEntry) {
  Bytes expected;
  const Bytes stream = LongStream(&expected);
  constexpr std::size_t kMin = upd::StreamDecoder::kMinRoom;
  struct Row {
    const char* name;
    std::size_t room;
    bool two_rooms;
  };
  const Row rows[] = {
      {"the least room, one room", kMin, false},
      {"the least room, two rooms", kMin, true},
      {"an odd size", kMin + 1, true},
      {"a few tokens more", 3 * kMin + 7, false},
      {"room for the whole entry", expected.size() + upd::StreamDecoder::kWindow, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const PieceResult got = DecodeInPieces(stream, expected.size(), r.room, r.two_rooms);
    EXPECT_EQ(got.status, upd::StreamDecoder::Status::kDone);
    EXPECT_TRUE(got.bytes == expected);
    if (r.room < expected.size()) {
      EXPECT_GT(got.pieces, 1u);
    }
  }
}

// Every way a whole-buffer decode of exactly the entry's size fails, decoding in pieces fails
// too, and tells a cut stream from a damaged one alike.
TEST(StreamDecoder, FailsWhereTheWholeBufferDecodeFails) {
  Bytes expected;
  const Bytes stream = LongStream(&expected);
  const std::uint64_t n = expected.size();
  struct Row {
    const char* name;
    Bytes stream;
    std::uint64_t total;
  };
  Bytes flipped = stream;
  flipped[flipped.size() / 2] ^= 0x10;
  const Row rows[] = {
      {"sound", stream, n},
      {"cut before the end marker", Bytes(stream.begin(), stream.end() - 3), n},
      {"cut in the middle", Bytes(stream.begin(), stream.begin() + stream.size() / 2), n},
      {"one byte more claimed", stream, n + 1},
      {"one byte fewer claimed", stream, n - 1},
      {"far fewer claimed", stream, n / 3},
      {"a flipped bit", flipped, n},
      {"match before the start", TokenScript().Literal(1).Long(2, 3).Finish(), 4},
      {"half a control word", {0x00, 0x00, 0x7E}, 0},
      {"empty entry", TokenScript().Finish(), 0},
      {"control words only", Bytes(64, 0x00), 1 << 20},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes whole(r.total);
    bool ended = false;
    const auto decoded = upd::DecompressBlock(r.stream, whole, &ended);
    const bool whole_ok = decoded && *decoded == r.total;
    for (const std::size_t room : {upd::StreamDecoder::kMinRoom, std::size_t{1} << 16}) {
      const PieceResult got = DecodeInPieces(r.stream, r.total, room, true);
      EXPECT_EQ(got.status == upd::StreamDecoder::Status::kDone, whole_ok) << "room " << room;
      if (whole_ok) {
        EXPECT_TRUE(got.bytes == whole);
      } else {
        EXPECT_EQ(got.status == upd::StreamDecoder::Status::kCut, ended) << "room " << room;
      }
    }
  }
}

TEST(StreamDecoder, TooSmallARoomIsRefusedNotOverrun) {
  const Bytes stream = TokenScript().Literals(History(100)).Finish();
  upd::StreamDecoder decoder(stream, 100);
  Bytes room(upd::StreamDecoder::kMinRoom - 1);
  std::span<const std::uint8_t> piece;
  EXPECT_EQ(decoder.Next(room, piece), upd::StreamDecoder::Status::kDamaged);
  EXPECT_TRUE(piece.empty());
  EXPECT_EQ(decoder.Next(room, piece), upd::StreamDecoder::Status::kDamaged);
}

}  // namespace
