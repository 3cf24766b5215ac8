// Fuzz target: profile blocks as instruments write them, the encoding chosen from content.
//
// Input: u32 point count, u32 uncompressed byte count (both little-endian), then the block.
#include <bit>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/profile_payload.hpp"

using namespace vornak;

namespace {

// Point counts above this are skipped: a run-length block of a few bytes may cover 2^24 bins,
// and filling them on every input would slow the search without reaching new code.
constexpr std::uint32_t MAX_FUZZ_BINS = 1u << 16;

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
  return 0;
}
