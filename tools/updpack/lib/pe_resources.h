// The resource tree of a PE image, read into memory and written back as a whole section.
//
// In the file the tree is a set of tables, offsets relative to the tree's start:
//   table      16 bytes: Characteristics, TimeDateStamp, MajorVersion (u16), MinorVersion (u16),
//              NumberOfNamedEntries (u16), NumberOfIdEntries (u16); then 8-byte entries,
//              the named ones first, each group sorted (names by their UTF-16 code units,
//              numbers ascending), since the loader searches them by bisection
//   entry      u32 name: high bit set = offset of a string (u16 length, UTF-16 units, no NUL),
//              else the number; u32 target: high bit set = offset of a lower table, else the
//              offset of a data entry
//   data entry 16 bytes: RVA of the bytes, Size, CodePage, Reserved
// Windows reads three levels: type, name, language.
//
// The section this module writes puts the tables first (breadth first), then the strings,
// then the data entries, then the resources' bytes, each aligned to 8.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pe_image.h"

namespace updpack::pe {

// A resource type, name or language: a number, or a string as stored. The loader upper-cases a
// name it is asked for, so stored names are upper case (as resource compilers store them).
struct ResourceId {
  bool is_name = false;
  std::uint32_t number = 0;
  std::u16string name;

  static ResourceId Number(std::uint32_t n) { return {false, n, {}}; }
  static ResourceId Name(std::u16string_view s) { return {true, 0, std::u16string(s)}; }

  // The table order: names before numbers, names by code units, numbers ascending.
  std::strong_ordering operator<=>(const ResourceId& o) const;
  bool operator==(const ResourceId& o) const = default;
  std::string ToString() const;  // for messages: 102, "UPDATE"
};

struct ResourceEntry;

struct ResourceTable {
  std::uint32_t characteristics = 0;
  std::uint32_t time_date_stamp = 0;
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::vector<ResourceEntry> entries;  // in the order read or inserted; written sorted
};

// Either a lower table or a leaf with its bytes.
struct ResourceEntry {
  ResourceId id;
  std::unique_ptr<ResourceTable> table;  // set for a lower table
  std::vector<std::uint8_t> data;        // a leaf's bytes
  // Or a leaf's bytes where they lie (in the image read, or the caller's package), for a
  // tree read or given without copying them.
  std::optional<std::span<const std::uint8_t>> in_place;
  std::uint32_t code_page = 0;

  std::span<const std::uint8_t> Bytes() const {
    return in_place ? *in_place : std::span<const std::uint8_t>(data);
  }
};

// Whether a tree read holds copies of its leaves' bytes or views of them in the image.
enum class LeafBytes { kCopied, kInPlace };

// Reads the image's resource tree (an empty root when it has none); throws PeError when the
// tree is damaged: offsets outside the section, a loop, more than three levels, entry counts
// that disagree with the entries, or data outside the file.
ResourceTable ReadResourceTree(const Image& image, LeafBytes leaves = LeafBytes::kCopied);

// Lays the tree out as the bytes of a resource section loaded at `section_rva`.
std::vector<std::uint8_t> BuildResourceSection(const ResourceTable& root,
                                               std::uint32_t section_rva);
// The same bytes in pieces, the leaves' bytes in place.
std::vector<FilePiece> ResourceSectionPieces(const ResourceTable& root, std::uint32_t section_rva);

// The leaf at type / name / language, or null.
const ResourceEntry* FindResource(const ResourceTable& root, const ResourceId& type,
                                  const ResourceId& name, std::uint32_t language);

// Puts `data` at type / name / language: a leaf already there (and any duplicate of it) is
// replaced; missing tables are added.
void SetResource(ResourceTable& root, const ResourceId& type, const ResourceId& name,
                 std::uint32_t language, std::vector<std::uint8_t> data);
// The same with bytes that stay where they are: they must outlive the tree.
void SetResource(ResourceTable& root, const ResourceId& type, const ResourceId& name,
                 std::uint32_t language, std::span<const std::uint8_t> in_place);

// Removes every language of type / name (and the tables left empty); true if any was there.
bool RemoveResource(ResourceTable& root, const ResourceId& type, const ResourceId& name);

}  // namespace updpack::pe
