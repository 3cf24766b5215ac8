// Lays out the acquisitions of triple quadrupoles, ion-mobility Q-TOFs and ICP-MS instruments
// without a schema, as those instruments write them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/layout_output.hpp"
#include "tests/support/random.hpp"
#include "tests/support/real_layout.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak::synthetic {
namespace {

using namespace output;

constexpr std::uint32_t SCAN_INDEX_MAGIC = 257;
constexpr std::size_t BLOCK_FILE_HEADER_LEN = 68;
constexpr std::uint32_t PROFILE_FILE_TAG = 0x0102;
constexpr std::uint32_t PEAK_FILE_TAG = 0x0103;

// ---- field tables -------------------------------------------------------------------------

// The fields of one record (and of its one descriptor, when it has one), laid out in order.
class FieldTable {
 public:
  // Scan fields, the descriptor's fields and the fields after it, one after the other.
  FieldTable(std::span<const FieldSpec> scan, std::span<const FieldSpec> descriptor,
             std::span<const FieldSpec> trailing = {}) {
    for (const auto fields : {scan, descriptor, trailing}) {
      for (const FieldSpec& field : fields) {
        slots_.push_back({field.name, field.type, stride_});
        stride_ += field_size(field.type);
      }
    }
  }

  [[nodiscard]] std::size_t stride() const { return stride_; }
  [[nodiscard]] Bytes record() const { return Bytes(stride_, 0); }

  // Writes `value` into the named field, converted to its type; integer fields take only whole
  // values within their range.
  void put(Bytes& record, std::string_view name, double value) const {
    const auto slot = std::ranges::find(slots_, name, &Slot::name);
    if (slot == slots_.end()) throw std::logic_error("family layout: no record field " + std::string(name));
    switch (slot->type) {
      case FieldType::int8: put_le(record, slot->at, whole<std::int8_t>(name, value)); break;
      case FieldType::int16: put_le(record, slot->at, whole<std::int16_t>(name, value)); break;
      case FieldType::int32: put_le(record, slot->at, whole<std::int32_t>(name, value)); break;
      case FieldType::int64: put_le(record, slot->at, whole<std::int64_t>(name, value)); break;
      case FieldType::float32: put_le(record, slot->at, static_cast<float>(value)); break;
      case FieldType::float64: put_le(record, slot->at, value); break;
    }
  }

 private:
  struct Slot {
    std::string_view name;
    FieldType type;
    std::size_t at;
  };

  template <typename T>
  static T whole(std::string_view name, double value) {
    if (value != std::floor(value) || value < static_cast<double>(std::numeric_limits<T>::min()) ||
        value > static_cast<double>(std::numeric_limits<T>::max())) {
      throw std::invalid_argument("family layout: " + std::string(name) + " = " + std::to_string(value) +
                                  " does not fit its integer field");
    }
    return static_cast<T>(value);
  }

  std::vector<Slot> slots_;
  std::size_t stride_ = 0;
};

std::string schema_elements(std::span<const FieldSpec> fields, std::string_view indent) {
  std::string text;
  for (const FieldSpec& field : fields) {
    text += std::string(indent) + "<xs:element name=\"" + std::string(field.name) + "\" type=\"" +
            std::string(schema_type(field.type)) + "\"" + (field.optional ? " minOccurs=\"0\"" : "") + "/>\r\n";
  }
  return text;
}

// A schema of one record type, in the instruments' framing; `record_elements` is the body of
// the record's sequence, `more_types` further complex types.
std::string record_schema(std::string_view bin_name, std::string_view record_name, std::string_view record_type,
                          const std::string& record_elements, const std::string& more_types) {
  std::string text = crlf({
      R"(<?xml version="1.0" encoding="utf-8"?>)",
      R"(<!--Graphical Representation of the binary file format for document purpose-->)",
      R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:mstns="http://tempuri.org/XMLSchema.xsd" xmlns="http://tempuri.org/XMLSchema.xsd" targetNamespace="http://tempuri.org/XMLSchema.xsd" elementFormDefault="qualified" version="1.0">)",
  });
  text += "\t<xs:element name=\"" + std::string(bin_name) + "\">\r\n";
  text += crlf({"\t\t<xs:complexType>", "\t\t\t<xs:sequence>"});
  text += "\t\t\t\t<xs:element name=\"" + std::string(record_name) + "\" type=\"" + std::string(record_type) +
          "\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>\r\n";
  text += crlf({"\t\t\t</xs:sequence>", "\t\t</xs:complexType>", "\t</xs:element>"});
  text += "\t<xs:complexType name=\"" + std::string(record_type) + "\">\r\n\t\t<xs:sequence>\r\n";
  text += record_elements;
  text += crlf({"\t\t</xs:sequence>", "\t</xs:complexType>"});
  text += more_types;
  text += "</xs:schema>\r\n";
  return text;
}

// MSScan.bin's header: the magic, the layout word at 0x48, the descriptor count at 0x4C and the
// first record's offset at 0x58.
Bytes scan_index_header(std::uint32_t layout_word, std::uint32_t descriptor_count, std::uint32_t data_offset) {
  Bytes header(data_offset, 0);
  put_le<std::uint32_t>(header, 0x00, SCAN_INDEX_MAGIC);
  put_le<std::uint32_t>(header, 0x44, 1);
  put_le<std::uint32_t>(header, 0x48, layout_word);
  put_le<std::uint32_t>(header, 0x4C, descriptor_count);
  put_le<std::uint32_t>(header, 0x50, 3);
  put_le<std::uint32_t>(header, 0x58, data_offset);
  return header;
}

