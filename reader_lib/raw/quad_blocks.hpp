// Triple-quadrupole blocks: point lists (MRM, SIM) in MSPeak.bin and profile scans in
// MSProfile.bin, in the two encodings those instruments have written.
#pragma once

#include <cstdint>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/value_array.hpp"

namespace vornak {

// N f32 x (the product or SIM m/z of each transition), then N i32 counts: exactly 8N bytes.
struct PointList {
  ValueArray x;
  ValueArray counts;
};

// Decodes a point list of `point_count` points. A block whose size is not exactly 8N is a Parse
// error naming both sizes.
[[nodiscard]] Result<PointList> decode_point_list(ByteView block, std::uint32_t point_count);

enum class QuadProfileEncoding : std::uint8_t {
  F32AxisCounts,      // f32 first x, f32 step, N i32 counts (8 + 4N bytes)
  F64AxisAbundances,  // f64 first x, f64 step, N f32 abundances (16 + 4N bytes)
};

struct QuadProfile {
  QuadProfileEncoding encoding = QuadProfileEncoding::F32AxisCounts;
  double first_x = 0.0;  // as stored, widened
  double step = 0.0;     // as stored, widened: a rounded f32 in the older encoding
  ValueArray intensity;
};

// Decodes a profile block of `point_count` bins; the block's size minus 4N (8 or 16) tells the
// encodings apart. Any other size is a Parse error naming it.
[[nodiscard]] Result<QuadProfile> decode_quad_profile(ByteView block, std::uint32_t point_count);

}  // namespace vornak
