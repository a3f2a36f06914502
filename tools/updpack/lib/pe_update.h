// Writing a new resource tree into a copy of a PE image, and reading one resource back.
//
// Where the new tree goes:
// - The section that holds the resource directory is rewritten in place (it may grow or
//   shrink) when it is the last section in memory and in the file and no other data directory
//   begins in it or reaches into it. This is the case for an image this module has written
//   before.
// - Otherwise (MinGW puts .reloc and the debug sections after .rsrc) a new ".rsrc" section is
//   appended after the last one and the resource data directory points at it; the old section
//   stays as it was, unreferenced, so nothing that might point into it breaks. The section
//   table needs room for one more header before the first section's data; if it has none
//   the image is refused.
// In both cases SizeOfImage, SizeOfInitializedData, the section's sizes, the resource data
// directory and the checksum are brought up to date.
// An image with a data directory at or past its end (where the new resources go) is refused.
//
// What follows the sections' data decides whether the image can be rewritten:
// - the COFF symbol and string tables of an unstripped image are kept (moved behind the new
//   section data when it grows in place, with PointerToSymbolTable updated);
// - a certificate table (a signed image) is refused: any change breaks the signature, so the
//   updater is signed after the package is in it;
// - other appended bytes (an overlay) are refused: they are usually found by their offset
//   from the end of the sections, which the rewrite would change.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pe_image.h"
#include "pe_resources.h"

namespace updpack::pe {

struct RewriteResult {
  std::vector<std::uint8_t> file;
  bool appended_section = false;  // false: the resource section was rewritten in place
};

// A copy of `image` whose resources are `tree`; throws PeError when the image cannot be
// rewritten safely.
RewriteResult ReplaceResources(const Image& image, const ResourceTable& tree);

// The same file in pieces, for a writer that never holds it whole: the pieces in place are
// views of `image` and of the tree's leaves, which must outlive them. The CheckSum field at
// `checksum_offset` is left zero for the writer to fill in (CheckSummer) once all is written.
struct RewritePlan {
  std::vector<FilePiece> pieces;
  std::uint64_t size = 0;
  std::size_t checksum_offset = 0;
  bool appended_section = false;
};
RewritePlan PlanReplaceResources(const Image& image, const ResourceTable& tree);

// Reads `file` as a PE image, puts `data` at type / name / language (replacing what is there)
// and returns the new file; throws PeError.
RewriteResult EmbedResource(std::vector<std::uint8_t> file, const ResourceId& type,
                            const ResourceId& name, std::uint32_t language,
                            std::vector<std::uint8_t> data);

// The bytes of the resource type / name / language in the PE image `file`, or nullopt when it
// has none; throws PeError when `file` is not a sound PE image.
std::optional<std::vector<std::uint8_t>> ReadResource(std::vector<std::uint8_t> file,
                                                      const ResourceId& type,
                                                      const ResourceId& name,
                                                      std::uint32_t language);

}  // namespace updpack::pe
