#include "platform/file_system.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <system_error>
#include <vector>

#include <ntsecapi.h>

#include <mutex>
#include <string>

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

// Names of replacement files: "~upd", eight hex digits, ".tmp". Short, so that the path beside
// a target is hardly longer than the target's own.
constexpr std::wstring_view kReplacementPrefix = L"~upd";
constexpr std::wstring_view kReplacementSuffix = L".tmp";

bool IsReplacementName(std::wstring_view name) {
  if (name.size() != kReplacementPrefix.size() + 8 + kReplacementSuffix.size() ||
      !SamePath(name.substr(0, kReplacementPrefix.size()), kReplacementPrefix) ||
      !SamePath(name.substr(name.size() - kReplacementSuffix.size()), kReplacementSuffix)) {
    return false;
  }
  const std::wstring_view digits = name.substr(kReplacementPrefix.size(), 8);
  return std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return std::iswxdigit(c) != 0; });
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

// The handle's final path is `name` in `folder_final`.
bool LiesAt(HANDLE handle, std::wstring_view folder_final, std::wstring_view name) {
  const auto final_path = FinalPathOf(handle);
  const auto expected = JoinWithin(std::filesystem::path(std::wstring(folder_final)), name);
  return final_path && expected && SamePath(*final_path, expected->native());
}

// The file opened as itself (a link is never followed) is a plain file whose final path is its
// name in `folder_final`.
bool IsPlainThrough(HANDLE file, const std::filesystem::path& path, std::wstring_view folder_final,
                    BY_HANDLE_FILE_INFORMATION& info) {
  if (!::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  return LiesAt(file, folder_final, path.filename().native());
}

}  // namespace

bool IsPlainFileAt(const std::filesystem::path& path, std::wstring_view folder_final) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  return file && IsPlainThrough(file.get(), path, folder_final, info) && info.nNumberOfLinks == 1;
}

