// What every fuzz target shares: a failed property ends the run (libFuzzer keeps the input).
#pragma once

#include <cstdlib>

inline void Check(bool ok) {
  if (!ok) std::abort();
}
