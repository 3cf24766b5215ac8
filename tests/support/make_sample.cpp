// vornak-make-sample: writes a synthetic acquisition folder (OUT_DIR/AcqData/...).
//
//   vornak-make-sample OUT_DIR
//       the small demo acquisition: layout 284, 12 scans (MS1 profile scans with an m/z
//       range, MS2 scans with centroided peaks in formats 2 and 3), Devices.xml for model
//       G6530B, Contents.xml with an acquisition time
//   vornak-make-sample --json DESCRIPTION.json OUT_DIR
//       the acquisition described by a JSON document (below); "-" reads it from stdin
//   vornak-make-sample --bench --profile-scans N --points N --ms2-scans N [--seed N] OUT_DIR
//       the benchmark acquisition: realistic MS1 profile scans of N points, with the MS2
//       scans spread evenly between them
//   vornak-make-sample --real [REAL OPTIONS] OUT_DIR
//       an acquisition laid out as time-of-flight instruments write it: MSScan.xsd describing
//       the records, MSScan.bin (228-byte header, 2 descriptors per record), MSProfile.bin and
//       MSPeak.bin with 68-byte headers, MSMassCal.bin, DefaultMassCal.xml, MSTS.xml,
//       Devices.xml, Contents.xml. MS1 scans hold a profile of flight-time bins (0.5 ns apart
//       from 18474 ns, about m/z 100); MS2 scans hold format-2 centroids (f64 flight times,
//       then f32 abundances) and follow their MS1 scan. Options:
//         --family 256|274         record field set: 256 bytes (TOF software, default) or 274
//                                  (newer Q-TOF software: shorts, floats, MzOfInterest)
//         --encoding lzf|run-length
//                                  profile blocks: one LZF stream (default) or run-length tokens
//         --no-scan-calibration    no MSMassCal.bin: every scan takes DefaultMassCal.xml's
//                                  constants (MassCalOffset 0)
//         --scans N                MS1 profile scans (default 4)
//         --points N               bins per profile (default 5000, at most 16777215)
//         --ms2 N                  centroided MS2 scans (default 2)
//         --ms2-profiles           MS2 scans also carry a profile block, so every record has
//                                  one (readers that take one flight-time axis for the whole
//                                  run refuse records without)
//         --wide-counts            one bin of 3e9 to 4e9 counts in every 25th MS1 scan, so that
//                                  run-length blocks use 8-byte tokens too; real files keep
//                                  counts below 2^31 and some readers refuse such bins
//         --seed N                 the same seed gives the same bytes (default 1)
//         --expected FILE.json     also writes what was written: per scan the record values,
//                                  calibration constants, and the counts or the peaks' flight
//                                  times and abundances (large for big acquisitions)
//   vornak-make-sample --real --family triple-quad|ion-mobility|icpms [FAMILY OPTIONS] OUT_DIR
//       the other instrument families (tests/support/real_layout.hpp says what each file holds):
//         triple-quad: 184-byte records (layout word 5, descriptor MinY, MaxY, MinX, MaxX), MRM
//           and SIM point lists in MSPeak.bin, profile scans in both encodings in MSProfile.bin,
//           several time segments (MSTS.xml, TimeSegmentID). Options:
//             --mrm N (8)  --precursors N (2)  --transitions-per-record N (2)  --sim N (4)
//             --sim-ions N (2)  --count-profiles N (2)  --abundance-profiles N (2)
//             --points N (200)  --segments N (3)  --negative
//         ion-mobility: flat records, IMSFrame.bin/.xsd, IMSFrameMeth.xml, DefaultMassCal.xml,
//           run-length drift-bin profiles and frame sums equal to their bin-wise sum. Options:
//             --frames N (3)  --drift-bins N (6)  --points N (400)  --empty-frame-sum
//             --ms2-frames (FragClass 1 and 2 in turn)
//         icpms: no MSScan.xsd, 136-byte records (layout word 2), 28-byte channel points.
//           Options: --scans N (5)  --channels N (3)  --transitions (MSTS_XAddition.xml beside
//           AcqData, channel values are its indices)
//       and for each: --seed N, --expected FILE.json (every record's fields, block and the
//       m/z and intensities a reader should give)
//   vornak-make-sample --real --bench [--scale X] [REAL OPTIONS] OUT_DIR
//       the real-layout benchmark: round(600 X) MS1 scans of 60,000 bins (LZF, per-scan
//       calibration, 256-byte records) and round(300 X) MS2 scans; X defaults to 1. Options
//       given beside it override the preset.
//
// Any error prints a message on stderr and exits with status 1.
//
// JSON description. Every member is optional unless marked required; an unknown member is
// an error, so a typo does not silently give a default. Notation:
//   U32, U64    non-negative JSON integers within range (U16 likewise)
//   DOUBLE      a JSON number, or one of the strings "nan", "inf", "-inf"
//   BYTES       {"hex": "00ff10"} or {"base64": "AP8Q"}
//
//   {
//     "record_stride": 284,            U32: 284, 220, 216, 196 or 186
//     "data_offset": 228,              U32: header length; records start here
//     "magic": 257,                    U32 written at byte 0 (data offset at byte 88)
//     "scans": [SCAN, ...],
//     "scan_index_trailer": BYTES,     appended to MSScan.bin after the records
//     "scan_index_bytes": BYTES,       MSScan.bin exactly, instead of the laid-out file
//     "write_scan_index": true,        false: no MSScan.bin
//     "write_peak_file": true,         false: no MSPeak.bin (descriptors still point into it)
//     "write_profile_file": true,      false: no MSProfile.bin
//     "peak_file_prefix": BYTES,       at the start of MSPeak.bin, before the first block
//     "profile_file_prefix": BYTES,    at the start of MSProfile.bin
//     "devices_xml": "<text>" | {"name": "Q-TOF", "model_number": "G6530B"},
//     "contents_xml": "<text>" | {"acquired_time": "2024-05-14T10:21:33Z"}
//   }
//
//   SCAN:
//   {
//     "scan_id": 1,                    U32
//     "retention_time_min": 0.5,       DOUBLE
//     "ms_level": 1,                   U16 (default 1)
//     "mrm_channel": 7,                U32, written at record byte 4
//     "precursor_mz": 500.25,          DOUBLE, written at byte 84
//     "collision_energy": 20.0,        DOUBLE, written at byte 76
//     "mz_range_low": 100.0,           DOUBLE, layout 284 only (byte 244)
//     "mz_range_high": 1700.0,         DOUBLE, layout 284 only (byte 252)
//     "blocks": [BLOCK, ...],          descriptor slots in record order: at most 2 in
//                                      layout 284, 1 in the others
//     "patches": [{"offset": 76, "bytes": BYTES}, ...]   written over the finished record
//   }
//   Fields are written whenever given; the record layout and MS level decide what the
//   reader takes from them.
//
//   BLOCK ("kind" required), each optionally with "descriptor": DESCRIPTOR:
//     {"kind": "profile", "intensities": [U32, ...], "payload_padding": 0,
//      "encoding": "compressed" | "literal"}
//         or "realistic": {"points": N, "seed": S} instead of "intensities".
//         Written to MSProfile.bin: 16-byte preamble + LZF stream of (16-byte header +
//         u32 intensities + padding); descriptor format 1 with uncompressed_byte_count.
//     {"kind": "peak", "format_id": 3, "mz": [DOUBLE, ...], "intensity": [DOUBLE, ...]}
//         Written to MSPeak.bin; format 2 stores m/z × 100.0 then the float32 intensities,
//         format 3 (and any other) interleaves f64 m/z and f32 intensity.
//     {"kind": "raw", "file": "profile" | "peak", "bytes": BYTES}
//         The bytes appended to that file; derived descriptor: format 1 (profile) or 3
//         (peak), their offset and length, point counts 0.
//     {"kind": "descriptor"}
//         No bytes; every descriptor field from "descriptor", 0 where absent.
//
//   DESCRIPTOR: {"format_id": U32, "offset": U64, "byte_count": U32, "point_count": U32,
//                "uncompressed_byte_count": U32}, each replacing the derived value.
//
// Example: one MS1 scan whose profile block claims one point more than it holds.
//   {"record_stride": 284, "scans": [{"scan_id": 1, "mz_range_low": 100, "mz_range_high": 200,
//     "blocks": [{"kind": "profile", "intensities": [1, 2, 3], "descriptor": {"point_count": 4}}]}]}
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/synthetic.hpp"

