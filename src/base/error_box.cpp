#include "base/error_box.h"

#include "base/state.h"

namespace upd {

void ShowFault(const DescriptionFault& fault) { PresentErrorBox(fault.caption, fault.text.view()); }

void ShowUpdaterError(std::string_view text) { PresentErrorBox(Run().UpdaterCaption.view(), text); }

}  // namespace upd
