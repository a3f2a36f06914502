// Small file helpers over the wide API. Paths are std::filesystem::path (UTF-16 on Windows):
// folders that come from the system may hold characters outside code page 932, so paths never
// pass through code page 932 on their way to the file system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace upd::platform {

inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;

// The attributes of what exists at `path`; nothing when nothing can be found there.
std::optional<std::uint32_t> AttributesOf(const std::filesystem::path& path);
// Gives what lies at `path` normal attributes through one handle, when it is what its path names
// in the folder `folder_final` (a file of that name, or that folder itself): a link, a second name
// of a file elsewhere, or anything else the system resolves elsewhere is never changed. False
// when it is not so, or the attributes cannot be set.
bool NormalizeAttributesAt(const std::filesystem::path& path, std::wstring_view folder_final);

// Times as FILETIME values (100 ns since 1601-01-01, UTC).
struct FileTimes {
  std::uint64_t creation = 0;
  std::uint64_t last_access = 0;
  std::uint64_t last_write = 0;
  bool operator==(const FileTimes&) const = default;
};

// The last-write time, read through a handle opened for reading with read sharing only; nothing
// when the file cannot be opened so or its time cannot be read.
std::optional<std::uint64_t> LastWriteTimeOf(const std::filesystem::path& path);

// The path the system resolves an open file or folder to, links followed, in its plain form
// (C:\dir or \\server\share\dir); nothing when it cannot be learned.
std::optional<std::wstring> FinalPathOf(void* handle);
// Whether two paths name the same place, compared as the file system compares names (without
// regard to case).
bool SamePath(std::wstring_view a, std::wstring_view b);

// Whether the file at `path` is a plain file of one name whose final path is `path` in
// `folder_final`: no folder, no link in its place, no second name of a file elsewhere.
bool IsPlainFileAt(const std::filesystem::path& path, std::wstring_view folder_final);

// The bytes of the file `name` in the folder `folder_final`, read through one handle, when it is a
// plain file there (no link in its place, nothing the system resolves elsewhere); nothing when it
// is not, or cannot be read.
std::optional<std::string> ReadPlainFile(std::wstring_view name, std::wstring_view folder_final);

// What became of a file that the update keeps (a player's save): its content is left as it is
// and only its last-write time moves to the time of the update.
enum class KeptFile {
  kTouched,  // given the time of the update (or left alone when it may not be replaced:
             // read-only, hidden or system)
  kMissing,  // nothing there (file or path not found): the caller may write a new one
  kFailed,   // there, but not to be read now (held by the game, denied, a folder, a link in its
             // place) or its time not to be set: it stays exactly as it was
};
// Opens the file at `path` for reading and gives it the current time as its last write through
// that one handle: no other file can be put in its place between the check and the write. A
// link in the file's place (its final path is not `path` in `folder_final`), or a file with a
// second name elsewhere, is refused.
KeptFile TouchKeptFile(const std::filesystem::path& path, std::wstring_view folder_final);

// A file of this run's own in `folder`, created exclusively (so nothing planted in advance is
// taken for it) and held open without write or delete sharing until the object goes: no other
// process can change, replace or delete it meanwhile, and the system deletes it when the handle
// closes, also when the process is killed.
class HeldTemporaryFile {
 public:
  static std::optional<HeldTemporaryFile> CreateIn(const std::filesystem::path& folder,
                                                   std::wstring_view prefix);
  HeldTemporaryFile(HeldTemporaryFile&& other) noexcept;
  HeldTemporaryFile& operator=(HeldTemporaryFile&& other) noexcept;
  HeldTemporaryFile(const HeldTemporaryFile&) = delete;
  HeldTemporaryFile& operator=(const HeldTemporaryFile&) = delete;
  ~HeldTemporaryFile();

  bool Write(std::span<const std::uint8_t> bytes);
  const std::filesystem::path& path() const { return path_; }

 private:
  HeldTemporaryFile(std::filesystem::path path, void* handle)
      : path_(std::move(path)), handle_(handle) {}
  std::filesystem::path path_;
  void* handle_ = nullptr;
};

// Eight hex digits from the system's random source, for names of the run's own files that no
// other user can foresee (and so plant or link in advance). Nothing when the source fails.
std::optional<std::wstring> RandomHexName();

