// The binary arrays of mzML: little-endian floats, zlib-compressed or not, as base64 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

enum class FloatWidth : std::uint8_t { Bits64, Bits32 };

// One encoder per thread: it keeps its compressor and scratch buffers between arrays.
class ArrayEncoder {
 public:
  ArrayEncoder() = default;
  ArrayEncoder(ArrayEncoder&&) noexcept = default;
  ArrayEncoder& operator=(ArrayEncoder&&) noexcept = default;
  ~ArrayEncoder() = default;

  // Appends to `out` the base64 text of `values` stored as `width` floats (a 32-bit store rounds
  // to nearest), compressed to a zlib stream when `compress`. Returns the number of characters
  // appended; a compressor that cannot be set up or fails is a Parse error.
  [[nodiscard]] Result<std::size_t> append_base64(std::string& out, std::span<const double> values, FloatWidth width,
                                                  bool compress);

  // The same in two steps, so that the length can be written before the text without copying
  // it: prepare() stores and compresses `values` and returns the length of their base64 text;
  // append_prepared() appends that text. `values` must stay alive and unchanged in between.
  [[nodiscard]] Result<std::size_t> prepare(std::span<const double> values, FloatWidth width, bool compress);
  void append_prepared(std::string& out) const;

 private:
  struct CompressorDeleter {
    void operator()(void* compressor) const noexcept;
  };
  std::unique_ptr<void, CompressorDeleter> compressor_;
  std::vector<unsigned char> raw_;
  std::vector<unsigned char> packed_;
  std::span<const unsigned char> prepared_;  // raw_, packed_ or the caller's values
};

// The bytes behind base64 text written by append_base64, inflated when `compressed`: for tests
// and checks. Malformed text or a stream that does not inflate is a Parse error.
[[nodiscard]] Result<std::vector<unsigned char>> decode_base64_array(std::string_view text, bool compressed);

}  // namespace vornak
