#include "package/container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/byte_order.h"
#include "package_builder.h"

namespace {

using updtest::Bytes;
using updtest::History;
using updtest::Image;
using updtest::Item;
using updtest::LiteralStream;
using updtest::Stored;

using upd::Put32;

TEST(LoadPackageDirectory, NoEntries) {
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed directory" : "stored directory");
    const Bytes img = Image({}, compressed);
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->EntryCount(), 0u);
    EXPECT_TRUE(dir->Entries().empty());
    EXPECT_EQ(dir->Header().DirectoryOffset, 16u);
  }
}

TEST(LoadPackageDirectory, DataOffsetsFollowPaddedSizes) {
  const std::vector<Item> items = {Stored("ZERO.DAT", 0), Stored("SIXTEEN.DAT", 16, 2),
                                   Stored("SEVENTEEN.DAT", 17, 3), Stored("ONE.DAT", 1, 4),
                                   Stored("LAST.DAT", 5, 5)};
  const std::uint32_t offsets[] = {16, 16, 32, 64, 80};
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed directory" : "stored directory");
    const Bytes img = Image(items, compressed);
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    ASSERT_EQ(dir->EntryCount(), items.size());
    EXPECT_EQ(dir->Header().Magic, upd::kPackageMagic);
    for (std::size_t i = 0; i < items.size(); ++i) {
      SCOPED_TRACE(items[i].name);
      const upd::PackageEntry& e = dir->Entries()[i];
      EXPECT_EQ(e.Name(), items[i].name);
      EXPECT_EQ(e.TimeStamp, items[i].time);
      EXPECT_EQ(e.UnpackedSize, items[i].unpacked);
      EXPECT_EQ(dir->DataOffset(i), offsets[i]);
      auto bytes = dir->StoredBytes(img, i);
      EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), items[i].stored);
    }
  }
}

TEST(LoadPackageDirectory, WhatFollowsTheDirectoryIsNotRead) {
  const std::vector<Item> items = {Stored("A.TXT", 40), Stored("B.TXT", 3, 9)};
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "bytes after the end marker" : "bytes after the records");
    const Bytes img = Image(items, compressed, Bytes(37, 0xA5));
    auto dir = upd::LoadPackageDirectory(img);
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->Entries()[1].Name(), "B.TXT");
  }
}

TEST(LoadPackageDirectory, CompressedEntryRecordIsKeptAsIs) {
  const Bytes data = History(300, 5);
  Item it{"PACKED.BIN", upd::kEntryCompressed, 300, LiteralStream(data)};
  const Bytes img = Image({it}, true);
  auto dir = upd::LoadPackageDirectory(img);
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->Entries()[0].IsCompressed());
  EXPECT_EQ(dir->Entries()[0].StoredSize, it.stored.size());
}

TEST(LoadPackageDirectory, DamagedPackagesAreRefused) {
  const std::vector<Item> items = {Stored("A.TXT", 40), Stored("B.TXT", 17, 2)};
  const Bytes good = Image(items, false);
  const Bytes good_c = Image(items, true);
  const std::uint32_t dir_off = 16 + 48 + 32;
  struct Row {
    const char* name;
    Bytes image;
  };
  std::vector<Row> rows;
  rows.push_back({"shorter than a header", Bytes(good.begin(), good.begin() + 15)});
  {
    Bytes b = good;
    Put32(b, 8, static_cast<std::uint32_t>(b.size() + 1));
    rows.push_back({"directory offset past the end", b});
  }
  {
    Bytes b = good;
    Put32(b, 8, 8);
    rows.push_back({"directory offset inside the header", b});
  }
  {
    Bytes b = good;
    Put32(b, 12, 3);
    rows.push_back({"record table runs past the end", b});
  }
  {
    Bytes b = good;
    Put32(b, 12, 0x0EA0EA0F);  // * 280 wraps 32 bits to a small number
    rows.push_back({"record count whose table size wraps", b});
  }
  {
    Bytes b = good_c;
    Put32(b, 12, 1);
    rows.push_back({"compressed directory decodes to more records", b});
  }
  {
    Bytes b = good_c;
    Put32(b, 12, 3);
    rows.push_back({"compressed directory decodes to fewer records", b});
  }
  {
    Bytes b = good_c;
    b.pop_back();
    rows.push_back({"compressed directory without its end", b});
  }
  {
    Bytes b = good;
    Put32(b, dir_off + 276, 49);  // A.TXT runs into B.TXT's padding: still fine
    Put32(b, dir_off + 280 + 276, 33);
    rows.push_back({"entry data runs into the directory", b});
  }
  {
    Bytes b = good;
    Put32(b, dir_off + 276, 0xFFFFFFF0);
    Put32(b, dir_off + 280 + 276, 0x40);
    rows.push_back({"sizes whose sum wraps 32 bits", b});
  }
  {
    Bytes b = good;
    std::memset(&b[dir_off], 'N', 260);
    rows.push_back({"name without its NUL", b});
  }
  {
    Bytes b = good;
    Put32(b, dir_off + 272, 41);
    rows.push_back({"stored entry larger than its bytes", b});
  }
  {
    Bytes b = good;
    Put32(b, dir_off + 260, upd::kEntryCompressed);
    Put32(b, dir_off + 272, 0x7FFFFFFF);
    rows.push_back({"compressed entry claiming more than any stream yields", b});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(upd::LoadPackageDirectory(r.image), nullptr);
  }
  EXPECT_NE(upd::LoadPackageDirectory(good), nullptr);
  EXPECT_NE(upd::LoadPackageDirectory(good_c), nullptr);
}

// Every truncation of a small package and seeded random flips: refused or loaded, never a
// crash or a stray access; whatever loads has its data inside the image.
TEST(LoadPackageDirectory, TruncationsAndFlipsNeverCrash) {
  const std::vector<Item> items = {Stored("A.TXT", 40), Stored("B.TXT", 17, 2),
                                   Stored("C.TXT", 0)};
  for (bool compressed : {false, true}) {
    const Bytes img = Image(items, compressed);
    for (std::size_t len = 0; len < img.size(); ++len) {
      const Bytes cut(img.begin(), img.begin() + len);
      EXPECT_EQ(upd::LoadPackageDirectory(cut), nullptr) << "length " << len;
    }
    const std::uint32_t seed = 4242;
    std::printf("flip seed %u\n", seed);
    std::uint32_t x = seed;
    for (int i = 0; i < 4000; ++i) {
      Bytes bad = img;
      for (int k = 0; k < 1 + i % 3; ++k) {
        x = x * 1664525u + 1013904223u;
        bad[x % bad.size()] ^= static_cast<std::uint8_t>(1u << (x >> 29));
      }
      auto dir = upd::LoadPackageDirectory(bad);
      if (!dir) continue;
      for (std::size_t e = 0; e < dir->EntryCount(); ++e) {
        auto bytes = dir->StoredBytes(bad, e);
        ASSERT_LE(bytes.data() + bytes.size(), bad.data() + bad.size());
      }
    }
  }
}

}  // namespace