std::filesystem::path make_acqdata(const std::filesystem::path& folder) {
  const std::filesystem::path acqdata = folder / "AcqData";
  std::error_code error;
  std::filesystem::create_directories(acqdata, error);
  if (error) throw std::runtime_error("family layout: cannot create " + acqdata.string() + ": " + error.message());
  return acqdata;
}

std::string time_segments_document(const std::vector<std::pair<double, double>>& segments,
                                   const std::vector<std::size_t>& scans) {
  std::string text = std::string(BOM) + crlf({"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<TimeSegments>",
                                               "    <Version>3</Version>"});
  for (std::size_t i = 0; i < segments.size(); ++i) {
    text += "    <TimeSegment TimeSegmentID=\"" + std::to_string(i + 1) + "\">\r\n";
    text += "        <StartTime>" + decimal(segments[i].first) + "</StartTime>\r\n";
    text += "        <EndTime>" + decimal(segments[i].second) + "</EndTime>\r\n";
    text += "        <NumOfScans>" + std::to_string(scans[i]) + "</NumOfScans>\r\n";
    text += "    </TimeSegment>\r\n";
  }
  text += "</TimeSegments>";
  return text;
}

void write_common_documents(const std::filesystem::path& acqdata, std::string_view device, std::string_view model) {
  write_whole_file(acqdata / "Devices.xml", devices_xml(device, model));
  write_whole_file(acqdata / "Contents.xml", contents_xml("2024-05-14T10:21:33.4410000+02:00"));
}

// ---- triple quadrupole --------------------------------------------------------------------

constexpr FieldSpec QUAD_SCAN_FIELDS[] = {
    {"ScanID", FieldType::int32, false},         {"ScanMethodID", FieldType::int32, false},
    {"TimeSegmentID", FieldType::int32, false},  {"ScanTime", FieldType::float64, false},
    {"MSLevel", FieldType::int32, false},        {"ScanType", FieldType::int32, false},
    {"TIC", FieldType::float64, false},          {"BasePeakMZ", FieldType::float64, false},
    {"BasePeakValue", FieldType::float64, false}, {"CycleNumber", FieldType::int32, true},
    {"Status", FieldType::int32, true},          {"IonMode", FieldType::int32, true},
    {"IonPolarity", FieldType::int32, true},     {"Fragmentor", FieldType::float64, true},
    {"CollisionEnergy", FieldType::float64, true}, {"MzOfInterest", FieldType::float64, true},
    {"SamplingPeriod", FieldType::float64, true}, {"MeasuredMassRangeMin", FieldType::float64, true},
    {"MeasuredMassRangeMax", FieldType::float64, true}, {"Threshold", FieldType::float64, true},
    {"IsFragmentorDynamic", FieldType::int32, true}, {"IsCollisionEnergyDynamic", FieldType::int32, true},
};
// The 2006 descriptor: the y range before the x range, no UncompressedByteCount.
constexpr FieldSpec QUAD_DESCRIPTOR_FIELDS[] = {
    {"SpectrumFormatID", FieldType::int32, false}, {"SpectrumOffset", FieldType::int64, false},
    {"ByteCount", FieldType::int32, false},        {"PointCount", FieldType::int32, false},
    {"MinY", FieldType::float64, false},           {"MaxY", FieldType::float64, false},
    {"MinX", FieldType::float64, false},           {"MaxX", FieldType::float64, false},
};
constexpr std::uint32_t QUAD_LAYOUT_WORD = 5;
constexpr std::uint32_t QUAD_DATA_OFFSET = 296;
constexpr std::uint32_t QUAD_STRIDE = 184;
constexpr std::int64_t SCAN_TYPE_FULL = 1;
constexpr std::int64_t SCAN_TYPE_SIM = 2;
constexpr std::int64_t SCAN_TYPE_MRM = 256;
constexpr std::int64_t SCAN_TYPE_PRODUCT_ION = 512;
constexpr float QUAD_SAMPLING_PERIOD = 0.1F;

// The instruments store the profile step with its low 12 mantissa bits rounded away
// (0.1 becomes 0.1000061).
float truncated_step(float step) {
  const auto bits = std::bit_cast<std::uint32_t>(step);
  return std::bit_cast<float>((bits + 0x800U) & ~0xFFFU);
}

FieldTable quad_fields() { return FieldTable(QUAD_SCAN_FIELDS, QUAD_DESCRIPTOR_FIELDS); }

}  // namespace

std::string triple_quad_scan_schema() {
  std::string elements = schema_elements(QUAD_SCAN_FIELDS, "\t\t\t");
  elements += "\t\t\t<xs:element name=\"SpectrumParamValues\" type=\"SpectrumParamsType\" maxOccurs=\"unbounded\"/>\r\n";
  std::string types = "\t<xs:complexType name=\"SpectrumParamsType\">\r\n\t\t<xs:sequence>\r\n";
  types += schema_elements(QUAD_DESCRIPTOR_FIELDS, "\t\t\t");
  types += crlf({"\t\t\t<!--", "\t\t\t<xs:element name=\"UncompressedByteCount\" type=\"xs:int\" minOccurs=\"0\"/>",
                 "\t\t\t-->", "\t\t</xs:sequence>", "\t</xs:complexType>"});
  return record_schema("MSScanBin", "ScanRecord", "ScanRecordType", elements, types);
}

