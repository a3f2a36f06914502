// The update run: the wizard's last step, started by Next on the confirm page.
#pragma once

#include "run/run_view.h"

namespace upd {

// Works out the update's plan, tests the free space, writes the package's files by their modes
// and copies from the game's disc. Ends in one of three ways: Finished; stopped by the
// disk-space test (OfferBack, nothing written); or Interrupted after its message. Defined apart
// from the wizard, so that tests can link a RunUpdate of their own.
void RunUpdate(RunView& view);

}  // namespace upd
