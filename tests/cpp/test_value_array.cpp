// The per-thread recycling of large spectrum buffers behind ValueArray.
#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reader_lib/raw/value_array.hpp"

namespace vornak {
namespace {

// What a thread gets back after freeing a buffer: the same buffer when it is large and fits the
// cache (whatever the exact size within its class), a fresh one otherwise; and what the cache
// holds meanwhile.
TEST(ValueArray, LargeBuffersAreReusedOnTheThreadThatFreedThem) {
  constexpr std::size_t KIB = 1024 / sizeof(double);  // doubles per KiB
  const struct {
    const char* label;
    std::size_t first;   // doubles of the freed array
    std::size_t second;  // doubles of the next one
    std::size_t cached_after_free;
    bool reused;  // the second array has the first one's buffer
    std::size_t cached_after_next;
  } cases[] = {
      {"the same size", 480 * KIB, 480 * KIB, 512 << 10, true, 0},
      {"smaller, same power-of-two class", 480 * KIB, 300 * KIB, 512 << 10, true, 0},
      {"a larger class", 480 * KIB, 600 * KIB, 512 << 10, false, 512 << 10},
      {"below the recycled size", 32 * KIB, 32 * KIB, 0, false, 0},
      {"as large as the whole cache", 32 * 1024 * KIB, 32 * 1024 * KIB, 32 << 20, true, 0},
      {"larger than the whole cache", 32 * 1024 * KIB + 1, 32 * 1024 * KIB + 1, 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    // On a thread of its own, so that each case starts with an empty cache.
    std::thread([&] {
      const double* first_data = nullptr;
      {
        ValueArray values(c.first);
        values.back() = 1.0;
        first_data = values.data();
      }
      EXPECT_EQ(recycled::cached_bytes(), c.cached_after_free);
      const ValueArray next(c.second);
      if (c.reused) {
        EXPECT_EQ(next.data(), first_data);
      }
      EXPECT_EQ(next.size(), c.second);
      EXPECT_EQ(recycled::cached_bytes(), c.cached_after_next);
    }).join();
  }
}

// Buffers freed on another thread go to that thread's cache; a thread's cache keeps a bounded
// number of buffers, and ending the thread releases them (LeakSanitizer checks that).
TEST(ValueArray, FreedOnAnotherThreadAndBounded) {
  std::vector<ValueArray> made(12);
  std::thread([&] {
    for (ValueArray& values : made) values.resize(100'000);
  }).join();
  std::thread([&] {
    made.clear();  // twelve 1 MiB buffers freed here: four of the class are kept
    EXPECT_EQ(recycled::cached_bytes(), 4 * (std::size_t{1} << 20));
    ValueArray reused(100'000);
    EXPECT_EQ(recycled::cached_bytes(), 3 * (std::size_t{1} << 20));
  }).join();
  EXPECT_EQ(recycled::cached_bytes(), 0U);  // this thread freed nothing large
}

}  // namespace
}  // namespace vornak
