// The binary arrays of mzML: little-endian floats or MS-Numpress bytes, zlib-compressed or not, as
// base64 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mzml_export/deflate.hpp"
#include "reader_lib/error.hpp"

namespace vornak {

enum class FloatWidth : std::uint8_t { Bits64, Bits32 };

// How hard zlib-format compression works: each choice names the library and level measured best
// for it (see README.md). None writes the bytes as they are.
enum class Compression : std::uint8_t { None, Fast, Default, Small };

// The library and level behind a choice other than None.
struct DeflateChoice {
  DeflateLibrary library;
  int level;
};
[[nodiscard]] DeflateChoice deflate_choice(Compression compression);

// What MS-Numpress does to an array: nothing, linear prediction (m/z, times; not for a single
// value, which is written plain), or the intensity encodings: positive integers when every value
// is a whole number from 0 to 2^31 - 1 (counts), short logged floats otherwise.
enum class Numpress : std::uint8_t { Off, Linear, Intensity };

// How an array was written, which its mzML terms must say.
enum class ArrayCodec : std::uint8_t { Plain, NumpressLinear, NumpressPositiveInteger, NumpressShortLoggedFloat };

struct PreparedArray {
  std::size_t base64_length = 0;
  ArrayCodec codec = ArrayCodec::Plain;
  bool deflated = false;
};

// One encoder per thread: it keeps its compressor and scratch buffers between arrays.
class ArrayEncoder {
 public:
  ArrayEncoder() = default;
  ArrayEncoder(ArrayEncoder&&) noexcept = default;
  ArrayEncoder& operator=(ArrayEncoder&&) noexcept = default;
  ~ArrayEncoder() = default;

  // Appends to `out` the base64 text of `values` stored as `width` floats (a 32-bit store rounds
  // to nearest), or in the Numpress encoding `numpress` asks for (whose decoded values are
  // doubles, whatever `width`), compressed to a zlib stream unless `compression` is None. An
  // array that the Numpress encoding cannot hold (a value that is not finite, a negative
  // intensity) is stored as floats: the result says what was done. A compressor that cannot be
  // set up or fails is a Parse error.
  [[nodiscard]] Result<PreparedArray> append_base64(std::string& out, std::span<const double> values, FloatWidth width,
                                                    Compression compression, Numpress numpress = Numpress::Off);

  // The same in two steps, so that the length can be written before the text without copying
  // it: prepare() encodes `values` and returns the length of their base64 text; append_prepared()
  // appends that text. `values` must stay alive and unchanged in between.
  [[nodiscard]] Result<PreparedArray> prepare(std::span<const double> values, FloatWidth width, Compression compression,
                                              Numpress numpress = Numpress::Off);
  void append_prepared(std::string& out) const;

 private:
  // Created on first use, one per choice, and kept.
  std::unique_ptr<ZlibDeflater> deflaters_[4];
  std::vector<unsigned char> raw_;
  std::vector<unsigned char> packed_;
  std::span<const unsigned char> prepared_;  // raw_, packed_ or the caller's values
};

// The bytes behind base64 text written by append_base64, inflated when `compressed`: for tests
// and checks. Malformed text or a stream that does not inflate is a Parse error.
[[nodiscard]] Result<std::vector<unsigned char>> decode_base64_array(std::string_view text, bool compressed);

// The values of an array of `codec` from its (inflated) bytes: for tests and checks. Plain
// arrays are read as `width` floats. Bytes that do not decode are a Parse error.
[[nodiscard]] Result<std::vector<double>> decode_array_values(std::span<const unsigned char> bytes, ArrayCodec codec,
                                                              FloatWidth width);

}  // namespace vornak
