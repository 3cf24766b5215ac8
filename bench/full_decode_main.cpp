// vornak-bench-full-decode FOLDER REPEATS: the full reader's decode of every spectrum of an
// acquisition, in C++ alone, on one thread: the floor that vornak_ms's arrays are compared with.
//
// The folder is opened once; each repetition decodes Acquisition::spectrum(i) for every scan and
// drops it (one untimed warm-up pass first). Output: one JSON line, "full_decode", with the
// points decoded per pass as "bytes" (bench_support.hpp's report).
#include <cstdint>
#include <string>

#include "bench/bench_support.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::bench {
namespace {

volatile double sink = 0.0;

std::uint64_t decode_all(const Acquisition& acquisition) {
  std::uint64_t points = 0;
  double seen = 0.0;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    const auto spectrum = acquisition.spectrum(index);
    if (!spectrum) fail("scan " + std::to_string(index) + ": " + spectrum.error().display());
    points += spectrum->mz.size();
    if (!spectrum->mz.empty()) seen += spectrum->mz.back() + spectrum->intensity.back();
  }
  sink = seen;
  return points;
}

int run(int argc, char** argv) {
  if (argc != 3) fail("usage: vornak-bench-full-decode FOLDER REPEATS");
  const unsigned repeats = parse_count(argv[2], "repeat count");
  const auto acquisition = Acquisition::open(argv[1]);
  if (!acquisition) fail(std::string(argv[1]) + ": " + acquisition.error().display());
  const std::uint64_t points = decode_all(*acquisition);
  Samples samples;
  for (unsigned repeat = 0; repeat < repeats; ++repeat) {
    const Stopwatch stopwatch;
    decode_all(*acquisition);
    samples.add(stopwatch);
  }
  report("full_decode", samples, points);
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
