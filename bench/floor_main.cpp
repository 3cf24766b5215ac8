// vornak-bench-floor: the least work that turns an acquisition's blocks into arrays, as a floor
// for the time of RawReader(path).
//
//   vornak-bench-floor check FOLDER     decodes once and compares with the reader's records
//   vornak-bench-floor open FOLDER      one timed pass
//   vornak-bench-floor pair sequential|parallel FOLDER_A FOLDER_B
//                                       two acquisitions one after the other, or in two threads
//   vornak-bench-floor spin             two threads that only count, as a measure of how much
//                                       of the second core this process gets
//
// For every scan, in scan-index order, a pass does what the reader must do and nothing else:
//   profile block: open MSProfile.bin, read the block, close; liblzf's lzf_decompress into a
//                  reused buffer; u32 counts to float32; m/z = low + spacing * j
//   peak block:    open MSPeak.bin, read the block, close; copy or convert the two arrays
// The arrays are allocated without zero-filling and all kept until the clock stops, as the
// reader keeps them; the scan index is parsed before the clock starts. Each timed mode measures
// once, in a process that has allocated nothing big before, as a RawReader in a fresh
// interpreter does. Output: one JSON line per measurement (bench_support.hpp).
#include <fcntl.h>
#include <lzf.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.hpp"
#include "reader_lib/reader.hpp"

namespace vornak::bench {
namespace {

struct Arrays {
  std::unique_ptr<double[]> mz;
  std::unique_ptr<float[]> intensity;
  std::size_t size = 0;
};

void read_block(const std::string& path, const BlockLocation& block, std::uint8_t* into) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) fail("cannot open " + path);
  std::size_t filled = 0;
  while (filled < block.byte_count) {
    const ssize_t count = ::pread(descriptor, into + filled, block.byte_count - filled,
                                  static_cast<off_t>(block.offset + filled));
    if (count <= 0) fail("cannot read " + path);
    filled += static_cast<std::size_t>(count);
  }
  ::close(descriptor);
}

Arrays allocate(std::size_t size) {
  return {std::make_unique_for_overwrite<double[]>(size), std::make_unique_for_overwrite<float[]>(size), size};
}

Arrays decode_profile(const std::uint8_t* block, const BlockLocation& location, std::uint8_t* payload,
                      double mz_low, double mz_high) {
  const unsigned expected = *location.uncompressed_byte_count;
  if (lzf_decompress(block + 16, location.byte_count - 16, payload, expected) != expected) {
    fail("lzf_decompress failed");
  }
  const std::size_t count = location.point_count;
  Arrays arrays = allocate(count);
  const std::uint8_t* counts = payload + 16;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t value;
    std::memcpy(&value, counts + 4 * i, 4);
    arrays.intensity[i] = static_cast<float>(value);
  }
  const double spacing = count == 1 ? 0.0 : (mz_high - mz_low) / (static_cast<double>(count) - 1.0);
  for (std::size_t j = 0; j < count; ++j) arrays.mz[j] = mz_low + spacing * static_cast<double>(j);
  return arrays;
}

Arrays decode_peaks(const std::uint8_t* block, const BlockLocation& location) {
  const std::size_t count = location.point_count;
  Arrays arrays = allocate(count);
  if (location.format_id == PEAK_FORMAT_INTERLEAVED) {
    for (std::size_t k = 0; k < count; ++k) {
      std::memcpy(&arrays.mz[k], block + 12 * k, 8);
      std::memcpy(&arrays.intensity[k], block + 12 * k + 8, 4);
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) {
      double stored;
      std::memcpy(&stored, block + 8 * k, 8);
      arrays.mz[k] = stored / 100.0;
    }
    std::memcpy(arrays.intensity.get(), block + 8 * count, 4 * count);
  }
  return arrays;
}

struct Buffers {
  std::vector<std::uint8_t> block;
  std::vector<std::uint8_t> payload;
};

Buffers make_buffers(const AcquisitionBlocks& blocks) {
  std::size_t block = 0;
  std::size_t payload = 0;
  for (const ScanBlocks& scan : blocks.scans) {
    if (scan.profile) {
      block = std::max<std::size_t>(block, scan.profile->byte_count);
      payload = std::max<std::size_t>(payload, scan.profile->uncompressed_byte_count.value_or(0));
    }
    if (scan.peak) block = std::max<std::size_t>(block, scan.peak->byte_count);
  }
  return {std::vector<std::uint8_t>(block), std::vector<std::uint8_t>(payload)};
}

