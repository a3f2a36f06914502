// The run's reads of single keys of its two description files, with the box the run shows for a
// missing one. Apart from the profile reader itself, which stays free of boxes and of the
// run-wide state: the plan and updpack read through it alone.
#include <algorithm>

#include "config/error_box.h"
#include "config/profile.h"
#include "config/text_format.h"
#include "run/state.h"

namespace upd {

int ReadSetupValue(std::string_view key, std::span<char> destination) {
  std::fill(destination.begin(), destination.end(), '\0');
  const RunState& run = Run();
  const std::size_t n = run.SetupIniText ? ReadProfileString(*run.SetupIniText, "SETUP", key, destination)
                                         : ReadProfileFile(run.SetupIniPath, "SETUP", key, destination);
  if (n > 0) return 1;
  if (Run().SilentMissingKeys == 0) {
    // SETUP.INI : %s キーが存在しません
    ShowSetupError(FormatText("SETUP.INI : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1",
                              {key}).view());
  }
  return 0;
}

int ReadUpdateValue(std::string_view section, std::string_view key, std::span<char> destination) {
  bool cut = false;
  return ReadUpdateValue(section, key, destination, cut);
}

int ReadUpdateValue(std::string_view section, std::string_view key, std::span<char> destination,
                    bool& cut) {
  std::fill(destination.begin(), destination.end(), '\0');
  if (ReadProfileString(Run().UpdateIniText, section, key, destination, cut) > 0) return 1;
  if (Run().SilentMissingKeys == 0) {
    // %s : %s キーが存在しません
    ShowSetupError(FormatText("%s : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1",
                              {section, key}).view());
  }
  return 0;
}

int ReadSetupInt(std::string_view key, std::int32_t& destination) {
  FixedString<kNumberCapacity> text;
  if (ReadSetupValue(key, text) == 0) return 0;
  destination = ParseDecimal32(text.view());
  return 1;
}

}  // namespace upd
