// ReadSetupDescription over any SETUP.INI. The reader opens Run().SetupIniPath for every key, so
// each input is written to one file of this process (in /dev/shm when there is one) and the
// updater's code runs unchanged. Properties: the description is read (1) with no box, or
// refused (0) with exactly one box, captioned "INSTCMMN"; what was read agrees with the profile
// reader on the same bytes; every list item is whole (no item end inside, NUL-terminated).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/profile.h"
#include "config/setup_description.h"
#include "run/state.h"
#include "fuzz_check.h"

namespace {

struct Box {
  std::string caption, text;
};
std::vector<Box>& Boxes() {
  static std::vector<Box> boxes;
  return boxes;
}


std::filesystem::path InputFile() {
  std::error_code ec;
  const std::filesystem::path dir =
      std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
  return dir / ("setup_fuzzer-" + std::to_string(::getpid()) + ".ini");
}

// The file goes when the process ends normally.
struct InputFileGuard {
  std::filesystem::path path = InputFile();
  ~InputFileGuard() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

template <std::size_t N>
void CheckTerminated(const upd::FixedString<N>& s) {
  Check(s.view().size() < N);
}

template <std::size_t N>
void CheckSame(std::string_view ini, std::string_view key, const upd::FixedString<N>& s) {
  upd::FixedString<N> expected;
  upd::ReadProfileString(ini, "SETUP", key, expected.bytes);
  Check(s.view() == expected.view());
}

void CheckItem(const upd::NameString& item) {
  CheckTerminated(item);
  Check(item.view().find_first_of(",\r\n") == std::string_view::npos);
}

}  // namespace

namespace upd {
void PresentErrorBox(std::string_view caption, std::string_view text) {
  Boxes().push_back({std::string(caption), std::string(text)});
}
}  // namespace upd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static InputFileGuard file;
  {
    std::ofstream out(file.path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Check(static_cast<bool>(out));
  }
  const std::string_view ini(reinterpret_cast<const char*>(data), size);
  upd::ResetRun();
  upd::Run().SetupIniPath = file.path;
  Boxes().clear();

  const int read = upd::ReadSetupDescription();
  if (read == 0) {
    Check(Boxes().size() == 1 && Boxes()[0].caption == "INSTCMMN" && !Boxes()[0].text.empty());
    return 0;
  }
  Check(read == 1 && Boxes().empty());

  const upd::RunState& run = upd::Run();
  const upd::SetupDescription& d = run.Setup;
  CheckSame(ini, "CompanyName", run.Game.CompanyName);
  CheckSame(ini, "GameTitle", run.Game.GameTitle);
  CheckSame(ini, "GameDir", run.Game.GameDir);
  CheckSame(ini, "GameExe", d.GameExe);
  CheckSame(ini, "UninstExe", d.UninstExe);
  Check(!run.Game.CompanyName.empty() && !d.UninstExe.empty());

  Check(d.SetupBmpLast >= 0 && d.SetupBmpLast < static_cast<std::int32_t>(upd::kSetupBmpSlots));
  for (std::size_t k = 0; k < upd::kSetupBmpSlots; ++k) {
    CheckItem(d.SetupBmp[k]);
    if (static_cast<std::int32_t>(k) > d.SetupBmpLast) Check(d.SetupBmp[k].empty());
  }
  Check(d.InstallSelects <= 4 && d.Shortcuts <= 10);
  for (std::int32_t j = 0; j < d.InstallSelects; ++j) {
    const upd::InstallSet& set = d.InstallSets[static_cast<std::size_t>(j)];
    // (An item may be empty: "1:" names a disc and no file.)
    bool needs_cd = false;
    for (std::size_t k = 0; k < upd::kInstallFileSlots; ++k) {
      CheckItem(set.InstallFiles[k]);
      Check(set.InstallDiscs[k] >= 0 && set.InstallDiscs[k] <= 9);
      needs_cd = needs_cd || set.InstallDiscs[k] != 0;
    }
    Check(set.NeedsCD == (needs_cd ? 1 : 0));
  }
  for (std::int32_t a = 0; a < d.Shortcuts; ++a) {
    const upd::ShortcutEntry& e = d.ShortcutEntries[static_cast<std::size_t>(a)];
    for (const auto& field : e.Fields) CheckItem(field);
  }
  for (const auto& f : d.DiskCheckFile) CheckTerminated(f);
  for (const auto& f : d.ExecApp) CheckItem(f);
  CheckTerminated(d.SelectSetupMessage);
  CheckTerminated(d.UninstTitle);
  CheckTerminated(run.Game.GameClass);
  Check(run.SilentMissingKeys == 1);
  return 0;
}
