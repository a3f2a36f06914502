#include "platform/held_folders.h"

#include "platform/file_system.h"

namespace upd::platform {
namespace {

// Listing access takes part in sharing checks (attribute-only opens do not), so a held folder
// refuses anyone who asks to delete or rename it; reading and writing inside it stay open.
constexpr DWORD kHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Another process that has the folder open for a moment with delete access (a scanner, an
// indexer, a rename elsewhere) makes the open fail with a sharing violation: that is waited out
// for up to a second rather than taken as a refusal of the whole run.
constexpr int kSharingRetries = 40;
constexpr DWORD kSharingPauseMs = 25;

UniqueFile OpenFolder(const std::filesystem::path& path, bool follow_link) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const std::wstring api_path = ApiPath(path);
  for (int attempt = 0;; ++attempt) {
    UniqueFile folder(::CreateFileW(api_path.c_str(), kHoldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, flags, nullptr));
    if (folder || ::GetLastError() != ERROR_SHARING_VIOLATION || attempt == kSharingRetries) return folder;
    ::Sleep(kSharingPauseMs);
  }
}

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

std::optional<DWORD> AttributesThrough(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return std::nullopt;
  return info.dwFileAttributes;
}

// The key of the folder `name` below the folder of key `parent`.
std::wstring KeyBelow(std::wstring key, std::wstring_view name) {
  if (!key.empty() && key.back() != L'\\') key += L'\\';
  key += name;
  return key;
}

}  // namespace

bool FolderGuard::Pin(Held& held) {
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const auto digits = RandomHexName();
    if (!digits) return true;
    const std::wstring name = L"~upd" + *digits + L".pin";
    const auto path = JoinWithin(std::filesystem::path(held.final), name);
    if (!path) return true;  // no room for a name below: nothing can be written there either
    UniqueFile pin(::CreateFileW(ApiPath(*path).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!pin) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      // A folder where the run cannot make a file takes none of its writes either; a write
      // there fails on its own.
      return true;
    }
    // Made through the folder's path: a link or mount point put in its place since it was
    // opened would have taken the pin elsewhere (where it goes with its handle).
    const auto final_path = FinalPathOf(pin.get());
    if (!final_path || !SamePath(*final_path, path->native())) return false;
    held.pin = std::move(pin);
    return true;
  }
  return true;
}

const FolderGuard::Held* FolderGuard::Find(std::wstring_view key) const {
  for (const Held& h : held_) {
    if (SamePath(h.key, key)) return &h;
  }
  return nullptr;
}

FolderCheck FolderGuard::HoldBase(const std::filesystem::path& base) {
  if (Find(base.native())) return FolderCheck::kHeld;
  UniqueFile folder = OpenFolder(base, /*follow_link=*/true);
  if (!folder) return IsMissing(::GetLastError()) ? FolderCheck::kMissing : FolderCheck::kRefused;
  const auto attributes = AttributesThrough(folder.get());
  if (!attributes) return FolderCheck::kRefused;
  if (!(*attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderCheck::kMissing;
  auto final_path = FinalPathOf(folder.get());
  if (!final_path) return FolderCheck::kRefused;
  // The link itself, when the base is one: held with read sharing only, so that it can be
  // neither removed nor re-pointed at another folder.
  if (UniqueFile link{::CreateFileW(ApiPath(base).c_str(), kHoldAccess, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)}) {
    const auto link_attributes = AttributesThrough(link.get());
    if (link_attributes && (*link_attributes & FILE_ATTRIBUTE_REPARSE_POINT)) links_.push_back(std::move(link));
  }
  Held held{base.native(), std::move(*final_path), std::move(folder), {}};
  if (!Pin(held)) return FolderCheck::kRefused;
  held_.push_back(std::move(held));
  return FolderCheck::kHeld;
}

std::optional<std::filesystem::path> FolderGuard::Resolved(const std::filesystem::path& base) const {
  if (const Held* h = Find(base.native())) return std::filesystem::path(h->final);
  return std::nullopt;
}

FolderCheck FolderGuard::HoldBelow(const std::filesystem::path& base,
                                   const std::vector<std::wstring>& folders) {
  const Held* parent = Find(base.native());
  if (!parent) return FolderCheck::kMissing;
  std::wstring key = parent->key;
  std::wstring parent_final = parent->final;
  for (const std::wstring& name : folders) {
    const auto path = JoinWithin(std::filesystem::path(parent_final), name);
    if (!path) return FolderCheck::kRefused;
    key = KeyBelow(std::move(key), name);
    if (const Held* held = Find(key)) {
      parent_final = held->final;
      continue;
    }
    // Opened as itself, never followed: a link shows as what it is.
    UniqueFile folder = OpenFolder(*path, /*follow_link=*/false);
    if (!folder) return IsMissing(::GetLastError()) ? FolderCheck::kMissing : FolderCheck::kRefused;
    const auto attributes = AttributesThrough(folder.get());
    if (!attributes) return FolderCheck::kRefused;
    if (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FolderCheck::kRefused;
    if (!(*attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderCheck::kMissing;
    // Where the system resolves it must be the name below its parent: this also finds links
    // that do not show as reparse points (Wine shows a Unix symbolic link as a plain folder).
    const auto final_path = FinalPathOf(folder.get());
    if (!final_path || !SamePath(*final_path, path->native())) return FolderCheck::kRefused;
    parent_final = *final_path;
    Held held{key, *final_path, std::move(folder), {}};
    if (!Pin(held)) return FolderCheck::kRefused;
    held_.push_back(std::move(held));
  }
  return FolderCheck::kHeld;
}

std::optional<std::wstring> FolderGuard::FinalOf(const std::filesystem::path& base,
                                                 const std::vector<std::wstring>& folders) const {
  const Held* held = Find(base.native());
  for (auto name = folders.begin(); held && name != folders.end(); ++name) {
    held = Find(KeyBelow(held->key, *name));
  }
  if (!held) return std::nullopt;
  return held->final;
}

void FolderGuard::Release() {
  held_.clear();  // each pin goes with its handle
  links_.clear();
}

FolderGuard& RunFolders() {
  static FolderGuard folders;
  return folders;
}

}  // namespace upd::platform
