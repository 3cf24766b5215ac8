// Worst cases of work from small files: acquisitions whose scan index and block descriptors
// claim as much as they can (cap-sized payloads, huge point counts, ranges past the end of the
// block files, a million records) must open and read in bounded time and memory.
//
// Each case runs in a forked child, which reports its elapsed time and the high-water mark of
// live heap bytes (counted by the replaced operator new below); the parent adds the child's
// peak resident set size from wait4. Without AddressSanitizer the child also runs under an
// address-space limit, so a reservation the heap count could miss still fails.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/reader.hpp"
#include "scan_index_bytes.hpp"
#include "temp_dir.hpp"
#include "tests/support/synthetic.hpp"

namespace {

// Live and peak bytes handed out by operator new, across the library and the test alike.
std::atomic<std::size_t> live_heap_bytes{0};
std::atomic<std::size_t> peak_heap_bytes{0};

// Each block carries its size in front, so that delete can count it off again.
constexpr std::size_t SIZE_HEADER = alignof(std::max_align_t);

void* counted_allocate(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - SIZE_HEADER) throw std::bad_alloc();
  void* block = std::malloc(size + SIZE_HEADER);
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  const std::size_t live = live_heap_bytes.fetch_add(size) + size;
  std::size_t peak = peak_heap_bytes.load();
  while (live > peak && !peak_heap_bytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<unsigned char*>(block) + SIZE_HEADER;
}

void counted_free(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<unsigned char*>(pointer) - SIZE_HEADER;
  std::size_t size;
  std::memcpy(&size, block, sizeof size);
  live_heap_bytes.fetch_sub(size);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_free(pointer); }

namespace vornak {
namespace {

namespace synthetic = vornak::synthetic;
using synthetic::Bytes;
using testing::TempDir;

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t MiB = std::size_t{1} << 20;

// Generous on purpose: a case that stays within its bounds takes seconds; one that does work
// in proportion to its claims takes hours or fails to allocate.
constexpr double TIME_LIMIT_SECONDS = 300.0;
constexpr long RSS_LIMIT_KB = 3L * 1024 * 1024;  // 3 GiB

struct Outcome {
  bool opened = false;
  std::uint64_t spectra = 0;
  std::uint64_t points = 0;  // summed over all spectra
  double seconds = 0.0;
  std::size_t peak_heap_bytes = 0;  // above what was live when the child started
  long peak_rss_kb = 0;
};

// The designed reader's pass over every scan, or the full reader's spectrum of every scan (a
// scan whose spectrum is an error counts with no points).
enum class Way { Designed, Full };

std::uint64_t read_every_spectrum(const std::string& folder, Way way, std::uint64_t& points) {
  std::uint64_t spectra = 0;
  if (way == Way::Designed) {
    const Result<Reader> reader = Reader::open(folder);
    if (!reader) return 0;
    const auto pass = reader->iter_spectra();
    while (const auto record = pass->next()) {
      ++spectra;
      points += record->mz.size();
    }
    return spectra;
  }
  const Result<Acquisition> acquisition = Acquisition::open(folder);
  if (!acquisition) return 0;
  for (std::size_t i = 0; i < acquisition->size(); ++i) {
    ++spectra;
    if (const auto spectrum = acquisition->spectrum(i)) points += spectrum->mz.size();
  }
  return spectra;
}

// Opens the acquisition at `folder` and reads every spectrum, in a child process.
Outcome open_and_read_in_child(const std::string& folder, Way way = Way::Designed) {
  int report_pipe[2];
  if (::pipe(report_pipe) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::close(report_pipe[0]);
#ifndef __SANITIZE_ADDRESS__
    // Room for one cap-sized buffer and the rest; AddressSanitizer reserves terabytes of
    // address space for itself, so there the heap count alone must do.
    const rlimit limit{4UL << 30, 4UL << 30};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
    Outcome outcome;
    const std::size_t baseline = live_heap_bytes.load();
    peak_heap_bytes.store(baseline);
    const auto start = std::chrono::steady_clock::now();
    outcome.spectra = read_every_spectrum(folder, way, outcome.points);
    outcome.opened = outcome.spectra > 0;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.peak_heap_bytes = peak_heap_bytes.load() - baseline;
    const bool sent = ::write(report_pipe[1], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome);
    ::_exit(sent ? 0 : 1);
  }
  ::close(report_pipe[1]);
  Outcome outcome;
  const ssize_t received = ::read(report_pipe[0], &outcome, sizeof outcome);
  ::close(report_pipe[0]);
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received != static_cast<ssize_t>(sizeof outcome)) {
    ADD_FAILURE() << "the child did not finish: "
                  << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status)));
    return {};
  }
  outcome.peak_rss_kb = usage.ru_maxrss;
  return outcome;
}

