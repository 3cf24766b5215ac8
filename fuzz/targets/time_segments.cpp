// Fuzz target: MSTS.xml time segments and MSTS_XAddition.xml channel transitions.
//
// Input: u8 selector (even: MSTS.xml, odd: MSTS_XAddition.xml), then the document.
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/time_segments.hpp"

using namespace vornak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const bool transitions = (input.take<std::uint8_t>() & 1) != 0;
  const ByteView document = input.rest();

  if (!transitions) {
    const Result<std::vector<TimeSegment>> segments = parse_time_segments(document);
    if (!segments) FUZZ_CHECK(segments.error().message().starts_with("MSTS.xml: "));
    return 0;
  }
  const Result<std::vector<ChannelTransition>> parsed = parse_channel_transitions(document);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().message().starts_with("MSTS_XAddition.xml: "));
    return 0;
  }
  // One transition per channel index.
  std::vector<std::int64_t> indices;
  for (const ChannelTransition& transition : *parsed) indices.push_back(transition.index);
  std::ranges::sort(indices);
  FUZZ_CHECK(std::ranges::adjacent_find(indices) == indices.end());
  return 0;
}
