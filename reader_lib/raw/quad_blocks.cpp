// Triple-quadrupole point lists and profile blocks.
#include "reader_lib/raw/quad_blocks.hpp"

#include <string>

namespace vornak {
namespace {

constexpr std::uint64_t F32_HEADER = 8;   // f32 first x, f32 step
constexpr std::uint64_t F64_HEADER = 16;  // f64 first x, f64 step

template <typename Stored>
void widen(const std::uint8_t* from, std::uint64_t count, ValueArray& out) {
  out.resize(count);
  for (std::uint64_t i = 0; i < count; ++i) out[i] = static_cast<double>(load_le<Stored>(from + i * sizeof(Stored)));
}

}  // namespace

Result<PointList> decode_point_list(ByteView block, std::uint32_t point_count) {
  const std::uint64_t count = point_count;
  if (block.size() != 8 * count) {  // 8 * (2^32 - 1) fits in 64 bits
    return std::unexpected(Error::parse("point list of " + std::to_string(count) + " points needs " +
                                        std::to_string(8 * count) + " bytes, the block has " +
                                        std::to_string(block.size())));
  }
  PointList points;
  widen<float>(block.data(), count, points.x);
  widen<std::int32_t>(block.data() + 4 * count, count, points.counts);
  return points;
}

Result<QuadProfile> decode_quad_profile(ByteView block, std::uint32_t point_count) {
  const std::uint64_t values = 4 * std::uint64_t{point_count};
  QuadProfile profile;
  if (block.size() == F32_HEADER + values) {
    profile.encoding = QuadProfileEncoding::F32AxisCounts;
    profile.first_x = load_le<float>(block.data());
    profile.step = load_le<float>(block.data() + 4);
    widen<std::int32_t>(block.data() + F32_HEADER, point_count, profile.intensity);
  } else if (block.size() == F64_HEADER + values) {
    profile.encoding = QuadProfileEncoding::F64AxisAbundances;
    profile.first_x = load_le<double>(block.data());
    profile.step = load_le<double>(block.data() + 8);
    widen<float>(block.data() + F64_HEADER, point_count, profile.intensity);
  } else {
    return std::unexpected(Error::parse("profile block of " + std::to_string(point_count) + " bins has " +
                                        std::to_string(block.size()) + " bytes; expected 8 + 4N (" +
                                        std::to_string(F32_HEADER + values) + ") or 16 + 4N (" +
                                        std::to_string(F64_HEADER + values) + ")"));
  }
  return profile;
}

}  // namespace vornak