// The benchmark data have one block per scan, each valid, so the reader's fallback from an
// empty profile to the peak block never comes into play here.
std::vector<Arrays> decode_all(const AcquisitionBlocks& blocks, Buffers& buffers) {
  std::vector<Arrays> decoded;
  decoded.reserve(blocks.scans.size());
  for (const ScanBlocks& scan : blocks.scans) {
    if (scan.profile && scan.profile->point_count > 0) {
      read_block(blocks.profile_path, *scan.profile, buffers.block.data());
      decoded.push_back(
          decode_profile(buffers.block.data(), *scan.profile, buffers.payload.data(), scan.mz_low, scan.mz_high));
    } else if (scan.peak) {
      read_block(blocks.peak_path, *scan.peak, buffers.block.data());
      decoded.push_back(decode_peaks(buffers.block.data(), *scan.peak));
    } else {
      decoded.push_back({});
    }
  }
  return decoded;
}

void check_against_reader(const std::string& folder, const std::vector<Arrays>& decoded) {
  auto reader = Reader::open(folder);
  if (!reader) fail(folder + ": " + reader.error().display());
  const auto stream = reader->iter_spectra();
  std::size_t index = 0;
  while (auto record = stream->next()) {
    if (index == decoded.size()) fail("the reader yields more records than the floor");
    const Arrays& arrays = decoded[index];
    const std::size_t size = arrays.size;
    if (record->mz.size() != size || record->intensity.size() != size ||
        (size > 0 && (std::memcmp(record->mz.data(), arrays.mz.get(), 8 * size) != 0 ||
                      std::memcmp(record->intensity.data(), arrays.intensity.get(), 4 * size) != 0))) {
      fail("the floor and the reader differ at scan " + std::to_string(index));
    }
    ++index;
  }
  if (index != decoded.size()) fail("the reader yields fewer records than the floor");
}

// Decodes each folder of `folders`, one after the other or each in a thread of its own, and
// keeps the arrays until the clock has stopped.
void measure(const std::vector<std::string>& folders, bool in_parallel, const char* name) {
  std::vector<AcquisitionBlocks> blocks;
  std::vector<Buffers> buffers;
  for (const std::string& folder : folders) {
    blocks.push_back(load_blocks(folder));
    buffers.push_back(make_buffers(blocks.back()));
  }
  std::vector<std::vector<Arrays>> decoded(folders.size());
  std::uint64_t array_bytes = 0;

  Samples samples;
  const Stopwatch stopwatch;
  if (in_parallel) {
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < folders.size(); ++i) {
      threads.emplace_back([&, i] { decoded[i] = decode_all(blocks[i], buffers[i]); });
    }
    decoded[0] = decode_all(blocks[0], buffers[0]);
    for (std::thread& thread : threads) thread.join();
  } else {
    for (std::size_t i = 0; i < folders.size(); ++i) decoded[i] = decode_all(blocks[i], buffers[i]);
  }
  samples.add(stopwatch);

  for (const auto& arrays_of_folder : decoded) {
    for (const Arrays& arrays : arrays_of_folder) array_bytes += 12 * arrays.size;
  }
  report(name, samples, array_bytes);
}

// Two threads that only count, against the same counting done twice on one thread: how much
// of a second core the machine gives this process just now.
void measure_spin() {
  const auto spin = [] {
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < 200'000'000; ++i) {
      total += i ^ (total >> 3);
      asm volatile("" : "+r"(total));
    }
    return total;
  };
  Samples sequential, parallel;
  {
    const Stopwatch stopwatch;
    spin();
    spin();
    sequential.add(stopwatch);
  }
  {
    const Stopwatch stopwatch;
    std::thread other(spin);
    spin();
    other.join();
    parallel.add(stopwatch);
  }
  report("spin_sequential", sequential, 0);
  report("spin_parallel", parallel, 0);
}

constexpr const char* USAGE =
    "usage: vornak-bench-floor check FOLDER\n"
    "       vornak-bench-floor open FOLDER\n"
    "       vornak-bench-floor pair sequential|parallel FOLDER_A FOLDER_B\n"
    "       vornak-bench-floor spin";

int run(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "check") {
    const AcquisitionBlocks blocks = load_blocks(args[1]);
    Buffers buffers = make_buffers(blocks);
    check_against_reader(args[1], decode_all(blocks, buffers));
    std::printf("{\"name\": \"floor_check\", \"ok\": true}\n");
  } else if (args.size() == 2 && args[0] == "open") {
    measure({args[1]}, false, "floor_open");
  } else if (args.size() == 4 && args[0] == "pair" && (args[1] == "sequential" || args[1] == "parallel")) {
    const bool in_parallel = args[1] == "parallel";
    measure({args[2], args[3]}, in_parallel, in_parallel ? "floor_pair_parallel" : "floor_pair_sequential");
  } else if (args.size() == 1 && args[0] == "spin") {
    measure_spin();
  } else {
    fail(USAGE);
  }
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
