// The scan index parser: header checks, stride detection, the five record layouts, real files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "reader_lib/raw/msscan.hpp"
#include "scan_index_bytes.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

using namespace vornak::testing;

std::string parse_error(const Bytes& bytes) {
  const auto result = MSScan::from_bytes(bytes);
  if (result) return "(parsed with stride " + std::to_string(result->record_stride) + ")";
  EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
  return result.error().message();
}

TEST(MSScanHeader, ChecksInOrder) {
  Bytes short_file(91, 0);
  put(short_file, 0, std::uint32_t{257});
  EXPECT_EQ(parse_error(short_file), "MSScan.bin too small for header");
  EXPECT_EQ(parse_error(Bytes(91, 0x02)), "MSScan.bin too small for header");  // length before magic

  EXPECT_EQ(parse_error(header(228, 258)), "Invalid MSScan magic: 258");
  EXPECT_EQ(parse_error(Bytes(92, 0)), "Invalid MSScan magic: 0");
  EXPECT_EQ(parse_error(header(228, 0xFFFFFFFF)), "Invalid MSScan magic: 4294967295");

  Bytes truncated = header(228);
  put(truncated, 88, std::uint32_t{229});
  EXPECT_EQ(parse_error(truncated), "MSScan.bin truncated header");
  Bytes huge_offset = header(228);
  put(huge_offset, 88, std::uint32_t{0xFFFFFFFF});
  EXPECT_EQ(parse_error(huge_offset), "MSScan.bin truncated header");

  EXPECT_EQ(parse_error(header(228)), "Cannot determine record stride for payload len 0");
  Bytes three_bytes = header(228);
  three_bytes.resize(231);
  EXPECT_EQ(parse_error(three_bytes), "Cannot determine record stride for payload len 3");
}

TEST(MSScanStride, SingleRecordOfEachLayout) {
  for (const std::uint32_t stride : MSSCAN_STRIDES) {
    SCOPED_TRACE(stride);
    Bytes bytes = header(228);
    add_record(bytes, stride, {7, 0, 1.0});  // any MS level: a single record is not tested
    const auto scan = MSScan::from_bytes(bytes);
    ASSERT_TRUE(scan.has_value()) << scan.error().display();
    EXPECT_EQ(scan->record_stride, stride);
    EXPECT_EQ(scan->data_offset, 228u);
    ASSERT_EQ(scan->records.size(), 1u);
    EXPECT_EQ(scan->records[0].scan_id, 7u);
  }
}

