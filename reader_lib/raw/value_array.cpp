// The per-thread cache of large spectrum buffers behind ValueArray.
#include "reader_lib/raw/value_array.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <new>

namespace vornak::recycled {
namespace {

// Buffers are rounded up to a power of two, so that a freed buffer serves any later request of
// its class. Per thread at most BUFFERS_PER_CLASS of a class and CACHE_LIMIT_BYTES in all are
// kept: enough for the arrays of the few spectra a reader holds at a time, little enough that a
// pool of threads does not pin much memory. Larger buffers are neither cached nor rounded up.
constexpr std::size_t BUFFERS_PER_CLASS = 4;
constexpr std::size_t CACHE_LIMIT_BYTES = std::size_t{32} << 20;
constexpr std::size_t SMALLEST_CLASS = std::bit_width(RECYCLED_MIN_BYTES - 1);
constexpr std::size_t CLASS_COUNT = std::bit_width(CACHE_LIMIT_BYTES - 1) - SMALLEST_CLASS + 1;  // 64 KiB .. 32 MiB

std::size_t class_of(std::size_t bytes) noexcept { return std::bit_width(bytes - 1) - SMALLEST_CLASS; }
std::size_t class_bytes(std::size_t size_class) noexcept { return std::size_t{1} << (size_class + SMALLEST_CLASS); }

class Cache {
 public:
  Cache() noexcept { state = State::Alive; }
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() {
    state = State::Gone;
    for (std::size_t size_class = 0; size_class < CLASS_COUNT; ++size_class) {
      for (std::size_t k = 0; k < counts_[size_class]; ++k) ::operator delete(buffers_[size_class][k], class_bytes(size_class));
    }
  }

  void* take(std::size_t size_class) noexcept {
    if (counts_[size_class] == 0) return nullptr;
    held_ -= class_bytes(size_class);
    return buffers_[size_class][--counts_[size_class]];
  }
  bool keep(void* buffer, std::size_t size_class) noexcept {
    const std::size_t bytes = class_bytes(size_class);
    if (counts_[size_class] == BUFFERS_PER_CLASS || bytes > CACHE_LIMIT_BYTES - held_) return false;
    buffers_[size_class][counts_[size_class]++] = buffer;
    held_ += bytes;
    return true;
  }
  [[nodiscard]] std::size_t held() const noexcept { return held_; }

  // A thread's cache is made on its first use and never again once destroyed: buffers freed by
  // other thread-local objects after that, at thread exit, go to the global allocator.
  enum class State : unsigned char { Unmade, Alive, Gone };
  static thread_local State state;

 private:
  std::array<std::array<void*, BUFFERS_PER_CLASS>, CLASS_COUNT> buffers_{};
  std::array<std::size_t, CLASS_COUNT> counts_{};
  std::size_t held_ = 0;
};

thread_local Cache::State Cache::state = Cache::State::Unmade;
thread_local Cache cache;

bool cached_class(std::size_t bytes) noexcept { return bytes >= RECYCLED_MIN_BYTES && bytes <= CACHE_LIMIT_BYTES; }

}  // namespace

void* allocate(std::size_t bytes) {
  if (!cached_class(bytes)) return ::operator new(bytes);
  const std::size_t size_class = class_of(bytes);
  // Touching `cache` makes it on first use in this thread.
  if (Cache::state != Cache::State::Gone) {
    if (void* buffer = cache.take(size_class)) return buffer;
  }
  return ::operator new(class_bytes(size_class));
}

void deallocate(void* pointer, std::size_t bytes) noexcept {
  if (pointer == nullptr) return;
  if (!cached_class(bytes)) {
    ::operator delete(pointer, bytes);
    return;
  }
  const std::size_t size_class = class_of(bytes);
  if (Cache::state != Cache::State::Gone && cache.keep(pointer, size_class)) return;
  ::operator delete(pointer, class_bytes(size_class));
}

std::size_t cached_bytes() noexcept { return Cache::state == Cache::State::Alive ? cache.held() : 0; }

}  // namespace vornak::recycled
