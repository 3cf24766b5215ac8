// Little-endian field reads from byte spans, and an owned byte buffer that is not zero-filled.
//
// Readers check a length once against what remains, then read fields at fixed offsets.
// Record decoders take fixed-extent spans, so those offsets are checked at compile time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace vornak {

using ByteView = std::span<const std::uint8_t>;

static_assert(std::endian::native == std::endian::little,
              "field reads assume a little-endian host");

// Unchecked loads for callers that have already proven the range.
template <typename T>
[[nodiscard]] inline T load_le(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

// A field of type T at a compile-time offset inside a fixed-extent span.
template <typename T, std::size_t Offset, std::size_t Extent>
[[nodiscard]] inline T field_at(std::span<const std::uint8_t, Extent> record) noexcept {
  static_assert(Extent != std::dynamic_extent, "field_at needs a fixed-extent span");
  static_assert(Offset + sizeof(T) <= Extent, "field lies outside the record");
  return load_le<T>(record.data() + Offset);
}

// A field of type T at a run-time offset; the caller has checked offset + sizeof(T) <= size.
template <typename T>
[[nodiscard]] inline T field_at(ByteView bytes, std::size_t offset) noexcept {
  return load_le<T>(bytes.data() + offset);
}

// An owned byte buffer of fixed size whose contents start uninitialised: the producer
// writes every byte or discards the buffer.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t size)
      : data_(size == 0 ? nullptr : std::make_unique_for_overwrite<std::uint8_t[]>(size)), size_(size) {}

  [[nodiscard]] std::uint8_t* data() noexcept { return data_.get(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return data_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] ByteView view() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

}  // namespace vornak