TEST(MSScanStride, SecondRecordRules) {
  struct Case {
    const char* what;
    std::uint32_t second_id;
    std::uint16_t second_level;
    bool accepted;
  };
  const Case cases[] = {
      {"next scan, MS1", 1001, 1, true},
      {"next scan, MS2", 1001, 2, true},
      {"same scan number", 1000, 1, false},
      {"lower scan number", 999, 1, false},
      {"just inside the window", 1000 + 99999, 1, true},
      {"at the window's end", 1000 + 100000, 1, false},
      {"MS level 0", 1001, 0, false},
      {"MS level 3", 1001, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = header(228);
    add_record(bytes, 284, {1000, 1, 0.0});
    add_record(bytes, 284, {c.second_id, c.second_level, 0.1});
    if (c.accepted) {
      const auto scan = MSScan::from_bytes(bytes);
      ASSERT_TRUE(scan.has_value()) << scan.error().display();
      EXPECT_EQ(scan->record_stride, 284u);
      EXPECT_EQ(scan->records.size(), 2u);
    } else {
      EXPECT_EQ(parse_error(bytes), "Cannot determine record stride for payload len 568");
    }
  }
}

TEST(MSScanStride, FirstScanNumberNearTheTop) {
  Bytes bytes = header(228);
  add_record(bytes, 284, {0xFFFFFFF0, 1, 0.0});
  add_record(bytes, 284, {0xFFFFFFF1, 1, 0.1});
  const auto scan = MSScan::from_bytes(bytes);
  ASSERT_TRUE(scan.has_value()) << scan.error().display();
  EXPECT_EQ(scan->records[1].scan_id, 0xFFFFFFF1u);
}

TEST(MSScanStride, CandidatesInOrder) {
  // 11880 bytes: 54 records of 220 or 55 of 216. 220 wins when its second record passes.
  Bytes as_220 = index_of(220, 54);
  auto scan = MSScan::from_bytes(as_220);
  ASSERT_TRUE(scan.has_value());
  EXPECT_EQ(scan->record_stride, 220u);
  EXPECT_EQ(scan->records.size(), 54u);

  Bytes as_216 = index_of(216, 55);
  ASSERT_EQ(as_216.size(), as_220.size());
  scan = MSScan::from_bytes(as_216);
  ASSERT_TRUE(scan.has_value());
  EXPECT_EQ(scan->record_stride, 216u);
  EXPECT_EQ(scan->records.size(), 55u);

  // Later records are not validated.
  Bytes unchecked = index_of(196, 3);
  put(unchecked, 228 + 2 * 196, std::uint32_t{5});
  put(unchecked, 228 + 2 * 196 + 20, std::uint16_t{9});
  scan = MSScan::from_bytes(unchecked);
  ASSERT_TRUE(scan.has_value());
  EXPECT_EQ(scan->records[2].ms_level, 9u);

  // A trailing byte breaks every candidate.
  Bytes trailing = index_of(186, 4);
  trailing.push_back(0);
  EXPECT_EQ(parse_error(trailing), "Cannot determine record stride for payload len " + std::to_string(4 * 186 + 1));
}

TEST(MSScanStride, DataOffsetZeroOverlapsTheHeader) {
  Bytes bytes = header(0);
  bytes.resize(284, 0);
  put(bytes, 0, std::uint32_t{257});
  put(bytes, 88, std::uint32_t{0});
  const auto scan = MSScan::from_bytes(bytes);
  ASSERT_TRUE(scan.has_value()) << scan.error().display();
  EXPECT_EQ(scan->records.size(), 1u);
  EXPECT_EQ(scan->records[0].scan_id, 257u);
}

// A wide descriptor at `at`: format, offset, byte count, point count, uncompressed count.
void put_wide(Bytes& bytes, std::size_t at, std::uint32_t format, std::uint64_t offset, std::uint32_t count,
              std::uint32_t points, std::uint32_t uncompressed) {
  put(bytes, at, format);
  put(bytes, at + 4, offset);
  put(bytes, at + 12, count);
  put(bytes, at + 16, points);
  put(bytes, at + 20, uncompressed);
}

TEST(MSScanLayouts, FieldsOfEachLayout) {
  constexpr std::size_t R = 228;
  struct Case {
    std::uint32_t stride;
    std::uint16_t ms_level;
    bool mrm;
    bool precursor;
    bool range;
    std::size_t descriptor;
  };
  const Case cases[] = {
      {284, 2, false, true, true, 156}, {284, 1, false, false, true, 156}, {220, 2, false, true, false, 156},
      {220, 1, false, false, false, 156}, {216, 2, false, true, false, 152}, {196, 2, true, false, false, 144},
      {196, 1, true, false, false, 144},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("stride " + std::to_string(c.stride) + " MS" + std::to_string(c.ms_level));
    Bytes bytes = header(R);
    add_record(bytes, c.stride, {42, c.ms_level, 1.5});
    put(bytes, R + 4, std::uint32_t{7});       // MRM channel in the triple-quad layouts
    put(bytes, R + 76, 35.0);                  // collision energy
    put(bytes, R + 84, 445.12);                // precursor m/z
    if (c.stride == 284) {
      put(bytes, R + 244, 100.0);
      put(bytes, R + 252, 1700.0);
    }
    put_wide(bytes, R + c.descriptor, 1, 0x1122334455667788, 900, 5000, 20016);
    const auto scan = MSScan::from_bytes(bytes);
    ASSERT_TRUE(scan.has_value()) << scan.error().display();
    const ScanRecord& record = scan->records.at(0);
    EXPECT_EQ(record.scan_id, 42u);
    EXPECT_EQ(record.retention_time_min, 1.5);
    EXPECT_EQ(record.ms_level, c.ms_level);
    EXPECT_EQ(record.mrm_channel, c.mrm ? std::optional<std::uint32_t>(7) : std::nullopt);
    EXPECT_EQ(record.precursor_mz, c.precursor ? std::optional<double>(445.12) : std::nullopt);
    EXPECT_EQ(record.collision_energy, c.precursor ? std::optional<double>(35.0) : std::nullopt);
    EXPECT_EQ(record.mz_range_low, c.range ? std::optional<double>(100.0) : std::nullopt);
    EXPECT_EQ(record.mz_range_high, c.range ? std::optional<double>(1700.0) : std::nullopt);
    EXPECT_EQ(record.profile_block, (BlockLocation{1, 0x1122334455667788, 900, 5000, 20016}));
    EXPECT_FALSE(record.peak_block.has_value());
  }
}

TEST(MSScanLayouts, PackedDescriptor) {
  Bytes bytes = header(228);
  add_record(bytes, 186, {9, 2, 0.25});
  const std::size_t at = 228 + 136;
  put(bytes, at, std::uint16_t{3});
  put(bytes, at + 2, std::uint64_t{4096});
  put(bytes, at + 10, std::uint32_t{120});
  put(bytes, at + 14, std::uint32_t{10});
  put(bytes, at + 18, std::uint32_t{777});  // not read for a peak block
  const auto scan = MSScan::from_bytes(bytes);
  ASSERT_TRUE(scan.has_value());
  const ScanRecord& record = scan->records[0];
  EXPECT_EQ(record.peak_block, (BlockLocation{3, 4096, 120, 10, std::nullopt}));
  EXPECT_FALSE(record.profile_block.has_value());
  EXPECT_FALSE(record.precursor_mz.has_value());
  EXPECT_TRUE(record.mrm_channel.has_value());

  put(bytes, at, std::uint16_t{1});
  const auto profile = MSScan::from_bytes(bytes);
  ASSERT_TRUE(profile.has_value());
  EXPECT_EQ(profile->records[0].profile_block, (BlockLocation{1, 4096, 120, 10, 777}));
}

TEST(MSScanLayouts, DescriptorFormats) {
  struct Case {
    std::uint32_t first;
    std::uint32_t second;
    bool profile;
    std::optional<std::uint64_t> peak_offset;
  };
  const Case cases[] = {
      {2, 1, true, 1000},          // both blocks
      {1, 3, true, 2000},
      {2, 2, false, 2000},         // the second peak descriptor replaces the first
      {0, 4, false, std::nullopt},  // neither describes a block
      {5, 0, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + "," + std::to_string(c.second));
    Bytes bytes = header(228);
    add_record(bytes, 284, {1, 1, 0.0});
    put_wide(bytes, 228 + 156, c.first, 1000, 10, 1, 50);
    put_wide(bytes, 228 + 220, c.second, 2000, 20, 2, 60);
    const auto scan = MSScan::from_bytes(bytes);
    ASSERT_TRUE(scan.has_value());
    const ScanRecord& record = scan->records[0];
    EXPECT_EQ(record.profile_block.has_value(), c.profile);
    EXPECT_EQ(record.peak_block ? std::optional<std::uint64_t>(record.peak_block->offset) : std::nullopt,
              c.peak_offset);
    if (record.peak_block) {
      EXPECT_FALSE(record.peak_block->uncompressed_byte_count.has_value());
    }
  }
}

TEST(MSScanTruncation, EveryPrefixFailsCleanlyOrParses) {
  Bytes bytes = index_of(284, 4);
  put_wide(bytes, 228 + 156, 1, 0, 10, 1, 50);
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    // A fresh allocation of exactly `length` bytes, so an over-read leaves the heap block.
    const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    const auto scan = MSScan::from_bytes(prefix);
    if (scan) {
      // Only a whole number of records parses, possibly as a single record of a shorter layout.
      EXPECT_EQ((length - 228) % scan->record_stride, 0u);
      EXPECT_EQ(scan->records.size(), (length - 228) / scan->record_stride);
    }
  }
}

