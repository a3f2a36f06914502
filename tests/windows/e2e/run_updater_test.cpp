// The updater's entry as a real process: the package resource, UPDATE.INI, the agreement texts,
// the boxes the player sees, the temporary file and the exit code. The host links a
// LaunchUpdate that reports what reached it (run_host.cpp).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "embed.h"
#include "hex.h"
#include "package/container.h"
#include "package_writer.h"
#include "pe_update.h"
#include "win/shared_file.h"
#include "win/ui_driver.h"

namespace {

using namespace std::chrono_literals;
using updtest::Hex;
using Bytes = std::vector<std::uint8_t>;
using updtest::win::ChildProcess;
using updtest::win::ToCp932;

constexpr auto kTimeout = 30s;

// テストゲーム
const std::string kTitle = "\x83\x65\x83\x58\x83\x67\x83\x51\x81\x5B\x83\x80";
// お知らせ\n二行目 (a backslash and n, as UPDATE.INI writes a line break)
const std::string kMessage = "\x82\xA8\x92\x6D\x82\xE7\x82\xB9\\n\x93\xF1\x8D\x73\x96\xDA";
// キーが存在しません
const std::string kMissingKey =
    "\x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1";

std::string Ini(const std::string& extra_setup = "", const std::string& drop = "") {
  std::string keys[][2] = {{"CompanyName", "TestSoft"}, {"GameTitle", kTitle},
                           {"GameClass", "TestWindowClass"}, {"GameDir", "TestGame"},
                           {"UpdaterVersion", "1.02"}, {"UpdateMessage", kMessage}};
  std::string s = "[SETUP]\r\n";
  for (auto& [k, v] : keys) {
    if (drop.find("," + k + ",") != std::string::npos) continue;
    s += k + "=" + v + "\r\n";
  }
  s += extra_setup;
  s += "\r\n[UPDATE]\r\nUpdateFile00=0,n,README.TXT\r\n";
  return s;
}

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes ReadAll(const std::wstring& path) {
  const std::string bytes = updtest::win::ReadShared(path);
  return Bytes(bytes.begin(), bytes.end());
}

class RunUpdaterScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    base_ = std::filesystem::path(temp) / (L"upd_e2e_" + std::to_wstring(GetCurrentProcessId()) +
                                           L"_" + std::filesystem::path(info->name()).wstring());
    std::filesystem::remove_all(base_);
    // A temporary folder of the scenario's own, named in Japanese (更新), so that what the
    // updater leaves behind shows.
    temp_ = base_ / L"\u66F4\u65B0_tmp";
    std::filesystem::create_directories(temp_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }

