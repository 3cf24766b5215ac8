// Naming the instrument from the first device's model number, or from the scan index's record
// layout when Devices.xml yields no device.
#include "reader_lib/instrument.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "reader_lib/paths.hpp"

namespace vornak {
namespace {

struct KnownModel {
  std::string_view model_number;
  std::string_view accession;
  std::string_view model_name;
};

// Searched in this order; the first match wins.
constexpr KnownModel KNOWN_MODELS[] = {
    {"G6410A", "MS:1003526", "6410A Triple Quadrupole LC/MS"},
    {"G6530A", "MS:1002786", "6530A Q-TOF LC/MS"},
    {"G6530B", "MS:1002787", "6530B Q-TOF LC/MS"},
    {"G6550A", "MS:1002784", "6550A iFunnel Q-TOF LC/MS"},
};

constexpr std::string_view UNKNOWN_MODEL_NAME = "Agilent instrument model";
constexpr std::string_view UNKNOWN_MODEL_ACCESSION = "MS:1000490";
constexpr std::string_view NO_DEVICE_ACCESSION = "MS:1000461";

// The 220- and 284-byte record layouts come from Q-TOF instruments, the shorter ones from
// triple quadrupoles.
constexpr std::uint32_t LARGEST_QQQ_STRIDE = 219;

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Same length and same bytes, except that ASCII letters compare without case.
constexpr bool equal_ignoring_ascii_case(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (ascii_lower(left[i]) != ascii_lower(right[i])) return false;
  }
  return true;
}

}  // namespace

InstrumentInfo identify_instrument(const std::optional<DeviceInfo>& device, std::uint32_t record_stride) {
  if (!device) {
    if (record_stride > LARGEST_QQQ_STRIDE) return {"Agilent Q-TOF", NO_DEVICE_ACCESSION};
    return {"Agilent QQQ", NO_DEVICE_ACCESSION};
  }
  for (const KnownModel& model : KNOWN_MODELS) {
    if (equal_ignoring_ascii_case(device->model_number, model.model_number)) {
      return {std::string(model.model_name), model.accession};
    }
  }
  return {std::string(UNKNOWN_MODEL_NAME), UNKNOWN_MODEL_ACCESSION};
}

InstrumentInfo resolve_instrument(const std::string& acqdata_path, std::uint32_t record_stride) {
  return identify_instrument(parse_devices_xml(join_path(acqdata_path, "Devices.xml")), record_stride);
}

InstrumentInfo resolve_instrument(const std::string& acqdata_path, const MSScan& scan_index) {
  return resolve_instrument(acqdata_path, scan_index.record_stride);
}

}  // namespace vornak
