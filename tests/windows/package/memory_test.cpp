// The updater's package memory when the system refuses it. Wine sets no limit on a process's
// memory, so this executable replaces the allocation the package code uses for memory sized by
// package data (operator new with std::nothrow) with one that refuses large requests on demand.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "package/container.h"
#include "package/integrity.h"
#include "package_builder.h"
#include "package_writer.h"

namespace {
std::atomic<std::size_t> g_refuse_from{std::numeric_limits<std::size_t>::max()};
}  // namespace

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (n >= g_refuse_from.load()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

namespace {

using Bytes = std::vector<std::uint8_t>;

// Refuses requests of `bytes` or more while it lives.
class RefuseFrom {
 public:
  explicit RefuseFrom(std::size_t bytes) { g_refuse_from = bytes; }
  ~RefuseFrom() { g_refuse_from = std::numeric_limits<std::size_t>::max(); }
};

// The header of the reproducer: a compressed directory of 13,000,000 records (3.6 GB)
// from 40 MB of stream.
Bytes HugeDirectory() {
  Bytes img(40'000'016, 0);
  const upd::PackageHeader h{upd::kPackageMagic, upd::kDirectoryCompressed, 16, 13'000'000};
  upd::EncodeHeader(h, std::span<std::uint8_t, 16>(img.data(), 16));
  return img;
}

TEST(PackageMemory, DirectoryTheSystemRefusesIsNull) {
  const Bytes img = HugeDirectory();
  {
    RefuseFrom refuse(1u << 30);
    EXPECT_EQ(upd::LoadPackageDirectory(img), nullptr);
  }
  // A sound package still loads under the same refusal: its memory is small.
  const Bytes good = updtest::Image({updtest::Stored("A.TXT", 10)}, true);
  RefuseFrom refuse(1u << 30);
  EXPECT_NE(upd::LoadPackageDirectory(good), nullptr);
}

// The start-up check compares stored bytes in place: an entry larger than the memory to be had
// does not stop it (only the write of that entry needs its unpacked bytes).
TEST(PackageMemory, IntegrityCheckUnpacksNoEntry) {
  std::vector<updpack::PackageFile> files = {{"BIG.TXT", Bytes(1 << 20, 'x'), 1},
                                             {"SMALL.TXT", Bytes(10, 'y'), 2}};
  const Bytes img = updpack::BuildPackage(std::move(files), {}).image;
  const auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  constexpr std::size_t kBig = 1;  // after the integrity record
  ASSERT_EQ(dir->Entries()[kBig].Name(), "BIG.TXT");
  ASSERT_TRUE(dir->Entries()[kBig].IsCompressed());
  RefuseFrom refuse(1u << 19);
  EXPECT_EQ(upd::CheckIntegrity(*dir, img).status, upd::IntegrityResult::Status::kSound);
  Bytes damaged = img;
  damaged[dir->DataOffset(kBig) + 5] ^= 0x20;
  const auto damaged_dir = upd::LoadPackageDirectory(damaged);
  ASSERT_TRUE(damaged_dir);
  const upd::IntegrityResult r = upd::CheckIntegrity(*damaged_dir, damaged);
  EXPECT_EQ(r.status, upd::IntegrityResult::Status::kContent);
  EXPECT_EQ(r.entry, kBig);
}

}  // namespace
