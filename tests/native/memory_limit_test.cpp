// A damaged header that asks for more memory than the system gives: the directory loader
// returns null and updpack names the fault, instead of ending the process. Each case runs in a
// child process under an address-space limit of 2 GiB above what the process already maps (a
// sanitizer build maps terabytes of shadow memory before main).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "package/container.h"
#include "package_reader.h"

// A failed allocation returns null under the sanitizer too, as it does under a real limit.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kLimit = 2ull << 30;

// The reproducer: 40 MB, directory compressed, EntryCount 13,000,000 (3.64 GB of records,
// just within what 40 MB of stream could hold), a stream that breaks at its first token.
Bytes Reproducer() {
  Bytes img(40'000'016, 0);
  const upd::PackageHeader h{upd::kPackageMagic, upd::kDirectoryCompressed, 16, 13'000'000};
  upd::EncodeHeader(h, std::span<std::uint8_t, 16>(img.data(), 16));
  return img;
}

std::uint64_t MappedBytes() {
  std::ifstream in("/proc/self/statm");
  std::uint64_t pages = 0;
  in >> pages;
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Runs `body` in a child under the limit; its result is the child's exit code (-1: killed).
int UnderLimit(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit lim{MappedBytes() + kLimit, MappedBytes() + kLimit};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MemoryLimit, TheLimitHolds) {
  // The bench itself: 3 GiB cannot be had in the child, 64 MiB can.
  EXPECT_EQ(UnderLimit([] { return ::operator new(3ull << 30, std::nothrow) ? 1 : 0; }), 0);
  EXPECT_EQ(UnderLimit([] { return ::operator new(64u << 20, std::nothrow) ? 0 : 1; }), 0);
}

TEST(MemoryLimit, LoaderRefusesTheDirectory) {
  const Bytes img = Reproducer();
  EXPECT_EQ(UnderLimit([&] { return upd::LoadPackageDirectory(img) ? 1 : 0; }), 0);
  // Without the limit the same image is refused for its stream, having written next to nothing.
  EXPECT_EQ(upd::LoadPackageDirectory(img), nullptr);
}

TEST(MemoryLimit, UpdpackNamesTheFault) {
  const Bytes img = Reproducer();
  const std::string path = ::testing::TempDir() + "updpack_memory_limit.fa3";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
  const std::string err_path = path + ".err";
  for (const char* command : {"verify", "list", "extract"}) {
    SCOPED_TRACE(command);
    const int code = UnderLimit([&] {
      std::ostringstream out, err;
      std::vector<std::string> args = {path};
      int c = 0;
      if (std::string(command) == "verify") c = updpack::RunVerify(args, out, err);
      if (std::string(command) == "list") c = updpack::RunList(args, out, err);
      if (std::string(command) == "extract") {
        c = updpack::RunExtract(std::vector<std::string>{path, "-C", ::testing::TempDir()}, out,
                                err);
      }
      std::ofstream(err_path) << err.str();
      return c;
    });
    EXPECT_EQ(code, 1);
    std::ifstream in(err_path);
    const std::string err((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(err.find("not enough memory for the directory of 13000000 records"),
              std::string::npos)
        << err;
  }
  std::filesystem::remove(path);
  std::filesystem::remove(err_path);
}

}  // namespace