namespace {

namespace synthetic = vornak::synthetic;
using nlohmann::json;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

void check_members(const json& object, std::initializer_list<std::string_view> allowed, const std::string& where) {
  if (!object.is_object()) fail(where + ": expected an object");
  for (const auto& item : object.items()) {
    bool known = false;
    for (const std::string_view name : allowed) known = known || item.key() == name;
    if (!known) fail(where + ": unknown member \"" + item.key() + "\"");
  }
}

template <typename T>
T unsigned_value(const json& value, const std::string& where) {
  if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0)) {
    fail(where + ": expected a non-negative integer");
  }
  const auto number = value.get<std::uint64_t>();
  if (number > std::numeric_limits<T>::max()) fail(where + ": " + std::to_string(number) + " is out of range");
  return static_cast<T>(number);
}

double double_value(const json& value, const std::string& where) {
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) {
    const auto text = value.get<std::string>();
    if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (text == "inf") return std::numeric_limits<double>::infinity();
    if (text == "-inf") return -std::numeric_limits<double>::infinity();
  }
  fail(where + ": expected a number or \"nan\", \"inf\", \"-inf\"");
}

bool bool_value(const json& value, const std::string& where) {
  if (!value.is_boolean()) fail(where + ": expected true or false");
  return value.get<bool>();
}

