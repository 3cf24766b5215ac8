// Profile blocks of MSProfile.bin: LZF-compressed 32-bit counts, m/z spread evenly over the scan range.
//
// This file is compiled with -ffp-contract=off (see reader_lib/CMakeLists.txt): each m/z is
// low + spacing * j with the product rounded on its own, and a fused multiply-add would give
// different last bits on machines that have one.
#include "reader_lib/raw/msprofile.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <vector>

#include "reader_lib/raw/lzf.hpp"

namespace vornak {
namespace {

// Block:   0: 16-byte preamble (not interpreted)    16: LZF stream
// Payload: 0: 16-byte header (not interpreted)      16 + 4i: uint32 count of point i
constexpr std::size_t PREAMBLE_BYTES = 16;
constexpr std::size_t PAYLOAD_HEADER_BYTES = 16;

// The payload is capped, so a point count that passed the payload length check fits an int32,
// which converts to double in vector registers (an unsigned index does not, without AVX-512).
static_assert(MAX_DECOMPRESSED_LEN / 4 <= std::uint64_t{INT32_MAX});

// The values value_of(0), value_of(1), ... value_of(count - 1) as an iterator range, from which
// a vector is built in one pass: its range constructor allocates the final size once and writes
// each element once, where resize would zero-fill every element first and double the stores.
// Only what the constructor uses is defined (difference, increment, dereference, comparison).
template <typename ValueOf>
class Generated {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = std::invoke_result_t<const ValueOf&, std::int32_t>;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = value_type;

  Generated(const ValueOf& value_of, std::int32_t index) noexcept : value_of_(&value_of), index_(index) {}

  value_type operator*() const { return (*value_of_)(index_); }
  Generated& operator++() noexcept {
    ++index_;
    return *this;
  }
  friend difference_type operator-(const Generated& end, const Generated& begin) noexcept {
    return static_cast<difference_type>(end.index_) - begin.index_;
  }
  friend bool operator==(const Generated& a, const Generated& b) noexcept { return a.index_ == b.index_; }

 private:
  const ValueOf* value_of_;
  std::int32_t index_;
};

template <typename ValueOf>
auto generate(std::int32_t count, const ValueOf& value_of) {
  using Value = std::invoke_result_t<const ValueOf&, std::int32_t>;
  return std::vector<Value>(Generated(value_of, 0), Generated(value_of, count));
}

std::vector<float> convert_counts(const std::uint8_t* counts, std::int32_t count) {
  // A uint32 converts to the nearest float, ties to even: counts above 2^24 lose low bits.
  return generate(count, [counts](std::int32_t i) {
    return static_cast<float>(load_le<std::uint32_t>(counts + 4 * static_cast<std::size_t>(i)));
  });
}

}  // namespace

std::vector<double> spread_mz(double mz_low, double mz_high, std::int32_t count) {
  const double spacing = count == 1 ? 0.0 : (mz_high - mz_low) / (static_cast<double>(count) - 1.0);
  // Each value afresh from its index, so rounding does not accumulate along the scan.
  return generate(count, [=](std::int32_t j) { return mz_low + spacing * static_cast<double>(j); });
}

Result<BlockArrays> decode_profile_block(ByteView bytes, const BlockLocation& block, double mz_low,
                                         double mz_high) {
  if (bytes.size() < PREAMBLE_BYTES) {
    return std::unexpected(Error::parse("MSProfile block too short for preamble"));
  }
  if (!block.uncompressed_byte_count) {
    return std::unexpected(Error::parse("Missing UncompressedByteCount for profile block"));
  }
  BlockArrays arrays;
  const std::uint32_t count = block.point_count;
  if (count == 0) return arrays;

  const Result<ByteBuffer> payload = decompress(bytes.subspan(PREAMBLE_BYTES), *block.uncompressed_byte_count);
  if (!payload) return std::unexpected(payload.error());
  if (payload->size() < PAYLOAD_HEADER_BYTES + 4 * std::uint64_t{count}) {
    return std::unexpected(Error::parse("Decompressed profile block too short for point count"));
  }

  const auto points = static_cast<std::int32_t>(count);
  arrays.intensity = convert_counts(payload->data() + PAYLOAD_HEADER_BYTES, points);
  arrays.mz = spread_mz(mz_low, mz_high, points);
  return arrays;
}

}  // namespace vornak
