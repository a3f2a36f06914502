// The compressor for the package's LZ stream format (see src/package/decoder.h).
//
// Three levels, one match window (long matches: distance 1..8192, length 3..282; short
// matches: length 2, distance 1..2303). Token costs are the exact bit costs of the format
// (stream_writer.h), control-word bits included.
//   fast     greedy: at each position the match that saves the most bits, from shallow hash
//            chains
//   default  cost-based parse (a shortest path over positions) over the matches that a
//            binary-tree match finder of depth 32 offers; a match of 128 bytes or more is
//            taken at once
//   best     the same shortest path over every useful candidate: the literal, the nearest short
//            match and, for every length, the nearest long match (no depth limit, nothing taken
//            at once): the fewest bits for each block of 1 MiB; then the default parse
//            too, and the smaller stream is kept, so that best never comes out larger
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace updpack {

enum class Level { kFast, kDefault, kBest };

std::optional<Level> ParseLevel(std::string_view name);
std::string_view LevelName(Level level);

// Called now and then with the number of input bytes done so far.
using CompressProgress = std::function<void(std::size_t done)>;

// Where a stream goes when it is not kept whole: in pieces as it is made.
struct StreamOut {
  using Sink = std::function<void(std::span<const std::uint8_t>)>;
  // The stream's next bytes.
  Sink write;
  // Drops every byte written so far: another parse follows (level best keeps the smaller of
  // two).
  std::function<void()> restart;
  // Gives up once the stream would be larger than this.
  std::uint64_t limit = UINT64_MAX;
  // Called now and then with a position: the parse under way reads no input before it again
  // (a later parse of the same input starts afresh), so a mapped input may let those pages go.
  std::function<void(std::size_t below)> release;
};

// Compresses one input after another, keeping its large tables (a few MiB) between them: what
// a package of many small files needs.
class Compressor {
 public:
  Compressor();
  ~Compressor();
  Compressor(Compressor&&) noexcept;
  Compressor& operator=(Compressor&&) noexcept;

  // One whole stream: the tokens, the end marker and the trailing 1 bit. The same input and
  // level give the same stream, whatever was compressed before.
  std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data, Level level,
                                     const CompressProgress& progress = {});
  // The same stream handed to `out` in pieces, so that only the tables and the window are
  // held, never the stream: its size, or nothing once it would pass `out.limit` (the bytes
  // written by then are to be dropped).
  std::optional<std::uint64_t> Compress(std::span<const std::uint8_t> data, Level level,
                                        const StreamOut& out, const CompressProgress& progress = {});

  struct Tables;

 private:
  std::unique_ptr<Tables> tables_;
};

// One whole stream, with tables of its own.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data, Level level,
                                   const CompressProgress& progress = {});

}  // namespace updpack
