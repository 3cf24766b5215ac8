// The full reader on real acquisitions (against the values independent readers agree on) and
// on the project's own samples (against the designed reader of the same folders).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "realdata.hpp"
#include "full_reader/acquisition.hpp"
#include "reader_lib/reader.hpp"
#include "temp_dir.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using nlohmann::json;

constexpr double MZ_TOLERANCE = 1e-6;

fs::path realdata() { return fs::path(VORNAK_REALDATA_DIR); }

json reference() { return testing::realdata_reference(); }

Acquisition open_real(const std::string& folder) {
  auto acquisition = Acquisition::open((realdata() / folder).string());
  if (!acquisition) ADD_FAILURE() << folder << ": " << acquisition.error().display();
  return std::move(*acquisition);
}

// The point count, intensity sum and maximum, and the sampled values of one reference spectrum.
void expect_matches(const Spectrum& spectrum, const json& expected, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_EQ(spectrum.mz.size(), spectrum.intensity.size());
  ASSERT_EQ(spectrum.intensity.size(), expected["points"].get<std::size_t>());
  if (spectrum.intensity.empty()) return;
  const double sum = std::accumulate(spectrum.intensity.begin(), spectrum.intensity.end(), 0.0);
  EXPECT_EQ(sum, expected["intensity_sum"].get<double>());
  EXPECT_EQ(*std::max_element(spectrum.intensity.begin(), spectrum.intensity.end()),
            expected["intensity_max"].get<double>());
  for (const auto& [index, value] : expected["intensity"].items()) {
    EXPECT_EQ(spectrum.intensity.at(std::stoul(index)), value.get<double>()) << "intensity at " << index;
  }
  for (const auto& [index, value] : expected["mz"].items()) {
    EXPECT_NEAR(spectrum.mz.at(std::stoul(index)), value.get<double>(), MZ_TOLERANCE) << "m/z at " << index;
  }
}

TEST(AcquisitionRealData, EveryFolderOpensWithTheReferenceLayoutAndRecords) {
  SKIP_WITHOUT_REALDATA();
  const json folders = reference()["folders"];
  for (const auto& [name, expected] : folders.items()) {
    SCOPED_TRACE(name);
    const Acquisition acquisition = open_real(name);
    EXPECT_EQ(acquisition.size(), expected["scan_count"].get<std::size_t>());
    EXPECT_EQ(acquisition.layout().stride(), expected["stride"].get<std::uint32_t>());
    EXPECT_EQ(acquisition.data_offset(), expected["first_record_offset"].get<std::uint32_t>());
    EXPECT_EQ(acquisition.layout().source == LayoutSource::Schema, expected["layout_source"] == "MSScan.xsd");
    for (const json& scan : expected["scans"]) {
      const ScanInfo info = acquisition.scan(scan["index"].get<std::size_t>());
      EXPECT_EQ(info.scan_id, scan["scan_id"].get<std::uint32_t>());
      EXPECT_EQ(info.ms_level, scan["ms_level"].get<std::uint32_t>());
      EXPECT_EQ(info.retention_time_sec, scan["rt_min"].get<double>() * 60.0);
      if (!scan["tic"].is_null()) {
        EXPECT_EQ(info.tic, scan["tic"].get<double>());
      }
      EXPECT_EQ(acquisition.find_scan_id(info.scan_id), info.index);
    }
  }
}