std::string string_value(const json& value, const std::string& where) {
  if (!value.is_string()) fail(where + ": expected a string");
  return value.get<std::string>();
}

const json& array_value(const json& value, const std::string& where) {
  if (!value.is_array()) fail(where + ": expected an array");
  return value;
}

synthetic::Bytes hex_bytes(std::string_view text, const std::string& where) {
  const auto digit = [&](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    fail(where + ": invalid hex digit '" + std::string(1, c) + "'");
  };
  if (text.size() % 2 != 0) fail(where + ": hex text of odd length");
  synthetic::Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
  }
  return bytes;
}

synthetic::Bytes base64_bytes(std::string_view text, const std::string& where) {
  const auto sextet = [&](char c) -> std::uint32_t {
    if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    fail(where + ": invalid base64 character '" + std::string(1, c) + "'");
  };
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) fail(where + ": base64 text of impossible length");
  synthetic::Bytes bytes;
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (const char c : text) {
    bits = (bits << 6) | sextet(c);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> bit_count));
      bits &= (1U << bit_count) - 1;
    }
  }
  return bytes;
}

synthetic::Bytes bytes_value(const json& value, const std::string& where) {
  check_members(value, {"hex", "base64"}, where);
  if (value.size() != 1) fail(where + ": expected exactly one of \"hex\" and \"base64\"");
  if (value.contains("hex")) return hex_bytes(string_value(value["hex"], where + ".hex"), where + ".hex");
  return base64_bytes(string_value(value["base64"], where + ".base64"), where + ".base64");
}

template <typename T>
T parse_as(const json& value, const std::string& where) {
  if constexpr (std::is_same_v<T, bool>) {
    return bool_value(value, where);
  } else if constexpr (std::is_same_v<T, double>) {
    return double_value(value, where);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return string_value(value, where);
  } else if constexpr (std::is_same_v<T, synthetic::Bytes>) {
    return bytes_value(value, where);
  } else {
    return unsigned_value<T>(value, where);
  }
}

template <typename T>
struct Unwrapped {
  using type = T;
};
template <typename T>
struct Unwrapped<std::optional<T>> {
  using type = T;
};

// The members of one JSON object, each named in error messages by its path.
class Members {
 public:
  Members(const json& object, std::string where, std::initializer_list<std::string_view> allowed)
      : object_(object), where_(std::move(where)) {
    check_members(object, allowed, where_);
  }

  [[nodiscard]] bool has(const char* name) const { return object_.contains(name); }
  [[nodiscard]] const json& operator[](const char* name) const { return object_.at(name); }
  [[nodiscard]] std::string path(const char* name) const { return where_ + "." + name; }
  [[nodiscard]] const std::string& where() const { return where_; }

  // Sets `target` (a value or an optional one) from the member, when the member is there.
  template <typename T>
  void read(const char* name, T& target) const {
    if (has(name)) target = parse_as<typename Unwrapped<T>::type>(object_.at(name), path(name));
  }

  [[nodiscard]] const json& require(const char* name) const {
    if (!has(name)) fail(where_ + ": \"" + name + "\" is required");
    return object_.at(name);
  }

 private:
  const json& object_;
  std::string where_;
};

synthetic::DescriptorOverride descriptor_value(const json& value, const std::string& where) {
  const Members members(value, where, {"format_id", "offset", "byte_count", "point_count", "uncompressed_byte_count"});
  synthetic::DescriptorOverride descriptor;
  members.read("format_id", descriptor.format_id);
  members.read("offset", descriptor.offset);
  members.read("byte_count", descriptor.byte_count);
  members.read("point_count", descriptor.point_count);
  members.read("uncompressed_byte_count", descriptor.uncompressed_byte_count);
  return descriptor;
}

template <typename T>
std::vector<T> list_value(const Members& members, const char* name) {
  std::vector<T> list;
  if (!members.has(name)) return list;
  const json& items = array_value(members[name], members.path(name));
  list.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    list.push_back(parse_as<T>(items[i], members.path(name) + "[" + std::to_string(i) + "]"));
  }
  return list;
}

synthetic::ProfileBlock profile_value(const Members& members) {
  synthetic::ProfileBlock profile;
  if (members.has("intensities") == members.has("realistic")) {
    fail(members.where() + ": a profile block needs exactly one of \"intensities\" and \"realistic\"");
  }
  if (members.has("intensities")) {
    profile.intensities = list_value<std::uint32_t>(members, "intensities");
  } else {
    const Members realistic(members["realistic"], members.path("realistic"), {"points", "seed"});
    const auto points = parse_as<std::uint32_t>(realistic.require("points"), realistic.path("points"));
    std::uint64_t seed = 1;
    realistic.read("seed", seed);
    profile.intensities = synthetic::realistic_profile_intensities(points, seed);
  }
  members.read("payload_padding", profile.payload_padding);
  std::string encoding = "compressed";
  members.read("encoding", encoding);
  if (encoding == "literal") {
    profile.encoding = synthetic::LzfEncoding::literal;
  } else if (encoding != "compressed") {
    fail(members.path("encoding") + ": expected \"compressed\" or \"literal\"");
  }
  return profile;
}

