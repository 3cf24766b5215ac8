// The subcommands of the vornak tool: each takes its parsed options and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace vornak::cli {

// Exit statuses every subcommand keeps to, so scripts can tell outcomes apart.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;         // nothing (or not everything) could be done
inline constexpr int EXIT_USAGE = 2;          // the command line is wrong
inline constexpr int EXIT_DAMAGED_SCANS = 3;  // convert: written, but some scans were damaged
inline constexpr int EXIT_DAMAGED = 4;        // check: the acquisition is damaged

struct InfoOptions {
  std::string path;
  bool no_decode = false;
  unsigned workers = 0;
};

struct SpectraOptions {
  std::string path;
  bool centroid = false;
  bool points = false;
  bool frames = false;  // ion mobility: one line per frame instead of per spectrum
};

struct ConvertOptions {
  std::vector<std::string> paths;
  std::string output;      // -o: the file for a single folder
  std::string output_dir;  // --output-dir: one file per folder, named after it
  std::string compression = "default";  // --compression: fast, default, small or none
  bool no_compression = false;          // the same as --compression none
  bool numpress = false;
  bool intensity_32 = false;
  bool trim_zeros = false;
  bool centroid_only = false;
  bool srm_as_spectra = false;
  bool quiet = false;
  unsigned workers = 0;
  std::string format;       // "mzml" or "mzpeak"; empty: from the output's name
  bool mzpeak_dir = false;  // mzPeak unpacked in a directory
};

struct ChromatogramsOptions {
  std::string path;
  unsigned workers = 0;
};

struct CheckOptions {
  std::string path;
  bool json = false;
  unsigned workers = 0;
};

[[nodiscard]] int run_info(const InfoOptions& options);
[[nodiscard]] int run_spectra(const SpectraOptions& options);
[[nodiscard]] int run_convert(const ConvertOptions& options);
[[nodiscard]] int run_check(const CheckOptions& options);
[[nodiscard]] int run_chromatograms(const ChromatogramsOptions& options);

}  // namespace vornak::cli
