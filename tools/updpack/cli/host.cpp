// The parts of the host layer that std::filesystem covers on every system.
#include "host.h"

#include <system_error>

namespace updpack::host {

bool ListFolder(const fs::path& folder, std::vector<FolderItem>& items, std::string& error) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    FolderItem item;
    item.name = it->path().filename();
    std::error_code sec;
    const fs::file_status st = fs::status(it->path(), sec);  // follows links
    if (fs::is_regular_file(st)) {
      item.kind = FolderItem::Kind::kFile;
    } else if (fs::is_directory(st)) {
      item.kind = FolderItem::Kind::kFolder;
    }
    items.push_back(std::move(item));
  }
  if (ec) {
    error = ec.message();
    return false;
  }
  return true;
}

bool WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes,
                    std::optional<std::uint64_t> file_time, std::string& error,
                    bool* folder_fault) {
  FileWriter file;
  const bool ok = file.Create(path) && file.Write(bytes) && file.Commit(file_time);
  if (folder_fault) *folder_fault = !ok && file.FolderFault();
  if (!ok) error = file.Error();
  return ok;
}

bool MakeFolders(const fs::path& path, std::string& error) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  return true;
}

}  // namespace updpack::host
