// The wizard: the updater's only window, a modal dialog of template 100 (no agreement) or 101
// (agreement box and agree / do-not-agree buttons). Next steps through the start page, the
// confirm page and the update run; Back is enabled only after the run stopped for lack of disk
// space. The update run reports through a RunView (run/run_view.h), never through controls.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string_view>

#include "config/text_format.h"

namespace upd {

inline constexpr int kWizardTemplate = 100;
inline constexpr int kAgreementWizardTemplate = 101;

// Control ids of both templates.
inline constexpr int kNextButton = IDOK;        // 1
inline constexpr int kAbortButton = IDCANCEL;   // 2
inline constexpr int kBackButton = 4;
inline constexpr int kAgreementBox = 1000;
inline constexpr int kInfoLine = 1001;
inline constexpr int kAgreeButton = 1002;
inline constexpr int kDisagreeButton = 1003;

// Results of the dialog: the update finished and the player pressed "完了", or it did not.
inline constexpr INT_PTR kWizardFinished = 0;
inline constexpr INT_PTR kWizardInterrupted = -1;

INT_PTR CALLBACK WizardDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

void ShowStartPage(HWND window);
void ShowConfirmPage(HWND window);

// Formats like the updater's messages (at most 1023 bytes, never half a double-byte character)
// and shows the result on the information line.
void SetInfoText(HWND window, std::string_view format, std::initializer_list<FormatArg> args = {});

}  // namespace upd
