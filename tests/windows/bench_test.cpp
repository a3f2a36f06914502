// Proves the test bench: the process runs with the ANSI code page the bench promises, and a
// file written through the Win32 API under a Japanese name is read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(WineBench, AnsiCodePage) {
  const char* expect = std::getenv("UPD_EXPECT_ACP");
  const UINT want = expect ? static_cast<UINT>(std::atoi(expect)) : 932u;
  EXPECT_EQ(GetACP(), want);
}

TEST(WineBench, FileRoundTripWithJapaneseName) {
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring path = std::wstring(temp) + L"\u30C6\u30B9\u30C8_bench.txt";  // テスト
  const char content[] = "\x83\x65\x83\x58\x83\x67 content";  // テスト in code page 932

  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, content, sizeof content - 1, &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(written, sizeof content - 1);

  h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[64] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &read, nullptr));
  CloseHandle(h);
  EXPECT_EQ(std::string(buf, read), std::string(content, sizeof content - 1));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

}  // namespace
