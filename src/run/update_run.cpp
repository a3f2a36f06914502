// The update run: the disk-space test, the package's files written by their modes, the copies
// from the game's disc, and the finished page.
#include "run/update_run.h"

#include <shellapi.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "base/error_box.h"
#include "base/messages.h"
#include "base/state.h"
#include "config/text_format.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/handles.h"
#include "platform/held_folders.h"
#include "run/entry_writer.h"
#include "run/plan.h"

namespace upd {
namespace {

namespace fs = std::filesystem;

using platform::FolderCheck;
using platform::FolderGuard;

// Where one CopyFile item comes from (below the disc's drive) and goes to.
struct CopyPaths {
  std::wstring path;  // Path, wide
  std::vector<std::wstring> parts;  // Path's components below the installation folder
  fs::path file_destination;  // InstPath joined with Path, for a single file
};

// The two characters the disk-space message names: the drive letter and colon of InstPath.
std::string DriveOf(const fs::path& inst_path) {
  const std::wstring& p = inst_path.native();
  return platform::NarrowCp932Lossy(std::wstring_view(p).substr(0, std::min<std::size_t>(2, p.size())));
}

std::optional<CopyPaths> CopyPathsOf(const PlannedCopy& copy, const FolderGuard& guard) {
  const auto parts = WideParts(copy.parts);
  const auto path = platform::WidenCp932(copy.item.Path.view());
  if (!parts || !path) return std::nullopt;
  // Every drive name has two characters, so "A:" stands for the one the disc search finds.
  if (!platform::JoinWithin(L"A:", *path)) return std::nullopt;
  auto destination = JoinAll(WriteBase(guard, Run().Install.InstPath), *parts);
  if (!destination) return std::nullopt;
  return CopyPaths{*path, *parts, std::move(*destination)};
}

// The folders below the installation folder that Path names and that are there now: the copy
// writes through them (a file or pattern at the end, or what does not exist yet, ends them).
std::span<const std::wstring> ExistingCopyFolders(const CopyPaths& paths) {
  std::size_t n = 0;
  while (n < paths.parts.size() && paths.parts[n].find_first_of(L"*?") == std::wstring::npos) ++n;
  return std::span<const std::wstring>(paths.parts).first(n);
}

bool Exists(const fs::path& path) { return platform::AttributesOf(path).has_value(); }
bool IsFolder(const fs::path& path) {
  const auto attributes = platform::AttributesOf(path);
  return attributes && (*attributes & platform::kAttributeDirectory);
}

// Probes for the disc: a CD-ROM drive where the disc's check file (a path below the root; an
// empty name is the root itself, so any readable disc) exists.
std::optional<std::wstring> DriveHoldingDisc(std::int32_t disc) {
  // Only the ten check files exist.
  if (disc < 0 || static_cast<std::size_t>(disc) >= kDiskCheckFiles) return std::nullopt;
  const auto check = platform::WidenCp932(Run().Setup.DiskCheckFile[disc].view());
  if (!check) return std::nullopt;
  // An empty drive must not bring up the system's own "insert a disk" box.
  const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
  std::optional<std::wstring> found;
  for (wchar_t letter = L'A'; letter <= L'Z' && !found; ++letter) {
    const std::wstring drive{letter, L':'};
    if (GetDriveTypeW((drive + L"\\").c_str()) != DRIVE_CDROM) continue;
    const auto probe = platform::JoinWithin(drive, *check);
    if (probe && Exists(*probe)) found = drive;
  }
  SetErrorMode(old_mode);
  return found;
}

// Asks for the disc until it is in a drive. Nothing when the player gives up.
std::optional<std::wstring> FindDisc(HWND window, std::int32_t disc) {
  for (;;) {
    if (auto drive = DriveHoldingDisc(disc)) return drive;
    const RunState& run = Run();
    const std::wstring text = platform::WidenCp932Lossy(
        FormatText(texts::kInsertDiscFormat, {run.Game.GameTitle, disc}).view());
    const std::wstring caption = platform::WidenCp932Lossy(run.UpdaterCaption.view());
    if (MessageBoxW(window, text.c_str(), caption.c_str(), MB_OKCANCEL) != IDOK) {
      return std::nullopt;
    }
  }
}

enum class CopyOutcome { kCopied, kCancelled, kFailed };

// A file the copy will replace must be a plain file at the place its path names: the shell
// writes into an existing file, so a link (or a second name of a file elsewhere) in its place
// would carry the disc's bytes out of the installation.
bool IsPlainOrMissing(const fs::path& file) {
  // Listed rather than opened: a link whose target is missing is there too.
  WIN32_FIND_DATAW found{};
  const platform::UniqueFind entry(FindFirstFileW(platform::ApiPath(file).c_str(), &found));
  return !entry || platform::IsPlainFileAt(file, file.parent_path().native());
}

// Holds each folder from the installation folder down through `parts`, making those that are
// missing first: the shell would make them during the copy, and made here, nobody can put a
// link in their place before it writes through them.
bool MakeAndHold(FolderGuard& guard, std::span<const std::wstring> parts) {
  const fs::path& inst = Run().Install.InstPath;
  for (std::size_t n = 1; n <= parts.size(); ++n) {
    const std::vector<std::wstring> upto(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(n));
    FolderCheck check = guard.HoldBelow(inst, upto);
    if (check == FolderCheck::kMissing) {
      const auto folder = JoinAll(WriteBase(guard, inst), upto);
      if (!folder) return false;
      CreateDirectoryW(platform::ApiPath(*folder).c_str(), nullptr);
      check = guard.HoldBelow(inst, upto);
    }
    if (check != FolderCheck::kHeld) return false;
  }
  return true;
}

// Checks the destination of the disc's folder `source` (copied to `parts` below the
// installation folder) and everything below it: each folder the copy writes into is held, and
// each file it replaces is plain.
bool SecureFolderCopy(FolderGuard& guard, const fs::path& source, std::vector<std::wstring>& parts) {
  // A disc's tree is shallow; a deeper one is no disc of a game.
  constexpr std::size_t kDepthLimit = 64;
  if (parts.size() > kDepthLimit || !MakeAndHold(guard, parts)) return false;
  const auto destination = JoinAll(WriteBase(guard, Run().Install.InstPath), parts);
  if (!destination) return false;
  std::error_code ec;
  for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec)) {
    const std::wstring name = it->path().filename().native();
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      parts.push_back(name);
      const bool sound = SecureFolderCopy(guard, it->path(), parts);
      parts.pop_back();
      if (!sound) return false;
    } else {
      const auto file = platform::JoinWithin(*destination, name);
      if (!file || !IsPlainOrMissing(*file)) return false;
    }
  }
  return !ec;
}

