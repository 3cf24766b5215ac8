// The acquisition's time segments (MSTS.xml) and, for ICP-MS runs whose channel values are
// indices, the channel transitions of MSTS_XAddition.xml (beside AcqData).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

struct TimeSegment {
  std::int64_t id = 0;                  // TimeSegmentID, as the scan records name it
  std::optional<double> start_min;      // StartTime
  std::optional<double> end_min;        // EndTime
  std::optional<std::int64_t> scans;    // NumOfScans
};

// The TimeSegment elements of MSTS.xml in document order. A document that is not XML, or a
// segment without a numeric TimeSegmentID, is a Parse error naming MSTS.xml.
[[nodiscard]] Result<std::vector<TimeSegment>> parse_time_segments(ByteView document);

// One channel of an ICP-MS MS/MS run: channel index -> first quadrupole and product m/z.
struct ChannelTransition {
  std::int64_t index = 0;     // Index
  double precursor_mz = 0.0;  // PrecursorIonMZ
  double product_mz = 0.0;    // ProductIonMZ
};

// Every MSTS_XAddition_IndexedMasses element of the document (at any depth), in document order.
// An element without a numeric Index, PrecursorIonMZ or ProductIonMZ, or two with one index, is a
// Parse error naming MSTS_XAddition.xml.
[[nodiscard]] Result<std::vector<ChannelTransition>> parse_channel_transitions(ByteView document);

}  // namespace vornak
