// vornak convert --format mzpeak: the mzPeak writer behind the same progress bar and reports as
// the mzML conversion.
#include "cli/convert_mzpeak.hpp"

#include <iostream>

#include "cli/progress.hpp"
#include "reader_lib/paths.hpp"

#ifdef VORNAK_WITH_MZPEAK
#include "mzpeak_export/mzpeak_writer.hpp"
#endif

namespace vornak::cli {

bool wants_mzpeak(const ConvertOptions& options) {
  if (!options.format.empty()) return options.format == "mzpeak";
  if (options.mzpeak_dir) return true;
  const std::string& output = options.output;
  if (output.ends_with('/')) return true;
  constexpr std::string_view SUFFIX = ".mzpeak";
  if (output.size() < SUFFIX.size()) return false;
  std::string tail = output.substr(output.size() - SUFFIX.size());
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == SUFFIX;
}

#ifdef VORNAK_WITH_MZPEAK

ConvertOutcome convert_to_mzpeak(const Acquisition& acquisition, const std::string& path, const std::string& output,
                                 const ConvertOptions& options, const std::atomic<bool>* cancel) {
  const std::string prefix = "vornak convert: " + path + ": ";
  ProgressBar bar(std::string(final_component(path).value_or(path)), !options.quiet);
  MzpeakOptions mzpeak;
  mzpeak.directory = options.mzpeak_dir || output.ends_with('/');
  mzpeak.trim_zeros = options.trim_zeros;
  mzpeak.workers = options.workers;
  mzpeak.cancel = cancel;
  mzpeak.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
  auto written = write_mzpeak(acquisition, output, mzpeak);
  bar.finish();
  if (cancel != nullptr && cancel->load()) return {};  // the caller ends the process by the signal
  if (!written) {
    std::cerr << prefix << "cannot write " << output << ": " << written.error().display() << '\n';
    return {};
  }
  const MzpeakSummary& summary = *written;
  constexpr std::size_t SHOWN = 20;
  const auto warn = [&](const std::vector<DamagedScan>& scans, std::string_view what) {
    for (std::size_t i = 0; i < scans.size() && i < SHOWN; ++i) {
      std::cerr << prefix << "warning: " << what << " scan " << scans[i].index << " (scanId=" << scans[i].scan_id
                << "): " << scans[i].reason << '\n';
    }
    if (scans.size() > SHOWN) std::cerr << prefix << "warning: and " << scans.size() - SHOWN << " more such scans\n";
  };
  warn(summary.damaged, "left out damaged");
  warn(summary.partial, "a damaged block left out of");
  if (!options.quiet) {
    std::cerr << prefix << "wrote " << output << ": " << summary.spectra_written << " of " << summary.scans
              << " scans, " << summary.data_points << " points, " << summary.peaks << " peaks, "
              << summary.bytes_written << " bytes";
    if (!summary.damaged.empty()) std::cerr << ", " << summary.damaged.size() << " damaged left out";
    if (!summary.partial.empty()) std::cerr << ", " << summary.partial.size() << " damaged blocks left out";
    std::cerr << '\n';
  }
  return {true, !summary.damaged.empty() || !summary.partial.empty()};
}

#else

ConvertOutcome convert_to_mzpeak(const Acquisition&, const std::string& path, const std::string&,
                                 const ConvertOptions&, const std::atomic<bool>*) {
  std::cerr << "vornak convert: " << path
            << ": this vornak was built without the mzPeak writer (Arrow C++ was not found; see the README)\n";
  return {};
}

#endif

}  // namespace vornak::cli
