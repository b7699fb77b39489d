// An allocator for buffers that are written before they are read: resize leaves the new elements
// uninitialised, so a large buffer costs memory only where it is used.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

template <typename T>
struct TDefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = TDefaultInitAllocator<U>;
  };
  TDefaultInitAllocator() = default;
  template <typename U>
  explicit TDefaultInitAllocator(const TDefaultInitAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
