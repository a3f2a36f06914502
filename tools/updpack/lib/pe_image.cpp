#include "pe_image.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace updpack::pe {
namespace {

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;

bool IsPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

[[noreturn]] void Damaged(const std::string& what) {
  throw PeError("damaged Windows executable: " + what);
}

}  // namespace

std::string Hex(std::uint64_t v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

std::string_view Section::Name() const {
  const auto end = std::find(raw_name.begin(), raw_name.end(), '\0');
  return std::string_view(raw_name.data(), static_cast<std::size_t>(end - raw_name.begin()));
}

Image::Image(std::vector<std::uint8_t> bytes) : owned_(std::move(bytes)), bytes_(owned_) { Parse(); }

Image::Image(std::span<const std::uint8_t> bytes) : bytes_(bytes) { Parse(); }

void Image::Parse() {
  const std::span<const std::uint8_t> b = bytes_;
  const std::uint64_t file_size = b.size();
  if (file_size < 64 || b[0] != 'M' || b[1] != 'Z') {
    throw PeError("not a Windows executable (no MZ header)");
  }
  const std::uint32_t pe_offset = Get32(b, 0x3C);
  if (std::uint64_t{pe_offset} + 24 > file_size) {
    Damaged("the PE header offset " + Hex(pe_offset) + " lies outside the file");
  }
  if (std::memcmp(&b[pe_offset], "PE\0\0", 4) != 0) {
    throw PeError("not a Windows PE executable (no PE signature; an MS-DOS or 16-bit program?)");
  }
  coff_offset_ = pe_offset + 4;
  const std::uint16_t optional_size = Get16(b, coff_offset_ + 16);
  const std::size_t opt = OptionalHeaderOffset();
  if (opt + optional_size > file_size) Damaged("the optional header runs past the end of the file");
  if (optional_size < 2) Damaged("the optional header is missing");
  const std::uint16_t magic = Get16(b, opt);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
    throw PeError("unsupported Windows executable: optional header magic " + Hex(magic) +
                  " is neither PE32 nor PE32+");
  }
  pe32_plus_ = magic == kMagicPe32Plus;
  const std::size_t directories_at = pe32_plus_ ? 112 : 96;
  if (optional_size < directories_at) Damaged("the optional header is too short");

  const std::uint32_t rva_count = Get32(b, opt + directories_at - 4);
  if (directories_at + std::uint64_t{rva_count} * 8 > optional_size) {
    Damaged("the data directories (" + std::to_string(rva_count) +
            ") do not fit in the optional header");
  }
  directory_count_ = rva_count;

  section_alignment_ = Get32(b, opt + 32);
  file_alignment_ = Get32(b, opt + 36);
  // Windows maps images with a file alignment of 512 to 64 KiB, or a smaller one only when it
  // equals the section alignment (sections then lie in the file as in memory).
  if (!IsPowerOfTwo(section_alignment_) || !IsPowerOfTwo(file_alignment_) ||
      file_alignment_ > section_alignment_ || file_alignment_ > 0x10000 ||
      (file_alignment_ < 0x200 && file_alignment_ != section_alignment_)) {
    Damaged("unusable alignment (section " + Hex(section_alignment_) + ", file " +
            Hex(file_alignment_) + ")");
  }
  const std::uint16_t count = Get16(b, coff_offset_ + 2);
  section_table_offset_ = opt + optional_size;
  const std::uint64_t table_end = section_table_offset_ + std::uint64_t{count} * kSectionHeaderSize;
  if (table_end > file_size) Damaged("the section table runs past the end of the file");
  size_of_headers_ = Get32(b, opt + 60);
  if (size_of_headers_ > file_size) Damaged("SizeOfHeaders runs past the end of the file");
  // The headers the loader maps hold the section table; a writer relies on that too.
  if (size_of_headers_ < table_end) {
    Damaged("SizeOfHeaders (" + Hex(size_of_headers_) + ") ends before the section table does (" +
            Hex(table_end) + ")");
  }
  sections_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = section_table_offset_ + i * kSectionHeaderSize;
    Section s;
    std::memcpy(s.raw_name.data(), &b[at], 8);
    s.virtual_size = Get32(b, at + 8);
    s.virtual_address = Get32(b, at + 12);
    s.raw_size = Get32(b, at + 16);
    s.raw_offset = Get32(b, at + 20);
    s.characteristics = Get32(b, at + 36);
    const std::string name = "section " + std::to_string(i + 1) + " ('" + std::string(s.Name()) + "')";
    if (s.raw_size != 0 && std::uint64_t{s.raw_offset} + s.raw_size > file_size) {
      Damaged(name + ": its data runs past the end of the file");
    }
    if (s.raw_size != 0 && s.raw_offset < size_of_headers_) {
      Damaged(name + ": its data at " + Hex(s.raw_offset) + " begins inside the headers (" +
              Hex(size_of_headers_) + " bytes)");
    }
    // The loader maps sections at aligned addresses, ascending, after the headers' pages and
    // without overlap; the writer places a new section by the same rule.
    if (s.virtual_address % section_alignment_ != 0) {
      Damaged(name + ": its address " + Hex(s.virtual_address) +
              " is not a multiple of the section alignment " + Hex(section_alignment_));
    }
    if (s.virtual_address < NextSectionAddress(sections_)) {
      Damaged(name + (sections_.empty() ? " overlaps the headers" : " overlaps the one before it"));
    }
    if (SectionStartAfter(s.virtual_address, s.VirtualExtent(), section_alignment_) > 0xFFFFFFFFull) {
      Damaged(name + " ends beyond the 4 GiB address space");
    }
    sections_.push_back(s);
  }
  // The loader maps SizeOfImage bytes: the headers and every section must lie within them.
  std::uint64_t mapped_end = size_of_headers_;
  for (const Section& s : sections_) {
    mapped_end = std::max(mapped_end, std::uint64_t{s.virtual_address} + s.VirtualExtent());
  }
  if (const std::uint32_t size_of_image = Get32(b, opt + 56); size_of_image < mapped_end) {
    Damaged("SizeOfImage (" + Hex(size_of_image) + ") ends before the sections do (" +
            Hex(mapped_end) + ")");
  }
}

