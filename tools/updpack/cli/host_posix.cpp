// The host layer on POSIX systems: file names are bytes, taken as UTF-8; iconv converts.
#include <fcntl.h>
#include <iconv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <algorithm>
#include <utility>

#include "host.h"

namespace updpack::host {
namespace {

constexpr std::int64_t kUnixEpochIn1601 = 11644473600;  // seconds from 1601-01-01 to 1970-01-01
constexpr std::int64_t kTicksPerSecond = 10000000;

std::optional<std::string> Convert(const char* to, const char* from, std::string_view text) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  char* op = out.data();
  std::size_t out_left = out.size();
  bool ok = true;
  while (in_left > 0) {
    const std::size_t r = iconv(cd, &in, &in_left, &op, &out_left);
    if (r != static_cast<std::size_t>(-1)) {
      ok = r == 0;  // a count of characters converted only approximately
      if (!ok) break;
      continue;
    }
    if (errno != E2BIG) {  // EILSEQ or EINVAL: not text of the source, or not spelt in the target
      ok = false;
      break;
    }
    const std::size_t used = static_cast<std::size_t>(op - out.data());
    out.resize(out.size() * 2);
    op = out.data() + used;
    out_left = out.size() - used;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(static_cast<std::size_t>(op - out.data()));
  return out;
}

std::string ErrnoText() { return std::strerror(errno); }

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<std::string> Cp932ToUtf8(std::string_view text) { return Convert("UTF-8", "CP932", text); }
std::optional<std::string> Utf8ToCp932(std::string_view text) { return Convert("CP932", "UTF-8", text); }

fs::path PathFromArg(std::string_view utf8) { return fs::path(std::string(utf8)); }
std::string ShowPath(const fs::path& path) { return path.string(); }

std::optional<std::string> EntryNameOf(const fs::path& file_name) {
  return Utf8ToCp932(file_name.string());
}

std::optional<fs::path> FileNameOf(std::string_view entry_name) {
  auto utf8 = Cp932ToUtf8(entry_name);
  if (!utf8) return std::nullopt;
  return fs::path(*utf8);
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat st {};
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
    error = ErrnoText();
    return false;
  }
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(f.fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrnoText();
      return false;
    }
    if (n == 0) return true;
    bytes.insert(bytes.end(), buf, buf + n);
  }
}

bool LastWriteTime(const fs::path& path, std::uint64_t& file_time, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = ErrnoText();
    return false;
  }
  const std::int64_t seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec) + kUnixEpochIn1601;
  file_time = seconds < 0 ? 0
                          : static_cast<std::uint64_t>(seconds) * kTicksPerSecond +
                                static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
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
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

namespace {

// Maps `size` bytes of the open file `fd` read-only; null on failure (errno set).
const std::uint8_t* MapReadOnly(int fd, std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  ::madvise(p, size, MADV_SEQUENTIAL);
  return static_cast<const std::uint8_t*>(p);
}

}  // namespace

bool MappedFile::Open(const fs::path& path, std::string& error) {
  Close();
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat st {};
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
    error = ErrnoText();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = std::strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return false;
  }
  if (st.st_size == 0) return true;
  if (static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
    error = std::strerror(EFBIG);
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::uint8_t* p = MapReadOnly(f.fd, size);
  if (p == nullptr) {
    error = ErrnoText();
    return false;
  }
  data_ = p;
  size_ = size;
  return true;
}

void MappedFile::Release(std::span<const std::uint8_t> range) const {
  // Only a range of this mapping: a caller may hand it what belongs to another.
  if (range.empty() || range.data() < data_ || range.data() + range.size() > data_ + size_) return;
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(range.data()) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(range.data()) + range.size()) & ~(page - 1);
  // The pages stay in the file cache; only this process's hold on them goes.
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

namespace {

// Errors that any file in the folder would meet.
bool OfFolder(int e) {
  return e == EACCES || e == EPERM || e == EROFS || e == ENOSPC || e == EDQUOT || e == ENOENT ||
         e == ENOTDIR || e == EIO;
}
bool DiskFull(int e) { return e == ENOSPC || e == EDQUOT || e == EIO; }

}  // namespace

FileWriter::~FileWriter() { Discard(); }

void FileWriter::Discard() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

bool FileWriter::Fail(bool folder_fault) {
  const int e = errno;
  failed_ = true;
  folder_fault_ = folder_fault;
  error_ = std::strerror(e);
  Discard();
  return false;
}

bool FileWriter::Create(const fs::path& path) {
  Discard();
  path_ = path;
  size_ = 0;
  failed_ = folder_fault_ = false;
  error_.clear();
  std::string temp = path.string() + ".updpack-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Fail(OfFolder(errno));
  handle_ = fd;
  temp_ = temp;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) return Fail(DiskFull(errno));
  return true;
}

bool FileWriter::Write(std::span<const std::uint8_t> bytes) {
  if (failed_ || handle_ < 0) return false;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(DiskFull(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  size_ += bytes.size();
  return true;
}

bool FileWriter::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (failed_ || handle_ < 0) return false;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::pwrite(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(DiskFull(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool FileWriter::CutBack(std::uint64_t size) {
  if (failed_ || handle_ < 0) return false;
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0 ||
      ::lseek(static_cast<int>(handle_), static_cast<off_t>(size), SEEK_SET) < 0) {
    return Fail(DiskFull(errno));
  }
  size_ = size;
  return true;
}

bool FileWriter::MapWritten(MappedFile& map) {
  map.Close();
  if (failed_ || handle_ < 0) return false;
  if (size_ == 0) return true;
  const std::uint8_t* p = MapReadOnly(static_cast<int>(handle_), static_cast<std::size_t>(size_));
  if (p == nullptr) return Fail(false);
  map.data_ = p;
  map.size_ = static_cast<std::size_t>(size_);
  return true;
}

bool FileWriter::Commit(std::optional<std::uint64_t> file_time) {
  if (failed_ || handle_ < 0) return false;
  const int fd = static_cast<int>(handle_);
  if (file_time) {
    const std::int64_t ticks = static_cast<std::int64_t>(
        std::min<std::uint64_t>(*file_time, std::numeric_limits<std::int64_t>::max()));
    timespec t[2];
    t[0].tv_sec = static_cast<time_t>(ticks / kTicksPerSecond - kUnixEpochIn1601);
    t[0].tv_nsec = static_cast<long>(ticks % kTicksPerSecond * 100);
    t[1] = t[0];
    if (::futimens(fd, t) != 0) return Fail(DiskFull(errno));
  }
  handle_ = -1;
  if (::close(fd) != 0) return Fail(DiskFull(errno));
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return Fail(DiskFull(errno));
  temp_.clear();
  return true;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::ostream& Out() { return std::cout; }
std::ostream& Err() { return std::cerr; }

}  // namespace updpack::host