void report(const Outcome& outcome) {
  std::printf("    opened %s, %llu spectra, %llu points, %.2f s, peak heap %.1f MiB, peak RSS %.1f MiB\n",
              outcome.opened ? "yes" : "no", static_cast<unsigned long long>(outcome.spectra),
              static_cast<unsigned long long>(outcome.points), outcome.seconds,
              static_cast<double>(outcome.peak_heap_bytes) / static_cast<double>(MiB),
              static_cast<double>(outcome.peak_rss_kb) / 1024.0);
  ::testing::Test::RecordProperty("seconds", std::to_string(outcome.seconds));
  ::testing::Test::RecordProperty("peak_heap_bytes", std::to_string(outcome.peak_heap_bytes));
  ::testing::Test::RecordProperty("peak_rss_kb", std::to_string(outcome.peak_rss_kb));
}

// Every case must open, give one empty spectrum per scan, and stay within its heap limit and
// the common resident-memory and time bounds.
void expect_bounded(const Outcome& outcome, std::uint64_t spectra, std::uint64_t heap_limit) {
  report(outcome);
  EXPECT_TRUE(outcome.opened);
  EXPECT_EQ(outcome.spectra, spectra);
  EXPECT_EQ(outcome.points, 0u);
  EXPECT_LT(outcome.peak_heap_bytes, heap_limit);
  EXPECT_LT(outcome.peak_rss_kb, RSS_LIMIT_KB);
  EXPECT_LT(outcome.seconds, TIME_LIMIT_SECONDS);
}

std::string acquisition_folder(const TempDir& dir, const synthetic::Acquisition& acquisition) {
  const std::string folder = dir.str() + "/claims.d";
  synthetic::write_acquisition(folder, acquisition);
  return folder;
}