namespace {

// Removes what a run ended between clearing a replacement file's mark and its move left in a
// held folder: plain files of that name pattern that nobody has open, checked through the
// handle that deletes them (a link of such a name, or a second name of a file elsewhere, stays).
// Once per folder and process.
void SweepLeftovers(std::wstring_view folder_final) {
  static std::mutex mutex;
  static std::vector<std::wstring> swept;
  {
    const std::lock_guard lock(mutex);
    if (std::any_of(swept.begin(), swept.end(), [&](const std::wstring& f) { return SamePath(f, folder_final); })) {
      return;
    }
    swept.emplace_back(folder_final);
  }
  const auto pattern = JoinWithin(std::filesystem::path(std::wstring(folder_final)), L"~upd*.tmp");
  if (!pattern) return;
  WIN32_FIND_DATAW found{};
  const UniqueFind find(::FindFirstFileW(ApiPath(*pattern).c_str(), &found));
  if (!find) return;
  do {
    if (!IsReplacementName(found.cFileName)) continue;
    const auto path = JoinWithin(std::filesystem::path(std::wstring(folder_final)), found.cFileName);
    if (!path) continue;
    // No sharing: a file another process (or this one) still writes is not opened.
    UniqueFile file(::CreateFileW(ApiPath(*path).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (file && IsPlainThrough(file.get(), *path, folder_final, info) && info.nNumberOfLinks == 1) {
      SetDeleteDisposition(file.get(), true);
    }
  } while (::FindNextFileW(find.get(), &found));
}

}  // namespace

std::optional<std::string> ReadPlainFile(std::wstring_view name, std::wstring_view folder_final) {
  const auto path = JoinWithin(std::filesystem::path(std::wstring(folder_final)), name);
  if (!path) return std::nullopt;
  UniqueFile file(::CreateFileW(ApiPath(*path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !IsPlainThrough(file.get(), *path, folder_final, info)) return std::nullopt;
  std::string bytes;
  try {
    const std::uint64_t size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data() + done, chunk, &got, nullptr)) return std::nullopt;
    if (got == 0) {  // shorter than it was: what is there
      bytes.resize(done);
      break;
    }
    done += got;
  }
  return bytes;
}

bool NormalizeAttributesAt(const std::filesystem::path& path, std::wstring_view folder_final) {
  UniqueFile item(::CreateFileW(ApiPath(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!item || !::GetFileInformationByHandle(item.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    const auto final_path = FinalPathOf(item.get());
    if (!final_path || !SamePath(*final_path, folder_final)) return false;
  } else if (info.nNumberOfLinks != 1 || !LiesAt(item.get(), folder_final, path.filename().native())) {
    return false;
  }
  FILE_BASIC_INFO basic{};  // times of zero are left as they are
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(item.get(), FileBasicInfo, &basic, sizeof basic) != 0;
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
  if (!IsPlainThrough(file.get(), path, folder_final, info) || info.nNumberOfLinks != 1) {
    return KeptFile::kFailed;
  }
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

std::optional<std::uint64_t> LastWriteTimeOf(const std::filesystem::path& path) {
  UniqueFile file(::CreateFileW(ApiPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  const auto times = TimesThrough(file.get());
  if (!times) return std::nullopt;
  return times->last_write;
}

std::optional<HeldTemporaryFile> HeldTemporaryFile::CreateIn(const std::filesystem::path& folder,
                                                             std::wstring_view prefix) {
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const auto digits = RandomHexName();
    if (!digits) return std::nullopt;
    std::wstring name(prefix);
    name += *digits;
    name += kReplacementSuffix;
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

std::optional<std::wstring> RandomHexName() {
  std::uint32_t bits = 0;
  if (!RtlGenRandom(&bits, sizeof bits)) return std::nullopt;
  std::wstring digits(8, L'0');
  for (int i = 0; i < 8; ++i) digits[i] = L"0123456789abcdef"[(bits >> (28 - 4 * i)) & 15];
  return digits;
}

std::optional<ReplacementFile> ReplacementFile::CreateBeside(const std::filesystem::path& target,
                                                             std::wstring_view folder_final) {
  const std::filesystem::path folder = target.parent_path();
  if (!folder_final.empty()) SweepLeftovers(folder_final);
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const auto digits = RandomHexName();
    if (!digits) return std::nullopt;
    const std::wstring name = std::wstring(kReplacementPrefix) + *digits + std::wstring(kReplacementSuffix);
    // CREATE_NEW: never open, and so never write into, a file that someone else made.
    HANDLE h = ::CreateFileW(ApiPath(folder / name).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      // Marked for deletion at once: until the move, the file goes with its handle, however
      // the process ends. A file system that takes no mark still gets the file deleted by
      // name when the object goes.
      const bool marked = SetDeleteDisposition(h, true);
      ReplacementFile file(folder / name, h, marked, std::wstring(folder_final));
      // Where it lies, before a byte goes in: a folder turned into a link or mount point on the
      // way would have put it elsewhere (it goes with the object).
      if (!folder_final.empty() && !LiesAt(h, folder_final, name)) return std::nullopt;
      return file;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return std::nullopt;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : path_(std::move(other.path_)),
      handle_(std::exchange(other.handle_, nullptr)),
      marked_(other.marked_),
      folder_final_(std::move(other.folder_final_)),
      stamp_(other.stamp_) {}

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
  if (!::SetFileTime(handle_, &t, &t, &t)) return false;
  stamp_ = stamp;
  return true;
}

ReplacementFile::Moved ReplacementFile::MoveOver(const std::filesystem::path& target, bool replace) {
  if (!handle_) return Moved::kFailed;
  // The content reaches the disk before the name does, so a crash never leaves the target
  // named over a file whose bytes were still in the cache.
  if (!::FlushFileBuffers(handle_)) return Moved::kFailed;
  // Still where it was made, in the folder the run holds, before it takes any name there.
  if (!folder_final_.empty() && !LiesAt(handle_, folder_final_, path_.filename().native())) {
    return Moved::kFailed;
  }
  // A plain rename over the target through the file's own handle: the new file keeps its own
  // attributes and times (where ReplaceFileW would carry the old file's over), and the file
  // renamed is the one written, whatever happened to names meanwhile. Only between clearing the
  // mark and the rename could an ending process leave the file behind; the next run's first
  // file in this folder removes it (SweepLeftovers).
  const std::wstring name = NtPathOf(target);
  std::vector<std::uint8_t> info(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), rename->FileName);
  if (marked_ && !SetDeleteDisposition(handle_, false)) return Moved::kFailed;
  if (!::SetFileInformationByHandle(handle_, FileRenameInfo, rename,
                                    static_cast<DWORD>(info.size()))) {
    const DWORD error = ::GetLastError();
    // The destructor marks it again.
    return !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) ? Moved::kTargetTaken
                                                                                    : Moved::kFailed;
  }
  // A file system may hand a name that was just replaced the old file's creation time (NTFS
  // file-name tunnelling): the times are set again, through the same handle, where they differ.
  bool stamped = true;
  if (stamp_) {
    const auto times = TimesThrough(handle_);
    if (!times || *times != FileTimes{*stamp_, *stamp_, *stamp_}) {
      const FILETIME t = ToFileTime(*stamp_);
      stamped = ::SetFileTime(handle_, &t, &t, &t) != 0;
    }
  }
  ::CloseHandle(std::exchange(handle_, nullptr));
  return stamped ? Moved::kMoved : Moved::kFailed;
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

std::optional<DiskSpace> QueryFreeSpace(const std::filesystem::path& path) {
  const auto root = VolumeRootOf(path);
  if (!root) return std::nullopt;
  if (const auto space = DiskFreeSpaceOf(*root)) return space;
  // Without the 64-bit figures, reckon with the cluster counts: bytes per cluster in 32 bits,
  // the products in 64; the free bytes count both as available and as total free.
  const auto clusters = ClusterCountsOf(*root);
  if (!clusters) return std::nullopt;
  const std::uint64_t cluster_bytes =
      static_cast<std::uint32_t>(clusters->sectors_per_cluster * clusters->bytes_per_sector);
  const std::uint64_t available = std::uint64_t{clusters->free_clusters} * cluster_bytes;
  return DiskSpace{available, std::uint64_t{clusters->total_clusters} * cluster_bytes, available};
}

}  // namespace upd::platform
