// Fuzz target: an ion-mobility frame table, IMSFrame.bin laid out by IMSFrame.xsd, with the
// frame methods of IMSFrameMeth.xml; the frame schema is also laid out alone.
//
// Input: u32 schema length, the schema; u32 methods length (0xFFFFFFFF: no IMSFrameMeth.xml),
// the methods document; then IMSFrame.bin.
#include <cstdint>
#include <optional>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/ims_frames.hpp"
#include "reader_lib/raw/scan_layout.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const ByteView schema = input.take_bytes(input.take<std::uint32_t>());
  const auto methods_length = input.take<std::uint32_t>();
  std::optional<ByteView> methods;
  if (methods_length != 0xFFFFFFFFu) methods = input.take_bytes(methods_length);
  const ByteView frames = input.rest();

  const Result<RecordLayout> layout = parse_frame_schema(schema);
  if (layout) {
    FUZZ_CHECK(layout->flat() && layout->descriptor_count == 0 && layout->block_fields.empty());
    FUZZ_CHECK(layout->stride() == layout->scan_fields_size && layout->stride() > 0);
  } else {
    FUZZ_CHECK(layout.error().message().starts_with("IMSFrame.xsd: "));
  }

  const Result<FrameTable> table = FrameTable::read(frames, schema, methods);
  if (!table) {
    const std::string_view message = table.error().message();
    FUZZ_CHECK(message.starts_with("IMSFrame.xsd: ") || message.starts_with("IMSFrame.bin: ") ||
               message.starts_with("IMSFrameMeth.xml: "));
    return 0;
  }
  FUZZ_CHECK(layout.has_value());  // a table needs its schema
  const std::uint32_t first = load_le<std::uint32_t>(frames.data() + 0x48);
  FUZZ_CHECK(table->frames().size() == (frames.size() - first) / layout->stride());
  for (std::size_t k = 0; k < table->frames().size(); ++k) {
    const FrameRecord& frame = table->frames()[k];
    FUZZ_CHECK(frame.ms_level == 1 || frame.ms_level == 2);
    FUZZ_CHECK(frame.ms_level == 2 || !frame.isolation_mz);
    // find() gives the first frame of that id.
    const std::optional<std::size_t> found = table->find(frame.frame_id);
    FUZZ_CHECK(found && *found <= k && table->frames()[*found].frame_id == frame.frame_id);
    const FrameMethod* method = table->method(frame.method_id);
    FUZZ_CHECK(method == nullptr || method->id == frame.method_id);
  }
  return 0;
}
