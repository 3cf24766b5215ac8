// Profile blocks as instruments write them: the encoding is recognised from the block's bytes,
// then decoded into the flight-time header and one intensity per bin.
#include "reader_lib/raw/profile_payload.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/mass_calibration.hpp"

namespace vornak {
namespace {

// Decoded LZF payload (and the raw start of a run-length block):
//   0: f64 flight time of bin 0     8: f64 flight-time step     16 + 4i: u32 count of bin i
constexpr std::size_t HEADER_BYTES = 16;
constexpr std::size_t COUNT_BYTES = 4;

// Run-length block:
//   0: the 16-byte header   16: u32 mark, 0x90 in the high byte, N in the low 24 bits
//   20: i32 minus the number of leading empty bins   24: tokens (see run_length.cpp)
constexpr std::size_t RUN_LENGTH_MARK_AT = 16;
constexpr std::size_t RUN_LENGTH_SKIP_AT = 20;
constexpr std::size_t RUN_LENGTH_TOKENS_AT = 24;
constexpr std::uint32_t RUN_LENGTH_MARK = 0x90;

// Uncompressed channel block (ICP-MS), four columns of N values each:
//   0: f32 x of each channel   4N: f64 intensity   12N, 20N: two more f64 columns, not returned
constexpr std::size_t CHANNEL_POINT_BYTES = 28;
constexpr std::size_t CHANNEL_INTENSITY_AT = 4;  // times N

// Why this order: LZF decoding stops once the output is full and ignores the rest of its
// input, so a stream can seem to decode from the wrong start. A stream of 16 + 4N bytes never
// takes 28N bytes when N > 1 (at worst two input bytes per output byte). Read from byte 16, a
// whole-block stream of an instrument fails at its first token (byte 16 lies in its first
// literal run, the step's top byte, and reads as a back reference into nothing). Read from
// byte 0, the designed model's zero preamble is eight one-byte literal runs, after which its
// stream can fill the output before its end: so the preamble form is tried first.
constexpr std::string_view RULE =
    "A profile block of N bins is decoded by the first of these that applies:\n"
    "1. run-length: the block has at least 24 bytes and its u32 at byte 16 has 0x90 in the high byte and "
    "N in the low 24 bits; bytes 0-15 are the header (f64 flight time of bin 0, f64 step); "
    "UncompressedByteCount is not used. The tokens must reach the last bin, except in ion-mobility "
    "frame sums, whose streams stop at their last non-empty bin.\n"
    "2. uncompressed: the block has exactly 28N bytes: N f32 channel x values, N f64 intensities, then "
    "two f64 columns that are not returned.\n"
    "3. lzf-after-preamble: LZF from byte 16 decodes to exactly 16 + 4N bytes: the header, then N u32 "
    "counts (bytes 0-15 are not interpreted).\n"
    "4. lzf: LZF from byte 0 decodes to exactly 16 + 4N bytes, laid out the same.\n"
    "For the LZF forms a non-zero UncompressedByteCount must equal 16 + 4N (0: the record has no such "
    "field). Any other block is a parse error that says why each form did not apply.";

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

void read_header(const std::uint8_t* header, ProfilePayload& payload) {
  payload.first_x = load_le<double>(header);
  payload.step = load_le<double>(header + 8);
}

// The 0x90 word matched: the block is run-length encoded, whatever the tokens hold.
Result<ProfilePayload> decode_run_length_block(ByteView block, std::uint32_t point_count, TrailingBins trailing) {
  ProfilePayload payload;
  payload.encoding = ProfileEncoding::RunLength;
  read_header(block.data(), payload);
  payload.intensity.resize(point_count);
  const Result<void> decoded = decode_run_length(block.subspan(RUN_LENGTH_TOKENS_AT),
                                                 field_at<std::int32_t>(block, RUN_LENGTH_SKIP_AT), point_count,
                                                 payload.intensity.data(), trailing);
  if (!decoded) return std::unexpected(decoded.error());
  return payload;
}

// The decompressed payload of one LZF block at a time, for each thread. It is kept from block to
// block, so that a spectrum's counts land in pages that are already mapped and in cache instead
// of fresh ones; a block larger than KEPT_SCRATCH_BYTES gets a buffer of its own, so that one
// huge block does not pin its memory in every thread that met it.
constexpr std::size_t KEPT_SCRATCH_BYTES = std::size_t{16} << 20;

class PayloadScratch {
 public:
  std::span<std::uint8_t> take(std::size_t size) {
    if (size > KEPT_SCRATCH_BYTES) {
      large_ = ByteBuffer(size);
      return {large_.data(), size};
    }
    if (size > kept_.size()) kept_ = ByteBuffer(std::max(size, kept_.size() * 2));
    return {kept_.data(), size};
  }
  void release_large() noexcept { large_ = ByteBuffer(); }

