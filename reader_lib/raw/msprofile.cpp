// Profile blocks of MSProfile.bin: LZF-compressed 32-bit counts, m/z spread evenly over the scan range.
//
// This file is compiled with -ffp-contract=off (see reader_lib/CMakeLists.txt): each m/z is
// low + spacing * j with the product rounded on its own, and a fused multiply-add would give
// different last bits on machines that have one.
#include "reader_lib/raw/msprofile.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>

#include "reader_lib/raw/lzf.hpp"

namespace vornak {
namespace {

// Block:   0: 16-byte preamble (not interpreted)    16: LZF stream
// Payload: 0: 16-byte header (not interpreted)      16 + 4i: uint32 count of point i
constexpr std::size_t PREAMBLE_BYTES = 16;
constexpr std::size_t PAYLOAD_HEADER_BYTES = 16;

// The payload is capped, so a point count that passed the payload length check fits an int32,
// which converts to double in vector registers (an unsigned index does not, without AVX-512).
static_assert(MAX_DECOMPRESSED_LEN / 4 <= std::uint64_t{INT32_MAX});

// Calls body(i) for i = 0 ... count - 1 in groups of a fixed size. GCC's cost model at -O2
// vectorises only loops that need no scalar remainder, which the inner loop is.
template <typename Index, typename Body>
inline void for_each_index(Index count, Body body) {
  constexpr Index GROUP = 8;
  Index i = 0;
  for (; count - i >= GROUP; i += GROUP) {
    for (Index lane = 0; lane < GROUP; ++lane) body(i + lane);
  }
  for (; i < count; ++i) body(i);
}

void convert_counts(const std::uint8_t* __restrict counts, std::size_t count, float* __restrict intensity) {
  // A uint32 converts to the nearest float, ties to even: counts above 2^24 lose low bits.
  for_each_index(count, [=](std::size_t i) {
    intensity[i] = static_cast<float>(load_le<std::uint32_t>(counts + 4 * i));
  });
}

void spread_mz(double mz_low, double mz_high, std::int32_t count, double* __restrict mz) {
  const double spacing = count == 1 ? 0.0 : (mz_high - mz_low) / (static_cast<double>(count) - 1.0);
  // Each value afresh from its index, so rounding does not accumulate along the scan.
  for_each_index(count, [=](std::int32_t j) { mz[j] = mz_low + spacing * static_cast<double>(j); });
}

}  // namespace

Result<BlockArrays> decode_profile_block(ByteView bytes, const BlockLocation& block, double mz_low,
                                         double mz_high) {
  if (bytes.size() < PREAMBLE_BYTES) {
    return std::unexpected(Error::parse("MSProfile block too short for preamble"));
  }
  if (!block.uncompressed_byte_count) {
    return std::unexpected(Error::parse("Missing UncompressedByteCount for profile block"));
  }
  BlockArrays arrays;
  const std::uint32_t count = block.point_count;
  if (count == 0) return arrays;

  const Result<ByteBuffer> payload = decompress(bytes.subspan(PREAMBLE_BYTES), *block.uncompressed_byte_count);
  if (!payload) return std::unexpected(payload.error());
  if (payload->size() < PAYLOAD_HEADER_BYTES + 4 * std::uint64_t{count}) {
    return std::unexpected(Error::parse("Decompressed profile block too short for point count"));
  }

  arrays.intensity.resize(count);
  arrays.mz.resize(count);
  convert_counts(payload->data() + PAYLOAD_HEADER_BYTES, count, arrays.intensity.data());
  spread_mz(mz_low, mz_high, static_cast<std::int32_t>(count), arrays.mz.data());
  return arrays;
}

}  // namespace vornak
