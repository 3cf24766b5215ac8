// Fuzz target: LZF streams made by liblzf. Any data compressed by liblzf must come back
// exactly; and a damaged stream that liblzf still decodes to exactly the expected length must
// decode to the same bytes here.
//
// Input: the data to compress. The damage to the stream is derived from the data too.
#include <lzf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/lzf.hpp"

using namespace vornak;

namespace {

// FNV-1a over the input, then xorshift steps: a repeatable stream of numbers per input.
class InputRandom {
 public:
  explicit InputRandom(ByteView data) {
    for (const std::uint8_t byte : data) state_ = (state_ ^ byte) * 0x100000001B3u;
  }
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  std::uint64_t state_ = 0xCBF29CE484222325u;
};

bool equal_bytes(const ByteBuffer& buffer, const std::uint8_t* bytes, std::size_t size) {
  return buffer.size() == size && (size == 0 || std::memcmp(buffer.data(), bytes, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > MAX_DECOMPRESSED_LEN) return 0;
  const ByteView original(data, size);

  // liblzf expands incompressible data by one byte per 32, and wants some room to spare.
  std::vector<std::uint8_t> stream(size + size / 16 + 64);
  const unsigned int stream_size = lzf_compress(data, static_cast<unsigned int>(size), stream.data(),
                                                static_cast<unsigned int>(stream.size()));
  FUZZ_CHECK(stream_size > 0);
  stream.resize(stream_size);

  const Result<ByteBuffer> decoded = decompress(stream, size);
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(equal_bytes(*decoded, data, size));

  // Expecting one byte more, the stream runs out first.
  if (size < MAX_DECOMPRESSED_LEN) {
    const Result<ByteBuffer> longer = decompress(stream, size + 1);
    FUZZ_CHECK(!longer);
    FUZZ_CHECK(longer.error().message() ==
               "LZF: decompressed length " + std::to_string(size) + " != expected " + std::to_string(size + 1));
  }

  // Expecting one byte less, decoding either fails or stops at a token boundary with a prefix.
  const Result<ByteBuffer> shorter = decompress(stream, size - 1);
  if (shorter) FUZZ_CHECK(equal_bytes(*shorter, data, size - 1));

  // Damage one to four bytes of the stream.
  InputRandom random(original);
  std::vector<std::uint8_t> damaged = stream;
  const std::uint64_t changes = 1 + random.next() % 4;
  for (std::uint64_t k = 0; k < changes; ++k) {
    const std::uint64_t choice = random.next();
    damaged[choice % damaged.size()] = static_cast<std::uint8_t>(choice >> 56);
  }
  // An output buffer of exactly the expected length: with a smaller one liblzf gives up (E2BIG).
  std::vector<std::uint8_t> expected(size);
  const unsigned int produced = lzf_decompress(damaged.data(), static_cast<unsigned int>(damaged.size()),
                                               expected.data(), static_cast<unsigned int>(size));
  const Result<ByteBuffer> ours = decompress(damaged, size);
  if (produced == size) {
    FUZZ_CHECK(ours.has_value());
    FUZZ_CHECK(equal_bytes(*ours, expected.data(), size));
  }
  if (ours) FUZZ_CHECK(ours->size() == size);
  return 0;
}