// A new file beside a target, filled in full before it takes the target's place in one step.
// It is created exclusively under a name from the system's random source in the target's folder
// (so the move stays on one volume, and nobody can foresee the name) and is marked for deletion
// from its creation until the move: however the process ends before the move, killed included,
// the system removes it.
//
// With the final path of the folder the run holds for the target, the file is checked where it
// lies, once created (before any byte is written) and again before the move: it must be its own
// name in that folder, never a file that a link or mount point put elsewhere.
class ReplacementFile {
 public:
  static std::optional<ReplacementFile> CreateBeside(const std::filesystem::path& target,
                                                     std::wstring_view folder_final = {});

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  // Appends all of `bytes`; false when any of them could not be written.
  bool Write(std::span<const std::uint8_t> bytes);
  // Flushes what was written so far to the disk. May be called from another thread while
  // Write goes on, so that most of the content is on the disk before MoveOver flushes the rest.
  bool FlushSoFar();
  // Creation, last-access and last-write time all `stamp`; the file keeps them through the move.
  bool SetTimes(std::uint64_t stamp);
  // The bytes the file takes on its volume now; nothing when that cannot be learned.
  std::optional<std::uint64_t> AllocatedBytes() const;

  enum class Moved {
    kMoved,
    kFailed,       // the target is as it was
    kTargetTaken,  // not replacing: a file is there (it may have appeared since it was looked at)
  };
  // Flushes the content to disk and moves the file over `target` through its own handle; a file
  // that is there is replaced only when `replace` is set. On failure the target is as it was,
  // but for a file moved whose times (SetTimes) could not be set again after the move.
  Moved MoveOver(const std::filesystem::path& target, bool replace = true);

  const std::filesystem::path& path() const { return path_; }

 private:
  ReplacementFile(std::filesystem::path path, void* handle, bool marked, std::wstring folder_final)
      : path_(std::move(path)), handle_(handle), marked_(marked), folder_final_(std::move(folder_final)) {}

  std::filesystem::path path_;
  void* handle_ = nullptr;  // open from creation until the move
  bool marked_ = false;     // the system deletes the file with its handle
  std::wstring folder_final_;  // where it must lie; empty: not checked
  std::optional<std::uint64_t> stamp_;
};

// The root of the volume that `path` lies on ("C:\", a mounted folder, "\\server\share\"),
// also for a path that does not exist yet; nothing when it cannot be learned.
std::optional<std::wstring> VolumeRootOf(const std::filesystem::path& path);

// Byte counts in the order GetDiskFreeSpaceEx gives them.
struct DiskSpace {
  std::uint64_t available_to_caller = 0;
  std::uint64_t total = 0;
  std::uint64_t total_free = 0;
};
std::optional<DiskSpace> DiskFreeSpaceOf(const std::wstring& root);

// The older cluster-based figures of the same volume.
struct ClusterCounts {
  std::uint32_t sectors_per_cluster = 0;
  std::uint32_t bytes_per_sector = 0;
  std::uint32_t free_clusters = 0;
  std::uint32_t total_clusters = 0;
};
std::optional<ClusterCounts> ClusterCountsOf(const std::wstring& root);

// The free space of the volume that `path` lies on (any path on it, existing or not: a drive,
// a folder mounted from another volume, a \\server\share path): the 64-bit figures, else
// reckoned from the cluster counts. Nothing when it cannot be learned.
std::optional<DiskSpace> QueryFreeSpace(const std::filesystem::path& path);

// The width of the updater's paths: 259 characters and the terminator, as the platform's
// plain path form holds them.
inline constexpr std::size_t kPathWidth = 259;

// `folder` joined with `component`: one '\' between them unless the folder is empty or already
// ends in '\' or '/'. Nothing when the result would be longer than kPathWidth characters: a
// path is refused, never cut.
std::optional<std::filesystem::path> JoinWithin(const std::filesystem::path& folder,
                                                std::wstring_view component);

// The form of `path` to hand to the wide API: paths too long for the plain form are given in
// the extended form (\\?\ prefix), which only absolute paths can take.
std::wstring ApiPath(const std::filesystem::path& path);

}  // namespace upd::platform
