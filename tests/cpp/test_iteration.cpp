// Spectrum iteration over written acquisitions: which block fills a record, identity and
// precursor fields per record layout, skipping, independent passes, and real acquisitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "reader_lib/reader.hpp"
#include "temp_dir.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using elmbrace::SpectrumRecord;
using testing::TempDir;

// Writes the acquisition as run.d in `dir` and opens it.
Reader open_written(const TempDir& dir, const syn::Acquisition& acquisition) {
  const fs::path folder = dir.path() / "run.d";
  syn::write_acquisition(folder, acquisition);
  auto reader = Reader::open(folder.string());
  if (!reader) throw std::runtime_error("opening the written acquisition failed: " + reader.error().display());
  return std::move(*reader);
}

std::vector<SpectrumRecord> drain(const Reader& reader) {
  std::vector<SpectrumRecord> records;
  const auto iterator = reader.iter_spectra();
  while (auto record = iterator->next()) records.push_back(std::move(*record));
  return records;
}

// What every record from this reader must satisfy, whatever its scan held.
void expect_well_formed(const SpectrumRecord& record) {
  SCOPED_TRACE(record.native_id);
  EXPECT_EQ(record.mz.size(), record.intensity.size());
  EXPECT_EQ(record.native_id, "scanId=" + std::to_string(record.scan_id));
  EXPECT_EQ(record.precursor.has_value(), record.ms_level >= 2);
}

// Little-endian block bytes built by hand, for blocks the writer would not produce.
class ByteBuilder {
 public:
  ByteBuilder& f64(double value) { return put(value); }
  ByteBuilder& f32(float value) { return put(value); }
  ByteBuilder& raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  ByteBuilder& zeros(std::size_t count) {
    bytes_.resize(bytes_.size() + count, 0);
    return *this;
  }
  [[nodiscard]] syn::Bytes bytes() const { return bytes_; }

 private:
  template <typename T>
  ByteBuilder& put(T value) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), first, first + sizeof(T));
    return *this;
  }
  syn::Bytes bytes_;
};

// A profile block of five points over 100..200 m/z, with counts past float32 precision.
const std::vector<std::uint32_t> PROFILE_COUNTS = {10, 0, 30, 16777217, 4294967295U};
const std::vector<double> PROFILE_MZ = {100.0, 125.0, 150.0, 175.0, 200.0};
const std::vector<float> PROFILE_INTENSITY = {10.0F, 0.0F, 30.0F, 16777216.0F, 4294967296.0F};

const std::vector<double> PEAK_MZ = {150.25, 300.5};
const std::vector<float> PEAK_INTENSITY = {11.5F, 22.25F};

syn::Block good_profile() { return syn::profile_block(PROFILE_COUNTS); }
syn::Block good_peaks() { return syn::peak_block(3, PEAK_MZ, PEAK_INTENSITY); }

// A profile block whose LZF stream ends where a back reference needs its length byte.
syn::Block damaged_profile() {
  return syn::raw_block(syn::DataFile::profile, ByteBuilder().zeros(16).raw({0x01, 'a', 'b', 0xE0}).bytes(),
                        {.point_count = 3, .uncompressed_byte_count = 28});
}

syn::Block with_override(syn::Block block, syn::DescriptorOverride descriptor) {
  block.descriptor = descriptor;
  return block;
}

enum class Filled { profile, peaks, nothing };

struct BlockChoiceCase {
  const char* name;
  std::vector<syn::Block> blocks;  // the two descriptor slots of a 284-byte record
  Filled filled;
  bool from_profile;
};

