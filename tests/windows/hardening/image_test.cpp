// update.exe as the player gets it, before and after a package goes in: it imports only DLLs
// that Windows always takes from its own folder, it keeps the loader's mitigations (ASLR with
// high entropy, DEP) and a sound relocation table to make ASLR possible, and the build's stack
// and string checks are in its code.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "embed.h"
#include "package_writer.h"
#include "pe_image.h"
#include "win/ui_driver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace pe = updpack::pe;

// The KnownDLLs that every Windows the updater supports (7 to 11, x64) lists under
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs: the lists of a clean
// Windows 7 SP1 and Windows 10/11 taken together, keeping only the names in both. The loader
// maps these from the system folder whatever lies beside the program. Lower case.
const std::set<std::string> kKnownDlls = {
    "advapi32.dll", "clbcatq.dll",  "comdlg32.dll", "difxapi.dll",  "gdi32.dll",
    "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",    "msvcrt.dll",
    "normaliz.dll", "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shell32.dll",  "shlwapi.dll",
    "user32.dll",   "wldap32.dll",  "ws2_32.dll"};

constexpr std::size_t kImportDirectory = 1;
constexpr std::size_t kRelocationDirectory = 5;
constexpr std::size_t kDelayImportDirectory = 13;
constexpr std::uint16_t kHighEntropyVa = 0x0020, kDynamicBase = 0x0040, kNxCompat = 0x0100;
constexpr std::uint16_t kRelocsStripped = 0x0001;

