#include "folder_entries.h"

#include <algorithm>
#include <system_error>

#include "entry_name.h"
#include "host.h"
#include "name_spelling.h"
#include "package_writer.h"

namespace updpack {

namespace fs = std::filesystem;

FileEntryName EntryNameForFile(const fs::path& file_name) {
  FileEntryName result;
  NameSpelling spelled = SpellForCodePage932(host::ShowPath(file_name));
  result.notes = std::move(spelled.notes);
  if (spelled.refusal) {
    result.refusal = *spelled.refusal;
    return result;
  }
  auto name = host::Utf8ToCp932(spelled.utf8);
  if (!name) {
    result.refusal = "code page 932 cannot spell this name";
    return result;
  }
  if (const auto back = host::Cp932ToUtf8(*name); !back || *back != spelled.utf8) {
    result.refusal = "code page 932 would store it as " + back.value_or("?") + ", a different name";
    return result;
  }
  if (auto fault = EntryNameFault(*name)) {
    result.refusal = *fault;
    return result;
  }
  result.name = std::move(*name);
  return result;
}

FolderEntries ReadFolderEntries(const fs::path& folder) {
  FolderEntries out;
  std::vector<host::FolderItem> items;
  if (!host::ListFolder(folder, items, out.error)) {
    out.error = "cannot read the folder " + host::ShowPath(folder) + ": " + out.error;
    return out;
  }
  std::sort(items.begin(), items.end(),
            [](const host::FolderItem& x, const host::FolderItem& y) { return x.name < y.name; });
  for (const host::FolderItem& item : items) {
    const fs::path path = folder / item.name;
    if (item.kind == host::FolderItem::Kind::kFolder) {
      out.remarks.push_back({path, "is a folder; a package holds the files of one folder, without subfolders"});
      continue;
    }
    if (item.kind != host::FolderItem::Kind::kFile) {
      out.remarks.push_back({path, "is not a regular file"});
      continue;
    }
    FileEntryName named = EntryNameForFile(item.name);
    for (std::string& note : named.notes) out.remarks.push_back({path, std::move(note), false});
    if (!named.name) {
      out.remarks.push_back({path, named.refusal});
      continue;
    }
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kMaxFileSize) {
      out.remarks.push_back({path, "is " + std::to_string(size) + " bytes; a package holds files of less than 4 GiB"});
      continue;
    }
    FolderEntry e{path, std::move(*named.name), ec ? 0 : static_cast<std::uint64_t>(size), 0};
    std::string error;
    if (!host::LastWriteTime(path, e.time, error)) {
      out.remarks.push_back({path, "cannot be read: " + error});
      continue;
    }
    out.entries.push_back(std::move(e));
  }
  std::sort(out.entries.begin(), out.entries.end(),
            [](const FolderEntry& x, const FolderEntry& y) { return x.name < y.name; });
  return out;
}

}  // namespace updpack