TEST(Iteration, BlockChoiceTable) {
  const std::uint64_t far_away = std::uint64_t{1} << 40;
  std::vector<BlockChoiceCase> cases;
  cases.push_back({"profile with points wins over peaks", {good_profile(), good_peaks()}, Filled::profile, true});
  cases.push_back({"profile wins whatever the descriptor order", {good_peaks(), good_profile()}, Filled::profile, true});
  cases.push_back({"zero-point profile falls back to peaks", {syn::profile_block({}), good_peaks()}, Filled::peaks, true});
  cases.push_back({"zero-point profile without peaks", {syn::profile_block({})}, Filled::nothing, true});
  cases.push_back({"zero-point profile, peaks beyond the end of MSPeak.bin",
                   {syn::profile_block({}), with_override(good_peaks(), {.offset = far_away})},
                   Filled::nothing,
                   true});
  cases.push_back({"zero-point profile with an undecodable stream is still decoded",
                   {syn::raw_block(syn::DataFile::profile, ByteBuilder().zeros(16).raw({0xFF, 0xFF}).bytes(),
                                   {.point_count = 0, .uncompressed_byte_count = 999})},
                   Filled::nothing,
                   true});
  cases.push_back({"damaged LZF stream falls back to peaks", {damaged_profile(), good_peaks()}, Filled::peaks, false});
  cases.push_back({"profile range beyond MSProfile.bin falls back to peaks",
                   {with_override(good_profile(), {.byte_count = 1U << 20}), good_peaks()},
                   Filled::peaks,
                   false});
  cases.push_back({"profile shorter than its preamble falls back to peaks",
                   {syn::raw_block(syn::DataFile::profile, syn::Bytes(15, 0),
                                   {.point_count = 1, .uncompressed_byte_count = 20}),
                    good_peaks()},
                   Filled::peaks,
                   false});
  cases.push_back({"payload too short for the point count falls back to peaks",
                   {with_override(good_profile(), {.point_count = 6}), good_peaks()},
                   Filled::peaks,
                   false});
  cases.push_back({"failed profile and truncated peaks",
                   {damaged_profile(), with_override(good_peaks(), {.point_count = 3})},
                   Filled::nothing,
                   false});
  cases.push_back({"peaks alone", {good_peaks()}, Filled::peaks, false});
  cases.push_back({"no block", {}, Filled::nothing, false});
  cases.push_back({"descriptors of unknown formats describe no block",
                   {syn::descriptor_only({.format_id = 4, .byte_count = 24, .point_count = 2}),
                    syn::descriptor_only({.format_id = 0})},
                   Filled::nothing,
                   false});

  // Every case is one scan of the same acquisition, so each block lies at a different offset.
  syn::Acquisition acquisition;
  acquisition.profile_file_prefix = syn::Bytes(5, 0xCD);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    syn::Scan scan;
    scan.scan_id = static_cast<std::uint32_t>(i + 1);
    scan.mz_range_low = 100.0;
    scan.mz_range_high = 200.0;
    scan.blocks = cases[i].blocks;
    acquisition.scans.push_back(std::move(scan));
  }
  // A valid peak block that only the format-4 descriptor points at: it must stay unread.
  acquisition.peak_file_prefix = ByteBuilder().f64(1.0).f64(2.0).f32(3.0F).f32(4.0F).bytes();

  const TempDir dir;
  const Reader reader = open_written(dir, acquisition);
  const std::vector<SpectrumRecord> records = drain(reader);
  ASSERT_EQ(records.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const SpectrumRecord& record = records[i];
    expect_well_formed(record);
    EXPECT_EQ(record.index, i);
    EXPECT_EQ(record.from_profile, cases[i].from_profile);
    switch (cases[i].filled) {
      case Filled::profile:
        EXPECT_EQ(record.mz, PROFILE_MZ);
        EXPECT_EQ(record.intensity, PROFILE_INTENSITY);
        break;
      case Filled::peaks:
        EXPECT_EQ(record.mz, PEAK_MZ);
        EXPECT_EQ(record.intensity, PEAK_INTENSITY);
        break;
      case Filled::nothing:
        EXPECT_TRUE(record.mz.empty());
        EXPECT_TRUE(record.intensity.empty());
        break;
    }
  }
}

