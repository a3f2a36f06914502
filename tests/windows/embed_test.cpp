// The packer embeds a package into a real MinGW executable (embed_host.exe, with a manifest
// and a dialog compiled by windres); then Windows itself reads it back: the resource API on
// the file as a data image, and the embedded program on its own module as the updater does.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "embed.h"
#include "package_builder.h"
#include "run_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);  // 1041

std::wstring Beside(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

Bytes ReadAll(const std::wstring& path) {
  Bytes out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  LARGE_INTEGER size{};
  GetFileSizeEx(h, &size);
  out.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!out.empty()) ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &read, nullptr);
  CloseHandle(h);
  out.resize(read);
  return out;
}

bool WriteAll(const std::wstring& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

std::uint32_t Fnv1a(const Bytes& b) {
  std::uint32_t h = 2166136261u;
  for (std::uint8_t v : b) h = (h ^ v) * 16777619u;
  return h;
}

Bytes Random(std::size_t n, std::uint32_t seed) {
  std::printf("random package of %zu bytes, seed %u\n", n, seed);
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

// An executable opened as a resource image, not run.
class DataImage {
 public:
  explicit DataImage(const std::wstring& path)
      : module_(LoadLibraryExW(path.c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~DataImage() {
    if (module_) FreeLibrary(module_);
  }
  DataImage(const DataImage&) = delete;
  DataImage& operator=(const DataImage&) = delete;

  HMODULE get() const { return module_; }

  std::optional<Bytes> Resource(LPCWSTR type, LPCWSTR name, WORD language) const {
    HRSRC r = FindResourceExW(module_, type, name, language);
    return r ? Load(r) : std::nullopt;
  }
  std::optional<Bytes> Resource(LPCWSTR type, LPCWSTR name) const {
    HRSRC r = FindResourceW(module_, name, type);
    return r ? Load(r) : std::nullopt;
  }
  int Languages(LPCWSTR type, LPCWSTR name) const {
    int count = 0;
    EnumResourceLanguagesW(
        module_, type, name,
        [](HMODULE, LPCWSTR, LPCWSTR, WORD, LONG_PTR param) -> BOOL {
          ++*reinterpret_cast<int*>(param);
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&count));
    return count;
  }

 private:
  std::optional<Bytes> Load(HRSRC r) const {
    const DWORD size = SizeofResource(module_, r);
    HGLOBAL g = LoadResource(module_, r);
    const auto* p = static_cast<const std::uint8_t*>(g ? LockResource(g) : nullptr);
    if (p == nullptr) return std::nullopt;
    return Bytes(p, p + size);
  }

  HMODULE module_;
};

std::string Report(const Bytes& package) {
  char line[64];
  std::snprintf(line, sizeof line, "UPDATE %zu %08x", package.size(), Fnv1a(package));
  return line;
}

class EmbedUnderWine : public testing::Test {
 protected:
  void SetUp() override {
    host_path_ = Beside(L"embed_host.exe");
    host_ = ReadAll(host_path_);
    ASSERT_FALSE(host_.empty()) << "embed_host.exe is built beside the test";
  }

  // Embeds `package` into `stub`, writes the result beside the test and returns its path.
  std::wstring Embed(const Bytes& stub, const Bytes& package, const std::wstring& name,
                     bool* appended = nullptr) {
    const updpack::pe::RewriteResult r = updpack::EmbedPackage(stub, package);
    if (appended) *appended = r.appended_section;
    const std::wstring path = Beside(name);
    EXPECT_TRUE(WriteAll(path, r.file));
    return path;
  }

  // What Windows sees in the file: the package in 1041, exactly once, the other resources as
  // in the host, and a checksum that imagehlp agrees with.
  void ExpectResources(const std::wstring& path, const Bytes& package) {
    const DataImage out(path), original(host_path_);
    ASSERT_NE(out.get(), nullptr);
    ASSERT_NE(original.get(), nullptr);
    EXPECT_EQ(out.Resource(L"UPDATE", MAKEINTRESOURCEW(102), kJapanese), package);
    EXPECT_EQ(out.Resource(L"UPDATE", MAKEINTRESOURCEW(102)), package);
    EXPECT_EQ(out.Languages(L"UPDATE", MAKEINTRESOURCEW(102)), 1);
    // The manifest (RT_MANIFEST 24, id 1) and the dialog (RT_DIALOG 5, id 100).
    for (const auto& [type, name] : {std::pair{MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1)},
                                     std::pair{MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(100)}}) {
      const auto kept = out.Resource(type, name);
      ASSERT_TRUE(kept.has_value());
      EXPECT_EQ(kept, original.Resource(type, name));
    }
    DWORD in_header = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.c_str(), &in_header, &computed), CHECKSUM_SUCCESS);
    EXPECT_EQ(in_header, computed);
    EXPECT_NE(computed, 0u);
  }

  std::wstring host_path_;
  Bytes host_;
};

TEST_F(EmbedUnderWine, HostWithoutPackageFindsNone) {
  const updtest::Ran run = updtest::RunProcess({host_path_});
  EXPECT_EQ(run.code, 2) << run.out << run.err;
  EXPECT_NE(run.out.find("UPDATE missing"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("DIALOG ok"), std::string::npos) << run.out << run.err;
}

TEST_F(EmbedUnderWine, WindowsFindsTheEmbeddedPackage) {
  const Bytes package = Random(300001, 7001);
  bool appended = false;
  const std::wstring out = Embed(host_, package, L"embed_host_once.exe", &appended);
  EXPECT_TRUE(appended) << "MinGW places .reloc and debug sections after .rsrc";
  ExpectResources(out, package);

  const updtest::Ran run = updtest::RunProcess({out});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(Report(package)), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("DIALOG ok"), std::string::npos) << run.out << run.err;
}

TEST_F(EmbedUnderWine, EmbeddingAgainReplacesThePackage) {
  const Bytes first = Random(120000, 7002), second = Random(4321, 7003);
  const std::wstring once = Embed(host_, first, L"embed_host_first.exe");
  bool appended = true;
  const std::wstring twice = Embed(ReadAll(once), second, L"embed_host_second.exe", &appended);
  EXPECT_FALSE(appended) << "the second time the resource section is rewritten in place";
  ExpectResources(twice, second);

  const updtest::Ran run = updtest::RunProcess({twice});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(Report(second)), std::string::npos) << run.out << run.err;
  EXPECT_EQ(run.out.find(Report(first)), std::string::npos) << run.out << run.err;
}

