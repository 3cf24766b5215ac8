// MS-Numpress encoders and decoders. Integers travel as half-bytes: a header half-byte says how
// many of the 32-bit value's leading half-bytes are all zeros (0..8) or, plus 8, all ones
// (9..15); the remaining half-bytes follow, least significant first. Half-bytes fill each byte
// high half first; an odd count leaves the last low half zero. Fixed points are stored as the
// eight bytes of a double, most significant first; whole integers as four bytes, least first.
#include "mzml_export/numpress.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace vornak::numpress {
namespace {

constexpr double INT32_LIMIT = 2147483647.0;
constexpr std::size_t FIXED_POINT_BYTES = 8;

void append_fixed_point(double fixed_point, std::vector<unsigned char>& out) {
  const auto bits = std::bit_cast<std::uint64_t>(fixed_point);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(bits >> shift));
}

Result<double> read_fixed_point(std::span<const unsigned char> bytes) {
  if (bytes.size() < FIXED_POINT_BYTES) {
    return std::unexpected(Error::parse("numpress array of " + std::to_string(bytes.size()) +
                                        " bytes has no fixed point"));
  }
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < FIXED_POINT_BYTES; ++i) bits = (bits << 8) | bytes[i];
  const double fixed_point = std::bit_cast<double>(bits);
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) {
    return std::unexpected(Error::parse("numpress fixed point " + std::to_string(fixed_point) + " is not positive"));
  }
  return fixed_point;
}

void append_int32(std::uint32_t value, std::vector<unsigned char>& out) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

// Collects half-bytes into bytes, high half first. Each integer's half-bytes are put together
// in one word and shifted into a bit buffer at once, which then gives up its whole bytes.
class HalfByteWriter {
 public:
  explicit HalfByteWriter(std::vector<unsigned char>& out) : out_(out) {}

  void put(std::uint32_t value) {
    // Leading half-bytes that are all zeros (the value's top one is 0) or all ones (0xf); a run
    // of ones keeps its last half-byte, which says the value is negative.
    const unsigned zeros = static_cast<unsigned>(std::countl_zero(value)) / 4;
    const unsigned ones = static_cast<unsigned>(std::countl_one(value)) / 4;
    unsigned leading = 0;
    unsigned header = 0;
    if (zeros > 0) {
      leading = zeros;
      header = zeros;
    } else if (ones > 0) {
      leading = ones < 8 ? ones : 7;
      header = 8 + leading;
    }
    const unsigned digits = 8 - leading;
    // The value's half-bytes in reverse order, so that its least significant one comes first.
    std::uint32_t reversed = std::byteswap(value);
    reversed = ((reversed & 0x0f0f0f0fU) << 4) | ((reversed >> 4) & 0x0f0f0f0fU);
    const std::uint64_t word = (std::uint64_t{header} << (4 * digits)) | (std::uint64_t{reversed} >> (32 - 4 * digits));
    pending_ = (pending_ << (4 * (digits + 1))) | word;
    bits_ += 4 * (digits + 1);
    while (bits_ >= 8) {
      bits_ -= 8;
      out_.push_back(static_cast<unsigned char>(pending_ >> bits_));
    }
  }
  void finish() {
    if (bits_ != 0) out_.push_back(static_cast<unsigned char>((pending_ & 0xf) << 4));
    bits_ = 0;
  }

 private:
  std::vector<unsigned char>& out_;
  std::uint64_t pending_ = 0;  // the last bits_ bits are not written yet (fewer than 8 between integers)
  unsigned bits_ = 0;
};

// Reads integers written by HalfByteWriter from `bytes`.
class HalfByteReader {
 public:
  explicit HalfByteReader(std::span<const unsigned char> bytes) : bytes_(bytes), count_(bytes.size() * 2) {}

  // True when every value has been read: no half-byte left, or only the padding of an odd count.
  [[nodiscard]] bool done() const {
    if (position_ == count_) return true;
    return count_ - position_ == 1 && nibble(position_) == 0;
  }

  Result<std::uint32_t> next() {
    const std::uint32_t header = nibble(position_++);
    const unsigned leading = header <= 8 ? header : header - 8;
    const std::size_t digits = 8 - leading;
    if (count_ - position_ < digits) {
      return std::unexpected(Error::parse("numpress integer cut short at half-byte " + std::to_string(position_)));
    }
    std::uint32_t value = 0;
    if (header > 8) value = ~std::uint32_t{0} << (4 * digits);
    for (std::size_t i = 0; i < digits; ++i) value |= nibble(position_++) << (4 * i);
    return value;
  }

 private:
  [[nodiscard]] std::uint32_t nibble(std::size_t at) const {
    const unsigned char byte = bytes_[at / 2];
    return at % 2 == 0 ? std::uint32_t{byte} >> 4 : std::uint32_t{byte} & 0xf;
  }

  std::span<const unsigned char> bytes_;
  std::size_t count_;
  std::size_t position_ = 0;
};

bool fits_int32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

double linear_fixed_point(std::span<const double> values) {
  double largest = 0;  // of the values, and of the second differences
  double curvature = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Decoders read the first two integers as unsigned: negative values do not come back.
    if (!std::isfinite(values[i]) || values[i] < 0) return 0;
    largest = std::max(largest, values[i]);
    if (i >= 2) curvature = std::max(curvature, std::abs(values[i] - 2 * values[i - 1] + values[i - 2]));
  }
  // The prediction 2a − b reaches three times the largest value; rounding adds up to 2 units to a
  // difference, hence the margin.
  const double reach = std::max(3 * largest, curvature);
  if (reach == 0) return 1;
  const double fixed_point = (INT32_LIMIT - 8) / reach;
  return std::isfinite(fixed_point) ? fixed_point : 0;
}

