// The real-layout writer checked from its files alone: the schema fixes the stride, every
// descriptor points inside its file, blocks decode (liblzf, a reference run-length expander) to
// what was written, record totals and calibration rows agree, and headers match real files.
#include <gtest/gtest.h>
#include <lzf.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "realdata.hpp"
#include "temp_dir.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string read_text(const fs::path& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

template <typename T>
T le(const Bytes& bytes, std::size_t at) {
  if (at > bytes.size() || sizeof(T) > bytes.size() - at) throw std::out_of_range("read past the end");
  T value;
  std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

// ---- a schema reader of the test's own: comments out, xs: types sized, complex types nested --

struct Field {
  std::string name;
  std::string type;  // xs:int, xs:double, ...
  std::size_t at = 0;
};

struct SchemaLayout {
  std::vector<Field> scan_fields;  // with the fields of nested complex elements
  std::vector<Field> descriptor;   // offsets from the descriptor's start
  std::size_t descriptors_at = 0;
  std::size_t descriptor_len = 0;

  [[nodiscard]] std::size_t stride(std::size_t descriptors) const {
    return descriptors_at + descriptors * descriptor_len;
  }
};

std::size_t xs_size(const std::string& type) {
  static const std::map<std::string, std::size_t> sizes = {
      {"xs:byte", 1}, {"xs:short", 2}, {"xs:int", 4}, {"xs:long", 8}, {"xs:float", 4}, {"xs:double", 8}};
  const auto found = sizes.find(type);
  return found == sizes.end() ? 0 : found->second;
}

// (name, type) of each xs:element in the named complex type's sequence, prefixes dropped.
std::vector<std::pair<std::string, std::string>> complex_type(const std::string& schema, const std::string& name) {
  const std::size_t start = schema.find("<xs:complexType name=\"" + name + "\"");
  if (start == std::string::npos) throw std::runtime_error("no complex type " + name);
  const std::size_t end = schema.find("</xs:complexType>", start);
  const std::string body = schema.substr(start, end - start);
  std::vector<std::pair<std::string, std::string>> elements;
  const std::regex element(R"(<xs:element\s([^>]*?)/?>)");
  const std::regex name_attribute(R"(\bname="([^"]+)\")");
  const std::regex type_attribute(R"(\btype="(?:mstns:)?([^"]+)\")");
  for (auto it = std::sregex_iterator(body.begin(), body.end(), element); it != std::sregex_iterator(); ++it) {
    const std::string attributes = (*it)[1];
    std::smatch found_name, found_type;
    if (!std::regex_search(attributes, found_name, name_attribute) ||
        !std::regex_search(attributes, found_type, type_attribute)) {
      throw std::runtime_error("element without name or type in " + name + ": " + attributes);
    }
    elements.emplace_back(found_name[1], found_type[1]);
  }
  return elements;
}

SchemaLayout parse_schema(std::string text) {
  text = std::regex_replace(text, std::regex("<!--[\\s\\S]*?-->"), "");
  SchemaLayout layout;
  std::size_t at = 0;
  // for each element of the record: an xs: type adds its size; SpectrumParamsType marks where
  // the descriptors start; any other complex type adds its own fields.
  for (const auto& [name, type] : complex_type(text, "ScanRecordType")) {
    if (type == "SpectrumParamsType") {
      layout.descriptors_at = at;
      continue;
    }
    if (xs_size(type) != 0) {
      layout.scan_fields.push_back({name, type, at});
      at += xs_size(type);
      continue;
    }
    for (const auto& [inner_name, inner_type] : complex_type(text, type)) {
      if (xs_size(inner_type) == 0) throw std::runtime_error("nested complex type " + inner_type);
      layout.scan_fields.push_back({inner_name, inner_type, at});
      at += xs_size(inner_type);
    }
  }
  if (layout.descriptors_at != at) throw std::runtime_error("fields after the descriptors");
  for (const auto& [name, type] : complex_type(text, "SpectrumParamsType")) {
    layout.descriptor.push_back({name, type, layout.descriptor_len});
    layout.descriptor_len += xs_size(type);
  }
  return layout;
}

double read_typed(const Bytes& bytes, std::size_t at, const std::string& type) {
  if (type == "xs:byte") return le<std::int8_t>(bytes, at);
  if (type == "xs:short") return le<std::int16_t>(bytes, at);
  if (type == "xs:int") return le<std::int32_t>(bytes, at);
  if (type == "xs:long") return static_cast<double>(le<std::int64_t>(bytes, at));
  if (type == "xs:float") return le<float>(bytes, at);
  if (type == "xs:double") return le<double>(bytes, at);
  throw std::runtime_error("unknown type " + type);
}

const Field& field_named(const std::vector<Field>& fields, const std::string& name) {
  const auto found = std::find_if(fields.begin(), fields.end(), [&](const Field& field) { return field.name == name; });
  if (found == fields.end()) throw std::runtime_error("no field " + name);
  return *found;
}

// One record of MSScan.bin read through the schema.
struct RecordView {
  const Bytes& bytes;
  const SchemaLayout& layout;
  std::size_t start;

  [[nodiscard]] bool has(const std::string& name) const {
    return std::any_of(layout.scan_fields.begin(), layout.scan_fields.end(),
                       [&](const Field& field) { return field.name == name; });
  }
  [[nodiscard]] double operator[](const std::string& name) const {
    const Field& field = field_named(layout.scan_fields, name);
    return read_typed(bytes, start + field.at, field.type);
  }
  [[nodiscard]] double descriptor(std::size_t index, const std::string& name) const {
    const Field& field = field_named(layout.descriptor, name);
    return read_typed(bytes, start + layout.descriptors_at + index * layout.descriptor_len + field.at, field.type);
  }
};

// ---- block decoders of the test's own ------------------------------------------------------

struct Expanded {
  double first_flight_time = 0.0;
  double step = 0.0;
  std::vector<std::uint32_t> counts;
  std::set<std::size_t> widths;  // token widths used after the first
  std::size_t empty_skips = 0;   // skip tokens that skip at least one bin
  std::size_t width_only_skips = 0;
  std::size_t zero_values = 0;
  std::uint32_t leading_empty = 0;
};

// The run-length profile: 16 raw bytes, 0x90000000 | N, minus the leading empty bins, then
// tokens of the current width: v >= 0 is a bin's count, v < 0 skips ~(v >> 2) bins and sets
// the width from v & 3 (3: 1 byte, 2: 2, 1: 4, 0: 8).
Expanded expand_run_length(const Bytes& block) {
  Expanded out;
  out.first_flight_time = le<double>(block, 0);
  out.step = le<double>(block, 8);
  const auto mark = le<std::uint32_t>(block, 16);
  if ((mark >> 24) != 0x90) throw std::runtime_error("no run-length mark");
  const std::size_t n = mark & 0xFFFFFF;
  const std::int32_t leading = le<std::int32_t>(block, 20);
  if (leading > 0) throw std::runtime_error("positive leading count");
  out.leading_empty = static_cast<std::uint32_t>(-static_cast<std::int64_t>(leading));
  out.counts.assign(out.leading_empty, 0);
  std::size_t width = 4;
  std::size_t at = 24;
  while (at < block.size()) {
    std::int64_t token = 0;
    switch (width) {
      case 1: token = le<std::int8_t>(block, at); break;
      case 2: token = le<std::int16_t>(block, at); break;
      case 4: token = le<std::int32_t>(block, at); break;
      default: token = le<std::int64_t>(block, at); break;
    }
    at += width;
    if (token >= 0) {
      if (token > UINT32_MAX) throw std::runtime_error("count above 32 bits");
      out.counts.push_back(static_cast<std::uint32_t>(token));
      out.zero_values += token == 0 ? 1 : 0;
      continue;
    }
    const std::int64_t skipped = ~(token >> 2);
    out.counts.insert(out.counts.end(), static_cast<std::size_t>(skipped), 0);
    (skipped > 0 ? out.empty_skips : out.width_only_skips) += 1;
    static constexpr std::size_t WIDTHS[] = {8, 4, 2, 1};
    width = WIDTHS[token & 3];
    out.widths.insert(width);
    if (out.counts.size() > n) throw std::runtime_error("more bins than the mark says");
  }
  if (out.counts.size() != n) throw std::runtime_error("fewer bins than the mark says");
  return out;
}

// Decodes an LZF block with liblzf into a buffer one byte larger than the expected payload,
// so a stream that decodes to more is seen.
Bytes lzf_decode(const Bytes& block, std::size_t expected) {
  Bytes out(expected + 1);
  const unsigned int length = lzf_decompress(block.data(), static_cast<unsigned int>(block.size()), out.data(),
                                             static_cast<unsigned int>(out.size()));
  out.resize(length);
  return out;
}

// m/z = (A (t - T0))^2 - sum_k c_k clamp(t, L, H)^p_k, p_k the set bits of the flags.
struct Constants {
  double a, t0, low, high;
  std::vector<double> c;
  std::uint32_t flags;
};

double mz_of(const Constants& k, double t) {
  const double clamped = std::clamp(t, k.low, k.high);
  double correction = 0.0;
  std::size_t used = 0;
  for (std::uint32_t power = 0; power < 32 && used < k.c.size(); ++power) {
    if ((k.flags >> power) & 1U) correction += k.c[used++] * std::pow(clamped, static_cast<double>(power));
  }
  const double scaled = k.a * (t - k.t0);
  return scaled * scaled - correction;
}

// DefaultMassCal.xml's entry for `id`: Traditional Values 1-2, Polynomial flags and Values 1-8.
Constants default_constants(const std::string& xml, int id) {
  const std::size_t start = xml.find("DefaultCalibrationID=\"" + std::to_string(id) + "\"");
  if (start == std::string::npos) throw std::runtime_error("no calibration " + std::to_string(id));
  const std::string entry = xml.substr(start, xml.find("</DefaultCalibration>", start) - start);
  const std::size_t polynomial = entry.find("<CalibrationFormula>Polynomial");
  const auto values = [](const std::string& part) {
    std::vector<double> out;
    const std::regex value(R"(<Value Number="\d+">([^<]+)</Value>)");
    for (auto it = std::sregex_iterator(part.begin(), part.end(), value); it != std::sregex_iterator(); ++it) {
      out.push_back(std::strtod((*it)[1].str().c_str(), nullptr));
    }
    return out;
  };
  const std::vector<double> traditional = values(entry.substr(0, polynomial));
  const std::vector<double> poly = values(entry.substr(polynomial));
  std::smatch flags;
  const std::string poly_text = entry.substr(polynomial);
  if (traditional.size() != 2 || poly.size() != 8 ||
      !std::regex_search(poly_text, flags, std::regex(R"(<ValueUseFlags>(\d+)</ValueUseFlags>)"))) {
    throw std::runtime_error("malformed calibration entry");
  }
  return {traditional[0], traditional[1], poly[0], poly[1], {poly.begin() + 2, poly.end()},
          static_cast<std::uint32_t>(std::stoul(flags[1]))};
}

Constants constants_of(const syn::MassCalibration& calibration) {
  return {calibration.a, calibration.t0, calibration.low, calibration.high,
          {calibration.coefficients.begin(), calibration.coefficients.end()}, calibration.value_use_flags};
}

// ---- writing ---------------------------------------------------------------------------------

struct Written {
  syn::RealAcquisitionFacts facts;
  std::vector<syn::WrittenScan> scans;
};

Written write(const fs::path& folder, const syn::RealLayoutOptions& options) {
  Written written;
  written.facts = syn::write_real_acquisition(folder, options, [&](const syn::WrittenScan& scan) {
    written.scans.push_back(scan);
  });
  return written;
}

struct Case {
  const char* name;
  syn::RecordFamily family;
  syn::ProfileEncoding encoding;
  bool scan_calibration;
  bool ms2_profiles;
  bool wide_counts;
};

class RealLayoutFiles : public ::testing::TestWithParam<Case> {};

TEST_P(RealLayoutFiles, AreSelfConsistent) {
  const Case& c = GetParam();
  const TempDir dir;
  syn::RealLayoutOptions options;
  options.family = c.family;
  options.encoding = c.encoding;
  options.scan_calibration = c.scan_calibration;
  options.ms2_profiles = c.ms2_profiles;
  options.wide_counts = c.wide_counts;
  options.profile_scans = 4;
  options.points = 3000;
  options.ms2_scans = 3;
  options.seed = 11;
  const Written written = write(dir.path() / "run.d", options);
  const fs::path acq = dir.path() / "run.d" / "AcqData";
  ASSERT_EQ(written.scans.size(), 7U);

  // Index header and the stride the schema gives.
  const Bytes index = read_file(acq / "MSScan.bin");
  ASSERT_EQ(le<std::uint32_t>(index, 0), 257U);
  const auto data_offset = le<std::uint32_t>(index, 88);
  const auto descriptors = le<std::uint32_t>(index, 0x4C);
  ASSERT_EQ(descriptors, 2U);
  const SchemaLayout layout = parse_schema(read_text(acq / "MSScan.xsd"));
  const std::size_t stride = layout.stride(descriptors);
  ASSERT_EQ(stride, static_cast<std::size_t>(c.family));
  ASSERT_EQ(written.facts.record_stride, stride);
  ASSERT_GE(index.size(), data_offset);
  ASSERT_EQ((index.size() - data_offset) % stride, 0U);
  ASSERT_EQ((index.size() - data_offset) / stride, written.scans.size());

  const Bytes profiles = read_file(acq / "MSProfile.bin");
  const Bytes peaks = read_file(acq / "MSPeak.bin");
  const std::string calibration_xml = read_text(acq / "DefaultMassCal.xml");
  const Constants defaults = default_constants(calibration_xml, 2);
  EXPECT_EQ(le<std::uint16_t>(profiles, 0), 0x0102);
  EXPECT_EQ(le<std::uint16_t>(peaks, 0), 0x0103);
  const std::optional<Bytes> mass_cal =
      c.scan_calibration ? std::optional(read_file(acq / "MSMassCal.bin")) : std::nullopt;
  EXPECT_EQ(fs::exists(acq / "MSMassCal.bin"), c.scan_calibration);
  if (mass_cal) {
    EXPECT_EQ(mass_cal->size(), 0x48 + 84 * written.scans.size());
  }

  std::uint64_t profile_bytes = 68;
  std::uint64_t peak_bytes = 68;
  for (const syn::WrittenScan& scan : written.scans) {
    SCOPED_TRACE("scan " + std::to_string(scan.index));
    const RecordView record{index, layout, data_offset + scan.index * stride};
    EXPECT_EQ(record["ScanID"], scan.scan_id);
    EXPECT_EQ(record["MSLevel"], scan.ms_level);
    EXPECT_EQ(record["ScanTime"], scan.retention_time_min);
    EXPECT_EQ(record["CalibrationID"], 2.0);
    EXPECT_EQ(record["SamplingPeriod"], 0.5);
    if (record.has("MzOfInterest")) {
      EXPECT_EQ(record["MzOfInterest"], scan.precursor_mz.value_or(0.0));
    }

    // Calibration: the record's row in MSMassCal.bin, else the default entry.
    Constants constants = defaults;
    if (mass_cal) {
      const auto offset = static_cast<std::size_t>(record["MassCalOffset"]);
      EXPECT_EQ(offset, 0x48 + 84 * scan.index);
      EXPECT_EQ(le<std::int32_t>(*mass_cal, offset), 10);
      std::vector<double> row;
      for (std::size_t k = 0; k < 10; ++k) row.push_back(le<double>(*mass_cal, offset + 4 + 8 * k));
      constants = {row[0], row[1], row[2], row[3], {row.begin() + 4, row.end()}, defaults.flags};
      EXPECT_NE(constants.a, defaults.a);
    } else {
      EXPECT_EQ(record["MassCalOffset"], 0.0);
    }
    const Constants claimed = constants_of(scan.calibration);
    EXPECT_EQ(claimed.a, constants.a);
    EXPECT_EQ(claimed.t0, constants.t0);
    EXPECT_EQ(claimed.c, constants.c);

    // Slot 0: the profile, decoded to exactly what was written.
    EXPECT_EQ(record.descriptor(0, "SpectrumFormatID"), 1.0);
    EXPECT_EQ(record.descriptor(1, "SpectrumFormatID"), 2.0);
    double tic = 0.0;
    if (scan.profile) {
      const auto offset = static_cast<std::uint64_t>(record.descriptor(0, "SpectrumOffset"));
      const auto length = static_cast<std::uint64_t>(record.descriptor(0, "ByteCount"));
      const auto points = static_cast<std::size_t>(record.descriptor(0, "PointCount"));
      ASSERT_EQ(offset, profile_bytes) << "blocks follow each other";
      ASSERT_LE(length, profiles.size() - offset);
      profile_bytes += length;
      const Bytes block(profiles.begin() + static_cast<std::ptrdiff_t>(offset),
                        profiles.begin() + static_cast<std::ptrdiff_t>(offset + length));
      std::vector<std::uint32_t> counts;
      double first = 0.0;
      double step = 0.0;
      if (c.encoding == syn::ProfileEncoding::lzf) {
        EXPECT_EQ(record.descriptor(0, "UncompressedByteCount"), 16.0 + 4.0 * static_cast<double>(points));
        const Bytes payload = lzf_decode(block, 16 + 4 * points);
        ASSERT_EQ(payload.size(), 16 + 4 * points);
        first = le<double>(payload, 0);
        step = le<double>(payload, 8);
        for (std::size_t i = 0; i < points; ++i) counts.push_back(le<std::uint32_t>(payload, 16 + 4 * i));
      } else {
        const Expanded expanded = expand_run_length(block);
        first = expanded.first_flight_time;
        step = expanded.step;
        counts = expanded.counts;
        EXPECT_EQ(record.descriptor(0, "UncompressedByteCount"),
                  c.family == syn::RecordFamily::bytes_274 ? 0.0 : 16.0 + 4.0 * static_cast<double>(points));
      }
      EXPECT_EQ(counts, scan.counts);
      EXPECT_EQ(first, scan.first_flight_time);
      EXPECT_EQ(step, 0.5);
      tic = std::accumulate(counts.begin(), counts.end(), 0.0);
      const std::uint32_t max_count = *std::max_element(counts.begin(), counts.end());
      EXPECT_EQ(record.descriptor(0, "MaxY"), max_count);
      EXPECT_EQ(record["BasePeakValue"], max_count);
      EXPECT_NEAR(record.descriptor(0, "MinX"), mz_of(defaults, first), 1e-9);
      EXPECT_NEAR(record.descriptor(0, "MaxX"), mz_of(defaults, first + step * static_cast<double>(points - 1)), 1e-9);
      // The writer's own m/z agrees with the formula on the constants read back.
      for (const std::size_t bin : {std::size_t{0}, points / 2, points - 1}) {
        const double t = first + step * static_cast<double>(bin);
        EXPECT_NEAR(scan.calibration.mz(t), mz_of(constants, t), 1e-9);
      }
    } else {
      EXPECT_EQ(record.descriptor(0, "ByteCount"), 0.0);
      EXPECT_EQ(record.descriptor(0, "PointCount"), 0.0);
    }

    // Slot 1: the centroids, f64 flight times then f32 abundances.
    if (scan.peaks) {
      const auto offset = static_cast<std::uint64_t>(record.descriptor(1, "SpectrumOffset"));
      const auto length = static_cast<std::uint64_t>(record.descriptor(1, "ByteCount"));
      const auto points = static_cast<std::size_t>(record.descriptor(1, "PointCount"));
      ASSERT_EQ(offset, peak_bytes);
      ASSERT_EQ(length, 12 * points);
      ASSERT_LE(length, peaks.size() - offset);
      peak_bytes += length;
      std::vector<double> times;
      std::vector<float> abundances;
      for (std::size_t i = 0; i < points; ++i) times.push_back(le<double>(peaks, offset + 8 * i));
      for (std::size_t i = 0; i < points; ++i) abundances.push_back(le<float>(peaks, offset + 8 * points + 4 * i));
      EXPECT_EQ(times, scan.peak_flight_times);
      EXPECT_EQ(abundances, scan.peak_abundances);
      EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
      EXPECT_EQ(record.descriptor(1, "MaxY"), *std::max_element(abundances.begin(), abundances.end()));
      EXPECT_NEAR(record.descriptor(1, "MinX"), mz_of(defaults, times.front()), 1e-9);
      EXPECT_GE(mz_of(constants, times.front()), 50.0 - 1e-6);
      EXPECT_LE(mz_of(constants, times.back()), *scan.precursor_mz + 5.0 + 1e-6);
      if (!scan.profile) tic = std::accumulate(abundances.begin(), abundances.end(), 0.0);
    } else {
      EXPECT_EQ(record.descriptor(1, "ByteCount"), 0.0);
    }
    EXPECT_EQ(record["TIC"], tic);
    EXPECT_EQ(record["TIC"], scan.tic);
  }
  EXPECT_EQ(profile_bytes, profiles.size());
  EXPECT_EQ(peak_bytes, peaks.size());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RealLayoutFiles,
    ::testing::Values(
        Case{"f256_lzf", syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, true, false, false},
        Case{"f256_lzf_default_calibration", syn::RecordFamily::bytes_256, syn::ProfileEncoding::lzf, false, true,
             false},
        Case{"f256_run_length", syn::RecordFamily::bytes_256, syn::ProfileEncoding::run_length, true, true, true},
        Case{"f274_lzf", syn::RecordFamily::bytes_274, syn::ProfileEncoding::lzf, true, true, true},
        Case{"f274_run_length", syn::RecordFamily::bytes_274, syn::ProfileEncoding::run_length, true, false, true},
        Case{"f274_run_length_default_calibration", syn::RecordFamily::bytes_274, syn::ProfileEncoding::run_length,
             false, false, false}),
    [](const ::testing::TestParamInfo<Case>& param_info) { return std::string(param_info.param.name); });

// ---- run-length tokens ----------------------------------------------------------------------

TEST(RealLayoutRunLength, RoundTripsEdgeCases) {
  const std::vector<std::uint32_t> long_gap = [] {
    std::vector<std::uint32_t> counts = {5, 6};
    counts.resize(2 + 70000, 0);  // a skip too long for 1- and 2-byte tokens
    counts.push_back(7);
    return counts;
  }();
  const struct {
    const char* name;
    std::vector<std::uint32_t> counts;
  } cases[] = {
      {"no bins", {}},
      {"all empty", {0, 0, 0, 0}},
      {"one bin", {9}},
      {"leading empty", {0, 0, 0, 12}},
      {"lone empty bin", {1, 0, 1}},
      {"trailing empty", {3, 4, 0, 0, 0}},
      {"widths up and down", {1, 200, 40000, 3000000000U, 2, 1, 300, 5, 5, 5, 5, 5, 5, 5, 5, 5}},
      {"largest count", {UINT32_MAX, 0, 0, UINT32_MAX}},
      {"long gap", long_gap},
      {"realistic", syn::realistic_profile_intensities(5000, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const syn::Bytes block = syn::encode_run_length_profile(18474.0, 0.5, c.counts);
    const Expanded expanded = expand_run_length(block);
    EXPECT_EQ(expanded.counts, c.counts);
    EXPECT_EQ(expanded.first_flight_time, 18474.0);
    EXPECT_EQ(expanded.step, 0.5);
    const auto leading = std::find_if(c.counts.begin(), c.counts.end(), [](std::uint32_t v) { return v != 0; });
    EXPECT_EQ(expanded.leading_empty, static_cast<std::uint32_t>(leading - c.counts.begin()));
  }
  EXPECT_THROW((void)syn::encode_run_length_profile(0.0, 0.5, std::vector<std::uint32_t>(0x1000000)),
               std::invalid_argument);
}

TEST(RealLayoutRunLength, WrittenBlocksUseEveryWidthAndBothKindsOfSkip) {
  const TempDir dir;
  syn::RealLayoutOptions options;
  options.encoding = syn::ProfileEncoding::run_length;
  options.wide_counts = true;
  options.profile_scans = 2;
  options.points = 20000;
  options.ms2_scans = 0;
  const Written written = write(dir.path() / "run.d", options);
  const Bytes profiles = read_file(dir.path() / "run.d" / "AcqData" / "MSProfile.bin");
  std::set<std::size_t> widths;
  std::size_t empty_skips = 0;
  std::size_t width_only_skips = 0;
  std::size_t zero_values = 0;
  for (const syn::WrittenScan& scan : written.scans) {
    const Bytes block(profiles.begin() + static_cast<std::ptrdiff_t>(scan.profile->offset),
                      profiles.begin() + static_cast<std::ptrdiff_t>(scan.profile->offset + scan.profile->byte_count));
    const Expanded expanded = expand_run_length(block);
    EXPECT_EQ(expanded.counts, scan.counts);
    widths.insert(expanded.widths.begin(), expanded.widths.end());
    empty_skips += expanded.empty_skips;
    width_only_skips += expanded.width_only_skips;
    zero_values += expanded.zero_values;
  }
  EXPECT_EQ(widths, (std::set<std::size_t>{1, 2, 4, 8}));
  EXPECT_GT(empty_skips, 0U);
  EXPECT_GT(width_only_skips, 0U);
  EXPECT_GT(zero_values, 0U);
  // Without wide counts no token is 8 bytes wide, as in real files.
  options.wide_counts = false;
  const Written plain = write(dir.path() / "plain.d", options);
  const Bytes plain_profiles = read_file(dir.path() / "plain.d" / "AcqData" / "MSProfile.bin");
  for (const syn::WrittenScan& scan : plain.scans) {
    const Bytes block(plain_profiles.begin() + static_cast<std::ptrdiff_t>(scan.profile->offset),
                      plain_profiles.begin() +
                          static_cast<std::ptrdiff_t>(scan.profile->offset + scan.profile->byte_count));
    EXPECT_EQ(expand_run_length(block).widths.count(8), 0U);
    EXPECT_LT(*std::max_element(scan.counts.begin(), scan.counts.end()), 0x80000000U);
  }
}

// ---- options, determinism, calibration -----------------------------------------------------

TEST(RealLayout, SameOptionsGiveSameBytes) {
  const TempDir dir;
  syn::RealLayoutOptions options;
  options.points = 2000;
  (void)syn::write_real_acquisition(dir.path() / "a.d", options);
  (void)syn::write_real_acquisition(dir.path() / "b.d", options);
  options.seed = 2;
  (void)syn::write_real_acquisition(dir.path() / "c.d", options);
  for (const char* name : {"MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin", "MSScan.xsd",
                           "DefaultMassCal.xml", "MSTS.xml", "Devices.xml", "Contents.xml"}) {
    SCOPED_TRACE(name);
    const Bytes a = read_file(dir.path() / "a.d" / "AcqData" / name);
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, read_file(dir.path() / "b.d" / "AcqData" / name));
  }
  EXPECT_NE(read_file(dir.path() / "a.d" / "AcqData" / "MSProfile.bin"),
            read_file(dir.path() / "c.d" / "AcqData" / "MSProfile.bin"));
}

TEST(RealLayout, ScanCalibrationOffLeavesNoRowFile) {
  const TempDir dir;
  syn::RealLayoutOptions options;
  options.points = 500;
  (void)syn::write_real_acquisition(dir.path() / "run.d", options);
  ASSERT_TRUE(fs::exists(dir.path() / "run.d" / "AcqData" / "MSMassCal.bin"));
  options.scan_calibration = false;
  (void)syn::write_real_acquisition(dir.path() / "run.d", options);  // over the first
  EXPECT_FALSE(fs::exists(dir.path() / "run.d" / "AcqData" / "MSMassCal.bin"));
}

TEST(RealLayout, RefusesBadOptions) {
  const TempDir dir;
  syn::RealLayoutOptions bad_family;
  bad_family.family = static_cast<syn::RecordFamily>(284);
  EXPECT_THROW((void)syn::write_real_acquisition(dir.path() / "a.d", bad_family), std::invalid_argument);
  EXPECT_FALSE(fs::exists(dir.path() / "a.d"));
  syn::RealLayoutOptions too_many_points;
  too_many_points.points = 0x1000000;
  EXPECT_THROW((void)syn::write_real_acquisition(dir.path() / "b.d", too_many_points), std::invalid_argument);
  EXPECT_THROW((void)syn::real_bench_options(0.0), std::invalid_argument);
  EXPECT_THROW((void)syn::real_bench_options(-1.0), std::invalid_argument);
}

TEST(RealLayout, BenchPresetScales) {
  const struct {
    double scale;
    std::size_t ms1, ms2;
  } cases[] = {{1.0, 600, 300}, {0.5, 300, 150}, {2.0, 1200, 600}, {0.0001, 1, 0}};
  for (const auto& c : cases) {
    const syn::RealLayoutOptions options = syn::real_bench_options(c.scale);
    EXPECT_EQ(options.profile_scans, c.ms1) << c.scale;
    EXPECT_EQ(options.ms2_scans, c.ms2) << c.scale;
    EXPECT_EQ(options.points, 60000U);
    EXPECT_EQ(options.encoding, syn::ProfileEncoding::lzf);
    EXPECT_TRUE(options.scan_calibration);
  }
}

TEST(RealLayout, FlightTimeInvertsTheCalibration) {
  const TempDir dir;
  syn::RealLayoutOptions options;
  options.points = 100;
  const auto facts = syn::write_real_acquisition(dir.path() / "run.d", options);
  for (const double mz : {20.0, 50.0, 99.5, 500.0, 1234.5678, 3000.0}) {
    const double t = facts.default_calibration.flight_time(mz);
    EXPECT_NEAR(facts.default_calibration.mz(t), mz, 1e-9) << mz;
  }
  // Flags pick the powers: 0b101 uses c1 t^0 and c2 t^2, the rest is unused.
  const syn::MassCalibration calibration{0.0005, 1000.0, 0.0, 1e9, {1.0, 1e-9, 7.0, 7.0, 7.0, 7.0}, 0b101};
  const double t = 21000.0;
  EXPECT_DOUBLE_EQ(calibration.mz(t), 100.0 - 1.0 - 1e-9 * t * t);
}

// ---- compared with real files -----------------------------------------------------------------

TEST(RealLayout, HeadersAndSchemasMatchRealFiles) {
  SKIP_WITHOUT_REALDATA();
  const fs::path real = VORNAK_REALDATA_DIR;
  const TempDir dir;
  const struct {
    syn::RecordFamily family;
    const char* model;  // real folder of the same family
  } cases[] = {{syn::RecordFamily::bytes_256, "gold.D"}, {syn::RecordFamily::bytes_274, "black.D"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    syn::RealLayoutOptions options;
    options.family = c.family;
    options.points = 100;
    const fs::path ours = dir.path() / (std::string(c.model) + ".d") / "AcqData";
    const fs::path theirs = real / c.model / "AcqData";
    (void)syn::write_real_acquisition(ours.parent_path(), options);

    const auto prefix = [](const fs::path& path, std::size_t length) {
      Bytes bytes = read_file(path);
      bytes.resize(std::min(bytes.size(), length));
      return bytes;
    };
    EXPECT_EQ(prefix(ours / "MSScan.bin", 228), prefix(theirs / "MSScan.bin", 228));
    EXPECT_EQ(prefix(ours / "MSPeak.bin", 68), prefix(theirs / "MSPeak.bin", 68));
    EXPECT_EQ(prefix(ours / "MSProfile.bin", 68), prefix(real / "gold.D" / "AcqData" / "MSProfile.bin", 68));
    EXPECT_EQ(prefix(ours / "MSMassCal.bin", 0x48), prefix(real / "black.D" / "AcqData" / "MSMassCal.bin", 0x48));

    const SchemaLayout mine = parse_schema(read_text(ours / "MSScan.xsd"));
    const SchemaLayout model = parse_schema(read_text(theirs / "MSScan.xsd"));
    const auto names = [](const std::vector<Field>& fields) {
      std::vector<std::pair<std::string, std::string>> out;
      for (const Field& field : fields) out.emplace_back(field.name, field.type);
      return out;
    };
    EXPECT_EQ(names(mine.scan_fields), names(model.scan_fields));
    EXPECT_EQ(names(mine.descriptor), names(model.descriptor));
    EXPECT_EQ(mine.stride(2), static_cast<std::size_t>(c.family));
  }
}

// ---- the command -------------------------------------------------------------------------------

int run_make_sample(const std::string& arguments) {
  const std::string command = std::string("'") + VORNAK_MAKE_SAMPLE_BIN + "' " + arguments + " 2>/dev/null";
  return std::system(command.c_str());
}

TEST(MakeSampleReal, WritesTheFolderAndTheExpectedValues) {
  const TempDir dir;
  const fs::path out = dir.path() / "run.d";
  const fs::path expected = dir.path() / "expected.json";
  ASSERT_EQ(run_make_sample("--real --family 274 --encoding run-length --scans 2 --points 700 --ms2 1 "
                            "--expected '" + expected.string() + "' '" + out.string() + "'"),
            0);
  const nlohmann::json values = nlohmann::json::parse(read_text(expected));
  EXPECT_EQ(values["record_stride"], 274);
  ASSERT_EQ(values["scans"].size(), 3U);
  EXPECT_EQ(values["scans"][0]["profile"]["counts"].size(), 700U);
  EXPECT_TRUE(values["scans"][2]["profile"].is_null());
  EXPECT_EQ(values["scans"][2]["peaks"]["flight_times"].size(), values["scans"][2]["peaks"]["point_count"]);
  EXPECT_EQ(read_file(out / "AcqData" / "MSScan.bin").size(), 228U + 3U * 274U);
}

TEST(MakeSampleReal, RefusesBadArguments) {
  const TempDir dir;
  const std::string out = "'" + (dir.path() / "run.d").string() + "'";
  const std::vector<std::string> bad = {"--real --family 284 " + out,  "--real --encoding zip " + out,
                                       "--real --scale 2 " + out,      "--real --bench --scale 0 " + out,
                                       "--real --scans 0 --ms2 0 " + out, "--real --scans",
                                       "--real"};
  for (const std::string& arguments : bad) {
    EXPECT_NE(run_make_sample(arguments), 0) << arguments;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "run.d"));
}

}  // namespace
}  // namespace vornak
