// Bounded LZF decompression into a buffer of exactly the expected length.
#include "reader_lib/raw/lzf.hpp"

#include <cstddef>
#include <cstring>
#include <string>

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

// Copies `length` bytes from `distance` bytes back, with the result of a byte-by-byte copy
// in ascending order, and may write up to COPY_CHUNK - 1 bytes past the end.
inline void copy_match_fast(std::uint8_t* out, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* from = out - distance;
  std::uint8_t* const end = out + length;
  // A short distance repeats the last `distance` bytes. Every piece written from `from` extends
  // that repetition by `distance` correct bytes, after which the repeating pattern is twice
  // as long and can be copied from twice as far back; double until whole chunks are safe.
  while (distance < COPY_CHUNK && out < end) {
    copy_chunk(out, from);
    out += distance;
    distance *= 2;
  }
  // Now every chunk reads only bytes written before it.
  for (; out < end; out += COPY_CHUNK, from += COPY_CHUNK) copy_chunk(out, from);
}

}  // namespace

Result<ByteBuffer> decompress(ByteView input, std::uint64_t expected_length) {
  if (expected_length > MAX_DECOMPRESSED_LEN) {
    return std::unexpected(Error::parse("LZF: expected decompressed length " + std::to_string(expected_length) +
                                        " exceeds cap of " + std::to_string(MAX_DECOMPRESSED_LEN)));
  }
  ByteBuffer output(static_cast<std::size_t>(expected_length));

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
    std::size_t length = control >> 5;
    if (length == 7) length += *in++;
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
  return output;
}

}  // namespace vornak