  // The host with `package` as its UPDATE 102 resource (none when empty).
  std::filesystem::path Updater(const Bytes& package, const std::wstring& name = L"update.exe") {
    Bytes host = ReadAll(updtest::win::SiblingPath(L"run_host.exe"));
    Bytes exe = package.empty() ? host
                                : updpack::pe::EmbedResource(host, updpack::pe::ResourceId::Name(u"UPDATE"),
                                                             updpack::pe::ResourceId::Number(102), 1041,
                                                             package)
                                      .file;
    const auto path = base_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(exe.data()),
                                                static_cast<std::streamsize>(exe.size()));
    return path;
  }

  static Bytes Package(const std::string& ini, std::vector<updpack::PackageFile> more = {}) {
    more.push_back({"UPDATE.INI", B(ini), 0x01D9000000000000ull});
    more.push_back({"README.TXT", B("read me\r\n"), 0x01D9000000000000ull});
    auto built = updpack::BuildPackage(std::move(more), {});
    EXPECT_TRUE(built.error.empty()) << built.error;
    return built.image;
  }

  std::optional<ChildProcess> Start(const std::filesystem::path& exe, const std::wstring& report,
                                    bool result, const std::wstring& hold = L"") {
    updtest::win::Env env = {{L"TMP", temp_.wstring()}, {L"TEMP", temp_.wstring()},
                             {L"UPD_E2E_REPORT", report},
                             {L"UPD_E2E_RESULT", result ? L"1" : L"0"}, {L"UPD_E2E_HOLD", hold}};
    return ChildProcess::Start(exe.wstring(), L"", env);
  }

  std::map<std::string, std::string> Report(const std::wstring& path) {
    std::map<std::string, std::string> values;
    std::ifstream in{std::filesystem::path(path)};
    for (std::string line; std::getline(in, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
  }

  std::wstring ReportPath(const wchar_t* name = L"report.txt") { return (base_ / name).wstring(); }

  bool TempIsEmpty() { return std::filesystem::is_empty(temp_); }

  // The next message box: checks caption, text (code page 932 bytes) and stop icon, presses OK.
  void ExpectBox(ChildProcess& p, std::string_view caption, std::string_view text) {
    auto w = updtest::win::WaitForDialog(p, kTimeout);
    ASSERT_TRUE(w) << "no box for: " << text;
    auto box = updtest::win::ReadMessageBox(w->hwnd);
    ASSERT_TRUE(box);
    EXPECT_EQ(ToCp932(box->caption), caption);
    EXPECT_EQ(ToCp932(box->text), text);
    EXPECT_STREQ(updtest::win::IconName(box->icon), "stop");
    EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    ASSERT_TRUE(updtest::win::PressButton(w->hwnd, IDOK));
    // The box must be gone before the next one is looked for.
    for (int i = 0; i < 200 && IsWindow(w->hwnd); ++i) Sleep(25);
  }

  // The updater with `package` refuses it: "RESOURCE READ ERROR", exit code 0, LaunchUpdate never
  // reached, nothing left in the temporary folder.
  void ExpectRefused(const Bytes& package) {
    auto p = Start(Updater(package), ReportPath(), true);
    ASSERT_TRUE(p);
    ExpectBox(*p, "UPDATE", "RESOURCE READ ERROR");
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
    EXPECT_FALSE(std::filesystem::exists(ReportPath()));
    EXPECT_TRUE(TempIsEmpty());
  }

  std::filesystem::path base_, temp_;
};

TEST_F(RunUpdaterScenario, WithoutPackageEndsSilently) {
  auto p = Start(Updater({}), ReportPath(), true);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  EXPECT_FALSE(std::filesystem::exists(ReportPath()));
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(RunUpdaterScenario, DamagedPackageShowsResourceReadError) {
  Bytes damaged = Package(Ini());
  damaged[8] = 0xFF;  // directory offset far past the end
  damaged[11] = 0x7F;
  ExpectRefused(damaged);
}

// The integrity record: a package whose entry bytes were damaged after it was built never
// reaches the update, not even the extraction of UPDATE.INI.
TEST_F(RunUpdaterScenario, DamagedEntryShowsResourceReadError) {
  const Bytes good = Package(Ini());
  // README.TXT sorts first among the files, after the record: its 9 bytes are stored as they are.
  const auto dir = upd::LoadPackageDirectory(good);
  ASSERT_TRUE(dir);
  ASSERT_EQ(dir->Entries()[1].Name(), "README.TXT");
  const std::size_t from = dir->DataOffset(1);
  ASSERT_EQ(std::string(good.begin() + from, good.begin() + from + 9), "read me\r\n");
  for (std::size_t at : {from, from + 8}) {
    SCOPED_TRACE("byte " + std::to_string(at));
    Bytes damaged = good;
    damaged[at] ^= 0x04;
    ExpectRefused(damaged);
  }
}

// A header that asks for a directory of 13,000,000 records (3.6 GB) from 40 MB of stream that
// breaks at once: refused with the usual message, at the cost of what the stream wrote.
TEST_F(RunUpdaterScenario, HugeDirectoryShowsResourceReadError) {
  Bytes huge(40'000'016, 0);
  const std::uint8_t header[16] = {0x46, 0x41, 0x32, 0, 1, 0, 0, 0, 16, 0, 0, 0,
                                   0x40, 0x5D, 0xC6, 0};  // 13,000,000 = 0x00C65D40
  std::copy(std::begin(header), std::end(header), huge.begin());
  ExpectRefused(huge);
}

TEST_F(RunUpdaterScenario, MissingOrEmptyRequiredKeyEndsTheRun) {
  struct Row {
    const char* name;
    std::string ini;
    std::string message;
  };
  const Row rows[] = {
      {"GameTitle and GameClass missing: only the first is named", Ini("", ",GameTitle,GameClass,"),
       "SETUP : GameTitle " + kMissingKey},
      {"GameDir empty", Ini("GameDir=\r\n", ",GameDir,"), "SETUP : GameDir " + kMissingKey},
      {"CompanyName missing", Ini("", ",CompanyName,"), "SETUP : CompanyName " + kMissingKey},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto p = Start(Updater(Package(r.ini)), ReportPath(), true);
    ASSERT_TRUE(p);
    ExpectBox(*p, "INSTCMMN", r.message);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
    EXPECT_FALSE(std::filesystem::exists(ReportPath()));
    EXPECT_TRUE(TempIsEmpty());
  }
}

TEST_F(RunUpdaterScenario, AgreementEntryMissingShowsTwoBoxes) {
  auto p = Start(Updater(Package(Ini("AgreementText=LICENSE.TXT\r\n"))), ReportPath(), true);
  ASSERT_TRUE(p);
  ExpectBox(*p, "UPDATE", "Can't Find File in Resource !!");
  ExpectBox(*p, "UPDATE", "'LICENSE.TXT' not found at UPDATE.FA3");
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
  EXPECT_FALSE(std::filesystem::exists(ReportPath()));
  EXPECT_TRUE(TempIsEmpty());
}

// What reaches LaunchUpdate, and the exit code it decides; the same bytes whatever the
// process's code page (this test also runs under an English locale).
TEST_F(RunUpdaterScenario, LaunchUpdateSeesTheDescription) {
  const std::string ini = Ini("AgreementText=EMPTY.TXT\r\nAgreementTitle=TITLE.TXT\r\n");
  const std::string title_text = "\x93\xAF\x88\xD3\x8F\x91";  // 同意書
  const Bytes package =
      Package(ini, {{"EMPTY.TXT", {}, 0x01D9000000000000ull},
                    {"TITLE.TXT", B(title_text), 0x01D9000000000000ull}});
  const auto exe = Updater(package);
  for (bool result : {true, false}) {
    SCOPED_TRACE(result ? "LaunchUpdate true" : "LaunchUpdate false");
    auto p = Start(exe, ReportPath(), result);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(result ? 1 : 0));
    auto r = Report(ReportPath());
    EXPECT_EQ(r["CompanyName"], Hex("TestSoft"));
    EXPECT_EQ(r["GameTitle"], Hex(kTitle));
    EXPECT_EQ(r["GameClass"], Hex("TestWindowClass"));
    EXPECT_EQ(r["GameDir"], Hex("TestGame"));
    EXPECT_EQ(r["UpdaterVersion"], Hex("1.02"));
    EXPECT_EQ(r["UpdaterTitle"], "");
    EXPECT_EQ(r["GameTitleA"], "");
    EXPECT_EQ(r["UpdateMessage"], Hex(kMessage));
    EXPECT_EQ(r["AgreementText"], "0000");  // an empty entry: present, two zero bytes
    EXPECT_EQ(r["AgreementTitle"], Hex(title_text) + "0000");
    EXPECT_EQ(r["IniContent"], Hex(ini));
    // This run's own file, inside the temporary folder, gone afterwards.
    EXPECT_NE(r["IniPath"].find(Hex("_tmp\\")), std::string::npos) << r["IniPath"];
    EXPECT_TRUE(TempIsEmpty());
  }
  if (const char* acp = std::getenv("UPD_EXPECT_ACP")) {
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(acp)));
  }
}

