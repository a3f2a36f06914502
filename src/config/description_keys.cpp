// Single keys of the two description files, each with the fault the updater reports when the key
// is missing or empty. Over the files' bytes, as the profile reader: no box, no run-wide state.
#include <algorithm>

#include "base/messages.h"
#include "config/profile.h"
#include "config/text_format.h"

namespace upd {
namespace {

DescriptionFault MissingKey(LongString text) {
  return {FaultKind::kMissingKey, texts::kSetupErrorCaption, text};
}

}  // namespace

KeyRead ReadSetupValue(std::string_view setup_ini, std::string_view key, std::span<char> destination) {
  std::fill(destination.begin(), destination.end(), '\0');
  KeyRead read;
  if (ReadProfileString(setup_ini, "SETUP", key, destination, read.cut) == 0) {
    read.missing = MissingKey(FormatText(texts::kSetupKeyMissing, {key}));
  }
  return read;
}

KeyRead ReadUpdateValue(std::string_view update_ini, std::string_view section, std::string_view key,
                        std::span<char> destination) {
  std::fill(destination.begin(), destination.end(), '\0');
  KeyRead read;
  if (ReadProfileString(update_ini, section, key, destination, read.cut) == 0) {
    read.missing = MissingKey(FormatText(texts::kUpdateKeyMissing, {section, key}));
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
