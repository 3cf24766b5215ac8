// vornak-bench-convert-floor FOLDER REPEATS [--survey]: what encoding the arrays alone costs, on
// one thread: every spectrum's m/z and intensity arrays (64-bit, as `vornak convert` writes them)
// deflated to zlib streams by the compressor of each --compression choice and by zlib at its
// default level (the one psims uses), and MS-Numpress encoding alone and followed by the default
// compressor. --survey adds every level of the three libraries, to choose from.
//
// Spectra are decoded once per pass outside the clocks; only the encoder calls are timed.
// Output: one JSON line per encoder, named "fast", "default", "small", "zlib_6", "numpress",
// "numpress_default" (and "LIBRARY_LEVEL" with --survey), whose "bytes" is the size of the
// arrays' input, "packed" the size of their encoded bytes ("packed_mz" and "packed_intensity"
// apart).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "full_reader/acquisition.hpp"
#include "mzml_export/binary_array.hpp"
#include "mzml_export/deflate.hpp"
#include "mzml_export/numpress.hpp"

namespace vornak::bench {
namespace {

struct Encoder {
  std::string name;
  std::optional<ZlibDeflater> deflater;  // none: Numpress alone
  bool numpress = false;
  Samples samples;
  std::uint64_t packed[2] = {0, 0};  // m/z, intensity
};

// Encodes one array once; the size of the result.
std::uint64_t encode(Encoder& encoder, std::span<const double> values, bool is_mz, std::vector<unsigned char>& scratch,
                     std::vector<unsigned char>& out) {
  std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(values.data()),
                                       values.size() * sizeof(double));
  if (encoder.numpress) {
    scratch.clear();
    bool encoded = false;
    if (is_mz) {
      encoded = numpress::encode_linear(values, numpress::linear_fixed_point(values), scratch);
    } else if (numpress::fits_pic(values)) {
      encoded = numpress::encode_pic(values, scratch);
    } else {
      encoded = numpress::encode_slof(values, numpress::slof_fixed_point(values), scratch);
    }
    if (!encoded) fail("numpress could not encode an array");
    bytes = scratch;
  }
  if (!encoder.deflater) return bytes.size();
  if (auto packed = encoder.deflater->compress(bytes, out); !packed) fail(packed.error().display());
  return out.size();
}

int run(int argc, char** argv) {
  if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--survey") != 0)) {
    fail("usage: vornak-bench-convert-floor FOLDER REPEATS [--survey]");
  }
  const unsigned repeats = parse_count(argv[2], "repeat count");
  const auto acquisition = Acquisition::open(argv[1]);
  if (!acquisition) fail(std::string(argv[1]) + ": " + acquisition.error().display());

  std::vector<Encoder> encoders;
  const auto add = [&](std::string name, std::optional<ZlibDeflater> deflater, bool numpress) {
    encoders.push_back({std::move(name), std::move(deflater), numpress, {}, {0, 0}});
  };
  for (const auto& [name, compression] : {std::pair{"fast", Compression::Fast}, {"default", Compression::Default},
                                          {"small", Compression::Small}}) {
    const DeflateChoice choice = deflate_choice(compression);
    add(name, ZlibDeflater(choice.library, choice.level), false);
  }
  add("zlib_6", ZlibDeflater(DeflateLibrary::Zlib, 6), false);
  add("numpress", std::nullopt, true);
  const DeflateChoice standard = deflate_choice(Compression::Default);
  add("numpress_default", ZlibDeflater(standard.library, standard.level), true);
  if (argc == 4) {
    const std::pair<DeflateLibrary, std::vector<int>> levels[] = {
        {DeflateLibrary::Isal, {0, 1, 2, 3}},
        {DeflateLibrary::Libdeflate, {1, 2, 3, 4, 6, 9}},
        {DeflateLibrary::Zlib, {1, 3, 9}},
    };
    for (const auto& [library, list] : levels) {
      for (const int level : list) {
        add(std::string(library_name(library)) + "_" + std::to_string(level), ZlibDeflater(library, level), false);
      }
    }
  }

  std::vector<unsigned char> scratch;
  std::vector<unsigned char> out;
  std::uint64_t input_bytes = 0;
  std::vector<double> wall(encoders.size());
  std::vector<double> cpu(encoders.size());
  for (unsigned repeat = 0; repeat <= repeats; ++repeat) {  // pass 0 is the warm-up
    std::fill(wall.begin(), wall.end(), 0.0);
    std::fill(cpu.begin(), cpu.end(), 0.0);
    input_bytes = 0;
    for (std::size_t index = 0; index < acquisition->size(); ++index) {
      const auto spectrum = acquisition->spectrum(index);
      if (!spectrum) fail("scan " + std::to_string(index) + ": " + spectrum.error().display());
      for (const bool is_mz : {true, false}) {
        const ValueArray& values = is_mz ? spectrum->mz : spectrum->intensity;
        input_bytes += values.size() * sizeof(double);
        for (std::size_t e = 0; e < encoders.size(); ++e) {
          const Stopwatch stopwatch;
          const std::uint64_t packed = encode(encoders[e], values, is_mz, scratch, out);
          cpu[e] += stopwatch.cpu();
          wall[e] += stopwatch.wall();
          if (repeat == 0) encoders[e].packed[is_mz ? 0 : 1] += packed;
        }
      }
    }
    if (repeat == 0) continue;
    for (std::size_t e = 0; e < encoders.size(); ++e) {
      encoders[e].samples.wall.push_back(wall[e]);
      encoders[e].samples.cpu.push_back(cpu[e]);
    }
  }
  for (Encoder& encoder : encoders) {
    const std::string library =
        encoder.deflater ? std::string(library_name(encoder.deflater->library())) + " " +
                               std::to_string(encoder.deflater->level())
                         : std::string("none");
    std::printf("{\"name\": \"%s\", \"compressor\": \"%s\", \"bytes\": %llu, \"packed\": %llu, \"packed_mz\": %llu, "
                "\"packed_intensity\": %llu",
                encoder.name.c_str(), library.c_str(), static_cast<unsigned long long>(input_bytes),
                static_cast<unsigned long long>(encoder.packed[0] + encoder.packed[1]),
                static_cast<unsigned long long>(encoder.packed[0]), static_cast<unsigned long long>(encoder.packed[1]));
    print_list("seconds", encoder.samples.wall);
    print_list("cpu_seconds", encoder.samples.cpu);
    std::printf("}\n");
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
