// Lays out acquisitions the way time-of-flight instruments do: schema-described records,
// block files with headers, LZF or run-length profiles, flight-time centroids and mass calibration.
#include "tests/support/real_layout.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "tests/support/layout_output.hpp"
#include "tests/support/random.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak::synthetic {
namespace {

using namespace output;

// ---- record fields, as the schema lists them ----------------------------------------------

constexpr FieldSpec SCAN_FIELDS_256[] = {
    {"ScanID", FieldType::int32, false},          {"ScanMethodID", FieldType::int32, false},
    {"TimeSegmentID", FieldType::int32, false},   {"ScanTime", FieldType::float64, false},
    {"MSLevel", FieldType::int32, false},         {"ScanType", FieldType::int32, false},
    {"TIC", FieldType::float64, false},           {"BasePeakMZ", FieldType::float64, false},
    {"BasePeakValue", FieldType::float64, false}, {"CalibrationID", FieldType::int32, true},
    {"CycleNumber", FieldType::int32, true},      {"IonMode", FieldType::int32, true},
    {"IonPolarity", FieldType::int32, true},      {"Fragmentor", FieldType::float64, true},
    {"CollisionEnergy", FieldType::float64, true}, {"AbundanceLimit", FieldType::float64, true},
    {"SamplingPeriod", FieldType::float64, true}, {"Threshold", FieldType::float64, true},
    {"MassCalOffset", FieldType::int64, true},    {"ActualsOffset", FieldType::int64, true},
    {"NumOfActualsPerScan", FieldType::int32, true},
};

constexpr FieldSpec DESCRIPTOR_FIELDS_256[] = {
    {"SpectrumFormatID", FieldType::int32, false},     {"SpectrumOffset", FieldType::int64, false},
    {"ByteCount", FieldType::int32, false},            {"PointCount", FieldType::int32, false},
    {"UncompressedByteCount", FieldType::int32, true}, {"MinX", FieldType::float64, true},
    {"MaxX", FieldType::float64, true},                {"MinY", FieldType::float64, true},
    {"MaxY", FieldType::float64, true},                {"MeasuredNoise", FieldType::float64, true},
};

constexpr FieldSpec SCAN_FIELDS_274[] = {
    {"ScanID", FieldType::int32, false},           {"ScanMethodID", FieldType::int32, false},
    {"TimeSegmentID", FieldType::int32, false},    {"ScanTime", FieldType::float64, false},
    {"MSLevel", FieldType::int16, false},          {"ScanType", FieldType::int32, false},
    {"TIC", FieldType::float64, false},            {"BasePeakMZ", FieldType::float64, false},
    {"BasePeakValue", FieldType::float64, false},  {"CalibrationID", FieldType::int16, true},
    {"CycleNumber", FieldType::int32, true},       {"IonMode", FieldType::int32, true},
    {"IonPolarity", FieldType::int16, true},       {"Fragmentor", FieldType::float32, true},
    {"CollisionEnergy", FieldType::float32, true}, {"MzOfInterest", FieldType::float64, true},
    {"MzIsolationWidth", FieldType::float32, true}, {"AbundanceLimit", FieldType::float64, true},
    {"SamplingPeriod", FieldType::float64, true},  {"Threshold", FieldType::float64, true},
    {"ChargeState", FieldType::int16, true},       {"ChromScaleFactor", FieldType::float32, true},
    {"MassCalOffset", FieldType::int64, true},     {"ActualsOffset", FieldType::int64, true},
    {"NumOfActualsPerScan", FieldType::int16, true},
};

// The record's DataDependentScanParamType element, between the scan fields and the descriptors.
constexpr FieldSpec DATA_DEPENDENT_FIELDS_274[] = {
    {"DDScanID", FieldType::int32, false},
    {"DDScanID2", FieldType::int32, false},
    {"DDScanID3", FieldType::int32, false},
};

constexpr FieldSpec DESCRIPTOR_FIELDS_274[] = {
    {"SpectrumFormatID", FieldType::int16, false},       {"SpectrumOffset", FieldType::int64, false},
    {"ByteCount", FieldType::int32, false},              {"PointCount", FieldType::int32, false},
    {"UncompressedByteCount", FieldType::int32, true},   {"MinX", FieldType::float64, false},
    {"MaxX", FieldType::float64, false},                 {"MinY", FieldType::float64, false},
    {"MaxY", FieldType::float64, false},                 {"MeasuredNoise", FieldType::float64, true},
    {"OneDataRangeDeltaYOffset", FieldType::int32, true},
};

constexpr std::uint32_t DESCRIPTORS_PER_RECORD = 2;  // profile, then centroids
constexpr std::uint32_t DATA_OFFSET = 228;
constexpr std::size_t BLOCK_FILE_HEADER_LEN = 68;
constexpr std::size_t MASS_CAL_HEADER_LEN = 0x48;
constexpr std::size_t MASS_CAL_ROW_LEN = 84;  // i32 10, then 10 f64
constexpr std::uint32_t PROFILE_FORMAT = 1;
constexpr std::uint32_t PEAK_FORMAT_FLIGHT_TIMES = 2;
constexpr std::uint32_t RUN_LENGTH_MARK = 0x90000000U;
constexpr std::uint32_t RUN_LENGTH_MAX_POINTS = 0x00FFFFFFU;

// Profile bins start at about m/z 100 and are 0.5 ns apart, as on the instruments.
constexpr double FIRST_FLIGHT_TIME = 18474.0;
constexpr double FLIGHT_TIME_STEP = 0.5;
constexpr double SCAN_SECONDS = 0.25;

constexpr std::uint16_t CALIBRATION_ID = 2;
constexpr std::uint32_t MS1_SCAN_TYPE = 1;
constexpr std::uint32_t MS2_SCAN_TYPE = 256;  // what the MS/MS records of real files carry
constexpr double ION_MODE = 64.0;

struct FamilySpec {
  std::span<const FieldSpec> scan_fields;
  std::span<const FieldSpec> data_dependent;  // empty when the record has no such element
  std::span<const FieldSpec> descriptor;
};

FamilySpec family_spec(RecordFamily family) {
  switch (family) {
    case RecordFamily::bytes_256: return {SCAN_FIELDS_256, {}, DESCRIPTOR_FIELDS_256};
    case RecordFamily::bytes_274: return {SCAN_FIELDS_274, DATA_DEPENDENT_FIELDS_274, DESCRIPTOR_FIELDS_274};
  }
  throw std::invalid_argument("real layout: record family " + std::to_string(static_cast<std::uint32_t>(family)) +
                              " is neither 256 nor 274");
}

struct FieldSlot {
  std::string_view name;
  FieldType type;
  std::size_t at;
};

// Field offsets of one record: the scan fields (with the data-dependent ones) and one descriptor.
class RecordLayout {
 public:
  explicit RecordLayout(RecordFamily family) {
    const FamilySpec family_fields = family_spec(family);
    std::size_t at = 0;
    for (const auto& fields : {family_fields.scan_fields, family_fields.data_dependent}) {
      for (const FieldSpec& field : fields) {
        scan_.push_back({field.name, field.type, at});
        at += field_size(field.type);
      }
    }
    descriptors_at_ = at;
    std::size_t descriptor_len = 0;
    for (const FieldSpec& field : family_fields.descriptor) {
      descriptor_.push_back({field.name, field.type, descriptor_len});
      descriptor_len += field_size(field.type);
    }
    descriptor_len_ = descriptor_len;
    stride_ = at + DESCRIPTORS_PER_RECORD * descriptor_len;
    if (stride_ != static_cast<std::size_t>(family)) {
      throw std::logic_error("real layout: the field set of family " +
                             std::to_string(static_cast<std::uint32_t>(family)) + " adds up to " +
                             std::to_string(stride_) + " bytes");
    }
  }

