// What updpack needs of the system it runs on: text conversion between the user's UTF-8 and the
// package's code page 932, file names, files and the terminal. One implementation for POSIX
// systems (iconv), one for Windows (wide API, code page 932 converted explicitly).
//
// Command-line arguments and everything printed are UTF-8 (on Windows, main converts the wide
// arguments to UTF-8 and a console gets its text as UTF-16).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace updpack::host {

namespace fs = std::filesystem;

// Conversions that fail rather than replace what the other side cannot spell.
std::optional<std::string> Cp932ToUtf8(std::string_view text);
std::optional<std::string> Utf8ToCp932(std::string_view text);

// A path named by a command-line argument.
fs::path PathFromArg(std::string_view utf8);
// A path for messages, in UTF-8 (bytes the system gave that are not UTF-8 are shown as they are).
std::string ShowPath(const fs::path& path);

// The entry name for a file name found in a folder (the last component), or nothing when code
// page 932 cannot spell it.
std::optional<std::string> EntryNameOf(const fs::path& file_name);
// The file name that an entry name becomes, or nothing when it cannot be converted.
std::optional<fs::path> FileNameOf(std::string_view entry_name);

struct FolderItem {
  fs::path name;  // the last component only
  enum class Kind { kFile, kFolder, kOther } kind = Kind::kOther;
};

// The items of a folder, "." and ".." left out; symbolic links count as what they point to.
bool ListFolder(const fs::path& folder, std::vector<FolderItem>& items, std::string& error);

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& error);
// The last-write time as a FILETIME (100 ns units since 1601-01-01, UTC).
bool LastWriteTime(const fs::path& path, std::uint64_t& file_time, std::string& error);
// Writes the bytes to a new file beside `path`, gives it the time (all of its time stamps),
// then moves it over `path`: on failure `path` is as it was. `folder_fault`, when given, tells
// a failure of the folder (no file can be made in it, the disk is full), after which no other
// file there will fare better, from one of this file alone.
bool WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes,
                    std::optional<std::uint64_t> file_time, std::string& error,
                    bool* folder_fault = nullptr);
bool MakeFolders(const fs::path& path, std::string& error);

// A file's bytes through a read-only mapping: pages are read as they are touched and belong to
// the system's file cache, so a file of any size costs the process only the pages it holds.
// Release lets go of the pages of a range once it is done with, so that a pass over a large
// file keeps little of it resident.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;

  // Maps the whole file (an empty file gives no bytes); false with `error` set on failure.
  bool Open(const fs::path& path, std::string& error);
  std::span<const std::uint8_t> Bytes() const { return {data_, size_}; }
  // `range` lies in Bytes(); pages only partly in it stay.
  void Release(std::span<const std::uint8_t> range) const;

 private:
  friend class FileWriter;
  void Close();
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A new file written front to back beside `path`, which it replaces only on Commit: until then
// `path` is as it was, and a writer dropped without Commit removes what it wrote. Errors are
// kept: after the first failure every call returns false and Error() tells why.
class FileWriter {
 public:
  FileWriter() = default;
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  bool Create(const fs::path& path);
  bool Write(std::span<const std::uint8_t> bytes);  // appends
  // Over bytes already written (the end does not move).
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Drops what was written from `size` on; writing goes on from there.
  bool CutBack(std::uint64_t size);
  std::uint64_t Size() const { return size_; }
  // What is written so far, mapped read-only (for a check before Commit); `map` must be gone
  // before Commit.
  bool MapWritten(MappedFile& map);
  // Gives the file the time (all of its time stamps), when one is given, and moves it over
  // `path`.
  bool Commit(std::optional<std::uint64_t> file_time);

  const std::string& Error() const { return error_; }
  // Whether the failure is one of the folder (no file can be made in it, the disk is full),
  // after which no other file there will fare better, rather than of this file alone.
  bool FolderFault() const { return folder_fault_; }

 private:
  bool Fail(bool folder_fault);
  void Discard();
  fs::path path_;
  fs::path temp_;
  std::intptr_t handle_ = -1;  // a file descriptor, or a HANDLE
  std::uint64_t size_ = 0;
  bool failed_ = false;
  bool folder_fault_ = false;
  std::string error_;
};

bool StderrIsTerminal();

// The standard output and error streams; they take UTF-8.
std::ostream& Out();
std::ostream& Err();

}  // namespace updpack::host
