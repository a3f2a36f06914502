#include "platform/file_system.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <system_error>
#include <vector>

#include "platform/handles.h"

namespace upd::platform {
namespace {

FILETIME ToFileTime(std::uint64_t t) {
  return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

std::uint64_t FromFileTime(const FILETIME& t) {
  return std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime;
}

std::optional<FileTimes> TimesThrough(HANDLE file) {
  FILETIME c{}, a{}, w{};
  if (!::GetFileTime(file, &c, &a, &w)) return std::nullopt;
  return FileTimes{FromFileTime(c), FromFileTime(a), FromFileTime(w)};
}

// Names for replacement files: unlikely to meet each other or anything of the game's, and
// short, so that the path beside a target is hardly longer than the target's own.
std::wstring ReplacementName(std::uint32_t number) {
  std::wstring name = L"~upd00000000.tmp";
  for (int i = 0; i < 8; ++i) name[4 + i] = L"0123456789abcdef"[(number >> (28 - 4 * i)) & 15];
  return name;
}

std::wstring CandidateName(unsigned attempt) {
  static std::atomic<std::uint32_t> counter{0};
  return ReplacementName(::GetCurrentProcessId() * 2654435761u ^
                         static_cast<std::uint32_t>(::GetTickCount64()) ^
                         (counter.fetch_add(1) + attempt) * 40503u);
}

// The first name tried for a target's replacement file follows from the target's own name, so
// that a run finds what an earlier run left for the same target when it was ended between
// creating the file and marking it for deletion.
std::wstring TargetBoundName(const std::filesystem::path& target) {
  std::wstring name = target.filename().native();
  ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));  // names match without case
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const wchar_t c : name) hash = (hash ^ c) * 16777619u;
  return ReplacementName(hash);
}

// Sets or clears the mark that makes the system delete a file when its last handle closes.
bool SetDeleteDisposition(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = remove ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

bool WriteAllTo(HANDLE file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written != chunk) return false;
    bytes = bytes.subspan(chunk);
  }
  return true;
}

// A path as the native file calls take it (\??\C:\... or \??\UNC\server\...): a rename through a
// handle is not given the system's path conversion.
std::wstring NtPathOf(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(path, ec);
  if (ec) full = path;
  full = full.lexically_normal();
  full.make_preferred();
  std::wstring api = ApiPath(full);
  if (api.starts_with(LR"(\\?\)")) return LR"(\??\)" + api.substr(4);
  if (api.starts_with(LR"(\\)")) return LR"(\??\UNC\)" + api.substr(2);
  return LR"(\??\)" + api;
}

}  // namespace

std::optional<std::wstring> FinalPathOf(void* handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(n + 1);  // the count then includes the terminator
  }
  // The plain form, as the run's own paths are spelt.
  if (path.starts_with(LR"(\\?\UNC\)")) return LR"(\\)" + path.substr(8);
  if (path.starts_with(LR"(\\?\)") && path.size() >= 6 && path[5] == L':') return path.substr(4);
  return path;
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

namespace {

// The file opened as itself (a link is never followed) is a plain file whose final path is its
// name in `folder_final`.
bool IsPlainThrough(HANDLE file, const std::filesystem::path& path, std::wstring_view folder_final,
                    BY_HANDLE_FILE_INFORMATION& info) {
  if (!::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  const auto final_path = FinalPathOf(file);
  const auto expected = JoinWithin(std::filesystem::path(std::wstring(folder_final)),
                                   path.filename().native());
  return final_path && expected && SamePath(*final_path, expected->native());
}

}  // namespace

bool IsPlainFileAt(const std::filesystem::path& path, std::wstring_view folder_final) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return file && IsPlainThrough(file.get(), path, folder_final, info) && info.nNumberOfLinks == 1;
}

