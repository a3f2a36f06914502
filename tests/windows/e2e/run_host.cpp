// The updater's entry with a LaunchUpdate that reports what it sees, for end-to-end scenarios.
//   UPD_E2E_REPORT  file to write the report to (UTF-16 path)
//   UPD_E2E_RESULT  "1": LaunchUpdate returns true; anything else: false
//   UPD_E2E_HOLD    when set, LaunchUpdate waits until this file exists before returning
// The report: one line per value, "name=" and the value's bytes in hexadecimal ("none" for an
// absent agreement text), so that the test compares bytes, not glyphs.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/state.h"
#include "hex.h"
#include "startup/run_updater.h"
#include "win/host_env.h"
#include "win/shared_file.h"

using updtest::win::HostEnv;

namespace upd {

using updtest::Hex;

bool LaunchUpdate(HINSTANCE) {
  const RunState& run = Run();
  std::ofstream report(std::filesystem::path(HostEnv(L"UPD_E2E_REPORT")), std::ios::binary);
  auto line = [&](const char* name, std::string_view value) {
    report << name << '=' << Hex(value) << '\n';
  };
  line("CompanyName", run.Game.CompanyName.view());
  line("GameTitle", run.Game.GameTitle.view());
  line("GameClass", run.Game.GameClass.view());
  line("GameDir", run.Game.GameDir.view());
  line("GameTitleA", run.Update.GameTitleA.view());
  line("UpdaterVersion", run.Update.UpdaterVersion.view());
  line("UpdaterTitle", run.Update.UpdaterTitle.view());
  line("DataFolder", run.Update.DataFolder.view());
  line("UpdateMessage", run.Update.UpdateMessage.view());
  for (auto [name, text] : {std::pair{"AgreementText", &run.Update.AgreementTextData},
                            std::pair{"AgreementTitle", &run.Update.AgreementTitleData}}) {
    if (*text) {
      line(name, std::string_view((*text)->data(), (*text)->size()));
    } else {
      report << name << "=none\n";
    }
  }
  // Read as another process would: the run holds the file with read sharing only.
  line("IniContent", updtest::win::ReadShared(run.UpdateIniPath));
  const std::u8string path = run.UpdateIniPath.u8string();
  line("IniPath", std::string_view(reinterpret_cast<const char*>(path.data()), path.size()));
  report.close();

  const std::wstring hold = HostEnv(L"UPD_E2E_HOLD");
  while (!hold.empty() && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(50);
  return HostEnv(L"UPD_E2E_RESULT") == L"1";
}

}  // namespace upd

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return upd::RunUpdater(instance);
}