  [[nodiscard]] std::size_t stride() const { return stride_; }
  [[nodiscard]] bool has(std::string_view name) const { return find(scan_, name) != nullptr; }

  // Writes `value` into the named field, converted to the field's type. Integer fields take
  // only whole values within their range.
  void put(std::span<std::uint8_t> record, std::string_view name, double value) const {
    const FieldSlot* slot = find(scan_, name);
    if (slot == nullptr) throw std::logic_error("real layout: no record field " + std::string(name));
    put_slot(record, *slot, 0, value);
  }
  void put_if_present(std::span<std::uint8_t> record, std::string_view name, double value) const {
    if (has(name)) put(record, name, value);
  }
  void put_descriptor(std::span<std::uint8_t> record, std::size_t index, std::string_view name, double value) const {
    const FieldSlot* slot = find(descriptor_, name);
    if (slot == nullptr) throw std::logic_error("real layout: no descriptor field " + std::string(name));
    put_slot(record, *slot, descriptors_at_ + index * descriptor_len_, value);
  }
  void put_descriptor_if_present(std::span<std::uint8_t> record, std::size_t index, std::string_view name,
                                 double value) const {
    if (find(descriptor_, name) != nullptr) put_descriptor(record, index, name, value);
  }

 private:
  static const FieldSlot* find(const std::vector<FieldSlot>& slots, std::string_view name) {
    const auto found =
        std::find_if(slots.begin(), slots.end(), [&](const FieldSlot& slot) { return slot.name == name; });
    return found == slots.end() ? nullptr : &*found;
  }

  template <typename T>
  static void store(std::span<std::uint8_t> record, std::size_t at, T value) {
    if (at > record.size() || sizeof(T) > record.size() - at) {
      throw std::logic_error("real layout: field outside its record");
    }
    std::memcpy(record.data() + at, &value, sizeof(T));
  }

  template <typename T>
  static T whole(std::string_view name, double value) {
    if (value != std::floor(value) || value < static_cast<double>(std::numeric_limits<T>::min()) ||
        value > static_cast<double>(std::numeric_limits<T>::max())) {
      throw std::invalid_argument("real layout: " + std::string(name) + " = " + std::to_string(value) +
                                  " does not fit its integer field");
    }
    return static_cast<T>(value);
  }

  static void put_slot(std::span<std::uint8_t> record, const FieldSlot& slot, std::size_t base, double value) {
    const std::size_t at = base + slot.at;
    switch (slot.type) {
      case FieldType::int8: store(record, at, whole<std::int8_t>(slot.name, value)); break;
      case FieldType::int16: store(record, at, whole<std::int16_t>(slot.name, value)); break;
      case FieldType::int32: store(record, at, whole<std::int32_t>(slot.name, value)); break;
      case FieldType::int64: store(record, at, whole<std::int64_t>(slot.name, value)); break;
      case FieldType::float32: store(record, at, static_cast<float>(value)); break;
      case FieldType::float64: store(record, at, value); break;
    }
  }

