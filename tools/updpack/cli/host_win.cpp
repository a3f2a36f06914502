// The host layer on Windows: wide API throughout; entry names go through code page 932
// explicitly, whatever the system's ANSI code page is.
#include <windows.h>

#include <algorithm>
#include <ostream>
#include <streambuf>
#include <utility>

#include "host.h"
#include "platform/codepage.h"

namespace updpack::host {
namespace {

std::optional<std::wstring> WidenUtf8(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      out.data(), n);
  return out;
}

// `strict`: fail on unpaired surrogates instead of writing U+FFFD.
std::optional<std::string> NarrowUtf8(std::wstring_view text, bool strict) {
  if (text.empty()) return std::string();
  const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
  const int n = WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text) {
    std::wstring_view w(text, n);
    while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L'.')) {
      w.remove_suffix(1);
    }
    out = NarrowUtf8(w, false).value_or("");
  }
  if (text) LocalFree(text);
  return out.empty() ? "system error " + std::to_string(code) : out;
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  bool Close() {
    const bool ok = CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

FILETIME ToFileTime(std::uint64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

// UTF-8 in, line by line; a console gets UTF-16 (WriteConsoleW), a file or pipe the bytes.
class StdBuf : public std::streambuf {
 public:
  explicit StdBuf(DWORD which) : which_(which) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    line_ += static_cast<char>(c);
    if (c == '\n' && sync() != 0) return traits_type::eof();
    return c;
  }
  int sync() override {
    if (line_.empty()) return 0;
    const HANDLE h = GetStdHandle(which_);
    DWORD mode = 0;
    bool ok = false;
    if (GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode)) {
      const std::wstring w = WidenUtf8(line_).value_or(L"?");
      DWORD done = 0;
      ok = WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &done, nullptr) &&
           done == w.size();
    } else {
      DWORD done = 0;
      ok = WriteFile(h, line_.data(), static_cast<DWORD>(line_.size()), &done, nullptr) &&
           done == line_.size();
    }
    line_.clear();
    return ok ? 0 : -1;  // the stream turns a failure into its error state
  }

 private:
  DWORD which_;
  std::string line_;
};

}  // namespace

std::optional<std::string> Cp932ToUtf8(std::string_view text) {
  auto wide = upd::platform::WidenCp932(text);
  if (!wide) return std::nullopt;
  return NarrowUtf8(*wide, true);
}

std::optional<std::string> Utf8ToCp932(std::string_view text) {
  auto wide = WidenUtf8(text);
  if (!wide) return std::nullopt;
  return upd::platform::NarrowCp932(*wide);
}

fs::path PathFromArg(std::string_view utf8) {
  // main made the arguments from UTF-16, so they always convert back.
  return fs::path(WidenUtf8(utf8).value_or(std::wstring()));
}

std::string ShowPath(const fs::path& path) {
  return NarrowUtf8(path.native(), false).value_or("?");
}

std::optional<std::string> EntryNameOf(const fs::path& file_name) {
  return upd::platform::NarrowCp932(file_name.native());
}

std::optional<fs::path> FileNameOf(std::string_view entry_name) {
  auto wide = upd::platform::WidenCp932(entry_name);
  if (!wide) return std::nullopt;
  return fs::path(*wide);
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!f.valid() || !GetFileSizeEx(f.get(), &size)) {
    error = LastErrorText();
    return false;
  }
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(size.QuadPart));
  std::uint8_t buf[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.get(), buf, sizeof buf, &n, nullptr)) {
      error = LastErrorText();
      return false;
    }
    if (n == 0) return true;
    bytes.insert(bytes.end(), buf, buf + n);
  }
}

bool LastWriteTime(const fs::path& path, std::uint64_t& file_time, std::string& error) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    error = LastErrorText();
    return false;
  }
  file_time = std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
              data.ftLastWriteTime.dwLowDateTime;
  return true;
}

MappedFile::~MappedFile() { Close(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    Close();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void MappedFile::Close() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

namespace {

// A read-only view of the first `size` bytes of the open file `file`; null on failure. The
// view keeps the mapping alive once its handle is closed.
const std::uint8_t* MapReadOnly(HANDLE file, std::uint64_t size) {
  Handle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                    static_cast<DWORD>(size), nullptr));
  if (!mapping.valid()) return nullptr;
  return static_cast<const std::uint8_t*>(
      MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size)));
}

}  // namespace

bool MappedFile::Open(const fs::path& path, std::string& error) {
  Close();
  Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size{};
  if (!f.valid() || !GetFileSizeEx(f.get(), &size)) {
    error = LastErrorText();
    return false;
  }
  if (size.QuadPart == 0) return true;
  const std::uint8_t* p = MapReadOnly(f.get(), static_cast<std::uint64_t>(size.QuadPart));
  if (p == nullptr) {
    error = LastErrorText();
    return false;
  }
  data_ = p;
  size_ = static_cast<std::size_t>(size.QuadPart);
  return true;
}

