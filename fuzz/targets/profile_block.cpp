// Fuzz target: the profile block decoder, with the block's location and m/z range taken from
// the input.
//
// Input: u32 point count, u32 uncompressed byte count, u8 flags (bit 0: the uncompressed byte
// count is present), f64 m/z low, f64 m/z high (all little-endian), then the block's bytes.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/msprofile.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  BlockLocation location;
  location.format_id = PROFILE_FORMAT_ID;
  location.point_count = input.take<std::uint32_t>();
  const auto uncompressed_byte_count = input.take<std::uint32_t>();
  if (input.take<std::uint8_t>() & 1) location.uncompressed_byte_count = uncompressed_byte_count;
  const auto mz_low = input.take<double>();
  const auto mz_high = input.take<double>();
  const ByteView block = input.rest();
  location.byte_count = static_cast<std::uint32_t>(block.size());

  const Result<BlockArrays> arrays = decode_profile_block(block, location, mz_low, mz_high);
  if (!arrays) {
    const std::string_view message = arrays.error().message();
    FUZZ_CHECK(arrays.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(message == "MSProfile block too short for preamble" ||
               message == "Missing UncompressedByteCount for profile block" ||
               message == "Decompressed profile block too short for point count" || message.starts_with("LZF: "));
    return 0;
  }
  const std::uint32_t count = location.point_count;
  FUZZ_CHECK(arrays->mz.size() == count && arrays->intensity.size() == count);
  if (count == 0) return 0;

  // The intensities are the payload's counts, in order.
  const Result<ByteBuffer> payload = decompress(block.subspan(16), *location.uncompressed_byte_count);
  FUZZ_CHECK(payload.has_value());
  for (std::size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(arrays->intensity[i] == static_cast<float>(load_le<std::uint32_t>(payload->data() + 16 + 4 * i)));
  }
  // A single point sits at the low end, whatever the high end is.
  if (count == 1) FUZZ_CHECK(arrays->mz[0] == mz_low || (std::isnan(mz_low) && std::isnan(arrays->mz[0])));
  return 0;
}
