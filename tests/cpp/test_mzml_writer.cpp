// The mzML writer checked from its files: schema-valid indexed mzML whose offsets, checksum and
// vocabulary are right, arrays bit-equal to the reader's, every option, damaged scans left out,
// and a temporary file that never reaches the final name unless it is complete.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "realdata.hpp"
#include "full_reader/acquisition.hpp"
#include "mzml_export/mzml_writer.hpp"
#include "mzml_file.hpp"
#include "temp_dir.hpp"
#include "tests/support/real_layout.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using testing::MzmlFile;
using testing::ReadSpectrum;
using testing::TempDir;

const std::map<std::string, std::string>& vocabulary() {
  static const auto names = testing::load_vocabulary(testing::standards_dir() / "psi-ms.obo");
  return names;
}

Acquisition open_or_throw(const fs::path& folder) {
  auto opened = Acquisition::open(folder.string());
  if (!opened) throw std::runtime_error("cannot open " + folder.string() + ": " + opened.error().display());
  return std::move(*opened);
}

MzmlSummary convert_or_fail(const Acquisition& acquisition, const fs::path& output, const MzmlOptions& options = {}) {
  auto summary = write_mzml(acquisition, output.string(), options);
  if (!summary) throw std::runtime_error("conversion failed: " + summary.error().display());
  return std::move(*summary);
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

bool same_bits(std::span<const double> left, std::span<const double> right) {
  return left.size() == right.size() &&
         (left.empty() || std::memcmp(left.data(), right.data(), left.size() * sizeof(double)) == 0);
}

// What every written file must satisfy, whatever it holds.
void expect_well_formed_file(const fs::path& file) {
  SCOPED_TRACE(file.string());
  const auto complaint = testing::schema_complaint(file);
  if (complaint) {
    EXPECT_EQ(*complaint, "");
  }
  const MzmlFile mzml(file);
  EXPECT_EQ(mzml.index_problems(), std::vector<std::string>());
  if (fs::exists(testing::standards_dir() / "psi-ms.obo")) {
    EXPECT_EQ(mzml.vocabulary_problems(vocabulary()), std::vector<std::string>());
  }
  // Spectrum indices run 0, 1, 2, ... and the count says how many there are.
  const auto spectra = mzml.spectra();
  EXPECT_EQ(mzml.run().child("spectrumList").attribute("count").as_ullong(), spectra.size());
  for (std::size_t k = 0; k < spectra.size(); ++k) {
    EXPECT_EQ(spectra[k].index, k);
    EXPECT_EQ(spectra[k].mz.size(), spectra[k].default_array_length) << spectra[k].id;
    EXPECT_EQ(spectra[k].intensity.size(), spectra[k].default_array_length) << spectra[k].id;
  }
}

// The written spectra are the reader's spectra of the scans not left out, bit for bit, with the
// scan facts of the records; the TIC chromatogram sums each written spectrum.
void expect_reader_spectra(const Acquisition& acquisition, const MzmlFile& mzml, const MzmlSummary& summary) {
  const auto spectra = mzml.spectra();
  ASSERT_EQ(spectra.size(), summary.spectra_written);
  std::vector<double> times;
  std::vector<double> currents;
  std::size_t k = 0;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    const bool left_out = std::ranges::any_of(summary.damaged, [&](const DamagedScan& d) { return d.index == index; });
    if (left_out) {
      // Nothing of the scan decodes but, at most, an empty profile.
      const auto spectrum = acquisition.spectrum(index);
      EXPECT_TRUE(!spectrum || spectrum->mz.empty());
      EXPECT_FALSE(acquisition.centroid(index).has_value());
      continue;
    }
    ASSERT_LT(k, spectra.size());
    const ReadSpectrum& written = spectra[k++];
    const ScanInfo scan = acquisition.scan(index);
    const auto spectrum = acquisition.spectrum(index);
    ASSERT_TRUE(spectrum.has_value()) << spectrum.error().display();
    SCOPED_TRACE(written.id);
    EXPECT_EQ(written.id, scan.native_id());
    EXPECT_TRUE(same_bits(written.mz, spectrum->mz));
    EXPECT_TRUE(same_bits(written.intensity, spectrum->intensity));
    EXPECT_EQ(written.params.at("MS:1000511"), std::to_string(scan.ms_level));
    EXPECT_EQ(written.has("MS:1000128"), spectrum->kind == SpectrumKind::Profile);
    EXPECT_EQ(written.has("MS:1000127"), spectrum->kind == SpectrumKind::Centroid);
    const pugi::xml_node start = written.node.child("scanList").child("scan").find_child_by_attribute(
        "cvParam", "accession", "MS:1000016");
    EXPECT_EQ(number(start.attribute("value").value()), scan.retention_time_sec);
    const pugi::xml_node selected = written.node.child("precursorList").child("precursor").child("selectedIonList")
                                        .child("selectedIon").find_child_by_attribute("cvParam", "accession", "MS:1000744");
    if (scan.ms_level >= 2 && scan.precursor_mz) {
      EXPECT_EQ(number(selected.attribute("value").value()), *scan.precursor_mz);
    } else {
      EXPECT_FALSE(selected);
    }
    double sum = 0;
    for (const double value : spectrum->intensity) sum += value;
    EXPECT_EQ(number(written.params.at("MS:1000285")), sum);
    times.push_back(scan.retention_time_sec);
    currents.push_back(sum);
  }
  const auto [chromatogram_times, chromatogram_currents] = mzml.chromatogram();
  EXPECT_EQ(chromatogram_times, times);
  EXPECT_EQ(chromatogram_currents, currents);
}