TEST(MSScanFile, ReadsThroughTheFileSystem) {
  const testing::TempDir dir;
  const std::string path = dir.write("MSScan.bin", index_of(220, 3));
  const auto scan = MSScan::from_path(path);
  ASSERT_TRUE(scan.has_value());
  EXPECT_EQ(scan->records.size(), 3u);
  const auto missing = MSScan::from_path(dir.str() + "/none.bin");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().os_error(), ENOENT);
}

// Acquisitions from public repositories, when the shared folder is present.
class RealScanIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(VORNAK_REALDATA_DIR)) {
      GTEST_SKIP() << "real acquisitions not found at " << VORNAK_REALDATA_DIR << "; skipping";
    }
  }
  static Result<MSScan> load(const std::string& folder) {
    return MSScan::from_path(std::string(VORNAK_REALDATA_DIR) + "/" + folder + "/AcqData/MSScan.bin");
  }
};

TEST_F(RealScanIndex, QtofIndexes) {
  const std::pair<const char*, std::size_t> folders[] = {
      {"MJA5_1000_090919_001.d", 1065}, {"Propellant_Std_1ug_1_200124-0002.d", 1809}, {"example1.d", 1333}};
  for (const auto& [folder, count] : folders) {
    SCOPED_TRACE(folder);
    const auto scan = load(folder);
    ASSERT_TRUE(scan.has_value()) << scan.error().display();
    EXPECT_EQ(scan->record_stride, 284u);
    EXPECT_EQ(scan->data_offset, 228u);
    ASSERT_EQ(scan->records.size(), count);
    for (const ScanRecord& record : scan->records) {
      EXPECT_EQ(record.ms_level, 1u);
      ASSERT_TRUE(record.profile_block.has_value());
      EXPECT_EQ(record.profile_block->uncompressed_byte_count, 16 + 4 * record.profile_block->point_count);
      ASSERT_TRUE(record.peak_block.has_value());
      EXPECT_EQ(record.peak_block->format_id, 2u);
      EXPECT_LE(record.peak_block->point_count, 6000u);
      EXPECT_EQ(record.peak_block->byte_count, 12 * record.peak_block->point_count);
    }
  }
}