// Scans of every block combination, with identities worth checking.
syn::Acquisition mixed_blocks_acquisition() {
  syn::Acquisition acquisition;
  const std::vector<std::vector<syn::Block>> blocks = {
      {good_profile(), good_peaks()},
      {syn::profile_block({}), good_peaks()},
      {good_peaks()},
      {good_profile()},
      {},
  };
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    syn::Scan scan;
    scan.scan_id = static_cast<std::uint32_t>(101 + 2 * i);
    scan.retention_time_min = 1.5 + 0.37 * static_cast<double>(i);
    scan.ms_level = i == 2 ? 2 : 1;
    scan.precursor_mz = 420.5;
    scan.mz_range_low = 100.0;
    scan.mz_range_high = 200.0;
    scan.blocks = blocks[i];
    acquisition.scans.push_back(std::move(scan));
  }
  return acquisition;
}

struct MissingFilesCase {
  const char* name;
  bool write_profile_file;
  bool write_peak_file;
  std::vector<Filled> filled;  // per scan of mixed_blocks_acquisition
  std::vector<bool> from_profile;
};

TEST(Iteration, MissingBlockFiles) {
  const std::vector<MissingFilesCase> cases = {
      {"both block files missing", false, false,
       {Filled::nothing, Filled::nothing, Filled::nothing, Filled::nothing, Filled::nothing},
       {false, false, false, false, false}},
      {"MSProfile.bin missing", false, true,
       {Filled::peaks, Filled::peaks, Filled::peaks, Filled::nothing, Filled::nothing},
       {false, false, false, false, false}},
      {"MSPeak.bin missing", true, false,
       {Filled::profile, Filled::nothing, Filled::nothing, Filled::profile, Filled::nothing},
       {true, true, false, true, false}},
  };
  for (const MissingFilesCase& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    syn::Acquisition acquisition = mixed_blocks_acquisition();
    acquisition.write_profile_file = test_case.write_profile_file;
    acquisition.write_peak_file = test_case.write_peak_file;
    const TempDir dir;
    const Reader reader = open_written(dir, acquisition);
    const std::vector<SpectrumRecord> records = drain(reader);
    ASSERT_EQ(records.size(), acquisition.scans.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      SCOPED_TRACE("scan " + std::to_string(i));
      const SpectrumRecord& record = records[i];
      const syn::Scan& scan = acquisition.scans[i];
      expect_well_formed(record);
      EXPECT_EQ(record.index, i);
      EXPECT_EQ(record.native_id, "scanId=" + std::to_string(scan.scan_id));
      EXPECT_EQ(record.scan_id, scan.scan_id);
      EXPECT_EQ(record.ms_level, scan.ms_level);
      EXPECT_EQ(record.retention_time_sec, scan.retention_time_min * 60.0);
      EXPECT_EQ(record.from_profile, test_case.from_profile[i]);
      switch (test_case.filled[i]) {
        case Filled::profile: EXPECT_EQ(record.mz, PROFILE_MZ); break;
        case Filled::peaks: EXPECT_EQ(record.mz, PEAK_MZ); break;
        case Filled::nothing: EXPECT_TRUE(record.mz.empty()); break;
      }
    }
    EXPECT_EQ(records.front().retention_time_sec, 90.0);
  }
}

// Six scans whose single peak has the scan number as its m/z, so a record shows which
// scan's block it was given.
syn::Acquisition numbered_peaks_acquisition() {
  syn::Acquisition acquisition;
  for (std::uint32_t i = 0; i < 6; ++i) {
    syn::Scan scan;
    scan.scan_id = 40 + i;
    scan.retention_time_min = 0.5 * i;
    scan.mz_range_low = 50.0;
    scan.mz_range_high = 500.0;
    scan.blocks.push_back(syn::peak_block(3, {static_cast<double>(scan.scan_id)}, {1.0F}));
    acquisition.scans.push_back(std::move(scan));
  }
  return acquisition;
}

void expect_record_of_scan(const std::optional<SpectrumRecord>& record, std::uint64_t index) {
  ASSERT_TRUE(record.has_value()) << "no record where index " << index << " was expected";
  EXPECT_EQ(record->index, index);
  EXPECT_EQ(record->scan_id, 40 + index);
  EXPECT_EQ(record->native_id, "scanId=" + std::to_string(40 + index));
  ASSERT_EQ(record->mz.size(), 1U);
  EXPECT_EQ(record->mz[0], static_cast<double>(40 + index));
}

