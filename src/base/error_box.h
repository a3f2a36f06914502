// The two error boxes of the updater. The core only formats and chooses the caption; showing
// the box is `PresentErrorBox`, which each build defines: the updater with a real modal box
// (owner `OwnerWindow`, stop icon, one OK button), the native tests with a recorder.
#pragma once

#include <string_view>

#include "base/description_fault.h"

namespace upd {

// Defined once per build. Both texts are code page 932 bytes. Returns when the box is closed.
void PresentErrorBox(std::string_view caption, std::string_view text);

// The box of a description file's fault, with its caption ("INSTCMMN").
void ShowFault(const DescriptionFault& fault);
// Box with the updater's caption (`UpdaterCaption`, "UPDATE" until the caption is composed).
void ShowUpdaterError(std::string_view text);

}  // namespace upd
