// Fuzz target: reading the acquisition time of a Contents.xml document.
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
  const std::optional<std::string> time = parse_acquired_time_text(document);
  if (time) FUZZ_CHECK(fuzz::is_trimmed_text(*time));
  std::vector<std::uint8_t> with_mark;
  if (fuzz::prefix_byte_order_mark(document, with_mark)) FUZZ_CHECK(parse_acquired_time_text(with_mark) == time);
  return 0;
}
