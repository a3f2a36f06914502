#include "embed.h"

#include <algorithm>
#include <string>

namespace updpack {

bool LooksLikeExecutable(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}

pe::RewritePlan PlanEmbed(const pe::Image& stub, std::span<const std::uint8_t> package) {
  // The leaves stay in place: the package that is replaced is never copied either.
  pe::ResourceTable tree = pe::ReadResourceTree(stub, pe::LeafBytes::kInPlace);
  const auto type = pe::ResourceId::Name(kPackageResourceType);
  const auto id = pe::ResourceId::Number(kPackageResourceId);
  pe::RemoveResource(tree, type, id);
  pe::SetResource(tree, type, id, kPackageLanguage, package);
  return pe::PlanReplaceResources(stub, tree);
}

void CheckReadsBack(std::span<const std::uint8_t> file, std::span<const std::uint8_t> package,
                    const std::function<void(std::span<const std::uint8_t>)>& release) {
  std::optional<std::span<const std::uint8_t>> back;
  try {
    back = FindEmbeddedPackage(pe::Image(file));
  } catch (const pe::PeError& e) {
    throw pe::PeError(std::string("the rewritten executable does not read back (") + e.what() +
                      "); the stub's layout is not one this tool can rewrite");
  }
  bool same = back && back->size() == package.size();
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  for (std::size_t at = 0; same && at < package.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, package.size() - at);
    same = std::equal(package.begin() + static_cast<std::ptrdiff_t>(at),
                      package.begin() + static_cast<std::ptrdiff_t>(at + n),
                      back->begin() + static_cast<std::ptrdiff_t>(at));
    if (release) {
      release(package.subspan(at, n));
      release(back->subspan(at, n));
    }
  }
  if (!same) {
    throw pe::PeError("the rewritten executable does not carry the package it was given; the "
                      "stub's layout is not one this tool can rewrite");
  }
}

pe::RewriteResult EmbedPackage(std::vector<std::uint8_t> stub, std::vector<std::uint8_t> package) {
  const pe::Image image(std::move(stub));
  const pe::RewritePlan plan = PlanEmbed(image, package);
  pe::RewriteResult result;
  result.appended_section = plan.appended_section;
  result.file.reserve(static_cast<std::size_t>(plan.size));
  for (const pe::FilePiece& piece : plan.pieces) {
    result.file.insert(result.file.end(), piece.Bytes().begin(), piece.Bytes().end());
  }
  pe::Put32(result.file, plan.checksum_offset,
            pe::ComputeCheckSum(result.file, plan.checksum_offset));
  CheckReadsBack(result.file, package);
  return result;
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(std::vector<std::uint8_t> exe) {
  return ReadEmbeddedPackage(pe::Image(std::move(exe)));
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(const pe::Image& image) {
  const auto package = FindEmbeddedPackage(image);
  if (!package) return std::nullopt;
  return std::vector<std::uint8_t>(package->begin(), package->end());
}

std::optional<std::span<const std::uint8_t>> FindEmbeddedPackage(const pe::Image& image) {
  const pe::ResourceTable tree = pe::ReadResourceTree(image, pe::LeafBytes::kInPlace);
  const auto type = pe::ResourceId::Name(kPackageResourceType);
  const auto id = pe::ResourceId::Number(kPackageResourceId);
  if (const pe::ResourceEntry* e = pe::FindResource(tree, type, id, kPackageLanguage)) {
    return e->Bytes();
  }
  for (const pe::ResourceEntry& t : tree.entries) {
    if (t.id != type || !t.table) continue;
    for (const pe::ResourceEntry& n : t.table->entries) {
      if (n.id != id || !n.table) continue;
      for (const pe::ResourceEntry& leaf : n.table->entries) {
        if (!leaf.table) return leaf.Bytes();
      }
    }
  }
  return std::nullopt;
}

}  // namespace updpack
