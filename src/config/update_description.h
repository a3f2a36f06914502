// The [SETUP] section of UPDATE.INI as the updater reads it at its start. Required, in this
// order: CompanyName, GameTitle, GameClass, GameDir (the game's identity until SETUP.INI gives
// the installed game's). Then, optional: GameTitleA, UpdaterVersion, UpdaterTitle, DataFolder,
// UpdateMessage, and the names of the agreement's package entries, AgreementText and
// AgreementTitle, whose contents the run takes from the package.
#pragma once

#include <optional>
#include <string_view>

#include "base/description_fault.h"
#include "base/state.h"

namespace upd {

struct UpdateDescriptionRead {
  GameIdentity game;
  UpdateDescription update;   // the agreement texts stay none: they are package entries
  NameString agreement_text;  // the entries' names; empty when not given
  NameString agreement_title;
  // The first required key missing or empty; nothing after it is read.
  std::optional<DescriptionFault> fault;
};

// Reads [SETUP] from UPDATE.INI's bytes.
UpdateDescriptionRead ReadUpdateDescription(std::string_view update_ini);

}  // namespace upd
