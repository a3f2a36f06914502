// What the update run shows the player, and how it ends, told to whoever shows it (the wizard).
// The run reaches no control of the dialog: it says what happens, the view shows it.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string_view>

#include "config/text_format.h"

namespace upd {

class RunView {
 public:
  virtual ~RunView() = default;
  // A message on the information line, formatted like the updater's messages.
  virtual void Show(std::string_view format, std::initializer_list<FormatArg> args = {}) = 0;
  // The run writes: the player waits (no button, the wait cursor).
  virtual void Waiting() = 0;
  // The run stopped before writing anything and may be tried again: Back and Abort, no Next.
  virtual void OfferBack() = 0;
  // The update was carried out.
  virtual void Finished() = 0;
  // The run ended without finishing (its message shown, or given up by the player).
  virtual void Interrupted() = 0;
  // The window that owns the run's boxes and the shell's copy.
  virtual HWND Owner() const = 0;
};

}  // namespace upd
