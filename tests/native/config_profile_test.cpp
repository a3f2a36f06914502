// The profile reader over file bytes and over files, held to the rows that the Windows tests
// also hold the system's GetPrivateProfileStringA to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/profile.h"
#include "profile_cases.h"
#include "temp_folder.h"

namespace {

using updtest::kProfileCases;

// The destination as the readers leave it: value, NUL, and the rest as it was (zero here).
std::string Padded(const std::string& value, std::size_t capacity) {
  std::string s = value;
  s.resize(capacity, '\0');
  return s;
}

TEST(ProfileString, MatchesTheSystemRows) {
  for (const auto& row : kProfileCases) {
    if (row.no_file) continue;
    SCOPED_TRACE(row.name);
    std::vector<char> buf(row.capacity, '\0');
    const std::size_t n = upd::ReadProfileString(row.ini, row.section, row.key, buf);
    EXPECT_EQ(n, row.count);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), Padded(row.value, row.capacity));
  }
}

TEST(ProfileString, LeavesBytesAfterTheNulAlone) {
  std::vector<char> buf(8, 'x');
  EXPECT_EQ(upd::ReadProfileString("[S]\nK=ab\n", "S", "K", buf), 2u);
  EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string("ab\0xxxxx", 8));
  std::vector<char> missing(4, 'x');
  EXPECT_EQ(upd::ReadProfileString("[S]\nK=ab\n", "S", "Other", missing), 0u);
  EXPECT_EQ(std::string(missing.begin(), missing.end()), std::string("\0xxx", 4));
}

TEST(ProfileString, NoRoomWritesNothing) {
  std::vector<char> none;
  EXPECT_EQ(upd::ReadProfileString("[S]\nK=ab\n", "S", "K", none), 0u);
}

TEST(ProfileFile, ReadsTheRowsFromFiles) {
  updtest::TempFolder folder;
  for (const auto& row : kProfileCases) {
    SCOPED_TRACE(row.name);
    const auto file = folder.path() / "PROFILE.INI";
    std::filesystem::remove(file);
    if (!row.no_file) folder.Write("PROFILE.INI", row.ini);
    std::vector<char> buf(row.capacity, '\0');
    EXPECT_EQ(upd::ReadProfileFile(file, row.section, row.key, buf), row.count);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), Padded(row.value, row.capacity));
  }
}

TEST(ProfileFile, ReadsTheFileAnewOnEveryCall) {
  updtest::TempFolder folder;
  const auto file = folder.Write("A.INI", "[S]\r\nK=first\r\n");
  char buf[20] = {};
  EXPECT_EQ(upd::ReadProfileFile(file, "S", "K", buf), 5u);
  EXPECT_STREQ(buf, "first");
  folder.Write("A.INI", "[S]\r\nK=second\r\n");
  EXPECT_EQ(upd::ReadProfileFile(file, "S", "K", buf), 6u);
  EXPECT_STREQ(buf, "second");
  std::filesystem::remove(file);
  EXPECT_EQ(upd::ReadProfileFile(file, "S", "K", buf), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(ProfileFile, AFolderOrNoPathReadsAsMissing) {
  updtest::TempFolder folder;
  char buf[20] = "stale";
  EXPECT_EQ(upd::ReadProfileFile(folder.path(), "S", "K", buf), 0u);
  EXPECT_STREQ(buf, "");
  std::strcpy(buf, "stale");
  EXPECT_EQ(upd::ReadProfileFile({}, "S", "K", buf), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(ProfileFile, LargeFileWithTheKeyAtTheEnd) {
  updtest::TempFolder folder;
  std::string ini = "[SETUP]\r\n";
  for (int i = 0; i < 20000; ++i) ini += "Filler" + std::to_string(i) + "=some value here\r\n";
  ini += "Key=last";
  const auto file = folder.Write("BIG.INI", ini);
  char buf[20] = {};
  EXPECT_EQ(upd::ReadProfileFile(file, "SETUP", "key", buf), 4u);
  EXPECT_STREQ(buf, "last");
}

}  // namespace
