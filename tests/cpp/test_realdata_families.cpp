// The full reader on the second set of real acquisitions (triple quadrupoles, ion mobility,
// ICP-MS without a schema): against the values an independent decode and the instrument maker's
// own export agree on, and against the checks the files themselves offer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"
#include "full_reader/integrity.hpp"
#include "realdata.hpp"

namespace vornak {
namespace {

using nlohmann::json;
using testing::REALDATA2_DIR;

constexpr double MZ_TOLERANCE = 1e-6;

Acquisition open_folder(const std::string& name) {
  auto acquisition = Acquisition::open((REALDATA2_DIR / name).string());
  if (!acquisition) {
    ADD_FAILURE() << name << ": " << acquisition.error().display();
    std::abort();
  }
  return std::move(*acquisition);
}

double sum_of(std::span<const double> values) { return std::accumulate(values.begin(), values.end(), 0.0); }

// The sampled values of one reference spectrum ("profile", "peak" or "icpms").
void expect_spectrum(const Spectrum& spectrum, const json& expected) {
  ASSERT_EQ(spectrum.mz.size(), spectrum.intensity.size());
  ASSERT_EQ(spectrum.intensity.size(), expected["points"].get<std::size_t>());
  if (spectrum.intensity.empty()) return;
  EXPECT_EQ(sum_of(spectrum.intensity), expected["intensity_sum"].get<double>());
  EXPECT_EQ(*std::ranges::max_element(spectrum.intensity), expected["intensity_max"].get<double>());
  for (const auto& [index, value] : expected["intensity"].items()) {
    EXPECT_EQ(spectrum.intensity.at(std::stoul(index)), value.get<double>()) << "intensity at " << index;
  }
  for (const auto& [index, value] : expected["mz"].items()) {
    EXPECT_NEAR(spectrum.mz.at(std::stoul(index)), value.get<double>(), MZ_TOLERANCE) << "m/z at " << index;
  }
}

const json* reference_spectrum(const json& scan) {
  for (const char* key : {"profile", "peak", "icpms"}) {
    if (scan.contains(key)) return &scan[key];
  }
  return nullptr;
}

// Every folder of both reference files: layout, records and sampled spectra.
TEST(FamiliesRealData, EveryFolderMatchesItsReference) {
  SKIP_WITHOUT_REALDATA2();
  for (const char* file : {"reference.json", "reference-ims.json"}) {
    const json reference = testing::read_json(REALDATA2_DIR / file);  // outlives the loop below
    for (const auto& [name, expected] : reference["folders"].items()) {
      SCOPED_TRACE(name);
      const Acquisition acquisition = open_folder(name);
      EXPECT_EQ(acquisition.size(), expected["scan_count"].get<std::size_t>());
      EXPECT_EQ(acquisition.layout().stride(), expected["stride"].get<std::uint32_t>());
      EXPECT_EQ(acquisition.data_offset(), expected["first_record_offset"].get<std::uint32_t>());
      EXPECT_EQ(acquisition.layout().source == LayoutSource::Schema, expected["layout_source"] == "MSScan.xsd");
      if (expected.contains("record_count")) {
        EXPECT_EQ(acquisition.record_count(), expected["record_count"].get<std::size_t>());
        EXPECT_EQ(acquisition.frame_count(), expected["frame_count"].get<std::size_t>());
      }
      for (const json& scan : expected["scans"]) {
        const auto index = scan["index"].get<std::size_t>();
        SCOPED_TRACE(index);
        const ScanInfo info = acquisition.scan(index);
        EXPECT_EQ(info.scan_id, scan["scan_id"].get<std::uint32_t>());
        EXPECT_EQ(info.ms_level, scan["ms_level"].get<std::uint32_t>());
        EXPECT_DOUBLE_EQ(info.retention_time_sec, scan["rt_min"].get<double>() * 60.0);
        EXPECT_EQ(info.scan_type, scan["scan_type"].is_null() ? std::nullopt
                                                              : std::optional(scan["scan_type"].get<std::int64_t>()));
        if (!scan["tic"].is_null()) {
          EXPECT_EQ(info.tic, scan["tic"].get<double>());
        }
        if (scan.contains("record_index")) {
          EXPECT_EQ(info.record_index, scan["record_index"].get<std::uint64_t>());
          EXPECT_EQ(info.frame_id, scan["frame_id"].get<std::int64_t>());
          EXPECT_EQ(info.drift_bin, scan["drift_bin"].get<std::int64_t>());
        }
        const json& block = scan["blocks"][0];
        const auto& described = block["file"] == "MSProfile.bin" ? info.profile_block : info.peak_block;
        ASSERT_TRUE(described.has_value());
        EXPECT_EQ(described->offset, block["offset"].get<std::uint64_t>());
        EXPECT_EQ(described->byte_count, block["byte_count"].get<std::uint32_t>());
        EXPECT_EQ(described->point_count, block["point_count"].get<std::uint32_t>());
        const auto spectrum = acquisition.spectrum(index);
        ASSERT_TRUE(spectrum) << spectrum.error().message();
        if (const json* values = reference_spectrum(scan)) expect_spectrum(*spectrum, *values);
      }
      for (const json& frame : expected.value("frame_sums", json::array())) {
        const auto frame_id = frame["frame_id"].get<std::int64_t>();
        SCOPED_TRACE("frame " + std::to_string(frame_id));
        std::optional<std::size_t> k;
        for (std::size_t i = 0; i < acquisition.frame_count(); ++i) {
          if (acquisition.frame_record(i).frame_id == frame_id) k = i;
        }
        ASSERT_TRUE(k.has_value());
        EXPECT_EQ(acquisition.frame_scan(*k).record_index, frame["record_index"].get<std::uint64_t>());
        const auto total = acquisition.frame(*k);
        ASSERT_TRUE(total) << total.error().message();
        expect_spectrum(*total, frame["profile"]);
      }
    }
  }
}

// What the files promise about themselves, on every record: counts sum to the TIC (f32
// abundances as the instrument's 32-bit running sum), maxima equal MaxY where stored, every
// frame's total spectrum is the bin-wise sum of its drift bins, and the check finds nothing.
TEST(FamiliesRealData, EveryRecordKeepsTheFilesOwnPromises) {
  SKIP_WITHOUT_REALDATA2();
  for (const char* name : {"ochre.D", "coral.D", "khaki.D", "plum.D", "ivory.D"}) {
    SCOPED_TRACE(name);
    const Acquisition acquisition = open_folder(name);
    for (std::size_t index = 0; index < acquisition.size(); ++index) {
      const ScanInfo info = acquisition.scan(index);
      const auto spectrum = acquisition.spectrum(index);
      ASSERT_TRUE(spectrum) << spectrum.error().message();
      if (!info.tic) continue;
      if (spectrum->encoding == ProfileEncoding::F64AxisAbundances) {  // the instrument's 32-bit sum
        float running = 0.0f;
        for (const double value : spectrum->intensity) running += static_cast<float>(value);
        EXPECT_EQ(static_cast<double>(running), *info.tic) << "scan " << index;
      } else {
        EXPECT_EQ(sum_of(spectrum->intensity), *info.tic) << "scan " << index;
      }
    }

    std::map<std::int64_t, std::map<double, double>> drift_sums;  // frame id -> m/z -> count
    for (std::size_t index = 0; index < acquisition.size() && acquisition.ion_mobility(); ++index) {
      const auto spectrum = acquisition.spectrum(index);
      const std::int64_t frame = *acquisition.scan(index).frame_id;
      for (std::size_t i = 0; i < spectrum->mz.size(); ++i) {
        if (spectrum->intensity[i] != 0.0) drift_sums[frame][spectrum->mz[i]] += spectrum->intensity[i];
      }
    }
    for (std::size_t k = 0; k < acquisition.frame_count(); ++k) {
      const auto total = acquisition.frame(k);
      ASSERT_TRUE(total) << total.error().message();
      std::map<double, double> stored;
      for (std::size_t i = 0; i < total->mz.size(); ++i) {
        if (total->intensity[i] != 0.0) stored[total->mz[i]] = total->intensity[i];
      }
      EXPECT_EQ(stored, drift_sums[acquisition.frame_record(k).frame_id]) << "frame " << k;
    }

    const auto report = check_acquisition((REALDATA2_DIR / name).string(), {});
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->damaged());
  }
}

// The number after `key` in a chromatogram id such as "- SRM SIC Q1=269.0 Q3=195.996 ...".
double id_value(const std::string& id, const std::string& key) {
  const std::size_t at = id.find(key);
  return std::stod(id.substr(at + key.size()));
}

// The maker's own export: SRM chromatograms of the MRM run (counts exact, times to f32), the TIC
// of the neutral-loss run, and the ion-mobility spectra with their drift times.
TEST(FamiliesRealData, MakersExportAgrees) {
  SKIP_WITHOUT_REALDATA2();
  const json maker = testing::read_json(REALDATA2_DIR / "maker-export.json");
  const auto same_f32 = [](double ours, double theirs) { return static_cast<float>(ours) == static_cast<float>(theirs); };

  const Acquisition ochre = open_folder("ochre.D");
  const auto chromatograms = transition_chromatograms(ochre, {});
  ASSERT_TRUE(chromatograms);
  ASSERT_EQ(chromatograms->size(), maker["ochre.D"]["chromatograms"].size());
  for (const json& expected : maker["ochre.D"]["chromatograms"]) {
    const std::string id = expected["id"];
    SCOPED_TRACE(id);
    const auto found = std::ranges::find_if(*chromatograms, [&](const TransitionChromatogram& c) {
      // The files hold Q3 as the nominal mass (196.0); the maker's label says 195.996.
      return c.precursor_mz == id_value(id, "Q1=") && std::fabs(*c.product_mz - id_value(id, "Q3=")) < 0.01;
    });
    ASSERT_NE(found, chromatograms->end());
    EXPECT_EQ(found->kind, TransitionChromatogram::Kind::Srm);
    EXPECT_EQ(found->polarity, Polarity::Negative);
    EXPECT_EQ(found->intensity, expected["intensity"].get<std::vector<double>>());
    const auto minutes = expected["time_min"].get<std::vector<double>>();
    ASSERT_EQ(found->time_sec.size(), minutes.size());
    for (std::size_t i = 0; i < minutes.size(); ++i) {
      EXPECT_TRUE(same_f32(found->time_sec[i] / 60.0, minutes[i])) << i;
    }
  }

  const Acquisition coral = open_folder("coral.D");
  const json& tic = maker["coral.D"]["chromatograms"][0];
  ASSERT_EQ(coral.size(), tic["intensity"].size());
  for (std::size_t index = 0; index < coral.size(); ++index) {
    EXPECT_EQ(sum_of(coral.spectrum(index)->intensity), tic["intensity"][index].get<double>());
    EXPECT_TRUE(same_f32(coral.scan(index).retention_time_sec / 60.0, tic["time_min"][index].get<double>()));
  }

  const Acquisition plum = open_folder("plum.D");
  const json& spectra = maker["plum.D"]["spectra"];
  ASSERT_EQ(plum.size(), spectra.size());
  for (std::size_t index = 0; index < plum.size(); ++index) {
    SCOPED_TRACE(index);
    const json& expected = spectra[index];
    const ScanInfo info = plum.scan(index);
    ASSERT_TRUE(info.drift_time_ms.has_value());
    EXPECT_NEAR(*info.drift_time_ms, expected["drift_time_ms"].get<double>(), 1e-9);
    EXPECT_DOUBLE_EQ(info.retention_time_sec, expected["rt_min"].get<double>() * 60.0);
    const auto spectrum = plum.spectrum(index);
    ASSERT_TRUE(spectrum);
    EXPECT_EQ(sum_of(spectrum->intensity), expected["intensity_sum"].get<double>());
    const auto apex = std::ranges::max_element(spectrum->intensity) - spectrum->intensity.begin();
    EXPECT_EQ(spectrum->intensity[static_cast<std::size_t>(apex)], expected["intensity_max"].get<double>());
    EXPECT_TRUE(same_f32(spectrum->mz[static_cast<std::size_t>(apex)], expected["mz_at_max_f32"].get<double>()));
    // The maker lists non-zero bins and the zeros next to them.
    std::size_t listed = 0;
    std::optional<std::size_t> first;
    std::size_t last = 0;
    const auto& values = spectrum->intensity;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const bool beside = (i > 0 && values[i - 1] != 0.0) || (i + 1 < values.size() && values[i + 1] != 0.0);
      if (values[i] == 0.0 && !beside) continue;
      ++listed;
      if (!first) first = i;
      last = i;
    }
    EXPECT_EQ(listed, expected["points_listed"].get<std::size_t>());
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(same_f32(spectrum->mz[*first], expected["mz_first_f32"].get<double>()));
    EXPECT_TRUE(same_f32(spectrum->mz[last], expected["mz_last_f32"].get<double>()));
  }
}

