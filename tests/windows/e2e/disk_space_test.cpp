// The update run's disk-space test on a small real disk: a tmpfs that tests/wine/small-disk.sh
// mounts as a drive of its own around this program (UPD_SMALL_DISK names it).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "scenario.h"

namespace updtest::e2e {
namespace {

namespace fs = std::filesystem;

class DiskSpaceRun : public UpdaterScenario {
 protected:
  void SetUp() override {
    UpdaterScenario::SetUp();
    const char* drive = std::getenv("UPD_SMALL_DISK");
    if (!drive) {
      const char* why = std::getenv("UPD_SMALL_DISK_SKIP");
      GTEST_SKIP() << "no small disk: " << (why ? why : "run through tests/wine/small-disk.sh");
    }
    drive_ = drive;
    inst_ = fs::path(drive_ + "\\") / L"game";
    fs::remove_all(inst_);
    fs::create_directories(inst_);
    InstallStandard();
  }
  void TearDown() override {
    if (!drive_.empty()) fs::remove_all(inst_);
    UpdaterScenario::TearDown();
  }
  std::uint64_t Free() {
    ULARGE_INTEGER available{}, total{}, total_free{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(inst_.c_str(), &available, &total, &total_free));
    return available.QuadPart;
  }
  std::string drive_;
};

TEST_F(DiskSpaceRun, ShortOfSpaceStopsBeforeAnythingIsWrittenAndBackThenNextTestsAgain) {
  const std::uint64_t free = Free();
  const std::string required = std::to_string(free + 12345);
  auto p = Start(Updater(Package(
      UpdateIni("", "RequiredDiskSpace=" + required + "\r\nUpdateFile00=README.TXT\r\n"))));
  ASSERT_TRUE(p);
  HWND w = WaitWizard(*p);
  ASSERT_TRUE(w);
  const std::string stop = J(u8"ディスク容量が足りません。") + "\r" + drive_ +
                           J(u8" ドライブに 12345 バイトの空き容量が必要です");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first run" : "after Back and Next");
    Press(w, round == 0 ? IDOK : 4);  // Next on the start page, or Back from the stop
    ASSERT_TRUE(WaitInfo(w, J(u8"アップデートを実行します")));
    Press(w, IDOK);
    ASSERT_TRUE(WaitInfo(w, stop));
    const WizardView v = ReadWizard(w);
    EXPECT_FALSE(v.next.enabled);
    EXPECT_TRUE(v.back.enabled);
    EXPECT_TRUE(v.abort.enabled);
    EXPECT_FALSE(fs::exists(inst_ / L"README.TXT"));
  }
  Press(w, IDCANCEL);
  ExpectBox(*p, Caption(), J(u8"アップデートが中断されました"));
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(0));
}

TEST_F(DiskSpaceRun, ExactlyTheFreeBytesPass) {
  const std::string required = std::to_string(Free());
  auto p = Start(Updater(Package(
      UpdateIni("", "RequiredDiskSpace=" + required + "\r\nUpdateFile00=README.TXT\r\n"))));
  ASSERT_TRUE(p);
  HWND w = RunUntil(*p, J(u8"アップデートは完了しました"));
  ASSERT_TRUE(w);
  Press(w, IDOK);
  EXPECT_EQ(p->Wait(kTimeout), std::optional<DWORD>(1));
  EXPECT_TRUE(fs::exists(inst_ / L"README.TXT"));
}

}  // namespace
}  // namespace updtest::e2e