void MappedFile::Release(std::span<const std::uint8_t> range) const {
  // Only a range of this mapping: a caller may hand it what belongs to another.
  if (range.empty() || range.data() < data_ || range.data() + range.size() > data_ + size_) return;
  // Unlocking pages that were never locked takes them out of the working set; they stay in
  // the file cache.
  VirtualUnlock(const_cast<std::uint8_t*>(range.data()), range.size());
}

namespace {

bool DiskFull(DWORD e) { return e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL; }

bool MoveTo(HANDLE file, std::uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0;
}

bool WriteAll(HANDLE file, std::span<const std::uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &n, nullptr)) return false;
    done += n;
  }
  return true;
}

}  // namespace

FileWriter::~FileWriter() { Discard(); }

void FileWriter::Discard() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  if (!temp_.empty()) DeleteFileW(temp_.c_str());
  temp_.clear();
}

bool FileWriter::Fail(bool folder_fault) {
  const DWORD e = GetLastError();
  failed_ = true;
  folder_fault_ = folder_fault;
  error_ = LastErrorText();
  Discard();
  SetLastError(e);
  return false;
}

bool FileWriter::Create(const fs::path& path) {
  Discard();
  path_ = path;
  size_ = 0;
  failed_ = folder_fault_ = false;
  error_.clear();
  // A name of its own beside the target, created exclusively.
  fs::path temp;
  HANDLE raw = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 100 && raw == INVALID_HANDLE_VALUE; ++attempt) {
    temp = path;
    temp += L".updpack-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
    raw = CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (raw == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    // Errors that any file in the folder would meet.
    return Fail(DiskFull(e) || e == ERROR_ACCESS_DENIED || e == ERROR_WRITE_PROTECT ||
                e == ERROR_PATH_NOT_FOUND || e == ERROR_NOT_READY);
  }
  handle_ = reinterpret_cast<std::intptr_t>(raw);
  temp_ = temp;
  return true;
}

bool FileWriter::Write(std::span<const std::uint8_t> bytes) {
  if (failed_ || handle_ == -1) return false;
  if (!WriteAll(reinterpret_cast<HANDLE>(handle_), bytes)) return Fail(DiskFull(GetLastError()));
  size_ += bytes.size();
  return true;
}

bool FileWriter::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (failed_ || handle_ == -1) return false;
  const HANDLE f = reinterpret_cast<HANDLE>(handle_);
  if (!MoveTo(f, offset) || !WriteAll(f, bytes) || !MoveTo(f, size_)) {
    return Fail(DiskFull(GetLastError()));
  }
  return true;
}

bool FileWriter::CutBack(std::uint64_t size) {
  if (failed_ || handle_ == -1) return false;
  const HANDLE f = reinterpret_cast<HANDLE>(handle_);
  if (!MoveTo(f, size) || !SetEndOfFile(f)) return Fail(DiskFull(GetLastError()));
  size_ = size;
  return true;
}

bool FileWriter::MapWritten(MappedFile& map) {
  map.Close();
  if (failed_ || handle_ == -1) return false;
  if (size_ == 0) return true;
  const std::uint8_t* p = MapReadOnly(reinterpret_cast<HANDLE>(handle_), size_);
  if (p == nullptr) return Fail(false);
  map.data_ = p;
  map.size_ = static_cast<std::size_t>(size_);
  return true;
}

bool FileWriter::Commit(std::optional<std::uint64_t> file_time) {
  if (failed_ || handle_ == -1) return false;
  const HANDLE f = reinterpret_cast<HANDLE>(handle_);
  const FILETIME ft = ToFileTime(file_time.value_or(0));
  if (file_time && !SetFileTime(f, &ft, &ft, &ft)) return Fail(DiskFull(GetLastError()));
  handle_ = -1;
  if (!CloseHandle(f)) return Fail(DiskFull(GetLastError()));
  // A read-only file in the way would refuse the move.
  const DWORD attrs = GetFileAttributesW(path_.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(path_.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!MoveFileExW(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail(DiskFull(GetLastError()));
  }
  temp_.clear();
  if (file_time) {
    // A replaced name can inherit the old file's creation time (file-name tunnelling).
    Handle done(CreateFileW(path_.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (done.valid()) SetFileTime(done.get(), &ft, &ft, &ft);
  }
  return true;
}

bool StderrIsTerminal() {
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

std::ostream& Out() {
  static StdBuf buf(STD_OUTPUT_HANDLE);
  static std::ostream out(&buf);
  return out;
}

std::ostream& Err() {
  static StdBuf buf(STD_ERROR_HANDLE);
  static std::ostream err(&buf);
  return err;
}

}  // namespace updpack::host
