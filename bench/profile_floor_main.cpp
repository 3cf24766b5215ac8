// vornak-bench-profile-floor FOLDER REPEATS: the full reader's decode of every profile block of an
// acquisition against the least that any reader of those blocks must do.
//
//   profile_decode  Acquisition::profile(i) for every scan with a profile block: the block read,
//                   LZF, counts widened to float64, every bin calibrated, two fresh arrays
//   lzf_floor       the same blocks read with pread into one buffer and decompressed by liblzf
//                   into another, both reused from block to block; nothing else
//   profile_decode_two_threads
//                   profile_decode with the scans split between two threads (alternate scans),
//                   the floor of any reader's speed-up in two threads on this machine
//
// One thread; the two alternate in order from repetition to repetition after an untimed pass of
// each. Output: one JSON line per name, with the bins decoded per pass as "bytes".
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <lzf.h>

#include "bench/bench_support.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::bench {
namespace {

volatile double sink = 0.0;

struct ProfileScan {
  std::size_t index = 0;
  BlockInfo block;
};

std::vector<ProfileScan> profile_scans(const Acquisition& acquisition) {
  std::vector<ProfileScan> scans;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    const ScanInfo info = acquisition.scan(index);
    if (!info.profile_block || info.profile_block->point_count == 0) continue;
    if (!info.profile_block->uncompressed_byte_count) fail("a profile block without UncompressedByteCount");
    scans.push_back({index, *info.profile_block});
  }
  if (scans.empty()) fail("no profile blocks to measure");
  return scans;
}

std::uint64_t decode_all(const Acquisition& acquisition, const std::vector<ProfileScan>& scans) {
  std::uint64_t bins = 0;
  double seen = 0.0;
  for (const ProfileScan& scan : scans) {
    const auto spectrum = acquisition.profile(scan.index);
    if (!spectrum) fail("scan " + std::to_string(scan.index) + ": " + spectrum.error().display());
    bins += spectrum->mz.size();
    seen += spectrum->mz.back() + spectrum->intensity.back();
  }
  sink = seen;
  return bins;
}

void decode_in_two_threads(const Acquisition& acquisition, const std::vector<ProfileScan>& scans) {
  std::vector<ProfileScan> halves[2];
  for (std::size_t k = 0; k < scans.size(); ++k) halves[k % 2].push_back(scans[k]);
  std::thread helper([&] { decode_all(acquisition, halves[1]); });
  decode_all(acquisition, halves[0]);
  helper.join();
}

// The blocks of the benchmark folders are whole-block LZF: the stream starts at the block's
// first byte.
void lzf_all(int file, const std::vector<ProfileScan>& scans, std::vector<std::uint8_t>& block,
             std::vector<std::uint8_t>& payload) {
  std::uint8_t seen = 0;
  for (const ProfileScan& scan : scans) {
    block.resize(scan.block.byte_count);
    payload.resize(*scan.block.uncompressed_byte_count);
    const auto offset = static_cast<off_t>(scan.block.offset);
    if (::pread(file, block.data(), block.size(), offset) != static_cast<ssize_t>(block.size())) fail("pread failed");
    const unsigned written = lzf_decompress(block.data(), static_cast<unsigned>(block.size()), payload.data(),
                                            static_cast<unsigned>(payload.size()));
    if (written != payload.size()) fail("lzf_decompress failed at offset " + std::to_string(scan.block.offset));
    seen ^= payload.back();
  }
  sink = seen;
}

int run(int argc, char** argv) {
  if (argc != 3) fail("usage: vornak-bench-profile-floor FOLDER REPEATS");
  const unsigned repeats = parse_count(argv[2], "repeat count");
  const auto acquisition = Acquisition::open(argv[1]);
  if (!acquisition) fail(std::string(argv[1]) + ": " + acquisition.error().display());
  const std::vector<ProfileScan> scans = profile_scans(*acquisition);
  const std::string profile_path = acquisition->names().path_of("MSProfile.bin");
  const int file = ::open(profile_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) fail("cannot open " + profile_path);

  std::vector<std::uint8_t> block;
  std::vector<std::uint8_t> payload;
  const std::uint64_t bins = decode_all(*acquisition, scans);
  lzf_all(file, scans, block, payload);
  Samples decode;
  Samples floor;
  Samples two_threads;
  for (unsigned repeat = 0; repeat < repeats; ++repeat) {
    for (int side = 0; side < 3; ++side) {
      const int now = repeat % 2 == 0 ? side : 2 - side;
      const Stopwatch stopwatch;
      if (now == 0) {
        decode_all(*acquisition, scans);
        decode.add(stopwatch);
      } else if (now == 1) {
        lzf_all(file, scans, block, payload);
        floor.add(stopwatch);
      } else {
        decode_in_two_threads(*acquisition, scans);
        two_threads.add(stopwatch);
      }
    }
  }
  ::close(file);
  report("profile_decode", decode, bins);
  report("lzf_floor", floor, bins);
  report("profile_decode_two_threads", two_threads, bins);
  return 0;
}

}  // namespace
}  // namespace vornak::bench

int main(int argc, char** argv) { return vornak::bench::run(argc, argv); }