synthetic::PeakBlock peak_value(const Members& members) {
  synthetic::PeakBlock peak;
  members.read("format_id", peak.format_id);
  peak.mz = list_value<double>(members, "mz");
  for (const double intensity : list_value<double>(members, "intensity")) {
    peak.intensity.push_back(static_cast<float>(intensity));
  }
  if (peak.mz.size() != peak.intensity.size()) fail(members.where() + ": \"mz\" and \"intensity\" differ in length");
  return peak;
}

synthetic::RawBlock raw_value(const Members& members) {
  synthetic::RawBlock raw;
  std::string file = "peak";
  members.read("file", file);
  if (file == "profile") {
    raw.file = synthetic::DataFile::profile;
  } else if (file != "peak") {
    fail(members.path("file") + ": expected \"profile\" or \"peak\"");
  }
  raw.bytes = bytes_value(members.require("bytes"), members.path("bytes"));
  return raw;
}

synthetic::Block block_value(const json& value, const std::string& where) {
  if (!value.is_object() || !value.contains("kind")) fail(where + ": a block needs a \"kind\"");
  const std::string kind = string_value(value["kind"], where + ".kind");
  synthetic::Block block;
  if (kind == "profile") {
    block.content = profile_value(
        Members(value, where, {"kind", "descriptor", "intensities", "realistic", "payload_padding", "encoding"}));
  } else if (kind == "peak") {
    block.content = peak_value(Members(value, where, {"kind", "descriptor", "format_id", "mz", "intensity"}));
  } else if (kind == "raw") {
    block.content = raw_value(Members(value, where, {"kind", "descriptor", "file", "bytes"}));
  } else if (kind == "descriptor") {
    check_members(value, {"kind", "descriptor"}, where);
    block.content = synthetic::DescriptorOnly{};
  } else {
    fail(where + ".kind: expected \"profile\", \"peak\", \"raw\" or \"descriptor\"");
  }
  if (value.contains("descriptor")) block.descriptor = descriptor_value(value["descriptor"], where + ".descriptor");
  return block;
}

synthetic::Scan scan_value(const json& value, const std::string& where) {
  const Members members(value, where,
                        {"scan_id", "retention_time_min", "ms_level", "mrm_channel", "precursor_mz",
                         "collision_energy", "mz_range_low", "mz_range_high", "blocks", "patches"});
  synthetic::Scan scan;
  members.read("scan_id", scan.scan_id);
  members.read("retention_time_min", scan.retention_time_min);
  members.read("ms_level", scan.ms_level);
  members.read("mrm_channel", scan.mrm_channel);
  members.read("precursor_mz", scan.precursor_mz);
  members.read("collision_energy", scan.collision_energy);
  members.read("mz_range_low", scan.mz_range_low);
  members.read("mz_range_high", scan.mz_range_high);
  if (members.has("blocks")) {
    const json& blocks = array_value(members["blocks"], members.path("blocks"));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      scan.blocks.push_back(block_value(blocks[i], members.path("blocks") + "[" + std::to_string(i) + "]"));
    }
  }
  if (members.has("patches")) {
    const json& patches = array_value(members["patches"], members.path("patches"));
    for (std::size_t i = 0; i < patches.size(); ++i) {
      const Members patch(patches[i], members.path("patches") + "[" + std::to_string(i) + "]", {"offset", "bytes"});
      scan.patches.emplace_back(parse_as<std::uint32_t>(patch.require("offset"), patch.path("offset")),
                                bytes_value(patch.require("bytes"), patch.path("bytes")));
    }
  }
  return scan;
}

std::string devices_value(const json& value, const std::string& where) {
  if (value.is_string()) return value.get<std::string>();
  const Members members(value, where, {"name", "model_number"});
  return synthetic::devices_xml(string_value(members.require("name"), members.path("name")),
                                string_value(members.require("model_number"), members.path("model_number")));
}

std::string contents_value(const json& value, const std::string& where) {
  if (value.is_string()) return value.get<std::string>();
  const Members members(value, where, {"acquired_time"});
  return synthetic::contents_xml(string_value(members.require("acquired_time"), members.path("acquired_time")));
}

