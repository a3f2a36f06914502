// The package inside an updater executable: resource type "UPDATE", id 102, language 1041,
// which the updater finds with FindResource(instance, 102, "UPDATE").
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "pe_update.h"

namespace updpack {

inline constexpr char16_t kPackageResourceType[] = u"UPDATE";
inline constexpr std::uint32_t kPackageResourceId = 102;
inline constexpr std::uint32_t kPackageLanguage = 1041;  // Japanese (Japan)

// True for bytes that start like a Windows executable rather than a package.
bool LooksLikeExecutable(std::span<const std::uint8_t> bytes);

// The stub with `package` as its UPDATE/102 resource in language 1041. Every other language
// of UPDATE/102 goes too: the updater asks by type and name only, and the system would pick
// among languages by the user's locale. Throws pe::PeError.
pe::RewriteResult EmbedPackage(std::vector<std::uint8_t> stub, std::vector<std::uint8_t> package);

// The package an updater carries: UPDATE/102 in language 1041, or, in an executable that has
// it only in other languages, the first of them (the updater asks by type and name alone).
// Nullopt when it has none; throws pe::PeError when `exe` is not a sound PE image.
std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(std::vector<std::uint8_t> exe);
std::optional<std::vector<std::uint8_t>> ReadEmbeddedPackage(const pe::Image& image);
// The same package where it lies in the image's bytes, not copied.
std::optional<std::span<const std::uint8_t>> FindEmbeddedPackage(const pe::Image& image);

// EmbedPackage as pieces to write (pe::PlanReplaceResources), for an updater too large to be
// put together in memory: the stub's bytes and `package` must outlive the plan. Throws
// pe::PeError.
pe::RewritePlan PlanEmbed(const pe::Image& stub, std::span<const std::uint8_t> package);

// Only an updater that reads back, by the same reader, with exactly this package is a success:
// a layout the writer got wrong is refused (pe::PeError), not found by the player. `release`,
// when set, is told of the bytes of either once they are compared.
void CheckReadsBack(std::span<const std::uint8_t> file, std::span<const std::uint8_t> package,
                    const std::function<void(std::span<const std::uint8_t>)>& release = {});

}  // namespace updpack
