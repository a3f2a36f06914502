#include "run/entry_writer.h"

#include <windows.h>

#include "base/state.h"
#include "package/entry_access.h"
#include "platform/codepage.h"
#include "platform/file_system.h"

namespace upd {

using platform::FolderCheck;

// The plan's components of a path, wide. Nothing when one cannot be spelt on the file system.
std::optional<std::vector<std::wstring>> WideParts(std::span<const std::string> parts) {
  std::vector<std::wstring> wide;
  for (const std::string& part : parts) {
    auto w = platform::WidenCp932(part);
    if (!w) return std::nullopt;
    wide.push_back(std::move(*w));
  }
  return wide;
}

// `folder` joined with each of `parts`; nothing past the path width (never cut).
std::optional<std::filesystem::path> JoinAll(std::filesystem::path folder, std::span<const std::wstring> parts) {
  for (const std::wstring& part : parts) {
    auto next = platform::JoinWithin(folder, part);
    if (!next) return std::nullopt;
    folder = std::move(*next);
  }
  return folder;
}

// The base folder as the run writes through it: where the held folder resolves (a link in its
// place, or above it, cannot be re-pointed meanwhile), else as recorded.
std::filesystem::path WriteBase(const platform::FolderGuard& guard, const std::filesystem::path& base) {
  return guard.Resolved(base).value_or(base);
}

// The base folder joined with DataFolder, then with Path, as the plan splits them. Nothing when
// a component cannot be spelt on the file system, a joined path would be longer than the path
// width (never cut), or a data item has no data folder to go to.
std::optional<UpdateTarget> TargetOf(const PlannedItem& item, std::size_t data_folder_depth,
                                     const platform::FolderGuard& guard) {
  const RunState& run = Run();
  const std::filesystem::path& base = item.data ? run.Install.DataPath : run.Install.InstPath;
  // Without a data folder a data item has no place: a relative path would land wherever the
  // updater happens to be started from.
  if (base.empty()) return std::nullopt;
  auto folders = WideParts(item.folders);
  const auto file = platform::WidenCp932(item.file);
  if (!folders || !file) return std::nullopt;
  const std::span<const std::wstring> all(*folders);
  auto folder = JoinAll(WriteBase(guard, base), all.first(data_folder_depth));
  if (!folder) return std::nullopt;
  auto target = JoinAll(*folder, all.subspan(data_folder_depth));
  if (target) target = platform::JoinWithin(*target, *file);
  if (!target) return std::nullopt;
  return UpdateTarget{base, std::move(*folders), std::move(*folder), std::move(*target)};
}

bool EntryWriter::Write(const PlannedItem& item, UpdateTarget where, const PlannedItem* next,
                        const UpdateTarget* next_where) {
  platform::FolderGuard& guard = guard_;
  // The next item's file is begun beside its target while this one is written, when that item
  // is written from the package whatever is there and its folders are held already (held now,
  // as its own turn would, when one appeared since): both entries unpack at once.
  std::filesystem::path next_target;
  std::wstring next_folder;
  if (next && next_where && (next->action == ItemAction::kWrite || next->action == ItemAction::kWriteUnlessNewer) &&
      guard.HoldBelow(next_where->base, next_where->folders) == FolderCheck::kHeld) {
    if (auto folder = guard.FinalOf(next_where->base, next_where->folders)) {
      next_target = next_where->target;
      next_folder = std::move(*folder);
    }
  }
  // A failure, such as a folder that is already there, is of no concern here.
  CreateDirectoryW(platform::ApiPath(where.folder).c_str(), nullptr);
  // A base folder that was not there when the run began (a data folder the run just made) is
  // held now, and the item's paths are worked out again through what it resolves to.
  if (!guard.Resolved(where.base)) {
    if (guard.HoldBase(where.base) == FolderCheck::kRefused) return false;
    if (auto again = TargetOf(item, data_folder_depth_, guard)) where = std::move(*again);
  }
  // Folders that were not there when the run began (the data folder it just made, one a game
  // made meanwhile) are checked and held now, before anything goes through them.
  const auto hold = [&] { return guard.HoldBelow(where.base, where.folders); };
  const FolderCheck folders = hold();
  if (folders == FolderCheck::kRefused) return false;

  TargetSight sight;
  sight.folder_there = folders == FolderCheck::kHeld;
  if (const auto attributes = sight.folder_there ? platform::AttributesOf(where.target) : std::nullopt) {
    sight.kind = (*attributes & platform::kAttributeDirectory) ? TargetKind::kFolder : TargetKind::kFile;
  }
  // An existing data file keeps its content and takes the time of the update, read and touched
  // through one handle. One that cannot be read fails the item and stays as it was.
  const auto keep_existing = [&] {
    const auto folder = guard.FinalOf(where.base, where.folders);
    if (!folder) return platform::KeptFile::kFailed;
    return platform::TouchKeptFile(where.target, *folder);
  };
  switch (DecideItem(item.action, sight)) {
    case ItemStep::kLeaveAlone:
      return true;
    case ItemStep::kKeepContent:
      switch (keep_existing()) {
        case platform::KeptFile::kTouched: return true;
        case platform::KeptFile::kFailed: return false;
        case platform::KeptFile::kMissing: break;  // gone meanwhile: written as a missing one is
      }
      break;
    case ItemStep::kWrite:
      break;
  }
  // The write's own checks (the entry, a folder in the file's place, a newer file) are made
  // through the handles it writes with, when the file is written.
  ExtractRequest request;
  request.keep_newer = KeepsNewer(item.action);
  // A save that appears while its file is written (the game saved meanwhile) is never replaced.
  request.only_new = KeepsContent(item.action);
  if (next) request.unpack_next = next->Entry();
  request.folder_ready = [&]() -> std::optional<std::wstring> {
    if (hold() != FolderCheck::kHeld) return std::nullopt;
    return guard.FinalOf(where.base, where.folders);
  };
  request.next_target = next_target;
  request.next_folder = next_folder;
  switch (ExtractEntry(item.Entry(), where.target, request)) {
    case Extracted::kDone: return true;
    case Extracted::kFailed: return false;
    case Extracted::kTargetTaken: break;
  }
  // The save that appeared keeps its content, as one there from the start would have.
  return keep_existing() == platform::KeptFile::kTouched;
}

void EntryWriter::Halt() { DropPreparedEntry(); }

}  // namespace upd
