// Extraction onto a small real disk: a tmpfs of a few hundred KB that tests/wine/small-disk.sh
// mounts and maps to a drive letter around this program (UPD_SMALL_DISK names the drive,
// UPD_SMALL_DISK_BYTES its size; UPD_SMALL_DISK_SKIP says why there is none).
#include <gtest/gtest.h>

#include <cstdlib>

#include "package/entry_access.h"
#include "package_test_support.h"
#include "space_hooks.h"

namespace {

using pkgtest::Boxes;
using pkgtest::Bytes;
using pkgtest::kStamp;
using pkgtest::Listing;
using pkgtest::ReadFileBytes;
using pkgtest::RunPackage;
using updtest::History;
using updtest::StoredBytes;

using Names = std::vector<std::wstring>;

class SmallDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* drive = std::getenv("UPD_SMALL_DISK");
    if (!drive) {
      const char* why = std::getenv("UPD_SMALL_DISK_SKIP");
      GTEST_SKIP() << "no small disk: "
                   << (why ? why : "run through tests/wine/small-disk.sh (ctest does)");
    }
    drive_ = drive;
    root_ = std::wstring(drive_.begin(), drive_.end()) + L"\\";
    const char* bytes = std::getenv("UPD_SMALL_DISK_BYTES");
    size_ = bytes ? std::strtoull(bytes, nullptr, 10) : 0;
    EXPECT_EQ(Listing(root_), Names{}) << "the small disk is not empty";
  }
  void TearDown() override {
    upd::ResetRun();
    if (drive_.empty()) return;
    for (const auto& name : Listing(root_)) DeleteFileW((root_ / name).c_str());
  }

  std::uint64_t Free() const {
    ULARGE_INTEGER available{}, total{}, total_free{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(root_.c_str(), &available, &total, &total_free));
    return available.QuadPart;
  }

  std::string drive_;  // "X:"
  std::filesystem::path root_;
  std::uint64_t size_ = 0;
};

// "ディスク容量が足りません。%s ドライブに %i バイトの空き容量が必要です"
std::string Shortage(const std::string& drive, long long bytes) {
  return "\x83\x66\x83\x42\x83\x58\x83\x4e\x97\x65\x97\xca\x82\xaa\x91\xab\x82\xe8\x82\xdc"
         "\x82\xb9\x82\xf1\x81\x42" +
         drive + "\x20\x83\x68\x83\x89\x83\x43\x83\x75\x82\xc9\x20" + std::to_string(bytes) +
         "\x20\x83\x6f\x83\x43\x83\x67\x82\xcc\x8b\xf3\x82\xab\x97\x65\x97\xca\x82\xaa\x95\x4b"
         "\x97\x76\x82\xc5\x82\xb7";
}

TEST_F(SmallDisk, EntryOfExactlyTheFreeBytesFitsOneByteMoreDoesNot) {
  const std::uint64_t free = Free();
  // The question reaches the small disk, not the drive the test runs from.
  ASSERT_EQ(upd::platform::QueryFreeSpace(root_ / L"FULL.DAT").value_or(upd::platform::DiskSpace{}).total, size_);
  ASSERT_EQ(free, size_);
  const auto n = static_cast<std::size_t>(free);
  RunPackage pkg({StoredBytes("FULL.DAT", History(n, 5), kStamp),
                  StoredBytes("OVER.DAT", History(n + 1, 6), kStamp)});
  ASSERT_TRUE(pkg.loaded());

  EXPECT_FALSE(upd::ExtractPackageEntry("OVER.DAT", root_ / L"OVER.DAT", false));
  EXPECT_EQ(updtest::TakeBoxes(), Boxes({Shortage(drive_, 1)}));
  EXPECT_EQ(Listing(root_), Names{});

  EXPECT_TRUE(upd::ExtractPackageEntry("FULL.DAT", root_ / L"FULL.DAT", false));
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_EQ(ReadFileBytes(root_ / L"FULL.DAT"), History(n, 5));
  EXPECT_EQ(Listing(root_), Names{L"FULL.DAT"});
  EXPECT_EQ(Free(), 0u);
}

TEST_F(SmallDisk, MissingNameMakesNoFreeSpaceQuery) {
  RunPackage pkg({StoredBytes("THERE.DAT", History(10, 5), kStamp)});
  ASSERT_TRUE(pkg.loaded());
  pkgtest::SpaceHooks hooks;
  EXPECT_FALSE(upd::ExtractPackageEntry("ABSENT.DAT", root_ / L"ABSENT.DAT", false));
  EXPECT_EQ(updtest::TakeBoxes(), Boxes({std::string(upd::texts::kEntryNotFoundMessage)}));
  EXPECT_EQ(hooks.calls(), 0);
  EXPECT_TRUE(upd::ExtractPackageEntry("THERE.DAT", root_ / L"THERE.DAT", false));
  EXPECT_GT(hooks.ex_calls(), 0);
}

// The disk fills up while the new content is written: the old file stays byte for byte, and no
// part of the new one is left behind.
TEST_F(SmallDisk, DiskFillingUpDuringTheWriteLeavesTheOldFile) {
  const Bytes old = History(20000, 7);
  const auto target = root_ / L"GAME.DAT";
  pkgtest::MakeFile(target, old, kStamp - 3);
  const std::uint64_t free = Free();
  ASSERT_GT(free, 0u);
  const Bytes too_big = History(static_cast<std::size_t>(free) + 4096, 8);

  EXPECT_FALSE(upd::WriteWholeFile(target, too_big, kStamp));
  EXPECT_EQ(pkgtest::ReadTimes(target), (pkgtest::Times{kStamp - 3, kStamp - 3, kStamp - 3}));
  EXPECT_EQ(ReadFileBytes(target), old);
  EXPECT_EQ(Listing(root_), Names{L"GAME.DAT"});
  EXPECT_EQ(Free(), free);

  // Through extraction, when the free-space figure is wrong (or unknown) and lets it pass.
  RunPackage pkg({StoredBytes("GAME.DAT", too_big, kStamp)});
  ASSERT_TRUE(pkg.loaded());
  const auto times = pkgtest::ReadTimes(target);  // reading the content may have moved one
  {
    pkgtest::SpaceHooks hooks(pkgtest::SpaceScript().Free(std::uint64_t{1} << 40));
    EXPECT_FALSE(upd::ExtractPackageEntry("GAME.DAT", target, false));
  }
  EXPECT_TRUE(updtest::TakeBoxes().empty());
  EXPECT_EQ(pkgtest::ReadTimes(target), times);
  EXPECT_EQ(ReadFileBytes(target), old);
  EXPECT_EQ(Listing(root_), Names{L"GAME.DAT"});
}

}  // namespace
