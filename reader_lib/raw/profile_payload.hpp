// Profile blocks as instruments write them: the encoding is chosen from the block's content,
// then decoded into the block's flight-time axis and one count per bin.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/mass_calibration.hpp"
#include "reader_lib/raw/value_array.hpp"

namespace vornak {

enum class ProfileEncoding : std::uint8_t {
  WholeBlockLzf,     // LZF from the block's first byte: 16-byte header, then u32 counts
  LzfAfterPreamble,  // 16 raw bytes, then LZF of the 16-byte header and u32 counts
  RunLength,         // 16 raw header bytes, the 0x90 word, then run-length tokens
  Uncompressed,      // 28 bytes per point: N f32 channel x, N f64 intensities, two more f64 columns
  // Triple-quadrupole profiles (decoded by quad_blocks, named here with the others):
  F32AxisCounts,      // f32 first x, f32 step, N i32 counts
  F64AxisAbundances,  // f64 first x, f64 step, N f32 abundances
};

// "lzf", "lzf-after-preamble", "run-length", "uncompressed", "f32-axis-counts",
// "f64-axis-abundances".
[[nodiscard]] std::string_view encoding_name(ProfileEncoding encoding) noexcept;

struct ProfilePayload {
  ProfileEncoding encoding = ProfileEncoding::WholeBlockLzf;
  double first_x = 0.0;            // the header's first f64: flight time of bin 0 (0 if uncompressed)
  double step = 0.0;               // the header's second f64: flight-time step between bins (0 if uncompressed)
  ValueArray intensity;   // every bin, zeros included: exactly point_count values
  ValueArray x;           // per-bin x when the block stores it (uncompressed); empty otherwise
  ValueArray mz;          // with calibration constants and a flight-time axis: every bin's m/z
};

// Whether a run-length stream must code the empty bins at its end (with a skip token) or may
// stop after its last non-empty bin, as ion-mobility frame sums do.
enum class TrailingBins : std::uint8_t { MustBeCoded, MayBeSilent };

// Decodes one profile block of `point_count` bins whose record declares
// `uncompressed_byte_count` (0 when the layout has no such field). The encoding is chosen
// from the content as encoding_rule() describes; a block that no encoding decodes to exactly
// point_count bins is a Parse error whose text says what was tried.
// With `calibration`, a block with a flight-time axis also gets the m/z of every bin (as
// calibrate_bins gives them), computed while the block's counts are widened; an uncompressed
// block keeps its stored x and no m/z.
[[nodiscard]] Result<ProfilePayload> decode_profile_payload(ByteView block, std::uint32_t point_count,
                                                            std::uint32_t uncompressed_byte_count,
                                                            TrailingBins trailing = TrailingBins::MustBeCoded,
                                                            const CalibrationConstants* calibration = nullptr);

// The rule decode_profile_payload follows, in words (printed by documentation and tools).
[[nodiscard]] std::string_view encoding_rule() noexcept;

// Run-length tokens (what follows the 0x90 word and the leading-skip word) into exactly
// `point_count` bins of `out`, zeros included, so `out` may start uninitialised.
// `leading_skip` is the word as stored: minus the number of empty bins before the tokens.
// Tokens start 4 bytes wide; a negative token v skips ~(v >> 2) bins and sets the width from
// v & 3 (3: 1 byte, 2: 2 bytes, 1: 4 bytes, 0: 8 bytes). A positive leading-skip word, a token
// or skip that would pass the last bin, or a token cut short is a Parse error; so is a stream that
// ends before the last bin unless `trailing` says such bins may be silent (they are then empty).
// Nothing is written past `point_count` bins.
[[nodiscard]] Result<void> decode_run_length(ByteView tokens, std::int32_t leading_skip, std::uint32_t point_count,
                                             double* out, TrailingBins trailing = TrailingBins::MustBeCoded);

}  // namespace vornak
