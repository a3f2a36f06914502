// What the integrity check costs the updater at start-up: a package built from the bench's
// corpus, loaded and checked as the updater does (the records and every entry's stored bytes
// hashed in place), against unpacking every entry once, which is what a check of the unpacked
// bytes would cost on top. Fastest of several rounds; prints, asserts nothing.
//
//   integrity_bench [MEGABYTES] [SEED]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "corpus.h"
#include "package/container.h"
#include "package/decoder.h"
#include "package/integrity.h"
#include "package/unfilled_array.h"
#include "package_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Fastest(int rounds, const std::function<void()>& f) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const auto seed = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
  std::vector<updpack::PackageFile> files;
  std::uint64_t unpacked = 0;
  for (auto& f : updbench::MakeCorpus(mb << 20, seed)) {
    unpacked += f.bytes.size();
    files.push_back({f.name, std::move(f.bytes), 0});
  }
  updpack::PackageOptions options;
  options.level = updpack::Level::kFast;
  const std::vector<std::uint8_t> image = updpack::BuildPackage(std::move(files), options).image;
  const auto dir = upd::LoadPackageDirectory(image);
  if (!dir || upd::CheckIntegrity(*dir, image).status != upd::IntegrityResult::Status::kSound) {
    std::fprintf(stderr, "integrity_bench: the package does not check\n");
    return 1;
  }

  const double check = Fastest(5, [&] {
    const auto d = upd::LoadPackageDirectory(image);
    if (upd::CheckIntegrity(*d, image).status != upd::IntegrityResult::Status::kSound) std::abort();
  });
  const double unpack = Fastest(5, [&] {
    const auto d = upd::LoadPackageDirectory(image);
    for (std::size_t i = 0; i < d->Entries().size(); ++i) {
      const upd::PackageEntry& e = d->Entries()[i];
      if (!e.IsCompressed()) continue;
      upd::UnfilledArray<std::uint8_t> out;
      if (!out.AllocateUnfilled(e.UnpackedSize) ||
          !upd::DecompressBlock(d->StoredBytes(image, i), out.span())) {
        std::abort();
      }
    }
  });
  const double per100 = 100.0 * (1 << 20) / static_cast<double>(unpacked) * 1000.0;
  std::printf("package: %zu entries, %.1f MiB unpacked, %.1f MiB packed\n", dir->Entries().size(),
              static_cast<double>(unpacked) / (1 << 20), static_cast<double>(image.size()) / (1 << 20));
  std::printf("load + integrity check:  %8.1f ms  (%6.1f ms per 100 MiB unpacked)\n", check * 1000,
              check * per100);
  std::printf("unpacking every entry:  %8.1f ms  (%6.1f ms per 100 MiB unpacked)\n", unpack * 1000,
              unpack * per100);
  return 0;
}
