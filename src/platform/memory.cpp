#include "platform/memory.h"

#include <windows.h>

#include <algorithm>

namespace upd::platform {

std::optional<GlobalBlock> GlobalBlock::Allocate(std::size_t size) {
  // A block of no bytes is still a block: ask for one byte so that it has an address to free.
  void* memory = ::GlobalAlloc(GMEM_FIXED, std::max<std::size_t>(size, 1));
  if (!memory) return std::nullopt;
  return GlobalBlock(memory, size);
}

GlobalBlock& GlobalBlock::operator=(GlobalBlock&& other) noexcept {
  if (this != &other) {
    if (memory_) ::GlobalFree(memory_);
    memory_ = std::exchange(other.memory_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

GlobalBlock::~GlobalBlock() {
  if (memory_) ::GlobalFree(memory_);
}

}  // namespace upd::platform
