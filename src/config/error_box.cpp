#include "config/error_box.h"

#include "run/state.h"

namespace upd {

void ShowSetupError(std::string_view text) { PresentErrorBox(kSetupErrorCaption, text); }

void ShowUpdaterError(std::string_view text) { PresentErrorBox(Run().UpdaterCaption.view(), text); }

}  // namespace upd