TEST_F(RealScanIndex, RetentionTimesMatchTheInstrumentSoftware) {
  // The yml lists one "- <minutes>" line per scan, as the maker's own library reports them.
  std::ifstream yml(std::string(VORNAK_REALDATA_DIR) + "/example1.d.scan-times-min.yml");
  ASSERT_TRUE(yml.good());
  std::vector<double> expected;
  std::string line;
  while (std::getline(yml, line)) {
    const auto dash = line.find("- ");
    if (dash == std::string::npos) continue;
    expected.push_back(std::stod(line.substr(dash + 2)));
  }
  const auto scan = load("example1.d");
  ASSERT_TRUE(scan.has_value());
  ASSERT_EQ(expected.size(), scan->records.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(scan->records[i].retention_time_min * 60.0, expected[i] * 60.0) << "scan " << i;
  }
}

TEST_F(RealScanIndex, OtherLayouts) {
  const auto magenta = load("magenta.D");
  ASSERT_TRUE(magenta.has_value()) << magenta.error().display();
  EXPECT_EQ(magenta->record_stride, 220u);
  EXPECT_EQ(magenta->data_offset, 228u);
  EXPECT_EQ(magenta->records.size(), 3u);

  const auto copper = load("copper.D");
  ASSERT_FALSE(copper.has_value());
  EXPECT_EQ(copper.error().display(), "parse error: Cannot determine record stride for payload len 1024");
}

}  // namespace
}  // namespace vornak