  std::vector<FieldSlot> scan_;
  std::vector<FieldSlot> descriptor_;
  std::size_t descriptors_at_ = 0;
  std::size_t descriptor_len_ = 0;
  std::size_t stride_ = 0;
};

// ---- headers ------------------------------------------------------------------------------

// MSScan.bin's 228 bytes before the records: the magic, the descriptor count at 0x4C, the
// record offset at 88, and a table of constants that instruments write the same in every file
// (it holds no record count). The words at 0x44, 0x48 and 0x64 differ between the two families.
Bytes scan_index_header(RecordFamily family) {
  const bool newer = family == RecordFamily::bytes_274;
  Bytes header(DATA_OFFSET, 0);
  put_le<std::uint32_t>(header, 0x00, 257);  // magic
  put_le<std::uint32_t>(header, 0x44, newer ? 2 : 1);
  put_le<std::uint32_t>(header, 0x48, newer ? 6 : 4);
  put_le<std::uint32_t>(header, 0x4C, DESCRIPTORS_PER_RECORD);
  put_le<std::uint32_t>(header, 0x50, 2);
  put_le<std::uint32_t>(header, 0x58, DATA_OFFSET);
  static constexpr std::pair<std::size_t, std::uint32_t> TABLE[] = {
      {0x5C, 1}, {0x60, 2}, {0x68, 1},  {0x6C, 2}, {0x70, 1}, {0x74, 7}, {0x80, 6},  {0x84, 3}, {0x88, 2},
      {0x8C, 15}, {0x98, 3}, {0x9C, 2}, {0xA0, 2}, {0xA4, 3}, {0xAC, 8}, {0xB0, 2}, {0xB4, 1}, {0xB8, 7},
      {0xC4, 6}, {0xC8, 2}, {0xCC, 2}, {0xD0, 15}, {0xDC, 5}, {0xE0, 2},
  };
  for (const auto& [at, value] : TABLE) put_le(header, at, value);
  put_le<std::uint32_t>(header, 0x64, newer ? 0x1000 : 0x200);
  for (const std::size_t at : {0x78UZ, 0x90UZ, 0xBCUZ, 0xD4UZ}) put_le(header, at, 1.0);
  return header;
}

// ---- documents ----------------------------------------------------------------------------

std::string schema_element_256(const FieldSpec& field, std::string_view indent) {
  return std::string(indent) + "<xs:element name=\"" + std::string(field.name) + "\" type=\"" +
         std::string(schema_type(field.type)) + "\"" + (field.optional ? " minOccurs=\"0\"" : "") + "/>\r\n";
}

std::string schema_element_274(const FieldSpec& field, std::string_view indent) {
  return std::string(indent) + "<xs:element " + (field.optional ? "minOccurs=\"0\" " : "") + "name=\"" +
         std::string(field.name) + "\" type=\"" + std::string(schema_type(field.type)) + "\" />\r\n";
}

// The older schema style: tabs, attributes name-first, commented-out fields the records lack.
std::string schema_256() {
  std::string text = crlf({
      R"(<?xml version="1.0" encoding="utf-8"?>)",
      R"(<!--Layout of the MSScan.bin records, for documentation-->)",
      R"(<xs:schema targetNamespace="http://tempuri.org/XMLSchema.xsd" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:mstns="http://tempuri.org/XMLSchema.xsd" xmlns="http://tempuri.org/XMLSchema.xsd" elementFormDefault="qualified" version="1.0">)",
      "\t<xs:element name=\"MSScanBin\">",
      "\t\t<xs:annotation>",
      "\t\t\t<xs:documentation>MSScan binary file index record details</xs:documentation>",
      "\t\t</xs:annotation>",
      "\t\t<xs:complexType>",
      "\t\t\t<xs:sequence>",
      "\t\t\t\t<xs:element name=\"ScanRecord\" type=\"ScanRecordType\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>",
      "\t\t\t</xs:sequence>",
      "\t\t</xs:complexType>",
      "\t</xs:element>",
      "\t<xs:complexType name=\"ScanRecordType\">",
      "\t\t<xs:sequence>",
  });
  for (const FieldSpec& field : SCAN_FIELDS_256) text += schema_element_256(field, "\t\t\t");
  text += crlf({
      "\t\t\t<xs:element name=\"SpectrumParamValues\" type=\"SpectrumParamsType\" maxOccurs=\"unbounded\"/>",
      "\t\t\t<!-- ",
      "\t\t\t<xs:element name=\"Status\" type=\"xs:int\" minOccurs=\"0\"/>",
      "\t\t\t<xs:element name=\"MeasuredMassRangeMin\" type=\"xs:double\" minOccurs=\"0\"/>",
      "\t\t\t<xs:element name=\"MeasuredMassRangeMax\" type=\"xs:double\" minOccurs=\"0\"/>",
      "\t\t\t<xs:element name=\"Padding\" minOccurs=\"0\">",
      "\t\t\t\t<xs:complexType>",
      "\t\t\t\t\t<xs:sequence>",
      "\t\t\t\t\t\t<xs:element name=\"PadBytes\" type=\"xs:byte\" minOccurs=\"0\" maxOccurs=\"unbounded\"/>",
      "\t\t\t\t\t</xs:sequence>",
      "\t\t\t\t</xs:complexType>",
      "\t\t\t</xs:element>",
      "\t\t\t-->",
      "\t\t</xs:sequence>",
      "\t</xs:complexType>",
      "\t<xs:complexType name=\"SpectrumParamsType\">",
      "\t\t<xs:sequence>",
  });
  for (const FieldSpec& field : DESCRIPTOR_FIELDS_256) text += schema_element_256(field, "\t\t\t");
  text += crlf({
      "\t\t\t<!--",
      "\t\t\t-->",
      "\t\t</xs:sequence>",
      "\t</xs:complexType>",
      "\t<!--\t",
      "\t<xs:complexType name=\"DataDependentScanParamType\">",
      "\t\t<xs:sequence>",
      "\t\t\t<xs:element name=\"DDScanID\" type=\"xs:int\"/>",
      "\t\t\t<xs:element name=\"DDScanParamMz\" type=\"xs:double\"/>",
      "\t\t</xs:sequence>",
      "\t</xs:complexType>",
      "\t-->",
      "</xs:schema>",
  });
  return text;
}

// The newer style: two-space indent, minOccurs first, prefixed type names, a complex element
// inside the record, an unused complex type, and no newline at the end.
std::string schema_274() {
  std::string text = crlf({
      R"(<?xml version="1.0" encoding="utf-8"?>)",
      R"(<xs:schema xmlns="http://tempuri.org/XMLSchema.xsd" xmlns:mstns="http://tempuri.org/XMLSchema.xsd" elementFormDefault="qualified" targetNamespace="http://tempuri.org/XMLSchema.xsd" version="2.0" xmlns:xs="http://www.w3.org/2001/XMLSchema">)",
      "  <xs:element name=\"MSScanBin\">",
      "    <xs:annotation>",
      "      <xs:documentation>MSScan binary file index record details</xs:documentation>",
      "    </xs:annotation>",
      "    <xs:complexType>",
      "      <xs:sequence>",
      "        <xs:element minOccurs=\"0\" maxOccurs=\"unbounded\" name=\"ScanRecord\" type=\"mstns:ScanRecordType\" />",
      "      </xs:sequence>",
      "    </xs:complexType>",
      "  </xs:element>",
      "  <xs:complexType name=\"ScanRecordType\">",
      "    <xs:sequence>",
  });
  for (const FieldSpec& field : SCAN_FIELDS_274) text += schema_element_274(field, "      ");
  text += crlf({
      "      <xs:element minOccurs=\"0\" name=\"DataDependentScanParamType\" type=\"mstns:DataDependentScanParamType\" />",
      "      <xs:element maxOccurs=\"unbounded\" name=\"SpectrumParamValues\" type=\"mstns:SpectrumParamsType\" />",
      "    </xs:sequence>",
      "  </xs:complexType>",
      "  <xs:complexType name=\"SpectrumParamsType\">",
      "    <xs:sequence>",
  });
  for (const FieldSpec& field : DESCRIPTOR_FIELDS_274) text += schema_element_274(field, "      ");
  text += crlf({
      "    </xs:sequence>",
      "  </xs:complexType>",
      "  <xs:complexType name=\"DataDependentScanParamType\">",
      "    <xs:sequence>",
  });
  for (const FieldSpec& field : DATA_DEPENDENT_FIELDS_274) text += schema_element_274(field, "      ");
  text += crlf(
      {
          "    </xs:sequence>",
          "  </xs:complexType>",
          "  <xs:complexType name=\"XSpecificParamType\">",
          "    <xs:sequence>",
          "      <xs:element name=\"Offset\" type=\"xs:long\" />",
          "      <xs:element name=\"ByteCount\" type=\"xs:int\" />",
          "    </xs:sequence>",
          "  </xs:complexType>",
          "</xs:schema>",
      },
      false);
  return text;
}

// The calibration every record names (DefaultCalibrationID 2) and an older one (ID 1) that no
// record uses, with no polynomial, so that a reader taking the wrong entry is caught.
MassCalibration default_calibration() {
  return {0.000572831540217386,
          1017.39872641155,
          19573.4992527375,
          93949.2315149798,
          {0.0201743318570921, -1.61520943177405E-06, 3.18846227519364E-11, -3.49107562283710E-21,
           2.05911342706625E-50, -1.97488306152277E-55},
          3095};  // powers 0, 1, 2, 4, 10, 11
}

MassCalibration unused_calibration() { return {0.00057253, 1011.13, 0.0, 0.0, {}, 0}; }

std::string calibration_entry(std::uint16_t id, const MassCalibration& calibration) {
  std::string text;
  const auto line = [&](const std::string& content) { text += content + "\r\n"; };
  line("    <DefaultCalibration DefaultCalibrationID=\"" + std::to_string(id) + "\">");
  line("      <ApexCalibration>False</ApexCalibration>");
  line("      <Step Number=\"1\">");
  line("        <CalibrationTechnique>ExternalReference</CalibrationTechnique>");
  line("        <CalibrationFormula>Traditional</CalibrationFormula>");
  line("        <NumberOfCoefficients>2</NumberOfCoefficients>");
  line("        <ValueUseFlags>0</ValueUseFlags>");
  line("        <Values>");
  line("          <Value Number=\"1\">" + decimal(calibration.a) + "</Value>");
  line("          <Value Number=\"2\">" + decimal(calibration.t0) + "</Value>");
  line("        </Values>");
  line("        <Weighting>0</Weighting>");
  line("      </Step>");
  line("      <Step Number=\"2\">");
  line("        <CalibrationTechnique>ExternalReference</CalibrationTechnique>");
  line("        <CalibrationFormula>Polynomial</CalibrationFormula>");
  line("        <NumberOfCoefficients>8</NumberOfCoefficients>");
  line("        <ValueUseFlags>" + std::to_string(calibration.value_use_flags) + "</ValueUseFlags>");
  line("        <Values>");
  line("          <Value Number=\"1\">" + decimal(calibration.low) + "</Value>");
  line("          <Value Number=\"2\">" + decimal(calibration.high) + "</Value>");
  for (std::size_t k = 0; k < calibration.coefficients.size(); ++k) {
    line("          <Value Number=\"" + std::to_string(k + 3) + "\">" + decimal(calibration.coefficients[k]) +
         "</Value>");
  }
  line("        </Values>");
  line("      </Step>");
  line("    </DefaultCalibration>");
  return text;
}

std::string time_segments_xml(double start_min, double end_min, std::size_t scan_count) {
  return std::string(BOM) + crlf({
                                "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
                                "<TimeSegments>",
                                "    <Version>3</Version>",
                                "    <TimeSegment TimeSegmentID=\"1\">",
                                "        <!--start time in minutes-->",
                                "        <StartTime>" + decimal(start_min) + "</StartTime>",
                                "        <!--end time in minutes-->",
                                "        <EndTime>" + decimal(end_min) + "</EndTime>",
                                "        <NumOfScans>" + std::to_string(scan_count) + "</NumOfScans>",
                                "        <!--0=no, 1=yes-->",
                                "        <FixedCycleLength>0</FixedCycleLength>",
                                "    </TimeSegment>",
                                "    <IRMStatus>0</IRMStatus>",
                                "</TimeSegments>",
                            },
                            false);
}

// ---- run-length tokens --------------------------------------------------------------------

// The two low bits of a skip token name the width of the tokens after it.
std::int64_t width_code(std::size_t width) {
  switch (width) {
    case 1: return 3;
    case 2: return 2;
    case 4: return 1;
    case 8: return 0;
  }
  throw std::logic_error("real layout: token width " + std::to_string(width));
}

std::size_t width_for(std::int64_t value) {
  if (value >= INT8_MIN && value <= INT8_MAX) return 1;
  if (value >= INT16_MIN && value <= INT16_MAX) return 2;
  if (value >= INT32_MIN && value <= INT32_MAX) return 4;
  return 8;
}

class TokenWriter {
 public:
  explicit TokenWriter(Bytes& out) : out_(out) {}

