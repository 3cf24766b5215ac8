// vornak-bench-decode FOLDER REPEATS: times the decoders on the profile blocks of an acquisition.
//
// Every block is read into memory first; each repetition then runs, over all blocks:
//   lzf_ours          decompress (our LZF decoder, output buffer allocated per block)
//   lzf_liblzf        liblzf's lzf_decompress into one buffer reused for every block
//   decompress_only   decompress, the output dropped at once (the same as lzf_ours, timed
//                     next to decode_profile so the two share their noise)
//   decode_profile    decode_profile_block: decompress, counts to float32, m/z values
// The order of the pair alternates between repetitions. Before timing, liblzf and our decoder
// must agree on every block. Output: one JSON line per measurement (bench_support.hpp).
//
// The heap is set to keep what is freed (mallopt), so that each block's arrays reuse the memory
// of the block before and these timings are of the decoders. With glibc's defaults the arrays
// of decode_profile land in fresh pages for every block (the 720 KB freed at the top of the heap
// exceed its trim threshold), and the kernel's page faults make up most of the time; the same
// faults are paid by any reader that keeps its arrays, the floor included (open_vs_floor). That
// variant is measured first and reported as decompress_only_fresh and decode_profile_fresh.
#include <lzf.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/msprofile.hpp"

namespace vornak::bench {
namespace {

// A byte of every output feeds this, so no call can be dropped as unused.
volatile std::uint8_t sink = 0;

void time_ours(const std::vector<ProfileBlockBytes>& blocks, Samples& samples) {
  const Stopwatch stopwatch;
  std::uint8_t seen = 0;
  for (const ProfileBlockBytes& block : blocks) {
    const auto output = decompress(block.stream(), *block.location.uncompressed_byte_count);
    if (!output) fail("decompress failed: " + output.error().display());
    seen ^= output->data()[output->size() - 1];
  }
  samples.add(stopwatch);
  sink = seen;
}

void time_liblzf(const std::vector<ProfileBlockBytes>& blocks, std::vector<std::uint8_t>& output,
                 Samples& samples) {
  const Stopwatch stopwatch;
  std::uint8_t seen = 0;
  for (const ProfileBlockBytes& block : blocks) {
    const ByteView stream = block.stream();
    const unsigned expected = *block.location.uncompressed_byte_count;
    const unsigned written = lzf_decompress(stream.data(), static_cast<unsigned>(stream.size()), output.data(),
                                            static_cast<unsigned>(output.size()));
    if (written != expected) fail("lzf_decompress failed");
    seen ^= output[written - 1];
  }
  samples.add(stopwatch);
  sink = seen;
}

void time_decode(const std::vector<ProfileBlockBytes>& blocks, Samples& samples) {
  const Stopwatch stopwatch;
  float seen = 0.0F;
  for (const ProfileBlockBytes& block : blocks) {
    const auto arrays = decode_profile_block(block.bytes.view(), block.location, block.mz_low, block.mz_high);
    if (!arrays) fail("decode_profile_block failed: " + arrays.error().display());
    seen += arrays->intensity.back() + static_cast<float>(arrays->mz.back());
  }
  samples.add(stopwatch);
  sink = static_cast<std::uint8_t>(seen > 0.0F);
}

void check_agreement(const std::vector<ProfileBlockBytes>& blocks, std::vector<std::uint8_t>& output) {
  for (const ProfileBlockBytes& block : blocks) {
    const ByteView stream = block.stream();
    const auto ours = decompress(stream, *block.location.uncompressed_byte_count);
    const unsigned written = lzf_decompress(stream.data(), static_cast<unsigned>(stream.size()), output.data(),
                                            static_cast<unsigned>(output.size()));
    if (!ours || written != ours->size() || std::memcmp(output.data(), ours->data(), written) != 0) {
      fail("our decoder and liblzf disagree on a block at offset " + std::to_string(block.location.offset));
    }
  }
}

int run(int argc, char** argv) {
  if (argc != 3) fail("usage: vornak-bench-decode FOLDER REPEATS");
  const std::vector<ProfileBlockBytes> blocks = load_profile_blocks(argv[1]);
  const unsigned repeats = parse_count(argv[2], "REPEATS");

  std::uint64_t output_bytes = 0;
  std::uint32_t largest = 0;
  for (const ProfileBlockBytes& block : blocks) {
    output_bytes += *block.location.uncompressed_byte_count;
    largest = std::max(largest, *block.location.uncompressed_byte_count);
  }
  std::vector<std::uint8_t> liblzf_output(largest);
  check_agreement(blocks, liblzf_output);

  Samples decompress_fresh, decode_fresh;
  for (unsigned repeat = 0; repeat < 3; ++repeat) {
    time_ours(blocks, decompress_fresh);
    time_decode(blocks, decode_fresh);
  }
  report("decompress_only_fresh", decompress_fresh, output_bytes);
  report("decode_profile_fresh", decode_fresh, output_bytes);

  // Setting either value also ends glibc's own adjustment of both.
  if (mallopt(M_MMAP_THRESHOLD, 32 << 20) != 1 || mallopt(M_TRIM_THRESHOLD, 1 << 30) != 1) fail("mallopt failed");

  // One untimed pass of each, so that all start with warm caches and a settled heap.
  Samples warm_up;
  time_ours(blocks, warm_up);
  time_liblzf(blocks, liblzf_output, warm_up);
  time_decode(blocks, warm_up);

  Samples ours, liblzf, decompress_only, decode;
  for (unsigned repeat = 0; repeat < repeats; ++repeat) {
    if (repeat % 2 == 0) {
      time_ours(blocks, ours);
      time_liblzf(blocks, liblzf_output, liblzf);
      time_ours(blocks, decompress_only);
      time_decode(blocks, decode);
    } else {
      time_liblzf(blocks, liblzf_output, liblzf);
      time_ours(blocks, ours);
      time_decode(blocks, decode);
      time_ours(blocks, decompress_only);
    }
  }
  report("lzf_ours", ours, output_bytes);
  report("lzf_liblzf", liblzf, output_bytes);
  report("decompress_only", decompress_only, output_bytes);
  report("decode_profile", decode, output_bytes);
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
