// Bounded LZF decompression into a buffer of exactly the expected length.
#include "reader_lib/raw/lzf.hpp"

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <utility>

namespace vornak {
namespace {

// Token layout:
//   control < 0x20:  literal run of control + 1 bytes (1 to 32) that follow the control byte
//   control >= 0x20: back reference; length code = control >> 5 (7 means one extra byte is
//                    added), then one offset byte; distance = ((control & 0x1F) << 8) + offset + 1
//                    (1 to 8192), bytes copied = length code + 2 (3 to 264)
constexpr std::size_t MAX_LITERAL_RUN = 32;
constexpr std::size_t MAX_MATCH_RUN = 264;

// The fast loop copies in fixed-size pieces and may write up to COPY_CHUNK - 1 bytes past the
// end of a run. Those bytes stay inside the buffer (the margins below guarantee it) and are
// overwritten by later tokens, because output is produced strictly in order; a stream that
// stops short of the expected length fails, so they are never returned.
constexpr std::size_t COPY_CHUNK = 16;
// With this much input left a token can read its control byte and a whole literal run
// (or the up to three bytes of a back reference) without checking.
constexpr std::size_t FAST_INPUT_MARGIN = 1 + MAX_LITERAL_RUN;
// With this much output left any token, with its overshoot, stays inside the buffer.
constexpr std::size_t FAST_OUTPUT_MARGIN = MAX_MATCH_RUN + COPY_CHUNK;

Error invalid_back_reference() { return Error::parse("LZF: invalid back reference"); }

inline void copy_chunk(std::uint8_t* to, const std::uint8_t* from) noexcept {
  // Through a temporary: with a short distance the two ranges overlap.
  std::uint8_t chunk[COPY_CHUNK];
  std::memcpy(chunk, from, COPY_CHUNK);
  std::memcpy(to, chunk, COPY_CHUNK);
}

// Stores `pattern`, 8 bytes whose period divides 8, at to, to + 8, ... until `end` is passed.
inline void repeat_pattern(std::uint8_t* to, const std::uint8_t* end, std::uint64_t pattern) noexcept {
  do {
    std::memcpy(to, &pattern, 8);
    to += 8;
  } while (to < end);
}

// Copies `length` bytes from `distance` bytes back, with the result of a byte-by-byte copy
// in ascending order, and may write up to COPY_CHUNK - 1 bytes past the end.
inline void copy_match_fast(std::uint8_t* out, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* from = out - distance;
  std::uint8_t* const end = out + length;
  if (distance >= COPY_CHUNK) {
    // Every chunk reads only bytes written before it.
    do {
      copy_chunk(out, from);
      out += COPY_CHUNK;
      from += COPY_CHUNK;
    } while (out < end);
    return;
  }
  // A short distance repeats the last `distance` bytes. The usual ones in profile payloads
  // (runs of one byte, repeated 32-bit counts) divide 8: spread the pattern over a 64-bit word
  // and store that. Reading the pattern whole also avoids loading bytes stored a moment ago
  // in pieces, which stalls the processor.
  switch (distance) {
    case 1:
      repeat_pattern(out, end, 0x0101010101010101ULL * from[0]);
      return;
    case 2:
      repeat_pattern(out, end, 0x0001000100010001ULL * load_le<std::uint16_t>(from));
      return;
    case 4:
      repeat_pattern(out, end, 0x0000000100000001ULL * load_le<std::uint32_t>(from));
      return;
    case 8:
      repeat_pattern(out, end, load_le<std::uint64_t>(from));
      return;
    default:
      break;
  }
  // Other short distances: every piece written from `from` extends the repetition by
  // `distance` correct bytes, after which the repeating pattern is twice as long and can be
  // copied from twice as far back; double until whole chunks are safe.
  while (distance < COPY_CHUNK && out < end) {
    copy_chunk(out, from);
    out += distance;
    distance *= 2;
  }
  for (; out < end; out += COPY_CHUNK, from += COPY_CHUNK) copy_chunk(out, from);
}

}  // namespace

Result<void> check_decompressed_length(std::uint64_t expected_length) {
  if (expected_length > MAX_DECOMPRESSED_LEN) {
    return std::unexpected(Error::parse("LZF: expected decompressed length " + std::to_string(expected_length) +
                                        " exceeds cap of " + std::to_string(MAX_DECOMPRESSED_LEN)));
  }
  return {};
}

Result<ByteBuffer> decompress(ByteView input, std::uint64_t expected_length) {
  if (Result<void> allowed = check_decompressed_length(expected_length); !allowed) {
    return std::unexpected(std::move(allowed.error()));
  }
  ByteBuffer output(static_cast<std::size_t>(expected_length));
  if (Result<void> decoded = decompress_into(input, {output.data(), output.size()}); !decoded) {
    return std::unexpected(std::move(decoded.error()));
  }
  return output;
}

Result<void> decompress_into(ByteView input, std::span<std::uint8_t> output) {
  const std::uint64_t expected_length = output.size();
  std::uint8_t* const out_begin = output.data();
  std::uint8_t* const out_end = out_begin + output.size();
  std::uint8_t* out = out_begin;
  const std::uint8_t* in = input.data();
  const std::uint8_t* const in_end = in + input.size();

  // Fast loop: while both margins hold, no token can read past the input or write past the
  // output, so the only failure left is a back reference reaching before the start of the
  // output. The checked loop's two tests for that merge into one here: a position at or below
  // the high part is always below the distance, and nothing checked between them can fail.
  while (static_cast<std::size_t>(in_end - in) >= FAST_INPUT_MARGIN &&
         static_cast<std::size_t>(out_end - out) >= FAST_OUTPUT_MARGIN) {
    const std::size_t control = *in++;
    if (control < 0x20) {
      const std::size_t run = control + 1;
      std::memcpy(out, in, MAX_LITERAL_RUN);  // a whole run's worth; the excess is rewritten later
      out += run;
      in += run;
      continue;
    }
    // The byte after the control byte is read and masked whether or not it is a length byte:
    // a third of all references are long ones, too many for a branch to be predicted.
    const bool long_match = (control >> 5) == 7;
    const std::size_t length = (control >> 5) + (std::size_t{*in} & (std::size_t{0} - long_match));
    in += long_match;
    const std::size_t distance = ((control & 0x1F) << 8) + *in++ + 1;
    if (distance > static_cast<std::size_t>(out - out_begin)) return std::unexpected(invalid_back_reference());
    copy_match_fast(out, distance, length + 2);
    out += length + 2;
  }

  // Checked loop for the last tokens, with every check in the stream's own order:
  //   stop once the output is full (remaining input is ignored)
  //   literal: input holds the run, output has room for it
  //   back reference: high part below the output position, extra length byte present,
  //                   offset byte present, distance within the output, output has room
  while (in != in_end && out != out_end) {
    const std::size_t control = *in;
    const std::size_t input_left = static_cast<std::size_t>(in_end - in) - 1;  // after the control byte
    const std::size_t output_left = static_cast<std::size_t>(out_end - out);
    const std::size_t position = static_cast<std::size_t>(out - out_begin);
    if (control < 0x20) {
      const std::size_t run = control + 1;
      if (run > input_left || run > output_left) {
        return std::unexpected(Error::parse("LZF: literal run out of bounds"));
      }
      std::memcpy(out, in + 1, run);
      out += run;
      in += 1 + run;
      continue;
    }
    const std::size_t high_part = (control & 0x1F) << 8;
    if (position <= high_part) return std::unexpected(invalid_back_reference());
    ++in;
    std::size_t length = control >> 5;
    if (length == 7) {
      if (in == in_end) return std::unexpected(Error::parse("LZF: truncated length byte"));
      length += *in++;
    }
    if (in == in_end) return std::unexpected(Error::parse("LZF: truncated reference byte"));
    const std::size_t distance = high_part + *in++ + 1;
    if (distance > position) return std::unexpected(invalid_back_reference());
    length += 2;
    if (length > output_left) return std::unexpected(Error::parse("LZF: match run exceeds output bounds"));
    const std::uint8_t* from = out - distance;
    if (distance >= length) {
      std::memcpy(out, from, length);
      out += length;
    } else {
      for (std::uint8_t* const end = out + length; out != end;) *out++ = *from++;
    }
  }

  if (out != out_end) {
    const auto written = static_cast<std::size_t>(out - out_begin);
    return std::unexpected(Error::parse("LZF: decompressed length " + std::to_string(written) + " != expected " +
                                        std::to_string(expected_length)));
  }
  return {};
}

}  // namespace vornak