TEST_F(RunUpdaterScenario, AgreementTitleAloneLoadsOnlyTheTitle) {
  const auto exe = Updater(Package(Ini("AgreementTitle=TITLE.TXT\r\n"),
                                   {{"TITLE.TXT", B("T"), 0x01D9000000000000ull}}));
  auto p = Start(exe, ReportPath(), true);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
  auto r = Report(ReportPath());
  EXPECT_EQ(r["AgreementText"], "none");
  EXPECT_EQ(r["AgreementTitle"], Hex("T") + "0000");
}

// A second updater started while the first is still in its wizard leaves the first run's
// UPDATE.INI alone.
TEST_F(RunUpdaterScenario, SecondRunLeavesTheFirstRunsFileAlone) {
  const std::string ini = Ini();
  const auto exe = Updater(Package(ini));
  const std::wstring hold = (base_ / L"release").wstring();
  auto first = Start(exe, ReportPath(L"first.txt"), true, hold);
  ASSERT_TRUE(first);
  for (int i = 0; i < 600 && !std::filesystem::exists(ReportPath(L"first.txt")); ++i) Sleep(50);
  ASSERT_TRUE(std::filesystem::exists(ReportPath(L"first.txt")));
  Sleep(200);  // the report is complete once the host waits on the hold file
  auto r1 = Report(ReportPath(L"first.txt"));

  auto second = Start(exe, ReportPath(L"second.txt"), false);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Wait(kTimeout), std::optional<DWORD>(0));
  auto r2 = Report(ReportPath(L"second.txt"));
  EXPECT_NE(r1["IniPath"], r2["IniPath"]);

  // The first run's file is still there, with its content.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(temp_)) {
    ++files;
    const Bytes content = ReadAll(e.path().wstring());
    EXPECT_EQ(std::string(content.begin(), content.end()), ini);
  }
  EXPECT_EQ(files, 1u);

  std::ofstream(std::filesystem::path(hold)).put('x');
  EXPECT_EQ(first->Wait(kTimeout), std::optional<DWORD>(1));
  EXPECT_TRUE(TempIsEmpty());
}

