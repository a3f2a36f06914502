// The compressor against the decoder: every level round-trips, uses the whole window, and the
// levels rank as promised against a plain greedy parse.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "corpus.h"
#include "encoder.h"
#include "package/decoder.h"
#include "stream_writer.h"
#include "token_script.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using updpack::Level;

constexpr Level kLevels[] = {Level::kFast, Level::kDefault, Level::kBest};

std::string Name(Level l) { return std::string(updpack::LevelName(l)); }

// Decodes with exactly the room the data needs; the decoder fails on any overrun.
::testing::AssertionResult RoundTrips(const Bytes& data, const Bytes& stream) {
  Bytes out(data.size());
  const auto n = upd::DecompressBlock(stream, out);
  if (!n) return ::testing::AssertionFailure() << "the stream does not decode";
  if (*n != data.size()) return ::testing::AssertionFailure() << "decoded " << *n << " bytes of " << data.size();
  if (out != data) {
    std::size_t i = 0;
    while (out[i] == data[i]) ++i;
    return ::testing::AssertionFailure() << "first difference at byte " << i;
  }
  return ::testing::AssertionSuccess();
}

Bytes Random(std::size_t n, std::uint32_t seed) {
  Bytes v(n);
  std::uint32_t x = seed;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return v;
}

// A plain greedy parse, written independently of the encoder: at each position the longest
// match in the window (the nearest among equally long ones) found by exhaustive search; a
// short match when only a pair repeats within 2303 bytes; else a literal.
Bytes GreedyReference(const Bytes& d) {
  const std::size_t n = d.size();
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> triples;
  std::vector<std::vector<std::uint32_t>> pairs(1u << 16);
  auto key3 = [&](std::size_t p) { return std::uint32_t{d[p]} | d[p + 1] << 8 | d[p + 2] << 16; };
  auto key2 = [&](std::size_t p) { return std::uint32_t{d[p]} | d[p + 1] << 8; };
  updpack::StreamWriter w;
  std::size_t pos = 0;
  auto add = [&](std::size_t p) {
    if (p + 3 <= n) triples[key3(p)].push_back(static_cast<std::uint32_t>(p));
    if (p + 2 <= n) pairs[key2(p)].push_back(static_cast<std::uint32_t>(p));
  };
  while (pos < n) {
    std::size_t best_len = 0, best_dist = 0;
    if (pos + 3 <= n) {
      const std::size_t limit = std::min<std::size_t>(282, n - pos);
      auto it = triples.find(key3(pos));
      if (it != triples.end()) {
        for (auto c = it->second.rbegin(); c != it->second.rend() && pos - *c <= 8192; ++c) {
          std::size_t len = 0;
          while (len < limit && d[*c + len] == d[pos + len]) ++len;
          if (len > best_len) {
            best_len = len;
            best_dist = pos - *c;
          }
          if (len == limit) break;
        }
      }
    }
    std::size_t step = 1;
    if (best_len >= 3) {
      w.LongMatch(static_cast<std::uint32_t>(best_dist), static_cast<std::uint32_t>(best_len));
      step = best_len;
    } else if (pos + 2 <= n && !pairs[key2(pos)].empty() && pos - pairs[key2(pos)].back() <= 2303) {
      w.ShortMatch(static_cast<std::uint32_t>(pos - pairs[key2(pos)].back()));
      step = 2;
    } else {
      w.Literal(d[pos]);
    }
    for (std::size_t i = 0; i < step; ++i) add(pos + i);
    pos += step;
  }
  w.End();
  return std::move(w).Finish();
}

TEST(Compress, SmallSizesRoundTripAtEveryLevel) {
  const std::size_t sizes[] = {0, 1, 2, 3, 16, 17, 8192, 8193};
  struct Kind {
    const char* name;
    Bytes (*make)(std::size_t);
  };
  const Kind kinds[] = {
      {"zeros", [](std::size_t n) { return Bytes(n, 0); }},
      {"random", [](std::size_t n) { return Random(n, 77); }},
      {"text", [](std::size_t n) { return updbench::ScriptText(n, 5); }},
      {"period 3", [](std::size_t n) {
         Bytes v(n);
         for (std::size_t i = 0; i < n; ++i) v[i] = "abc"[i % 3];
         return v;
       }},
  };
  for (Level level : kLevels) {
    for (const Kind& k : kinds) {
      for (std::size_t size : sizes) {
        SCOPED_TRACE(Name(level) + ", " + k.name + ", " + std::to_string(size) + " bytes");
        const Bytes data = k.make(size);
        const Bytes stream = updpack::Compress(data, level);
        EXPECT_TRUE(RoundTrips(data, stream));
      }
    }
  }
  // The empty input is the bare end marker and the trailing bit.
  for (Level level : kLevels) {
    EXPECT_EQ(updpack::Compress({}, level), (Bytes{0x00, 0x00, 0x00, 0x7E, 0xFF}));
  }
}

