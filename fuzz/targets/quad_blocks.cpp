// Fuzz target: triple-quadrupole blocks, point lists and both profile encodings.
//
// Input: u32 point count, u8 kind (even: point list, odd: profile), then the block.
#include <cmath>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/quad_blocks.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto point_count = input.take<std::uint32_t>();
  const bool profile = (input.take<std::uint8_t>() & 1) != 0;
  const ByteView block = input.rest();
  const std::uint64_t values = 4 * std::uint64_t{point_count};

  if (!profile) {
    const Result<PointList> points = decode_point_list(block, point_count);
    FUZZ_CHECK(points.has_value() == (block.size() == 2 * values));
    if (!points) {
      FUZZ_CHECK(points.error().message().starts_with("point list of "));
      return 0;
    }
    FUZZ_CHECK(points->x.size() == point_count && points->counts.size() == point_count);
    for (std::size_t i = 0; i < point_count; ++i) {
      // Counts are 32-bit integers, each read from its own four bytes after the x values.
      FUZZ_CHECK(points->counts[i] == std::trunc(points->counts[i]));
      FUZZ_CHECK(points->counts[i] == static_cast<double>(load_le<std::int32_t>(block.data() + values + 4 * i)));
    }
    return 0;
  }

  const Result<QuadProfile> decoded = decode_quad_profile(block, point_count);
  const bool f32_axis = block.size() == 8 + values;
  const bool f64_axis = block.size() == 16 + values;
  FUZZ_CHECK(decoded.has_value() == (f32_axis || f64_axis));
  if (!decoded) {
    FUZZ_CHECK(decoded.error().message().starts_with("profile block of "));
    return 0;
  }
  FUZZ_CHECK(decoded->intensity.size() == point_count);
  FUZZ_CHECK((decoded->encoding == QuadProfileEncoding::F32AxisCounts) == f32_axis);
  if (f32_axis) {
    for (const double count : decoded->intensity) FUZZ_CHECK(count == std::trunc(count));
  } else {
    // Abundances are f32: widening and narrowing back is exact (NaN aside).
    for (const double value : decoded->intensity) {
      FUZZ_CHECK(std::isnan(value) || static_cast<double>(static_cast<float>(value)) == value);
    }
  }
  return 0;
}
