// Parsing of the scan index: header checks, record stride detection, record decoding.
#include "reader_lib/raw/msscan.hpp"

#include <string>

#include "reader_lib/raw/file_read.hpp"

namespace vornak {
namespace {

constexpr std::size_t MAGIC_OFFSET = 0;        // u32, must be MSSCAN_MAGIC
constexpr std::size_t DATA_OFFSET_OFFSET = 88;  // u32, start of the record area
constexpr std::uint32_t SCAN_ID_WINDOW = 100000;

// The second record must look like a successor of the first for a stride to be believed.
bool second_record_follows(ByteView area, std::uint32_t stride) {
  const std::uint32_t first_scan = field_at<std::uint32_t>(area, 0);
  const std::uint32_t second_scan = field_at<std::uint32_t>(area, stride);      // scan_id
  const std::uint16_t second_level = field_at<std::uint16_t>(area, stride + 20);  // ms_level
  // The window's upper end is taken in 64 bits, so a first scan number near 2^32 does not wrap.
  const std::uint64_t upper = std::uint64_t{first_scan} + SCAN_ID_WINDOW;
  return (second_level == 1 || second_level == 2) && first_scan < second_scan && second_scan < upper;
}

// Reads one descriptor into the record's profile or peak block; other formats are skipped.
// Wide descriptors have a 32-bit format number, packed ones a 16-bit one, and everything
// after it moves up accordingly.
template <typename FormatField, std::size_t Extent>
void read_descriptor(std::span<const std::uint8_t, Extent> descriptor, ScanRecord& record) {
  constexpr std::size_t F = sizeof(FormatField);
  BlockLocation block;
  block.format_id = field_at<FormatField, 0>(descriptor);
  if (block.format_id != PROFILE_FORMAT_ID && block.format_id != PEAK_FORMAT_SPLIT &&
      block.format_id != PEAK_FORMAT_INTERLEAVED) {
    return;
  }
  block.offset = field_at<std::uint64_t, F>(descriptor);           // F: offset
  block.byte_count = field_at<std::uint32_t, F + 8>(descriptor);   // F + 8: byte_count
  block.point_count = field_at<std::uint32_t, F + 12>(descriptor);  // F + 12: point_count
  if (block.format_id == PROFILE_FORMAT_ID) {
    block.uncompressed_byte_count = field_at<std::uint32_t, F + 16>(descriptor);  // F + 16
    record.profile_block = block;
  } else {
    record.peak_block = block;
  }
}

template <std::size_t Offset, std::size_t Stride>
void read_wide_descriptor(std::span<const std::uint8_t, Stride> bytes, ScanRecord& record) {
  read_descriptor<std::uint32_t>(bytes.template subspan<Offset, 24>(), record);
}

template <std::size_t Stride>
ScanRecord decode_record(std::span<const std::uint8_t, Stride> bytes) {
  ScanRecord record;
  record.scan_id = field_at<std::uint32_t, 0>(bytes);                 // 0: scan_id
  record.retention_time_min = field_at<double, 12>(bytes);            // 12: minutes
  record.ms_level = field_at<std::uint16_t, 20>(bytes);               // 20: ms_level
  if constexpr (Stride == 186 || Stride == 196) {
    record.mrm_channel = field_at<std::uint32_t, 4>(bytes);           // 4: mrm_channel
  }
  if constexpr (Stride == 216 || Stride == 220 || Stride == 284) {
    if (record.ms_level >= 2) {
      record.collision_energy = field_at<double, 76>(bytes);          // 76: collision energy
      record.precursor_mz = field_at<double, 84>(bytes);              // 84: precursor m/z
    }
  }
  if constexpr (Stride == 284) {
    record.mz_range_low = field_at<double, 244>(bytes);               // 244: m/z range low
    record.mz_range_high = field_at<double, 252>(bytes);              // 252: m/z range high
  }
  if constexpr (Stride == 186) {
    read_descriptor<std::uint16_t>(bytes.template subspan<136, 22>(), record);  // 136: packed
  } else if constexpr (Stride == 196) {
    read_wide_descriptor<144>(bytes, record);
  } else if constexpr (Stride == 216) {
    read_wide_descriptor<152>(bytes, record);
  } else {
    read_wide_descriptor<156>(bytes, record);
    if constexpr (Stride == 284) read_wide_descriptor<220>(bytes, record);
  }
  return record;
}

// Decodes every record of the area with one layout:
//   for each record start R = 0, S, 2S, ... < area size: records += decode(area[R, R + S))
template <std::size_t Stride>
std::vector<ScanRecord> decode_records(ByteView area) {
  std::vector<ScanRecord> records;
  records.reserve(area.size() / Stride);
  for (std::size_t start = 0; start < area.size(); start += Stride) {
    records.push_back(decode_record(area.subspan(start).first<Stride>()));
  }
  return records;
}

std::vector<ScanRecord> decode_records(ByteView area, std::uint32_t stride) {
  switch (stride) {
    case 284: return decode_records<284>(area);
    case 220: return decode_records<220>(area);
    case 216: return decode_records<216>(area);
    case 196: return decode_records<196>(area);
    default: return decode_records<186>(area);
  }
}

}  // namespace

std::optional<std::uint32_t> detect_record_stride(ByteView area) {
  if (area.size() < 4) return std::nullopt;
  for (const std::uint32_t stride : MSSCAN_STRIDES) {
    if (area.size() % stride != 0) continue;
    if (area.size() == stride || second_record_follows(area, stride)) return stride;
  }
  return std::nullopt;
}

Result<std::uint32_t> scan_index_data_offset(ByteView bytes) {
  if (bytes.size() < MSSCAN_HEADER_LEN) return std::unexpected(Error::parse("MSScan.bin too small for header"));
  const std::uint32_t magic = field_at<std::uint32_t>(bytes, MAGIC_OFFSET);
  if (magic != MSSCAN_MAGIC) return std::unexpected(Error::parse("Invalid MSScan magic: " + std::to_string(magic)));
  const std::uint32_t data_offset = field_at<std::uint32_t>(bytes, DATA_OFFSET_OFFSET);
  if (bytes.size() < data_offset) return std::unexpected(Error::parse("MSScan.bin truncated header"));
  return data_offset;
}

Result<MSScan> MSScan::from_bytes(ByteView bytes) {
  const auto header = scan_index_data_offset(bytes);
  if (!header) return std::unexpected(header.error());
  const std::uint32_t data_offset = *header;

  const ByteView area = bytes.subspan(data_offset);
  const auto stride = detect_record_stride(area);
  if (!stride) {
    return std::unexpected(
        Error::parse("Cannot determine record stride for payload len " + std::to_string(area.size())));
  }
  MSScan scan;
  scan.records = decode_records(area, *stride);
  scan.data_offset = data_offset;
  scan.record_stride = *stride;
  return scan;
}

Result<MSScan> MSScan::from_path(const std::string& path) {
  const auto contents = read_file(path);
  if (!contents) return std::unexpected(contents.error());
  return from_bytes(*contents);
}

}  // namespace vornak