void expect_size_hint(const elmbrace::SpectrumIterator& iterator, std::uint64_t left) {
  const elmbrace::SizeHint hint = iterator.size_hint();
  EXPECT_EQ(hint.lower, left);
  EXPECT_EQ(hint.upper, std::optional<std::uint64_t>(left));
}

TEST(Iteration, SkippingKeepsIndexAndBlocksInStep) {
  const TempDir dir;
  const Reader reader = open_written(dir, numbered_peaks_acquisition());

  const auto iterator = reader.iter_spectra();
  expect_size_hint(*iterator, 6);
  EXPECT_EQ(iterator->advance_by(0), 0U);
  expect_size_hint(*iterator, 6);
  EXPECT_EQ(iterator->advance_by(2), 0U);
  expect_size_hint(*iterator, 4);
  expect_record_of_scan(iterator->next(), 2);
  expect_record_of_scan(iterator->nth(0), 3);
  expect_record_of_scan(iterator->nth(1), 5);
  expect_size_hint(*iterator, 0);
  EXPECT_FALSE(iterator->next().has_value());
  EXPECT_FALSE(iterator->next().has_value());
  EXPECT_EQ(iterator->advance_by(3), 3U);
  EXPECT_FALSE(iterator->nth(0).has_value());
  expect_size_hint(*iterator, 0);

  // Asking for more than is left takes what there is and reports the rest.
  const auto overshoot = reader.iter_spectra();
  EXPECT_EQ(overshoot->advance_by(4), 0U);
  EXPECT_EQ(overshoot->advance_by(10), 8U);
  EXPECT_FALSE(overshoot->next().has_value());

  // nth past the end gives nothing; nth of the last index gives the last record.
  EXPECT_FALSE(reader.iter_spectra()->nth(6).has_value());
  expect_record_of_scan(reader.iter_spectra()->nth(5), 5);
  expect_record_of_scan(reader.iter_spectra()->nth(0), 0);
}

TEST(Iteration, IteratorsOfOneReaderAreIndependent) {
  const TempDir dir;
  const Reader reader = open_written(dir, numbered_peaks_acquisition());

  const auto first = reader.iter_spectra();
  expect_record_of_scan(first->next(), 0);
  expect_record_of_scan(first->next(), 1);
  const auto second = reader.iter_spectra();
  expect_size_hint(*second, 6);
  expect_record_of_scan(second->next(), 0);
  expect_record_of_scan(first->next(), 2);
  EXPECT_EQ(first->advance_by(10), 7U);
  expect_size_hint(*second, 5);
  for (std::uint64_t index = 1; index < 6; ++index) expect_record_of_scan(second->next(), index);
  EXPECT_FALSE(second->next().has_value());

  // A drained reader starts over for the next pass.
  EXPECT_EQ(drain(reader).size(), 6U);
  expect_record_of_scan(reader.iter_spectra()->next(), 0);
}

struct LayoutCase {
  std::uint32_t stride;
  std::uint8_t instrument_class;
  bool has_mrm_channel;  // layouts 186 and 196 identify MS2 scans by MRM channel
};

