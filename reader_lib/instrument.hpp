// Naming the instrument: a model name and its PSI-MS accession, from Devices.xml or, failing
// that, from the scan index's record layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/raw/msscan.hpp"

namespace vornak {

struct InstrumentInfo {
  std::string model_name;      // e.g. "6530B Q-TOF LC/MS"
  std::string_view accession;  // static text, "MS:" and seven digits

  friend bool operator==(const InstrumentInfo&, const InstrumentInfo&) = default;
};

// The identification from an optional first device and the detected record stride.
[[nodiscard]] InstrumentInfo identify_instrument(const std::optional<DeviceInfo>& device,
                                                 std::uint32_t record_stride);

// Reads Devices.xml in the AcqData folder and identifies the instrument. Never fails.
[[nodiscard]] InstrumentInfo resolve_instrument(const std::string& acqdata_path, const MSScan& scan_index);
// The same for a record layout of the given stride, however it was found.
[[nodiscard]] InstrumentInfo resolve_instrument(const std::string& acqdata_path, std::uint32_t record_stride);

}  // namespace vornak
