// updpack.exe under Wine, whatever the ANSI code page: Japanese file names go into the package
// as code page 932 and come out again, through the wide API only; a name that code page 932
// cannot spell is refused.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "package/container.h"
#include "run_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// updpack.exe of this build, through Wine's Z: drive.
std::wstring UpdpackExe() {
  std::wstring path = L"Z:";
  for (const char* p = UPDPACK_EXE; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

// A folder of its own below the temporary folder, removed (one level of files) at the end.
class Scratch {
 public:
  Scratch() {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    static int serial = 0;
    path_ = std::wstring(tmp) + L"updpack_cli_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(serial++) + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~Scratch() { Remove(path_); }
  const std::wstring& path() const { return path_; }

 private:
  static void Remove(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(dir + name + L"\\");
        } else {
          DeleteFileW((dir + name).c_str());
        }
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
  }
  std::wstring path_;
};

void WriteFileW(const std::wstring& path, const std::string& bytes, std::uint64_t time) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  FILETIME ft{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
}

bool ReadFileW(const std::wstring& path, std::string& bytes, std::uint64_t* time = nullptr) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) bytes.append(buf, n);
  if (time) {
    FILETIME ft{};
    GetFileTime(h, nullptr, nullptr, &ft);
    *time = std::uint64_t{ft.dwHighDateTime} << 32 | ft.dwLowDateTime;
  }
  CloseHandle(h);
  return true;
}

using updtest::Ran;

// Runs updpack.exe with the arguments.
Ran Updpack(const std::vector<std::wstring>& args) {
  updtest::Argv argv = {UpdpackExe()};
  argv.insert(argv.end(), args.begin(), args.end());
  return updtest::RunProcess(argv);
}

// テスト.txt, データ.bin: in UTF-16 for the system, in code page 932 inside the package, in
// UTF-8 in the tool's output.
const std::wstring kTestW = L"\u30c6\u30b9\u30c8.txt";
const std::wstring kDataW = L"\u30c7\u30fc\u30bf.bin";
const char kTest932[] = "\x83\x65\x83\x58\x83\x67.txt";
const char kData932[] = "\x83\x66\x81\x5B\x83\x5E.bin";
const char kTestUtf8[] = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.txt";

constexpr std::uint64_t kTimeA = 133500000001234567ull;  // with a fraction of a second
constexpr std::uint64_t kTimeB = 125911584000000000ull;

TEST(UpdpackExe, JapaneseNamesInAndOut) {
  Scratch src, work;
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line of the script\r\n";
  WriteFileW(src.path() + L"UPDATE.INI", "[SETUP]\r\nCompanyName=Test\r\n", kTimeB);
  WriteFileW(src.path() + kTestW, text, kTimeA);
  WriteFileW(src.path() + kDataW, std::string("\x01\x02\x03", 3), kTimeB);

  const std::wstring pkg = work.path() + L"\u66f4\u65b0.fa3";  // 更新.fa3
  Ran b = Updpack({L"build", src.path(), L"-o", pkg});
  ASSERT_EQ(b.code, 0) << b.err;

  std::string img;
  ASSERT_TRUE(ReadFileW(pkg, img));
  const Bytes bytes(img.begin(), img.end());
  auto dir = upd::LoadPackageDirectory(bytes);
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->EntryCount(), 4u);  // the integrity record ('<' is 3C) and the three files
  EXPECT_EQ(dir->Entries()[0].Name(), "<XXH3-128>");
  EXPECT_EQ(dir->Entries()[1].Name(), "UPDATE.INI");
  EXPECT_EQ(dir->Entries()[2].Name(), kTest932);
  EXPECT_EQ(dir->Entries()[3].Name(), kData932);
  EXPECT_EQ(dir->Entries()[2].TimeStamp, kTimeA);
  EXPECT_EQ(dir->Entries()[3].TimeStamp, kTimeB);

  Ran l = Updpack({L"list", L"--tsv", pkg});
  ASSERT_EQ(l.code, 0) << l.err;
  EXPECT_NE(l.out.find(std::string(kTestUtf8) + "\tcompressed\t2000\t"), std::string::npos) << l.out;

  Ran v = Updpack({L"verify", pkg});
  EXPECT_EQ(v.code, 0) << v.err;
  EXPECT_NE(v.out.find("sound, 3 entries, contents checked"), std::string::npos) << v.out;
  Ran against = Updpack({L"verify", pkg, L"--against", src.path()});
  EXPECT_EQ(against.code, 0) << against.err;

  const std::wstring into = work.path() + L"\u51fa\u529b";  // 出力
  Ran x = Updpack({L"extract", pkg, L"-C", into, kTestW});
  ASSERT_EQ(x.code, 0) << x.err;
  std::string back;
  std::uint64_t time = 0;
  ASSERT_TRUE(ReadFileW(into + L"\\" + kTestW, back, &time));
  EXPECT_EQ(back, text);
  EXPECT_EQ(time, kTimeA);
  EXPECT_FALSE(ReadFileW(into + L"\\" + kDataW, back));
}