// Checks what the copy of `source` will write through, as the shell copies it: a single file to
// its own path, a folder below the installation folder under its own last name, and what a
// pattern matches directly into the installation folder.
bool SecureCopy(FolderGuard& guard, const fs::path& source, bool single_file, const CopyPaths& paths) {
  if (single_file) {
    return MakeAndHold(guard, std::span(paths.parts).first(paths.parts.size() - 1)) &&
           IsPlainOrMissing(paths.file_destination);
  }
  if (IsFolder(source)) {
    std::vector<std::wstring> parts{paths.parts.back()};
    return SecureFolderCopy(guard, source, parts);
  }
  WIN32_FIND_DATAW found{};
  const platform::UniqueFind find(FindFirstFileW(platform::ApiPath(source).c_str(), &found));
  if (!find) return true;  // nothing to copy: the shell reports it
  const fs::path destination = WriteBase(guard, Run().Install.InstPath);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      std::vector<std::wstring> parts{name};
      if (!SecureFolderCopy(guard, source.parent_path() / name, parts)) return false;
    } else {
      const auto file = platform::JoinWithin(destination, name);
      if (!file || !IsPlainOrMissing(*file)) return false;
    }
  } while (FindNextFileW(find.get(), &found));
  return true;
}

CopyOutcome CopyFromDisc(HWND window, const std::wstring& drive, const CopyPaths& paths,
                         FolderGuard& guard) {
  const fs::path source = *platform::JoinWithin(drive, paths.path);
  const bool single_file = Exists(source) && !IsFolder(source);
  const fs::path destination =
      single_file ? paths.file_destination : WriteBase(guard, Run().Install.InstPath);
  if (!SecureCopy(guard, source, single_file, paths)) return CopyOutcome::kFailed;

  // Both are lists of one path, each ended by two NULs.
  std::wstring from = source.wstring();
  from.append(2, L'\0');
  std::wstring to = destination.wstring();
  to.append(2, L'\0');
  SHFILEOPSTRUCTW op{};
  op.hwnd = window;
  op.wFunc = FO_COPY;
  op.pFrom = from.c_str();
  op.pTo = to.c_str();
  op.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  if (!single_file) op.fFlags |= FOF_NOERRORUI;
  const int result = SHFileOperationW(&op);
  if (op.fAnyOperationsAborted) return CopyOutcome::kCancelled;
  if (result != 0) return CopyOutcome::kFailed;
  // Through one handle, and only on what lies where the run holds it: a file copied there, or
  // the installation folder itself.
  const std::span<const std::wstring> parts(paths.parts);
  if (const auto folder = guard.FinalOf(Run().Install.InstPath,
                                        single_file ? std::vector<std::wstring>(parts.begin(), parts.end() - 1)
                                                    : std::vector<std::wstring>{})) {
    platform::NormalizeAttributesAt(destination, *folder);
  }
  return CopyOutcome::kCopied;
}

