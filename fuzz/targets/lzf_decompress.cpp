// Fuzz target: LZF decompression, compared with a decoder that follows the stream format one
// byte at a time.
//
// Input: u32 expected length (little-endian), then the LZF stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/lzf.hpp"

using namespace vornak;

namespace {

struct Outcome {
  std::vector<std::uint8_t> bytes;
  std::string error;  // empty on success
};

Outcome failure(std::string message) { return {{}, std::move(message)}; }

// The stream format taken literally: one token at a time, one byte at a time, every check in
// the order the decoder must make them. It shares no code with the decoder under test.
Outcome decode_slowly(ByteView in, std::uint64_t expected_length) {
  if (expected_length > MAX_DECOMPRESSED_LEN) {
    return failure("LZF: expected decompressed length " + std::to_string(expected_length) + " exceeds cap of " +
                   std::to_string(MAX_DECOMPRESSED_LEN));
  }
  std::vector<std::uint8_t> out;  // grows with the output, so a long claim costs nothing here
  std::size_t at = 0;
  while (at < in.size() && out.size() < expected_length) {
    const std::size_t control = in[at++];
    if (control < 0x20) {
      const std::size_t run = control + 1;
      if (run > in.size() - at || run > expected_length - out.size()) return failure("LZF: literal run out of bounds");
      out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                 in.begin() + static_cast<std::ptrdiff_t>(at + run));
      at += run;
      continue;
    }
    const std::size_t high_part = (control & 0x1F) << 8;
    if (out.size() <= high_part) return failure("LZF: invalid back reference");
    std::size_t length = control >> 5;
    if (length == 7) {
      if (at >= in.size()) return failure("LZF: truncated length byte");
      length += in[at++];
    }
    if (at >= in.size()) return failure("LZF: truncated reference byte");
    const std::size_t distance = high_part + in[at++] + 1;
    if (distance > out.size()) return failure("LZF: invalid back reference");
    length += 2;
    if (length > expected_length - out.size()) return failure("LZF: match run exceeds output bounds");
    for (std::size_t k = 0; k < length; ++k) out.push_back(out[out.size() - distance]);
  }
  if (out.size() != expected_length) {
    return failure("LZF: decompressed length " + std::to_string(out.size()) + " != expected " +
                   std::to_string(expected_length));
  }
  return {std::move(out), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto expected_length = input.take<std::uint32_t>();
  const ByteView stream = input.rest();

  const Result<ByteBuffer> result = decompress(stream, expected_length);
  const Outcome reference = decode_slowly(stream, expected_length);
  if (!result) {
    FUZZ_CHECK(result.error().kind() == Error::Kind::Parse);
    FUZZ_CHECK(result.error().message() == reference.error);
    return 0;
  }
  FUZZ_CHECK(reference.error.empty());
  FUZZ_CHECK(result->size() == expected_length);
  FUZZ_CHECK(result->size() == reference.bytes.size());
  FUZZ_CHECK(result->empty() || std::memcmp(result->data(), reference.bytes.data(), result->size()) == 0);
  return 0;
}