FamilyFacts write_triple_quad_acquisition(const std::filesystem::path& folder, const TripleQuadOptions& options,
                                          const FamilyRecordSink& on_record) {
  const std::size_t record_count =
      options.mrm_records + options.sim_records + options.count_profiles + options.abundance_profiles;
  if (record_count == 0) throw std::invalid_argument("triple quad: no records to write");
  if (options.time_segments == 0 || options.time_segments > record_count) {
    throw std::invalid_argument("triple quad: " + std::to_string(options.time_segments) +
                                " time segments for " + std::to_string(record_count) + " records");
  }
  if (options.mrm_records > 0 && (options.mrm_precursors == 0 || options.transitions_per_record == 0)) {
    throw std::invalid_argument("triple quad: MRM records need at least one precursor and one transition");
  }
  if (options.sim_records > 0 && options.sim_ions == 0) throw std::invalid_argument("triple quad: SIM records need ions");
  if (options.points == 0 || options.points > 1'000'000) {
    throw std::invalid_argument("triple quad: profiles need 1 to 1000000 points");
  }
  const FieldTable fields = quad_fields();
  if (fields.stride() != QUAD_STRIDE) throw std::logic_error("triple quad: the fields add up to the wrong stride");

  const std::filesystem::path acqdata = make_acqdata(folder);
  CountedFile profile_file(acqdata / "MSProfile.bin");
  CountedFile peak_file(acqdata / "MSPeak.bin");
  profile_file.append(tagged_header(PROFILE_FILE_TAG, BLOCK_FILE_HEADER_LEN));
  peak_file.append(tagged_header(PEAK_FILE_TAG, BLOCK_FILE_HEADER_LEN));
  Bytes scan_index = scan_index_header(QUAD_LAYOUT_WORD, 1, QUAD_DATA_OFFSET);
  Random random(options.seed);

  std::vector<std::pair<double, double>> segment_times(options.time_segments, {0.0, 0.0});
  std::vector<std::size_t> segment_scans(options.time_segments, 0);
  const double polarity = options.negative ? 1.0 : 0.0;

  for (std::size_t index = 0; index < record_count; ++index) {
    FamilyRecord written;
    written.record = index;
    written.scan_id = static_cast<std::uint32_t>(index + 1);
    written.retention_time_min = 0.01 + 0.004 * static_cast<double>(index);
    written.time_segment = static_cast<std::int64_t>(1 + index * options.time_segments / record_count);
    written.negative = options.negative;
    Bytes record = fields.record();
    Bytes block;

    const auto point_list = [&](const std::vector<double>& x) {
      for (const double value : x) append_le(block, static_cast<float>(value));
      for (std::size_t i = 0; i < x.size(); ++i) {
        const auto count = static_cast<std::int32_t>(random.next() % 50000);
        append_le(block, count);
        written.mz.push_back(static_cast<double>(static_cast<float>(x[i])));
        written.intensity.push_back(count);
        written.tic += count;
      }
      written.encoding = "point-list";
      written.block_file = "MSPeak.bin";
      written.offset = peak_file.append(block);
    };

    if (index < options.mrm_records) {
      // Q1 = 200 + 50 p; its products 60 + 25 j + p (stored as f32).
      const std::size_t precursor = index % options.mrm_precursors;
      written.scan_type = SCAN_TYPE_MRM;
      written.ms_level = 2;
      written.precursor_mz = 200.0 + 50.0 * static_cast<double>(precursor);
      written.collision_energy = 15.0 + static_cast<double>(precursor);
      std::vector<double> products;
      for (std::size_t j = 0; j < options.transitions_per_record; ++j) {
        products.push_back(60.0 + 25.0 * static_cast<double>(j) + static_cast<double>(precursor) + 0.25);
      }
      written.format_id = 3;
      point_list(products);
    } else if (index < options.mrm_records + options.sim_records) {
      written.scan_type = SCAN_TYPE_SIM;
      std::vector<double> ions;
      for (std::size_t j = 0; j < options.sim_ions; ++j) ions.push_back(150.5 + 100.0 * static_cast<double>(j));
      written.format_id = 1;
      point_list(ions);
    } else {
      const bool counts = index < options.mrm_records + options.sim_records + options.count_profiles;
      written.scan_type = counts ? SCAN_TYPE_FULL : SCAN_TYPE_PRODUCT_ION;
      written.ms_level = counts ? 1 : 2;
      if (!counts) {
        written.precursor_mz = 309.0;
        written.collision_energy = 20.0;
      }
      written.format_id = 2;
      written.block_file = "MSProfile.bin";
      const double first_x = 100.0 + static_cast<double>(index % 3);
      const std::vector<std::uint32_t> values = realistic_profile_intensities(options.points, random.next());
      if (counts) {
        // f32 first x, the truncated step, i32 counts; m/z by whole sampling periods.
        written.encoding = "f32-axis-counts";
        append_le(block, static_cast<float>(first_x));
        append_le(block, truncated_step(QUAD_SAMPLING_PERIOD));
        for (std::size_t i = 0; i < values.size(); ++i) {
          const auto count = static_cast<std::int32_t>(values[i] % 2'000'000'000U);
          append_le(block, count);
          written.intensity.push_back(count);
          written.mz.push_back(first_x + static_cast<double>(i) * static_cast<double>(QUAD_SAMPLING_PERIOD));
          written.tic += count;
        }
      } else {
        // f64 first x and step, f32 abundances whose f32 running sum is the TIC.
        written.encoding = "f64-axis-abundances";
        const double step = 0.125;
        append_le(block, first_x);
        append_le(block, step);
        float running = 0.0F;
        for (std::size_t i = 0; i < values.size(); ++i) {
          const float abundance = static_cast<float>(values[i]) * 0.75F;
          append_le(block, abundance);
          written.intensity.push_back(abundance);
          written.mz.push_back(first_x + static_cast<double>(i) * step);
          running += abundance;
        }
        written.tic = running;
      }
      written.offset = profile_file.append(block);
    }
    written.byte_count = checked_u32(block.size(), "block length");
    written.point_count = checked_u32(written.intensity.size(), "point count");

    std::size_t apex = 0;
    for (std::size_t i = 0; i < written.intensity.size(); ++i) {
      if (written.intensity[i] > written.intensity[apex]) apex = i;
    }
    const double max_y = written.intensity.empty() ? 0.0 : written.intensity[apex];
    double min_x = written.mz.empty() ? 0.0 : written.mz.front();
    double max_x = written.mz.empty() ? 0.0 : written.mz.back();
    if (written.encoding == "f32-axis-counts") {
      // The instruments' MaxX: the stored step added up in f32.
      float last = static_cast<float>(min_x);
      for (std::size_t i = 1; i < written.mz.size(); ++i) last += truncated_step(QUAD_SAMPLING_PERIOD);
      max_x = last;
    } else if (written.encoding == "point-list") {
      min_x = *std::ranges::min_element(written.mz);
      max_x = *std::ranges::max_element(written.mz);
    }

    fields.put(record, "ScanID", written.scan_id);
    fields.put(record, "ScanMethodID", 1);
    fields.put(record, "TimeSegmentID", static_cast<double>(written.time_segment));
    fields.put(record, "ScanTime", written.retention_time_min);
    fields.put(record, "MSLevel", written.ms_level);
    fields.put(record, "ScanType", static_cast<double>(written.scan_type));
    fields.put(record, "TIC", written.tic);
    fields.put(record, "BasePeakMZ", written.mz.empty() ? 0.0 : written.mz[apex]);
    fields.put(record, "BasePeakValue", max_y);
    fields.put(record, "CycleNumber", static_cast<double>(index + 1));
    fields.put(record, "IonMode", 64);
    fields.put(record, "IonPolarity", polarity);
    fields.put(record, "Fragmentor", 135.0);
    fields.put(record, "CollisionEnergy", written.collision_energy.value_or(0.0));
    fields.put(record, "MzOfInterest", written.precursor_mz.value_or(0.0));
    fields.put(record, "SamplingPeriod", static_cast<double>(QUAD_SAMPLING_PERIOD));
    fields.put(record, "MeasuredMassRangeMin", min_x);
    fields.put(record, "MeasuredMassRangeMax", max_x);
    fields.put(record, "SpectrumFormatID", written.format_id);
    fields.put(record, "SpectrumOffset", static_cast<double>(written.offset));
    fields.put(record, "ByteCount", written.byte_count);
    fields.put(record, "PointCount", written.point_count);
    fields.put(record, "MinY", 0.0);
    fields.put(record, "MaxY", max_y);
    fields.put(record, "MinX", min_x);
    fields.put(record, "MaxX", max_x);
    scan_index.insert(scan_index.end(), record.begin(), record.end());

    auto& [start, end] = segment_times[static_cast<std::size_t>(written.time_segment - 1)];
    if (segment_scans[static_cast<std::size_t>(written.time_segment - 1)]++ == 0) start = written.retention_time_min;
    end = written.retention_time_min;
    if (on_record) on_record(written);
  }

  profile_file.close();
  peak_file.close();
  write_whole_file(acqdata / "MSScan.bin", {reinterpret_cast<const char*>(scan_index.data()), scan_index.size()});
  write_whole_file(acqdata / "MSScan.xsd", triple_quad_scan_schema());
  write_whole_file(acqdata / "MSTS.xml", time_segments_document(segment_times, segment_scans));
  write_common_documents(acqdata, "QQQ", "G6410A");
  return {QUAD_LAYOUT_WORD, QUAD_STRIDE, QUAD_DATA_OFFSET, record_count, 0};
}

// ---- ion mobility -------------------------------------------------------------------------

namespace {

constexpr FieldSpec IMS_SCAN_FIELDS[] = {
    {"ScanID", FieldType::int32, false},           {"FrameID", FieldType::int16, false},
    {"BaseAbund", FieldType::int32, false},        {"BaseMsBin", FieldType::int32, false},
    {"DetectorGain", FieldType::int16, false},     {"DriftBin", FieldType::int16, false},
    {"FirstNonzeroMsBin", FieldType::int32, false}, {"LastNonzeroMsBin", FieldType::int32, false},
    {"TIC", FieldType::float64, false},            {"TfsBasePeakAbund", FieldType::float64, false},
    {"TfsBasePeakMz", FieldType::float64, false},  {"MsProfSpecFmtId", FieldType::int16, false},
    {"MsProfByteCount", FieldType::int32, false},  {"MsProfOffset", FieldType::int64, false},
    {"MsProfPointCount", FieldType::int32, false}, {"MsProfFullByteCount", FieldType::int32, false},
    {"MsPeakSpecFmtId", FieldType::int16, false},  {"MsPeakByteCount", FieldType::int32, false},
    {"MsPeakOffset", FieldType::int64, false},     {"MsPeakPointCount", FieldType::int32, false},
    {"MsPeakMaxX", FieldType::float64, false},     {"MsPeakMinX", FieldType::float64, false},
};
constexpr FieldSpec FRAME_FIELDS[] = {
    {"FrameId", FieldType::int16, false},           {"FrameMethodId", FieldType::int16, false},
    {"TimeSegmentId", FieldType::int16, false},     {"ActualsOffset", FieldType::int64, true},
    {"CycleNumber", FieldType::int16, true},        {"FirstNonzeroDriftBin", FieldType::int16, false},
    {"FragClass", FieldType::int16, true},          {"FragEnergy", FieldType::float32, true},
    {"FrameBaseAbund", FieldType::float64, false},  {"FrameBaseDriftBin", FieldType::int16, false},
    {"FrameBaseMsBin", FieldType::int32, false},    {"FrameScanTime", FieldType::float64, false},
    {"FrameSpecAbundLimit", FieldType::float64, true}, {"FrameTic", FieldType::float64, false},
    {"ImsField", FieldType::float64, true},         {"ImsPressure", FieldType::float64, false},
    {"ImsTemperature", FieldType::float64, false},  {"ImsTrapTime", FieldType::float64, true},
    {"IsolationStartMz", FieldType::float64, true}, {"IsolationMz", FieldType::float64, true},
    {"IsolationEndMz", FieldType::float64, true},   {"LastNonzeroDriftBin", FieldType::int16, false},
    {"MassCalOffset", FieldType::int64, true},      {"NumTransients", FieldType::int16, true},
};
constexpr std::uint32_t IMS_LAYOUT_WORD = 6;
constexpr std::uint32_t IMS_DESCRIPTOR_WORD = 2;  // what the instruments leave at 0x4C; no descriptor
constexpr std::uint32_t IMS_DATA_OFFSET = 296;
constexpr std::uint32_t IMS_STRIDE = 106;
constexpr std::uint32_t FRAME_FILE_TAG = 0x116;
constexpr std::uint32_t FRAME_DATA_OFFSET = 76;
constexpr std::uint32_t FRAME_STRIDE = 130;
constexpr double DRIFT_BIN_PERIOD_MS = 0.169491525423729;
constexpr std::int64_t FIRST_DRIFT_BIN = 120;
constexpr double MS_BIN_WIDTH_NS = 0.5;
constexpr std::int64_t FIRST_MS_BIN = 40000;  // flight time 20000 ns, about m/z 118
constexpr int IMS_CALIBRATION_ID = 1;
constexpr double IMS_CAL_A = 0.000573051762282418;
constexpr double IMS_CAL_T0 = 1014.9717201755;

}  // namespace

std::string ion_mobility_scan_schema() {
  return record_schema("MSScanBin", "ScanRecord", "ScanRecordType", schema_elements(IMS_SCAN_FIELDS, "\t\t\t"), "");
}

std::string frame_schema() {
  return record_schema("MsFrameBin", "FrameRecord", "FrameRecordType", schema_elements(FRAME_FIELDS, "\t\t\t"), "");
}

namespace {

std::string frame_methods_document() {
  return std::string(BOM) +
         crlf({"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<FrameMethods>", "    <FileVersion>1.1</FileVersion>",
               "    <FrameMethod FrameMethId=\"1\">",
               "        <DefMassCalId>" + std::to_string(IMS_CALIBRATION_ID) + "</DefMassCalId>",
               "        <!--milliseconds-->", "        <FrameDtPeriod>" + decimal(DRIFT_BIN_PERIOD_MS) + "</FrameDtPeriod>",
               "        <!--nanoseconds-->", "        <FrameMsXPeriod>0.5</FrameMsXPeriod>",
               "        <FrameSpecFmtId>1</FrameSpecFmtId>", "    </FrameMethod>", "</FrameMethods>"});
}

// The traditional step only; the polynomial step's values are all 0, as the instruments write them.
std::string ion_mobility_calibration_document() {
  std::string text = std::string(BOM) + crlf({
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<DefaultMassCalibration xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:noNamespaceSchemaLocation=\"DefaultMassCal.xsd\">",
      "  <Version>1</Version>", "  <DefaultCalibrations>",
      "    <DefaultCalibration DefaultCalibrationID=\"" + std::to_string(IMS_CALIBRATION_ID) + "\">",
      "      <Step Number=\"1\">", "        <CalibrationTechnique>ExternalReference</CalibrationTechnique>",
      "        <CalibrationFormula>Traditional</CalibrationFormula>",
      "        <NumberOfCoefficients>2</NumberOfCoefficients>", "        <ValueUseFlags>0</ValueUseFlags>",
      "        <Values>", "          <Value Number=\"1\">" + decimal(IMS_CAL_A) + "</Value>",
      "          <Value Number=\"2\">" + decimal(IMS_CAL_T0) + "</Value>", "        </Values>", "      </Step>",
      "      <Step Number=\"2\">", "        <CalibrationTechnique>ExternalReference</CalibrationTechnique>",
      "        <CalibrationFormula>Polynomial</CalibrationFormula>",
      "        <NumberOfCoefficients>8</NumberOfCoefficients>", "        <ValueUseFlags>2730</ValueUseFlags>",
      "        <Values>", "          <Value Number=\"1\">20000</Value>", "          <Value Number=\"2\">70000</Value>",
  });
  for (int k = 3; k <= 8; ++k) text += "          <Value Number=\"" + std::to_string(k) + "\">0</Value>\r\n";
  text += crlf({"        </Values>", "      </Step>", "    </DefaultCalibration>", "  </DefaultCalibrations>",
                "</DefaultMassCalibration>"});
  return text;
}

double ims_mz(double flight_time) {
  const double scaled = IMS_CAL_A * (flight_time - IMS_CAL_T0);
  return scaled * scaled;
}

// A drift bin's counts: a few narrow peaks over empty bins, none in the first and last bins.
std::vector<std::uint32_t> drift_bin_counts(std::size_t points, Random& random) {
  std::vector<std::uint32_t> counts(points, 0);
  const std::size_t peaks = 1 + random.next() % 4;
  for (std::size_t p = 0; p < peaks && points > 8; ++p) {
    const std::size_t centre = 3 + random.next() % (points - 6);
    const auto height = static_cast<std::uint32_t>(20 + random.next() % 400);
    counts[centre - 1] += height / 3;
    counts[centre] += height;
    counts[centre + 1] += height / 2;
  }
  return counts;
}

}  // namespace

FamilyFacts write_ion_mobility_acquisition(const std::filesystem::path& folder, const IonMobilityOptions& options,
                                           const FamilyRecordSink& on_record) {
  if (options.frames == 0 || options.frames > 1000) throw std::invalid_argument("ion mobility: 1 to 1000 frames");
  if (options.drift_bins == 0 || options.drift_bins > 1000) {
    throw std::invalid_argument("ion mobility: 1 to 1000 drift bins per frame");
  }
  if (options.points < 16 || options.points > 0xFFFFFF) {
    throw std::invalid_argument("ion mobility: 16 to 16777215 MS bins per profile");
  }
  const FieldTable fields(IMS_SCAN_FIELDS, {});
  const FieldTable frame_fields(FRAME_FIELDS, {});
  if (fields.stride() != IMS_STRIDE || frame_fields.stride() != FRAME_STRIDE) {
    throw std::logic_error("ion mobility: the fields add up to the wrong stride");
  }

  const std::filesystem::path acqdata = make_acqdata(folder);
  CountedFile profile_file(acqdata / "MSProfile.bin");
  profile_file.append(tagged_header(PROFILE_FILE_TAG, BLOCK_FILE_HEADER_LEN));
  Bytes scan_index = scan_index_header(IMS_LAYOUT_WORD, IMS_DESCRIPTOR_WORD, IMS_DATA_OFFSET);
  Bytes frame_index(FRAME_DATA_OFFSET, 0);
  put_le<std::uint32_t>(frame_index, 0, FRAME_FILE_TAG);
  put_le<std::uint32_t>(frame_index, 0x44, 1);
  put_le<std::uint32_t>(frame_index, 0x48, FRAME_DATA_OFFSET);
  Random random(options.seed);
  const double first_flight_time = MS_BIN_WIDTH_NS * static_cast<double>(FIRST_MS_BIN);
  std::size_t record_index = 0;

  for (std::size_t k = 0; k < options.frames; ++k) {
    const auto frame_id = static_cast<std::int64_t>(k + 1);
    const double frame_time_min = 0.05 + 0.02 * static_cast<double>(k);
    const std::int64_t frag_class = options.ms2_frames ? static_cast<std::int64_t>(1 + k % 2) : 0;
    const bool ms2 = frag_class == 2;
    const double isolation_mz = 322.048 + static_cast<double>(k);

    // The drift bins first, so that the frame sum can be written before them.
    std::vector<std::vector<std::uint32_t>> bins;
    std::vector<std::uint64_t> sum(options.points, 0);
    for (std::size_t b = 0; b < options.drift_bins; ++b) {
      bins.push_back(drift_bin_counts(options.points, random));
      for (std::size_t i = 0; i < options.points; ++i) sum[i] += bins.back()[i];
    }
    std::vector<std::uint32_t> sum_counts;
    for (const std::uint64_t value : sum) sum_counts.push_back(checked_u32(value, "frame sum count"));

    // One record: the frame sum (drift bin 0) or a drift bin.
    const auto write_record = [&](std::int64_t drift_bin, const std::vector<std::uint32_t>& counts, bool empty) {
      FamilyRecord written;
      written.record = record_index++;
      written.scan_id = static_cast<std::uint32_t>(written.record + 1);
      written.frame_id = frame_id;
      written.drift_bin = drift_bin;
      if (drift_bin > 0) written.drift_time_ms = static_cast<double>(drift_bin - 1) * DRIFT_BIN_PERIOD_MS;
      written.retention_time_min = frame_time_min;
      written.ms_level = ms2 ? 2 : 1;
      if (ms2) {
        written.precursor_mz = isolation_mz;
        written.collision_energy = 20.0;
      }
      Bytes record = fields.record();
      std::size_t first_nonzero = 0, last_nonzero = 0, apex = 0;
      bool any = false;
      for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] == 0) continue;
        if (!any) first_nonzero = i;
        any = true;
        last_nonzero = i;
        if (counts[i] > counts[apex]) apex = i;
      }
      if (empty) {
        fields.put(record, "MsProfOffset", -1);
        fields.put(record, "MsProfByteCount", 0);
        fields.put(record, "MsProfPointCount", 0);
      } else {
        const Bytes block = encode_run_length_profile(first_flight_time, MS_BIN_WIDTH_NS, counts, drift_bin != 0);
        written.encoding = "run-length";
        written.block_file = "MSProfile.bin";
        written.format_id = 1;
        written.offset = profile_file.append(block);
        written.byte_count = checked_u32(block.size(), "profile block length");
        written.point_count = checked_u32(counts.size(), "profile points");
        for (std::size_t i = 0; i < counts.size(); ++i) {
          written.mz.push_back(ims_mz(first_flight_time + static_cast<double>(i) * MS_BIN_WIDTH_NS));
          written.intensity.push_back(counts[i]);
          written.tic += counts[i];
        }
        fields.put(record, "MsProfSpecFmtId", 1);
        fields.put(record, "MsProfOffset", static_cast<double>(written.offset));
        fields.put(record, "MsProfByteCount", written.byte_count);
        fields.put(record, "MsProfPointCount", written.point_count);
      }
      fields.put(record, "ScanID", written.scan_id);
      fields.put(record, "FrameID", static_cast<double>(frame_id));
      fields.put(record, "DriftBin", static_cast<double>(drift_bin));
      fields.put(record, "DetectorGain", 1);
      fields.put(record, "BaseAbund", any ? counts[apex] : 0);
      fields.put(record, "BaseMsBin", static_cast<double>(FIRST_MS_BIN + static_cast<std::int64_t>(apex)));
      fields.put(record, "FirstNonzeroMsBin", static_cast<double>(FIRST_MS_BIN + static_cast<std::int64_t>(first_nonzero)));
      fields.put(record, "LastNonzeroMsBin", static_cast<double>(FIRST_MS_BIN + static_cast<std::int64_t>(last_nonzero)));
      fields.put(record, "TIC", written.tic);
      fields.put(record, "MsPeakOffset", -1);
      scan_index.insert(scan_index.end(), record.begin(), record.end());
      if (on_record) on_record(written);
      return written.tic;
    };

    const bool empty_sum = options.empty_frame_sum && k + 1 == options.frames;
    const double frame_tic = write_record(0, sum_counts, empty_sum);
    for (std::size_t b = 0; b < options.drift_bins; ++b) {
      write_record(FIRST_DRIFT_BIN + static_cast<std::int64_t>(b), bins[b], false);
    }

    Bytes frame = frame_fields.record();
    frame_fields.put(frame, "FrameId", static_cast<double>(frame_id));
    frame_fields.put(frame, "FrameMethodId", 1);
    frame_fields.put(frame, "TimeSegmentId", 1);
    frame_fields.put(frame, "FirstNonzeroDriftBin", static_cast<double>(FIRST_DRIFT_BIN));
    frame_fields.put(frame, "LastNonzeroDriftBin",
                     static_cast<double>(FIRST_DRIFT_BIN + static_cast<std::int64_t>(options.drift_bins) - 1));
    frame_fields.put(frame, "FragClass", static_cast<double>(frag_class));
    frame_fields.put(frame, "FrameScanTime", frame_time_min);
    frame_fields.put(frame, "FrameTic", frame_tic);
    frame_fields.put(frame, "ImsPressure", 3.95);
    frame_fields.put(frame, "ImsTemperature", 25.0);
    if (ms2) {
      frame_fields.put(frame, "FragEnergy", 20.0);
      frame_fields.put(frame, "IsolationMz", isolation_mz);
      frame_fields.put(frame, "IsolationStartMz", isolation_mz - 0.65);
      frame_fields.put(frame, "IsolationEndMz", isolation_mz + 0.65);
    }
    frame_index.insert(frame_index.end(), frame.begin(), frame.end());
  }

  profile_file.close();
  const auto as_text = [](const Bytes& bytes) { return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()); };
  write_whole_file(acqdata / "MSScan.bin", as_text(scan_index));
  write_whole_file(acqdata / "MSScan.xsd", ion_mobility_scan_schema());
  write_whole_file(acqdata / "IMSFrame.bin", as_text(frame_index));
  write_whole_file(acqdata / "IMSFrame.xsd", frame_schema());
  write_whole_file(acqdata / "IMSFrameMeth.xml", frame_methods_document());
  write_whole_file(acqdata / "DefaultMassCal.xml", ion_mobility_calibration_document());
  write_common_documents(acqdata, "IM-QTOF", "G6560A");
  return {IMS_LAYOUT_WORD, IMS_STRIDE, IMS_DATA_OFFSET, record_index, options.frames};
}

