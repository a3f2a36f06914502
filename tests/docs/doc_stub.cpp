// Writes a stand-in for update.exe, for the commands of the docs (tests/docs/run-doc-commands.sh):
// a small, complete PE image with a manifest, a dialog and a resource section followed by
// .reloc, as MinGW lays out the real one, so that `updpack embed` works on it as on the real
// updater. The native build has no update.exe of its own; the Windows build's is not needed to
// check what the docs show of updpack.
//   doc_stub OUT.exe
#include <cstdio>
#include <fstream>

#include "pe_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: doc_stub OUT.exe\n");
    return 2;
  }
  updtest::FakePe shape;
  shape.resources = updtest::StandardResources();
  shape.reloc_after_rsrc = true;
  const updtest::Bytes image = updtest::BuildFakePe(shape);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "doc_stub: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