TEST(Compress, MixedMegabytesRoundTripAtEveryLevel) {
  const std::uint32_t seed = 20240611;
  std::printf("corpus seed %u\n", seed);
  const auto corpus = updbench::MakeCorpus(3u << 20, seed);
  for (Level level : kLevels) {
    std::size_t in = 0, out = 0;
    for (const auto& f : corpus) {
      SCOPED_TRACE(Name(level) + ", " + f.name);
      const Bytes stream = updpack::Compress(f.bytes, level);
      ASSERT_TRUE(RoundTrips(f.bytes, stream));
      in += f.bytes.size();
      out += stream.size();
    }
    std::printf("%s: %zu -> %zu bytes\n", Name(level).c_str(), in, out);
  }
}

// The cost-based levels parse in blocks of 1 MiB; matches reach back across a block's start
// and the block's last token ends exactly at it.
TEST(Compress, AcrossParseBlocks) {
  const std::size_t mib = 1u << 20;
  for (std::size_t size : {mib, mib + 1}) {
    Bytes data = updbench::Executable(size, static_cast<std::uint32_t>(size));
    // A run over the first block's end, and a copy of earlier bytes right after it.
    std::fill(data.begin() + static_cast<std::ptrdiff_t>(mib - 500),
              data.begin() + static_cast<std::ptrdiff_t>(std::min(size, mib + 500)), 0x42);
    for (Level level : {Level::kDefault, Level::kBest}) {
      SCOPED_TRACE(Name(level) + ", " + std::to_string(size) + " bytes");
      EXPECT_TRUE(RoundTrips(data, updpack::Compress(data, level)));
    }
  }
}

// A block repeated at a distance of exactly 8192 is found; one byte farther it cannot be.
TEST(Compress, UsesTheWholeWindowAndNoMore) {
  const Bytes block = Random(8192, 3);
  Bytes at_limit = block;
  at_limit.insert(at_limit.end(), block.begin(), block.end());
  Bytes beyond = block;
  beyond.push_back(0x55);
  beyond.insert(beyond.end(), block.begin(), block.end());
  for (Level level : kLevels) {
    SCOPED_TRACE(Name(level));
    const Bytes s1 = updpack::Compress(at_limit, level);
    const Bytes s2 = updpack::Compress(beyond, level);
    EXPECT_TRUE(RoundTrips(at_limit, s1));
    EXPECT_TRUE(RoundTrips(beyond, s2));
    // The second copy costs a few dozen match tokens at most.
    EXPECT_LT(s1.size(), block.size() * 9 / 8 + 8192 / 282 * 4 + 64);
    // Beyond the window only short matches of random pairs are left: no real gain.
    EXPECT_GT(s2.size(), beyond.size());
  }
}

// Distances 1..3 overlap the match being written; runs and short periods come out right.
TEST(Compress, OverlappingMatches) {
  Bytes data;
  for (int run = 1; run < 600; run += 37) data.insert(data.end(), run, static_cast<std::uint8_t>(run));
  for (int i = 0; i < 1000; ++i) data.push_back("xy"[i % 2]);
  for (int i = 0; i < 1000; ++i) data.push_back("xyz"[i % 3]);
  for (Level level : kLevels) {
    SCOPED_TRACE(Name(level));
    EXPECT_TRUE(RoundTrips(data, updpack::Compress(data, level)));
  }
}

TEST(Compress, SameInputSameStream) {
  const Bytes data = updbench::Executable(100000, 9);
  for (Level level : kLevels) {
    SCOPED_TRACE(Name(level));
    EXPECT_EQ(updpack::Compress(data, level), updpack::Compress(data, level));
  }
}

// One compressor packs a whole folder: what an earlier input left in its tables never shows in
// a later stream, whether the later input is smaller, larger or the same.
TEST(Compress, OneCompressorForManyInputsMatchesFreshOnes) {
  const Bytes inputs[] = {
      updbench::Executable(60000, 3), updbench::ScriptText(2000, 4), Bytes(5, 'a'),
      updbench::ScriptText(2000, 4), Bytes{}, Random(1100000, 5), Random(777, 6),
  };
  for (Level level : kLevels) {
    SCOPED_TRACE(Name(level));
    updpack::Compressor compressor;
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
      SCOPED_TRACE("input " + std::to_string(i));
      EXPECT_EQ(compressor.Compress(inputs[i], level), updpack::Compress(inputs[i], level));
    }
  }
}