std::uint64_t SectionStartAfter(std::uint64_t previous_rva, std::uint64_t previous_extent,
                                std::uint32_t section_alignment) {
  const std::uint64_t mask = std::uint64_t{section_alignment} - 1;
  return (previous_rva + previous_extent + mask) & ~mask;
}

std::uint64_t Image::NextSectionAddress(std::span<const Section> sections) const {
  std::uint64_t next = SectionStartAfter(0, size_of_headers_, section_alignment_);
  for (const Section& s : sections) {
    next = std::max(next, SectionStartAfter(s.virtual_address, s.VirtualExtent(),
                                            section_alignment_));
  }
  return next;
}

std::uint32_t Image::PointerToSymbolTable() const { return Get32(bytes_, coff_offset_ + 8); }
std::uint32_t Image::NumberOfSymbols() const { return Get32(bytes_, coff_offset_ + 12); }

DataDirectory Image::Directory(std::size_t index) const {
  if (index >= directory_count_) return {};
  const std::size_t at = DirectoryOffset(index);
  return {Get32(bytes_, at), Get32(bytes_, at + 4)};
}

const Section* Image::SectionAt(std::uint32_t rva) const {
  for (const Section& s : sections_) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.VirtualExtent()) return &s;
  }
  return nullptr;
}

std::optional<std::span<const std::uint8_t>> Image::MapRva(std::uint32_t rva,
                                                           std::uint32_t size) const {
  if (size == 0) return std::span<const std::uint8_t>{};
  const Section* s = SectionAt(rva);
  if (s == nullptr) return std::nullopt;
  const std::uint64_t offset = rva - s->virtual_address;
  if (offset + size > s->MappedRawSize()) return std::nullopt;
  return bytes_.subspan(s->raw_offset + offset, size);
}

std::uint64_t Image::EndOfSectionData() const {
  std::uint64_t end = size_of_headers_;
  for (const Section& s : sections_) {
    if (s.raw_size != 0) end = std::max(end, std::uint64_t{s.raw_offset} + s.raw_size);
  }
  return end;
}

void CheckSummer::Update(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  // A piece that begins at an odd offset begins with the high byte of a word.
  if ((length_ & 1) != 0 && !bytes.empty()) sum_ += std::uint64_t{bytes[i++]} << 8;
  // As 2^16 is 1 modulo 0xFFFF, a 32-bit value sums like its two words, and 64 bits hold the
  // sum of any file below 4 GiB before the fold. Eight bytes at a time where they can be
  // loaded as they lie.
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= bytes.size(); i += 8) {
      std::uint64_t v;
      std::memcpy(&v, bytes.data() + i, 8);
      sum_ += (v & 0xFFFFFFFFu) + (v >> 32);
    }
  }
  for (; i + 4 <= bytes.size(); i += 4) sum_ += Get32(bytes, i);
  if (i + 2 <= bytes.size()) {
    sum_ += Get16(bytes, i);
    i += 2;
  }
  if (i < bytes.size()) sum_ += bytes[i];
  length_ += bytes.size();
}

std::uint32_t CheckSummer::Finish() const {
  std::uint64_t sum = sum_;
  while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + length_);
}

std::uint32_t ComputeCheckSum(std::span<const std::uint8_t> file, std::size_t checksum_offset) {
  std::uint32_t sum = 0;
  const std::size_t n = file.size();
  // The field counts as zero byte by byte, so an odd header offset is no special case.
  const auto byte = [&](std::size_t i) -> std::uint32_t {
    if (i >= n || (i >= checksum_offset && i - checksum_offset < 4)) return 0;
    return file[i];
  };
  for (std::size_t i = 0; i < n; i += 2) {
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint32_t>(sum + n);
}

}  // namespace updpack::pe
