#include "config/update_description.h"

#include <initializer_list>
#include <utility>

#include "config/profile.h"

namespace upd {
namespace {
constexpr std::string_view kSetupSection = "SETUP";
}  // namespace

UpdateDescriptionRead ReadUpdateDescription(std::string_view update_ini) {
  UpdateDescriptionRead read;
  GameIdentity& game = read.game;
  for (auto [key, field] : {std::pair<std::string_view, NameString*>{"CompanyName", &game.CompanyName},
                            {"GameTitle", &game.GameTitle},
                            {"GameClass", &game.GameClass},
                            {"GameDir", &game.GameDir}}) {
    KeyRead key_read = ReadUpdateValue(update_ini, kSetupSection, key, *field);
    if (!key_read.found()) {
      read.fault = std::move(key_read.missing);
      return read;
    }
  }

  UpdateDescription& update = read.update;
  ReadUpdateValue(update_ini, kSetupSection, "GameTitleA", update.GameTitleA);
  ReadUpdateValue(update_ini, kSetupSection, "UpdaterVersion", update.UpdaterVersion);
  ReadUpdateValue(update_ini, kSetupSection, "UpdaterTitle", update.UpdaterTitle);
  ReadUpdateValue(update_ini, kSetupSection, "DataFolder", update.DataFolder);
  ReadUpdateValue(update_ini, kSetupSection, "UpdateMessage", update.UpdateMessage);
  ReadUpdateValue(update_ini, kSetupSection, "AgreementText", read.agreement_text);
  ReadUpdateValue(update_ini, kSetupSection, "AgreementTitle", read.agreement_title);
  return read;
}

}  // namespace upd