// default <= a plain greedy parse, best <= default, on each kind of data.
TEST(Compress, LevelsRankAgainstGreedy) {
  const std::uint32_t seed = 4242;
  std::printf("data seed %u\n", seed);
  struct Row {
    const char* name;
    Bytes data;
  };
  Bytes runs;
  for (int i = 0; i < 3000; ++i) runs.insert(runs.end(), 1 + i % 50, static_cast<std::uint8_t>(i * 7));
  const Row rows[] = {
      {"script text", updbench::ScriptText(192 * 1024, seed)},
      {"bitmap", updbench::Bitmap(192 * 1024, seed)},
      {"executable", updbench::Executable(192 * 1024, seed)},
      {"media", updbench::Media(64 * 1024, seed)},
      {"runs", runs},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const Bytes greedy = GreedyReference(r.data);
    ASSERT_TRUE(RoundTrips(r.data, greedy));
    const std::size_t fast = updpack::Compress(r.data, Level::kFast).size();
    const std::size_t def = updpack::Compress(r.data, Level::kDefault).size();
    const std::size_t best = updpack::Compress(r.data, Level::kBest).size();
    std::printf("%-12s greedy %zu  fast %zu  default %zu  best %zu\n", r.name, greedy.size(), fast,
                def, best);
    EXPECT_LE(def, greedy.size());
    EXPECT_LE(best, def);
  }
}

// A period of 300 random bytes over a little more than 1 MiB: default takes 282-byte matches
// at once and runs on across the 1 MiB mark, where best's parse must end a segment; best once
// came out a byte larger here.
TEST(Compress, BestNeverLosesToDefaultAcrossABlockEnd) {
  const Bytes period = Random(300, 77);
  Bytes data;
  while (data.size() < (1u << 20) + 5000) data.insert(data.end(), period.begin(), period.end());
  data.resize((1u << 20) + 5000);
  const Bytes def = updpack::Compress(data, Level::kDefault);
  const Bytes best = updpack::Compress(data, Level::kBest);
  EXPECT_LE(best.size(), def.size());
  EXPECT_TRUE(RoundTrips(data, best));
}

TEST(Compress, LevelNames) {
  for (Level level : kLevels) EXPECT_EQ(updpack::ParseLevel(updpack::LevelName(level)), level);
  EXPECT_FALSE(updpack::ParseLevel("max"));
  EXPECT_FALSE(updpack::ParseLevel(""));
}

}  // namespace

namespace {

// Random token streams of every kind, distance class and length, so that control words end
// at every place within tokens: the decoder's fast ways and its bit-by-bit way must all give
// the byte-by-byte result.
TEST(DecompressBlock, RandomTokenStreamsDecodeExactly) {
  const std::uint32_t seed = 77031;
  std::printf("token seed %u\n", seed);
  std::uint32_t x = seed;
  auto next = [&](std::uint32_t n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % n;
  };
  static const std::uint32_t kDistances[] = {1, 2, 3, 4, 7, 8, 9, 256, 257, 511, 512, 513, 1024,
                                             1025, 2048, 2049, 2303, 4096, 4097, 8192};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    updtest::TokenScript s;
    s.Literals(updtest::History(8192, seed + round));
    const int tokens = 200 + static_cast<int>(next(3000));
    for (int t = 0; t < tokens; ++t) {
      switch (next(4)) {
        case 0:
          for (std::uint32_t n = 1 + next(40); n > 0; --n) s.Literal(static_cast<std::uint8_t>(next(256)));
          break;
        case 1:
          s.Short(next(2) ? 1 + next(2303) : kDistances[next(17)]);
          break;
        default: {
          const std::uint32_t d = next(2) ? 1 + next(8192) : kDistances[next(20)];
          const std::uint32_t len = next(3) ? 3 + next(24) : 3 + next(280);
          s.Long(d, len);
        }
      }
    }
    const Bytes expected = s.expected();
    const Bytes stream = std::move(s).Finish();
    Bytes out(expected.size());
    ASSERT_EQ(upd::DecompressBlock(stream, out), std::optional<std::size_t>(expected.size()));
    ASSERT_EQ(out, expected);
    // One byte less room fails, and so does the stream cut anywhere before its end marker.
    Bytes small(expected.size() - 1);
    EXPECT_FALSE(upd::DecompressBlock(stream, small));
    const std::size_t cut = 4 + next(static_cast<std::uint32_t>(stream.size() - 8));
    EXPECT_FALSE(upd::DecompressBlock(std::span(stream).first(cut), out));
  }
}

}  // namespace
