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

  struct Tables;

 private:
  std::unique_ptr<Tables> tables_;
};

// One whole stream, with tables of its own.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> data, Level level,
                                   const CompressProgress& progress = {});

}  // namespace updpack
