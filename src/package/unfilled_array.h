// Memory whose size comes from package data. It is taken without throwing, so that a damaged
// size is refused like any other damage, and without being filled, so that a stream that breaks
// early costs only the pages it wrote.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

namespace upd {

template <typename T>
class UnfilledArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are made in place and never destroyed one by one");

 public:
  UnfilledArray() = default;

  // Room for `capacity` elements, none made yet. False when the memory cannot be had.
  [[nodiscard]] bool Reserve(std::size_t capacity) {
    memory_.reset();
    size_ = capacity_ = 0;
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
    memory_.reset(static_cast<T*>(::operator new(capacity * sizeof(T), std::nothrow)));
    if (!memory_ && capacity != 0) return false;
    capacity_ = capacity;
    return true;
  }

  // `count` elements holding whatever the memory held: for bytes a decoder fills.
  [[nodiscard]] bool AllocateUnfilled(std::size_t count)
    requires std::is_trivially_default_constructible_v<T>
  {
    if (!Reserve(count)) return false;
    size_ = count;
    return true;
  }

  // Appends within the reserved room (the caller keeps count).
  void PushBack(const T& value) { ::new (static_cast<void*>(memory_.get() + size_++)) T(value); }

  // Keeps the first `count` elements.
  void Shrink(std::size_t count) {
    if (count < size_) size_ = count;
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<T> span() { return {memory_.get(), size_}; }
  std::span<const T> span() const { return {memory_.get(), size_}; }
  T& operator[](std::size_t i) { return memory_.get()[i]; }
  const T& operator[](std::size_t i) const { return memory_.get()[i]; }

 private:
  struct Free {
    void operator()(T* p) const { ::operator delete(p); }
  };
  std::unique_ptr<T, Free> memory_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace upd