KeptFile TouchKeptFile(const std::filesystem::path& path, std::wstring_view folder_final) {
  // Opened for reading with read sharing only, as the save is read: a save the game holds open
  // for writing, or one that is denied, is refused here and stays as it is. FILE_WRITE_ATTRIBUTES
  // for its time, which a read-only file grants too. A link in the file's place is opened as
  // itself, never followed.
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? KeptFile::kMissing
                                                                          : KeptFile::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IsPlainThrough(file.get(), path, folder_final, info)) return KeptFile::kFailed;
  // The content is kept as it is, so it is not read into memory: a save of any size keeps it.
  // What may not be replaced keeps its time too, as a rewrite of it would have been refused.
  constexpr DWORD kNotReplaced = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (info.dwFileAttributes & kNotReplaced) return KeptFile::kTouched;
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  if (!::SetFileTime(file.get(), nullptr, nullptr, &now)) return KeptFile::kFailed;
  return KeptFile::kTouched;
}

std::optional<std::filesystem::path> JoinWithin(const std::filesystem::path& folder,
                                                std::wstring_view component) {
  std::wstring joined = folder.wstring();
  if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/') joined.push_back(L'\\');
  joined.append(component);
  if (joined.size() > kPathWidth) return std::nullopt;
  return std::filesystem::path(std::move(joined));
}

std::wstring ApiPath(const std::filesystem::path& path) {
  const std::wstring& plain = path.native();
  if (plain.size() < MAX_PATH || plain.starts_with(L"\\\\?\\")) return plain;
  std::filesystem::path normal = path.lexically_normal();
  normal.make_preferred();
  const std::wstring& s = normal.native();
  if (s.size() >= 3 && std::iswalpha(s[0]) && s[1] == L':' && s[2] == L'\\') return L"\\\\?\\" + s;
  if (s.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + s.substr(2);
  return plain;  // a relative path cannot take the extended form
}

std::optional<std::uint32_t> AttributesOf(const std::filesystem::path& path) {
  const DWORD a = ::GetFileAttributesW(ApiPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return a;
}

bool SetAttributesTo(const std::filesystem::path& path, std::uint32_t attributes) {
  return ::SetFileAttributesW(ApiPath(path).c_str(), attributes) != 0;
}

std::optional<std::uint64_t> LastWriteTimeOf(const std::filesystem::path& path) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  const auto times = TimesThrough(file.get());
  if (!times) return std::nullopt;
  return times->last_write;
}

std::optional<FileTimes> TimesOf(const std::filesystem::path& path) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return std::nullopt;
  return TimesThrough(file.get());
}

bool EnsureTimes(const std::filesystem::path& path, std::uint64_t stamp) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const auto times = TimesThrough(file.get());
  if (times && *times == FileTimes{stamp, stamp, stamp}) return true;
  const FILETIME t = ToFileTime(stamp);
  return ::SetFileTime(file.get(), &t, &t, &t) != 0;
}

bool DeleteFileAt(const std::filesystem::path& path) {
  return ::DeleteFileW(ApiPath(path).c_str()) != 0;
}

std::optional<HeldTemporaryFile> HeldTemporaryFile::CreateIn(const std::filesystem::path& folder,
                                                             std::wstring_view prefix) {
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    std::wstring name(prefix);
    name += CandidateName(attempt).substr(4);  // the eight hex digits and ".tmp"
    const auto candidate = JoinWithin(folder, name);
    if (!candidate) return std::nullopt;
    HANDLE h = ::CreateFileW(ApiPath(*candidate).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                             nullptr);
    if (h != INVALID_HANDLE_VALUE) return HeldTemporaryFile(*candidate, h);
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return std::nullopt;
}

HeldTemporaryFile::HeldTemporaryFile(HeldTemporaryFile&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::exchange(other.handle_, nullptr)) {}

