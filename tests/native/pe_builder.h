// Small but complete PE images for the native tests, laid out here by hand (independently of
// the packer's writer): DOS header, PE headers, .text, .rdata, an optional .rsrc with the
// given resources, an optional .reloc after it, COFF symbols, an overlay or a certificate table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace updtest {

using Bytes = std::vector<std::uint8_t>;

// A type or name: a number, or a string when `name` is not empty.
struct FakeId {
  std::uint16_t number = 0;
  std::u16string name;
};

struct FakeResource {
  FakeId type;
  FakeId name;
  std::uint16_t language = 0;
  Bytes data;
  std::uint32_t code_page = 0;
};

struct FakePe {
  bool pe32_plus = true;
  std::uint32_t file_alignment = 0x200;
  std::uint32_t section_alignment = 0x1000;
  bool with_rsrc = true;
  // Given grouped by type then name, each group sorted as the loader wants.
  std::vector<FakeResource> resources;
  bool reloc_after_rsrc = false;   // a .reloc section (and its directory) after .rsrc
  std::uint32_t symbol_count = 0;  // COFF symbols (18 bytes each) and a string table at the end
  Bytes overlay;                   // bytes appended after everything
  bool signed_image = false;       // a certificate table at the end
};

// The layout the builder chose, for tests that damage specific fields.
struct FakeLayout {
  std::size_t pe_offset = 0;
  std::size_t optional_header = 0;
  std::size_t section_table = 0;
  std::size_t rsrc_raw = 0;  // file offset of the resource tree
  std::size_t rsrc_raw_size = 0;
  std::uint32_t rsrc_rva = 0;
};

Bytes BuildFakePe(const FakePe& shape, FakeLayout* layout = nullptr);

// The resources most tests start from: a manifest, a dialog, a named type with a named entry.
std::vector<FakeResource> StandardResources();

Bytes RandomBytes(std::size_t n, std::uint32_t seed);

}  // namespace updtest
