// A DLL planted beside update.exe under the name of a system DLL that is loaded late must not
// be loaded into the elevated updater. The run is a whole update with the wizard, a message box
// and the copies from the game's disc on a Wine CD-ROM drive.
//
// Wine takes its own builtin DLL for these names wherever a file of that name lies, so the
// scenario has Wine prefer a native DLL for them in this program (its AppDefaults key: Wine reads
// WINEDLLOVERRIDES from the environment it was started with, not from the one a Windows parent
// hands its child). Then the search order alone decides where they come from, as on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "scenario.h"

namespace updtest::e2e {
namespace {

namespace fs = std::filesystem;

// The DLLs the planted copies are named after: the ones this run loads by name after the
// program's start (seen with WINEDEBUG=+loaddll), neither an import of update.exe nor a KnownDLL.
// Under Wine that is uxtheme, loaded with the first window, and msimg32, a delay import of
// Wine's own uxtheme. Wine's loader resolves delay imports (comctl32's of uxtheme too) through
// the executable's folder whatever the process set with SetDefaultDllDirectories, and user32
// frees the uxtheme it loads: unless the updater keeps both loaded from the system folder, a
// planted copy is loaded as soon as a control first asks for the theme. comctl32 comes from the
// side-by-side folder the manifest names, and shlwapi is loaded with shell32 before the
// program's entry runs (Windows takes it from its KnownDLLs).
constexpr std::array<const wchar_t*, 2> kPlanted = {L"uxtheme", L"msimg32"};

std::string Text(const fs::path& p) {
  const Bytes b = ReadAll(p);
  return std::string(b.begin(), b.end());
}

class PlantedDll : public UpdaterScenario {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    const char* drive = std::getenv("UPD_CDROM");
    const char* dir = std::getenv("UPD_CDROM_DIR");
    if (!drive || !dir) GTEST_SKIP() << "no CD-ROM drive in this bench (UPD_CDROM)";
    disc_ = fs::path(std::string(dir));
    ASSERT_EQ(GetDriveTypeA((std::string(drive) + "\\").c_str()), static_cast<UINT>(DRIVE_CDROM));
    check_ = "DLLDISC_" + std::to_string(GetCurrentProcessId()) + ".TAG";
  }
  void TearDown() override {
    for (const std::wstring& key : app_keys_) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    std::error_code ec;
    for (const fs::path& p : disc_files_) {
      SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      fs::remove_all(p, ec);
    }
    UpdaterScenario::TearDown();
  }

  // A copy of the marker DLL under each planted name in `folder`.
  void Plant(const fs::path& folder) {
    const fs::path source = win::SiblingPath(L"planted_dll.dll");
    for (const wchar_t* name : kPlanted) {
      ASSERT_TRUE(CopyFileW(source.c_str(), (folder / (std::wstring(name) + L".dll")).c_str(), FALSE))
          << "planted_dll.dll is built beside the test";
    }
  }
  // The planted names whose copy in `folder` was loaded, with the programs that loaded them.
  static std::string Loaded(const fs::path& folder) {
    std::string out;
    for (const wchar_t* name : kPlanted) {
      const fs::path marker = folder / (std::wstring(name) + L".dll.loaded");
      if (!fs::exists(marker)) continue;
      const Bytes b = ReadAll(marker);
      const std::wstring by(reinterpret_cast<const wchar_t*>(b.data()), b.size() / sizeof(wchar_t));
      out += win::ToCp932(std::wstring(name) + L".dll by " + by);
    }
    return out;
  }
  // Native before builtin for the planted names in programs named `exe_name` (a name of this
  // process's own, so that no other test's program is touched).
  void PreferNative(const std::wstring& exe_name) {
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe_name;
    app_keys_.push_back(key);
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const std::wstring order = L"native,builtin";
    for (const wchar_t* name : kPlanted) {
      EXPECT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(order.c_str()),
                               static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
    RegCloseKey(h);
  }
  static std::wstring OwnName(const wchar_t* stem) {
    return stem + std::to_wstring(GetCurrentProcessId()) + L".exe";
  }
  // Disc 2 of the game: its check file, a file and a folder.
  void InsertDisc() {
    for (const fs::path& p : {disc_ / check_, disc_ / L"DLLTEST.AVI", disc_ / L"dlltest"}) {
      disc_files_.push_back(p);
    }
    WriteAll(disc_ / check_, "disc 2");
    WriteAll(disc_ / L"DLLTEST.AVI", "intro");
    fs::create_directories(disc_ / L"dlltest");
    WriteAll(disc_ / L"dlltest" / L"M1.AVI", "m1");
  }

  fs::path disc_;
  std::string check_;
  std::vector<fs::path> disc_files_;
  std::vector<std::wstring> app_keys_;
};

// The planted copies are real loads for a program that does not restrict its search: without
// this, a missing marker below would prove nothing.
TEST_F(PlantedDll, AProgramBesideThemThatDoesNotRestrictTheSearchLoadsThem) {
  const fs::path folder = base_ / L"probe";
  fs::create_directories(folder);
  Plant(folder);
  const std::wstring name = OwnName(L"dll_probe_");
  const fs::path probe = folder / name;
  ASSERT_TRUE(CopyFileW(win::SiblingPath(L"dll_probe.exe").c_str(), probe.c_str(), FALSE));
  PreferNative(name);
  std::wstring args;
  for (const wchar_t* dll : kPlanted) args += std::wstring(args.empty() ? L"" : L" ") + dll + L".dll";
  auto p = win::ChildProcess::Start(probe.wstring(), args);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  for (const wchar_t* dll : kPlanted) {
    EXPECT_TRUE(fs::exists(folder / (std::wstring(dll) + L".dll.loaded")))
        << win::ToCp932(dll) << ".dll beside the probe was not loaded";
  }
}

// The whole update: the wizard, the entries, the disc prompt box, the copies from the disc
// (a file and a folder through the shell), "完了". Nothing planted is loaded on the way.
TEST_F(PlantedDll, UpdateFromTheDiscLoadsNoneOfThem) {
  InstallStandard(0, "DiskCheckFile2=" + check_ + "\r\n");
  const auto exe = Updater(Package(UpdateIni(
      "", "UpdateFile00=A.DAT\r\nCopyFile00=2:DLLTEST.AVI\r\nCopyFile01=2:dlltest\r\n"),
      {{"A.DAT", B("a"), kPackageTime}}), L"update.exe", OwnName(L"update_"));
  Plant(exe.parent_path());
  PreferNative(exe.filename().wstring());
  auto p = Start(exe);
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, "");
  ASSERT_TRUE(w);
  // The disc is not in yet: the prompt; with the disc in, OK goes on.
  auto box = win::WaitForWindow(
      *p, [](const win::WindowInfo& i) { return GetDlgItem(i.hwnd, 0xFFFF) != nullptr; }, kTimeout);
  ASSERT_TRUE(box) << Loaded(exe.parent_path());
  InsertDisc();
  ASSERT_TRUE(win::PressButton(box->hwnd, IDOK));
  ASSERT_TRUE(WaitInfo(w, J(u8"アップデートは完了しました"))) << Loaded(exe.parent_path());
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));

  EXPECT_EQ(Text(inst_ / L"A.DAT"), "a");
  EXPECT_EQ(Text(inst_ / L"DLLTEST.AVI"), "intro");
  EXPECT_EQ(Text(inst_ / L"dlltest" / L"M1.AVI"), "m1");
  EXPECT_EQ(Loaded(exe.parent_path()), "");
}

}  // namespace
}  // namespace updtest::e2e
