// vornak info PATH: the acquisition's summary as one JSON object. By default every block is
// decoded (on all hardware threads) to report the profile encodings and the calibrations the
// spectra actually use; --no-decode reports only what the scan index says.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <iostream>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/commands.hpp"
#include "cli/json_output.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::cli {
namespace {

struct DecodeTally {
  std::map<std::string, std::uint64_t> encodings;     // profile spectra by encoding
  std::map<std::string, std::uint64_t> calibrations;  // spectra by the calibration they used
  std::uint64_t points = 0;
  std::uint64_t undecodable = 0;  // blocks that failed to decode

  void add(const DecodeTally& other) {
    for (const auto& [name, count] : other.encodings) encodings[name] += count;
    for (const auto& [name, count] : other.calibrations) calibrations[name] += count;
    points += other.points;
    undecodable += other.undecodable;
  }
};

void tally_spectrum(const Result<Spectrum>& spectrum, DecodeTally& tally) {
  if (!spectrum) {
    ++tally.undecodable;
    return;
  }
  if (spectrum->encoding) ++tally.encodings[std::string(encoding_name(*spectrum->encoding))];
  ++tally.calibrations[std::string(calibration_name(spectrum->calibration))];
  tally.points += spectrum->mz.size();
}

// Decodes every profile and centroid block, scans shared out over `workers` threads.
DecodeTally decode_all(const Acquisition& acquisition, unsigned workers) {
  std::atomic<std::size_t> next{0};
  std::mutex merge;
  DecodeTally total;
  const auto work = [&] {
    DecodeTally tally;
    for (std::size_t index = next.fetch_add(1); index < acquisition.size(); index = next.fetch_add(1)) {
      const ScanInfo scan = acquisition.scan(index);
      if (scan.profile_block) tally_spectrum(acquisition.profile(index), tally);
      if (scan.peak_block) tally_spectrum(acquisition.centroid(index), tally);
    }
    std::lock_guard lock(merge);
    total.add(tally);
  };
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& thread : threads) thread.join();
  return total;
}

Json counts(const std::map<std::string, std::uint64_t>& counted) {
  Json object = Json::object();
  for (const auto& [name, count] : counted) object[name] = count;
  return object;
}

}  // namespace

int run_info(const InfoOptions& options) {
  auto opened = Acquisition::open(options.path);
  if (!opened) {
    std::cerr << "vornak info: " << options.path << ": " << opened.error().display() << '\n';
    return EXIT_FAILED;
  }
  const Acquisition& acquisition = *opened;

  std::map<std::uint32_t, std::uint64_t> levels;
  std::optional<double> first_time;
  std::optional<double> last_time;
  std::uint64_t profile_blocks = 0;
  std::uint64_t centroid_blocks = 0;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    const ScanInfo scan = acquisition.scan(index);
    ++levels[scan.ms_level];
    if (!std::isnan(scan.retention_time_sec)) {
      first_time = std::min(first_time.value_or(scan.retention_time_sec), scan.retention_time_sec);
      last_time = std::max(last_time.value_or(scan.retention_time_sec), scan.retention_time_sec);
    }
    if (scan.profile_block) ++profile_blocks;
    if (scan.peak_block) ++centroid_blocks;
  }
  Json levels_json = Json::object();
  for (const auto& [level, count] : levels) levels_json[std::to_string(level)] = count;

  const RecordLayout& layout = acquisition.layout();
  const MassCalibrationTable& calibration = acquisition.calibration();
  Json summary{
      {"path", acquisition.folder_path()},
      {"acquisition_name", acquisition.acquisition_name()},
      {"instrument",
       {{"model_name", acquisition.instrument().model_name},
        {"accession", std::string(acquisition.instrument().accession)}}},
      {"acquired_time", optional_json(acquisition.acquired_time())},
      {"scan_count", acquisition.size()},
      {"ms_levels", levels_json},
      {"retention_time_sec", {{"min", optional_json(first_time)}, {"max", optional_json(last_time)}}},
      {"layout",
       {{"source", layout.source == LayoutSource::Schema ? "MSScan.xsd" : "built-in"},
        {"stride", layout.stride()},
        {"descriptor_count", layout.descriptor_count},
        {"data_offset", acquisition.data_offset()}}},
      {"blocks", {{"profile", profile_blocks}, {"centroid", centroid_blocks}}},
      {"calibration_data",
       {{"per_scan_rows", calibration.row_count()}, {"defaults", calibration.defaults().size()}}},
      {"decoded", !options.no_decode},
  };
  if (options.no_decode) {
    summary["encodings"] = nullptr;
    summary["calibration"] = nullptr;
    summary["points_total"] = nullptr;
    summary["undecodable_blocks"] = nullptr;
  } else {
    const DecodeTally tally = decode_all(acquisition, options.workers);
    summary["encodings"] = counts(tally.encodings);
    summary["calibration"] = counts(tally.calibrations);
    summary["points_total"] = tally.points;
    summary["undecodable_blocks"] = tally.undecodable;
  }
  std::cout << dump(summary) << '\n';
  std::cout.flush();
  return std::cout ? EXIT_OK : EXIT_FAILED;
}

}  // namespace vornak::cli
