// What a description reader finds that the updater cannot go on with: the box the updater shows
// for it. The readers show nothing and keep no state of their own; the run shows the box
// (ShowFault, error_box.h) and updpack prints its text.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/fixed_string.h"
#include "base/messages.h"

namespace upd {

// The caption of every box about the two description files.

enum class FaultKind : std::uint8_t {
  // A required key missing or empty: "<where> : <key> キーが存在しません". The run names one of
  // UPDATE.INI; one of SETUP.INI ends the run without a box.
  kMissingKey,
  // A value the updater cannot use: a list without its first item or with an item too long for
  // a slot, a count over its slots, the add-on set asked for without its list. Always shown.
  kBadValue,
};

struct DescriptionFault {
  FaultKind kind = FaultKind::kMissingKey;
  std::string_view caption = texts::kSetupErrorCaption;
  LongString text;  // code page 932
};

}  // namespace upd
