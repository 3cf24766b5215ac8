// Fuzz target: reading the first device of a Devices.xml document.
//
// Input: the document's bytes.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/metadata_checks.hpp"
#include "reader_lib/raw/metadata.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView document(data, size);
  const std::optional<DeviceInfo> device = parse_devices_xml_text(document);
  if (device) {
    FUZZ_CHECK(fuzz::is_trimmed_text(device->name));
    FUZZ_CHECK(fuzz::is_trimmed_text(device->model_number));
  }
  std::vector<std::uint8_t> with_mark;
  if (fuzz::prefix_byte_order_mark(document, with_mark)) FUZZ_CHECK(parse_devices_xml_text(with_mark) == device);
  return 0;
}