struct SampleCase {
  const char* name;
  std::function<void(const fs::path&)> write;
};

syn::RealLayoutOptions real_options(syn::RecordFamily family, syn::ProfileEncoding encoding, bool scan_calibration) {
  syn::RealLayoutOptions options;
  options.family = family;
  options.encoding = encoding;
  options.scan_calibration = scan_calibration;
  options.profile_scans = 5;
  options.points = 3000;
  options.ms2_scans = 3;
  return options;
}

const SampleCase SAMPLES[] = {
    {"designed-demo", [](const fs::path& folder) { syn::write_acquisition(folder, syn::demo_acquisition()); }},
    {"real-256-lzf",
     [](const fs::path& folder) {
       syn::write_real_acquisition(folder,
                                   real_options(syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, true));
     }},
    {"real-274-run-length",
     [](const fs::path& folder) {
       syn::write_real_acquisition(
           folder, real_options(syn::RecordFamily::bytes_274, syn::ProfileEncoding::run_length, true));
     }},
    {"real-default-calibration-ms2-profiles",
     [](const fs::path& folder) {
       auto options = real_options(syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, false);
       options.ms2_profiles = true;
       syn::write_real_acquisition(folder, options);
     }},
};

TEST(MzmlWriter, SamplesConvertToValidFilesWithTheReadersArrays) {
  const TempDir dir;
  for (const SampleCase& sample : SAMPLES) {
    SCOPED_TRACE(sample.name);
    const fs::path folder = dir.path() / (std::string(sample.name) + ".d");
    sample.write(folder);
    const Acquisition acquisition = open_or_throw(folder);
    const fs::path output = dir.path() / (std::string(sample.name) + ".mzML");
    MzmlOptions options;
    options.workers = 3;
    const MzmlSummary summary = convert_or_fail(acquisition, output, options);
    EXPECT_EQ(summary.scans, acquisition.size());
    EXPECT_EQ(summary.spectra_written, acquisition.size());
    EXPECT_TRUE(summary.damaged.empty());
    EXPECT_EQ(summary.bytes_written, fs::file_size(output));
    expect_well_formed_file(output);
    const MzmlFile mzml(output);
    EXPECT_EQ(mzml.document().child("indexedmzML").child("fileChecksum").text().get(), summary.file_checksum);
    expect_reader_spectra(acquisition, mzml, summary);
  }
}

