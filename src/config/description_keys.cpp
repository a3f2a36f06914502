// Single keys of the two description files, each with the fault the updater reports when the key
// is missing or empty. Over the files' bytes, as the profile reader: no box, no run-wide state.
#include <algorithm>

#include "config/profile.h"
#include "config/text_format.h"

namespace upd {
namespace {

// SETUP.INI : %s キーが存在しません
constexpr std::string_view kSetupKeyMissing =
    "SETUP.INI : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1";
// %s : %s キーが存在しません
constexpr std::string_view kUpdateKeyMissing =
    "%s : %s \x83\x4C\x81\x5B\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1";

DescriptionFault MissingKey(LongString text) {
  return {FaultKind::kMissingKey, kSetupErrorCaption, text};
}

}  // namespace

KeyRead ReadSetupValue(std::string_view setup_ini, std::string_view key, std::span<char> destination) {
  std::fill(destination.begin(), destination.end(), '\0');
  KeyRead read;
  if (ReadProfileString(setup_ini, "SETUP", key, destination, read.cut) == 0) {
    read.missing = MissingKey(FormatText(kSetupKeyMissing, {key}));
  }
  return read;
}

KeyRead ReadUpdateValue(std::string_view update_ini, std::string_view section, std::string_view key,
                        std::span<char> destination) {
  std::fill(destination.begin(), destination.end(), '\0');
  KeyRead read;
  if (ReadProfileString(update_ini, section, key, destination, read.cut) == 0) {
    read.missing = MissingKey(FormatText(kUpdateKeyMissing, {section, key}));
  }
  return read;
}

KeyRead ReadSetupInt(std::string_view setup_ini, std::string_view key, std::int32_t& destination) {
  FixedString<kNumberCapacity> text;
  KeyRead read = ReadSetupValue(setup_ini, key, text);
  if (read.found()) destination = ParseDecimal32(text.view());
  return read;
}

}  // namespace upd
