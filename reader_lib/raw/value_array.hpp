// The arrays of decoded spectra: vectors of doubles whose large buffers are recycled per thread.
//
// A profile spectrum's two arrays are hundreds of kilobytes each. Taken fresh from the allocator
// for every spectrum, their pages come from the kernel, zeroed, one fault per page: a fifth of a
// whole profile decode where it was measured. Freed buffers of at least RECYCLED_MIN_BYTES go
// instead to a small cache of the thread that frees them, and the next spectrum decoded on that
// thread takes them back with their pages mapped and warm. Smaller buffers, and what does not fit
// in the cache, use the global allocator as usual.
//
// Elements are default-initialised: resize() does not zero what the decoders overwrite anyway.
// Code that needs zeros asks for them (resize(n, 0.0), assign(n, 0.0)).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace vornak {

inline constexpr std::size_t RECYCLED_MIN_BYTES = std::size_t{64} << 10;

namespace recycled {
// Buffers of `bytes` (any size); deallocate must be given the same size.
[[nodiscard]] void* allocate(std::size_t bytes);
void deallocate(void* pointer, std::size_t bytes) noexcept;
// What the calling thread's cache holds now, in bytes (for tests and measurements).
[[nodiscard]] std::size_t cached_bytes() noexcept;
}  // namespace recycled

template <typename T>
class RecyclingAllocator {
 public:
  using value_type = T;

  RecyclingAllocator() noexcept = default;
  template <typename U>
  RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}  // NOLINT: converting, as allocators are

  [[nodiscard]] T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(recycled::allocate(count * sizeof(T)));
  }
  void deallocate(T* pointer, std::size_t count) noexcept { recycled::deallocate(pointer, count * sizeof(T)); }

  template <typename U>
  void construct(U* pointer) noexcept(noexcept(::new(static_cast<void*>(pointer)) U)) {
    ::new (static_cast<void*>(pointer)) U;
  }
  template <typename U, typename... Args>
  void construct(U* pointer, Args&&... args) {
    ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
  }

  template <typename U>
  friend bool operator==(const RecyclingAllocator&, const RecyclingAllocator<U>&) noexcept {
    return true;
  }
};

using ValueArray = std::vector<double, RecyclingAllocator<double>>;

// Element by element, against a vector of doubles with any other allocator (either side).
template <typename Allocator>
  requires(!std::same_as<Allocator, RecyclingAllocator<double>>)
bool operator==(const ValueArray& left, const std::vector<double, Allocator>& right) {
  return std::ranges::equal(left, right);
}

}  // namespace vornak