TEST(MzmlWriter, TheSameFileWhateverTheNumberOfWorkers) {
  const TempDir dir;
  SAMPLES[1].write(dir.path() / "run.d");
  const Acquisition acquisition = open_or_throw(dir.path() / "run.d");
  std::string first;
  for (const unsigned workers : {1u, 2u, 5u, 64u}) {
    MzmlOptions options;
    options.workers = workers;
    const fs::path output = dir.path() / ("run" + std::to_string(workers) + ".mzML");
    convert_or_fail(acquisition, output, options);
    const std::string bytes = testing::read_whole_file(output);
    if (first.empty()) first = bytes;
    EXPECT_TRUE(bytes == first) << workers << " workers";
  }
}

TEST(MzmlWriter, OptionsChangeOnlyWhatTheySay) {
  const TempDir dir;
  SAMPLES[1].write(dir.path() / "run.d");
  const Acquisition acquisition = open_or_throw(dir.path() / "run.d");

  struct OptionCase {
    const char* name;
    MzmlOptions options;
  };
  std::vector<OptionCase> cases(11);
  cases[0].name = "no-compression";
  cases[0].options.compression = Compression::None;
  cases[1].name = "intensity-32";
  cases[1].options.intensity_width = FloatWidth::Bits32;
  cases[2].name = "trim-zeros";
  cases[2].options.trim_zeros = true;
  cases[3].name = "centroid-only";
  cases[3].options.centroid_only = true;
  cases[4].name = "everything";
  cases[4].options.compression = Compression::None;
  cases[4].options.intensity_width = FloatWidth::Bits32;
  cases[4].options.trim_zeros = true;
  cases[4].options.workers = 1;
  cases[5].name = "compression-fast";
  cases[5].options.compression = Compression::Fast;
  cases[6].name = "compression-small";
  cases[6].options.compression = Compression::Small;
  cases[7].name = "numpress";
  cases[7].options.numpress = true;
  cases[8].name = "numpress-uncompressed";
  cases[8].options.numpress = true;
  cases[8].options.compression = Compression::None;
  cases[9].name = "numpress-centroid-only-32";  // abundances: short logged floats; the width does not apply
  cases[9].options.numpress = true;
  cases[9].options.centroid_only = true;
  cases[9].options.intensity_width = FloatWidth::Bits32;
  cases[10].name = "numpress-trim-zeros-small";
  cases[10].options.numpress = true;
  cases[10].options.trim_zeros = true;
  cases[10].options.compression = Compression::Small;

  for (const OptionCase& option : cases) {
    SCOPED_TRACE(option.name);
    const fs::path output = dir.path() / (std::string(option.name) + ".mzML");
    const MzmlSummary summary = convert_or_fail(acquisition, output, option.options);
    expect_well_formed_file(output);
    const MzmlFile mzml(output);
    const auto spectra = mzml.spectra();
    const bool deflated = option.options.compression != Compression::None;
    const bool numpress = option.options.numpress;
    EXPECT_EQ(mzml.bytes().find("MS:1000574") == std::string::npos, !deflated);  // the TIC is never Numpress
    EXPECT_EQ(mzml.bytes().find("MS:1003901") != std::string::npos, option.options.trim_zeros);

    std::size_t k = 0;
    for (std::size_t index = 0; index < acquisition.size(); ++index) {
      const ScanInfo scan = acquisition.scan(index);
      if (option.options.centroid_only && !scan.peak_block) continue;
      ASSERT_LT(k, spectra.size());
      const ReadSpectrum& written = spectra[k++];
      EXPECT_EQ(written.id, scan.native_id());
      const auto original = option.options.centroid_only ? acquisition.centroid(index) : acquisition.spectrum(index);
      ASSERT_TRUE(original.has_value());
      EXPECT_TRUE(written.mz_is_64_bit);
      EXPECT_EQ(written.intensity_is_64_bit, numpress || option.options.intensity_width == FloatWidth::Bits64);

      // Trimming keeps every non-zero point and exactly the zeros next to one.
      std::vector<double> mz;
      std::vector<double> intensity;
      const auto& values = original->intensity;
      for (std::size_t i = 0; i < values.size(); ++i) {
        const bool near_signal = values[i] != 0 || (i > 0 && values[i - 1] != 0) ||
                                 (i + 1 < values.size() && values[i + 1] != 0);
        if (option.options.trim_zeros && original->kind == SpectrumKind::Profile && !near_signal) continue;
        mz.push_back(original->mz[i]);
        intensity.push_back(option.options.intensity_width == FloatWidth::Bits32 && !numpress
                                ? static_cast<double>(static_cast<float>(values[i]))
                                : values[i]);
      }
      if (!numpress) {
        EXPECT_EQ(written.mz_compression, deflated ? "MS:1000574" : "MS:1000576");
        EXPECT_TRUE(same_bits(written.mz, mz)) << written.id;
        EXPECT_TRUE(same_bits(written.intensity, intensity)) << written.id;
      } else {
        // m/z by linear prediction within 1 ppb of the largest; whole counts exactly, other
        // intensities within the short logged floats' bound at the spectrum's range.
        EXPECT_EQ(written.mz_compression, deflated ? "MS:1002746" : "MS:1002312");
        ASSERT_EQ(written.mz.size(), mz.size());
        ASSERT_EQ(written.intensity.size(), intensity.size());
        const double top = mz.empty() ? 1 : std::max(1.0, mz.back());
        for (std::size_t i = 0; i < mz.size(); ++i) ASSERT_NEAR(written.mz[i], mz[i], 1e-9 * top) << written.id;
        const bool counts = std::ranges::all_of(intensity, [](double v) { return v >= 0 && v == std::floor(v); });
        if (counts) {
          EXPECT_EQ(written.intensity_compression, deflated ? "MS:1002747" : "MS:1002313");
          EXPECT_EQ(written.intensity, intensity) << written.id;
        } else {
          EXPECT_EQ(written.intensity_compression, deflated ? "MS:1002748" : "MS:1002314");
          const double largest = std::ranges::max(intensity);
          const double bound = std::expm1(0.5 * std::log1p(largest) / 65534) * 1.001;
          for (std::size_t i = 0; i < intensity.size(); ++i) {
            ASSERT_LE(std::abs((written.intensity[i] + 1) / (intensity[i] + 1) - 1), bound) << written.id;
          }
        }
      }
      if (option.options.trim_zeros && original->kind == SpectrumKind::Profile) {
        EXPECT_LT(written.mz.size(), original->mz.size()) << "the sample's profiles have runs of zeros";
      }
      if (option.options.centroid_only) {
        EXPECT_TRUE(written.has("MS:1000127"));
      }
    }
    EXPECT_EQ(k, spectra.size());
    EXPECT_EQ(summary.spectra_written, k);
    EXPECT_EQ(summary.spectra_written + summary.scans_without_centroid, acquisition.size());
  }
}

