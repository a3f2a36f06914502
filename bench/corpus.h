// A deterministic stand-in for what a game update carries, for the benchmarks and the round
// trip tests: script text in code page 932, uncompressed bitmaps, executable-like binaries and
// already-compressed media. Same seed, same bytes, on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace updbench {

struct CorpusFile {
  std::string kind;  // "text", "bitmap", "binary", "media"
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// Files of each kind, about `total` bytes in all (text 25%, bitmaps 35%, binaries 25%,
// media 15%).
std::vector<CorpusFile> MakeCorpus(std::size_t total, std::uint32_t seed);

// The single generators, `size` bytes each.
std::vector<std::uint8_t> ScriptText(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> Bitmap(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> Executable(std::size_t size, std::uint32_t seed);
std::vector<std::uint8_t> Media(std::size_t size, std::uint32_t seed);

}  // namespace updbench
