#include "embed.h"

#include <string>

namespace updpack {

bool LooksLikeExecutable(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}

pe::RewriteResult EmbedPackage(std::vector<std::uint8_t> stub, std::vector<std::uint8_t> package) {
  const pe::Image image(std::move(stub));
  pe::ResourceTable tree = pe::ReadResourceTree(image);
  const auto type = pe::ResourceId::Name(kPackageResourceType);
  const auto id = pe::ResourceId::Number(kPackageResourceId);
  pe::RemoveResource(tree, type, id);
  pe::SetResource(tree, type, id, kPackageLanguage, package);
  pe::RewriteResult result = pe::ReplaceResources(image, tree);
  // Only an updater that reads back, by the same reader, with exactly this package is a
  // success: a layout the writer got wrong is refused here, not found by the player.
  std::optional<std::vector<std::uint8_t>> back;
  try {
    back = ReadEmbeddedPackage(result.file);
  } catch (const pe::PeError& e) {
    throw pe::PeError(std::string("the rewritten executable does not read back (") + e.what() +
                      "); the stub's layout is not one this tool can rewrite");
  }
  if (back != package) {
    throw pe::PeError("the rewritten executable does not carry the package it was given; the "
                      "stub's layout is not one this tool can rewrite");
  }
  return result;
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(std::vector<std::uint8_t> exe) {
  return ReadEmbeddedPackage(pe::Image(std::move(exe)));
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(const pe::Image& image) {
  const pe::ResourceTable tree = pe::ReadResourceTree(image);
  const auto type = pe::ResourceId::Name(kPackageResourceType);
  const auto id = pe::ResourceId::Number(kPackageResourceId);
  if (const pe::ResourceEntry* e = pe::FindResource(tree, type, id, kPackageLanguage)) {
    return e->data;
  }
  for (const pe::ResourceEntry& t : tree.entries) {
    if (t.id != type || !t.table) continue;
    for (const pe::ResourceEntry& n : t.table->entries) {
      if (n.id != id || !n.table) continue;
      for (const pe::ResourceEntry& leaf : n.table->entries) {
        if (!leaf.table) return leaf.data;
      }
    }
  }
  return std::nullopt;
}

}  // namespace updpack
