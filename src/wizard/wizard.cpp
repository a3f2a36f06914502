#include "wizard/wizard.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/state.h"
#include "platform/codepage.h"
#include "run/update_run.h"

namespace upd {
namespace {

// The system cursors by number: the IDC_ names are spelt for the ANSI API in this build.
constexpr WORD kWaitCursor = 32514;   // IDC_WAIT
constexpr WORD kArrowCursor = 32512;  // IDC_ARROW

void SetControlText(HWND window, int id, std::string_view cp932_text) {
  // Converted with code page 932 whatever the system's ANSI code page.
  const std::wstring wide = platform::WidenCp932Lossy(cp932_text);
  SetDlgItemTextW(window, id, wide.c_str());
}

// Operations on a control the template lacks find no window and do nothing.
void Enable(HWND window, int id, bool enabled) { EnableWindow(GetDlgItem(window, id), enabled); }
void Show(HWND window, int id, bool shown) {
  if (HWND control = GetDlgItem(window, id)) ShowWindow(control, shown ? SW_SHOW : SW_HIDE);
}

bool IsButtonEnabled(HWND window, int id) {
  HWND button = GetDlgItem(window, id);
  return button && IsWindowEnabled(button);
}

void ShowAgreementControls(HWND window, bool shown) {
  for (int id : {kAgreementBox, kAgreeButton, kDisagreeButton}) Show(window, id, shown);
}

// A text shown as it stands: it goes through the formatter as an argument, never as the format,
// so a '%' in it reads no argument that is not there.
void SetInfoTextAsIs(HWND window, std::string_view text) { SetInfoText(window, "%s", {text}); }

// Up to the first NUL: the agreement texts carry two zero bytes behind their content.
std::string_view TextOf(const std::vector<char>& data) {
  return std::string_view(data.data(), ::strnlen(data.data(), data.size()));
}

void SetWizardButtons(HWND window, bool next, bool back, bool abort) {
  Enable(window, kBackButton, back);
  Enable(window, kNextButton, next);
  Enable(window, kAbortButton, abort);
}

void ShowWaitCursor() { SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(kWaitCursor))); }

void ShowFinishedPage(HWND window) {
  SetInfoText(window, texts::kFinishedText);
  SetControlText(window, kNextButton, texts::kFinishLabel);
  Enable(window, kNextButton, true);
  SetFocus(GetDlgItem(window, kNextButton));
  SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(kArrowCursor)));
}


// The wizard as the update run sees it.
class WizardRunView final : public RunView {
 public:
  explicit WizardRunView(HWND window) : window_(window) {}
  void Show(std::string_view format, std::initializer_list<FormatArg> args) override {
    SetInfoText(window_, format, args);
  }
  void Waiting() override {
    SetWizardButtons(window_, /*next=*/false, /*back=*/false, /*abort=*/false);
    ShowWaitCursor();
  }
  void OfferBack() override { SetWizardButtons(window_, /*next=*/false, /*back=*/true, /*abort=*/true); }
  void Finished() override { ShowFinishedPage(window_); }
  void Interrupted() override { EndDialog(window_, kWizardInterrupted); }
  HWND Owner() const override { return window_; }

 private:
  HWND window_;
};

void OnStep(HWND window, int command) {
  WizardState& wizard = Run().Wizard;
  if (wizard.BusyFlag != 0) return;
  wizard.BusyFlag = 1;
  SetInfoText(window, "");
  if (command == kBackButton) wizard.WizardPage -= 2;
  switch (wizard.WizardPage) {
    case 0: ShowConfirmPage(window); break;
    case 1: {
      WizardRunView view(window);
      RunUpdate(view);
      break;
    }
    case 2: EndDialog(window, kWizardFinished); break;
    default: break;
  }
  // Also after a step that ended the dialog: the dialog is gone only once this handler returns.
  wizard.WizardPage += 1;
  wizard.BusyFlag -= 1;
}

}  // namespace

void SetInfoText(HWND window, std::string_view format, std::initializer_list<FormatArg> args) {
  SetControlText(window, kInfoLine, FormatText(format, args).view());
}

void ShowStartPage(HWND window) {
  RunState& run = Run();
  run.OwnerWindow = window;
  run.Wizard = WizardState{};
  const std::wstring caption = platform::WidenCp932Lossy(run.UpdaterCaption.view());
  SetWindowTextW(window, caption.c_str());

  if (run.Update.AgreementTitleData) {
    SetInfoTextAsIs(window, TextOf(*run.Update.AgreementTitleData));
  } else {
    SetInfoTextAsIs(window, FormatText(texts::kStartFormat, {run.Game.GameTitle}).view());
  }
  Enable(window, kBackButton, false);
  Enable(window, kAbortButton, true);

  if (run.Update.AgreementTextData) {
    Enable(window, kNextButton, false);
    const std::wstring agreement =
        platform::WidenCp932Lossy(TextOf(*run.Update.AgreementTextData));
    SetDlgItemTextW(window, kAgreementBox, agreement.c_str());
    for (int id : {kAgreementBox, kAgreeButton, kDisagreeButton}) Enable(window, id, true);
    CheckRadioButton(window, kAgreeButton, kDisagreeButton, kDisagreeButton);
    ShowAgreementControls(window, true);
  } else {
    Enable(window, kNextButton, true);
    ShowAgreementControls(window, false);
  }
}

void ShowConfirmPage(HWND window) {
  SetInfoText(window, texts::kConfirmText);
  Enable(window, kBackButton, false);
  Enable(window, kNextButton, true);
  Enable(window, kAbortButton, true);
  ShowAgreementControls(window, false);
}

INT_PTR CALLBACK WizardDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_SETCURSOR:
      if (Run().Wizard.BusyFlag == 0) return FALSE;
      ShowWaitCursor();
      // The result the dialog manager hands back: the cursor is set, nobody else sets one.
      SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_INITDIALOG:
      ShowStartPage(window);
      return FALSE;  // no initial keyboard focus
    case WM_COMMAND: {
      if (HIWORD(wparam) != 0) return FALSE;  // notifications, such as the agreement box's
      const int id = LOWORD(wparam);
      switch (id) {
        // A command of a disabled button is no press of it: the dialog manager sends Abort's
        // command for Esc, the close box and Alt+F4, and Next's for Enter, whether or not the
        // button may be pressed (so a finished update is never reported as interrupted, and
        // Enter never passes an agreement that was not accepted).
        case kNextButton:
        case kBackButton:
          if (IsButtonEnabled(window, id)) OnStep(window, id);
          break;
        case kAbortButton:
          if (Run().Wizard.BusyFlag == 0 && IsButtonEnabled(window, id)) {
            EndDialog(window, kWizardInterrupted);
          }
          break;
        case kAgreeButton:
          Enable(window, kNextButton, true);
          CheckRadioButton(window, kAgreeButton, kDisagreeButton, kAgreeButton);
          break;
        case kDisagreeButton:
          Enable(window, kNextButton, false);
          CheckRadioButton(window, kAgreeButton, kDisagreeButton, kDisagreeButton);
          break;
        default:
          break;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace upd
