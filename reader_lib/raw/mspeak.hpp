// Peak blocks of MSPeak.bin: centroided m/z and intensity pairs, in three encodings.
#pragma once

#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/value_array.hpp"

namespace vornak {

// Decodes one peak block; only `format_id` and `point_count` of the location are used.
// An unknown format or a block shorter than 12 bytes per point is a Parse error.
[[nodiscard]] Result<BlockArrays> decode_peak_block(ByteView bytes, const BlockLocation& location);

inline constexpr std::uint32_t PEAK_FORMAT_WIDE = 1;

// Peak columns as stored, for readers that calibrate x themselves. Format 1 (single
// quadrupole): N f64 m/z values then N f64 abundances (16 bytes per point); format 2: N f64 x
// values (flight times on instruments, m/z times 100 in the designed model; returned as
// stored, not divided) then N f32 abundances; format 3: N records of f64 m/z + f32 abundance.
// Abundances widen exactly to f64. An unknown format or a block shorter than its points need
// is a Parse error; bytes after them are ignored.
struct PeakColumns {
  ValueArray x;
  ValueArray abundance;
};
[[nodiscard]] Result<PeakColumns> decode_peak_columns(ByteView bytes, std::uint32_t format_id,
                                                      std::uint32_t point_count);

}  // namespace vornak