TEST(Iteration, PrecursorAndInstrumentClassPerLayout) {
  const std::vector<LayoutCase> cases = {
      {284, 3, false}, {220, 3, false}, {216, 1, false}, {196, 1, true}, {186, 1, true},
  };
  for (const LayoutCase& layout : cases) {
    SCOPED_TRACE("layout " + std::to_string(layout.stride));
    // Every scan carries an MRM channel, a precursor and a collision energy in its bytes;
    // the layout and MS level decide which of them reach the record.
    syn::Acquisition acquisition;
    acquisition.record_stride = layout.stride;
    const std::vector<std::uint16_t> ms_levels = {1, 2, 3, 0};
    for (std::uint32_t i = 0; i < ms_levels.size(); ++i) {
      syn::Scan scan;
      scan.scan_id = 10 + i;
      scan.ms_level = ms_levels[i];
      scan.mrm_channel = 5 + 2 * i;
      scan.precursor_mz = 400.5 + 100.0 * i;
      scan.collision_energy = 25.0 + 5.0 * i;
      if (layout.stride == 284) {
        scan.mz_range_low = 60.0;
        scan.mz_range_high = 900.0;
      }
      acquisition.scans.push_back(std::move(scan));
    }
    const TempDir dir;
    const Reader reader = open_written(dir, acquisition);
    ASSERT_EQ(reader.scan_index().record_stride, layout.stride);
    const std::vector<SpectrumRecord> records = drain(reader);
    ASSERT_EQ(records.size(), 4U);

    for (const SpectrumRecord& record : records) {
      expect_well_formed(record);
      EXPECT_EQ(record.instrument_class, layout.instrument_class);
      EXPECT_EQ(record.mz_range_low.has_value(), layout.stride == 284);
      EXPECT_EQ(record.mz_range_high.has_value(), layout.stride == 284);
    }
    EXPECT_FALSE(records[0].precursor.has_value()) << "MS1 scan";
    EXPECT_FALSE(records[3].precursor.has_value()) << "MS level 0";
    if (layout.stride == 284) {
      EXPECT_EQ(records[0].mz_range_low, 60.0);
      EXPECT_EQ(records[0].mz_range_high, 900.0);
    }

    for (const std::size_t i : {std::size_t{1}, std::size_t{2}}) {
      SCOPED_TRACE("MS level " + std::to_string(ms_levels[i]));
      ASSERT_TRUE(records[i].precursor.has_value());
      const elmbrace::Precursor& precursor = *records[i].precursor;
      const syn::Scan& scan = acquisition.scans[i];
      if (layout.has_mrm_channel) {
        EXPECT_EQ(precursor.ref_id, "mrm_channel=" + std::to_string(*scan.mrm_channel));
        EXPECT_FALSE(precursor.precursor_mz.has_value());
        EXPECT_FALSE(precursor.collision_energy.has_value());
      } else {
        EXPECT_EQ(precursor.ref_id, records[i].native_id);
        EXPECT_EQ(precursor.precursor_mz, scan.precursor_mz);
        EXPECT_EQ(precursor.collision_energy, scan.collision_energy);
      }
      EXPECT_EQ(precursor.charge, 0);
      EXPECT_EQ(precursor.activation_code, 0);
      EXPECT_EQ(precursor.isolation_code, 255);
      EXPECT_EQ(precursor.dissociation_code, 255);
      EXPECT_FALSE(precursor.isolation_target_mz.has_value());
    }
    EXPECT_EQ(records[1].polarity_code, 2);
    EXPECT_FALSE(records[1].total_ion_current.has_value());
    EXPECT_FALSE(records[1].ion_mobility.has_value());
  }
}

