// Whole-buffer deflate to zlib-format streams (RFC 1950) with one of three libraries, so that the
// writer and its benchmark use exactly the same calls.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

enum class DeflateLibrary : std::uint8_t { Isal, Libdeflate, Zlib };

[[nodiscard]] std::string_view library_name(DeflateLibrary library);

// One compressor with its state, reused from array to array; one per thread.
class ZlibDeflater {
 public:
  // ISA-L levels 0 to 3, libdeflate 0 to 12, zlib 0 to 9. Nothing is allocated until the first
  // call of compress().
  ZlibDeflater(DeflateLibrary library, int level);
  ZlibDeflater(ZlibDeflater&&) noexcept;
  ZlibDeflater& operator=(ZlibDeflater&&) noexcept;
  ~ZlibDeflater();

  [[nodiscard]] DeflateLibrary library() const { return library_; }
  [[nodiscard]] int level() const { return level_; }

  // Replaces the contents of `out` with the zlib stream of `input`. A library that cannot be
  // set up or fails is a Parse error.
  [[nodiscard]] Result<void> compress(std::span<const unsigned char> input, std::vector<unsigned char>& out);

 private:
  struct State;
  DeflateLibrary library_;
  int level_;
  std::unique_ptr<State> state_;
};

}  // namespace vornak
