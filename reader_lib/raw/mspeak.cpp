// Peak blocks of MSPeak.bin: a column of x then a column of abundances (formats 1 and 2), or
// records of m/z and abundance (format 3).
#include "reader_lib/raw/mspeak.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

namespace vornak {
namespace {

constexpr std::size_t PEAK_BYTES = 12;       // one float64 m/z and one float32 intensity
constexpr std::size_t WIDE_PEAK_BYTES = 16;  // one float64 m/z and one float64 abundance

// Format 3: N records of 12 bytes.
//   record k at 12k: float64 m/z (offset 0), float32 intensity (offset 8)
// Every other m/z lies at an odd multiple of 4, hence the unaligned loads.
template <typename Abundance>
void decode_interleaved(const std::uint8_t* block, std::size_t count, double* mz, Abundance* abundance) {
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t* record = block + PEAK_BYTES * k;
    mz[k] = load_le<double>(record);
    abundance[k] = load_le<float>(record + 8);
  }
}

// What a reader gets from the x column.
enum class SplitX {
  MzTimes100,  // the designed model's format 2: m/z times 100, divided back here
  AsStored,    // as written: flight times (format 2 on instruments) or m/z (format 1)
};

// Formats 2 and 1: two arrays one after the other.
//   8k, k < N:      float64 x
//   8N + wk, k < N: abundance of w = sizeof(Stored) bytes: float32 (format 2), float64 (format 1)
template <SplitX X, typename Stored, typename Abundance>
void decode_split(const std::uint8_t* __restrict block, std::size_t count, double* __restrict x,
                  Abundance* __restrict abundance) {
  const auto x_at = [block](std::size_t k) {
    const double stored = load_le<double>(block + 8 * k);
    // A division, not a multiplication by 0.01: the two round differently.
    if constexpr (X == SplitX::MzTimes100) {
      return stored / 100.0;
    } else {
      return stored;
    }
  };
  // In groups of a fixed size: GCC's cost model at -O2 vectorises only loops that need no
  // scalar remainder.
  constexpr std::size_t GROUP = 8;
  std::size_t k = 0;
  for (; count - k >= GROUP; k += GROUP) {
    for (std::size_t lane = 0; lane < GROUP; ++lane) x[k + lane] = x_at(k + lane);
  }
  for (; k < count; ++k) x[k] = x_at(k);

  const std::uint8_t* abundances = block + 8 * count;
  if constexpr (std::is_same_v<Abundance, Stored>) {
    std::memcpy(abundance, abundances, sizeof(Stored) * count);
  } else {
    for (k = 0; k < count; ++k) abundance[k] = load_le<Stored>(abundances + sizeof(Stored) * k);
  }
}

Error truncated_columns(std::uint32_t format_id, std::uint64_t point_bytes, std::uint64_t count, std::size_t size) {
  return Error::parse("Truncated MSPeak.bin block: format " + std::to_string(format_id) + " needs " +
                      std::to_string(point_bytes) + " bytes per point, " + std::to_string(point_bytes * count) +
                      " for " + std::to_string(count) + " points, and has " + std::to_string(size));
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
    decode_split<SplitX::MzTimes100, float>(bytes.data(), count, arrays.mz.data(), arrays.intensity.data());
  }
  return arrays;
}

Result<PeakColumns> decode_peak_columns(ByteView bytes, std::uint32_t format_id, std::uint32_t point_count) {
  std::uint64_t point_bytes = 0;
  switch (format_id) {
    case PEAK_FORMAT_WIDE: point_bytes = WIDE_PEAK_BYTES; break;
    case PEAK_FORMAT_SPLIT:
    case PEAK_FORMAT_INTERLEAVED: point_bytes = PEAK_BYTES; break;
    default: return std::unexpected(Error::parse("Unknown peak format ID: " + std::to_string(format_id)));
  }
  const std::uint64_t count = point_count;
  if (bytes.size() < point_bytes * count) {  // at most 16 * (2^32 - 1): no overflow in 64 bits
    return std::unexpected(truncated_columns(format_id, point_bytes, count, bytes.size()));
  }

  PeakColumns columns;
  if (count == 0) return columns;
  columns.x.resize(count);
  columns.abundance.resize(count);
  switch (format_id) {
    case PEAK_FORMAT_WIDE:
      decode_split<SplitX::AsStored, double>(bytes.data(), count, columns.x.data(), columns.abundance.data());
      break;
    case PEAK_FORMAT_INTERLEAVED:
      decode_interleaved(bytes.data(), count, columns.x.data(), columns.abundance.data());
      break;
    default:
      decode_split<SplitX::AsStored, float>(bytes.data(), count, columns.x.data(), columns.abundance.data());
      break;
  }
  return columns;
}

}  // namespace vornak
