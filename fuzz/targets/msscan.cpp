// Fuzz target: the scan index parser on arbitrary bytes.
//
// Input: the whole of an MSScan.bin.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/msscan.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  const Result<MSScan> index = MSScan::from_bytes(bytes);
  if (!index) {
    const std::string_view message = index.error().message();
    FUZZ_CHECK(index.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(message == "MSScan.bin too small for header" || message.starts_with("Invalid MSScan magic: ") ||
               message == "MSScan.bin truncated header" ||
               message.starts_with("Cannot determine record stride for payload len "));
    return 0;
  }

  // The records tile the area after the data offset exactly, in one of the known layouts.
  FUZZ_CHECK(!index->records.empty());
  FUZZ_CHECK(std::ranges::find(MSSCAN_STRIDES, index->record_stride) != std::end(MSSCAN_STRIDES));
  FUZZ_CHECK(index->data_offset <= size);
  FUZZ_CHECK(index->records.size() * index->record_stride == size - index->data_offset);

  for (const ScanRecord& record : index->records) {
    if (record.profile_block) {
      FUZZ_CHECK(record.profile_block->format_id == PROFILE_FORMAT_ID);
      FUZZ_CHECK(record.profile_block->uncompressed_byte_count.has_value());
    }
    if (record.peak_block) {
      FUZZ_CHECK(record.peak_block->format_id == PEAK_FORMAT_SPLIT ||
                 record.peak_block->format_id == PEAK_FORMAT_INTERLEAVED);
      FUZZ_CHECK(!record.peak_block->uncompressed_byte_count.has_value());
    }
    // Only the widest layout has room for two descriptors and an m/z range.
    if (index->record_stride != 284) {
      FUZZ_CHECK(!(record.profile_block && record.peak_block));
      FUZZ_CHECK(!record.mz_range_low && !record.mz_range_high);
    }
    FUZZ_CHECK(record.precursor_mz.has_value() == record.collision_energy.has_value());
    if (record.precursor_mz) FUZZ_CHECK(record.ms_level >= 2);
  }
  return 0;
}
