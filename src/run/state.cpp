#include "run/state.h"

#include "package/container.h"

namespace upd {

// Out of line: the directory is only forward-declared in the header.
RunState::RunState() = default;
RunState::~RunState() = default;
RunState::RunState(RunState&&) noexcept = default;
RunState& RunState::operator=(RunState&&) noexcept = default;

RunState& Run() {
  static RunState state;
  return state;
}

void ResetRun() { Run() = RunState(); }

}  // namespace upd