TEST(MzmlWriter, CentroidOnlyLeavesOutScansWithoutCentroids) {
  const TempDir dir;
  SAMPLES[0].write(dir.path() / "demo.d");
  const Acquisition acquisition = open_or_throw(dir.path() / "demo.d");
  MzmlOptions options;
  options.centroid_only = true;
  const MzmlSummary summary = convert_or_fail(acquisition, dir.path() / "demo.mzML", options);
  std::vector<std::string> expected_ids;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    if (acquisition.scan(index).peak_block) expected_ids.push_back(acquisition.scan(index).native_id());
  }
  ASSERT_GT(expected_ids.size(), 0u);
  ASSERT_LT(expected_ids.size(), acquisition.size());
  EXPECT_EQ(summary.scans_without_centroid, acquisition.size() - expected_ids.size());
  std::vector<std::string> ids;
  for (const ReadSpectrum& spectrum : MzmlFile(dir.path() / "demo.mzML").spectra()) ids.push_back(spectrum.id);
  EXPECT_EQ(ids, expected_ids);
  expect_well_formed_file(dir.path() / "demo.mzML");
}

TEST(MzmlWriter, DamagedScansAreLeftOutOrFallBackAndAreListed) {
  const TempDir dir;
  const fs::path folder = dir.path() / "cut.d";
  std::vector<syn::WrittenScan> written;
  syn::write_real_acquisition(folder, real_options(syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, true),
                              [&](const syn::WrittenScan& scan) { written.push_back(scan); });
  std::size_t last_profile = 0;
  std::size_t last_peaks = 0;
  for (const auto& scan : written) {
    if (scan.profile) last_profile = scan.index;
    if (scan.peaks && scan.peaks->point_count > 0) last_peaks = scan.index;
  }
  // The last MS2 scan's centroids lose their final byte: beside them it has only an empty profile
  // block, so it is left out.
  const auto& peaks = *written[last_peaks].peaks;
  fs::resize_file(folder / "AcqData" / "MSPeak.bin", peaks.offset + peaks.byte_count - 1);
  const Acquisition acquisition = open_or_throw(folder);
  const fs::path output = dir.path() / "cut.mzML";
  const MzmlSummary summary = convert_or_fail(acquisition, output);
  ASSERT_EQ(summary.damaged.size(), 1u);
  EXPECT_EQ(summary.damaged[0].index, last_peaks);
  EXPECT_EQ(summary.damaged[0].scan_id, written[last_peaks].scan_id);
  EXPECT_FALSE(summary.damaged[0].reason.starts_with("scan ")) << summary.damaged[0].reason;
  EXPECT_NE(summary.damaged[0].reason.find("MSPeak.bin"), std::string::npos) << summary.damaged[0].reason;
  EXPECT_TRUE(summary.profile_fallbacks.empty());
  EXPECT_EQ(summary.spectra_written, acquisition.size() - 1);
  expect_well_formed_file(output);
  expect_reader_spectra(acquisition, MzmlFile(output), summary);

  // The last MS1 profile loses its final byte: the scan keeps its (empty) centroid spectrum, as the
  // reader gives it, and the damage is listed.
  const auto& profile = *written[last_profile].profile;
  fs::resize_file(folder / "AcqData" / "MSProfile.bin", profile.offset + profile.byte_count - 1);
  const Acquisition cut = open_or_throw(folder);
  const MzmlSummary fallback = convert_or_fail(cut, output);
  ASSERT_EQ(fallback.profile_fallbacks.size(), 1u);
  EXPECT_EQ(fallback.profile_fallbacks[0].index, last_profile);
  EXPECT_NE(fallback.profile_fallbacks[0].reason.find("MSProfile.bin"), std::string::npos);
  EXPECT_EQ(fallback.spectra_written, acquisition.size() - 1);
  expect_well_formed_file(output);
  expect_reader_spectra(cut, MzmlFile(output), fallback);

  // With both block files empty, the MS1 scans keep only their empty centroid blocks and the MS2
  // scans are left out.
  fs::resize_file(folder / "AcqData" / "MSProfile.bin", 0);
  fs::resize_file(folder / "AcqData" / "MSPeak.bin", 0);
  const Acquisition emptied = open_or_throw(folder);
  const MzmlSummary nothing = convert_or_fail(emptied, output);
  EXPECT_EQ(nothing.spectra_written, 5u);
  EXPECT_EQ(nothing.profile_fallbacks.size(), 5u);
  EXPECT_EQ(nothing.damaged.size(), 3u);
  expect_well_formed_file(output);
  expect_reader_spectra(emptied, MzmlFile(output), nothing);

  // A folder of MS2 scans only, all damaged: no spectrum at all, and the offset index keeps only
  // the chromatogram's entry (an index must hold at least one).
  auto ms2_only = real_options(syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, true);
  ms2_only.profile_scans = 0;
  const fs::path lost = dir.path() / "lost.d";
  syn::write_real_acquisition(lost, ms2_only);
  fs::resize_file(lost / "AcqData" / "MSPeak.bin", 0);
  const Acquisition lost_acquisition = open_or_throw(lost);
  const MzmlSummary none = convert_or_fail(lost_acquisition, output);
  EXPECT_EQ(none.spectra_written, 0u);
  EXPECT_EQ(none.damaged.size(), lost_acquisition.size());
  expect_well_formed_file(output);
}