 private:
  ByteBuffer kept_;
  ByteBuffer large_;
};

thread_local PayloadScratch payload_scratch;

constexpr std::size_t WIDEN_CHUNK = 1024;  // bins widened and calibrated together, in L1

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void widen_counts(const std::uint8_t* counts, std::size_t count, double* out) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(load_le<std::uint32_t>(counts + COUNT_BYTES * i));
}

// `stream` decodes to exactly the header and point_count u32 counts, or the LZF error. The counts
// are widened and, with `calibration`, the bins calibrated a chunk at a time while the chunk's
// counts are in cache.
Result<ProfilePayload> decode_lzf_block(ByteView stream, std::uint32_t point_count, ProfileEncoding encoding,
                                        const CalibrationConstants* calibration) {
  const std::uint64_t payload_bytes = HEADER_BYTES + COUNT_BYTES * std::uint64_t{point_count};
  if (Result<void> allowed = check_decompressed_length(payload_bytes); !allowed) return std::unexpected(allowed.error());
  const std::span<std::uint8_t> decoded = payload_scratch.take(static_cast<std::size_t>(payload_bytes));
  const Result<void> decompressed = decompress_into(stream, decoded);
  if (!decompressed) {
    payload_scratch.release_large();
    return std::unexpected(decompressed.error());
  }
  ProfilePayload payload;
  payload.encoding = encoding;
  read_header(decoded.data(), payload);
  payload.intensity.resize(point_count);
  if (calibration != nullptr) payload.mz.resize(point_count);
  const std::uint8_t* counts = decoded.data() + HEADER_BYTES;
  for (std::size_t start = 0; start < point_count; start += WIDEN_CHUNK) {
    const std::size_t size = std::min<std::size_t>(WIDEN_CHUNK, point_count - start);
    widen_counts(counts + COUNT_BYTES * start, size, payload.intensity.data() + start);
    if (calibration != nullptr) {
      calibrate_bin_range(*calibration, payload.first_x, payload.step, start, size, payload.mz.data() + start);
    }
  }
  payload_scratch.release_large();
  return payload;
}

// The caller has checked that the block holds exactly CHANNEL_POINT_BYTES per point.
ProfilePayload decode_channel_block(ByteView block, std::uint32_t point_count) {
  ProfilePayload payload;
  payload.encoding = ProfileEncoding::Uncompressed;
  payload.x.resize(point_count);
  payload.intensity.resize(point_count);
  const std::uint8_t* intensities = block.data() + CHANNEL_INTENSITY_AT * std::size_t{point_count};
  for (std::size_t i = 0; i < point_count; ++i) {
    payload.x[i] = static_cast<double>(load_le<float>(block.data() + sizeof(float) * i));
    payload.intensity[i] = load_le<double>(intensities + sizeof(double) * i);
  }
  return payload;
}

}  // namespace

std::string_view encoding_name(ProfileEncoding encoding) noexcept {
  switch (encoding) {
    case ProfileEncoding::WholeBlockLzf: return "lzf";
    case ProfileEncoding::LzfAfterPreamble: return "lzf-after-preamble";
    case ProfileEncoding::RunLength: return "run-length";
    case ProfileEncoding::Uncompressed: return "uncompressed";
    case ProfileEncoding::F32AxisCounts: return "f32-axis-counts";
    case ProfileEncoding::F64AxisAbundances: return "f64-axis-abundances";
  }
  return "unknown";
}

std::string_view encoding_rule() noexcept { return RULE; }

Result<ProfilePayload> decode_profile_payload(ByteView block, std::uint32_t point_count,
                                              std::uint32_t uncompressed_byte_count, TrailingBins trailing,
                                              const CalibrationConstants* calibration) {
  const std::uint64_t count = point_count;
  std::string tried;  // why each form did not apply, for the error at the end

  // 1. Run-length, recognised by its mark alone.
  if (block.size() >= RUN_LENGTH_TOKENS_AT) {
    const std::uint32_t mark = field_at<std::uint32_t>(block, RUN_LENGTH_MARK_AT);
    const std::uint32_t marked_count = mark & 0xFFFFFFu;
    if (mark >> 24 == RUN_LENGTH_MARK && marked_count == count) {
      Result<ProfilePayload> payload = decode_run_length_block(block, point_count, trailing);
      if (payload && calibration != nullptr) {
        payload->mz.resize(point_count);
        calibrate_bins(*calibration, payload->first_x, payload->step, point_count, payload->mz.data());
      }
      return payload;
    }
    tried = mark >> 24 == RUN_LENGTH_MARK
                ? "run-length: the 0x90 word at byte 16 gives " + std::to_string(marked_count) + " bins"
                : "run-length: the u32 at byte 16 is " + hex32(mark) + ", not 0x90 in the high byte";
  } else {
    tried = "run-length: shorter than 24 bytes";
  }

  // 2. Uncompressed channels, by size alone.
  const std::uint64_t channel_bytes = CHANNEL_POINT_BYTES * count;  // below 2^37: no overflow
  if (block.size() == channel_bytes) return decode_channel_block(block, point_count);
  tried += "; uncompressed: " + std::to_string(block.size()) + " bytes, not 28 x " + std::to_string(count) + " = " +
           std::to_string(channel_bytes);

  // 3 and 4. LZF, after 16 raw bytes and from the block's first byte, in that order (the comment on RULE says why).
  const std::uint64_t payload_bytes = HEADER_BYTES + COUNT_BYTES * count;
  if (uncompressed_byte_count != 0 && uncompressed_byte_count != payload_bytes) {
    tried += "; lzf: UncompressedByteCount " + std::to_string(uncompressed_byte_count) + " is not 16 + 4 x " +
             std::to_string(count) + " = " + std::to_string(payload_bytes);
  } else {
    if (block.size() >= HEADER_BYTES) {
      Result<ProfilePayload> after_preamble =
          decode_lzf_block(block.subspan(HEADER_BYTES), point_count, ProfileEncoding::LzfAfterPreamble, calibration);
      if (after_preamble) return after_preamble;
      tried += "; lzf-after-preamble: " + after_preamble.error().message();
    } else {
      tried += "; lzf-after-preamble: shorter than 16 bytes";
    }
    Result<ProfilePayload> whole = decode_lzf_block(block, point_count, ProfileEncoding::WholeBlockLzf, calibration);
    if (whole) return whole;
    tried += "; lzf: " + whole.error().message();
  }

  return std::unexpected(Error::parse("Profile block of " + std::to_string(count) + " bins (" +
                                      std::to_string(block.size()) + " bytes) is in no known encoding: " + tried));
}

}  // namespace vornak
