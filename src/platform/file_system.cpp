#include "platform/file_system.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>

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
std::wstring CandidateName(unsigned attempt) {
  static std::atomic<std::uint32_t> counter{0};
  const std::uint32_t mix = ::GetCurrentProcessId() * 2654435761u ^
                            static_cast<std::uint32_t>(::GetTickCount64()) ^
                            (counter.fetch_add(1) + attempt) * 40503u;
  std::wstring name = L"~upd00000000.tmp";
  for (int i = 0; i < 8; ++i) name[4 + i] = L"0123456789abcdef"[(mix >> (28 - 4 * i)) & 15];
  return name;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data() + done, chunk, &got, nullptr) || got == 0) {
      return std::nullopt;
    }
    done += got;
  }
  return bytes;
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

std::optional<ReplacementFile> ReplacementFile::CreateBeside(const std::filesystem::path& target) {
  const std::filesystem::path folder = target.parent_path();
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    std::filesystem::path candidate = folder / CandidateName(attempt);
    // CREATE_NEW: never open, and so never later delete, a file that someone else made.
    HANDLE h = ::CreateFileW(ApiPath(candidate).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return ReplacementFile(std::move(candidate), h);
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return std::nullopt;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      moved_(std::exchange(other.moved_, true)) {}

ReplacementFile::~ReplacementFile() {
  Close();
  if (!moved_) ::DeleteFileW(ApiPath(path_).c_str());
}

void ReplacementFile::Close() {
  if (handle_) ::CloseHandle(std::exchange(handle_, nullptr));
}

bool ReplacementFile::Write(std::span<const std::uint8_t> bytes) {
  if (!handle_) return false;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle_, bytes.data(), chunk, &written, nullptr) || written != chunk) {
      return false;
    }
    bytes = bytes.subspan(chunk);
  }
  return true;
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
  const bool flushed = ::FlushFileBuffers(handle_) != 0;
  Close();
  if (!flushed) return false;
  // A plain rename over the target: the new file keeps its own attributes and times (where
  // ReplaceFileW would carry the old file's attributes and creation time over).
  if (!::MoveFileExW(ApiPath(path_).c_str(), ApiPath(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  moved_ = true;
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