TEST(Iteration, DecodedValuesMatchWhatWasWritten) {
  const std::vector<std::uint32_t> realistic = syn::realistic_profile_intensities(3000, 7);
  syn::Block literal = syn::profile_block(realistic);
  std::get<syn::ProfileBlock>(literal.content).encoding = syn::LzfEncoding::literal;
  syn::Block padded = syn::profile_block({5, 6, 7});
  std::get<syn::ProfileBlock>(padded.content).payload_padding = 12;

  // Format 2 stores m/z times 100; 10007 / 100 differs from 10007 * 0.01 in the last bit.
  const syn::Bytes split_bytes = ByteBuilder().f64(10007.0).f64(50000.0).f32(1.5F).f32(-2.0F).bytes();
  // Format 3 with bytes past its points, which are ignored.
  const syn::Bytes interleaved_bytes = ByteBuilder().f64(10007.0).f32(0.25F).f64(123.456).f32(8.0F).zeros(5).bytes();

  syn::Acquisition acquisition;
  acquisition.peak_file_prefix = syn::Bytes(3, 0);  // every peak block starts unaligned
  const auto add = [&](std::uint32_t scan_id, double retention_time_min, syn::Block block) {
    syn::Scan scan;
    scan.scan_id = scan_id;
    scan.retention_time_min = retention_time_min;
    scan.mz_range_low = 100.0;
    scan.mz_range_high = 1700.0;
    scan.blocks.push_back(std::move(block));
    acquisition.scans.push_back(std::move(scan));
  };
  add(1, 0.047216666666666664, syn::profile_block(realistic));
  add(2, 0.25, std::move(literal));
  add(4294967295U, 1.5, std::move(padded));
  add(3, 7.125, syn::raw_block(syn::DataFile::peak, split_bytes, {.format_id = 2, .point_count = 2}));
  add(0, 1e-3, syn::raw_block(syn::DataFile::peak, interleaved_bytes, {.format_id = 3, .point_count = 2}));
  add(5, 90.0, syn::profile_block({42}));

  const TempDir dir;
  const Reader reader = open_written(dir, acquisition);
  const std::vector<SpectrumRecord> records = drain(reader);
  ASSERT_EQ(records.size(), acquisition.scans.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    expect_well_formed(records[i]);
    EXPECT_EQ(records[i].retention_time_sec, acquisition.scans[i].retention_time_min * 60.0);
  }
  EXPECT_EQ(records[2].retention_time_sec, 90.0);
  EXPECT_EQ(records[2].native_id, "scanId=4294967295");
  EXPECT_EQ(records[4].native_id, "scanId=0");

  // Profile points spread evenly from the low to the high end of the scan range; each
  // intensity is the stored count as a float32.
  for (const std::size_t i : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(i == 0 ? "compressed stream" : "literal stream");
    const SpectrumRecord& record = records[i];
    EXPECT_TRUE(record.from_profile);
    ASSERT_EQ(record.mz.size(), realistic.size());
    EXPECT_EQ(record.mz.front(), 100.0);
    EXPECT_NEAR(record.mz.back(), 1700.0, 1e-9);
    const double spacing = 1600.0 / 2999.0;
    for (std::size_t j = 0; j < realistic.size(); ++j) {
      ASSERT_NEAR(record.mz[j], 100.0 + spacing * static_cast<double>(j), 1e-9) << "point " << j;
      ASSERT_EQ(record.intensity[j], static_cast<float>(realistic[j])) << "point " << j;
    }
  }
  EXPECT_EQ(records[2].mz, (std::vector<double>{100.0, 900.0, 1700.0}));
  EXPECT_EQ(records[2].intensity, (std::vector<float>{5.0F, 6.0F, 7.0F}));

  EXPECT_FALSE(records[3].from_profile);
  EXPECT_EQ(records[3].mz, (std::vector<double>{10007.0 / 100.0, 500.0}));
  EXPECT_EQ(records[3].intensity, (std::vector<float>{1.5F, -2.0F}));
  EXPECT_EQ(records[4].mz, (std::vector<double>{10007.0, 123.456}));
  EXPECT_EQ(records[4].intensity, (std::vector<float>{0.25F, 8.0F}));

  // A single point sits at the low end of the range.
  EXPECT_EQ(records[5].mz, (std::vector<double>{100.0}));
  EXPECT_EQ(records[5].intensity, (std::vector<float>{42.0F}));
}

TEST(Iteration, ProfileWithoutScanRangeHasZeroMz) {
  // Layout 220 has no m/z range: profile points all get m/z 0.
  syn::Acquisition acquisition;
  acquisition.record_stride = 220;
  syn::Scan scan;
  scan.scan_id = 9;
  scan.blocks.push_back(syn::profile_block({3, 1, 4, 1}));
  acquisition.scans.push_back(scan);

  const TempDir dir;
  const std::vector<SpectrumRecord> records = drain(open_written(dir, acquisition));
  ASSERT_EQ(records.size(), 1U);
  EXPECT_TRUE(records[0].from_profile);
  EXPECT_FALSE(records[0].mz_range_low.has_value());
  EXPECT_EQ(records[0].mz, (std::vector<double>(4, 0.0)));
  EXPECT_EQ(records[0].intensity, (std::vector<float>{3.0F, 1.0F, 4.0F, 1.0F}));
}