synthetic::Scan scan_with(std::uint32_t scan_id, std::vector<synthetic::Block> blocks) {
  synthetic::Scan scan;
  scan.scan_id = scan_id;
  scan.mz_range_low = 100.0;
  scan.mz_range_high = 1700.0;
  scan.blocks = std::move(blocks);
  return scan;
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool ADDRESS_SANITIZER = true;
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

constexpr std::size_t CLAIMING_SCANS = 2000;
// AddressSanitizer spends some 150 ms on each cap-sized allocation (it poisons 64 MiB of
// shadow memory when the buffer is freed), against well under a millisecond without it.
constexpr std::size_t CAP_CLAIMING_SCANS = ADDRESS_SANITIZER ? 20 : CLAIMING_SCANS;

// Every scan's profile block claims a payload of the full cap and 2^32 - 1 points with a
// stream of a few bytes; its peak block claims 2^32 - 1 points in 24 bytes. Each scan may
// reserve one cap-sized output, but must release it before the next: never two at once.
TEST(BoundedWork, PayloadsClaimingTheCap) {
  // A literal byte, then the longest back reference: 265 bytes of output from 5 of stream.
  const Bytes stream = {0x00, 0x41, 0xE0, 0xFF, 0x00};
  Bytes profile(16, 0);
  profile.insert(profile.end(), stream.begin(), stream.end());

  synthetic::Acquisition acquisition;
  for (std::uint32_t i = 0; i < CAP_CLAIMING_SCANS; ++i) {
    acquisition.scans.push_back(scan_with(
        i + 1, {synthetic::raw_block(synthetic::DataFile::profile, profile,
                                     {.point_count = U32_MAX,
                                      .uncompressed_byte_count = static_cast<std::uint32_t>(MAX_DECOMPRESSED_LEN)}),
                synthetic::raw_block(synthetic::DataFile::peak, Bytes(24, 0x11),
                                     {.format_id = PEAK_FORMAT_SPLIT, .point_count = U32_MAX})}));
  }
  TempDir dir;
  const Outcome outcome = open_and_read_in_child(acquisition_folder(dir, acquisition));
  expect_bounded(outcome, CAP_CLAIMING_SCANS, MAX_DECOMPRESSED_LEN + 16 * MiB);
  expect_bounded(open_and_read_in_child(dir.str() + "/claims.d", Way::Full), CAP_CLAIMING_SCANS,
                 MAX_DECOMPRESSED_LEN + 16 * MiB);
}

// Block ranges past the end of 64-byte block files: the longest block there is, an offset at
// the very end of the 64-bit range (where offset + length wraps), a range starting one byte
// past the end. Nothing may be reserved for a range that the file cannot hold.
TEST(BoundedWork, BlockRangesBeyondTheFiles) {
  const synthetic::DescriptorOverride ranges[] = {
      {.format_id = 1, .offset = 0, .byte_count = U32_MAX, .point_count = U32_MAX, .uncompressed_byte_count = 4096},
      {.format_id = 1, .offset = U64_MAX, .byte_count = U32_MAX, .point_count = 1, .uncompressed_byte_count = 20},
      {.format_id = 1, .offset = U64_MAX - 8, .byte_count = 64, .point_count = 1, .uncompressed_byte_count = 20},
      {.format_id = 1, .offset = 65, .byte_count = 1, .point_count = 1, .uncompressed_byte_count = 20},
  };
  synthetic::Acquisition acquisition;
  acquisition.profile_file_prefix = Bytes(64, 0);
  acquisition.peak_file_prefix = Bytes(64, 0);
  for (std::uint32_t i = 0; i < CLAIMING_SCANS; ++i) {
    synthetic::DescriptorOverride profile = ranges[i % std::size(ranges)];
    synthetic::DescriptorOverride peak = profile;
    peak.format_id = PEAK_FORMAT_INTERLEAVED;
    acquisition.scans.push_back(scan_with(i + 1, {synthetic::descriptor_only(profile), synthetic::descriptor_only(peak)}));
  }
  TempDir dir;
  const Outcome outcome = open_and_read_in_child(acquisition_folder(dir, acquisition));
  expect_bounded(outcome, CLAIMING_SCANS, 16 * MiB);
  expect_bounded(open_and_read_in_child(dir.str() + "/claims.d", Way::Full), CLAIMING_SCANS, 16 * MiB);
}

// Blocks that are readable and small but claim 2^32 - 1 points: the point count must be
// checked against the bytes before any array is sized by it.
TEST(BoundedWork, HugePointCountsOverSmallBlocks) {
  synthetic::Acquisition acquisition;
  for (std::uint32_t i = 0; i < CLAIMING_SCANS; ++i) {
    const synthetic::Block profile =
        synthetic::profile_block({1, 2, 3, 4});  // decodes, to a payload of 32 bytes
    synthetic::Block claiming_profile = profile;
    claiming_profile.descriptor.point_count = U32_MAX;
    acquisition.scans.push_back(scan_with(
        i + 1, {claiming_profile, synthetic::raw_block(synthetic::DataFile::peak, Bytes(12, 0x22),
                                                       {.format_id = PEAK_FORMAT_INTERLEAVED, .point_count = U32_MAX})}));
  }
  TempDir dir;
  const Outcome outcome = open_and_read_in_child(acquisition_folder(dir, acquisition));
  expect_bounded(outcome, CLAIMING_SCANS, 16 * MiB);
  expect_bounded(open_and_read_in_child(dir.str() + "/claims.d", Way::Full), CLAIMING_SCANS, 16 * MiB);
}

// A million 186-byte records, the smallest layout, each with a peak block past the end of an
// empty MSPeak.bin: memory stays within a small multiple of the index file's size.
TEST(BoundedWork, AMillionTinyRecords) {
  constexpr std::uint32_t STRIDE = 186;
  constexpr std::size_t RECORDS = 1'000'000;
  TempDir dir;
  const std::string folder = dir.str() + "/records.d";
  dir.write("records.d/AcqData/MSPeak.bin", Bytes{});
  {
    std::ofstream index(folder + "/AcqData/MSScan.bin", std::ios::binary);
    const Bytes header = testing::header(228);
    index.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    for (std::size_t i = 0; i < RECORDS; ++i) {
      Bytes record;
      testing::add_record(record, STRIDE, {static_cast<std::uint32_t>(1 + i), 1, 0.001 * static_cast<double>(i)});
      testing::put<std::uint16_t>(record, 136, PEAK_FORMAT_SPLIT);  // 136: packed descriptor, format
      testing::put<std::uint64_t>(record, 138, 0);                  // offset
      testing::put<std::uint32_t>(record, 146, U32_MAX);            // byte_count
      testing::put<std::uint32_t>(record, 150, U32_MAX);            // point_count
      index.write(reinterpret_cast<const char*>(record.data()), STRIDE);
    }
    ASSERT_TRUE(index.good());
  }
  const std::size_t index_bytes = 228 + RECORDS * STRIDE;

  const Outcome outcome = open_and_read_in_child(folder);
  expect_bounded(outcome, RECORDS, 4 * index_bytes);
  // The full reader keeps the index as read, and decodes each record only when asked.
  expect_bounded(open_and_read_in_child(folder, Way::Full), RECORDS, 2 * index_bytes);
}

}  // namespace
}  // namespace vornak
