// Peak blocks: format and length checks, and the values of both layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "block_expectations.hpp"
#include "reader_lib/raw/mspeak.hpp"

namespace vornak {
namespace {

using Bytes = std::vector<std::uint8_t>;

BlockLocation peaks(std::uint32_t format_id, std::uint32_t point_count) {
  BlockLocation location;
  location.format_id = format_id;
  location.point_count = point_count;
  return location;
}

template <typename T>
void put(Bytes& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A block in either layout, followed by `trailing` bytes of 0xEE.
Bytes peak_block(std::uint32_t format_id, const std::vector<double>& stored_mz,
                 const std::vector<float>& intensity, std::size_t trailing = 0) {
  const std::size_t count = stored_mz.size();
  Bytes block(12 * count + trailing, 0xEE);
  for (std::size_t k = 0; k < count; ++k) {
    if (format_id == PEAK_FORMAT_INTERLEAVED) {
      put(block, 12 * k, stored_mz[k]);
      put(block, 12 * k + 8, intensity[k]);
    } else {
      put(block, 8 * k, stored_mz[k]);
      put(block, 8 * count + 4 * k, intensity[k]);
    }
  }
  return block;
}

struct LengthCase {
  std::uint32_t format_id;
  std::uint32_t point_count;
  std::size_t block_size;
  std::string message;  // empty: decodes to point_count peaks
};

void PrintTo(const LengthCase& c, std::ostream* out) {
  *out << "format " << c.format_id << ", " << c.point_count << " peaks, " << c.block_size << " bytes";
}

class PeakBlockChecks : public ::testing::TestWithParam<LengthCase> {};

TEST_P(PeakBlockChecks, DecodeOrFail) {
  const LengthCase& c = GetParam();
  const Bytes block(c.block_size, 0x40);
  const auto result = decode_peak_block(block, peaks(c.format_id, c.point_count));
  testing::expect_points_or_message(result, c.point_count, c.message);
}

const std::string TRUNCATED = "Truncated MSPeak.bin block";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, PeakBlockChecks,
    ::testing::Values(
        LengthCase{2, 0, 0, ""}, LengthCase{3, 0, 0, ""}, LengthCase{3, 0, 7, ""},
        LengthCase{2, 1, 11, TRUNCATED}, LengthCase{2, 1, 12, ""},
        LengthCase{3, 1, 11, TRUNCATED}, LengthCase{3, 1, 12, ""},
        LengthCase{2, 9, 107, TRUNCATED}, LengthCase{2, 9, 108, ""}, LengthCase{2, 9, 115, ""},
        LengthCase{3, 9, 107, TRUNCATED}, LengthCase{3, 9, 108, ""}, LengthCase{3, 9, 115, ""},
        // 12 * 357913942 wraps to 8 in 32 bits; 12 * (2^32 - 1) does not fit either.
        LengthCase{2, 357913942, 12, TRUNCATED}, LengthCase{3, 4294967295, 64, TRUNCATED},
        // The format is checked first: for no points, and for a block that is also too short.
        LengthCase{5, 0, 0, "Unknown peak format ID: 5"}, LengthCase{1, 4, 48, "Unknown peak format ID: 1"},
        LengthCase{0, 4, 47, "Unknown peak format ID: 0"},
        LengthCase{4294967295, 100, 3, "Unknown peak format ID: 4294967295"}));

// 35 / 100 is 0.35 exactly rounded; 35 * 0.01 is one unit in the last place above it.
const std::vector<double> STORED_MZ = {50000.0, 35.0, 12345.678, -1.5, 0.0, 1e300,
                                       std::numeric_limits<double>::infinity(), 2.5e-320,
                                       9999999.99, 71.0, 100.0};
const std::vector<float> INTENSITY = {1.5f, 0.0f, -2.0f, 3.4e38f, std::numeric_limits<float>::quiet_NaN(),
                                      1e-45f, 16777217.0f, 7.0f, -0.0f, 1234.5f, 42.0f};

TEST(PeakBlockValues, InterleavedAsStored) {
  const Bytes block = peak_block(PEAK_FORMAT_INTERLEAVED, STORED_MZ, INTENSITY, 5);
  const auto result = decode_peak_block(block, peaks(3, 11));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  EXPECT_EQ(result->mz, STORED_MZ);
  ASSERT_EQ(result->intensity.size(), INTENSITY.size());
  EXPECT_EQ(std::memcmp(result->intensity.data(), INTENSITY.data(), sizeof(float) * INTENSITY.size()), 0);
}

TEST(PeakBlockValues, SplitDividesByHundred) {
  ASSERT_NE(35.0 * 0.01, 0.35);  // so that the case below tells a division from a multiplication
  const Bytes block = peak_block(PEAK_FORMAT_SPLIT, STORED_MZ, INTENSITY, 5);
  const auto result = decode_peak_block(block, peaks(2, 11));
  ASSERT_TRUE(result.has_value()) << result.error().display();
  const std::vector<double> expected = {500.0, 0.35, 123.45678, -0.015, 0.0, 1.0000000000000001e298,
                                        std::numeric_limits<double>::infinity(), 2.5e-322,
                                        99999.9999, 0.71, 1.0};
  EXPECT_EQ(result->mz, expected);
  // The intensities start right after the N-th m/z value, at 8 * N.
  ASSERT_EQ(result->intensity.size(), INTENSITY.size());
  EXPECT_EQ(std::memcmp(result->intensity.data(), INTENSITY.data(), sizeof(float) * INTENSITY.size()), 0);
}

}  // namespace
}  // namespace vornak