int run_make_sample(const std::string& arguments) {
  const std::string command = std::string("'") + VORNAK_MAKE_SAMPLE_BIN + "' " + arguments;
  return std::system(command.c_str());
}

TEST(Iteration, DemoAndJsonAcquisitionsFromTheCommand) {
  const TempDir dir;
  const fs::path demo = dir.path() / "demo.d";
  ASSERT_EQ(run_make_sample("'" + demo.string() + "'"), 0);
  auto opened = Reader::open(demo.string());
  ASSERT_TRUE(opened) << opened.error().display();
  EXPECT_EQ(opened->instrument().model_name, "6530B Q-TOF LC/MS");
  EXPECT_TRUE(opened->acquired_time().has_value());
  const std::vector<SpectrumRecord> records = drain(*opened);
  ASSERT_EQ(records.size(), 12U);
  std::size_t ms1 = 0;
  for (const SpectrumRecord& record : records) {
    SCOPED_TRACE(record.native_id);
    expect_well_formed(record);
    EXPECT_FALSE(record.mz.empty());
    EXPECT_EQ(record.from_profile, record.ms_level == 1);
    if (record.ms_level == 1) {
      ++ms1;
      EXPECT_EQ(record.mz.front(), 100.0);
      EXPECT_NEAR(record.mz.back(), 1700.0, 1e-9);
    } else {
      ASSERT_TRUE(record.precursor.has_value());
      EXPECT_EQ(record.precursor->ref_id, record.native_id);
      EXPECT_TRUE(std::is_sorted(record.mz.begin(), record.mz.end()));
      EXPECT_LT(record.mz.back(), *record.precursor->precursor_mz + 20.0 + 1e-9);
    }
  }
  EXPECT_EQ(ms1, 4U);

  // A described acquisition: a peak block in hex behind an unaligned base64 prefix, and a
  // profile block whose descriptor claims one point more than the block holds.
  const std::string description = R"({
    "record_stride": 284,
    "peak_file_prefix": {"base64": "AAEC"},
    "scans": [
      {"scan_id": 1, "retention_time_min": 2, "mz_range_low": 100, "mz_range_high": 200,
       "blocks": [{"kind": "raw", "file": "peak", "bytes": {"hex": "0000000000407f400000803f"},
                   "descriptor": {"format_id": 3, "point_count": 1}}]},
      {"scan_id": 2, "ms_level": 2, "precursor_mz": 321.5,
       "blocks": [{"kind": "profile", "intensities": [1, 2, 3], "descriptor": {"point_count": 4}}]}
    ]})";
  const fs::path json_path = dir.path() / "description.json";
  std::ofstream(json_path) << description;
  const fs::path described = dir.path() / "described.d";
  ASSERT_EQ(run_make_sample("--json '" + json_path.string() + "' '" + described.string() + "'"), 0);
  auto described_reader = Reader::open(described.string());
  ASSERT_TRUE(described_reader) << described_reader.error().display();
  const std::vector<SpectrumRecord> described_records = drain(*described_reader);
  ASSERT_EQ(described_records.size(), 2U);
  EXPECT_EQ(described_records[0].mz, (std::vector<double>{500.0}));
  EXPECT_EQ(described_records[0].intensity, (std::vector<float>{1.0F}));
  EXPECT_EQ(described_records[0].retention_time_sec, 120.0);
  EXPECT_TRUE(described_records[1].mz.empty());
  EXPECT_FALSE(described_records[1].from_profile);
  EXPECT_EQ(described_records[1].precursor->precursor_mz, 321.5);

  // A bad description fails with status 1 and writes nothing.
  std::ofstream(json_path) << R"({"record_stride": 200, "scans": [{}]})";
  const fs::path refused = dir.path() / "refused.d";
  EXPECT_NE(run_make_sample("--json '" + json_path.string() + "' '" + refused.string() + "' 2>/dev/null"), 0);
  EXPECT_FALSE(fs::exists(refused));
}

