// Whole folders of the triple-quad, ion-mobility and ICP-MS families, written by the sample
// writer, through Acquisition: what the real folders lack (several transitions per record, time
// segments, empty frame sums, blocks that do not fit their file, MS/MS channel transitions) and
// the frame-sum oracle on every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"
#include "full_reader/integrity.hpp"
#include "temp_dir.hpp"
#include "tests/support/real_layout.hpp"

namespace vornak {
namespace {

using namespace vornak::testing;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes read_all(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_all(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename T>
void patch(const fs::path& path, std::size_t at, T value) {
  Bytes bytes = read_all(path);
  std::memcpy(bytes.data() + at, &value, sizeof value);
  write_all(path, bytes);
}

Acquisition open_or_fail(const fs::path& folder) {
  auto acquisition = Acquisition::open(folder.string());
  if (!acquisition) throw std::runtime_error(acquisition.error().message());
  return std::move(*acquisition);
}

// The kinds of damage `vornak check` finds, with the scan each names.
std::vector<std::pair<DamageKind, std::optional<std::uint64_t>>> damage_of(const fs::path& folder) {
  const auto report = check_acquisition(folder.string(), {.workers = 1, .progress = {}});
  EXPECT_TRUE(report) << report.error().message();
  std::vector<std::pair<DamageKind, std::optional<std::uint64_t>>> found;
  if (!report) return found;
  for (const Finding& finding : report->findings) {
    if (finding.severity == Severity::Damage) found.emplace_back(finding.kind, finding.scan_index);
  }
  return found;
}

// ---- triple quadrupoles -------------------------------------------------------------------

constexpr std::size_t QUAD_DATA_OFFSET = 296;
constexpr std::size_t QUAD_STRIDE = 184;
constexpr std::size_t QUAD_BYTE_COUNT_AT = 144;  // in the record: descriptor at 132, ByteCount at +12

struct QuadFolder {
  TempDir dir;
  fs::path folder = dir.path() / "quad.d";
  std::vector<synthetic::FamilyRecord> records;

  explicit QuadFolder(const synthetic::TripleQuadOptions& options) {
    synthetic::write_triple_quad_acquisition(folder, options,
                                             [&](const synthetic::FamilyRecord& record) { records.push_back(record); });
  }
};

synthetic::TripleQuadOptions several_transitions() {
  synthetic::TripleQuadOptions options;
  options.mrm_records = 9;
  options.mrm_precursors = 3;
  options.transitions_per_record = 3;
  options.sim_records = 4;
  options.sim_ions = 2;
  options.count_profiles = 2;
  options.abundance_profiles = 2;
  options.points = 150;
  options.time_segments = 4;
  options.negative = true;
  return options;
}

TEST(TripleQuadFolders, SeveralTransitionsPerRecordBecomeOneChromatogramEach) {
  const QuadFolder written(several_transitions());
  const Acquisition acquisition = open_or_fail(written.folder);

  // What the chromatograms must hold, from the records as written: (kind, Q1, Q3) -> points.
  using Key = std::tuple<int, double, double>;  // SRM 0 / SIM 1, Q1, Q3 (0 for SIM)
  std::map<Key, std::pair<std::vector<double>, std::vector<double>>> expected;
  for (const synthetic::FamilyRecord& record : written.records) {
    if (record.encoding != "point-list") continue;
    for (std::size_t i = 0; i < record.mz.size(); ++i) {
      const bool srm = record.scan_type == SCAN_TYPE_MRM;
      const Key key{srm ? 0 : 1, srm ? *record.precursor_mz : record.mz[i], srm ? record.mz[i] : 0.0};
      expected[key].first.push_back(record.retention_time_min * 60.0);
      expected[key].second.push_back(record.intensity[i]);
    }
  }
  ASSERT_EQ(expected.size(), 3U * 3U + 2U);

  const auto chromatograms = transition_chromatograms(acquisition, {.threads = 2});
  ASSERT_TRUE(chromatograms) << chromatograms.error().error.message();
  ASSERT_EQ(chromatograms->size(), expected.size());
  auto next = expected.begin();  // the map's order is the listing order: SRM first, then Q1, Q3
  for (const TransitionChromatogram& chromatogram : *chromatograms) {
    const auto& [key, points] = *next++;
    SCOPED_TRACE(chromatogram.id);
    EXPECT_EQ(chromatogram.kind == TransitionChromatogram::Kind::Sim, std::get<0>(key) == 1);
    EXPECT_EQ(chromatogram.polarity, Polarity::Negative);
    EXPECT_EQ(chromatogram.precursor_mz, std::get<1>(key));
    EXPECT_EQ(chromatogram.product_mz.value_or(0.0), std::get<2>(key));
    EXPECT_EQ(chromatogram.time_sec, points.first);
    EXPECT_EQ(chromatogram.intensity, points.second);
  }
  EXPECT_EQ(chromatograms->front().id, "- SRM SIC Q1=200.0 Q3=60.25");
  EXPECT_EQ(chromatograms->back().id, "- SIM SIC Q1=250.5");

  // The collector alone, fed out of record order: each transition keeps the order it was given.
  TransitionCollector collector;
  for (std::size_t index : {3U, 0U}) {
    const auto points = acquisition.spectrum(index);
    ASSERT_TRUE(points);
    collector.add(acquisition.scan(index), *points);
  }
  const auto collected = collector.take();
  ASSERT_EQ(collected.size(), 3U);  // records 0 and 3 share their precursor
  EXPECT_EQ(collected[0].scans, (std::vector<std::size_t>{3, 0}));
}

TEST(TripleQuadFolders, ATransitionWithoutANumericQ1IsListedLast) {
  synthetic::TripleQuadOptions options;
  options.mrm_records = 3;
  options.mrm_precursors = 3;  // Q1 200, 250, 300, one transition each
  options.transitions_per_record = 1;
  options.sim_records = 0;
  options.count_profiles = 0;
  options.abundance_profiles = 0;
  options.time_segments = 1;
  const QuadFolder written(options);
  constexpr std::size_t MZ_OF_INTEREST_AT = 84;  // in the record
  patch(written.folder / "AcqData" / "MSScan.bin", QUAD_DATA_OFFSET + MZ_OF_INTEREST_AT,
        std::numeric_limits<double>::quiet_NaN());
  const auto chromatograms = transition_chromatograms(open_or_fail(written.folder), {.threads = 1});
  ASSERT_TRUE(chromatograms);
  ASSERT_EQ(chromatograms->size(), 3U);
  EXPECT_EQ((*chromatograms)[0].precursor_mz, 250.0);
  EXPECT_EQ((*chromatograms)[1].precursor_mz, 300.0);
  EXPECT_TRUE(std::isnan((*chromatograms)[2].precursor_mz));
}

TEST(TripleQuadFolders, ScansCarryTheirTimeSegmentTypeAndBlocksAsWritten) {
  const QuadFolder written(several_transitions());
  const Acquisition acquisition = open_or_fail(written.folder);
  ASSERT_EQ(acquisition.size(), written.records.size());
  ASSERT_EQ(acquisition.time_segments().size(), 4U);
  std::int64_t scans_in_segments = 0;
  for (std::size_t s = 0; s < 4; ++s) {
    EXPECT_EQ(acquisition.time_segments()[s].id, static_cast<std::int64_t>(s + 1));
    scans_in_segments += acquisition.time_segments()[s].scans.value_or(0);
  }
  EXPECT_EQ(scans_in_segments, static_cast<std::int64_t>(written.records.size()));

  for (const synthetic::FamilyRecord& record : written.records) {
    SCOPED_TRACE("record " + std::to_string(record.record) + " (" + record.encoding + ")");
    const ScanInfo scan = acquisition.scan(record.record);
    EXPECT_EQ(scan.time_segment, record.time_segment);
    EXPECT_EQ(scan.scan_type, record.scan_type);
    EXPECT_EQ(scan.ms_level, record.ms_level);
    const auto spectrum = acquisition.spectrum(record.record);
    ASSERT_TRUE(spectrum) << spectrum.error().message();
    // Exact: f32 x widened, MinX + i * SamplingPeriod, x0 + i * step, as the writer computed them.
    EXPECT_EQ(spectrum->mz, record.mz);
    EXPECT_EQ(spectrum->intensity, record.intensity);
    EXPECT_EQ(spectrum->kind == SpectrumKind::Profile, record.block_file == "MSProfile.bin");
    if (record.encoding == "f32-axis-counts") {
      EXPECT_EQ(spectrum->encoding, ProfileEncoding::F32AxisCounts);
    } else if (record.encoding == "f64-axis-abundances") {
      EXPECT_EQ(spectrum->encoding, ProfileEncoding::F64AxisAbundances);
    }
  }
  EXPECT_TRUE(damage_of(written.folder).empty());  // counts sum to every TIC
}

TEST(TripleQuadFolders, BlocksThatDoNotFitAreErrorsNamingTheScan) {
  synthetic::TripleQuadOptions options;
  options.mrm_records = 2;
  options.sim_records = 1;
  options.count_profiles = 2;
  options.abundance_profiles = 0;
  options.points = 10;
  options.time_segments = 1;
  // Records: 0, 1 MRM point lists of 2 points; 2 the last point list (SIM); 3, 4 profiles.
  const auto record_at = [](std::size_t record) { return QUAD_DATA_OFFSET + record * QUAD_STRIDE; };
  struct Case {
    const char* what;
    std::function<void(const fs::path& acqdata)> damage;
    std::vector<std::size_t> scans;  // the damaged scans; the message is the last one's
    std::string message;             // the start of that scan's error
    DamageKind kind;
  };
  const Case cases[] = {
      {"MSPeak.bin one byte short of the last point list",
       [](const fs::path& acqdata) { fs::resize_file(acqdata / "MSPeak.bin", fs::file_size(acqdata / "MSPeak.bin") - 1); },
       {2}, "scan 2: read_bytes: requested 16 bytes at offset 100 but ", DamageKind::BlockOutsideFile},
      {"a point list one byte short",
       [&](const fs::path& acqdata) { patch(acqdata / "MSScan.bin", record_at(0) + QUAD_BYTE_COUNT_AT, std::int32_t{15}); },
       {0}, "scan 0: point list of 2 points needs 16 bytes, the block has 15", DamageKind::BlockUndecodable},
      {"a profile one byte over",
       [&](const fs::path& acqdata) { patch(acqdata / "MSScan.bin", record_at(3) + QUAD_BYTE_COUNT_AT, std::int32_t{49}); },
       {3}, "scan 3: profile block of 10 bins has 49 bytes; expected 8 + 4N (48) or 16 + 4N (56)",
       DamageKind::BlockUndecodable},
      {"no MSProfile.bin", [](const fs::path& acqdata) { fs::remove(acqdata / "MSProfile.bin"); }, {3, 4},
       "scan 4: I/O error: cannot open ", DamageKind::BlockOutsideFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QuadFolder written(options);
    c.damage(written.folder / "AcqData");
    const Acquisition acquisition = open_or_fail(written.folder);
    const auto spectrum = acquisition.spectrum(c.scans.back());
    ASSERT_FALSE(spectrum);
    EXPECT_TRUE(spectrum.error().message().starts_with(c.message)) << spectrum.error().message();
    // The other scans still read; check names the damaged scans and no other.
    for (std::size_t i = 0; i < acquisition.size(); ++i) {
      EXPECT_EQ(acquisition.spectrum(i).has_value(), std::ranges::find(c.scans, i) == c.scans.end()) << i;
    }
    std::vector<std::pair<DamageKind, std::optional<std::uint64_t>>> expected;
    for (const std::size_t scan : c.scans) expected.emplace_back(c.kind, scan);
    EXPECT_EQ(damage_of(written.folder), expected);
  }
}

// ---- ion mobility -------------------------------------------------------------------------

constexpr std::size_t IMS_DATA_OFFSET = 296;
constexpr std::size_t IMS_STRIDE = 106;
constexpr std::size_t IMS_PROFILE_BYTES_AT = 52;  // MsProfByteCount, then MsProfOffset at 56

struct MobilityFolder {
  TempDir dir;
  fs::path folder = dir.path() / "mobility.d";
  std::vector<synthetic::FamilyRecord> records;

  explicit MobilityFolder(const synthetic::IonMobilityOptions& options) {
    synthetic::write_ion_mobility_acquisition(folder, options,
                                              [&](const synthetic::FamilyRecord& record) { records.push_back(record); });
  }
};

// The bin-wise sum of the drift-bin spectra of frame k, read through the acquisition.
std::vector<double> summed_drift_bins(const Acquisition& acquisition, std::size_t k) {
  std::vector<double> sum;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    if (acquisition.scan(index).frame_id != acquisition.frame_record(k).frame_id) continue;
    const auto bins = acquisition.spectrum(index);
    EXPECT_TRUE(bins) << bins.error().message();
    if (!bins) return {};
    sum.resize(bins->intensity.size(), 0.0);
    for (std::size_t i = 0; i < bins->intensity.size(); ++i) sum[i] += bins->intensity[i];
  }
  return sum;
}

TEST(IonMobilityFolders, EveryFrameSumIsTheSumOfItsDriftBins) {
  synthetic::IonMobilityOptions options;
  options.frames = 4;
  options.drift_bins = 5;
  options.points = 300;
  options.ms2_frames = true;
  const MobilityFolder written(options);
  const Acquisition acquisition = open_or_fail(written.folder);
  ASSERT_TRUE(acquisition.ion_mobility());
  ASSERT_EQ(acquisition.frame_count(), 4U);
  ASSERT_EQ(acquisition.record_count(), 4U * 6U);
  ASSERT_EQ(acquisition.size(), 4U * 5U);  // the drift bins only

  for (std::size_t k = 0; k < acquisition.frame_count(); ++k) {
    SCOPED_TRACE("frame " + std::to_string(k));
    const auto total = acquisition.frame(k);
    ASSERT_TRUE(total) << total.error().message();
    ASSERT_EQ(total->intensity.size(), 300U);
    EXPECT_EQ(total->intensity, summed_drift_bins(acquisition, k));
    EXPECT_EQ(acquisition.frame_scan(k).ms_level, k % 2 == 0 ? 1U : 2U);  // FragClass 1, 2, 1, 2
  }

  // The drift-bin spectra as written, with their frame's time and level and their drift time.
  std::size_t index = 0;
  for (const synthetic::FamilyRecord& record : written.records) {
    if (record.drift_bin == 0) continue;
    SCOPED_TRACE("record " + std::to_string(record.record));
    const ScanInfo scan = acquisition.scan(index);
    EXPECT_EQ(scan.record_index, record.record);
    EXPECT_EQ(scan.frame_id, record.frame_id);
    EXPECT_EQ(scan.drift_time_ms, record.drift_time_ms);
    EXPECT_EQ(scan.retention_time_sec, record.retention_time_min * 60.0);
    EXPECT_EQ(scan.ms_level, record.ms_level);
    EXPECT_EQ(scan.precursor_mz, record.precursor_mz);
    const auto spectrum = acquisition.spectrum(index++);
    ASSERT_TRUE(spectrum) << spectrum.error().message();
    EXPECT_EQ(spectrum->intensity, record.intensity);
    ASSERT_EQ(spectrum->mz.size(), record.mz.size());
    for (std::size_t i = 0; i < record.mz.size(); i += 37) EXPECT_NEAR(spectrum->mz[i], record.mz[i], 1e-9 * record.mz[i]);
  }
  EXPECT_TRUE(damage_of(written.folder).empty());
}

TEST(IonMobilityFolders, AnEmptyFrameSumAndASwappedOne) {
  synthetic::IonMobilityOptions options;
  options.frames = 3;
  options.drift_bins = 4;
  options.points = 200;
  options.empty_frame_sum = true;
  {
    const MobilityFolder written(options);
    const Acquisition acquisition = open_or_fail(written.folder);
    const ScanInfo last = acquisition.frame_scan(2);
    EXPECT_FALSE(last.profile_block);  // ByteCount 0, offsets -1: no block
    const auto total = acquisition.frame(2);
    ASSERT_TRUE(total);
    EXPECT_TRUE(total->intensity.empty());
    EXPECT_EQ(acquisition.size(), 12U);  // its drift bins are still spectra
    EXPECT_TRUE(acquisition.spectrum(11));
    EXPECT_TRUE(damage_of(written.folder).empty());  // nothing to compare with, nothing damaged
  }
  // Frame 0's sum record pointing at frame 1's block: both frames disagree with their bins.
  options.empty_frame_sum = false;
  const MobilityFolder written(options);
  const fs::path index = written.folder / "AcqData" / "MSScan.bin";
  Bytes bytes = read_all(index);
  const auto first_sum = static_cast<std::ptrdiff_t>(IMS_DATA_OFFSET + IMS_PROFILE_BYTES_AT);
  const auto second_sum = first_sum + static_cast<std::ptrdiff_t>((options.drift_bins + 1) * IMS_STRIDE);
  std::swap_ranges(bytes.begin() + first_sum, bytes.begin() + first_sum + 12, bytes.begin() + second_sum);
  write_all(index, bytes);
  const auto damage = damage_of(written.folder);
  ASSERT_EQ(damage.size(), 2U);
  EXPECT_EQ(damage[0].first, DamageKind::FrameSumMismatch);
  EXPECT_EQ(damage[1].first, DamageKind::FrameSumMismatch);
}

// ---- ICP-MS without a schema --------------------------------------------------------------

TEST(IcpmsFolders, ChannelValuesAsStoredOrThroughTransitions) {
  for (const bool transitions : {false, true}) {
    SCOPED_TRACE(transitions ? "MS/MS transitions" : "stored m/z");
    TempDir dir;
    const fs::path folder = dir.path() / "icpms.d";
    std::vector<synthetic::FamilyRecord> records;
    synthetic::IcpmsOptions options;
    options.transitions = transitions;
    synthetic::write_icpms_acquisition(folder, options,
                                       [&](const synthetic::FamilyRecord& record) { records.push_back(record); });
    const Acquisition acquisition = open_or_fail(folder);
    EXPECT_EQ(acquisition.layout().source, LayoutSource::BuiltIn);
    EXPECT_EQ(acquisition.channel_transitions().size(), transitions ? 3U : 0U);
    ASSERT_EQ(acquisition.size(), records.size());
    for (const synthetic::FamilyRecord& record : records) {
      const auto spectrum = acquisition.spectrum(record.record);
      ASSERT_TRUE(spectrum) << spectrum.error().message();
      EXPECT_EQ(spectrum->channels, transitions ? ChannelValues::Transitions : ChannelValues::AsStored);
      EXPECT_EQ(spectrum->mz, record.mz);  // the product m/z, or the stored value
      EXPECT_EQ(spectrum->precursor_mz, record.precursor_per_point);
      EXPECT_EQ(spectrum->intensity, record.intensity);
    }
    EXPECT_TRUE(damage_of(folder).empty());
  }
}

TEST(IcpmsFolders, AChannelWithoutATransitionAndARecordThatDoesNotFit) {
  TempDir dir;
  const fs::path folder = dir.path() / "icpms.d";
  synthetic::IcpmsOptions options;
  options.transitions = true;
  synthetic::write_icpms_acquisition(folder, options);
  const std::string two_channels =
      "<a><MSTS_XAddition_IndexedMasses><Index>1</Index><PrecursorIonMZ>31</PrecursorIonMZ><ProductIonMZ>47"
      "</ProductIonMZ></MSTS_XAddition_IndexedMasses><MSTS_XAddition_IndexedMasses><Index>3</Index>"
      "<PrecursorIonMZ>78</PrecursorIonMZ><ProductIonMZ>94</ProductIonMZ></MSTS_XAddition_IndexedMasses></a>";
  write_all(folder / "MSTS_XAddition.xml", Bytes(two_channels.begin(), two_channels.end()));
  {
    const Acquisition acquisition = open_or_fail(folder);
    const auto spectrum = acquisition.spectrum(1);
    ASSERT_FALSE(spectrum);
    EXPECT_EQ(spectrum.error().message(), "scan 1: channel 2 has no transition in MSTS_XAddition.xml");
  }
  // The last record's block one byte longer than 28 bytes a point: the layout does not apply.
  patch(folder / "AcqData" / "MSScan.bin", 208 + 4 * 136 + 84, std::int32_t{3 * 28 + 1});
  const auto refused = Acquisition::open(folder.string());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "Cannot determine record stride for payload len 680");
}

}  // namespace
}  // namespace vornak