void Stop(RunView& view, std::string_view message) {
  ShowUpdaterError(message);
  view.Interrupted();
}

// The run's list with every path worked out, wide, through the folders held.
struct HeldRun {
  std::vector<const PlannedItem*> items;  // the UpdateFile items that apply, in order
  std::vector<UpdateTarget> targets;      // one for each item
  std::vector<const PlannedCopy*> copy_items;
  std::vector<CopyPaths> copies;  // one for each copy item
};

// Every path is worked out, and every folder that is there checked and held, before anything
// is written: a path that cannot be had, or runs through a link, refuses the run with nothing
// changed, rather than leave the game half updated or write elsewhere. The folders stay held
// until the run ends, so none can be swapped meanwhile. Nothing when the run is refused.
std::optional<HeldRun> HoldRun(const RunPlan& plan, FolderGuard& guard) {
  const RunState& run = Run();
  HeldRun held;
  for (const PlannedItem& item : plan.items) {
    if (item.Applies()) held.items.push_back(&item);
  }
  for (const PlannedCopy& copy : plan.copies) {
    if (copy.applies) held.copy_items.push_back(&copy);
  }
  const bool data_items =
      std::any_of(held.items.begin(), held.items.end(), [](const PlannedItem* item) { return item->data; });
  for (const fs::path* base : {&run.Install.InstPath, data_items ? &run.Install.DataPath : nullptr}) {
    if (base && !base->empty() && guard.HoldBase(*base) == FolderCheck::kRefused) return std::nullopt;
  }
  for (const PlannedItem* item : held.items) {
    auto where = TargetOf(*item, plan.data_folder_parts.size(), guard);
    if (!where || guard.HoldBelow(where->base, where->folders) == FolderCheck::kRefused) return std::nullopt;
    held.targets.push_back(std::move(*where));
  }
  for (const PlannedCopy* copy : held.copy_items) {
    auto paths = CopyPathsOf(*copy, guard);
    if (!paths) return std::nullopt;
    const auto folders = ExistingCopyFolders(*paths);
    if (guard.HoldBelow(run.Install.InstPath, {folders.begin(), folders.end()}) == FolderCheck::kRefused) {
      return std::nullopt;
    }
    held.copies.push_back(std::move(*paths));
  }
  return held;
}

