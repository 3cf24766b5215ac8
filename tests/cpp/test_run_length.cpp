// Run-length tokens: every width, skips at both ends, and streams that overrun, stop short or
// end inside a token.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "reader_lib/raw/profile_payload.hpp"

namespace vornak {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Tokens as an instrument writes them: 4 bytes wide until a skip token sets another width.
class Tokens {
 public:
  Tokens& count(std::int64_t value) {
    put(value);
    return *this;
  }
  // `bins` empty bins, then tokens of `next_width` bytes.
  Tokens& skip(std::uint64_t bins, std::size_t next_width) {
    const std::int64_t code = next_width == 1 ? 3 : next_width == 2 ? 2 : next_width == 4 ? 1 : 0;
    put(static_cast<std::int64_t>(~bins << 2) | code);
    width_ = next_width;
    return *this;
  }
  Tokens& raw(std::initializer_list<std::uint8_t> more) {
    bytes_.insert(bytes_.end(), more);
    return *this;
  }
  [[nodiscard]] const Bytes& bytes() const { return bytes_; }

 private:
  void put(std::int64_t value) {
    for (std::size_t i = 0; i < width_; ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
  }
  Bytes bytes_;
  std::size_t width_ = 4;
};

struct RunLengthCase {
  const char* name;
  Bytes tokens;
  std::int32_t leading_skip;
  std::uint32_t point_count;
  std::vector<double> expected;  // used when message is empty
  std::string message;
};

void PrintTo(const RunLengthCase& c, std::ostream* out) { *out << c.name; }

class RunLengthChecks : public ::testing::TestWithParam<RunLengthCase> {};

TEST_P(RunLengthChecks, DecodeOrFail) {
  const RunLengthCase& c = GetParam();
  // Exactly point_count slots, so a write past the end lands outside the allocation; NaN marks
  // a slot the decoder left alone.
  std::vector<double> out(c.point_count, std::numeric_limits<double>::quiet_NaN());
  const Result<void> result = decode_run_length(c.tokens, c.leading_skip, c.point_count, out.data());
  if (c.message.empty()) {
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(out, c.expected);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(result.error().message(), c.message);
  }
}

constexpr double TWO_40 = 1099511627776.0;

INSTANTIATE_TEST_SUITE_P(
    Tokens, RunLengthChecks,
    ::testing::Values(
        // Widths: 4 at first, then 2, 1 and 8 set by skips of zero or more bins.
        RunLengthCase{"EveryWidth",
                      Tokens().count(2147483647).skip(0, 2).count(32767).skip(2, 1).count(127).skip(0, 8).count(
                          std::int64_t{1} << 40).bytes(),
                      0, 6, {2147483647.0, 32767.0, 0.0, 0.0, 127.0, TWO_40}, ""},
        RunLengthCase{"WidthBackToFour", Tokens().skip(0, 1).count(3).skip(1, 4).count(70000).bytes(), 0, 3,
                      {3.0, 0.0, 70000.0}, ""},
        RunLengthCase{"LeadingSkipOnly", {}, -3, 3, {0.0, 0.0, 0.0}, ""},
        RunLengthCase{"LeadingSkipThenCount", Tokens().count(9).bytes(), -1, 2, {0.0, 9.0}, ""},
        RunLengthCase{"SkipTokenFirst", Tokens().skip(2, 4).count(1).bytes(), 0, 3, {0.0, 0.0, 1.0}, ""},
        RunLengthCase{"SkipToTheLastBin", Tokens().count(1).skip(3, 4).bytes(), 0, 4, {1.0, 0.0, 0.0, 0.0}, ""},
        RunLengthCase{"WidthChangeAfterTheLastBin", Tokens().count(5).skip(0, 1).bytes(), 0, 1, {5.0}, ""},
        RunLengthCase{"NoBins", {}, 0, 0, {}, ""},
        RunLengthCase{"NoBinsWidthChange", Tokens().skip(0, 2).bytes(), 0, 0, {}, ""},
        // Overruns, checked before anything is written past the end.
        RunLengthCase{"CountPastTheEnd", Tokens().count(1).count(2).bytes(), 0, 1, {},
                      "Run-length count at token byte 4 lies past the last of the 1 bins"},
        RunLengthCase{"CountWithNoBins", Tokens().count(0).bytes(), 0, 0, {},
                      "Run-length count at token byte 0 lies past the last of the 0 bins"},
        RunLengthCase{"SkipPastTheEnd", Tokens().count(1).skip(2, 4).bytes(), 0, 2, {},
                      "Run-length skip of 2 bins at token byte 4 passes the 2 bins (from bin 1)"},
        // The most negative 8-byte token skips 2^61 - 1 bins; the count is a 64-bit comparison.
        RunLengthCase{"LargestSkip", Tokens().skip(0, 8).count(1).raw({0, 0, 0, 0, 0, 0, 0, 0x80}).bytes(), 0, 7, {},
                      "Run-length skip of 2305843009213693951 bins at token byte 12 passes the 7 bins (from bin 1)"},
        RunLengthCase{"LeadingSkipPastTheEnd", {}, -4, 3, {}, "Run-length leading skip of 4 bins passes the 3 bins"},
        RunLengthCase{"LeadingSkipMostNegative", {}, std::numeric_limits<std::int32_t>::min(), 5, {},
                      "Run-length leading skip of 2147483648 bins passes the 5 bins"},
        RunLengthCase{"LeadingSkipPositive", {}, 1, 5, {},
                      "Run-length leading-skip word is 1; it holds minus the number of empty bins, so it cannot "
                      "be positive"},
        // Streams that stop early.
        RunLengthCase{"TruncatedFourByteToken", Tokens().count(1).raw({1, 0, 0}).bytes(), 0, 2, {},
                      "Run-length token of 4 bytes truncated at token byte 4 (3 bytes left)"},
        RunLengthCase{"TruncatedTwoByteToken", Tokens().skip(0, 2).raw({1}).bytes(), 0, 1, {},
                      "Run-length token of 2 bytes truncated at token byte 4 (1 bytes left)"},
        RunLengthCase{"TruncatedEightByteToken", Tokens().skip(0, 8).raw({1, 2, 3, 4, 5, 6, 7}).bytes(), 0, 1, {},
                      "Run-length token of 8 bytes truncated at token byte 4 (7 bytes left)"},
        RunLengthCase{"EndsBeforeTheLastBin", Tokens().count(1).bytes(), 0, 3, {},
                      "Run-length tokens end at bin 1 of 3"},
        RunLengthCase{"NoTokensForBins", {}, 0, 2, {}, "Run-length tokens end at bin 0 of 2"}),
    [](const auto& test) { return std::string(test.param.name); });

// Every strict prefix of a stream that ends on a count fails cleanly; only the whole succeeds.
TEST(RunLengthTruncation, EveryPrefixFails) {
  const Bytes tokens = Tokens()
                           .count(4)
                           .skip(3, 1).count(1).count(2)
                           .skip(0, 2).count(300)
                           .skip(1, 8).count(5)
                           .skip(0, 4).count(6)
                           .bytes();
  const std::uint32_t bins = 11;
  for (std::size_t length = 0; length <= tokens.size(); ++length) {
    SCOPED_TRACE(length);
    std::vector<double> out(bins, std::numeric_limits<double>::quiet_NaN());
    const Result<void> result = decode_run_length(ByteView(tokens).first(length), -1, bins, out.data());
    EXPECT_EQ(result.has_value(), length == tokens.size());
  }
  std::vector<double> out(bins);
  ASSERT_TRUE(decode_run_length(tokens, -1, bins, out.data()).has_value());
  EXPECT_EQ(out, (std::vector<double>{0, 4, 0, 0, 0, 1, 2, 300, 0, 5, 6}));

  // The same stream against one bin more stops short; against one bin less its last count overruns.
  std::vector<double> longer(bins + 1);
  EXPECT_EQ(decode_run_length(tokens, -1, bins + 1, longer.data()).error().message(),
            "Run-length tokens end at bin 11 of 12");
  std::vector<double> shorter(bins - 1);
  EXPECT_EQ(decode_run_length(tokens, -1, bins - 1, shorter.data()).error().message(),
            "Run-length count at token byte 31 lies past the last of the 10 bins");
}

}  // namespace
}  // namespace vornak