  void value(std::uint32_t count) { put(count); }

  // A token that skips `empty` bins and makes the tokens after it `next_width` bytes wide.
  // When the token itself is too wide for the current width, a skip of nothing widens first.
  void skip(std::size_t empty, std::size_t next_width) {
    const std::int64_t token = -4 * (static_cast<std::int64_t>(empty) + 1) + width_code(next_width);
    if (width_for(token) > width_) {
      const std::size_t wide = width_for(token);
      put(-4 + width_code(wide));
      width_ = wide;
    }
    put(token);
    width_ = next_width;
  }

  [[nodiscard]] std::size_t width() const { return width_; }

 private:
  void put(std::int64_t token) {
    if (width_for(token) > width_) throw std::logic_error("real layout: token wider than its width");
    const auto bits = static_cast<std::uint64_t>(token);
    for (std::size_t i = 0; i < width_; ++i) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }

  Bytes& out_;
  std::size_t width_ = 4;  // tokens start 4 bytes wide
};

// ---- scan contents ------------------------------------------------------------------------

// A scan's own constants: the default ones with the flight-time scale and offset drifting a
// little, as the instruments' per-scan recalibration moves them.
MassCalibration drifted_calibration(const MassCalibration& base, Random& random) {
  MassCalibration calibration = base;
  calibration.a *= 1.0 + 1.5e-5 * (2.0 * random.uniform() - 1.0);
  calibration.t0 += 0.05 * (2.0 * random.uniform() - 1.0);
  return calibration;
}

// The seed of one scan's profile, the same whatever the other scans drew before it.
std::uint64_t mix(std::uint64_t seed, std::uint64_t salt) {
  return Random(seed ^ (salt * 0x9E3779B97F4A7C15ULL)).next();
}

}  // namespace

