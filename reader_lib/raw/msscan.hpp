// The scan index, MSScan.bin: a header and fixed-size records, one per scan, whose size is
// detected from a short list of known layouts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

inline constexpr std::uint32_t MSSCAN_MAGIC = 257;
inline constexpr std::size_t MSSCAN_HEADER_LEN = 92;
// Known record layouts, in the order stride detection tries them.
inline constexpr std::uint32_t MSSCAN_STRIDES[] = {284, 220, 216, 196, 186};

struct ScanRecord {
  std::uint32_t scan_id = 0;
  double retention_time_min = 0.0;
  std::uint32_t ms_level = 0;
  std::optional<std::uint32_t> mrm_channel;    // layouts 186 and 196
  std::optional<double> precursor_mz;          // layouts 216, 220, 284 at MS level 2 or more
  std::optional<double> collision_energy;      // same condition as precursor_mz
  std::optional<double> mz_range_low;          // layout 284
  std::optional<double> mz_range_high;         // layout 284
  std::optional<BlockLocation> profile_block;  // format 1
  std::optional<BlockLocation> peak_block;     // format 2 or 3
};

// The start of the record area of an index held in memory, after checking the header's size,
// magic and data offset; each failure is a Parse error.
[[nodiscard]] Result<std::uint32_t> scan_index_data_offset(ByteView bytes);

struct MSScan {
  std::vector<ScanRecord> records;  // file order, never empty
  std::uint32_t data_offset = 0;
  std::uint32_t record_stride = 0;  // one of MSSCAN_STRIDES

  // Reads the whole file and parses it. Open and read failures are Io errors.
  [[nodiscard]] static Result<MSScan> from_path(const std::string& path);
  // Parses an index held in memory; malformed content is a Parse error, never a partial index.
  [[nodiscard]] static Result<MSScan> from_bytes(ByteView bytes);
};

// The record stride of a record area (the bytes after the data offset) without a schema: the
// first of MSSCAN_STRIDES that divides the area and whose second record, if any, follows the
// first (a greater scan number within 100000, MS level 1 or 2). Absent when none fits.
[[nodiscard]] std::optional<std::uint32_t> detect_record_stride(ByteView area);

}  // namespace vornak