// updpack.exe of this build, through Wine's Z: drive.
std::wstring UpdpackExe() {
  std::wstring path = L"Z:";
  for (const char* p = UPDPACK_EXE; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

// The tool itself under Windows: in a folder with a Japanese name, with the host beside it as
// its default stub (update.exe), writing an output with a Japanese name.
TEST_F(EmbedUnderWine, UpdpackExeEmbedsWithTheStubBesideIt) {
  const std::wstring dir = Beside(L"\u30c6\u30b9\u30c8_embed\\");  // テスト_embed
  CreateDirectoryW(dir.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(UpdpackExe().c_str(), (dir + L"updpack.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(host_path_.c_str(), (dir + L"update.exe").c_str(), FALSE));
  const Bytes package = updtest::OneFilePackage("UPDATE.INI", "[SETUP]\r\nCompanyName=Test\r\n");
  ASSERT_TRUE(WriteAll(dir + L"update.fa3", package));
  const std::wstring out = dir + L"\u30b2\u30fc\u30e0\u66f4\u65b0.exe";  // ゲーム更新.exe
  DeleteFileW(out.c_str());

  const updtest::Ran embed =
      updtest::RunProcess({dir + L"updpack.exe", L"embed", dir + L"update.fa3", L"-o", out});
  ASSERT_EQ(embed.code, 0) << embed.out << embed.err;
  EXPECT_NE(embed.out.find("update.exe"), std::string::npos) << embed.out << embed.err;
  ExpectResources(out, package);

  const updtest::Ran host = updtest::RunProcess({out});
  EXPECT_EQ(host.code, 0) << host.out << host.err;
  EXPECT_NE(host.out.find(Report(package)), std::string::npos) << host.out << host.err;

  const updtest::Ran verify = updtest::RunProcess({dir + L"updpack.exe", L"verify", out});
  EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find("sound, 1 entries"), std::string::npos) << verify.out << verify.err;
}

}  // namespace
