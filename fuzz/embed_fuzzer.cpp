// updpack's PE path on any stub: EmbedPackage either refuses it with a PeError or gives an
// image that carries the package, read back by the reader of list and verify; embedding again
// into that image is accepted as well, rewrites the resource section in place and carries the
// second package. Input: package length (1 byte), then the stub's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "embed.h"
#include "pe_image.h"
#include "fuzz_check.h"

namespace {


std::vector<std::uint8_t> Package(std::size_t size, std::uint8_t salt) {
  std::vector<std::uint8_t> p(size);
  for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<std::uint8_t>(i * 131 + salt);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::vector<std::uint8_t> package = Package(data[0], 7);
  std::vector<std::uint8_t> stub(data + 1, data + size);
  std::vector<std::uint8_t> out;
  try {
    out = updpack::EmbedPackage(std::move(stub), package).file;
  } catch (const updpack::pe::PeError&) {
    return 0;  // refused with a message
  }
  // What embed accepts reads back with its package, and takes another one.
  Check(updpack::ReadEmbeddedPackage(out) == package);
  const std::vector<std::uint8_t> second = Package(data[0] / 2 + 300, 11);
  const updpack::pe::RewriteResult again = updpack::EmbedPackage(out, second);
  Check(updpack::ReadEmbeddedPackage(again.file) == second);
  // The resources are the last section now, rewritten in place from here on.
  Check(!again.appended_section);
  return 0;
}
