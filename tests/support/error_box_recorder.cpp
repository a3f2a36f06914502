#include "error_box_recorder.h"

#include <utility>

#include "base/error_box.h"

namespace updtest {
namespace {
std::vector<RecordedBox>& Boxes() {
  static std::vector<RecordedBox> boxes;
  return boxes;
}
}  // namespace

std::vector<RecordedBox> TakeBoxes() { return std::exchange(Boxes(), {}); }

}  // namespace updtest

namespace upd {
void PresentErrorBox(std::string_view caption, std::string_view text) {
  updtest::Boxes().push_back({std::string(caption), std::string(text)});
}
}  // namespace upd
