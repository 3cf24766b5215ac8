// Fuzz target: run-length profile tokens, compared with a decoder that reads one token at a time
// into a zero-filled array.
//
// Input: u32 point count (its top bit set: the empty bins at the end may be left uncoded, as in
// ion-mobility frame sums), i32 leading-skip word (both little-endian), then the tokens.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/profile_payload.hpp"

using namespace vornak;

namespace {

// Point counts above this are skipped: every bin is written, so a large count costs its
// array's time and memory on every input without reaching code that small counts do not.
constexpr std::uint32_t MAX_FUZZ_BINS = 1u << 16;

// The token format taken literally, sharing no code with the decoder under test: the bins
// start at zero, a count stores and moves on, a skip moves on. nullopt: the stream is invalid.
std::optional<std::vector<double>> decode_slowly(ByteView tokens, std::int32_t leading_skip,
                                                 std::uint32_t point_count, bool silent_end) {
  std::vector<double> bins(point_count, 0.0);
  if (leading_skip > 0) return std::nullopt;
  std::uint64_t bin = static_cast<std::uint64_t>(-static_cast<std::int64_t>(leading_skip));
  if (bin > point_count) return std::nullopt;
  std::size_t width = 4;
  std::size_t at = 0;
  while (at < tokens.size()) {
    if (tokens.size() - at < width) return std::nullopt;
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < width; ++i) raw |= std::uint64_t{tokens[at + i]} << (8 * i);
    at += width;
    std::int64_t value = static_cast<std::int64_t>(raw);  // two's complement for 8 bytes
    if (width < 8 && (raw >> (8 * width - 1)) != 0) value -= std::int64_t{1} << (8 * width);
    if (value >= 0) {
      if (bin >= point_count) return std::nullopt;
      bins[bin++] = static_cast<double>(value);
    } else {
      const auto skip = static_cast<std::uint64_t>(~(value >> 2));
      if (skip > point_count - bin) return std::nullopt;
      bin += skip;
      const int code = static_cast<int>(value & 3);
      width = code == 3 ? 1 : code == 2 ? 2 : code == 1 ? 4 : 8;
    }
  }
  if (bin != point_count && !silent_end) return std::nullopt;
  return bins;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto count_word = input.take<std::uint32_t>();
  const std::uint32_t point_count = count_word & 0x7FFFFFFFu;
  const bool silent_end = (count_word >> 31) != 0;
  const auto leading_skip = input.take<std::int32_t>();
  const ByteView tokens = input.rest();
  if (point_count > MAX_FUZZ_BINS) return 0;

  // Exactly point_count slots, NaN where nothing was written (counts are never NaN).
  std::vector<double> out(point_count, std::numeric_limits<double>::quiet_NaN());
  const Result<void> result = decode_run_length(tokens, leading_skip, point_count, out.data(),
                                               silent_end ? TrailingBins::MayBeSilent : TrailingBins::MustBeCoded);
  const std::optional<std::vector<double>> expected = decode_slowly(tokens, leading_skip, point_count, silent_end);
  FUZZ_CHECK(result.has_value() == expected.has_value());
  if (!result) {
    FUZZ_CHECK(result.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(result.error().message().starts_with("Run-length "));
    return 0;
  }
  for (std::size_t i = 0; i < point_count; ++i) {
    FUZZ_CHECK(!std::isnan(out[i]));  // every bin written, zeros included
    FUZZ_CHECK(out[i] == (*expected)[i]);
  }
  return 0;
}
