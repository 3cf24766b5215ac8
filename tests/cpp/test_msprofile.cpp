// Profile blocks: the checks in order, float32 rounding of counts, and m/z spread over the range.
#include <gtest/gtest.h>
#include <lzf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "block_expectations.hpp"
#include "reader_lib/raw/msprofile.hpp"

namespace vornak {
namespace {

using Bytes = std::vector<std::uint8_t>;

BlockLocation profile(std::uint32_t point_count, std::optional<std::uint32_t> uncompressed_byte_count) {
  BlockLocation location;
  location.format_id = PROFILE_FORMAT_ID;
  location.point_count = point_count;
  location.uncompressed_byte_count = uncompressed_byte_count;
  return location;
}

// A payload of `size` bytes: 16 header bytes, the counts (cut short if `size` is), then 0xEE.
Bytes payload(const std::vector<std::uint32_t>& counts, std::size_t size) {
  Bytes bytes(size, 0xEE);
  std::memset(bytes.data(), 0x5A, 16);
  std::memcpy(bytes.data() + 16, counts.data(), std::min(4 * counts.size(), size - 16));
  return bytes;
}

// A block: 16 preamble bytes, then the payload compressed by liblzf.
Bytes profile_block(const Bytes& payload_bytes) {
  Bytes block(16 + payload_bytes.size() + payload_bytes.size() / 16 + 64, 0xA5);
  const unsigned size = lzf_compress(payload_bytes.data(), static_cast<unsigned>(payload_bytes.size()),
                                     block.data() + 16, static_cast<unsigned>(block.size() - 16));
  block.resize(16 + size);
  return block;
}

const std::vector<std::uint32_t> THREE = {7, 8, 9};

struct CheckCase {
  const char* name;
  Bytes block;
  std::uint32_t point_count;
  std::optional<std::uint32_t> uncompressed_byte_count;
  std::string message;  // empty: decodes to point_count points
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

class ProfileBlockChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ProfileBlockChecks, DecodeOrFail) {
  const CheckCase& c = GetParam();
  const auto result = decode_profile_block(c.block, profile(c.point_count, c.uncompressed_byte_count), 100.0, 200.0);
  testing::expect_points_or_message(result, c.point_count, c.message);
}

const std::string TOO_SHORT = "Decompressed profile block too short for point count";

INSTANTIATE_TEST_SUITE_P(
    InOrder, ProfileBlockChecks,
    ::testing::Values(
        CheckCase{"EmptyBlock", {}, 0, 28, "MSProfile block too short for preamble"},
        CheckCase{"PreambleBeforeMissingLength", Bytes(15, 0), 3, std::nullopt,
                  "MSProfile block too short for preamble"},
        CheckCase{"MissingLengthEvenWithoutPoints", Bytes(16, 0), 0, std::nullopt,
                  "Missing UncompressedByteCount for profile block"},
        // With no points the stream is not looked at, whatever it holds.
        CheckCase{"NoPoints", Bytes(16, 0), 0, 4000000000u, ""},
        CheckCase{"NoPointsDamagedStream", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x00}, 0, 28, ""},
        CheckCase{"EmptyStream", Bytes(16, 0), 1, 20, "LZF: decompressed length 0 != expected 20"},
        CheckCase{"StreamEndsEarly", profile_block(payload(THREE, 28)), 3, 32,
                  "LZF: decompressed length 28 != expected 32"},
        CheckCase{"AboveCap", Bytes(16, 0), 1, 536870913,
                  "LZF: expected decompressed length 536870913 exceeds cap of 536870912"},
        CheckCase{"PayloadOneShort", profile_block(payload(THREE, 27)), 3, 27, TOO_SHORT},
        CheckCase{"PayloadExact", profile_block(payload(THREE, 28)), 3, 28, ""},
        CheckCase{"PayloadLonger", profile_block(payload(THREE, 41)), 3, 41, ""},
        // 16 + 4 * 2^30 wraps to 16 in 32 bits.
        CheckCase{"PointCountOverflow", profile_block(payload(THREE, 28)), 1u << 30, 28, TOO_SHORT}),
    [](const auto& test) { return std::string(test.param.name); });

BlockArrays decode_ok(const Bytes& block, const BlockLocation& location, double mz_low, double mz_high) {
  auto result = decode_profile_block(block, location, mz_low, mz_high);
  EXPECT_TRUE(result.has_value()) << result.error().display();
  return result ? std::move(*result) : BlockArrays{};
}

TEST(ProfileIntensities, NearestFloatTiesToEven) {
  const std::pair<std::uint32_t, float> table[] = {
      {0, 0.0f},
      {1, 1.0f},
      {16777216, 16777216.0f},
      {16777217, 16777216.0f},  // tie, to the even neighbour below
      {16777219, 16777220.0f},  // tie, to the even neighbour above
      {123456789, 123456792.0f},
      {2147483648u, 2147483648.0f},
      {4294967167u, 4294967040.0f},
      {4294967168u, 4294967296.0f},  // tie
      {4294967295u, 4294967296.0f},
  };
  for (const auto& [count, expected] : table) {
    SCOPED_TRACE(count);
    // Nine points: the decoder handles groups of eight and a remainder separately.
    const std::vector<std::uint32_t> counts(9, count);
    const BlockArrays arrays = decode_ok(profile_block(payload(counts, 52 + 3)), profile(9, 55), 0.0, 1.0);
    EXPECT_EQ(arrays.intensity, std::vector<float>(9, expected));
  }
}

struct MzCase {
  const char* name;
  double low, high;
  std::vector<double> expected;
};

void PrintTo(const MzCase& c, std::ostream* out) { *out << c.name; }

class ProfileMz : public ::testing::TestWithParam<MzCase> {};

TEST_P(ProfileMz, SpreadOverRange) {
  const MzCase& c = GetParam();
  const auto points = static_cast<std::uint32_t>(c.expected.size());
  const std::vector<std::uint32_t> counts(points, 3);
  const std::uint32_t size = 16 + 4 * points;
  const BlockArrays arrays = decode_ok(profile_block(payload(counts, size)), profile(points, size), c.low, c.high);
  EXPECT_EQ(arrays.mz, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ProfileMz,
    ::testing::Values(
        MzCase{"FivePoints", 100.0, 200.0, {100.0, 125.0, 150.0, 175.0, 200.0}},
        MzCase{"OnePointIsLow", 100.0, 500.0, {100.0}},
        MzCase{"Decreasing", 200.0, 100.0, {200.0, 175.0, 150.0, 125.0, 100.0}},
        MzCase{"NoRange", 0.0, 0.0, {0.0, 0.0, 0.0, 0.0}},
        // Each value is low + spacing * j, rounded twice, with spacing = (high - low) / 17: a running
        // sum drifts from j = 11 on, a fused multiply-add differs at j = 13 and 17, a multiplication by
        // 1 / 17 at most j, and the last value is not forced to high.
        MzCase{"NoDriftNoFusedMultiplyAdd",
               123.456,
               987.654,
               {123.456, 174.29117647058825, 225.1263529411765, 275.96152941176473, 326.79670588235297,
                377.6318823529412, 428.46705882352944, 479.3022352941177, 530.1374117647059, 580.9725882352941,
                631.8077647058824, 682.6429411764706, 733.4781176470589, 784.3132941176472, 835.1484705882353,
                885.9836470588235, 936.8188235294118, 987.6540000000001}}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace vornak