// Real acquisitions

fs::path realdata_folder(const char* name) { return fs::path(VORNAK_REALDATA_DIR) / name; }

#define SKIP_WITHOUT_REALDATA()                                                                   \
  do {                                                                                            \
    if (!fs::is_directory(VORNAK_REALDATA_DIR)) {                                                 \
      GTEST_SKIP() << "real acquisitions not found at " << VORNAK_REALDATA_DIR;                   \
    }                                                                                             \
  } while (false)

TEST(IterationRealData, ProfileBlocksOfAnotherEncodingYieldEmptySpectra) {
  SKIP_WITHOUT_REALDATA();
  auto reader = Reader::open(realdata_folder("magenta.D").string());
  ASSERT_TRUE(reader) << reader.error().display();
  const std::vector<SpectrumRecord> records = drain(*reader);
  ASSERT_EQ(records.size(), 3U);
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(records[i].native_id);
    expect_well_formed(records[i]);
    EXPECT_EQ(records[i].index, i);
    EXPECT_TRUE(records[i].mz.empty());
    EXPECT_FALSE(records[i].from_profile);
    EXPECT_EQ(records[i].instrument_class, 3);
  }
}

struct RealAcquisition {
  const char* folder;
  std::size_t scan_count;
};

TEST(IterationRealData, ScanIndexOnlyAcquisitionsYieldOneEmptyRecordPerScan) {
  SKIP_WITHOUT_REALDATA();
  const std::vector<RealAcquisition> acquisitions = {
      {"MJA5_1000_090919_001.d", 1065},
      {"Propellant_Std_1ug_1_200124-0002.d", 1809},
      {"example1.d", 1333},
  };
  for (const RealAcquisition& acquisition : acquisitions) {
    SCOPED_TRACE(acquisition.folder);
    auto reader = Reader::open(realdata_folder(acquisition.folder).string());
    ASSERT_TRUE(reader) << reader.error().display();
    const std::vector<ScanRecord>& scans = reader->scan_index().records;
    const auto iterator = reader->iter_spectra();
    expect_size_hint(*iterator, acquisition.scan_count);
    std::size_t count = 0;
    while (auto record = iterator->next()) {
      ASSERT_LT(count, scans.size());
      expect_well_formed(*record);
      EXPECT_EQ(record->index, count);
      EXPECT_EQ(record->scan_id, scans[count].scan_id);
      EXPECT_EQ(record->ms_level, 1U);
      EXPECT_EQ(record->retention_time_sec, scans[count].retention_time_min * 60.0);
      EXPECT_TRUE(record->mz.empty());
      EXPECT_TRUE(record->intensity.empty());
      EXPECT_FALSE(record->from_profile);
      EXPECT_EQ(record->instrument_class, 3);
      EXPECT_TRUE(record->mz_range_low.has_value());
      ++count;
    }
    EXPECT_EQ(count, acquisition.scan_count);
  }
}

TEST(IterationRealData, RetentionTimesMatchTheInstrumentSoftware) {
  SKIP_WITHOUT_REALDATA();
  // Scan times in minutes as the instrument's own software reports them, one "- value" line each.
  std::ifstream reference(realdata_folder("example1.d.scan-times-min.yml"));
  ASSERT_TRUE(reference) << "example1.d.scan-times-min.yml is missing";
  std::vector<double> minutes;
  for (std::string line; std::getline(reference, line);) {
    if (line.starts_with("- ")) minutes.push_back(std::strtod(line.c_str() + 2, nullptr));
  }
  auto reader = Reader::open(realdata_folder("example1.d").string());
  ASSERT_TRUE(reader) << reader.error().display();
  const std::vector<SpectrumRecord> records = drain(*reader);
  ASSERT_EQ(records.size(), minutes.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].retention_time_sec, minutes[i] * 60.0) << "scan " << i;
  }
}

}  // namespace
}  // namespace vornak