// ---- public functions ---------------------------------------------------------------------

double MassCalibration::mz(double flight_time) const {
  const double scaled = a * (flight_time - t0);
  const double clamped = std::clamp(flight_time, std::min(low, high), std::max(low, high));
  double correction = 0.0;
  std::size_t k = 0;
  for (int power = 0; power < 32 && k < coefficients.size(); ++power) {
    if (((value_use_flags >> power) & 1U) == 0) continue;
    correction += coefficients[k++] * std::pow(clamped, power);
  }
  return scaled * scaled - correction;
}

double MassCalibration::flight_time(double target_mz) const {
  // m/z + correction(t) = (a (t - t0))^2, and the correction changes slowly with t.
  double t = t0 + std::sqrt(std::max(target_mz, 0.0)) / a;
  for (int i = 0; i < 8; ++i) {
    const double correction = (a * (t - t0)) * (a * (t - t0)) - mz(t);
    t = t0 + std::sqrt(std::max(target_mz + correction, 0.0)) / a;
  }
  return t;
}

RealLayoutOptions real_bench_options(double scale) {
  if (!(scale > 0.0) || !std::isfinite(scale)) {
    throw std::invalid_argument("real layout: the scale must be a positive number");
  }
  RealLayoutOptions options;
  options.family = RecordFamily::bytes_256;
  options.encoding = ProfileEncoding::lzf;
  options.scan_calibration = true;
  options.profile_scans = std::max<std::size_t>(1, static_cast<std::size_t>(std::llround(600.0 * scale)));
  options.points = 60000;
  options.ms2_scans = static_cast<std::size_t>(std::llround(300.0 * scale));
  return options;
}

