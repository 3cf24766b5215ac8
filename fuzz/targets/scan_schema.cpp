// Fuzz target: laying out a scan record from an MSScan.xsd document.
//
// Input: u32 block descriptor count, then the document's bytes. Records without a descriptor
// element (flat, as ion-mobility runs write them) are laid out too.
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/scan_layout.hpp"

using namespace vornak;

namespace {

// Each slot lies in [begin, end), after the one before it.
void check_region(const std::vector<FieldSlot>& slots, std::uint64_t begin, std::uint64_t end) {
  std::uint64_t next = begin;
  for (const FieldSlot& slot : slots) {
    FUZZ_CHECK(!slot.name.empty());
    FUZZ_CHECK(slot.offset >= next);
    next = std::uint64_t{slot.offset} + field_size(slot.type);
    FUZZ_CHECK(next <= end);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto descriptor_count = input.take<std::uint32_t>();
  const ByteView document = input.rest();

  const Result<RecordLayout> layout = parse_scan_schema(document, descriptor_count);
  if (!layout) {
    const std::string_view message = layout.error().message();
    FUZZ_CHECK(layout.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(message.starts_with("MSScan.xsd: ") || message.starts_with("MSScan.bin: "));
    return 0;
  }

  FUZZ_CHECK(layout->source == LayoutSource::Schema);
  if (layout->flat()) {
    // No descriptor element: every field a scan field, whatever the count said.
    FUZZ_CHECK(layout->descriptor_count == 0);
    FUZZ_CHECK(layout->block_fields.empty() && layout->trailing_fields.empty());
    FUZZ_CHECK(layout->trailing_size == 0);
    FUZZ_CHECK(layout->scan_fields_size > 0 && layout->scan_fields_size <= 65536);
    FUZZ_CHECK(layout->stride() == layout->scan_fields_size);
    check_region(layout->scan_fields, 0, layout->scan_fields_size);
    const std::vector<std::uint8_t> record(layout->stride(), 0);
    for (const FieldSlot& slot : layout->scan_fields) {
      FUZZ_CHECK(as_double(read_field(record, slot)) == 0.0);
      FUZZ_CHECK(layout->scan_field(slot.name) == &slot);
    }
    return 0;
  }
  FUZZ_CHECK(layout->descriptor_count == descriptor_count);
  FUZZ_CHECK(descriptor_count >= 1 && descriptor_count <= 16);
  FUZZ_CHECK(layout->descriptor_size > 0);
  const std::uint64_t descriptors_end =
      std::uint64_t{layout->scan_fields_size} + std::uint64_t{descriptor_count} * layout->descriptor_size;
  const std::uint64_t stride = descriptors_end + layout->trailing_size;
  FUZZ_CHECK(stride <= 65536);
  FUZZ_CHECK(layout->stride() == stride);
  check_region(layout->scan_fields, 0, layout->scan_fields_size);
  check_region(layout->block_fields, 0, layout->descriptor_size);
  check_region(layout->trailing_fields, descriptors_end, stride);

  // Every field of every descriptor reads from a record of exactly the stride's length.
  const std::vector<std::uint8_t> record(stride, 0);
  const ByteView bytes(record);
  for (const auto* slots : {&layout->scan_fields, &layout->trailing_fields}) {
    for (const FieldSlot& slot : *slots) {
      FUZZ_CHECK(as_double(read_field(bytes, slot)) == 0.0);
      FUZZ_CHECK(layout->scan_field(slot.name) == &slot || layout->trailing_field(slot.name) == &slot);
    }
  }
  for (std::uint32_t index = 0; index < descriptor_count; ++index) {
    const ByteView descriptor = bytes.subspan(layout->descriptor_offset(index), layout->descriptor_size);
    for (const FieldSlot& slot : layout->block_fields) {
      FUZZ_CHECK(as_integer(read_field(descriptor, slot)) == 0);
      FUZZ_CHECK(layout->block_field(slot.name) == &slot);
    }
  }
  return 0;
}
