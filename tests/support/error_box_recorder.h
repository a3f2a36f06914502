// The native tests' definition of the error box: it records instead of showing.
#pragma once

#include <string>
#include <vector>

namespace updtest {

struct RecordedBox {
  std::string caption;
  std::string text;
  bool operator==(const RecordedBox&) const = default;
};

// Boxes shown since the last call, oldest first; the record is emptied.
std::vector<RecordedBox> TakeBoxes();

}  // namespace updtest
