// Block payloads of instrument files: the profile encoding chosen from content, the decoded
// values of real profile and peak blocks, and peak columns as stored.
#include <gtest/gtest.h>
#include <lzf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "calibration_constants.hpp"
#include "realdata.hpp"
#include "reader_lib/raw/msprofile.hpp"
#include "reader_lib/raw/mspeak.hpp"
#include "reader_lib/raw/profile_payload.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace synthetic = vornak::synthetic;
using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

template <typename T>
void append(Bytes& bytes, T value) {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
  bytes.insert(bytes.end(), raw, raw + sizeof value);
}

// A run-length block: header, the 0x90 word for `marked_bins`, the leading-skip word, then
// 4-byte count tokens.
Bytes run_length_block(std::uint32_t marked_bins, std::int32_t leading_skip, const std::vector<std::int32_t>& counts) {
  Bytes block;
  append(block, 35920.0);
  append(block, 0.5);
  append(block, 0x90000000u | marked_bins);
  append(block, leading_skip);
  for (const std::int32_t count : counts) append(block, count);
  return block;
}

// The 16-byte header and u32 counts that both LZF forms decode to.
Bytes lzf_payload(const std::vector<std::uint32_t>& counts) {
  Bytes payload;
  append(payload, 1000.25);
  append(payload, 0.5);
  for (const std::uint32_t count : counts) append(payload, count);
  return payload;
}

// The payload compressed by liblzf, the stream starting at the block's first byte.
Bytes whole_block_lzf(const std::vector<std::uint32_t>& counts) {
  const Bytes payload = lzf_payload(counts);
  Bytes block(payload.size() + payload.size() / 16 + 64);
  const unsigned size = lzf_compress(payload.data(), static_cast<unsigned>(payload.size()), block.data(),
                                     static_cast<unsigned>(block.size()));
  block.resize(size);
  return block;
}

// The payload as literal runs of the given lengths, which must add up to the payload's size.
Bytes literal_runs(const Bytes& payload, const std::vector<std::size_t>& runs) {
  Bytes stream;
  std::size_t at = 0;
  for (const std::size_t run : runs) {
    stream.push_back(static_cast<std::uint8_t>(run - 1));
    stream.insert(stream.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                  payload.begin() + static_cast<std::ptrdiff_t>(at + run));
    at += run;
  }
  return stream;
}

// An uncompressed channel block: N f32 x, N f64 intensities, then two more f64 columns.
Bytes channel_block(const std::vector<float>& x, const std::vector<double>& intensity) {
  Bytes block;
  for (const float value : x) append(block, value);
  for (const double value : intensity) append(block, value);
  block.resize(block.size() + 8 * intensity.size(), 0xFF);  // any bytes: not returned
  for (const double value : intensity) append(block, value * 11.0);
  return block;
}

// --- The encoding chosen from content --------------------------------------------------------

struct ChoiceCase {
  const char* name;
  Bytes block;
  std::uint32_t point_count;
  std::uint32_t uncompressed_byte_count;
  std::optional<ProfileEncoding> encoding;  // nullopt: fails with `message`
  std::string message;
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << c.name; }

class EncodingChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(EncodingChoice, PicksOneEncodingOrSaysWhy) {
  const ChoiceCase& c = GetParam();
  const Result<ProfilePayload> payload = decode_profile_payload(c.block, c.point_count, c.uncompressed_byte_count);
  if (c.encoding) {
    ASSERT_TRUE(payload.has_value()) << payload.error().display();
    EXPECT_EQ(encoding_name(payload->encoding), encoding_name(*c.encoding));
    EXPECT_EQ(payload->intensity.size(), c.point_count);
  } else {
    ASSERT_FALSE(payload.has_value());
    EXPECT_EQ(payload.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(payload.error().message(), c.message);
  }
}

const std::vector<std::uint32_t> THREE = {7, 8, 9};

Bytes designed_block(const std::vector<std::uint32_t>& counts, std::size_t padding = 0) {
  return synthetic::encode_profile_block({counts, padding, synthetic::LzfEncoding::compressed});
}

INSTANTIATE_TEST_SUITE_P(
    Rule, EncodingChoice,
    ::testing::Values(
        ChoiceCase{"RunLength", run_length_block(3, 0, {7, 8, 9}), 3, 28, ProfileEncoding::RunLength, ""},
        ChoiceCase{"RunLengthWithoutByteCount", run_length_block(3, -1, {8, 9}), 3, 0, ProfileEncoding::RunLength, ""},
        ChoiceCase{"RunLengthIgnoresByteCount", run_length_block(3, 0, {7, 8, 9}), 3, 12345, ProfileEncoding::RunLength,
                   ""},
        ChoiceCase{"WholeBlockLzf", whole_block_lzf(THREE), 3, 28, ProfileEncoding::WholeBlockLzf, ""},
        ChoiceCase{"WholeBlockLzfWithoutByteCount", whole_block_lzf(THREE), 3, 0, ProfileEncoding::WholeBlockLzf, ""},
        ChoiceCase{"LzfAfterPreamble", designed_block(THREE), 3, 28, ProfileEncoding::LzfAfterPreamble, ""},
        ChoiceCase{"Uncompressed", channel_block({1.0f, 2.0f}, {5.0, 6.0}), 2, 0, ProfileEncoding::Uncompressed, ""},
        ChoiceCase{"NoBinsNoBytes", {}, 0, 0, ProfileEncoding::Uncompressed, ""},
        // Blocks that two forms would take: the first rule that applies wins. All are 28 bytes, the
        // size of one uncompressed channel; the second is also a whole-block LZF stream.
        ChoiceCase{"RunLengthBeforeUncompressed", run_length_block(1, 0, {5}), 1, 0, ProfileEncoding::RunLength, ""},
        ChoiceCase{"UncompressedBeforeLzf", literal_runs(lzf_payload({5}), {3, 3, 3, 3, 2, 2, 2, 2}), 1, 0,
                   ProfileEncoding::Uncompressed, ""},
        ChoiceCase{"SameLzfBlockNotTheChannelSize", literal_runs(lzf_payload({5}), {3, 3, 3, 3, 2, 2, 2, 2}), 1, 20,
                   ProfileEncoding::Uncompressed, ""},
        // The mark decides: once it matches, a damaged token stream is the error.
        ChoiceCase{"RunLengthDamaged", run_length_block(3, 0, {7, 8, 9, 10}), 3, 28, std::nullopt,
                   "Run-length count at token byte 12 lies past the last of the 3 bins"},
        ChoiceCase{"RunLengthMarkForOtherCount", run_length_block(4, 0, {7, 8, 9}), 3, 28, std::nullopt,
                   "Profile block of 3 bins (36 bytes) is in no known encoding: run-length: the 0x90 word at byte "
                   "16 gives 4 bins; uncompressed: 36 bytes, not 28 x 3 = 84; lzf-after-preamble: LZF: literal run "
                   "out of bounds; lzf: LZF: invalid back reference"},
        // The designed writer's padded payloads are longer than 16 + 4N.
        ChoiceCase{"ByteCountNotHeaderAndCounts", designed_block(THREE, 4), 3, 32, std::nullopt,
                   "Profile block of 3 bins (38 bytes) is in no known encoding: run-length: the u32 at byte 16 is "
                   "0xE0000001, not 0x90 in the high byte; uncompressed: 38 bytes, not 28 x 3 = 84; lzf: "
                   "UncompressedByteCount 32 is not 16 + 4 x 3 = 28"},
        ChoiceCase{"Garbage", Bytes(40, 0xEE), 3, 0, std::nullopt,
                   "Profile block of 3 bins (40 bytes) is in no known encoding: run-length: the u32 at byte 16 is "
                   "0xEEEEEEEE, not 0x90 in the high byte; uncompressed: 40 bytes, not 28 x 3 = 84; "
                   "lzf-after-preamble: LZF: invalid back reference; lzf: LZF: invalid back reference"},
        ChoiceCase{"ShortGarbage", Bytes(5, 0x00), 2, 0, std::nullopt,
                   "Profile block of 2 bins (5 bytes) is in no known encoding: run-length: shorter than 24 bytes; "
                   "uncompressed: 5 bytes, not 28 x 2 = 56; lzf-after-preamble: shorter than 16 bytes; lzf: LZF: "
                   "literal run out of bounds"},
        // 28 x (2^32 - 1) and 16 + 4 x (2^32 - 1) need 64 bits.
        ChoiceCase{"LargestPointCount", Bytes(28, 0), 4294967295u, 0, std::nullopt,
                   "Profile block of 4294967295 bins (28 bytes) is in no known encoding: run-length: the u32 at "
                   "byte 16 is 0x00000000, not 0x90 in the high byte; uncompressed: 28 bytes, not 28 x 4294967295 "
                   "= 120259084260; lzf-after-preamble: LZF: expected decompressed length 17179869196 exceeds cap "
                   "of 536870912; lzf: LZF: expected decompressed length 17179869196 exceeds cap of 536870912"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ProfilePayloadValues, EachEncodingGivesHeaderAndCounts) {
  const auto rle = decode_profile_payload(run_length_block(5, -2, {0, 4294967, 12}), 5, 36);
  ASSERT_TRUE(rle.has_value()) << rle.error().display();
  EXPECT_EQ(rle->first_x, 35920.0);
  EXPECT_EQ(rle->step, 0.5);
  EXPECT_EQ(rle->intensity, (std::vector<double>{0, 0, 0, 4294967, 12}));
  EXPECT_TRUE(rle->x.empty());

  const std::vector<std::uint32_t> counts = {0, 1, 16777217, 4294967295u};  // exact in double, unlike float
  const auto lzf = decode_profile_payload(whole_block_lzf(counts), 4, 32);
  ASSERT_TRUE(lzf.has_value()) << lzf.error().display();
  EXPECT_EQ(lzf->first_x, 1000.25);
  EXPECT_EQ(lzf->step, 0.5);
  EXPECT_EQ(lzf->intensity, (std::vector<double>{0, 1, 16777217, 4294967295.0}));

  const auto channels = decode_profile_payload(channel_block({7.5f, 9.25f, 11.0f}, {1.5, 0.0, 2.0e6}), 3, 0);
  ASSERT_TRUE(channels.has_value()) << channels.error().display();
  EXPECT_EQ(channels->x, (std::vector<double>{7.5, 9.25, 11.0}));
  EXPECT_EQ(channels->intensity, (std::vector<double>{1.5, 0.0, 2.0e6}));
  EXPECT_EQ(channels->first_x, 0.0);
}

// With calibration constants the decoder calibrates each chunk of bins while it widens their
// counts: the m/z must be exactly those of calibrate_bins over the block's own header, for each
// encoding with a flight-time axis and across chunk boundaries; stored channel x stay as stored.
TEST(ProfilePayloadValues, CalibratedWhileDecodedEqualsCalibratedAfter) {
  CalibrationConstants constants = testing::real_calibration({0, 1, 4, 0, 0, 0}, 3);
  constants.low = 1000.0;  // the grids below cross both clamp edges
  constants.high = 2000.0;
  std::vector<std::uint32_t> many(2500);
  for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint32_t>(i * 7 % 13);
  const struct {
    const char* label;
    Bytes block;
    std::uint32_t points;
  } cases[] = {
      {"lzf, one chunk", whole_block_lzf({0, 1, 16777217, 4294967295u}), 4},
      {"lzf, several chunks and a tail", whole_block_lzf(many), 2500},
      {"run-length", run_length_block(5, -2, {0, 4294967, 12}), 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto plain = decode_profile_payload(c.block, c.points, 0);
    const auto calibrated = decode_profile_payload(c.block, c.points, 0, TrailingBins::MustBeCoded, &constants);
    ASSERT_TRUE(plain.has_value() && calibrated.has_value());
    EXPECT_TRUE(plain->mz.empty());
    EXPECT_EQ(calibrated->intensity, plain->intensity);
    std::vector<double> expected(c.points);
    calibrate_bins(constants, plain->first_x, plain->step, c.points, expected.data());
    EXPECT_EQ(calibrated->mz, expected);
  }
  const auto channels = decode_profile_payload(channel_block({7.5f, 9.25f}, {1.5, 0.0}), 2, 0,
                                               TrailingBins::MustBeCoded, &constants);
  ASSERT_TRUE(channels.has_value());
  EXPECT_TRUE(channels->mz.empty());
  EXPECT_EQ(channels->x, (std::vector<double>{7.5, 9.25}));
}

// Every strict prefix of a block fails cleanly, in every encoding.
TEST(ProfilePayloadTruncation, EveryPrefixFails) {
  const std::vector<std::uint32_t> counts = synthetic::realistic_profile_intensities(40, 5);
  const std::vector<std::pair<Bytes, std::uint32_t>> blocks = {
      {run_length_block(6, -2, {1, 2, -7, 3}), 6},  // -7: skip 1 bin, tokens stay 4 bytes wide
      {whole_block_lzf(counts), 40},
      {designed_block(counts), 40},
      {channel_block({1.0f, 2.0f}, {3.0, 4.0}), 2},
  };
  for (const auto& [block, points] : blocks) {
    ASSERT_TRUE(decode_profile_payload(block, points, 0).has_value());
    for (std::size_t length = 0; length < block.size(); ++length) {
      SCOPED_TRACE(length);
      EXPECT_FALSE(decode_profile_payload(ByteView(block).first(length), points, 0).has_value());
    }
  }
}

// The designed model's blocks: the same counts as the designed decoder, before its rounding
// to float32, and the writer's zero header.
TEST(ProfilePayloadDesigned, AgreesWithProfileBlockDecoder) {
  const std::vector<synthetic::ProfileBlock> blocks = {
      {synthetic::realistic_profile_intensities(2000, 11), 0, synthetic::LzfEncoding::compressed},
      {synthetic::realistic_profile_intensities(333, 12), 0, synthetic::LzfEncoding::literal},
      {{16777217, 4294967295u, 0, 16777219}, 0, synthetic::LzfEncoding::compressed},
      {std::vector<std::uint32_t>(700, 5), 0, synthetic::LzfEncoding::compressed},
      {{16777217}, 0, synthetic::LzfEncoding::compressed},
      {{0}, 0, synthetic::LzfEncoding::literal},
      {{}, 0, synthetic::LzfEncoding::compressed},
  };
  for (const synthetic::ProfileBlock& designed : blocks) {
    const Bytes bytes = synthetic::encode_profile_block(designed);
    const auto points = static_cast<std::uint32_t>(designed.intensities.size());
    const std::uint32_t payload_bytes = 16 + 4 * points;
    SCOPED_TRACE(points);
    BlockLocation location;
    location.format_id = PROFILE_FORMAT_ID;
    location.point_count = points;
    location.uncompressed_byte_count = payload_bytes;
    const Result<BlockArrays> arrays = decode_profile_block(bytes, location, 100.0, 200.0);
    const Result<ProfilePayload> payload = decode_profile_payload(bytes, points, payload_bytes);
    ASSERT_TRUE(arrays.has_value()) << arrays.error().display();
    ASSERT_TRUE(payload.has_value()) << payload.error().display();
    EXPECT_EQ(payload->encoding, ProfileEncoding::LzfAfterPreamble);
    EXPECT_EQ(payload->first_x, 0.0);
    EXPECT_EQ(payload->step, 0.0);
    ASSERT_EQ(payload->intensity.size(), arrays->intensity.size());
    for (std::size_t i = 0; i < points; ++i) {
      EXPECT_EQ(static_cast<float>(payload->intensity[i]), arrays->intensity[i]) << "bin " << i;
      EXPECT_EQ(payload->intensity[i], static_cast<double>(designed.intensities[i])) << "bin " << i;
    }
  }
}

// --- Peak columns ---------------------------------------------------------------------------

struct ColumnsCase {
  std::uint32_t format_id;
  std::uint32_t point_count;
  std::size_t block_size;
  std::string message;  // empty: decodes to point_count peaks
};

void PrintTo(const ColumnsCase& c, std::ostream* out) {
  *out << "format " << c.format_id << ", " << c.point_count << " peaks, " << c.block_size << " bytes";
}

class PeakColumnsChecks : public ::testing::TestWithParam<ColumnsCase> {};

TEST_P(PeakColumnsChecks, DecodeOrFail) {
  const ColumnsCase& c = GetParam();
  const Bytes block(c.block_size, 0x40);
  const Result<PeakColumns> columns = decode_peak_columns(block, c.format_id, c.point_count);
  if (c.message.empty()) {
    ASSERT_TRUE(columns.has_value()) << columns.error().display();
    EXPECT_EQ(columns->x.size(), c.point_count);
    EXPECT_EQ(columns->abundance.size(), c.point_count);
  } else {
    ASSERT_FALSE(columns.has_value());
    EXPECT_EQ(columns.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(columns.error().message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, PeakColumnsChecks,
    ::testing::Values(
        ColumnsCase{1, 0, 0, ""}, ColumnsCase{2, 0, 0, ""}, ColumnsCase{3, 0, 5, ""},
        ColumnsCase{1, 3, 48, ""}, ColumnsCase{1, 3, 49, ""},
        ColumnsCase{1, 3, 47,
                    "Truncated MSPeak.bin block: format 1 needs 16 bytes per point, 48 for 3 points, and has 47"},
        ColumnsCase{2, 3, 36, ""},
        ColumnsCase{2, 3, 35,
                    "Truncated MSPeak.bin block: format 2 needs 12 bytes per point, 36 for 3 points, and has 35"},
        ColumnsCase{3, 3, 36, ""},
        ColumnsCase{3, 3, 35,
                    "Truncated MSPeak.bin block: format 3 needs 12 bytes per point, 36 for 3 points, and has 35"},
        // 16 x 268435456 wraps to 0 in 32 bits.
        ColumnsCase{1, 268435456, 16,
                    "Truncated MSPeak.bin block: format 1 needs 16 bytes per point, 4294967296 for 268435456 "
                    "points, and has 16"},
        ColumnsCase{0, 0, 0, "Unknown peak format ID: 0"}, ColumnsCase{4, 1, 16, "Unknown peak format ID: 4"}),
    [](const auto& test) {
      return "Format" + std::to_string(test.param.format_id) + "Points" + std::to_string(test.param.point_count) +
             "Bytes" + std::to_string(test.param.block_size);
    });

TEST(PeakColumnsValues, EachFormatAsStored) {
  // Nine peaks: format 2's x column runs in groups of eight and a remainder.
  std::vector<double> x;
  std::vector<double> abundance;
  for (int k = 0; k < 9; ++k) {
    x.push_back(35000.0 + 123.456 * k);
    abundance.push_back(static_cast<double>(static_cast<float>(0.1 + 1000.0 * k)));  // exact in f32 and f64
  }
  Bytes wide, split, interleaved;
  for (std::size_t k = 0; k < 9; ++k) {
    append(interleaved, x[k]);
    append(interleaved, static_cast<float>(abundance[k]));
  }
  for (const double value : x) {
    append(wide, value);
    append(split, value);
  }
  for (const double value : abundance) {
    append(wide, value);
    append(split, static_cast<float>(value));
  }

  for (const auto& [format, block] : std::map<std::uint32_t, Bytes>{{1, wide}, {2, split}, {3, interleaved}}) {
    SCOPED_TRACE(format);
    const Result<PeakColumns> columns = decode_peak_columns(block, format, 9);
    ASSERT_TRUE(columns.has_value()) << columns.error().display();
    EXPECT_EQ(columns->x, x);  // format 2 too: not divided by 100
    EXPECT_EQ(columns->abundance, abundance);
  }
  // A format-1 abundance keeps the bits an f32 would lose.
  Bytes precise;
  append(precise, 100.0);
  append(precise, 16777217.25);
  EXPECT_EQ(decode_peak_columns(precise, 1, 1)->abundance, std::vector<double>{16777217.25});
}

// --- Real acquisitions ----------------------------------------------------------------------

const fs::path REALDATA = VORNAK_REALDATA_DIR;

json reference() { return testing::realdata_reference(); }

Bytes read_slice(const fs::path& path, std::uint64_t offset, std::size_t count) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  Bytes bytes(count);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  if (!file) ADD_FAILURE() << "cannot read " << count << " bytes at " << offset << " of " << path;
  return bytes;
}

// Point count, sum, maximum and sampled intensities of one reference spectrum. Profile counts
// sum exactly; peak abundances are summed to within rounding.
void expect_spectrum(std::span<const double> intensity, const json& expected, bool exact_sum) {
  ASSERT_EQ(intensity.size(), expected["points"].get<std::size_t>());
  if (intensity.empty()) return;
  const double sum = std::accumulate(intensity.begin(), intensity.end(), 0.0);
  const double expected_sum = expected["intensity_sum"].get<double>();
  if (exact_sum) {
    EXPECT_EQ(sum, expected_sum);
  } else {
    EXPECT_NEAR(sum, expected_sum, 1e-9 * expected_sum);
  }
  const auto max = std::max_element(intensity.begin(), intensity.end());
  EXPECT_EQ(*max, expected["intensity_max"].get<double>());
  EXPECT_EQ(max - intensity.begin(), expected["argmax"].get<std::ptrdiff_t>());
  for (const auto& [index, value] : expected["intensity"].items()) {
    const std::size_t at = std::stoul(index);
    ASSERT_LT(at, intensity.size());
    EXPECT_EQ(intensity[at], value.get<double>()) << "at " << index;
  }
}

const std::map<std::string, ProfileEncoding> REFERENCE_ENCODINGS = {
    {"RLE", ProfileEncoding::RunLength},
    {"LZF", ProfileEncoding::WholeBlockLzf},
    {"icpms_parallel_28B_per_point", ProfileEncoding::Uncompressed},
};

// Every block of every reference scan that lies inside its file, decoded from its bytes.
TEST(RealBlocks, MatchReference) {
  SKIP_WITHOUT_REALDATA();
  const json expected = reference();
  std::map<std::string, int> decoded;  // per encoding, so a folder that went missing shows
  for (const auto& [folder, facts] : expected["folders"].items()) {
    for (const json& scan : facts["scans"]) {
      for (const json& block : scan["blocks"]) {
        if (!block["present"].get<bool>()) continue;
        const std::string where = folder + " scan " + std::to_string(scan["index"].get<int>()) + " " +
                                  block["file"].get<std::string>();
        SCOPED_TRACE(where);
        const Bytes bytes = read_slice(REALDATA / folder / "AcqData" / block["file"].get<std::string>(),
                                       block["offset"].get<std::uint64_t>(), block["byte_count"].get<std::size_t>());
        const auto points = block["point_count"].get<std::uint32_t>();
        const auto format = block["format"].get<std::uint32_t>();
        if (block["file"] == "MSProfile.bin") {
          const std::uint32_t byte_count = block["uncompressed_byte_count"].is_null()
                                               ? 0
                                               : block["uncompressed_byte_count"].get<std::uint32_t>();
          const Result<ProfilePayload> payload = decode_profile_payload(bytes, points, byte_count);
          ASSERT_TRUE(payload.has_value()) << payload.error().display();
          EXPECT_EQ(payload->encoding, REFERENCE_ENCODINGS.at(block["encoding"].get<std::string>()));
          expect_spectrum(payload->intensity, scan.contains("profile") ? scan["profile"] : scan["icpms"], true);
          EXPECT_EQ(*std::max_element(payload->intensity.begin(), payload->intensity.end()),
                    block["max_y"].get<double>());
          if (payload->encoding != ProfileEncoding::Uncompressed) {
            EXPECT_EQ(payload->step, 0.5);  // the scans' sampling period, in ns
            EXPECT_GT(payload->first_x, 0.0);
          }
          ++decoded[std::string(encoding_name(payload->encoding))];
        } else {
          const Result<PeakColumns> columns = decode_peak_columns(bytes, format, points);
          ASSERT_TRUE(columns.has_value()) << columns.error().display();
          ASSERT_EQ(columns->x.size(), points);
          expect_spectrum(columns->abundance, scan["peak"], false);
          if (format == PEAK_FORMAT_WIDE) {  // m/z as stored; format 2 stores flight times
            for (const auto& [index, mz] : scan["peak"]["mz"].items()) {
              EXPECT_NEAR(columns->x.at(std::stoul(index)), mz.get<double>(), 1e-9) << "at " << index;
            }
          }
          ++decoded["peaks format " + std::to_string(format)];
        }
      }
    }
  }
  EXPECT_EQ(decoded, (std::map<std::string, int>{{"run-length", 3},
                                                  {"lzf", 6},
                                                  {"uncompressed", 4},
                                                  {"peaks format 1", 4},
                                                  {"peaks format 2", 9}}));
}

// silver.D: every one of its 1861 records points at a 28-byte-per-channel block whose first
// f64 column sums to the record's TIC and peaks at its MaxY.
TEST(RealBlocks, EveryChannelBlockOfSilver) {
  SKIP_WITHOUT_REALDATA();
  const fs::path acq_data = REALDATA / "silver.D" / "AcqData";
  const Bytes index = read_slice(acq_data / "MSScan.bin", 0, fs::file_size(acq_data / "MSScan.bin"));
  const Bytes profiles = read_slice(acq_data / "MSProfile.bin", 0, fs::file_size(acq_data / "MSProfile.bin"));
  // Records of 136 bytes from byte 208: TIC f64 at 28; block descriptor at 72: format i32,
  // offset i64 at 76, byte count i32 at 84, point count i32 at 88, MaxY f64 at 116.
  constexpr std::size_t FIRST_RECORD = 208, STRIDE = 136;
  ASSERT_EQ((index.size() - FIRST_RECORD) % STRIDE, 0u);
  const std::size_t records = (index.size() - FIRST_RECORD) / STRIDE;
  EXPECT_EQ(records, 1861u);
  for (std::size_t k = 0; k < records; ++k) {
    SCOPED_TRACE(k);
    const std::uint8_t* record = index.data() + FIRST_RECORD + STRIDE * k;
    const auto offset = load_le<std::uint64_t>(record + 76);
    const auto byte_count = load_le<std::uint32_t>(record + 84);
    const auto points = load_le<std::uint32_t>(record + 88);
    ASSERT_LE(offset + byte_count, profiles.size());
    const Result<ProfilePayload> payload =
        decode_profile_payload(ByteView(profiles).subspan(offset, byte_count), points, 0);
    ASSERT_TRUE(payload.has_value()) << payload.error().display();
    ASSERT_EQ(payload->encoding, ProfileEncoding::Uncompressed);
    EXPECT_EQ(payload->x, (std::vector<double>{1.0, 2.0}));  // the two channels of MSTS_XSpecific.xml
    EXPECT_EQ(std::accumulate(payload->intensity.begin(), payload->intensity.end(), 0.0),
              load_le<double>(record + 28));
    EXPECT_EQ(*std::max_element(payload->intensity.begin(), payload->intensity.end()),
              load_le<double>(record + 116));
  }
}

}  // namespace
}  // namespace vornak
