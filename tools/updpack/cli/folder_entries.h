// The entries that `build` would make of a folder's files, for the commands that work from the
// folder before there is a package (init, plan): each file's entry name in code page 932 by
// build's rule, its size and last-write time, in package order (byte order of the names).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace updpack {

// How `build` names a file found in a folder (the last component): spelt as a Japanese Windows
// shows it (name_spelling.h), converted to code page 932 exactly, read back as given, and a name
// Windows takes as one file name (entry_name.h). Either `name` or `refusal` is set; `notes` say
// what changed on the way.
struct FileEntryName {
  std::optional<std::string> name;  // code page 932
  std::vector<std::string> notes;
  std::string refusal;
};
FileEntryName EntryNameForFile(const std::filesystem::path& file_name);

struct FolderEntry {
  std::filesystem::path file;  // the file in the folder
  std::string name;            // its entry name, code page 932
  std::uint64_t size = 0;
  std::uint64_t time = 0;      // last-write time as a FILETIME (UTC)
};

// What `build` would refuse, or only note, of one item of the folder.
struct FolderRemark {
  std::filesystem::path file;
  std::string text;
  bool refused = true;  // build refuses the folder for it; else a note
};

struct FolderEntries {
  std::vector<FolderEntry> entries;  // in package order
  std::vector<FolderRemark> remarks;  // in the order of the items' names
  std::string error;                  // set when the folder itself cannot be read
};

// The folder's entries as build would make them; items that build refuses (a subfolder,
// something that is no file, a name it cannot store, a file too large) are left out, each with
// its remark. Two names the updater cannot tell apart are both kept here (build refuses them).
FolderEntries ReadFolderEntries(const std::filesystem::path& folder);

}  // namespace updpack
