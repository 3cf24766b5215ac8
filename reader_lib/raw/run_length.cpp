// Run-length profile tokens: counts of occupied bins, and skips over empty ones that also set
// the width of the tokens after them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "reader_lib/raw/profile_payload.hpp"

namespace vornak {
namespace {

// Token stream, starting 4 bytes wide:
//   v >= 0:  the count of the next bin
//   v <  0:  ~(v >> 2) empty bins follow (0 to 2^61 - 1), and the tokens after this one are
//            as wide as v & 3 says: 3 -> 1 byte, 2 -> 2 bytes, 1 -> 4 bytes, 0 -> 8 bytes
// Tokens are signed little-endian integers of the current width.
constexpr std::size_t FIRST_TOKEN_WIDTH = 4;

constexpr std::size_t width_of(std::int64_t skip_token) noexcept {
  switch (skip_token & 3) {
    case 3: return 1;
    case 2: return 2;
    case 1: return 4;
    default: return 8;
  }
}

// Where a pass over the tokens stands; every bin before `bin` has been written.
struct Cursor {
  std::size_t position = 0;  // in the token bytes
  std::uint64_t bin = 0;
  std::size_t width = FIRST_TOKEN_WIDTH;
};

// Decodes tokens of one width until a skip token (which sets the next width) or the end of
// the tokens (width 0). Counts widen to double: exact for every width but 8 bytes, whose
// counts above 2^53 round to the nearest double.
template <typename Token>
Result<void> decode_tokens_of_width(ByteView tokens, std::uint64_t point_count, double* out, Cursor& cursor) {
  while (tokens.size() - cursor.position >= sizeof(Token)) {
    const std::size_t at = cursor.position;
    const auto value = static_cast<std::int64_t>(load_le<Token>(tokens.data() + at));
    cursor.position += sizeof(Token);
    if (value >= 0) {
      if (cursor.bin == point_count) {
        return std::unexpected(Error::parse("Run-length count at token byte " + std::to_string(at) +
                                            " lies past the last of the " + std::to_string(point_count) +
                                            " bins"));
      }
      out[cursor.bin++] = static_cast<double>(value);
      continue;
    }
    const auto skip = static_cast<std::uint64_t>(~(value >> 2));  // value >> 2 <= -1: skip >= 0
    if (skip > point_count - cursor.bin) {
      return std::unexpected(Error::parse("Run-length skip of " + std::to_string(skip) + " bins at token byte " +
                                          std::to_string(at) + " passes the " + std::to_string(point_count) +
                                          " bins (from bin " + std::to_string(cursor.bin) + ")"));
    }
    std::fill_n(out + cursor.bin, skip, 0.0);
    cursor.bin += skip;
    cursor.width = width_of(value);
    return {};
  }
  if (cursor.position != tokens.size()) {
    return std::unexpected(Error::parse("Run-length token of " + std::to_string(sizeof(Token)) +
                                        " bytes truncated at token byte " + std::to_string(cursor.position) +
                                        " (" + std::to_string(tokens.size() - cursor.position) + " bytes left)"));
  }
  cursor.width = 0;
  return {};
}

}  // namespace

Result<void> decode_run_length(ByteView tokens, std::int32_t leading_skip, std::uint32_t point_count, double* out,
                               TrailingBins trailing) {
  if (leading_skip > 0) {
    return std::unexpected(Error::parse("Run-length leading-skip word is " + std::to_string(leading_skip) +
                                        "; it holds minus the number of empty bins, so it cannot be positive"));
  }
  const std::uint64_t count = point_count;
  const auto leading = static_cast<std::uint64_t>(-static_cast<std::int64_t>(leading_skip));
  if (leading > count) {
    return std::unexpected(Error::parse("Run-length leading skip of " + std::to_string(leading) +
                                        " bins passes the " + std::to_string(count) + " bins"));
  }
  std::fill_n(out, leading, 0.0);

  // Runs of tokens of one width, each ended by a skip token that gives the next width:
  //   while tokens remain: decode tokens of the current width until a skip token
  Cursor cursor;
  cursor.bin = leading;
  while (cursor.width != 0) {
    Result<void> run;
    switch (cursor.width) {
      case 1: run = decode_tokens_of_width<std::int8_t>(tokens, count, out, cursor); break;
      case 2: run = decode_tokens_of_width<std::int16_t>(tokens, count, out, cursor); break;
      case 4: run = decode_tokens_of_width<std::int32_t>(tokens, count, out, cursor); break;
      default: run = decode_tokens_of_width<std::int64_t>(tokens, count, out, cursor); break;
    }
    if (!run) return run;
  }
  // A stream ends on the last bin: trailing empty bins take a skip token, except in the blocks
  // whose writers leave them out (ion-mobility frame sums).
  if (cursor.bin != count && trailing == TrailingBins::MayBeSilent) {
    std::fill(out + cursor.bin, out + count, 0.0);
  } else if (cursor.bin != count) {
    return std::unexpected(Error::parse("Run-length tokens end at bin " + std::to_string(cursor.bin) + " of " +
                                        std::to_string(count)));
  }
  return {};
}

}  // namespace vornak
