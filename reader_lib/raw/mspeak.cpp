// Peak blocks of MSPeak.bin: split (format 2) and interleaved (format 3) m/z and intensity pairs.
#include "reader_lib/raw/mspeak.hpp"

#include <cstddef>
#include <cstring>
#include <string>

namespace vornak {
namespace {

constexpr std::size_t PEAK_BYTES = 12;  // one float64 m/z and one float32 intensity

// Format 3: N records of 12 bytes.
//   record k at 12k: float64 m/z (offset 0), float32 intensity (offset 8)
// Every other m/z lies at an odd multiple of 4, hence the unaligned loads.
void decode_interleaved(const std::uint8_t* block, std::size_t count, double* mz, float* intensity) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* record = block + PEAK_BYTES * k;
    mz[k] = load_le<double>(record);
    intensity[k] = load_le<float>(record + 8);
  }
}

// Format 2: two arrays one after the other.
//   8k, k < N:      float64 m/z times 100
//   8N + 4k, k < N: float32 intensity
void decode_split(const std::uint8_t* __restrict block, std::size_t count, double* __restrict mz,
                  float* __restrict intensity) {
  // In groups of a fixed size: GCC's cost model at -O2 vectorises only loops that need no
  // scalar remainder. A division, not a multiplication by 0.01: the two round differently.
  constexpr std::size_t GROUP = 8;
  std::size_t k = 0;
  for (; count - k >= GROUP; k += GROUP) {
    for (std::size_t lane = 0; lane < GROUP; ++lane) {
      mz[k + lane] = load_le<double>(block + 8 * (k + lane)) / 100.0;
    }
  }
  for (; k < count; ++k) mz[k] = load_le<double>(block + 8 * k) / 100.0;
  std::memcpy(intensity, block + 8 * count, sizeof(float) * count);
}

}  // namespace

Result<BlockArrays> decode_peak_block(ByteView bytes, const BlockLocation& location) {
  const std::uint32_t format_id = location.format_id;
  if (format_id != PEAK_FORMAT_SPLIT && format_id != PEAK_FORMAT_INTERLEAVED) {
    return std::unexpected(Error::parse("Unknown peak format ID: " + std::to_string(format_id)));
  }
  const std::uint64_t count = location.point_count;
  if (bytes.size() < PEAK_BYTES * count) {  // at most 12 * (2^32 - 1): no overflow in 64 bits
    return std::unexpected(Error::parse("Truncated MSPeak.bin block"));
  }

  BlockArrays arrays;
  if (count == 0) return arrays;
  arrays.mz.resize(count);
  arrays.intensity.resize(count);
  if (format_id == PEAK_FORMAT_INTERLEAVED) {
    decode_interleaved(bytes.data(), count, arrays.mz.data(), arrays.intensity.data());
  } else {
    decode_split(bytes.data(), count, arrays.mz.data(), arrays.intensity.data());
  }
  return arrays;
}

}  // namespace vornak