TEST(UpdpackExe, NamesCodePage932CannotSpellAreRefused) {
  Scratch src, work;
  WriteFileW(src.path() + L"\ud55c.txt", "x", kTimeB);  // 한.txt: Korean, not in code page 932
  Ran b = Updpack({L"build", src.path(), L"-o", work.path() + L"p.fa3"});
  EXPECT_EQ(b.code, 1);
  EXPECT_NE(b.err.find("code page 932 cannot spell"), std::string::npos) << b.err;
  std::string none;
  EXPECT_FALSE(ReadFileW(work.path() + L"p.fa3", none));
}

// The same rule for names as on Linux: 〜 (which the system's own conversion refuses without
// best fit) is stored as ～ with a note, ‾ is refused.
TEST(UpdpackExe, NamesStoredAsWindowsShowsThem) {
  Scratch src, work;
  WriteFileW(src.path() + L"\u301c.txt", "x", kTimeB);  // 〜.txt
  Ran b = Updpack({L"build", src.path(), L"-o", work.path() + L"p.fa3"});
  EXPECT_EQ(b.code, 0) << b.err;
  EXPECT_NE(b.err.find("\xE3\x80\x9C is stored as \xEF\xBD\x9E"), std::string::npos) << b.err;
  Ran l = Updpack({L"list", L"--tsv", work.path() + L"p.fa3"});
  EXPECT_EQ(l.out.substr(0, l.out.find('\t')), "\xEF\xBD\x9E.txt");  // ～.txt

  Scratch src2;
  WriteFileW(src2.path() + L"a\u203e.txt", "x", kTimeB);  // a‾.txt
  Ran r = Updpack({L"build", src2.path(), L"-o", work.path() + L"q.fa3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("stored as ~, a different"), std::string::npos) << r.err;
}

// init and plan through the wide API: a Japanese name goes into UPDATE.INI as code page 932, the
// installed game's SETUP.INI gives the [SETUP] values, and plan holds the folder against a copy
// of an installation.
TEST(UpdpackExe, InitAndPlan) {
  Scratch src, inst;
  const std::string setup =
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=\x83\x5E\x83\x43\x83\x67\x83\x8B\r\nGameDir=Dir\r\nGameExe=G.EXE\r\n"
      "UninstExe=U.EXE\r\nSetupBmp=A.BMP\r\nInstallSelects=1\r\nInstallTitle0=T0\r\nInstallFiles0=F0.PAK\r\n"
      "Shortcuts=1\r\nShortcut0=G.EXE,Title\r\n";  // GameTitle タイトル
  WriteFileW(inst.path() + L"SETUP.INI", setup, kTimeB);
  WriteFileW(src.path() + kTestW, "new text", kTimeA);
  WriteFileW(src.path() + L"a.dat", "abc", kTimeB);
  WriteFileW(inst.path() + kTestW, "old text", kTimeB);  // older than the update's

  Ran i = Updpack({L"init", src.path(), L"--setup", inst.path() + L"SETUP.INI"});
  ASSERT_EQ(i.code, 0) << i.err;
  std::string ini;
  ASSERT_TRUE(ReadFileW(src.path() + L"UPDATE.INI", ini));
  EXPECT_NE(ini.find("GameTitle=\x83\x5E\x83\x43\x83\x67\x83\x8B\r\nGameClass=\x83\x5E\x83\x43\x83\x67\x83\x8B\r\n"),
            std::string::npos)
      << ini;
  EXPECT_NE(ini.find("UpdateFile00=a.dat\r\nUpdateFile01=" + std::string(kTest932) + "\r\n"), std::string::npos) << ini;
  Ran again = Updpack({L"init", src.path()});
  EXPECT_EQ(again.code, 1);
  Ran l = Updpack({L"lint", src.path(), L"--setup", inst.path() + L"SETUP.INI"});
  EXPECT_EQ(l.code, 0) << l.out << l.err;

  Ran p = Updpack({L"plan", src.path(), L"--installed", inst.path(), L"--tsv"});
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  EXPECT_NE(p.out.find("file\t0\tUpdateFile00\tinst\ta.dat\t-\ta.dat\t3\t"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("\twrite\tnew\n"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("file\t0\tUpdateFile01\tinst\t" + std::string(kTestUtf8) + "\t-\t" + kTestUtf8 + "\t8\t"),
            std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("\twrite\treplaced\n"), std::string::npos) << p.out;
}

}  // namespace