std::wstring FromEnv(const wchar_t* name) {
  wchar_t buf[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

std::wstring WinePath(const char* unix_path) {
  std::wstring path = L"Z:";
  for (const char* p = unix_path; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
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

// The NUL-terminated name at `rva`, lower case; nullopt when it does not lie in one section.
std::optional<std::string> NameAt(const pe::Image& image, std::uint32_t rva) {
  const pe::Section* s = image.SectionAt(rva);
  if (!s) return std::nullopt;
  const std::uint32_t room = s->virtual_address + s->MappedRawSize() - rva;
  const auto bytes = image.MapRva(rva, std::min<std::uint32_t>(room, 260));
  if (!bytes) return std::nullopt;
  const auto end = std::find(bytes->begin(), bytes->end(), std::uint8_t{0});
  if (end == bytes->end()) return std::nullopt;
  std::string name(bytes->begin(), end);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// The DLL names of a table of `entry_size`-byte descriptors whose name RVA is at `name_at`,
// up to the all-zero one. A descriptor or name outside the image is reported as "<bad>".
std::vector<std::string> DllNames(const pe::Image& image, std::size_t directory,
                                  std::uint32_t entry_size, std::uint32_t name_at) {
  std::vector<std::string> names;
  const pe::DataDirectory d = image.Directory(directory);
  if (d.Empty()) return names;
  for (std::uint32_t rva = d.rva;; rva += entry_size) {
    const auto entry = image.MapRva(rva, entry_size);
    if (!entry) {
      names.push_back("<bad>");
      break;
    }
    if (std::all_of(entry->begin(), entry->end(), [](std::uint8_t b) { return b == 0; })) break;
    names.push_back(NameAt(image, pe::Get32(*entry, name_at)).value_or("<bad>"));
  }
  return names;
}

// What is wrong with the base relocation table, or "" when it is sound: blocks of
// (page RVA, block size) with 2-byte entries that exactly fill the directory, every entry
// padding or a 64-bit address inside the image.
std::string RelocationFault(const pe::Image& image) {
  const pe::DataDirectory d = image.Directory(kRelocationDirectory);
  if (d.Empty() || d.size < 10) return "no relocation table";
  const auto table = image.MapRva(d.rva, d.size);
  if (!table) return "the relocation table lies outside the sections";
  const std::uint32_t size_of_image = pe::Get32(image.Bytes(), image.OptionalHeaderOffset() + 56);
  std::size_t at = 0, addresses = 0;
  while (at < table->size()) {
    if (table->size() - at < 8) return "a block header is cut at " + pe::Hex(at);
    const std::uint32_t page = pe::Get32(*table, at), block = pe::Get32(*table, at + 4);
    if (block < 8 || block % 2 != 0 || block > table->size() - at) {
      return "block at " + pe::Hex(at) + " has size " + pe::Hex(block);
    }
    for (std::size_t e = at + 8; e < at + block; e += 2) {
      const std::uint16_t entry = pe::Get16(*table, e);
      const unsigned type = entry >> 12;
      if (type == IMAGE_REL_BASED_ABSOLUTE) continue;
      if (type != IMAGE_REL_BASED_DIR64) return "entry of type " + std::to_string(type);
      if (std::uint64_t{page} + (entry & 0x0FFF) + 8 > size_of_image) {
        return "entry beyond the image: " + pe::Hex(page + (entry & 0x0FFF));
      }
      ++addresses;
    }
    at += block;
  }
  return addresses == 0 ? "no address to relocate" : "";
}

Bytes Package(const std::string& ini) {
  auto built = updpack::BuildPackage(
      {{"UPDATE.INI", Bytes(ini.begin(), ini.end()), 0x01D9000000000000ull}}, {});
  EXPECT_TRUE(built.error.empty()) << built.error;
  return built.image;
}

std::wstring Beside(const std::wstring& name) { return updtest::win::SiblingPath(name); }

// updpack.exe of this build puts `package` into `stub`, as a publisher does.
Bytes EmbedWithUpdpackExe(const Bytes& stub, const Bytes& package) {
  const std::wstring stub_path = Beside(L"hardening_stub.exe");
  const std::wstring package_path = Beside(L"hardening_package.fa3");
  const std::wstring out_path = Beside(L"hardening_updpack_out.exe");
  DeleteFileW(out_path.c_str());
  if (!WriteAll(stub_path, stub) || !WriteAll(package_path, package)) return {};
  auto p = updtest::win::ChildProcess::Start(
      WinePath(UPDPACK_EXE),
      L"embed \"" + package_path + L"\" -o \"" + out_path + L"\" --stub \"" + stub_path + L"\"");
  if (!p) return {};
  const auto code = p->Wait(std::chrono::seconds(60));
  EXPECT_EQ(code, std::optional<DWORD>(0)) << "updpack.exe embed";
  return ReadAll(out_path);
}

class UpdaterImage : public testing::Test {
 protected:
  void SetUp() override {
    const std::wstring path = FromEnv(L"UPD_UPDATE_EXE");
    ASSERT_FALSE(path.empty()) << "UPD_UPDATE_EXE names the updater of the build";
    built_ = ReadAll(path);
    ASSERT_FALSE(built_.empty()) << "cannot read the updater";
  }
  Bytes built_;
};

TEST_F(UpdaterImage, ImportsMitigationsAndRelocationsBeforeAndAfterEmbedding) {
  const Bytes first = Package("[SETUP]\r\nCompanyName=First\r\n");
  const Bytes second = Package("[SETUP]\r\nCompanyName=Second, a little longer\r\n");
  const Bytes once = updpack::EmbedPackage(built_, first).file;
  struct Row {
    const char* name;
    Bytes file;
  };
  const std::vector<Row> rows = {
      {"as built", built_},
      {"embedded by the packer library", once},
      {"embedded again over the first package", updpack::EmbedPackage(once, second).file},
      {"embedded by updpack.exe", EmbedWithUpdpackExe(built_, first)},
  };
  const pe::Image original{built_};
  const auto original_relocs = original.MapRva(original.Directory(kRelocationDirectory).rva,
                                               original.Directory(kRelocationDirectory).size);
  ASSERT_TRUE(original_relocs);

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_FALSE(row.file.empty());
    const pe::Image image{row.file};
    ASSERT_TRUE(image.IsPe32Plus());

    const auto imports = DllNames(image, kImportDirectory, 20, 12);
    EXPECT_FALSE(imports.empty());
    for (const std::string& dll : imports) {
      EXPECT_TRUE(kKnownDlls.contains(dll)) << dll << " is imported but is no KnownDLL";
    }
    for (const std::string& dll : DllNames(image, kDelayImportDirectory, 32, 4)) {
      EXPECT_TRUE(kKnownDlls.contains(dll)) << dll << " is delay-loaded but is no KnownDLL";
    }

    const auto coff = image.Bytes();
    const std::uint16_t characteristics = pe::Get16(coff, image.CoffHeaderOffset() + 18);
    const std::uint16_t dll = pe::Get16(coff, image.OptionalHeaderOffset() + 70);
    EXPECT_EQ(characteristics & kRelocsStripped, 0) << "relocations marked stripped";
    EXPECT_EQ(dll & kDynamicBase, kDynamicBase) << "DllCharacteristics " << pe::Hex(dll);
    EXPECT_EQ(dll & kHighEntropyVa, kHighEntropyVa) << "DllCharacteristics " << pe::Hex(dll);
    EXPECT_EQ(dll & kNxCompat, kNxCompat) << "DllCharacteristics " << pe::Hex(dll);

    EXPECT_EQ(RelocationFault(image), "");
    // Putting a package in touches resources only: the code's relocations are the built ones.
    const pe::DataDirectory d = image.Directory(kRelocationDirectory);
    const auto relocs = image.MapRva(d.rva, d.size);
    ASSERT_TRUE(relocs);
    EXPECT_TRUE(std::equal(relocs->begin(), relocs->end(), original_relocs->begin(),
                           original_relocs->end()));
  }
}

// The build's checks in a program built with its flags: an overflow within bounds runs to the
// end; beyond them the check traps (STATUS_ILLEGAL_INSTRUCTION). Without the stack canary the
// stack row would run into its smashed return address (an access violation) instead; without
// _FORTIFY_SOURCE the string row would overwrite only its own structure and print "done".
TEST(BuildChecks, OverflowsAreStoppedByTheChecksOfTheBuild) {
  struct Row {
    const wchar_t* args;
    DWORD exit_code;
  };
  const Row rows[] = {
      {L"stack 8", 0},
      {L"stack 64", static_cast<DWORD>(STATUS_ILLEGAL_INSTRUCTION)},
      {L"string 15", 0},
      {L"string 40", static_cast<DWORD>(STATUS_ILLEGAL_INSTRUCTION)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(updtest::win::ToCp932(row.args));
    auto p = updtest::win::ChildProcess::Start(Beside(L"overflow_host.exe"), row.args);
    ASSERT_TRUE(p) << "overflow_host.exe is built beside the test";
    EXPECT_EQ(p->Wait(std::chrono::seconds(60)), std::optional<DWORD>(row.exit_code));
  }
}

}  // namespace
