// Runs a libFuzzer target's entry point over every file of its seed folder, without libFuzzer,
// so the native suite (built with the sanitizers) replays the seeds and every input that once
// broke a property. A failed property aborts; an exception escapes; both fail the test.
//   fuzz_replay_<target> DIR...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
      if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
      std::fprintf(stderr, "%s holds no inputs\n", argv[i]);
      return 1;
    }
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
      if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "cannot read %s\n", f.string().c_str());
        return 1;
      }
      std::printf("%s\n", f.filename().string().c_str());
      std::fflush(stdout);  // the last name shown is the input that failed
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++count;
    }
  }
  std::printf("%zu inputs passed\n", count);
  return 0;
}