Bytes profile_payload(double first_flight_time, double step, std::span<const std::uint32_t> counts) {
  Bytes payload;
  payload.reserve(16 + 4 * counts.size());
  append_le(payload, first_flight_time);
  append_le(payload, step);
  for (const std::uint32_t count : counts) append_le(payload, count);
  return payload;
}

Bytes encode_lzf_profile(double first_flight_time, double step, std::span<const std::uint32_t> counts) {
  return lzf_encode(profile_payload(first_flight_time, step, counts), LzfEncoding::compressed);
}

Bytes encode_run_length_profile(double first_flight_time, double step, std::span<const std::uint32_t> counts,
                                bool code_trailing_empty) {
  const std::size_t n = counts.size();
  if (n > RUN_LENGTH_MAX_POINTS) {
    throw std::invalid_argument("real layout: " + std::to_string(n) + " bins do not fit a run-length block (at most " +
                                std::to_string(RUN_LENGTH_MAX_POINTS) + ")");
  }
  Bytes out;
  out.reserve(24 + 2 * n);
  append_le(out, first_flight_time);
  append_le(out, step);
  append_le(out, RUN_LENGTH_MARK | static_cast<std::uint32_t>(n));
  std::size_t i = 0;
  while (i < n && counts[i] == 0) ++i;
  append_le(out, -static_cast<std::int32_t>(i));  // leading empty bins

  // The width the values from `from` want: the widest of the next few, so that the width does
  // not flip back and forth within a peak.
  constexpr std::size_t LOOKAHEAD = 8;
  const auto wanted_width = [&](std::size_t from) {
    std::size_t width = 1;
    for (std::size_t j = from; j < n && j < from + LOOKAHEAD; ++j) width = std::max(width, width_for(counts[j]));
    return width;
  };

  // for each bin: a run of >= 2 empty bins (or the empty bins at the end) -> one skip token
  //               that also sets the width for what follows; otherwise the count, after a
  //               skip of nothing when the width must grow, or may shrink for the next values.
  TokenWriter tokens(out);
  while (i < n) {
    if (counts[i] == 0) {
      std::size_t end = i;
      while (end < n && counts[end] == 0) ++end;
      if (end == n && !code_trailing_empty) break;
      if (end - i >= 2 || end == n) {
        tokens.skip(end - i, end == n ? tokens.width() : wanted_width(end));
        i = end;
        continue;
      }
    }
    const std::size_t wanted = wanted_width(i);
    if (width_for(counts[i]) > tokens.width() || wanted < tokens.width()) tokens.skip(0, wanted);
    tokens.value(counts[i]);
    ++i;
  }
  return out;
}

std::string scan_schema(RecordFamily family) {
  switch (family) {
    case RecordFamily::bytes_256: return schema_256();
    case RecordFamily::bytes_274: return schema_274();
  }
  (void)family_spec(family);  // throws the message for an unknown family
  return {};
}

std::string default_mass_calibration_xml() {
  std::string text(BOM);
  text += crlf({
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<DefaultMassCalibration xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:noNamespaceSchemaLocation=\"DefaultMassCal.xsd\">",
      "  <Version>1</Version>",
      "  <DefaultCalibrations>",
  });
  text += calibration_entry(1, unused_calibration());
  text += calibration_entry(CALIBRATION_ID, default_calibration());
  text += crlf({"  </DefaultCalibrations>", "</DefaultMassCalibration>"}, false);
  return text;
}

