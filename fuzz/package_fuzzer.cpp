// Fuzzes the package loader and the reader that updpack list, extract and verify use: any
// image is loaded, every entry of a loaded directory is decoded into exactly its size, and the
// reader's verdict agrees with the loader's.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "package/container.h"
#include "package/decoder.h"
#include "package_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> image(data, data + size);  // exact bounds for ASan
  const auto dir = upd::LoadPackageDirectory(image);
  if (dir) {
    for (std::size_t i = 0; i < dir->EntryCount(); ++i) {
      const upd::PackageEntry& e = dir->Entries()[i];
      const auto stored = dir->StoredBytes(image, i);
      if (e.IsCompressed()) {
        std::vector<std::uint8_t> out(e.UnpackedSize);
        (void)upd::DecompressBlock(stored, out);
      } else if (e.UnpackedSize > stored.size()) {
        std::abort();  // the loader promises stored entries lie within their bytes
      }
    }
  }
  std::vector<updpack::Fault> notes;
  const auto fault = updpack::VerifyPackage(image, &notes);
  // A package the reader calls sound is one the updater's loader takes.
  if (!fault && !dir) std::abort();
  const auto opened = updpack::OpenPackage(image);
  if (opened.view) {
    for (std::size_t i = 0; i < opened.view->entries.size(); ++i) {
      if (!updpack::EntryFault(*opened.view, i)) (void)updpack::ReadEntry(*opened.view, i);
    }
  }
  return 0;
}
