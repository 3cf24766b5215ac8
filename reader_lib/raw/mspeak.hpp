// Peak blocks of MSPeak.bin: centroided m/z and intensity pairs, in two encodings.
#pragma once

#include "reader_lib/error.hpp"
#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

// Decodes one peak block; only `format_id` and `point_count` of the location are used.
// An unknown format or a block shorter than 12 bytes per point is a Parse error.
[[nodiscard]] Result<BlockArrays> decode_peak_block(ByteView bytes, const BlockLocation& location);

}  // namespace vornak