// ---- ICP-MS without a schema --------------------------------------------------------------

namespace {

constexpr FieldSpec ICP_SCAN_FIELDS[] = {
    {"ScanID", FieldType::int32, false},        {"ScanMethodID", FieldType::int32, false},
    {"TimeSegmentID", FieldType::int32, false}, {"ScanTime", FieldType::float64, false},
    {"MSLevel", FieldType::int32, false},       {"ScanType", FieldType::int32, false},
    {"TIC", FieldType::float64, false},         {"BasePeakMZ", FieldType::float64, false},
    {"BasePeakValue", FieldType::float64, false}, {"Status", FieldType::int32, false},
    {"IonMode", FieldType::int32, false},       {"IonPolarity", FieldType::int32, false},
    {"SamplingPeriod", FieldType::float64, false},
};
constexpr FieldSpec ICP_DESCRIPTOR_FIELDS[] = {
    {"SpectrumFormatID", FieldType::int32, false}, {"SpectrumOffset", FieldType::int64, false},
    {"ByteCount", FieldType::int32, false},        {"PointCount", FieldType::int32, false},
    {"MinX", FieldType::float64, false},           {"MaxX", FieldType::float64, false},
    {"MinY", FieldType::float64, false},           {"MaxY", FieldType::float64, false},
};
constexpr FieldSpec ICP_TRAILING_FIELDS[] = {
    {"XSpecificOffset", FieldType::int64, false},
    {"XSpecificByteCount", FieldType::int32, false},
};
constexpr std::uint32_t ICP_LAYOUT_WORD = 2;
constexpr std::uint32_t ICP_DATA_OFFSET = 208;
constexpr std::uint32_t ICP_STRIDE = 136;
constexpr std::uint32_t DESIGNED_STRIDES[] = {284, 220, 216, 196, 186};

struct Channel {
  double mz;         // the stored value on single-quadrupole instruments
  double precursor;  // MS/MS: the first quadrupole's m/z
  double product;    // MS/MS: the product m/z
};
constexpr Channel ICP_CHANNELS[] = {
    {31.0, 31.0, 47.0},   {153.0, 75.0, 91.0},  {182.0, 78.0, 94.0},  {7.0, 7.0, 7.0},
    {59.0, 59.0, 75.0},   {89.0, 89.0, 105.0},  {115.0, 115.0, 115.0}, {205.0, 205.0, 205.0},
};

std::string channel_transitions_document(std::size_t channels) {
  std::string text = crlf({"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<MSTS_XAddition>",
                           "  <TimeSegment TimeSegmentID=\"1\">"});
  for (std::size_t c = 0; c < channels; ++c) {
    text += "    <MSTS_XAddition_IndexedMasses><Index>" + std::to_string(c + 1) + "</Index><PrecursorIonMZ>" +
            decimal(ICP_CHANNELS[c].precursor) + "</PrecursorIonMZ><ProductIonMZ>" + decimal(ICP_CHANNELS[c].product) +
            "</ProductIonMZ></MSTS_XAddition_IndexedMasses>\r\n";
  }
  text += crlf({"  </TimeSegment>", "</MSTS_XAddition>"});
  return text;
}

}  // namespace

