// Fuzz target: the peak block decoder, with the block's location taken from the input.
//
// Input: u32 format ID, u32 point count (little-endian), then the block's bytes.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/mspeak.hpp"

using namespace vornak;

namespace {

// The same value, NaNs of any payload counting as equal.
bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}
bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  BlockLocation location;
  location.format_id = input.take<std::uint32_t>();
  location.point_count = input.take<std::uint32_t>();
  const ByteView block = input.rest();
  location.byte_count = static_cast<std::uint32_t>(block.size());

  const Result<BlockArrays> arrays = decode_peak_block(block, location);
  const std::uint64_t count = location.point_count;
  const bool known_format = location.format_id == PEAK_FORMAT_SPLIT || location.format_id == PEAK_FORMAT_INTERLEAVED;
  if (!arrays) {
    FUZZ_CHECK(arrays.error().kind() == Error::Kind::Parse);
    if (!known_format) {
      FUZZ_CHECK(arrays.error().message() == "Unknown peak format ID: " + std::to_string(location.format_id));
    } else {
      FUZZ_CHECK(arrays.error().message() == "Truncated MSPeak.bin block");
      FUZZ_CHECK(block.size() < 12 * count);
    }
    return 0;
  }
  FUZZ_CHECK(known_format);
  FUZZ_CHECK(arrays->mz.size() == count && arrays->intensity.size() == count);

  // Every value where its layout puts it, read the plain way.
  for (std::size_t k = 0; k < count; ++k) {
    if (location.format_id == PEAK_FORMAT_INTERLEAVED) {
      FUZZ_CHECK(same(arrays->mz[k], load_le<double>(block.data() + 12 * k)));
      FUZZ_CHECK(same(arrays->intensity[k], load_le<float>(block.data() + 12 * k + 8)));
    } else {
      FUZZ_CHECK(same(arrays->mz[k], load_le<double>(block.data() + 8 * k) / 100.0));
      FUZZ_CHECK(same(arrays->intensity[k], load_le<float>(block.data() + 8 * count + 4 * k)));
    }
  }
  return 0;
}
