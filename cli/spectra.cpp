// vornak spectra PATH: one JSON line per scan, in scan order. By default the scan's profile
// spectrum, or its centroid spectrum when it has no profile block or that block cannot be read;
// with --centroid the centroid spectrum. A scan whose spectrum cannot be decoded still gets its
// line: points 0, no arrays, and the reason in "error". With --frames, one line per
// ion-mobility frame: its total spectrum.
#include <iostream>

#include "cli/commands.hpp"
#include "cli/json_output.hpp"
#include "full_reader/acquisition.hpp"

namespace vornak::cli {
namespace {

// `failed_kind` is the kind of spectrum that could not be decoded, when `spectrum` is an error.
Json scan_line(const ScanInfo& scan, const Result<Spectrum>& spectrum, bool with_points, SpectrumKind failed_kind) {
  const SpectrumKind kind = spectrum ? spectrum->kind : failed_kind;
  Json line{
      {"index", scan.index},
      {"scan_id", scan.scan_id},
      {"native_id", scan.native_id()},
      {"ms_level", scan.ms_level},
      {"retention_time_sec", scan.retention_time_sec},
      {"polarity", polarity_name(scan.polarity)},
      {"kind", kind_name(kind)},
      {"points", spectrum ? spectrum->mz.size() : 0},
      {"calibration", spectrum ? Json(calibration_name(spectrum->calibration)) : Json(nullptr)},
      {"encoding", spectrum && spectrum->encoding ? Json(encoding_name(*spectrum->encoding)) : Json(nullptr)},
      {"tic", optional_json(scan.tic)},
      {"scan_type", scan_type_name(scan.scan_type)},
  };
  if (scan.ms_level >= 2) line["precursor_mz"] = optional_json(scan.precursor_mz);
  if (scan.frame_id) {
    line["frame_id"] = *scan.frame_id;
    line["drift_bin"] = optional_json(scan.drift_bin);
    line["drift_time_ms"] = optional_json(scan.drift_time_ms);
  }
  if (spectrum && spectrum->channels != ChannelValues::None) {
    line["channels"] = channel_values_name(spectrum->channels);
    if (with_points && !spectrum->precursor_mz.empty()) line["channel_precursor_mz"] = spectrum->precursor_mz;
  }
  if (!spectrum) {
    line["error"] = spectrum.error().message();
  } else if (with_points) {
    line["mz"] = spectrum->mz;
    line["intensity"] = spectrum->intensity;
  }
  return line;
}

// The scan's default spectrum; when it is an error, `failed_kind` is the kind last tried.
Result<Spectrum> default_spectrum(const Acquisition& acquisition, const ScanInfo& scan, SpectrumKind& failed_kind) {
  failed_kind = scan.peak_block ? SpectrumKind::Centroid : SpectrumKind::Profile;
  return acquisition.spectrum(scan.index);
}

// One line per frame: index (0-based), frame_id, retention_time_sec, ms_level, points.
Json frame_line(const ScanInfo& scan, const Result<Spectrum>& spectrum, bool with_points) {
  Json line{
      {"index", scan.index},
      {"frame_id", optional_json(scan.frame_id)},
      {"retention_time_sec", scan.retention_time_sec},
      {"ms_level", scan.ms_level},
      {"points", spectrum ? spectrum->mz.size() : 0},
      {"tic", optional_json(scan.tic)},
  };
  if (!spectrum) {
    line["error"] = spectrum.error().message();
  } else if (with_points) {
    line["mz"] = spectrum->mz;
    line["intensity"] = spectrum->intensity;
  }
  return line;
}

}  // namespace

int run_spectra(const SpectraOptions& options) {
  auto opened = Acquisition::open(options.path);
  if (!opened) {
    std::cerr << "vornak spectra: " << options.path << ": " << opened.error().display() << '\n';
    return EXIT_FAILED;
  }
  const Acquisition& acquisition = *opened;
  if (options.frames) {
    if (!acquisition.ion_mobility()) {
      std::cerr << "vornak spectra: " << options.path << ": --frames: not an ion-mobility acquisition\n";
      return EXIT_FAILED;
    }
    for (std::size_t k = 0; k < acquisition.frame_count(); ++k) {
      std::cout << dump(frame_line(acquisition.frame_scan(k), acquisition.frame(k), options.points)) << '\n';
      if (!std::cout) break;
    }
  }
  for (std::size_t index = 0; !options.frames && index < acquisition.size(); ++index) {
    const ScanInfo scan = acquisition.scan(index);
    SpectrumKind failed_kind = SpectrumKind::Centroid;
    const auto spectrum =
        options.centroid ? acquisition.centroid(index) : default_spectrum(acquisition, scan, failed_kind);
    std::cout << dump(scan_line(scan, spectrum, options.points, failed_kind)) << '\n';
    if (!std::cout) break;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "vornak spectra: writing to standard output failed\n";
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace vornak::cli