RealAcquisitionFacts write_real_acquisition(const std::filesystem::path& folder, const RealLayoutOptions& options,
                                            const WrittenScanSink& on_scan) {
  const RecordLayout layout(options.family);  // refuses an unknown family before anything is written
  if (options.points > RUN_LENGTH_MAX_POINTS) {
    throw std::invalid_argument("real layout: " + std::to_string(options.points) + " points per scan is more than " +
                                std::to_string(RUN_LENGTH_MAX_POINTS));
  }
  const bool newer = options.family == RecordFamily::bytes_274;
  const std::filesystem::path acqdata = folder / "AcqData";
  std::error_code error;
  std::filesystem::create_directories(acqdata, error);
  if (error) throw std::runtime_error("real layout: cannot create " + acqdata.string() + ": " + error.message());

  const MassCalibration defaults = default_calibration();
  const std::size_t scan_count = options.profile_scans + options.ms2_scans;
  CountedFile profile_file(acqdata / "MSProfile.bin");
  CountedFile peak_file(acqdata / "MSPeak.bin");
  profile_file.append(tagged_header(0x0102, BLOCK_FILE_HEADER_LEN));
  peak_file.append(tagged_header(0x0103, BLOCK_FILE_HEADER_LEN));
  std::optional<CountedFile> mass_cal_file;
  if (options.scan_calibration) {
    mass_cal_file.emplace(acqdata / "MSMassCal.bin");
    Bytes header = tagged_header(0x0104, MASS_CAL_HEADER_LEN);
    put_le<std::uint32_t>(header, 0x44, 1);
    mass_cal_file->append(header);
  } else {
    std::filesystem::remove(acqdata / "MSMassCal.bin", error);
    if (error) throw std::runtime_error("real layout: cannot remove MSMassCal.bin: " + error.message());
  }

  Bytes scan_index = scan_index_header(options.family);
  scan_index.reserve(scan_index.size() + scan_count * layout.stride());
  Random random(options.seed);
  // Scans 0.25 s apart from 1.2 s, in minutes.
  const auto time_of_scan = [](std::size_t index) { return (1.2 + SCAN_SECONDS * static_cast<double>(index)) / 60.0; };
  std::size_t ms1_written = 0;
  std::size_t ms2_written = 0;
  std::uint32_t cycle = 0;

  // Lays out one scan: MS1 scans open a cycle, MS2 scans follow their MS1 scan.
  const auto write_scan = [&](bool ms1) {
    WrittenScan scan;
    scan.index = ms1_written + ms2_written;
    if (ms1 || cycle == 0) ++cycle;
    scan.cycle = cycle;
    scan.scan_id = static_cast<std::uint32_t>(2000 + 1000 * scan.index + 2 * scan.index / 3);
    scan.ms_level = ms1 ? 1 : 2;
    scan.scan_type = ms1 ? MS1_SCAN_TYPE : MS2_SCAN_TYPE;
    scan.retention_time_min = time_of_scan(scan.index);
    scan.calibration = options.scan_calibration ? drifted_calibration(defaults, random) : defaults;

    if (options.scan_calibration) {
      Bytes row;
      append_le<std::int32_t>(row, 10);
      const MassCalibration& constants = scan.calibration;
      for (const double value : {constants.a, constants.t0, constants.low, constants.high}) append_le(row, value);
      for (const double value : scan.calibration.coefficients) append_le(row, value);
      scan.mass_cal_offset = mass_cal_file->append(row);
      if (scan.mass_cal_offset != MASS_CAL_HEADER_LEN + MASS_CAL_ROW_LEN * scan.index) {
        throw std::logic_error("real layout: mass calibration row out of step with the records");
      }
    }

    Bytes record(layout.stride(), 0);
    const auto put_block = [&](std::size_t slot, std::uint32_t format, const WrittenBlock& block) {
      layout.put_descriptor(record, slot, "SpectrumFormatID", format);
      layout.put_descriptor(record, slot, "SpectrumOffset", static_cast<double>(block.offset));
      layout.put_descriptor(record, slot, "ByteCount", block.byte_count);
      layout.put_descriptor(record, slot, "PointCount", block.point_count);
      layout.put_descriptor(record, slot, "UncompressedByteCount", block.uncompressed_byte_count);
      layout.put_descriptor(record, slot, "MinX", block.min_x);
      layout.put_descriptor(record, slot, "MaxX", block.max_x);
      layout.put_descriptor(record, slot, "MaxY", block.max_y);  // MinY stays 0, as instruments leave it
    };
    // A slot with nothing behind it keeps its format and zeros elsewhere.
    layout.put_descriptor(record, 0, "SpectrumFormatID", PROFILE_FORMAT);
    layout.put_descriptor(record, 1, "SpectrumFormatID", PEAK_FORMAT_FLIGHT_TIMES);

    if (ms1 || options.ms2_profiles) {
      scan.first_flight_time = FIRST_FLIGHT_TIME;
      scan.flight_time_step = FLIGHT_TIME_STEP;
      scan.counts = realistic_profile_intensities(options.points, mix(options.seed, 1 + scan.index));
      if (ms1 && options.wide_counts && ms1_written % 25 == 0 && !scan.counts.empty()) {
        scan.counts[random.next() % scan.counts.size()] =
            3'000'000'000U + static_cast<std::uint32_t>(random.next() % 1'000'000'000U);
      }
      const Bytes block = options.encoding == ProfileEncoding::lzf
                              ? encode_lzf_profile(scan.first_flight_time, scan.flight_time_step, scan.counts)
                              : encode_run_length_profile(scan.first_flight_time, scan.flight_time_step, scan.counts);
      WrittenBlock written;
      written.offset = profile_file.append(block);
      written.byte_count = checked_u32(block.size(), "profile block length");
      written.point_count = static_cast<std::uint32_t>(scan.counts.size());
      // An LZF block always states its decoded length (a decoder sizes its output by it);
      // run-length blocks state it in the older field set and leave it 0 in the newer one.
      const bool states_length = options.encoding == ProfileEncoding::lzf || !newer;
      written.uncompressed_byte_count =
          states_length ? checked_u32(16 + 4 * scan.counts.size(), "decoded profile length") : 0;
      const auto time_of_bin = [&](std::size_t i) {
        return scan.first_flight_time + static_cast<double>(i) * scan.flight_time_step;
      };
      std::size_t apex = 0;
      for (std::size_t i = 0; i < scan.counts.size(); ++i) {
        scan.tic += scan.counts[i];
        if (scan.counts[i] > scan.counts[apex]) apex = i;
      }
      if (!scan.counts.empty()) {
        scan.base_peak_mz = defaults.mz(time_of_bin(apex));
        scan.base_peak_value = scan.counts[apex];
        written.min_x = defaults.mz(time_of_bin(0));
        written.max_x = defaults.mz(time_of_bin(scan.counts.size() - 1));
        written.max_y = scan.counts[apex];
      }
      scan.profile = written;
      put_block(0, PROFILE_FORMAT, written);
    }

    std::uint32_t charge = 0;
    float isolation_width = 0.0F;
    if (!ms1) {
      const double precursor = std::round((150.0 + 1000.0 * random.uniform()) * 1e4) / 1e4;
      scan.precursor_mz = precursor;
      scan.collision_energy = 10.0 * static_cast<double>(1 + random.next() % 4);
      charge = static_cast<std::uint32_t>(1 + random.next() % 3);
      isolation_width = 1.3F;
      const PeakList list = centroided_peaks(50 + random.next() % 250, 50.0, precursor + 5.0, random.next());
      Bytes block;
      block.reserve(12 * list.mz.size());
      for (const double mz : list.mz) {
        scan.peak_flight_times.push_back(scan.calibration.flight_time(mz));
        append_le(block, scan.peak_flight_times.back());
      }
      for (const float abundance : list.intensity) append_le(block, abundance);
      scan.peak_abundances = list.intensity;

      WrittenBlock written;
      written.offset = peak_file.append(block);
      written.byte_count = checked_u32(block.size(), "peak block length");
      written.point_count = static_cast<std::uint32_t>(list.mz.size());
      std::size_t apex = 0;
      for (std::size_t i = 0; i < scan.peak_abundances.size(); ++i) {
        if (scan.peak_abundances[i] > scan.peak_abundances[apex]) apex = i;
      }
      if (!scan.peak_abundances.empty()) {
        written.min_x = defaults.mz(scan.peak_flight_times.front());
        written.max_x = defaults.mz(scan.peak_flight_times.back());
        written.max_y = scan.peak_abundances[apex];
      }
      // Without a profile the record's totals come from the centroids.
      if (!scan.profile) {
        for (const float abundance : scan.peak_abundances) scan.tic += abundance;
        if (!scan.peak_abundances.empty()) {
          scan.base_peak_mz = defaults.mz(scan.peak_flight_times[apex]);
          scan.base_peak_value = scan.peak_abundances[apex];
        }
      }
      scan.peaks = written;
      put_block(1, PEAK_FORMAT_FLIGHT_TIMES, written);
    }

    layout.put(record, "ScanID", scan.scan_id);
    layout.put(record, "ScanMethodID", 1);
    layout.put(record, "TimeSegmentID", 1);
    layout.put(record, "ScanTime", scan.retention_time_min);
    layout.put(record, "MSLevel", scan.ms_level);
    layout.put(record, "ScanType", scan.scan_type);
    layout.put(record, "TIC", scan.tic);
    layout.put(record, "BasePeakMZ", scan.base_peak_mz);
    layout.put(record, "BasePeakValue", scan.base_peak_value);
    layout.put(record, "CalibrationID", CALIBRATION_ID);
    layout.put(record, "CycleNumber", scan.cycle);
    layout.put(record, "IonMode", ION_MODE);
    layout.put(record, "IonPolarity", 0);  // positive
    layout.put(record, "Fragmentor", newer ? 150.0 : 135.0);
    layout.put(record, "CollisionEnergy", scan.collision_energy);
    layout.put_if_present(record, "MzOfInterest", scan.precursor_mz.value_or(0.0));
    layout.put_if_present(record, "MzIsolationWidth", isolation_width);
    layout.put(record, "AbundanceLimit", newer ? 28462080.0 : 4005888.0);
    layout.put(record, "SamplingPeriod", FLIGHT_TIME_STEP);
    layout.put_if_present(record, "ChargeState", charge);
    layout.put_if_present(record, "ChromScaleFactor", 1.0);
    layout.put(record, "MassCalOffset", static_cast<double>(scan.mass_cal_offset));
    layout.put_if_present(record, "DDScanID", scan.scan_id);
    scan_index.insert(scan_index.end(), record.begin(), record.end());

    if (ms1) {
      ++ms1_written;
    } else {
      ++ms2_written;
    }
    if (on_scan) on_scan(scan);
  };

  // Each MS1 scan is followed by its share of the MS2 scans.
  for (std::size_t i = 0; i < options.profile_scans; ++i) {
    write_scan(true);
    const std::size_t ms2_due = (i + 1) * options.ms2_scans / options.profile_scans;
    while (ms2_written < ms2_due) write_scan(false);
  }
  while (ms2_written < options.ms2_scans) write_scan(false);

  profile_file.close();
  peak_file.close();
  if (mass_cal_file) mass_cal_file->close();
  CountedFile scan_file(acqdata / "MSScan.bin");
  scan_file.append(scan_index);
  scan_file.close();

  write_whole_file(acqdata / "MSScan.xsd", scan_schema(options.family));
  write_whole_file(acqdata / "DefaultMassCal.xml", default_mass_calibration_xml());
  write_whole_file(acqdata / "MSTS.xml",
                   time_segments_xml(time_of_scan(0), time_of_scan(scan_count == 0 ? 0 : scan_count - 1), scan_count));
  write_whole_file(acqdata / "Devices.xml", newer ? devices_xml("QTOF", "G6546A") : devices_xml("TOF", "G6230B"));
  write_whole_file(acqdata / "Contents.xml", contents_xml("2024-05-14T10:21:33.4410000+02:00"));

  RealAcquisitionFacts facts;
  facts.record_stride = static_cast<std::uint32_t>(layout.stride());
  facts.data_offset = DATA_OFFSET;
  facts.descriptors_per_record = DESCRIPTORS_PER_RECORD;
  facts.scan_count = scan_count;
  facts.calibration_id = CALIBRATION_ID;
  facts.default_calibration = defaults;
  return facts;
}

}  // namespace vornak::synthetic
