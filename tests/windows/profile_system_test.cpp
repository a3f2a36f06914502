// Our profile reader against the system's GetPrivateProfileStringA, row by row, on files in a
// folder with a Japanese name. Under the Japanese bench (code page 932) both readers must give
// each row's result; the rows marked wine_differs are the ones where Wine's function departs
// from Windows, and there it must still differ (or the mark is stale). Under another code page
// only our reader runs (GTEST_FILTER=OurReader.*): it must give the same bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "config/profile.h"
#include "error_box_recorder.h"
#include "platform/file_system.h"
#include "platform/handles.h"
#include "profile_cases.h"
#include "temp_folder.h"

namespace {

using updtest::kProfileCases;
using updtest::ProfileCase;

const wchar_t kJapaneseFolder[] = L"\u8A2D\u5B9A\u8868";  // 設定表 (表 ends in byte 0x5C)

std::string Padded(const std::string& value, std::size_t capacity) {
  std::string s = value;
  s.resize(capacity, '\0');
  return s;
}

std::string Cp932(const std::wstring& w) {
  const int n = WideCharToMultiByte(932, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(932, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02x ", c);
    out += b;
  }
  return out;
}

class ProfileRows : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = temp_.path() / kJapaneseFolder;
    std::filesystem::create_directories(folder_);
  }
  // Writes the row's file (or makes sure there is none) and returns its path.
  std::filesystem::path Prepare(const ProfileCase& row) {
    const auto file = folder_ / "PROFILE.INI";
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (!row.no_file) temp_.Write(file, row.ini);
    return file;
  }

  updtest::TempFolder temp_;
  std::filesystem::path folder_;
};

TEST_F(ProfileRows, SystemReaderOnJapaneseSystem) {
  ASSERT_EQ(GetACP(), 932u) << "the system's reader is compared under code page 932 only";
  for (const auto& row : kProfileCases) {
    SCOPED_TRACE(row.name);
    const std::string path = Cp932(Prepare(row).wstring());
    std::vector<char> buf(row.capacity, '\0');
    const DWORD n = GetPrivateProfileStringA(row.section, row.key, "", buf.data(),
                                             static_cast<DWORD>(buf.size()), path.c_str());
    const std::string got(buf.begin(), buf.end());
    const bool same = n == row.count && got == Padded(row.value, row.capacity);
    if (row.wine_differs) {
      EXPECT_FALSE(same) << "Wine now agrees with Windows; drop the mark: " << row.wine_differs;
      std::printf("[ expected difference ] %s: system gives %lu [%s], Windows and ours %zu [%s]: %s\n",
                  row.name, static_cast<unsigned long>(n), Hex(got).c_str(), row.count,
                  Hex(row.value).c_str(), row.wine_differs);
      continue;
    }
    EXPECT_EQ(n, row.count);
    EXPECT_EQ(Hex(got), Hex(Padded(row.value, row.capacity)));
  }
}

// The English entry must really run under another code page, or it proves nothing.
TEST_F(ProfileRows, OurReaderBenchCodePage) {
  const char* expect = std::getenv("UPD_EXPECT_ACP");
  EXPECT_EQ(GetACP(), expect ? static_cast<UINT>(std::atoi(expect)) : 932u);
}

TEST_F(ProfileRows, OurReader) {
  for (const auto& row : kProfileCases) {
    SCOPED_TRACE(row.name);
    const auto file = Prepare(row);
    std::vector<char> buf(row.capacity, '\0');
    EXPECT_EQ(upd::ReadProfileFile(file, row.section, row.key, buf), row.count);
    EXPECT_EQ(Hex(std::string(buf.begin(), buf.end())), Hex(Padded(row.value, row.capacity)));
  }
}

// SETUP.INI in the Japanese folder, read once as the run reads it (through the folder's final
// path), then a key of its bytes.
TEST_F(ProfileRows, OurReaderSetupValueFromJapaneseFolder) {
  temp_.Write(folder_ / L"SETUP.INI", "[SETUP]\r\nGameTitle=\x83\x65\x83\x58\x83\x67\r\n");
  upd::platform::UniqueFile folder(CreateFileW(folder_.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  const std::optional<std::wstring> final_path = upd::platform::FinalPathOf(folder.get());
  ASSERT_TRUE(final_path);
  const std::optional<std::string> setup_ini = upd::platform::ReadPlainFile(L"SETUP.INI", *final_path);
  ASSERT_TRUE(setup_ini);
  upd::NameString title;
  EXPECT_TRUE(upd::ReadSetupValue(*setup_ini, "GameTitle", title).found());
  EXPECT_EQ(title.view(), "\x83\x65\x83\x58\x83\x67");  // テスト
  EXPECT_TRUE(updtest::TakeBoxes().empty());
}

}  // namespace
