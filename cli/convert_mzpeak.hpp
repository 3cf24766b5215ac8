// vornak convert to mzPeak: one acquisition written by the mzPeak writer, with the same reports
// as the mzML conversion. Built without Arrow, it says so and fails.
#pragma once

#include <atomic>
#include <string>

#include "cli/commands.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::cli {

struct ConvertOutcome {
  bool converted = false;
  bool damaged_scans = false;  // left out, or written without a damaged block
};

// True when the options or the output path ask for mzPeak (--format mzpeak, --mzpeak-dir, an
// output ending in ".mzpeak" or "/").
[[nodiscard]] bool wants_mzpeak(const ConvertOptions& options);

[[nodiscard]] ConvertOutcome convert_to_mzpeak(const Acquisition& acquisition, const std::string& path,
                                               const std::string& output, const ConvertOptions& options,
                                               const std::atomic<bool>* cancel);

}  // namespace vornak::cli