TEST(AcquisitionRealData, SpectraMatchTheReferenceValues) {
  SKIP_WITHOUT_REALDATA();
  const json folders = reference()["folders"];
  int compared = 0;
  for (const auto& [name, expected] : folders.items()) {
    const Acquisition acquisition = open_real(name);
    for (const json& scan : expected["scans"]) {
      const std::size_t index = scan["index"].get<std::size_t>();
      const std::string where = name + " scan " + std::to_string(index);
      if (scan.contains("profile")) {
        const auto profile = acquisition.profile(index);
        ASSERT_TRUE(profile) << where << ": " << profile.error().display();
        expect_matches(*profile, scan["profile"], where + " profile");
        ++compared;
      }
      if (scan.contains("peak")) {
        const auto centroid = acquisition.centroid(index);
        ASSERT_TRUE(centroid) << where << ": " << centroid.error().display();
        expect_matches(*centroid, scan["peak"], where + " centroid");
        ++compared;
      }
      if (scan.contains("icpms")) {
        const auto profile = acquisition.profile(index);
        ASSERT_TRUE(profile) << where << ": " << profile.error().display();
        expect_matches(*profile, scan["icpms"], where + " icp-ms");
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 10);
}

TEST(AcquisitionRealData, ProfileCountsAgreeWithTheRecordWhereTheFileSaysSo) {
  SKIP_WITHOUT_REALDATA();
  const json folders = reference()["folders"];
  for (const auto& [name, expected] : folders.items()) {
    const Acquisition acquisition = open_real(name);
    for (const json& scan : expected["scans"]) {
      const std::size_t index = scan["index"].get<std::size_t>();
      const ScanInfo info = acquisition.scan(index);
      for (const json& block : scan["blocks"]) {
        if (block["file"] != "MSProfile.bin" || block["format"] != 1 || !block["present"].get<bool>()) continue;
        if (block["sum_equals_tic"].is_null()) continue;
        const auto profile = acquisition.profile(index);
        if (!profile) continue;  // damaged scans are checked on their own
        SCOPED_TRACE(name + " scan " + std::to_string(index));
        const double sum = std::accumulate(profile->intensity.begin(), profile->intensity.end(), 0.0);
        const double max = profile->intensity.empty()
                               ? 0.0
                               : *std::max_element(profile->intensity.begin(), profile->intensity.end());
        if (block["sum_equals_tic"].get<bool>()) {
          EXPECT_EQ(sum, info.tic.value());
        }
        if (block["max_equals_maxy"].get<bool>()) {
          EXPECT_EQ(max, info.profile_block->max_y.value());
        }
      }
    }
  }
}

TEST(AcquisitionRealData, RunLengthProfileHasItsApexWhereTheInstrumentSoftwareSays) {
  SKIP_WITHOUT_REALDATA();
  const Acquisition acquisition = open_real("magenta.D");
  const auto profile = acquisition.profile(0);
  ASSERT_TRUE(profile) << profile.error().display();
  EXPECT_EQ(profile->encoding, ProfileEncoding::RunLength);
  EXPECT_EQ(profile->calibration, CalibrationSource::PerScan);
  const auto apex = std::max_element(profile->intensity.begin(), profile->intensity.end());
  EXPECT_NEAR(profile->mz[static_cast<std::size_t>(apex - profile->intensity.begin())], 734.4836, 1e-4);
}

TEST(AcquisitionRealData, DamagedAndPartialFolders) {
  SKIP_WITHOUT_REALDATA();
  {
    // copper.D: the 4th record's blocks lie past the end of both files.
    const Acquisition copper = open_real("copper.D");
    ASSERT_EQ(copper.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_TRUE(copper.profile(i)) << i;
      EXPECT_TRUE(copper.centroid(i)) << i;
      EXPECT_TRUE(copper.spectrum(i)) << i;
    }
    const auto profile = copper.profile(3);
    ASSERT_FALSE(profile);
    EXPECT_NE(profile.error().message().find("scan 3: "), std::string::npos) << profile.error().message();
    EXPECT_NE(profile.error().message().find("bytes remaining"), std::string::npos) << profile.error().message();
    EXPECT_FALSE(copper.centroid(3));
    EXPECT_FALSE(copper.spectrum(3));
    EXPECT_EQ(copper.profile(0)->calibration, CalibrationSource::Default);
    EXPECT_EQ(copper.profile(0)->encoding, ProfileEncoding::WholeBlockLzf);
  }
  {
    // yellow.D: single-quadrupole peaks of format 1, no calibration.
    const Acquisition yellow = open_real("yellow.D");
    ASSERT_EQ(yellow.size(), 2616u);
    const ScanInfo info = yellow.scan(0);
    ASSERT_TRUE(info.peak_block);
    EXPECT_EQ(info.peak_block->format_id, 1u);
    EXPECT_FALSE(info.profile_block);
    const auto spectrum = yellow.spectrum(0);
    ASSERT_TRUE(spectrum) << spectrum.error().display();
    EXPECT_EQ(spectrum->kind, SpectrumKind::Centroid);
    EXPECT_EQ(spectrum->calibration, CalibrationSource::None);
  }
  {
    // black.D: no MSProfile.bin; scan 0's peak block is empty.
    const Acquisition black = open_real("black.D");
    EXPECT_FALSE(black.profile(0));
    const auto spectrum = black.spectrum(0);
    ASSERT_TRUE(spectrum) << spectrum.error().display();
    EXPECT_EQ(spectrum->kind, SpectrumKind::Centroid);
    EXPECT_TRUE(spectrum->mz.empty());
  }
  {
    // The scan-index-only folders open; their spectra say the block files are missing.
    const Acquisition example = open_real("example1.d");
    EXPECT_EQ(example.size(), 1333u);
    EXPECT_EQ(example.layout().source, LayoutSource::BuiltIn);
    EXPECT_EQ(example.instrument().accession, "MS:1002784");
    const auto spectrum = example.spectrum(0);
    ASSERT_FALSE(spectrum);
    EXPECT_NE(spectrum.error().message().find("No such file"), std::string::npos) << spectrum.error().message();
  }
}

// The project's own samples read the same through both readers.
TEST(AcquisitionDesignedModel, EverySampleLayoutGivesTheDesignedReadersArrays) {
  for (const std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
    SCOPED_TRACE("stride " + std::to_string(stride));
    testing::TempDir folder;
    syn::Acquisition description = syn::demo_acquisition();
    description.record_stride = stride;
    for (syn::Scan& scan : description.scans) {
      if (stride != 284) {
        scan.mz_range_low.reset();
        scan.mz_range_high.reset();
        if (scan.blocks.size() > 1) scan.blocks.resize(1);
      }
      if (stride == 186 || stride == 196) scan.mrm_channel = scan.scan_id % 7;
    }
    syn::write_acquisition(folder.path(), description);

    const auto reader = Reader::open(folder.path().string());
    ASSERT_TRUE(reader) << reader.error().display();
    const auto acquisition = Acquisition::open(folder.path().string());
    ASSERT_TRUE(acquisition) << acquisition.error().display();
    EXPECT_EQ(acquisition->layout().source, LayoutSource::BuiltIn);
    EXPECT_EQ(acquisition->instrument(), reader->instrument());

    auto designed = reader->iter_spectra();
    std::size_t index = 0;
    while (auto record = designed->next()) {
      SCOPED_TRACE("scan " + std::to_string(index));
      ASSERT_LT(index, acquisition->size());
      const ScanInfo info = acquisition->scan(index);
      EXPECT_EQ(info.scan_id, record->scan_id);
      EXPECT_EQ(info.ms_level, record->ms_level);
      EXPECT_EQ(info.retention_time_sec, record->retention_time_sec);
      EXPECT_EQ(info.native_id(), record->native_id);
      if (record->precursor) {
        EXPECT_EQ(info.precursor_mz, record->precursor->precursor_mz);
        EXPECT_EQ(info.collision_energy, record->precursor->collision_energy);
      }
      const auto spectrum = acquisition->spectrum(index);
      ASSERT_TRUE(spectrum) << spectrum.error().display();
      EXPECT_EQ(spectrum->kind == SpectrumKind::Profile, record->from_profile);
      EXPECT_TRUE(std::ranges::equal(spectrum->mz, record->mz));
      ASSERT_EQ(spectrum->intensity.size(), record->intensity.size());
      for (std::size_t i = 0; i < record->intensity.size(); ++i) {
        EXPECT_EQ(static_cast<float>(spectrum->intensity[i]), record->intensity[i]) << i;
      }
      ++index;
    }
    EXPECT_EQ(index, acquisition->size());
  }
}

// A folder without AcqData says so (the designed reader's "AcqData directory not found" is its own);
// a damaged scan index keeps the designed message.
TEST(AcquisitionDesignedModel, OpeningErrorsKeepTheDesignedMessages) {
  testing::TempDir folder;
  auto missing = Acquisition::open(folder.path().string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "folder error: " + folder.str() + " has no AcqData folder");

  syn::Acquisition description = syn::demo_acquisition();
  description.scan_index_trailer = {1, 2, 3};
  syn::write_acquisition(folder.path(), description);
  const auto odd = Acquisition::open(folder.path().string());
  const auto designed = Reader::open(folder.path().string());
  ASSERT_FALSE(odd);
  ASSERT_FALSE(designed);
  EXPECT_EQ(odd.error().display(), designed.error().display());
}

TEST(AcquisitionDesignedModel, OutOfRangeAndMissingBlocksAreErrorsNotCrashes) {
  testing::TempDir folder;
  syn::write_acquisition(folder.path(), syn::demo_acquisition());
  const auto acquisition = Acquisition::open(folder.path().string());
  ASSERT_TRUE(acquisition);
  const std::size_t past = acquisition->size();
  EXPECT_EQ(acquisition->spectrum(past).error().message(), "scan " + std::to_string(past) + " out of range");
  EXPECT_FALSE(acquisition->field(past, "ScanID"));
  EXPECT_FALSE(acquisition->field(0, "NoSuchField"));
  EXPECT_TRUE(acquisition->field(0, "ScanID"));
  // The demo's MS2 scans carry peaks only.
  bool saw_centroid_only = false;
  for (std::size_t i = 0; i < acquisition->size(); ++i) {
    const ScanInfo info = acquisition->scan(i);
    if (info.profile_block) continue;
    saw_centroid_only = true;
    EXPECT_EQ(acquisition->profile(i).error().message(), "scan " + std::to_string(i) + ": no profile block");
  }
  EXPECT_TRUE(saw_centroid_only);
}

// Many threads decode from one const Acquisition at once; ThreadSanitizer runs this too.
TEST(AcquisitionThreads, ConcurrentDecodingGivesTheSameSpectra) {
  testing::TempDir folder;
  syn::write_acquisition(folder.path(), syn::benchmark_acquisition(24, 4000, 12));
  const auto opened = Acquisition::open(folder.path().string());
  ASSERT_TRUE(opened);
  const Acquisition& acquisition = *opened;

  std::vector<Spectrum> expected;
  for (std::size_t i = 0; i < acquisition.size(); ++i) expected.push_back(*acquisition.spectrum(i));

  constexpr int THREADS = 8;
  std::vector<int> mismatches(THREADS, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t round = 0; round < 3; ++round) {
        for (std::size_t k = 0; k < acquisition.size(); ++k) {
          const std::size_t i = (k + static_cast<std::size_t>(t) * 5) % acquisition.size();
          const auto spectrum = acquisition.spectrum(i);
          if (!spectrum || spectrum->mz != expected[i].mz || spectrum->intensity != expected[i].intensity) {
            ++mismatches[static_cast<std::size_t>(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace vornak
