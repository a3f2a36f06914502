// updcorpus DIR MEGABYTES [SEED]: writes the benchmark corpus (text, bitmaps, binaries, media;
// bench/corpus.h) as files of one folder, for the update run of the benchmark: the folder is
// packed as an update, and copied plainly as its yardstick.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "corpus.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: updcorpus DIR MEGABYTES [SEED]\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const std::size_t megabytes = std::strtoul(argv[2], nullptr, 10);
  const auto seed = static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1);
  // Extensions as a game's files have them.
  const std::map<std::string, std::string> ext = {
      {"text", ".txt"}, {"bitmap", ".bmp"}, {"binary", ".exe"}, {"media", ".ogg"}};
  std::filesystem::create_directories(dir);
  for (const auto& file : updbench::MakeCorpus(megabytes << 20, seed)) {
    const auto path = dir / (file.name + ext.at(file.kind));
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.bytes.data()),
              static_cast<std::streamsize>(file.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "updcorpus: cannot write %s\n", path.string().c_str());
      return 1;
    }
    std::printf("%s\t%s\t%zu\n", file.kind.c_str(), path.filename().string().c_str(),
                file.bytes.size());
  }
  return 0;
}
