// Where one spectral block lies, and the two arrays a block decodes into.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vornak {

inline constexpr std::uint32_t PROFILE_FORMAT_ID = 1;
inline constexpr std::uint32_t PEAK_FORMAT_SPLIT = 2;
inline constexpr std::uint32_t PEAK_FORMAT_INTERLEAVED = 3;

struct BlockLocation {
  std::uint32_t format_id = 0;   // 1: profile block; 2, 3: peak block
  std::uint64_t offset = 0;      // byte position in the data file
  std::uint32_t byte_count = 0;  // exactly this many bytes are read
  std::uint32_t point_count = 0;
  std::optional<std::uint32_t> uncompressed_byte_count;  // present for profile blocks only

  friend bool operator==(const BlockLocation&, const BlockLocation&) = default;
};

// Decoded points of one block: m/z values and intensities of equal length.
struct BlockArrays {
  std::vector<double> mz;
  std::vector<float> intensity;
};

}  // namespace vornak
