#include "base/state.h"

namespace upd {

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
