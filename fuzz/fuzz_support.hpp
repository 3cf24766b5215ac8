// What every fuzz target shares: reading fields off the front of an input, and a check that
// stops the run with a message when an invariant fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>

namespace vornak::fuzz {

using ByteView = std::span<const std::uint8_t>;

// Aborts, so that libFuzzer keeps the input and the replay test fails.
[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
  std::abort();
}

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::vornak::fuzz::check_failed(#condition, __FILE__, __LINE__))

// Fields taken in order from the front of an input. A field that the input ends inside reads
// as if the missing bytes were zero, so every input, however short, means something.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  // A little-endian value of T.
  template <typename T>
  [[nodiscard]] T take() {
    static_assert(std::is_trivially_copyable_v<T>);
    std::uint8_t raw[sizeof(T)] = {};
    const ByteView field = take_bytes(sizeof(T));
    if (!field.empty()) std::memcpy(raw, field.data(), field.size());
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }

  // Up to `count` bytes, fewer when the input ends first.
  [[nodiscard]] ByteView take_bytes(std::size_t count) {
    const std::size_t length = count < bytes_.size() ? count : bytes_.size();
    const ByteView field = bytes_.first(length);
    bytes_ = bytes_.subspan(length);
    return field;
  }

  [[nodiscard]] ByteView rest() { return take_bytes(bytes_.size()); }
  [[nodiscard]] std::size_t remaining() const { return bytes_.size(); }

 private:
  ByteView bytes_;
};

}  // namespace vornak::fuzz
