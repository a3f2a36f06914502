// The update run: the disk-space test, the package's files written by their modes, the copies
// from the game's disc, and the finished page.
#include "wizard/update_run.h"

#include <shellapi.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/error_box.h"
#include "config/text_format.h"
#include "config/update_section.h"
#include "package/entry_access.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "run/messages.h"
#include "run/state.h"
#include "wizard/wizard.h"

namespace upd {
namespace {

namespace fs = std::filesystem;

// Where one UpdateItem goes, worked out before anything is written.
struct UpdateTarget {
  fs::path folder;  // the base folder joined with DataFolder: the one level created
  fs::path target;
};

// Where one CopyItem comes from (below the disc's drive) and goes to.
struct CopyPaths {
  std::wstring path;  // Path, wide
  fs::path file_destination;  // InstPath joined with Path, for a single file
};

// The two characters the disk-space message names: the drive letter and colon of InstPath.
std::string DriveOf(const fs::path& inst_path) {
  const std::wstring& p = inst_path.native();
  return platform::NarrowCp932Lossy(std::wstring_view(p).substr(0, std::min<std::size_t>(2, p.size())));
}

// The base folder joined with DataFolder, then with Path. Nothing when a part cannot be spelt
// on the file system or a joined path would be longer than the path width (never cut), or when
// a data item has no data folder to go to.
std::optional<UpdateTarget> TargetOf(const UpdateItem& item) {
  const RunState& run = Run();
  const fs::path& base = item.Mode == UpdateMode::kData ? run.Install.DataPath : run.Install.InstPath;
  // Without a data folder a data item has no place: a relative path would land wherever the
  // updater happens to be started from.
  if (base.empty()) return std::nullopt;
  const auto data_folder = platform::WidenCp932(run.Update.DataFolder.view());
  const auto path = platform::WidenCp932(item.Path.view());
  if (!data_folder || !path) return std::nullopt;
  auto folder = platform::JoinWithin(base, *data_folder);
  if (!folder) return std::nullopt;
  auto target = platform::JoinWithin(*folder, *path);
  if (!target) return std::nullopt;
  return UpdateTarget{std::move(*folder), std::move(*target)};
}

std::optional<CopyPaths> CopyPathsOf(const CopyItem& item) {
  const auto path = platform::WidenCp932(item.Path.view());
  if (!path) return std::nullopt;
  // Every drive name has two characters, so "A:" stands for the one the disc search finds.
  if (!platform::JoinWithin(L"A:", *path)) return std::nullopt;
  auto destination = platform::JoinWithin(Run().Install.InstPath, *path);
  if (!destination) return std::nullopt;
  return CopyPaths{*path, std::move(*destination)};
}

bool Exists(const fs::path& path) { return platform::AttributesOf(path).has_value(); }
bool IsFolder(const fs::path& path) {
  const auto attributes = platform::AttributesOf(path);
  return attributes && (*attributes & platform::kAttributeDirectory);
}

std::string_view EntryNameOf(const UpdateItem& item) {
  return item.Path.view().substr(static_cast<std::size_t>(item.NameOffset));
}

// Writes one item. False when the package entry could not be written. `next`: the entry of the
// item after this one, unpacked meanwhile.
bool WriteItem(const UpdateItem& item, const UpdateTarget& where, bool overwrite_only,
               std::string_view next) {
  // A failure, such as a folder that is already there, is of no concern here.
  CreateDirectoryW(platform::ApiPath(where.folder).c_str(), nullptr);

  if ((overwrite_only || item.Mode == UpdateMode::kOverwrite) &&
      (!Exists(where.target) || IsFolder(where.target))) {
    return true;
  }
  if (item.Mode == UpdateMode::kData) {
    // An existing data file keeps its content and takes the time of the update. The rewrite
    // goes through a new file beside it, so a failure leaves it whole.
    if (const auto content = platform::ReadWholeFile(where.target)) {
      WriteWholeFile(where.target, *content, std::nullopt);
      return true;
    }
  }
  return ExtractPackageEntry(EntryNameOf(item), where.target, item.Mode == UpdateMode::kNewer, next);
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

CopyOutcome CopyFromDisc(HWND window, const std::wstring& drive, const CopyPaths& paths) {
  const fs::path source = *platform::JoinWithin(drive, paths.path);
  const bool single_file = Exists(source) && !IsFolder(source);
  const fs::path destination = single_file ? paths.file_destination : Run().Install.InstPath;

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
  platform::SetAttributesTo(destination, platform::kAttributeNormal);
  return CopyOutcome::kCopied;
}

void Stop(HWND window, std::string_view message) {
  ShowUpdaterError(message);
  EndWizard(window, kWizardInterrupted);
}

}  // namespace

void RunUpdate(HWND window) {
  RunState& run = Run();

  if (const std::uint32_t required = ReadRequiredDiskSpace(); required != 0) {
    // Free space that cannot be learned does not stop the update: every file is written whole
    // beside its target first, so a disk that really is full fails a write and keeps the file.
    const auto space = QueryFreeSpace(run.Install.InstPath);
    if (space && space->available_to_caller < required) {
      const auto shortfall = static_cast<std::int32_t>(
          required - static_cast<std::uint32_t>(space->available_to_caller));
      SetInfoText(window, texts::kDiskShortFormat, {DriveOf(run.Install.InstPath), shortfall});
      SetWizardButtons(window, /*next=*/false, /*back=*/true, /*abort=*/true);
      return;
    }
  }

  SetInfoText(window, texts::kRunningText);
  SetWizardButtons(window, false, false, false);
  ShowWaitCursor();

  const bool overwrite_only = ReadOverwriteOnly();
  UpdateTables& tables = run.Items;
  if (!ReadUpdateLists(run.Install.InstMode, tables)) return Stop(window, texts::kWriteFailed);
  if (tables.UpdateItemCount == 0 && tables.CopyItemCount == 0) {
    return Stop(window, texts::kNoUpdateItems);
  }

  // Every path is worked out before anything is written: a path that cannot be had refuses
  // the run with nothing changed, rather than leave the game half updated.
  std::vector<UpdateTarget> targets;
  for (std::int32_t i = 0; i < tables.UpdateItemCount; ++i) {
    auto where = TargetOf(tables.UpdateItems[i]);
    if (!where) return Stop(window, texts::kWriteFailed);
    targets.push_back(std::move(*where));
  }
  std::vector<CopyPaths> copies;
  for (std::int32_t i = 0; i < tables.CopyItemCount; ++i) {
    auto paths = CopyPathsOf(tables.CopyItems[i]);
    if (!paths) return Stop(window, texts::kWriteFailed);
    copies.push_back(std::move(*paths));
  }

  {
    // Each item's entry is unpacked on a thread of its own while the item before it is written
    // (a file's flush waits for the disk); nothing prepared outlives the writes.
    struct DropOnExit {
      ~DropOnExit() { DropPreparedEntry(); }
    } drop;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const std::string_view next =
          i + 1 < targets.size() ? EntryNameOf(tables.UpdateItems[i + 1]) : std::string_view{};
      if (!WriteItem(tables.UpdateItems[i], targets[i], overwrite_only, next)) {
        return Stop(window, texts::kWriteFailed);
      }
    }
  }

