// Profile blocks of MSProfile.bin: LZF-compressed intensities, m/z spread over the scan range.
#pragma once

#include <cstdint>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

// Decodes one profile block; only `uncompressed_byte_count` and `point_count` of the location
// are used. The m/z values run evenly from mz_low to mz_high. Failures are Parse errors.
[[nodiscard]] Result<BlockArrays> decode_profile_block(ByteView bytes, const BlockLocation& block,
                                                       double mz_low, double mz_high);

// `count` m/z values running evenly from mz_low to mz_high (just mz_low for one), each taken
// afresh from its index as mz_low + spacing * j, so rounding does not accumulate.
[[nodiscard]] std::vector<double> spread_mz(double mz_low, double mz_high, std::int32_t count);

}  // namespace vornak
