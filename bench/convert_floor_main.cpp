// vornak-bench-convert-floor FOLDER REPEATS: what compressing the arrays alone costs, on one
// thread: every spectrum's m/z and intensity arrays (64-bit, as `vornak convert` writes them)
// deflated to zlib streams by libdeflate at levels 1 and 2 (the writer's level), and by zlib at
// its default level (the one psims uses).
//
// Spectra are decoded once per pass outside the clocks; only the compressor calls are timed.
// Output: one JSON line per compressor, "deflate_level_N" and "zlib_default", whose "bytes" is
// the size of the arrays' input and "packed" the size of their zlib streams.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "bench/bench_support.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::bench {
namespace {

struct Compressor {
  std::string name;
  int level = 0;
  bool zlib = false;
  libdeflate_compressor* deflater = nullptr;
  Samples samples;
  std::uint64_t packed = 0;
};

// Compresses `bytes` once; the size of the zlib stream.
std::uint64_t compress(Compressor& compressor, std::span<const unsigned char> bytes, std::vector<unsigned char>& out) {
  if (compressor.zlib) {
    uLongf length = compressBound(static_cast<uLong>(bytes.size()));
    out.resize(length);
    if (compress2(out.data(), &length, bytes.data(), static_cast<uLong>(bytes.size()), Z_DEFAULT_COMPRESSION) !=
        Z_OK) {
      fail("zlib failed");
    }
    return length;
  }
  out.resize(libdeflate_zlib_compress_bound(compressor.deflater, bytes.size()));
  const std::size_t length =
      libdeflate_zlib_compress(compressor.deflater, bytes.data(), bytes.size(), out.data(), out.size());
  if (length == 0) fail("libdeflate failed");
  return length;
}

int run(int argc, char** argv) {
  if (argc != 3) fail("usage: vornak-bench-convert-floor FOLDER REPEATS");
  const unsigned repeats = parse_count(argv[2], "repeat count");
  const auto acquisition = Acquisition::open(argv[1]);
  if (!acquisition) fail(std::string(argv[1]) + ": " + acquisition.error().display());

  std::vector<Compressor> compressors;
  for (const int level : {1, 2}) {
    compressors.push_back({"deflate_level_" + std::to_string(level), level, false, libdeflate_alloc_compressor(level),
                           {}, 0});
    if (compressors.back().deflater == nullptr) fail("libdeflate could not set up a compressor");
  }
  compressors.push_back({"zlib_default", Z_DEFAULT_COMPRESSION, true, nullptr, {}, 0});

  std::vector<unsigned char> out;
  std::uint64_t input_bytes = 0;
  std::vector<double> wall(compressors.size());
  std::vector<double> cpu(compressors.size());
  for (unsigned repeat = 0; repeat <= repeats; ++repeat) {  // pass 0 is the warm-up
    std::fill(wall.begin(), wall.end(), 0.0);
    std::fill(cpu.begin(), cpu.end(), 0.0);
    input_bytes = 0;
    for (std::size_t index = 0; index < acquisition->size(); ++index) {
      const auto spectrum = acquisition->spectrum(index);
      if (!spectrum) fail("scan " + std::to_string(index) + ": " + spectrum.error().display());
      for (const std::vector<double>* values : {&spectrum->mz, &spectrum->intensity}) {
        const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(values->data()),
                                                   values->size() * sizeof(double));
        input_bytes += bytes.size();
        for (std::size_t c = 0; c < compressors.size(); ++c) {
          const Stopwatch stopwatch;
          const std::uint64_t packed = compress(compressors[c], bytes, out);
          cpu[c] += stopwatch.cpu();
          wall[c] += stopwatch.wall();
          if (repeat == 0) compressors[c].packed += packed;
        }
      }
    }
    if (repeat == 0) continue;
    for (std::size_t c = 0; c < compressors.size(); ++c) {
      compressors[c].samples.wall.push_back(wall[c]);
      compressors[c].samples.cpu.push_back(cpu[c]);
    }
  }
  for (Compressor& compressor : compressors) {
    std::printf("{\"name\": \"%s\", \"bytes\": %llu, \"packed\": %llu", compressor.name.c_str(),
                static_cast<unsigned long long>(input_bytes), static_cast<unsigned long long>(compressor.packed));
    print_list("seconds", compressor.samples.wall);
    print_list("cpu_seconds", compressor.samples.cpu);
    std::printf("}\n");
    if (compressor.deflater != nullptr) libdeflate_free_compressor(compressor.deflater);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