  // The drive of the latest disc search; an item without a disc is copied from it.
  std::optional<std::wstring> drive;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const CopyItem& item = tables.CopyItems[i];
    if (item.Disc != 0) {
      drive = FindDisc(window, item.Disc);
      if (!drive) return EndWizard(window, kWizardInterrupted);
    } else if (!drive) {
      // No disc asked for and none searched yet: the first CD-ROM drive that holds the disc
      // of DiskCheckFile0, without asking.
      drive = DriveHoldingDisc(0);
    }
    SetInfoText(window, texts::kCopyingFormat, {item.Path});
    const CopyOutcome outcome = drive ? CopyFromDisc(window, *drive, copies[i]) : CopyOutcome::kFailed;
    switch (outcome) {
      case CopyOutcome::kCopied:
        break;
      case CopyOutcome::kCancelled:
        return EndWizard(window, kWizardInterrupted);
      case CopyOutcome::kFailed: {
        const std::wstring text = platform::WidenCp932Lossy(
            FormatText(texts::kCopyFailedFormat, {item.Path}).view());
        const std::wstring caption = platform::WidenCp932Lossy(run.UpdaterCaption.view());
        MessageBoxW(window, text.c_str(), caption.c_str(), MB_ICONHAND);
        return EndWizard(window, kWizardInterrupted);
      }
    }
  }

  ShowFinishedPage(window);
}

}  // namespace upd