HeldTemporaryFile& HeldTemporaryFile::operator=(HeldTemporaryFile&& other) noexcept {
  if (this != &other) {
    if (handle_) ::CloseHandle(handle_);
    path_ = std::move(other.path_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

HeldTemporaryFile::~HeldTemporaryFile() {
  if (handle_) ::CloseHandle(handle_);  // the system deletes the file with its last handle
}

bool HeldTemporaryFile::Write(std::span<const std::uint8_t> bytes) {
  return handle_ && WriteAllTo(handle_, bytes);
}

std::optional<ReplacementFile> ReplacementFile::CreateBeside(const std::filesystem::path& target) {
  const std::filesystem::path folder = target.parent_path();
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    std::filesystem::path candidate = folder / (attempt < 2 ? TargetBoundName(target) : CandidateName(attempt));
    // CREATE_NEW: never open, and so never write into, a file that someone else made.
    HANDLE h = ::CreateFileW(ApiPath(candidate).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      // Marked for deletion at once: until the move, the file goes with its handle, however
      // the process ends. A file system that takes no mark still gets the file deleted by
      // name when the object goes.
      const bool marked = SetDeleteDisposition(h, true);
      return ReplacementFile(std::move(candidate), h, marked);
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    // The target's own name taken: what an earlier run left for this target. Removed (a link
    // of that name goes, never what it leads to), and the name is tried once more.
    if (attempt == 0) ::DeleteFileW(ApiPath(candidate).c_str());
  }
  return std::nullopt;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      marked_(other.marked_) {}

ReplacementFile::~ReplacementFile() {
  if (!handle_) return;
  // Still marked, unless a failed move cleared the mark: mark it again before letting go.
  const bool marked = marked_ && SetDeleteDisposition(handle_, true);
  ::CloseHandle(handle_);
  if (!marked) ::DeleteFileW(ApiPath(path_).c_str());
}

bool ReplacementFile::Write(std::span<const std::uint8_t> bytes) {
  return handle_ && WriteAllTo(handle_, bytes);
}

bool ReplacementFile::FlushSoFar() { return handle_ && ::FlushFileBuffers(handle_) != 0; }

std::optional<std::uint64_t> ReplacementFile::AllocatedBytes() const {
  FILE_STANDARD_INFO info{};
  if (!handle_ || !::GetFileInformationByHandleEx(handle_, FileStandardInfo, &info, sizeof info)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
}

bool ReplacementFile::SetTimes(std::uint64_t stamp) {
  if (!handle_) return false;
  const FILETIME t = ToFileTime(stamp);
  return ::SetFileTime(handle_, &t, &t, &t) != 0;
}

bool ReplacementFile::MoveOver(const std::filesystem::path& target) {
  if (!handle_) return false;
  // The content reaches the disk before the name does, so a crash never leaves the target
  // named over a file whose bytes were still in the cache.
  if (!::FlushFileBuffers(handle_)) return false;
  // A plain rename over the target through the file's own handle: the new file keeps its own
  // attributes and times (where ReplaceFileW would carry the old file's over), and the file
  // renamed is the one written, whatever happened to names meanwhile. Only between clearing the
  // mark and the rename (or creating the file and marking it) could an ending process leave the
  // file behind; the next run for the same target removes it (TargetBoundName).
  const std::wstring name = NtPathOf(target);
  std::vector<std::uint8_t> info(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), rename->FileName);
  if (marked_ && !SetDeleteDisposition(handle_, false)) return false;
  if (!::SetFileInformationByHandle(handle_, FileRenameInfo, rename,
                                    static_cast<DWORD>(info.size()))) {
    return false;  // the destructor marks it again
  }
  ::CloseHandle(std::exchange(handle_, nullptr));
  return true;
}

std::optional<std::wstring> VolumeRootOf(const std::filesystem::path& path) {
  wchar_t root[MAX_PATH + 1] = {};
  if (!::GetVolumePathNameW(ApiPath(path).c_str(), root, MAX_PATH + 1)) return std::nullopt;
  return std::wstring(root);
}

std::optional<DiskSpace> DiskFreeSpaceOf(const std::wstring& root) {
  ULARGE_INTEGER available{}, total{}, total_free{};
  if (!::GetDiskFreeSpaceExW(root.c_str(), &available, &total, &total_free)) return std::nullopt;
  return DiskSpace{available.QuadPart, total.QuadPart, total_free.QuadPart};
}

std::optional<ClusterCounts> ClusterCountsOf(const std::wstring& root) {
  DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
  if (!::GetDiskFreeSpaceW(root.c_str(), &sectors, &bytes, &free_clusters, &total_clusters)) {
    return std::nullopt;
  }
  return ClusterCounts{sectors, bytes, free_clusters, total_clusters};
}

}  // namespace upd::platform