FamilyFacts write_icpms_acquisition(const std::filesystem::path& folder, const IcpmsOptions& options,
                                    const FamilyRecordSink& on_record) {
  if (options.scans == 0) throw std::invalid_argument("ICP-MS: no scans to write");
  if (options.channels == 0 || options.channels > std::size(ICP_CHANNELS)) {
    throw std::invalid_argument("ICP-MS: 1 to " + std::to_string(std::size(ICP_CHANNELS)) + " channels");
  }
  const std::uint64_t area = std::uint64_t{ICP_STRIDE} * options.scans;
  for (const std::uint32_t stride : DESIGNED_STRIDES) {
    if (area % stride == 0) {
      throw std::invalid_argument("ICP-MS: " + std::to_string(options.scans) + " records of 136 bytes are also " +
                                  std::to_string(area / stride) + " records of " + std::to_string(stride) +
                                  " bytes; choose another count");
    }
  }
  const FieldTable fields(ICP_SCAN_FIELDS, ICP_DESCRIPTOR_FIELDS, ICP_TRAILING_FIELDS);
  if (fields.stride() != ICP_STRIDE) throw std::logic_error("ICP-MS: the fields add up to the wrong stride");

  const std::filesystem::path acqdata = make_acqdata(folder);
  CountedFile profile_file(acqdata / "MSProfile.bin");
  profile_file.append(tagged_header(PROFILE_FILE_TAG, BLOCK_FILE_HEADER_LEN));
  Bytes scan_index = scan_index_header(ICP_LAYOUT_WORD, 1, ICP_DATA_OFFSET);
  Random random(options.seed);

  for (std::size_t index = 0; index < options.scans; ++index) {
    FamilyRecord written;
    written.record = index;
    written.scan_id = static_cast<std::uint32_t>(index + 1);
    written.scan_type = 1;
    written.retention_time_min = 0.0085 * static_cast<double>(index + 1);
    written.encoding = "uncompressed";
    written.block_file = "MSProfile.bin";
    written.format_id = 1;
    Bytes block;
    std::vector<double> counts;
    for (std::size_t c = 0; c < options.channels; ++c) {
      const double stored = options.transitions ? static_cast<double>(c + 1) : ICP_CHANNELS[c].mz;
      append_le(block, static_cast<float>(stored));
      counts.push_back(static_cast<double>(random.next() % 100000) + 0.5 * static_cast<double>(random.next() % 2));
      written.mz.push_back(options.transitions ? ICP_CHANNELS[c].product : stored);
      if (options.transitions) written.precursor_per_point.push_back(ICP_CHANNELS[c].precursor);
      written.tic += counts.back();
    }
    for (int copy = 0; copy < 2; ++copy) {
      for (const double value : counts) append_le(block, value);
    }
    for (const double value : counts) append_le(block, value * 0.01);  // the analog reading
    written.intensity = counts;
    written.offset = profile_file.append(block);
    written.byte_count = checked_u32(block.size(), "channel block length");
    written.point_count = checked_u32(counts.size(), "channels");
    const auto apex = static_cast<std::size_t>(std::ranges::max_element(counts) - counts.begin());

    Bytes record = fields.record();
    fields.put(record, "ScanID", written.scan_id);
    fields.put(record, "ScanMethodID", 1);
    fields.put(record, "TimeSegmentID", 1);
    fields.put(record, "ScanTime", written.retention_time_min);
    fields.put(record, "MSLevel", 1);
    fields.put(record, "ScanType", 1);
    fields.put(record, "TIC", written.tic);
    fields.put(record, "BasePeakMZ", written.mz[apex]);
    fields.put(record, "BasePeakValue", counts[apex]);
    fields.put(record, "Status", 2);
    fields.put(record, "IonMode", 1024);
    fields.put(record, "SamplingPeriod", 0.05);
    fields.put(record, "SpectrumFormatID", 1);
    fields.put(record, "SpectrumOffset", static_cast<double>(written.offset));
    fields.put(record, "ByteCount", written.byte_count);
    fields.put(record, "PointCount", written.point_count);
    fields.put(record, "MaxY", counts[apex]);
    scan_index.insert(scan_index.end(), record.begin(), record.end());
    if (on_record) on_record(written);
  }

  profile_file.close();
  write_whole_file(acqdata / "MSScan.bin", {reinterpret_cast<const char*>(scan_index.data()), scan_index.size()});
  write_whole_file(acqdata / "MSTS.xml",
                   time_segments_document({{0.0, 0.0085 * static_cast<double>(options.scans)}}, {options.scans}));
  if (options.transitions) {
    write_whole_file(folder / "MSTS_XAddition.xml", channel_transitions_document(options.channels));
  } else {
    std::error_code ignored;
    std::filesystem::remove(folder / "MSTS_XAddition.xml", ignored);
  }
  write_common_documents(acqdata, "ICPMS", options.transitions ? "G3665A" : "G3281A");
  return {ICP_LAYOUT_WORD, ICP_STRIDE, ICP_DATA_OFFSET, options.scans, 0};
}

}  // namespace vornak::synthetic
