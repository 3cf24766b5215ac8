// Shared pieces of the benchmark programs: the blocks of an acquisition, a clock, and the
// one-line JSON reports that scripts/bench.sh reads.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/msscan.hpp"

namespace vornak::bench {

[[noreturn]] inline void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(1);
}

inline std::string join(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// What one scan asks of the block files, in scan-index order.
struct ScanBlocks {
  std::optional<BlockLocation> profile;
  std::optional<BlockLocation> peak;
  double mz_low = 0.0;
  double mz_high = 0.0;
};

struct AcquisitionBlocks {
  std::string profile_path;
  std::string peak_path;
  std::vector<ScanBlocks> scans;
};

inline AcquisitionBlocks load_blocks(const std::string& folder) {
  const std::string acqdata = join(folder, "AcqData");
  const auto index = MSScan::from_path(join(acqdata, "MSScan.bin"));
  if (!index) fail(folder + ": " + index.error().display());
  AcquisitionBlocks blocks{join(acqdata, "MSProfile.bin"), join(acqdata, "MSPeak.bin"), {}};
  blocks.scans.reserve(index->records.size());
  for (const ScanRecord& record : index->records) {
    blocks.scans.push_back({record.profile_block, record.peak_block, record.mz_range_low.value_or(0.0),
                            record.mz_range_high.value_or(0.0)});
  }
  return blocks;
}

// One profile block held in memory, with what its descriptor says about it.
struct ProfileBlockBytes {
  ByteBuffer bytes;  // the whole block: 16-byte preamble, then the LZF stream
  BlockLocation location;
  double mz_low = 0.0;
  double mz_high = 0.0;

  [[nodiscard]] ByteView stream() const { return bytes.view().subspan(16); }
};

inline std::vector<ProfileBlockBytes> load_profile_blocks(const std::string& folder) {
  const AcquisitionBlocks blocks = load_blocks(folder);
  std::vector<ProfileBlockBytes> loaded;
  for (const ScanBlocks& scan : blocks.scans) {
    if (!scan.profile || scan.profile->point_count == 0) continue;
    auto bytes = read_bytes(blocks.profile_path, scan.profile->offset, scan.profile->byte_count);
    if (!bytes) fail(blocks.profile_path + ": " + bytes.error().display());
    if (bytes->size() < 16 || !scan.profile->uncompressed_byte_count) fail("malformed profile block");
    loaded.push_back({std::move(*bytes), *scan.profile, scan.mz_low, scan.mz_high});
  }
  if (loaded.empty()) fail(folder + ": no profile blocks to measure");
  return loaded;
}

using Clock = std::chrono::steady_clock;

// CPU seconds of the whole process, which on a busy machine vary less than wall-clock time.
inline double process_cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Wall-clock and CPU seconds of one stretch of work.
class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()), cpu_(process_cpu_seconds()) {}
  [[nodiscard]] double wall() const { return std::chrono::duration<double>(Clock::now() - wall_).count(); }
  [[nodiscard]] double cpu() const { return process_cpu_seconds() - cpu_; }

 private:
  Clock::time_point wall_;
  double cpu_;
};

struct Samples {
  std::vector<double> wall;
  std::vector<double> cpu;

  void add(const Stopwatch& stopwatch) {
    // CPU first: reading the wall clock is the cheaper of the two and closer to the work.
    const double elapsed_cpu = stopwatch.cpu();
    wall.push_back(stopwatch.wall());
    cpu.push_back(elapsed_cpu);
  }
};

inline void print_list(const char* key, const std::vector<double>& values) {
  std::printf(", \"%s\": [", key);
  for (std::size_t i = 0; i < values.size(); ++i) std::printf("%s%.9f", i == 0 ? "" : ", ", values[i]);
  std::printf("]");
}

// {"name": "...", "bytes": N, "seconds": [..], "cpu_seconds": [..]} on one line of stdout.
inline void report(std::string_view name, const Samples& samples, std::uint64_t bytes) {
  std::printf("{\"name\": \"%.*s\", \"bytes\": %llu", static_cast<int>(name.size()), name.data(),
              static_cast<unsigned long long>(bytes));
  print_list("seconds", samples.wall);
  print_list("cpu_seconds", samples.cpu);
  std::printf("}\n");
  std::fflush(stdout);
}

inline unsigned parse_count(const char* text, const char* what) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 10000) fail(std::string("bad ") + what + ": " + text);
  return static_cast<unsigned>(value);
}

}  // namespace vornak::bench
