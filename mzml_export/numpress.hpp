// MS-Numpress: the lossy encodings of mzML arrays (linear prediction for m/z and times, positive
// integers for counts, short logged floats for other intensities), encoders and decoders.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak::numpress {

// Linear prediction. Every value becomes round(v * fixed_point) as a signed integer; the first
// two are stored whole, each later one as its difference from the straight line through the two
// before it, in half-bytes. Decoded values are within 0.5 / fixed_point of the originals.
//
// The fixed point for `values`: the largest that keeps every stored integer, and every step of a
// decoder's prediction (2·a − b), inside a 32-bit signed integer. Zero when the values cannot be
// encoded (a value that is negative or not finite: decoders read the first two integers as
// unsigned); 1 for an array of zeros or an empty one.
[[nodiscard]] double linear_fixed_point(std::span<const double> values);
// Appends the encoding to `out`; false (nothing appended) when `fixed_point` is not positive and
// finite or some value or difference does not fit 32 bits at that fixed point.
[[nodiscard]] bool encode_linear(std::span<const double> values, double fixed_point, std::vector<unsigned char>& out);
[[nodiscard]] Result<std::vector<double>> decode_linear(std::span<const unsigned char> bytes);

// Positive integers: each value rounded to the nearest integer, in half-bytes. Exact for whole
// numbers from 0 to 2^31 − 1, the range encode_pic accepts (false, nothing appended, otherwise).
[[nodiscard]] bool fits_pic(std::span<const double> values);
[[nodiscard]] bool encode_pic(std::span<const double> values, std::vector<unsigned char>& out);
[[nodiscard]] Result<std::vector<double>> decode_pic(std::span<const unsigned char> bytes);

// Short logged floats: round(ln(v + 1) · fixed_point) in 16 bits. A decoded value w satisfies
// |(w + 1) / (v + 1) − 1| <= exp(0.5 / fixed_point) − 1 (plus rounding of the last bit).
//
// The fixed point for `values`: the largest that keeps ln(max + 1) · fixed_point within 16 bits.
// Zero when the values cannot be encoded (negative or not finite).
[[nodiscard]] double slof_fixed_point(std::span<const double> values);
[[nodiscard]] bool encode_slof(std::span<const double> values, double fixed_point, std::vector<unsigned char>& out);
[[nodiscard]] Result<std::vector<double>> decode_slof(std::span<const unsigned char> bytes);

}  // namespace vornak::numpress
