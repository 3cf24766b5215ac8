// vornak chromatograms PATH: one JSON line per MRM transition or SIM ion of a triple-quadrupole
// run (id, kind, precursor_mz, product_mz, time in seconds, intensity), in the order of their
// first point. A run without MRM or SIM records prints nothing.
#include <iostream>

#include "cli/commands.hpp"
#include "cli/json_output.hpp"
#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"

namespace vornak::cli {

int run_chromatograms(const ChromatogramsOptions& options) {
  auto opened = Acquisition::open(options.path);
  if (!opened) {
    std::cerr << "vornak chromatograms: " << options.path << ": " << opened.error().display() << '\n';
    return EXIT_FAILED;
  }
  auto chromatograms = transition_chromatograms(*opened, PassOptions{options.workers, false});
  if (!chromatograms) {
    std::cerr << "vornak chromatograms: " << options.path << ": " << chromatograms.error().error.message() << '\n';
    return EXIT_FAILED;
  }
  for (const TransitionChromatogram& chromatogram : *chromatograms) {
    const Json line{
        {"id", chromatogram.id},
        {"kind", transition_kind_name(chromatogram.kind)},
        {"precursor_mz", chromatogram.precursor_mz},
        {"product_mz", optional_json(chromatogram.product_mz)},
        {"time", chromatogram.time_sec},
        {"intensity", chromatogram.intensity},
    };
    std::cout << dump(line) << '\n';
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "vornak chromatograms: writing to standard output failed\n";
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace vornak::cli