synthetic::Acquisition acquisition_value(const json& value) {
  const Members members(value, "description",
                        {"record_stride", "data_offset", "magic", "scans", "scan_index_trailer", "scan_index_bytes",
                         "write_scan_index", "write_peak_file", "write_profile_file", "peak_file_prefix",
                         "profile_file_prefix", "devices_xml", "contents_xml"});
  synthetic::Acquisition acquisition;
  members.read("record_stride", acquisition.record_stride);
  members.read("data_offset", acquisition.data_offset);
  members.read("magic", acquisition.magic);
  if (members.has("scans")) {
    const json& scans = array_value(members["scans"], members.path("scans"));
    for (std::size_t i = 0; i < scans.size(); ++i) {
      acquisition.scans.push_back(scan_value(scans[i], "scans[" + std::to_string(i) + "]"));
    }
  }
  members.read("scan_index_trailer", acquisition.scan_index_trailer);
  members.read("scan_index_bytes", acquisition.scan_index_bytes);
  members.read("write_scan_index", acquisition.write_scan_index);
  members.read("write_peak_file", acquisition.write_peak_file);
  members.read("write_profile_file", acquisition.write_profile_file);
  members.read("peak_file_prefix", acquisition.peak_file_prefix);
  members.read("profile_file_prefix", acquisition.profile_file_prefix);
  if (members.has("devices_xml")) {
    acquisition.devices_xml = devices_value(members["devices_xml"], members.path("devices_xml"));
  }
  if (members.has("contents_xml")) {
    acquisition.contents_xml = contents_value(members["contents_xml"], members.path("contents_xml"));
  }
  return acquisition;
}

json read_description(const std::string& path) {
  std::string text;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  try {
    return json::parse(text);
  } catch (const json::exception& error) {
    fail(path + ": " + error.what());
  }
}

std::size_t count_argument(std::string_view text, std::string_view option) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    fail(std::string(option) + ": expected a non-negative integer, got \"" + std::string(text) + "\"");
  }
  return value;
}

constexpr std::string_view USAGE =
    "usage: vornak-make-sample OUT_DIR\n"
    "       vornak-make-sample --json DESCRIPTION.json OUT_DIR\n"
    "       vornak-make-sample --bench --profile-scans N --points N --ms2-scans N [--seed N] OUT_DIR\n"
    "       vornak-make-sample --real [--bench [--scale X]] [--family 256|274] [--encoding lzf|run-length]\n"
    "                          [--no-scan-calibration] [--scans N] [--points N] [--ms2 N] [--ms2-profiles]\n"
    "                          [--wide-counts] [--seed N] [--expected FILE.json] OUT_DIR\n"
    "\n"
    "--real writes the layout of time-of-flight instruments: MSScan.xsd, MSScan.bin, MSProfile.bin,\n"
    "MSPeak.bin, MSMassCal.bin, DefaultMassCal.xml, MSTS.xml, Devices.xml, Contents.xml.\n"
    "  --family 256|274         256-byte records (default) or the newer 274-byte field set\n"
    "  --encoding lzf|run-length  profile blocks as one LZF stream (default) or run-length tokens\n"
    "  --no-scan-calibration    no MSMassCal.bin; DefaultMassCal.xml calibrates every scan\n"
    "  --scans N                MS1 profile scans (default 4)\n"
    "  --points N               flight-time bins per profile (default 5000)\n"
    "  --ms2 N                  centroided MS2 scans, format-2 flight times (default 2)\n"
    "  --ms2-profiles           MS2 scans also get a profile block (every record then has one)\n"
    "  --wide-counts            one bin above 2^31 counts in every 25th MS1 scan, so run-length\n"
    "                           blocks use 8-byte tokens too (real files never do)\n"
    "  --seed N                 seed of the contents (default 1)\n"
    "  --expected FILE.json     also write the values written (records, constants, arrays)\n"
    "  --bench [--scale X]      preset: 600 X MS1 scans of 60,000 bins, LZF, per-scan calibration,\n"
    "                           300 X MS2 scans; options beside it override it\n"
    "       vornak-make-sample --real --family triple-quad [--mrm N] [--precursors N]\n"
    "                          [--transitions-per-record N] [--sim N] [--sim-ions N] [--count-profiles N]\n"
    "                          [--abundance-profiles N] [--points N] [--segments N] [--negative] ...\n"
    "       vornak-make-sample --real --family ion-mobility [--frames N] [--drift-bins N] [--points N]\n"
    "                          [--empty-frame-sum] [--ms2-frames] ...\n"
    "       vornak-make-sample --real --family icpms [--scans N] [--channels N] [--transitions] ...\n"
    "  (each also takes --seed N and --expected FILE.json)\n";

double scale_argument(std::string_view text) {
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !(value > 0.0) ||
      !std::isfinite(value)) {
    fail("--scale: expected a positive number, got \"" + std::string(text) + "\"");
  }
  return value;
}

