// vornak convert PATH... : each acquisition to one indexed mzML file. A folder that fails is
// reported and the others still convert. Exit status: 0 every folder converted whole; 3 every
// folder converted, but damaged scans were left out or had their centroids written in place of
// a damaged profile (listed on stderr); 1 some folder failed.
// An interrupt (SIGINT, SIGTERM, SIGHUP) stops the conversion, removes its temporary file and
// ends the process by that signal; no file ever appears under the final name before it is whole.
#include <atomic>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <set>

#include "cli/commands.hpp"
#include "cli/convert_mzpeak.hpp"
#include "cli/progress.hpp"
#include "full_reader/acquisition.hpp"
#include "mzml_export/mzml_writer.hpp"
#include "reader_lib/paths.hpp"

namespace vornak::cli {
namespace {

constexpr std::size_t DAMAGED_LINES_SHOWN = 20;

std::atomic<bool> interrupted{false};
volatile std::sig_atomic_t interrupting_signal = 0;

extern "C" void on_interrupt(int signal_number) {
  interrupting_signal = signal_number;
  interrupted.store(true);
}

// Interrupts ask the conversion to stop, so it can remove its temporary file first.
void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

// Ends the process by the signal that interrupted it, as if it had not been caught.
[[noreturn]] void die_of_interrupt() {
  const int signal_number = interrupting_signal != 0 ? static_cast<int>(interrupting_signal) : SIGINT;
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  std::_Exit(128 + signal_number);
}

// NAME.mzML (or NAME.mzpeak) for an acquisition folder NAME.d (or NAME.D, or any other name).
std::string output_name(const std::string& path, bool mzpeak) {
  std::string name(final_component(path).value_or("acquisition"));
  if (name.size() > 2 && (name.ends_with(".d") || name.ends_with(".D"))) name.resize(name.size() - 2);
  return name + (mzpeak ? ".mzpeak" : ".mzML");
}

// The command line has checked the name.
Compression compression_of(const ConvertOptions& options) {
  if (options.no_compression || options.compression == "none") return Compression::None;
  if (options.compression == "fast") return Compression::Fast;
  if (options.compression == "small") return Compression::Small;
  return Compression::Default;
}

struct FolderOutcome {
  bool converted = false;
  bool damaged_scans = false;  // left out, or written as centroids for a damaged profile
};

FolderOutcome convert_one(const std::string& path, const std::string& output, const ConvertOptions& options) {
  const std::string prefix = "vornak convert: " + path + ": ";
  auto opened = Acquisition::open(path);
  if (!opened) {
    std::cerr << prefix << opened.error().display() << '\n';
    return {};
  }
  if (wants_mzpeak(options)) {
    const ConvertOutcome outcome = convert_to_mzpeak(*opened, path, output, options, &interrupted);
    if (interrupted.load()) die_of_interrupt();
    return {outcome.converted, outcome.damaged_scans};
  }
  ProgressBar bar(std::string(final_component(path).value_or(path)), !options.quiet);
  MzmlOptions mzml;
  mzml.compression = compression_of(options);
  mzml.numpress = options.numpress;
  mzml.intensity_width = options.intensity_32 ? FloatWidth::Bits32 : FloatWidth::Bits64;
  mzml.trim_zeros = options.trim_zeros;
  mzml.centroid_only = options.centroid_only;
  mzml.srm_as_spectra = options.srm_as_spectra;
  mzml.workers = options.workers;
  mzml.cancel = &interrupted;
  mzml.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
  auto written = write_mzml(*opened, output, mzml);
  bar.finish();
  if (interrupted.load()) die_of_interrupt();
  if (!written) {
    std::cerr << prefix << "cannot write " << output << ": " << written.error().display() << '\n';
    return {};
  }
  const MzmlSummary& summary = *written;
  const auto warn = [&](const std::vector<DamagedScan>& scans, std::string_view what) {
    for (std::size_t i = 0; i < scans.size() && i < DAMAGED_LINES_SHOWN; ++i) {
      std::cerr << prefix << "warning: " << what << " scan " << scans[i].index << " (scanId=" << scans[i].scan_id
                << "): " << scans[i].reason << '\n';
    }
    if (scans.size() > DAMAGED_LINES_SHOWN) {
      std::cerr << prefix << "warning: and " << scans.size() - DAMAGED_LINES_SHOWN << " more such scans\n";
    }
  };
  warn(summary.damaged, "left out damaged");
  warn(summary.profile_fallbacks, "centroids written for the damaged profile of");
  if (!options.quiet) {
    std::cerr << prefix << "wrote " << output << ": " << summary.spectra_written << " of " << summary.scans
              << " scans, " << summary.bytes_written << " bytes";
    if (!summary.damaged.empty()) std::cerr << ", " << summary.damaged.size() << " damaged left out";
    if (!summary.profile_fallbacks.empty()) {
      std::cerr << ", " << summary.profile_fallbacks.size() << " with centroids for a damaged profile";
    }
    if (summary.scans_without_centroid > 0) {
      std::cerr << ", " << summary.scans_without_centroid << " without centroids left out";
    }
    std::cerr << '\n';
  }
  return {true, !summary.damaged.empty() || !summary.profile_fallbacks.empty()};
}

}  // namespace

int run_convert(const ConvertOptions& options) {
  if (!options.output.empty() && options.paths.size() != 1) {
    std::cerr << "vornak convert: -o names one file, for one PATH; use --output-dir for several\n";
    return EXIT_USAGE;
  }
  if (!options.output_dir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options.output_dir, error);
    if (error) {
      std::cerr << "vornak convert: cannot create " << options.output_dir << ": " << error.message() << '\n';
      return EXIT_FAILED;
    }
  }
  const bool mzpeak = wants_mzpeak(options);
  if (mzpeak && (options.no_compression || options.intensity_32 || options.centroid_only)) {
    std::cerr << "vornak convert: --no-compression, --intensity-32 and --centroid-only apply to mzML only\n";
    return EXIT_USAGE;
  }
  catch_interrupts();

  bool all_converted = true;
  bool any_damaged = false;
  std::set<std::string> outputs;
  for (const std::string& path : options.paths) {
    std::string output = options.output;
    if (output.empty()) {
      output = options.output_dir.empty() ? output_name(path, mzpeak)
                                         : join_path(options.output_dir, output_name(path, mzpeak));
    }
    if (!outputs.insert(output).second) {
      std::cerr << "vornak convert: " << path << ": another PATH already writes " << output << '\n';
      all_converted = false;
      continue;
    }
    const FolderOutcome outcome = convert_one(path, output, options);
    all_converted = all_converted && outcome.converted;
    any_damaged = any_damaged || outcome.damaged_scans;
  }
  if (!all_converted) return EXIT_FAILED;
  return any_damaged ? EXIT_DAMAGED_SCANS : EXIT_OK;
}

}  // namespace vornak::cli
