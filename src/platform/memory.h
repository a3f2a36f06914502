// A block of fixed (non-moving) global memory that frees itself. The header stays free of
// <windows.h> so that the updater's logic can hold blocks without the API in sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace upd::platform {

class GlobalBlock {
 public:
  // Nothing when the memory cannot be had.
  static std::optional<GlobalBlock> Allocate(std::size_t size);

  GlobalBlock(GlobalBlock&& other) noexcept
      : memory_(std::exchange(other.memory_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  GlobalBlock& operator=(GlobalBlock&& other) noexcept;
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;
  ~GlobalBlock();

  std::span<std::uint8_t> bytes() { return {static_cast<std::uint8_t*>(memory_), size_}; }
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(memory_), size_};
  }

 private:
  GlobalBlock(void* memory, std::size_t size) : memory_(memory), size_(size) {}
  void* memory_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace upd::platform