// The disc copies, in order. False when the run ended there (given up, or a copy failed after
// its box).
bool CopyAll(RunView& view, const HeldRun& held, FolderGuard& guard) {
  const HWND window = view.Owner();
  // The drive of the latest disc search; an item without a disc is copied from it.
  std::optional<std::wstring> drive;
  for (std::size_t i = 0; i < held.copies.size(); ++i) {
    const CopyItem& item = held.copy_items[i]->item;
    if (item.Disc != 0) {
      drive = FindDisc(window, item.Disc);
      if (!drive) return false;
    } else if (!drive) {
      // No disc asked for and none searched yet: the first CD-ROM drive that holds the disc
      // of DiskCheckFile0, without asking.
      drive = DriveHoldingDisc(0);
    }
    view.Show(texts::kCopyingFormat, {item.Path});
    const CopyOutcome outcome = drive ? CopyFromDisc(window, *drive, held.copies[i], guard) : CopyOutcome::kFailed;
    switch (outcome) {
      case CopyOutcome::kCopied:
        break;
      case CopyOutcome::kCancelled:
        return false;
      case CopyOutcome::kFailed: {
        const std::wstring text = platform::WidenCp932Lossy(
            FormatText(texts::kCopyFailedFormat, {item.Path}).view());
        const std::wstring caption = platform::WidenCp932Lossy(Run().UpdaterCaption.view());
        MessageBoxW(window, text.c_str(), caption.c_str(), MB_ICONHAND);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

void RunUpdate(RunView& view) {
  const RunState& run = Run();
  const RunPlan plan = PlanRun(run.UpdateIniText, run.Install.InstMode);

  if (plan.required_disk_space != 0) {
    // Free space that cannot be learned does not stop the update: every file is written whole
    // beside its target first, so a disk that really is full fails a write and keeps the file.
    const auto space = platform::QueryFreeSpace(run.Install.InstPath);
    if (space && space->available_to_caller < plan.required_disk_space) {
      const auto shortfall = static_cast<std::int32_t>(
          plan.required_disk_space - static_cast<std::uint32_t>(space->available_to_caller));
      view.Show(texts::kDiskShortFormat, {DriveOf(run.Install.InstPath), shortfall});
      view.OfferBack();
      return;
    }
  }

  view.Show(texts::kRunningText);
  view.Waiting();

  switch (plan.stop) {
    case PlanStop::kNone: break;
    case PlanStop::kNothingApplies: return Stop(view, texts::kNoUpdateItems);
    case PlanStop::kRefusedValue:
    case PlanStop::kRefusedPath: return Stop(view, texts::kWriteFailed);
  }
  FolderGuard& guard = platform::RunFolders();
  const std::optional<HeldRun> held = HoldRun(plan, guard);
  if (!held) return Stop(view, texts::kWriteFailed);

  {
    // Each item's entry is unpacked on a thread of its own while the item before it is written
    // (a file's flush waits for the disk); nothing the writer began outlives the writes, and
    // nothing unpacks ahead while the failure box waits for the player.
    EntryWriter writer(guard, plan.data_folder_parts.size());
    const auto& items = held->items;
    const auto& targets = held->targets;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const bool last = i + 1 == targets.size();
      if (!writer.Write(*items[i], targets[i], last ? nullptr : items[i + 1], last ? nullptr : &targets[i + 1])) {
        writer.Halt();
        return Stop(view, texts::kWriteFailed);
      }
    }
  }

  if (!CopyAll(view, *held, guard)) return view.Interrupted();
  view.Finished();
}

}  // namespace upd