// The names in `folder`, sorted.
std::vector<std::string> listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::ranges::sort(names);
  return names;
}

TEST(MzmlWriter, OnlyACompleteFileReachesTheFinalName) {
  const TempDir dir;
  SAMPLES[1].write(dir.path() / "run.d");
  const Acquisition acquisition = open_or_throw(dir.path() / "run.d");
  const fs::path out = dir.path() / "out";
  fs::create_directories(out);

  // A missing folder: the system's error, nothing written anywhere.
  const auto missing = write_mzml(acquisition, (dir.path() / "absent" / "x.mzML").string(), {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().os_error(), ENOENT);

  // Cancelled half-way: the old file stays as it was and the temporary file is gone.
  const fs::path target = out / "run.mzML";
  std::ofstream(target) << "previous";
  std::atomic<bool> cancel{false};
  std::vector<std::string> seen_during;
  MzmlOptions options;
  options.cancel = &cancel;
  options.progress = [&](std::uint64_t done, std::uint64_t total) {
    if (done * 2 >= total && !cancel) {
      seen_during = listing(out);
      cancel = true;
    }
  };
  const auto cancelled = write_mzml(acquisition, target.string(), options);
  ASSERT_FALSE(cancelled.has_value());
  EXPECT_EQ(cancelled.error().message(), "conversion cancelled");
  ASSERT_EQ(seen_during.size(), 2u);  // the old file and the temporary one beside it
  EXPECT_TRUE(seen_during[0].starts_with(".run.mzML.") && seen_during[0].ends_with(".tmp")) << seen_during[0];
  EXPECT_EQ(listing(out), std::vector<std::string>{"run.mzML"});
  EXPECT_EQ(testing::read_whole_file(target), "previous");

  // Completed: the file is replaced, with the permissions a new file gets, and progress ran to the end.
  std::vector<std::uint64_t> progress;
  MzmlOptions counting;
  counting.progress = [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, acquisition.size());
    progress.push_back(done);
  };
  convert_or_fail(acquisition, target, counting);
  EXPECT_EQ(listing(out), std::vector<std::string>{"run.mzML"});
  EXPECT_EQ(progress.size(), acquisition.size());
  EXPECT_TRUE(std::ranges::is_sorted(progress));
  EXPECT_EQ(progress.back(), acquisition.size());
  struct stat status {};
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
}

