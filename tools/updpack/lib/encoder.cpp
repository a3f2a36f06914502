#include "encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "package/decoder.h"
#include "stream_writer.h"

namespace updpack {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the 8-byte compare below assumes a little-endian host");

constexpr std::uint32_t kWindow = upd::kMaxLongDistance;         // farthest long match
constexpr std::uint32_t kShortWindow = upd::kMaxShortDistance;   // farthest short match
constexpr std::uint32_t kMaxLength = upd::kMaxLongLength;
constexpr std::uint32_t kRingBits = 14;        // ring of per-position links, larger than the window
constexpr std::uint32_t kRingMask = (1u << kRingBits) - 1;
constexpr std::uint32_t kHashBits = 16;
constexpr std::uint32_t kNone = 0;             // tables hold position + 1; 0 is "none"

struct Match {
  std::uint32_t length = 0;  // 0: none, 2: short match, 3..282: long match
  std::uint32_t distance = 0;
};

constexpr std::array<std::uint8_t, kMaxLength + 1> kLengthBits = [] {
  std::array<std::uint8_t, kMaxLength + 1> t{};
  for (std::uint32_t n = 3; n <= kMaxLength; ++n) t[n] = static_cast<std::uint8_t>(LongLengthBits(n));
  return t;
}();

inline std::uint32_t MatchBits(const Match& m) {
  return m.length == 2 ? ShortMatchBits(m.distance)
                       : 2 + LongDistanceBits(m.distance) + kLengthBits[m.length];
}

// Bits saved against spelling the same bytes as literals; a match only pays when positive.
inline int Gain(const Match& m) {
  return m.length == 0 ? 0 : static_cast<int>(kLiteralBits * m.length) - static_cast<int>(MatchBits(m));
}

inline std::uint32_t CommonLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
  std::uint32_t n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + static_cast<std::uint32_t>(std::countr_zero(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

inline std::uint32_t Hash3(const std::uint8_t* p) {
  const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
  return (v * 2654435761u) >> (32 - kHashBits);
}

// The nearest earlier occurrence of each byte pair: the cheapest short match.
class PairTable {
 public:
  PairTable(std::span<const std::uint8_t> data, std::vector<std::uint32_t>& last)
      : data_(data), last_(last) {
    last_.assign(1u << 16, kNone);
  }

  // Requires pos + 2 <= size.
  Match Find(std::uint32_t pos) const {
    const std::uint32_t c = last_[Key(pos)];
    if (c == kNone || pos - (c - 1) > kShortWindow) return {};
    return {2, pos - (c - 1)};
  }
  void Insert(std::uint32_t pos) { last_[Key(pos)] = pos + 1; }

 private:
  std::uint32_t Key(std::uint32_t pos) const {
    return std::uint32_t{data_[pos]} | std::uint32_t{data_[pos + 1]} << 8;
  }
  std::span<const std::uint8_t> data_;
  std::vector<std::uint32_t>& last_;
};

// Hash chains over 3-byte prefixes, newest first: cheap to keep, for the greedy parse.
class HashChains {
 public:
  HashChains(std::span<const std::uint8_t> data, std::vector<std::uint32_t>& head,
             std::vector<std::uint32_t>& prev)
      : data_(data), head_(head), prev_(prev) {
    head_.assign(1u << kHashBits, kNone);
    prev_.assign(1u << kRingBits, kNone);
  }

  // Requires pos + 3 <= size; each position is inserted once, in increasing order.
  void Insert(std::uint32_t pos) {
    const std::uint32_t h = Hash3(data_.data() + pos);
    prev_[pos & kRingMask] = head_[h];
    head_[h] = pos + 1;
  }

  // The long match with the largest gain among `depth` candidates, newest first. Only a
  // candidate longer than the longest so far can do better: it is farther away, and a longer
  // match at the same or a larger distance never saves less.
  Match Find(std::uint32_t pos, std::uint32_t depth, std::uint32_t nice) const {
    const std::uint8_t* const cur = data_.data() + pos;
    const std::uint32_t limit =
        std::min<std::uint32_t>(kMaxLength, static_cast<std::uint32_t>(data_.size()) - pos);
    Match best;
    int best_gain = 0;
    std::uint32_t longest = 2;
    std::uint32_t cand = head_[Hash3(cur)];
    while (cand != kNone && depth-- > 0) {
      const std::uint32_t c = cand - 1;
      const std::uint32_t d = pos - c;
      if (d > kWindow) break;
      const std::uint8_t* const src = data_.data() + c;
      if (src[longest] == cur[longest]) {
        const std::uint32_t len = CommonLength(src, cur, limit);
        if (len > longest) {
          longest = len;
          const Match m{len, d};
          const int g = Gain(m);
          if (g > best_gain) {
            best = m;
            best_gain = g;
          }
          if (len >= nice || len == limit) break;
        }
      }
      cand = prev_[c & kRingMask];
    }
    return best;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::vector<std::uint32_t>& head_;
  std::vector<std::uint32_t>& prev_;
};

// Binary trees of suffixes, one per hash bucket, newest position at the root; for the optimal
// parse. A search inserts the position and reports the matches of increasing length met on
// the way down; since every node is newer than the nodes below it, the match reported for a
// length is the nearest one of at least that length.
class BinaryTrees {
 public:
  BinaryTrees(std::span<const std::uint8_t> data, std::uint32_t depth,
              std::vector<std::uint32_t>& head, std::vector<std::uint32_t>& son)
      : data_(data), depth_(depth), head_(head), son_(son) {
    head_.assign(1u << kHashBits, kNone);
    son_.assign(2u << kRingBits, kNone);
  }

  // Inserts pos; the matches are not wanted.
  void Skip(std::uint32_t pos) { Matches(pos, unused_.data()); }

  // Requires pos + 3 <= size; every position from the first is searched once, in order.
  // Returns the number of matches written to `out` (room for kMaxLength).
  std::uint32_t Matches(std::uint32_t pos, Match* out) {
    const std::uint8_t* const base = data_.data();
    const std::uint8_t* const cur = base + pos;
    const std::uint32_t limit =
        std::min<std::uint32_t>(kMaxLength, static_cast<std::uint32_t>(data_.size()) - pos);
    const std::uint32_t h = Hash3(cur);
    std::uint32_t cand = head_[h];
    head_[h] = pos + 1;

    std::uint32_t* smaller = &son_[2 * (pos & kRingMask)];   // takes nodes below cur
    std::uint32_t* larger = &son_[2 * (pos & kRingMask) + 1];  // takes nodes above cur
    std::uint32_t len_smaller = 0;
    std::uint32_t len_larger = 0;
    std::uint32_t longest = 2;
    std::uint32_t count = 0;
    std::uint32_t depth = depth_;
    for (;;) {
      if (cand == kNone || depth-- == 0 || pos - (cand - 1) > kWindow) {
        *smaller = kNone;
        *larger = kNone;
        return count;
      }
      const std::uint32_t c = cand - 1;
      std::uint32_t* const node = &son_[2 * (c & kRingMask)];
      std::uint32_t len = std::min(len_smaller, len_larger);
      len += CommonLength(base + c + len, cur + len, limit - len);
      if (len > longest) {
        longest = len;
        out[count++] = {len, pos - c};
      }
      if (len == limit) {
        // cur takes the place of c, which it equals as far as the tree looks.
        *smaller = node[0];
        *larger = node[1];
        return count;
      }
      if (base[c + len] < cur[len]) {
        *smaller = cand;
        smaller = &node[1];
        cand = node[1];
        len_smaller = len;
      } else {
        *larger = cand;
        larger = &node[0];
        cand = node[0];
        len_larger = len;
      }
    }
  }

 private:
  std::span<const std::uint8_t> data_;
  std::uint32_t depth_;
  std::vector<std::uint32_t>& head_;
  std::vector<std::uint32_t>& son_;
  std::array<Match, kMaxLength> unused_;
};

void Emit(StreamWriter& w, std::span<const std::uint8_t> data, std::uint32_t pos, const Match& m) {
  if (m.length == 0) {
    w.Literal(data[pos]);
  } else if (m.length == 2) {
    w.ShortMatch(m.distance);
  } else {
    w.LongMatch(m.distance, m.length);
  }
}

constexpr std::size_t kProgressStep = 1u << 20;

// What a parse reports now and then, and the size past which it gives up.
struct Hooks {
  const CompressProgress* progress = nullptr;
  const std::function<void(std::size_t)>* release = nullptr;
  std::uint64_t limit = UINT64_MAX;
  // Input a parse may still read behind its position: a segment of the optimal parse is
  // emitted from its start, and matches reach a window further back.
  std::size_t reach = 0;

  void Report(std::size_t pos) const {
    if (progress && *progress) (*progress)(pos);
    if (release && *release && pos > reach) (*release)(pos - reach);
  }
};

}  // namespace

// The encoder's large tables. Allocating and freeing them per input cost more than the work
// on a small file (the allocator hands such blocks back to the system each time), so a
// Compressor keeps them and each parse only resets what it uses.
struct Compressor::Tables {
  std::vector<std::uint32_t> pairs;  // PairTable
  std::vector<std::uint32_t> head;   // HashChains or BinaryTrees: newest position per hash
  std::vector<std::uint32_t> links;  // HashChains: previous position; BinaryTrees: the two sons
  std::vector<std::uint32_t> cost;   // ParseOptimal
  std::vector<std::uint32_t> how;
  std::vector<Match> path;
};

namespace {

using Tables = Compressor::Tables;

// At each position the match that saves the most bits, else a literal.
// False when the stream passed the limit and was given up.
bool ParseGreedy(std::span<const std::uint8_t> data, StreamWriter& w, Tables& t,
                 std::uint32_t depth, std::uint32_t nice, const Hooks& hooks) {
  const std::uint32_t n = static_cast<std::uint32_t>(data.size());
  PairTable pairs(data, t.pairs);
  HashChains chains(data, t.head, t.links);
  std::size_t next_report = kProgressStep;
  std::uint32_t pos = 0;
  while (pos < n) {
    if (pos >= next_report) {
      hooks.Report(pos);
      next_report = pos + kProgressStep;
      if (w.size() > hooks.limit) return false;
    }
    Match m;
    if (pos + 2 <= n) m = pairs.Find(pos);
    if (pos + 3 <= n) {
      const Match l = chains.Find(pos, depth, nice);
      if (Gain(l) > Gain(m)) m = l;
    }
    Emit(w, data, pos, m);
    const std::uint32_t next = pos + (m.length == 0 ? 1 : m.length);
    for (; pos < next; ++pos) {
      if (pos + 3 <= n) chains.Insert(pos);
      if (pos + 2 <= n) pairs.Insert(pos);
    }
  }
  return true;
}

// Shortest path over positions. The graph is cut into segments that end at a block boundary
// (the block bounds the memory) or, when `forced` is not 0, at a match of at least that length,
// which is then taken as it is; tokens do not cross a segment's end, matches reach back freely.
constexpr std::uint32_t kOptimalBlock = 1u << 20;

template <class Finder>
bool ParseOptimal(std::span<const std::uint8_t> data, StreamWriter& w, Tables& t, Finder& finder,
                  std::uint32_t forced, const Hooks& hooks) {
  const std::uint32_t n = static_cast<std::uint32_t>(data.size());
  PairTable pairs(data, t.pairs);
  // Room for the longest segment this input can have; kept, with its capacity, for the next.
  std::vector<std::uint32_t>& cost = t.cost;
  std::vector<std::uint32_t>& how = t.how;  // token into a position: length | distance << 9
  cost.resize(std::size_t{std::min(n, kOptimalBlock)} + 1);
  how.resize(cost.size());
  std::vector<Match>& path = t.path;
  std::array<Match, kMaxLength> found;
  std::size_t next_report = kProgressStep;

  // Emits the cheapest path from `start` to `end` (end - start <= kOptimalBlock).
  auto flush = [&](std::uint32_t start, std::uint32_t end) {
    path.clear();
    for (std::uint32_t k = end - start; k > 0;) {
      const std::uint32_t len = how[k] & 0x1FF;
      path.push_back(len == 1 ? Match{} : Match{len, how[k] >> 9});
      k -= len;
    }
    std::uint32_t pos = start;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      Emit(w, data, pos, *it);
      pos += it->length == 0 ? 1 : it->length;
    }
  };

  // Every cell past `reach` is unreached, so a new segment clears only up to it.
  std::fill(cost.begin(), cost.end(), std::numeric_limits<std::uint32_t>::max());
  std::uint32_t reach = 0;
  auto restart = [&] {
    std::fill(cost.begin(), cost.begin() + reach + 1, std::numeric_limits<std::uint32_t>::max());
    cost[0] = 0;
    reach = 0;
  };
  std::uint32_t start = 0;
  std::uint32_t pos = 0;
  cost[0] = 0;
  while (pos < n) {
    if (pos >= next_report) {
      hooks.Report(pos);
      next_report = pos + kProgressStep;
      if (w.size() > hooks.limit) return false;
    }
    const std::uint32_t end = std::min(start + kOptimalBlock, n);
    const std::uint32_t k = pos - start;
    const std::uint32_t here = cost[k];
    const std::uint32_t room = end - pos;
    std::uint32_t count = 0;
    if (pos + 3 <= n) count = finder.Matches(pos, found.data());
    if (forced != 0 && count > 0 && found[count - 1].length >= forced &&
        found[count - 1].length <= room) {
      const Match m = found[count - 1];
      flush(start, pos);
      Emit(w, data, pos, m);
      if (pos + 2 <= n) pairs.Insert(pos);
      for (std::uint32_t i = pos + 1; i < pos + m.length; ++i) {
        if (i + 3 <= n) finder.Skip(i);
        if (i + 2 <= n) pairs.Insert(i);
      }
      pos += m.length;
      start = pos;
      restart();
      continue;
    }
    reach = std::max(reach, k + 1);
    if (here + kLiteralBits < cost[k + 1]) {
      cost[k + 1] = here + kLiteralBits;
      how[k + 1] = 1;
    }
    if (pos + 2 <= n) {
      const Match s = pairs.Find(pos);
      pairs.Insert(pos);
      if (s.length != 0 && room >= 2) {
        reach = std::max(reach, k + 2);
        const std::uint32_t c = here + ShortMatchBits(s.distance);
        if (c < cost[k + 2]) {
          cost[k + 2] = c;
          how[k + 2] = 2 | s.distance << 9;
        }
      }
    }
    std::uint32_t from = 3;
    for (std::uint32_t i = 0; i < count && from <= room; ++i) {
      const Match& m = found[i];
      const std::uint32_t base = here + 2 + LongDistanceBits(m.distance);
      const std::uint32_t to = std::min(m.length, room);
      reach = std::max(reach, k + to);
      for (std::uint32_t len = from; len <= to; ++len) {
        const std::uint32_t c = base + kLengthBits[len];
        if (c < cost[k + len]) {
          cost[k + len] = c;
          how[k + len] = len | m.distance << 9;
        }
      }
      from = m.length + 1;
    }
    ++pos;
    if (pos == end) {
      flush(start, end);
      start = end;
      restart();
    }
  }
  return true;
}

}  // namespace

std::optional<Level> ParseLevel(std::string_view name) {
  if (name == "fast") return Level::kFast;
  if (name == "default") return Level::kDefault;
  if (name == "best") return Level::kBest;
  return std::nullopt;
}

std::string_view LevelName(Level level) {
  switch (level) {
    case Level::kFast: return "fast";
    case Level::kDefault: return "default";
    case Level::kBest: return "best";
  }
  return "default";
}

Compressor::Compressor() : tables_(std::make_unique<Tables>()) {}
Compressor::~Compressor() = default;
Compressor::Compressor(Compressor&&) noexcept = default;
Compressor& Compressor::operator=(Compressor&&) noexcept = default;

namespace {

// One parse of `level` (best: its own parse only) into `w`; false when it passed the limit.
bool Parse(std::span<const std::uint8_t> data, Level level, StreamWriter& w, Tables& t,
           Hooks hooks) {
  // Positions are 32-bit, as every size in a package is.
  assert(data.size() < std::numeric_limits<std::uint32_t>::max() - kMaxLength);
  bool done = false;
  switch (level) {
    case Level::kFast:
      hooks.reach = kWindow;
      done = ParseGreedy(data, w, t, 4, 32, hooks);
      break;
    case Level::kDefault: {
      hooks.reach = kOptimalBlock + kWindow;
      BinaryTrees trees(data, 32, t.head, t.links);
      done = ParseOptimal(data, w, t, trees, 128, hooks);
      break;
    }
    case Level::kBest: {
      hooks.reach = kOptimalBlock + kWindow;
      // A depth that a window of 8192 positions never exhausts: every match is seen.
      BinaryTrees trees(data, kWindow, t.head, t.links);
      done = ParseOptimal(data, w, t, trees, 0, hooks);
      break;
    }
  }
  if (!done) return false;
  w.End();
  return w.size() <= hooks.limit;
}

}  // namespace

std::optional<std::uint64_t> Compressor::Compress(std::span<const std::uint8_t> data, Level level,
                                                  const StreamOut& out,
                                                  const CompressProgress& progress) {
  Tables& t = *tables_;
  Hooks hooks{&progress, &out.release, out.limit};
  // The stream's size, or nothing past `limit`; its bytes go to `write`.
  const auto run = [&](Level parse, const StreamOut::Sink& write, std::uint64_t limit,
                       const CompressProgress* shown) -> std::optional<std::uint64_t> {
    StreamWriter w(write);
    Hooks h = hooks;
    h.limit = limit;
    h.progress = shown;
    if (!Parse(data, parse, w, t, h)) return std::nullopt;
    const std::size_t size = w.size();
    std::move(w).Finish();
    return size;
  };
  if (level != Level::kBest) return run(level, out.write, out.limit, &progress);
  // Each parse is the cheapest path within its segments, but the segments differ: best's
  // end at every 1 MiB, default's restart after each long match it takes at once, so a
  // match that best must cut at a block end may run on in default's parse. And fewer bits
  // can still round up to one more control word. Keeping the smaller of the two streams
  // (best's on a tie) makes best never lose to default. Default's is first only measured,
  // and written only when it wins.
  const StreamOut::Sink nowhere = [](std::span<const std::uint8_t>) {};
  const std::optional<std::uint64_t> best = run(Level::kBest, out.write, out.limit, &progress);
  const std::uint64_t beat = best ? *best - 1 : out.limit;
  if (best && *best == 0) return best;
  if (!run(Level::kDefault, nowhere, beat, nullptr)) return best;
  out.restart();
  return run(Level::kDefault, out.write, beat, nullptr);
}

std::vector<std::uint8_t> Compressor::Compress(std::span<const std::uint8_t> data, Level level,
                                               const CompressProgress& progress) {
  std::vector<std::uint8_t> stream;
  StreamOut out;
  out.write = [&](std::span<const std::uint8_t> bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  };
  out.restart = [&] { stream.clear(); };
  Compress(data, level, out, progress);
  return stream;
}

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data, Level level,
                                   const CompressProgress& progress) {
  return Compressor().Compress(data, level, progress);
}

}  // namespace updpack