json calibration_json(const synthetic::MassCalibration& calibration) {
  return {{"a", calibration.a},
          {"t0", calibration.t0},
          {"low", calibration.low},
          {"high", calibration.high},
          {"coefficients", calibration.coefficients},
          {"value_use_flags", calibration.value_use_flags}};
}

json block_json(const synthetic::WrittenBlock& block) {
  return {{"offset", block.offset},
          {"byte_count", block.byte_count},
          {"point_count", block.point_count},
          {"uncompressed_byte_count", block.uncompressed_byte_count},
          {"min_x", block.min_x},
          {"max_x", block.max_x},
          {"max_y", block.max_y}};
}

json scan_json(const synthetic::WrittenScan& scan) {
  json out = {{"index", scan.index},
              {"scan_id", scan.scan_id},
              {"ms_level", scan.ms_level},
              {"scan_type", scan.scan_type},
              {"cycle", scan.cycle},
              {"retention_time_min", scan.retention_time_min},
              {"tic", scan.tic},
              {"base_peak_mz", scan.base_peak_mz},
              {"base_peak_value", scan.base_peak_value},
              {"collision_energy", scan.collision_energy},
              {"precursor_mz", scan.precursor_mz ? json(*scan.precursor_mz) : json(nullptr)},
              {"mass_cal_offset", scan.mass_cal_offset},
              {"calibration", calibration_json(scan.calibration)},
              {"profile", nullptr},
              {"peaks", nullptr}};
  if (scan.profile) {
    out["profile"] = block_json(*scan.profile);
    out["profile"]["first_flight_time"] = scan.first_flight_time;
    out["profile"]["flight_time_step"] = scan.flight_time_step;
    out["profile"]["counts"] = scan.counts;
  }
  if (scan.peaks) {
    out["peaks"] = block_json(*scan.peaks);
    out["peaks"]["flight_times"] = scan.peak_flight_times;
    out["peaks"]["abundances"] = scan.peak_abundances;
  }
  return out;
}

json family_record_json(const synthetic::FamilyRecord& record) {
  const auto optional = [](const auto& value) { return value ? json(*value) : json(nullptr); };
  json out = {{"record", record.record},
              {"scan_id", record.scan_id},
              {"scan_type", record.scan_type},
              {"time_segment", record.time_segment},
              {"ms_level", record.ms_level},
              {"retention_time_min", record.retention_time_min},
              {"polarity", record.negative ? "negative" : "positive"},
              {"precursor_mz", optional(record.precursor_mz)},
              {"collision_energy", optional(record.collision_energy)},
              {"tic", record.tic},
              {"frame_id", optional(record.frame_id)},
              {"drift_bin", optional(record.drift_bin)},
              {"drift_time_ms", optional(record.drift_time_ms)},
              {"block", nullptr}};
  if (!record.encoding.empty()) {
    out["block"] = {{"encoding", record.encoding},   {"file", record.block_file},
                    {"format_id", record.format_id}, {"offset", record.offset},
                    {"byte_count", record.byte_count}, {"point_count", record.point_count},
                    {"mz", record.mz},               {"intensity", record.intensity}};
    if (!record.precursor_per_point.empty()) out["block"]["precursor_mz"] = record.precursor_per_point;
  }
  return out;
}