// Scan types by name, and time segments from MSTS.xml.
TEST(FamiliesRealData, ScanTypesAndTimeSegments) {
  SKIP_WITHOUT_REALDATA2();
  const struct {
    const char* folder;
    std::string_view scan_type;
    std::size_t segments;
  } cases[] = {
      {"ochre.D", "mrm", 1}, {"coral.D", "neutral_loss", 0}, {"khaki.D", "product_ion", 1}, {"ivory.D", "full_scan", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const Acquisition acquisition = open_folder(c.folder);
    EXPECT_EQ(scan_type_name(acquisition.scan(0).scan_type), c.scan_type);
    EXPECT_EQ(acquisition.scan(0).time_segment, 1);
    EXPECT_EQ(acquisition.time_segments().size(), c.segments);
  }
  const Acquisition khaki = open_folder("khaki.D");
  ASSERT_EQ(khaki.time_segments().size(), 1u);
  EXPECT_EQ(khaki.time_segments()[0].scans, 49);
  EXPECT_DOUBLE_EQ(*khaki.time_segments()[0].end_min, 0.4021);
}

// `vornak spectra` (scan type, drift fields, --frames) and `vornak chromatograms` print what the
// reader gives.
TEST(FamiliesRealData, CommandLineFaces) {
  SKIP_WITHOUT_REALDATA2();
  const auto folder = [](const char* name) { return (REALDATA2_DIR / name).string(); };

  const auto plum_lines = testing::lines_of(testing::run_vornak({"spectra", folder("plum.D")}).out);
  ASSERT_EQ(plum_lines.size(), 701u);
  const json first = json::parse(plum_lines[0]);
  EXPECT_EQ(first["frame_id"], 1);
  EXPECT_EQ(first["drift_bin"], 199);
  EXPECT_NEAR(first["drift_time_ms"].get<double>(), 33.559322033898, 1e-9);
  EXPECT_EQ(first["encoding"], "run-length");

  const auto frames = testing::run_vornak({"spectra", "--frames", "--points", folder("plum.D")});
  ASSERT_EQ(frames.status, 0) << frames.err;
  const Acquisition plum = open_folder("plum.D");
  const auto frame_lines = testing::lines_of(frames.out);
  ASSERT_EQ(frame_lines.size(), plum.frame_count());
  for (std::size_t k = 0; k < frame_lines.size(); ++k) {
    const json line = json::parse(frame_lines[k]);
    EXPECT_EQ(line["index"], k);
    EXPECT_EQ(line["frame_id"], plum.frame_record(k).frame_id);
    EXPECT_EQ(line["intensity"].get<std::vector<double>>(), plum.frame(k)->intensity);
  }
  const auto not_mobility = testing::run_vornak({"spectra", "--frames", folder("khaki.D")});
  EXPECT_EQ(not_mobility.status, 1);
  EXPECT_NE(not_mobility.err.find("not an ion-mobility acquisition"), std::string::npos);

  const auto scan_types = testing::lines_of(testing::run_vornak({"spectra", folder("coral.D")}).out);
  EXPECT_EQ(json::parse(scan_types[0])["scan_type"], "neutral_loss");
  const auto channels = testing::lines_of(testing::run_vornak({"spectra", folder("ivory.D")}).out);
  EXPECT_EQ(json::parse(channels[0])["channels"], "stored");

  const auto chromatograms = testing::run_vornak({"chromatograms", folder("ochre.D")});
  ASSERT_EQ(chromatograms.status, 0) << chromatograms.err;
  const Acquisition ochre = open_folder("ochre.D");
  const auto expected = transition_chromatograms(ochre, {});
  const auto lines = testing::lines_of(chromatograms.out);
  ASSERT_EQ(lines.size(), expected->size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const json line = json::parse(lines[i]);
    const TransitionChromatogram& c = (*expected)[i];
    EXPECT_EQ(line["id"], c.id);
    EXPECT_EQ(line["kind"], "srm");
    EXPECT_EQ(line["precursor_mz"], c.precursor_mz);
    EXPECT_EQ(line["product_mz"], *c.product_mz);
    EXPECT_EQ(line["time"].get<std::vector<double>>(), c.time_sec);
    EXPECT_EQ(line["intensity"].get<std::vector<double>>(), c.intensity);
  }
  EXPECT_EQ(testing::run_vornak({"chromatograms", folder("khaki.D")}).out, "");
}

}  // namespace
}  // namespace vornak