bool encode_linear(std::span<const double> values, double fixed_point, std::vector<unsigned char>& out) {
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) return false;
  const std::size_t start = out.size();
  const auto fail = [&] {
    out.resize(start);
    return false;
  };
  append_fixed_point(fixed_point, out);
  std::int64_t before = 0;  // the integers of the two previous values
  std::int64_t last = 0;
  HalfByteWriter writer(out);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double scaled = values[i] * fixed_point;
    if (!(std::abs(scaled) < INT32_LIMIT)) return fail();
    const std::int64_t current = std::llround(scaled);
    if (i < 2) {
      append_int32(static_cast<std::uint32_t>(current), out);
    } else {
      const std::int64_t predicted = 2 * last - before;
      const std::int64_t difference = current - predicted;
      if (!fits_int32(predicted) || !fits_int32(difference)) return fail();
      writer.put(static_cast<std::uint32_t>(difference));
    }
    before = last;
    last = current;
  }
  writer.finish();
  return true;
}

Result<std::vector<double>> decode_linear(std::span<const unsigned char> bytes) {
  const auto fixed_point = read_fixed_point(bytes);
  if (!fixed_point) return std::unexpected(fixed_point.error());
  std::vector<double> values;
  std::size_t at = FIXED_POINT_BYTES;
  // Unsigned arithmetic wraps instead of overflowing on a hostile stream.
  std::uint64_t before = 0;
  std::uint64_t last = 0;
  for (int whole = 0; whole < 2 && at < bytes.size(); ++whole) {
    if (bytes.size() - at < 4) {
      return std::unexpected(Error::parse("numpress linear array cut short in its first values"));
    }
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 4; ++i) stored |= std::uint32_t{bytes[at + i]} << (8 * i);
    at += 4;
    before = last;
    last = stored;  // unsigned, as every decoder reads them
    values.push_back(stored / *fixed_point);
  }
  HalfByteReader reader(bytes.subspan(at));
  while (!reader.done()) {
    const auto difference = reader.next();
    if (!difference) return std::unexpected(difference.error());
    const auto step = static_cast<std::uint64_t>(std::int64_t{static_cast<std::int32_t>(*difference)});
    const std::uint64_t current = 2 * last - before + step;
    values.push_back(static_cast<double>(static_cast<std::int64_t>(current)) / *fixed_point);
    before = last;
    last = current;
  }
  return values;
}

bool fits_pic(std::span<const double> values) {
  for (const double value : values) {
    if (!(value >= 0 && value <= INT32_LIMIT) || value != std::floor(value)) return false;
  }
  return true;
}

bool encode_pic(std::span<const double> values, std::vector<unsigned char>& out) {
  for (const double value : values) {
    if (!(value >= 0 && value + 0.5 < INT32_LIMIT + 1)) return false;
  }
  HalfByteWriter writer(out);
  for (const double value : values) writer.put(static_cast<std::uint32_t>(std::llround(value)));
  writer.finish();
  return true;
}

Result<std::vector<double>> decode_pic(std::span<const unsigned char> bytes) {
  std::vector<double> values;
  HalfByteReader reader(bytes);
  while (!reader.done()) {
    const auto value = reader.next();
    if (!value) return std::unexpected(value.error());
    values.push_back(static_cast<double>(*value));
  }
  return values;
}

double slof_fixed_point(std::span<const double> values) {
  double largest = 0;
  for (const double value : values) {
    if (!(value >= 0) || !std::isfinite(value)) return 0;
    largest = std::max(largest, value);
  }
  const double range = std::log1p(largest);
  if (range == 0) return 1;
  // One unit below 65535 leaves room for the rounding of log1p itself.
  return std::floor(65534.0 / range);
}

bool encode_slof(std::span<const double> values, double fixed_point, std::vector<unsigned char>& out) {
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) return false;
  const std::size_t start = out.size();
  append_fixed_point(fixed_point, out);
  for (const double value : values) {
    const double scaled = std::log1p(value) * fixed_point;
    if (!(scaled >= 0 && scaled < 65535.5)) {
      out.resize(start);
      return false;
    }
    const auto stored = static_cast<std::uint16_t>(std::lround(scaled));
    out.push_back(static_cast<unsigned char>(stored & 0xff));
    out.push_back(static_cast<unsigned char>(stored >> 8));
  }
  return true;
}

Result<std::vector<double>> decode_slof(std::span<const unsigned char> bytes) {
  const auto fixed_point = read_fixed_point(bytes);
  if (!fixed_point) return std::unexpected(fixed_point.error());
  if ((bytes.size() - FIXED_POINT_BYTES) % 2 != 0) {
    return std::unexpected(Error::parse("numpress short logged float array of " + std::to_string(bytes.size()) +
                                        " bytes: an odd number after the fixed point"));
  }
  std::vector<double> values;
  values.reserve((bytes.size() - FIXED_POINT_BYTES) / 2);
  for (std::size_t at = FIXED_POINT_BYTES; at < bytes.size(); at += 2) {
    const unsigned stored = bytes[at] | (unsigned{bytes[at + 1]} << 8);
    values.push_back(std::exp(stored / *fixed_point) - 1);
  }
  return values;
}

}  // namespace vornak::numpress