// --real --family triple-quad|ion-mobility|icpms.
int run_family(std::string_view family, const std::vector<std::string_view>& args) {
  synthetic::TripleQuadOptions quad;
  synthetic::IonMobilityOptions mobility;
  synthetic::IcpmsOptions icpms;
  std::optional<std::string> expected_path;
  std::optional<std::string_view> out_dir;
  const bool is_quad = family == "triple-quad";
  const bool is_mobility = family == "ion-mobility";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> std::string_view {
      if (i + 1 == args.size()) fail(std::string(arg) + " needs a value");
      return args[++i];
    };
    const auto count = [&] { return count_argument(value(), arg); };
    // Options of one family only; any other is refused.
    const auto is = [&](std::string_view name, bool applies) { return arg == name && applies; };
    if (arg == "--real") continue;
    if (arg == "--family") {
      (void)value();
    } else if (arg == "--seed") {
      quad.seed = mobility.seed = icpms.seed = count();
    } else if (arg == "--expected") {
      expected_path = std::string(value());
    } else if (is("--mrm", is_quad)) {
      quad.mrm_records = count();
    } else if (is("--precursors", is_quad)) {
      quad.mrm_precursors = count();
    } else if (is("--transitions-per-record", is_quad)) {
      quad.transitions_per_record = count();
    } else if (is("--sim", is_quad)) {
      quad.sim_records = count();
    } else if (is("--sim-ions", is_quad)) {
      quad.sim_ions = count();
    } else if (is("--count-profiles", is_quad)) {
      quad.count_profiles = count();
    } else if (is("--abundance-profiles", is_quad)) {
      quad.abundance_profiles = count();
    } else if (is("--segments", is_quad)) {
      quad.time_segments = count();
    } else if (is("--negative", is_quad)) {
      quad.negative = true;
    } else if (is("--points", is_quad || is_mobility)) {
      quad.points = mobility.points = count();
    } else if (is("--frames", is_mobility)) {
      mobility.frames = count();
    } else if (is("--drift-bins", is_mobility)) {
      mobility.drift_bins = count();
    } else if (is("--empty-frame-sum", is_mobility)) {
      mobility.empty_frame_sum = true;
    } else if (is("--ms2-frames", is_mobility)) {
      mobility.ms2_frames = true;
    } else if (is("--scans", !is_quad && !is_mobility)) {
      icpms.scans = count();
    } else if (is("--channels", !is_quad && !is_mobility)) {
      icpms.channels = count();
    } else if (is("--transitions", !is_quad && !is_mobility)) {
      icpms.transitions = true;
    } else if (!arg.starts_with("-") && !out_dir) {
      out_dir = arg;
    } else {
      fail("unexpected argument \"" + std::string(arg) + "\" for --family " + std::string(family) + "\n" +
           std::string(USAGE));
    }
  }
  if (!out_dir) fail("--real needs OUT_DIR\n" + std::string(USAGE));

  std::ofstream expected;
  bool first = true;
  synthetic::FamilyRecordSink sink;
  if (expected_path) {
    expected.open(*expected_path, std::ios::binary | std::ios::trunc);
    if (!expected) fail("cannot create " + *expected_path);
    expected << "{\"records\": [";
    sink = [&](const synthetic::FamilyRecord& record) {
      expected << (first ? "\n" : ",\n") << family_record_json(record).dump();
      first = false;
    };
  }
  const std::string folder(*out_dir);
  const synthetic::FamilyFacts facts = is_quad       ? synthetic::write_triple_quad_acquisition(folder, quad, sink)
                                       : is_mobility ? synthetic::write_ion_mobility_acquisition(folder, mobility, sink)
                                                     : synthetic::write_icpms_acquisition(folder, icpms, sink);
  if (expected_path) {
    const json summary = {{"family", family},
                          {"layout_word", facts.layout_word},
                          {"record_stride", facts.record_stride},
                          {"data_offset", facts.data_offset},
                          {"record_count", facts.record_count},
                          {"frame_count", facts.frame_count}};
    expected << "\n], " << summary.dump().substr(1) << '\n';
    expected.close();
    if (!expected) fail("cannot write " + *expected_path);
  }
  return 0;
}

