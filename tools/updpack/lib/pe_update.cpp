#include "pe_update.h"

#include <algorithm>
#include <cstring>

namespace updpack::pe {
namespace {

constexpr std::uint32_t kSymbolRecordSize = 18;

std::uint64_t AlignUp(std::uint64_t v, std::uint64_t a) { return (v + a - 1) & ~(a - 1); }

// The COFF symbol and string tables when they follow the sections' data.
struct Trailer {
  bool has_symbols = false;
  std::uint64_t symbols_begin = 0;
  std::uint64_t symbols_end = 0;
};

Trailer ClassifyTrailer(const Image& image) {
  if (!image.Directory(kCertificateDirectoryIndex).Empty()) {
    throw PeError(
        "the executable is signed (it carries a certificate table), and no signature survives "
        "a change: embed into the unsigned updater and sign the result");
  }
  const std::span<const std::uint8_t> b = image.Bytes();
  const std::uint64_t end = image.EndOfSectionData();
  Trailer t;
  const std::uint64_t symbols = image.PointerToSymbolTable();
  if (symbols > b.size()) {
    throw PeError("damaged Windows executable: the COFF symbol table lies outside the file");
  }
  if (symbols != 0 && symbols >= end) {
    std::uint64_t stop = symbols + std::uint64_t{image.NumberOfSymbols()} * kSymbolRecordSize;
    if (stop > b.size()) {
      throw PeError("damaged Windows executable: the COFF symbol table runs past the end of the file");
    }
    // The string table follows, its u32 size counting itself; a file may end before it.
    if (stop + 4 <= b.size()) {
      const std::uint32_t strings = std::max<std::uint32_t>(Get32(b, stop), 4);
      if (stop + strings > b.size()) {
        throw PeError("damaged Windows executable: the COFF string table runs past the end of the file");
      }
      stop += strings;
    }
    t = {true, symbols, stop};
  }
  std::uint64_t extra = 0;
  for (std::uint64_t i = end; i < b.size(); ++i) {
    const bool in_symbols = t.has_symbols && i >= t.symbols_begin && i < t.symbols_end;
    if (!in_symbols && b[i] != 0) ++extra;
  }
  if (extra != 0) {
    // What lies past the image's end: the symbol tables are part of the image.
    const std::uint64_t symbol_bytes = t.has_symbols ? t.symbols_end - t.symbols_begin : 0;
    throw PeError("the executable carries " + std::to_string(b.size() - end - symbol_bytes) +
                  " bytes of appended data after its last section (an overlay), which would "
                  "not stay where its reader expects it: use an updater without appended data");
  }
  return t;
}

// The index of the section that can take the new tree in place, or -1.
int InPlaceSection(const Image& image, const Trailer& trailer) {
  const DataDirectory dir = image.Directory(kResourceDirectoryIndex);
  const std::vector<Section>& sections = image.Sections();
  if (dir.rva == 0 || sections.empty()) return -1;
  const int last = static_cast<int>(sections.size()) - 1;
  const Section& s = sections[last];
  // The tree must begin the section, and the section must end the image in memory and file.
  if (s.virtual_address != dir.rva || s.raw_size == 0) return -1;
  const std::uint64_t raw_end = std::uint64_t{s.raw_offset} + s.raw_size;
  if (raw_end != image.EndOfSectionData()) return -1;
  for (int i = 0; i < last; ++i) {
    const Section& o = sections[i];
    if (o.raw_size != 0 && std::uint64_t{o.raw_offset} + o.raw_size > s.raw_offset) return -1;
  }
  // Nothing else may live in it: no other directory may begin or reach into it (the rewrite
  // moves and cuts its bytes), and no symbol table may lie inside its bytes.
  for (std::size_t d = 0; d < image.DirectoryCount(); ++d) {
    if (d == kResourceDirectoryIndex || d == kCertificateDirectoryIndex) continue;
    const DataDirectory other = image.Directory(d);
    if (other.rva != 0 && (other.rva >= s.virtual_address ||
                           std::uint64_t{other.rva} + other.size > s.virtual_address)) {
      return -1;
    }
  }
  const std::uint64_t symbols = image.PointerToSymbolTable();
  if (!trailer.has_symbols && symbols >= s.raw_offset && symbols < raw_end) return -1;
  return last;
}

void WriteSectionHeader(std::span<std::uint8_t> out, std::size_t at, const Section& s) {
  std::memcpy(&out[at], s.raw_name.data(), 8);
  Put32(out, at + 8, s.virtual_size);
  Put32(out, at + 12, s.virtual_address);
  Put32(out, at + 16, s.raw_size);
  Put32(out, at + 20, s.raw_offset);
  Put32(out, at + 36, s.characteristics);
}

}  // namespace

RewritePlan PlanReplaceResources(const Image& image, const ResourceTable& tree) {
  if (image.DirectoryCount() <= kResourceDirectoryIndex) {
    throw PeError("the executable's header has no resource data directory");
  }
  const Trailer trailer = ClassifyTrailer(image);
  const std::span<const std::uint8_t> b = image.Bytes();
  const std::uint32_t file_alignment = image.FileAlignment();
  std::vector<Section> sections = image.Sections();

  // The new resources go at the image's end, growing its last section or in a new one. A
  // directory pointing there would then point into them (and the next embed would find the
  // section shared), so an image with such a directory is refused rather than changed.
  const std::uint64_t image_end = image.NextSectionAddress(sections);
  for (std::size_t d = 0; d < image.DirectoryCount(); ++d) {
    if (d == kResourceDirectoryIndex || d == kCertificateDirectoryIndex) continue;
    const DataDirectory other = image.Directory(d);
    if (other.rva != 0 &&
        (other.rva >= image_end || std::uint64_t{other.rva} + other.size > image_end)) {
      throw PeError("damaged Windows executable: data directory " + std::to_string(d) +
                    " points past the end of the image (" + Hex(other.rva) + ", " +
                    std::to_string(other.size) + " bytes; the image ends at " +
                    Hex(image_end) + ")");
    }
  }

  RewritePlan plan;
  // Every field the rewrite changes lies in the headers: they are the one piece of the stub
  // that is copied; the rest of it is written from where it lies.
  const std::size_t headers = image.SizeOfHeaders();
  auto take_stub = [&](std::uint64_t end) {
    plan.pieces.push_back({std::vector<std::uint8_t>(b.begin(), b.begin() + headers), {}});
    if (end > headers) plan.pieces.push_back({{}, b.subspan(headers, static_cast<std::size_t>(end - headers))});
    plan.size = end;
  };
  const int in_place = InPlaceSection(image, trailer);
  std::size_t header_at = 0;
  std::uint64_t old_raw_size = 0;
  Section* target = nullptr;

  if (in_place >= 0) {
    target = &sections[in_place];
    header_at = image.SectionTableOffset() + in_place * kSectionHeaderSize;
    old_raw_size = target->raw_size;
    take_stub(target->raw_offset);
  } else {
    const std::size_t table_end = image.SectionTableOffset() + sections.size() * kSectionHeaderSize;
    std::uint64_t first_data = b.size();
    for (const Section& s : sections) {
      if (s.raw_size != 0) first_data = std::min<std::uint64_t>(first_data, s.raw_offset);
    }
    const bool room = sections.size() < 0xFFFF &&
                      table_end + kSectionHeaderSize <= image.SizeOfHeaders() &&
                      table_end + kSectionHeaderSize <= first_data &&
                      std::all_of(b.begin() + table_end, b.begin() + table_end + kSectionHeaderSize,
                                  [](std::uint8_t v) { return v == 0; });
    if (!room) {
      throw PeError(
          "the resource section is not the executable's last section, and its headers have no "
          "room for another section");
    }
    const std::uint64_t next_rva = image.NextSectionAddress(sections);
    if (next_rva > 0xFFFFFFFFull) throw PeError("the executable has no address space left");
    Section added;
    std::memcpy(added.raw_name.data(), ".rsrc", 5);
    added.virtual_address = static_cast<std::uint32_t>(next_rva);
    added.characteristics = kSectionInitializedData | kSectionMemRead;
    sections.push_back(added);
    target = &sections.back();
    header_at = table_end;
    take_stub(b.size());
    const std::uint64_t aligned = AlignUp(plan.size, file_alignment);
    if (aligned > plan.size) plan.pieces.push_back({std::vector<std::uint8_t>(aligned - plan.size, 0), {}});
    plan.size = aligned;
    plan.appended_section = true;
  }

  std::vector<FilePiece> content = ResourceSectionPieces(tree, target->virtual_address);
  std::uint64_t content_size = 0;
  for (const FilePiece& piece : content) content_size += piece.Bytes().size();
  const std::uint64_t raw_size = AlignUp(content_size, file_alignment);
  if (plan.size + raw_size > 0xFFFFFFFFull) throw PeError("the executable would exceed 4 GiB");
  target->virtual_size = static_cast<std::uint32_t>(content_size);
  target->raw_size = static_cast<std::uint32_t>(raw_size);
  target->raw_offset = static_cast<std::uint32_t>(plan.size);
  for (FilePiece& piece : content) plan.pieces.push_back(std::move(piece));
  if (raw_size > content_size) plan.pieces.push_back({std::vector<std::uint8_t>(raw_size - content_size, 0), {}});
  plan.size += raw_size;

  // Growing in place, the symbol tables move behind the new section data.
  const std::uint64_t symbols_at = plan.size;
  const bool move_symbols = in_place >= 0 && trailer.has_symbols;
  if (move_symbols && trailer.symbols_end > trailer.symbols_begin) {
    plan.pieces.push_back({{}, b.subspan(static_cast<std::size_t>(trailer.symbols_begin),
                                         static_cast<std::size_t>(trailer.symbols_end - trailer.symbols_begin))});
    plan.size += trailer.symbols_end - trailer.symbols_begin;
  }
  if (plan.size > 0xFFFFFFFFull) throw PeError("the executable would exceed 4 GiB");
  const std::span<std::uint8_t> w = plan.pieces.front().own;
  if (move_symbols) Put32(w, image.CoffHeaderOffset() + 8, static_cast<std::uint32_t>(symbols_at));
  // A symbol pointer at the file's end with nothing there (no symbols, no string table) would
  // point into the section appended there; it names no table, so it is cleared.
  if (in_place < 0 && trailer.has_symbols && trailer.symbols_begin == trailer.symbols_end) {
    Put32(w, image.CoffHeaderOffset() + 8, 0);
  }

  WriteSectionHeader(w, header_at, *target);
  Put16(w, image.CoffHeaderOffset() + 2, static_cast<std::uint16_t>(sections.size()));

  const std::uint64_t size_of_image = image.NextSectionAddress(sections);
  if (size_of_image > 0xFFFFFFFFull) throw PeError("the executable has no address space left");
  const std::size_t opt = image.OptionalHeaderOffset();
  Put32(w, opt + 56, static_cast<std::uint32_t>(size_of_image));
  // SizeOfInitializedData sums the raw sizes of the initialized-data sections.
  if ((target->characteristics & kSectionInitializedData) != 0) {
    const std::uint64_t before = Get32(w, opt + 8);
    const std::uint64_t initialized = before - std::min(old_raw_size, before) + raw_size;
    Put32(w, opt + 8, static_cast<std::uint32_t>(std::min<std::uint64_t>(initialized, 0xFFFFFFFF)));
  }

  const std::size_t dir_at = image.DirectoryOffset(kResourceDirectoryIndex);
  Put32(w, dir_at, target->virtual_address);
  Put32(w, dir_at + 4, target->virtual_size);
  plan.checksum_offset = image.CheckSumOffset();
  Put32(w, plan.checksum_offset, 0);
  return plan;
}

RewriteResult ReplaceResources(const Image& image, const ResourceTable& tree) {
  RewritePlan plan = PlanReplaceResources(image, tree);
  RewriteResult result;
  result.appended_section = plan.appended_section;
  result.file.reserve(static_cast<std::size_t>(plan.size));
  for (const FilePiece& piece : plan.pieces) {
    result.file.insert(result.file.end(), piece.Bytes().begin(), piece.Bytes().end());
  }
  Put32(result.file, plan.checksum_offset, ComputeCheckSum(result.file, plan.checksum_offset));
  return result;
}

RewriteResult EmbedResource(std::vector<std::uint8_t> file, const ResourceId& type,
                            const ResourceId& name, std::uint32_t language,
                            std::vector<std::uint8_t> data) {
  const Image image(std::move(file));
  ResourceTable tree = ReadResourceTree(image);
  SetResource(tree, type, name, language, std::move(data));
  return ReplaceResources(image, tree);
}

std::optional<std::vector<std::uint8_t>> ReadResource(std::vector<std::uint8_t> file,
                                                      const ResourceId& type,
                                                      const ResourceId& name,
                                                      std::uint32_t language) {
  const Image image(std::move(file));
  const ResourceTable tree = ReadResourceTree(image);
  const ResourceEntry* e = FindResource(tree, type, name, language);
  if (e == nullptr) return std::nullopt;
  return e->data;
}

}  // namespace updpack::pe
