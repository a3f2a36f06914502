// The host layer on POSIX systems: file names are bytes, taken as UTF-8; iconv converts.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <algorithm>

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

bool WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes,
                    std::optional<std::uint64_t> file_time, std::string& error,
                    bool* folder_fault) {
  if (folder_fault) *folder_fault = false;
  // Errors that any file in the folder would meet.
  auto of_folder = [](int e) {
    return e == EACCES || e == EPERM || e == EROFS || e == ENOSPC || e == EDQUOT ||
           e == ENOENT || e == ENOTDIR || e == EIO;
  };
  std::string temp = path.string() + ".updpack-XXXXXX";
  Fd f{::mkstemp(temp.data())};
  if (f.fd < 0) {
    if (folder_fault) *folder_fault = of_folder(errno);
    error = ErrnoText();
    return false;
  }
  auto fail = [&] {
    const int e = errno;
    if (folder_fault) *folder_fault = e == ENOSPC || e == EDQUOT || e == EIO;
    error = std::strerror(e);
    ::unlink(temp.c_str());
    return false;
  };
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(f.fd, 0666 & ~mask) != 0) return fail();
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(f.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    done += static_cast<std::size_t>(n);
  }
  if (file_time) {
    const std::int64_t ticks = static_cast<std::int64_t>(
        std::min<std::uint64_t>(*file_time, std::numeric_limits<std::int64_t>::max()));
    timespec t[2];
    t[0].tv_sec = static_cast<time_t>(ticks / kTicksPerSecond - kUnixEpochIn1601);
    t[0].tv_nsec = static_cast<long>(ticks % kTicksPerSecond * 100);
    t[1] = t[0];
    if (::futimens(f.fd, t) != 0) return fail();
  }
  if (::close(f.fd) != 0) {
    f.fd = -1;
    return fail();
  }
  f.fd = -1;
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail();
  return true;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::ostream& Out() { return std::cout; }
std::ostream& Err() { return std::cerr; }

}  // namespace updpack::host