// --real: parses the options, writes the acquisition and, when asked, the expected values
// (one scan at a time, so a large acquisition never sits in memory).
int run_real(const std::vector<std::string_view>& args) {
  synthetic::RealLayoutOptions options;
  bool bench = false;
  std::optional<double> scale;
  std::optional<synthetic::RecordFamily> family;
  std::optional<synthetic::ProfileEncoding> encoding;
  std::optional<std::size_t> scans, points, ms2;
  std::optional<std::uint64_t> seed;
  bool no_scan_calibration = false;
  bool ms2_profiles = false;
  bool wide_counts = false;
  std::optional<std::string> expected_path;
  std::optional<std::string_view> out_dir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--real") continue;
    const auto value = [&]() -> std::string_view {
      if (i + 1 == args.size()) fail(std::string(arg) + " needs a value");
      return args[++i];
    };
    if (arg == "--bench") {
      bench = true;
    } else if (arg == "--scale") {
      scale = scale_argument(value());
    } else if (arg == "--family") {
      const std::string_view text = value();
      if (text == "triple-quad" || text == "ion-mobility" || text == "icpms") {
        if (bench) fail("--bench writes the time-of-flight layout only");
        return run_family(text, args);
      }
      if (text == "256") {
        family = synthetic::RecordFamily::bytes_256;
      } else if (text == "274") {
        family = synthetic::RecordFamily::bytes_274;
      } else {
        fail("--family: expected 256, 274, triple-quad, ion-mobility or icpms, got \"" + std::string(text) + "\"");
      }
    } else if (arg == "--encoding") {
      const std::string_view text = value();
      if (text == "lzf") {
        encoding = synthetic::ProfileEncoding::lzf;
      } else if (text == "run-length") {
        encoding = synthetic::ProfileEncoding::run_length;
      } else {
        fail("--encoding: expected lzf or run-length, got \"" + std::string(text) + "\"");
      }
    } else if (arg == "--no-scan-calibration") {
      no_scan_calibration = true;
    } else if (arg == "--ms2-profiles") {
      ms2_profiles = true;
    } else if (arg == "--wide-counts") {
      wide_counts = true;
    } else if (arg == "--scans") {
      scans = count_argument(value(), arg);
    } else if (arg == "--points") {
      points = count_argument(value(), arg);
    } else if (arg == "--ms2") {
      ms2 = count_argument(value(), arg);
    } else if (arg == "--seed") {
      seed = count_argument(value(), arg);
    } else if (arg == "--expected") {
      expected_path = std::string(value());
    } else if (!arg.starts_with("-") && !out_dir) {
      out_dir = arg;
    } else {
      fail("unexpected argument \"" + std::string(arg) + "\"\n" + std::string(USAGE));
    }
  }
  if (!out_dir) fail("--real needs OUT_DIR\n" + std::string(USAGE));
  if (scale && !bench) fail("--scale goes with --bench");
  if (bench) options = synthetic::real_bench_options(scale.value_or(1.0));
  if (family) options.family = *family;
  if (encoding) options.encoding = *encoding;
  if (no_scan_calibration) options.scan_calibration = false;
  if (ms2_profiles) options.ms2_profiles = true;
  if (wide_counts) options.wide_counts = true;
  if (scans) options.profile_scans = *scans;
  if (points) options.points = *points;
  if (ms2) options.ms2_scans = *ms2;
  if (seed) options.seed = *seed;
  if (options.profile_scans + options.ms2_scans == 0) fail("--real needs at least one scan");

  std::ofstream expected;
  bool first_scan = true;
  synthetic::WrittenScanSink sink;
  if (expected_path) {
    expected.open(*expected_path, std::ios::binary | std::ios::trunc);
    if (!expected) fail("cannot create " + *expected_path);
    expected << "{\"scans\": [";
    sink = [&](const synthetic::WrittenScan& scan) {
      expected << (first_scan ? "\n" : ",\n") << scan_json(scan).dump();
      first_scan = false;
    };
  }
  const synthetic::RealAcquisitionFacts facts = synthetic::write_real_acquisition(std::string(*out_dir), options, sink);
  if (expected_path) {
    const json summary = {{"family", static_cast<std::uint32_t>(options.family)},
                          {"encoding", options.encoding == synthetic::ProfileEncoding::lzf ? "lzf" : "run-length"},
                          {"scan_calibration", options.scan_calibration},
                          {"ms2_profiles", options.ms2_profiles},
                          {"wide_counts", options.wide_counts},
                          {"record_stride", facts.record_stride},
                          {"data_offset", facts.data_offset},
                          {"descriptors_per_record", facts.descriptors_per_record},
                          {"scan_count", facts.scan_count},
                          {"calibration_id", facts.calibration_id},
                          {"default_calibration", calibration_json(facts.default_calibration)}};
    // The summary's members follow the scans in the same object.
    const std::string members = summary.dump();
    expected << "\n], " << members.substr(1) << '\n';
    expected.close();
    if (!expected) fail("cannot write " + *expected_path);
  }
  return 0;
}

int run(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && !args[0].starts_with("-")) {
    synthetic::write_acquisition(std::string(args[0]), synthetic::demo_acquisition());
    return 0;
  }
  if (args.size() == 3 && args[0] == "--json") {
    synthetic::write_acquisition(std::string(args[2]), acquisition_value(read_description(std::string(args[1]))));
    return 0;
  }
  if (std::find(args.begin(), args.end(), "--real") != args.end()) return run_real(args);
  if (!args.empty() && args[0] == "--bench") {
    std::optional<std::size_t> profile_scans, points, ms2_scans;
    std::uint64_t seed = 1;
    std::optional<std::string_view> out_dir;
    for (std::size_t i = 1; i < args.size(); ++i) {
      const std::string_view arg = args[i];
      const bool takes_value = arg == "--profile-scans" || arg == "--points" || arg == "--ms2-scans" || arg == "--seed";
      if (takes_value) {
        if (i + 1 == args.size()) fail(std::string(arg) + " needs a value");
        const std::size_t value = count_argument(args[++i], arg);
        if (arg == "--profile-scans") profile_scans = value;
        if (arg == "--points") points = value;
        if (arg == "--ms2-scans") ms2_scans = value;
        if (arg == "--seed") seed = value;
      } else if (!arg.starts_with("-") && !out_dir) {
        out_dir = arg;
      } else {
        fail("unexpected argument \"" + std::string(arg) + "\"\n" + std::string(USAGE));
      }
    }
    if (!profile_scans || !points || !ms2_scans || !out_dir) {
      fail("--bench needs --profile-scans, --points, --ms2-scans and OUT_DIR\n" + std::string(USAGE));
    }
    if (*profile_scans + *ms2_scans == 0) fail("--bench needs at least one scan");
    synthetic::write_acquisition(std::string(*out_dir),
                                 synthetic::benchmark_acquisition(*profile_scans, *points, *ms2_scans, seed));
    return 0;
  }
  fail(std::string(USAGE));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::string message = error.what();
    if (!message.empty() && message.back() == '\n') message.pop_back();
    std::cerr << "vornak-make-sample: " << message << '\n';
    return 1;
  }
}
