// update.exe with a RunUpdate of the test's choosing, so that the wizard meets every outcome of
// the update run on demand:
//   UPD_E2E_RUN       "finish": the finished page; "diskstop": the disk-space stop (Back and
//                     Abort enabled, Next disabled); "fail": an error box, then the dialog ends
//                     with -1
//   UPD_E2E_RUN_HOLD  when set, the run first shows a box "HOLD" owned by the wizard and waits
//                     for it to be closed (a step that is still running)
//   UPD_E2E_RUNS      a file that gets one line per call
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/error_box.h"
#include "base/messages.h"
#include "run/update_run.h"
#include "win/host_env.h"

using updtest::win::HostEnv;

namespace upd {

void RunUpdate(RunView& view) {
  const HWND window = view.Owner();
  if (const std::wstring runs = HostEnv(L"UPD_E2E_RUNS"); !runs.empty()) {
    std::ofstream(std::filesystem::path(runs), std::ios::app) << "run\n";
  }
  if (!HostEnv(L"UPD_E2E_RUN_HOLD").empty()) MessageBoxW(window, L"HOLD", L"HOLD", MB_OK);
  const std::wstring outcome = HostEnv(L"UPD_E2E_RUN");
  if (outcome == L"diskstop") {
    view.Show("DISK STOP");
    view.OfferBack();
    return;
  }
  view.Show(texts::kRunningText);
  view.Waiting();
  if (outcome == L"fail") {
    ShowUpdaterError(texts::kWriteFailed);
    view.Interrupted();
    return;
  }
  view.Finished();
}

}  // namespace upd
