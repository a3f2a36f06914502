#include "startup/run_state.h"

namespace upd {

RunState& Run() {
  static RunState state;
  return state;
}

void ResetRun() { Run() = RunState(); }

}  // namespace upd