TEST(MzmlWriterRealData, EveryFolderConvertsAndReadsBackEqual) {
  SKIP_WITHOUT_REALDATA();
  const TempDir dir;
  for (const auto& entry : fs::directory_iterator(VORNAK_REALDATA_DIR)) {
    if (!entry.is_directory()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    const Acquisition acquisition = open_or_throw(entry.path());
    const fs::path output = dir.path() / (entry.path().filename().string() + ".mzML");
    const MzmlSummary summary = convert_or_fail(acquisition, output);
    expect_well_formed_file(output);
    expect_reader_spectra(acquisition, MzmlFile(output), summary);
    if (entry.path().filename() == "copper.D") {
      ASSERT_EQ(summary.damaged.size(), 1u);
      EXPECT_EQ(summary.damaged[0].index, 3u);
      EXPECT_EQ(summary.spectra_written, 3u);
    }
    if (entry.path().filename() == "magenta.D" || entry.path().filename() == "gold.D" ||
        entry.path().filename() == "yellow.D") {
      EXPECT_TRUE(summary.damaged.empty());
    }
  }
}

TEST(MzmlWriterRealData, InstrumentModelsFromTheVocabulary) {
  SKIP_WITHOUT_REALDATA();
  const TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"black.D", "MS:1003536"},   // G6546A: "6546 Q-TOF LC/MS"
      {"yellow.D", "MS:1003521"},  // 5977: "5977 MSD"
      {"example1.d", "MS:1002784"},
      {"magenta.D", "MS:1000490"},  // no Devices.xml
  };
  for (const auto& [folder, accession] : cases) {
    SCOPED_TRACE(folder);
    const Acquisition acquisition = open_or_throw(fs::path(VORNAK_REALDATA_DIR) / folder);
    const fs::path output = dir.path() / (std::string(folder) + ".mzML");
    convert_or_fail(acquisition, output);
    const MzmlFile mzml(output);
    const pugi::xml_node configuration = mzml.document()
                                             .child("indexedmzML")
                                             .child("mzML")
                                             .child("instrumentConfigurationList")
                                             .child("instrumentConfiguration");
    EXPECT_STREQ(configuration.child("cvParam").attribute("accession").value(), accession);
  }
}

}  // namespace
}  // namespace vornak
