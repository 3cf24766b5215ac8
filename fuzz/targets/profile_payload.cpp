// Fuzz target: profile blocks as instruments write them, the encoding chosen from content.
//
// Input: u32 point count, u32 uncompressed byte count (both little-endian), then the block.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/mass_calibration.hpp"
#include "reader_lib/raw/profile_payload.hpp"

using namespace vornak;

namespace {

// Point counts above this are skipped: a run-length block of a few bytes may cover 2^24 bins,
// and filling them on every input would slow the search without reaching new code.
constexpr std::uint32_t MAX_FUZZ_BINS = 1u << 16;

// Constants of a real folder's calibration, with powers that cross chunk and clamp edges.
const CalibrationConstants CONSTANTS = [] {
  CalibrationConstants constants;
  constants.a = 0.000572828777461133;
  constants.t0 = 1017.4063219081;
  constants.low = 19573.4992527375;
  constants.high = 93949.2315149798;
  constants.coefficients = {0.0194084226842458, -1.59817794359326e-06, 3.21261224707076e-11,
                            -3.5241336728705e-21, 2.07715767354812e-50, -1.99149674726875e-55};
  constants.powers = {0, 1, 2, 4, 10, 11};
  constants.term_count = 6;
  return constants;
}();

bool same_bits(double left, double right) { return std::bit_cast<std::uint64_t>(left) == std::bit_cast<std::uint64_t>(right); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto point_count = input.take<std::uint32_t>();
  const auto uncompressed_byte_count = input.take<std::uint32_t>();
  const ByteView block = input.rest();
  if (point_count > MAX_FUZZ_BINS) return 0;

  const Result<ProfilePayload> payload = decode_profile_payload(block, point_count, uncompressed_byte_count);
  if (!payload) {
    FUZZ_CHECK(payload.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(!payload.error().message().empty());
    return 0;
  }
  FUZZ_CHECK(payload->intensity.size() == point_count);
  const std::uint32_t mark = block.size() >= 24 ? load_le<std::uint32_t>(block.data() + 16) : 0;
  const bool marked = block.size() >= 24 && mark == (0x90000000u | point_count);
  FUZZ_CHECK((payload->encoding == ProfileEncoding::RunLength) == marked);
  FUZZ_CHECK(payload->x.size() == (payload->encoding == ProfileEncoding::Uncompressed ? point_count : 0));

  if (payload->encoding == ProfileEncoding::RunLength) {
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(payload->first_x) == load_le<std::uint64_t>(block.data()));
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(payload->step) == load_le<std::uint64_t>(block.data() + 8));
  }
  if (payload->encoding == ProfileEncoding::Uncompressed) FUZZ_CHECK(block.size() == 28 * std::uint64_t{point_count});
  if (payload->encoding == ProfileEncoding::LzfAfterPreamble || payload->encoding == ProfileEncoding::WholeBlockLzf) {
    // The header and counts are the stream's, in order, exactly.
    const std::uint64_t payload_bytes = 16 + 4 * std::uint64_t{point_count};
    FUZZ_CHECK(uncompressed_byte_count == 0 || uncompressed_byte_count == payload_bytes);
    const std::size_t start = payload->encoding == ProfileEncoding::LzfAfterPreamble ? 16 : 0;
    const Result<ByteBuffer> decoded = decompress(block.subspan(start), payload_bytes);
    FUZZ_CHECK(decoded.has_value());
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(payload->first_x) == load_le<std::uint64_t>(decoded->data()));
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(payload->step) == load_le<std::uint64_t>(decoded->data() + 8));
    for (std::size_t i = 0; i < point_count; ++i) {
      FUZZ_CHECK(payload->intensity[i] == static_cast<double>(load_le<std::uint32_t>(decoded->data() + 16 + 4 * i)));
    }
  }

  // Calibrated while decoded: the same counts, and exactly the m/z of calibrate_bins over the
  // block's own header (whatever header values the input holds); stored channel x get none.
  const Result<ProfilePayload> calibrated =
      decode_profile_payload(block, point_count, uncompressed_byte_count, TrailingBins::MustBeCoded, &CONSTANTS);
  FUZZ_CHECK(calibrated.has_value() && calibrated->encoding == payload->encoding);
  FUZZ_CHECK(std::ranges::equal(calibrated->intensity, payload->intensity, same_bits));
  if (payload->encoding == ProfileEncoding::Uncompressed) {
    FUZZ_CHECK(calibrated->mz.empty());
  } else {
    std::vector<double> expected(point_count);
    calibrate_bins(CONSTANTS, payload->first_x, payload->step, point_count, expected.data());
    FUZZ_CHECK(std::ranges::equal(calibrated->mz, expected, same_bits));
  }
  return 0;
}
