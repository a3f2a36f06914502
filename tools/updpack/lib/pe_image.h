// A Windows executable (PE32 or PE32+) as the packer reads and rewrites it. Every offset and
// size is checked when the image is opened, so a damaged file is refused with a message that
// names the fault instead of being misread.
//
//   0          DOS header: "MZ", and at 0x3C the u32 offset of the PE signature
//   e_lfanew   "PE\0\0", then the COFF header (20 bytes):
//                0 Machine  2 NumberOfSections  8 PointerToSymbolTable  12 NumberOfSymbols
//                16 SizeOfOptionalHeader  18 Characteristics
//   +24        optional header; Magic 0x10B (PE32) or 0x20B (PE32+):
//                8 SizeOfInitializedData  32 SectionAlignment  36 FileAlignment
//                56 SizeOfImage  60 SizeOfHeaders  64 CheckSum
//                92 / 108 NumberOfRvaAndSizes, then the data directories at 96 / 112,
//                8 bytes each (RVA, size); 2 = resources, 4 = certificates (a file offset)
//   then       the section table, 40 bytes a section:
//                0 Name[8]  8 VirtualSize  12 VirtualAddress  16 SizeOfRawData
//                20 PointerToRawData  36 Characteristics
//   then       the sections' raw data. After the last of it an image may carry the COFF symbol
//              and string tables (MinGW leaves them in unstripped images), a certificate table
//              (a signed image), or other appended bytes (an overlay).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "package/byte_order.h"

namespace updpack::pe {

// A file that is not a PE image, is damaged, or cannot be rewritten safely.
class PeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kResourceDirectoryIndex = 2;
inline constexpr std::size_t kCertificateDirectoryIndex = 4;
inline constexpr std::size_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kSectionInitializedData = 0x00000040;
inline constexpr std::uint32_t kSectionMemRead = 0x40000000;

struct Section {
  std::array<char, 8> raw_name{};
  std::uint32_t virtual_size = 0;
  std::uint32_t virtual_address = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t characteristics = 0;

  // The name as stored: up to 8 bytes, NUL-padded.
  std::string_view Name() const;
  // Bytes the section takes in memory; old linkers leave VirtualSize 0 and mean SizeOfRawData.
  std::uint32_t VirtualExtent() const { return virtual_size != 0 ? virtual_size : raw_size; }
  // Bytes of the file that the loader maps: the raw data, but no more than the extent.
  std::uint32_t MappedRawSize() const {
    return raw_size < VirtualExtent() ? raw_size : VirtualExtent();
  }
};

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
  bool Empty() const { return rva == 0 && size == 0; }
};

class Image {
 public:
  // Takes the file's bytes and checks headers and section table; throws PeError.
  explicit Image(std::vector<std::uint8_t> bytes);
  // The same over bytes that stay where they are (a mapped file): they must outlive the image.
  explicit Image(std::span<const std::uint8_t> bytes);

  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  bool IsPe32Plus() const { return pe32_plus_; }
  std::uint32_t SectionAlignment() const { return section_alignment_; }
  std::uint32_t FileAlignment() const { return file_alignment_; }
  std::uint32_t SizeOfHeaders() const { return size_of_headers_; }
  std::uint32_t PointerToSymbolTable() const;
  std::uint32_t NumberOfSymbols() const;
  const std::vector<Section>& Sections() const { return sections_; }
  std::size_t DirectoryCount() const { return directory_count_; }
  DataDirectory Directory(std::size_t index) const;  // an empty one beyond DirectoryCount

  // File offsets of header fields, for the writer.
  std::size_t CoffHeaderOffset() const { return coff_offset_; }
  std::size_t OptionalHeaderOffset() const { return coff_offset_ + 20; }
  std::size_t CheckSumOffset() const { return OptionalHeaderOffset() + 64; }
  std::size_t DirectoryOffset(std::size_t index) const {
    return OptionalHeaderOffset() + (pe32_plus_ ? 112 : 96) + index * 8;
  }
  std::size_t SectionTableOffset() const { return section_table_offset_; }

  // The section whose memory range holds `rva`, or null.
  const Section* SectionAt(std::uint32_t rva) const;
  // The file bytes the loader maps at [rva, rva + size), when they lie wholly inside one
  // section's mapped raw data.
  std::optional<std::span<const std::uint8_t>> MapRva(std::uint32_t rva,
                                                      std::uint32_t size) const;
  // End of the last section's raw data (at least SizeOfHeaders): what follows is trailing data.
  std::uint64_t EndOfSectionData() const;
  // The lowest address a section may take after `sections` (the headers' pages come first):
  // the one rule the reader checks and the writer follows when it adds a section.
  std::uint64_t NextSectionAddress(std::span<const Section> sections) const;

 private:
  void Parse();

  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
  bool pe32_plus_ = false;
  std::size_t coff_offset_ = 0;
  std::size_t section_table_offset_ = 0;
  std::size_t directory_count_ = 0;
  std::uint32_t section_alignment_ = 0;
  std::uint32_t file_alignment_ = 0;
  std::uint32_t size_of_headers_ = 0;
  std::vector<Section> sections_;
};

// `v` in hexadecimal for messages: "0x1A2B".
std::string Hex(std::uint64_t v);

// Where a section may begin in memory after one that begins at `previous_rva` and takes
// `previous_extent` bytes: at the next multiple of the section alignment, as Windows's loader
// maps sections in whole, ascending pages of their own.
std::uint64_t SectionStartAfter(std::uint64_t previous_rva, std::uint64_t previous_extent,
                                std::uint32_t section_alignment);

// The image checksum as imagehlp's CheckSumMappedFile computes it: the file's 16-bit words
// (an odd last byte counts as a word) added with end-around carry, the 4-byte CheckSum field
// at `checksum_offset` counted as zero, then the file length added.
std::uint32_t ComputeCheckSum(std::span<const std::uint8_t> file, std::size_t checksum_offset);

// ComputeCheckSum over a file that comes in pieces, in order, with its CheckSum field zero:
// what a writer that does not hold the whole file computes on the way.
class CheckSummer {
 public:
  void Update(std::span<const std::uint8_t> bytes);
  std::uint32_t Finish() const;

 private:
  std::uint64_t sum_ = 0;  // of 16-bit words, folded at the end (end-around carry commutes)
  std::uint64_t length_ = 0;
};

// A file written in pieces, in order: bytes of its own (headers, tables, fill) or bytes that
// stay where they are (the stub's sections, the resources' data), so that a large executable
// is written without being put together in memory.
struct FilePiece {
  std::vector<std::uint8_t> own;
  std::span<const std::uint8_t> in_place;  // when `own` is empty
  std::span<const std::uint8_t> Bytes() const {
    return own.empty() ? in_place : std::span<const std::uint8_t>(own);
  }
};

// Little-endian field access on byte buffers; the caller has checked the bounds.
using upd::Get16;
using upd::Get32;
using upd::Put16;
using upd::Put32;

}  // namespace updpack::pe