// The run's UPDATE.INI is the run's alone: another process of the same user may read it, but
// can neither change, replace nor delete it, and it is gone however the run ends, killed
// included.
TEST_F(RunUpdaterScenario, RunsFileIsHeldAndGoesWithAKilledRun) {
  const std::string ini = Ini();
  const auto exe = Updater(Package(ini));
  const std::wstring hold = (base_ / L"never").wstring();
  auto p = Start(exe, ReportPath(), true, hold);
  ASSERT_TRUE(p);
  // The report is complete once it names the file (its last line).
  std::map<std::string, std::string> r;
  for (int i = 0; i < 600 && r["IniPath"].empty(); ++i) {
    Sleep(50);
    r = Report(ReportPath());
  }
  ASSERT_FALSE(r["IniPath"].empty()) << "no report";
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(temp_)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  const std::wstring file = files[0].wstring();
  EXPECT_EQ(updtest::win::ReadShared(file), ini);

  constexpr DWORD kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE, kAllSharing, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(DeleteFileW(file.c_str())) << "deleted";
  const std::wstring planted = (base_ / L"planted.ini").wstring();
  std::ofstream(std::filesystem::path(planted), std::ios::binary) << "[SETUP]\r\n";
  EXPECT_FALSE(MoveFileExW(planted.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) << "replaced";
  EXPECT_EQ(updtest::win::ReadShared(file), ini);

  ASSERT_TRUE(p->Kill());
  EXPECT_TRUE(TempIsEmpty());
}

}  // namespace
