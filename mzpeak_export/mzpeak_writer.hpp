// mzPeak archives (draft 0.9) from an Acquisition: Parquet members written by Arrow's own Parquet
// writer, one streaming pass over the spectra on a bounded pool of decoding workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "mzml_export/mzml_writer.hpp"
#include "reader_lib/error.hpp"

namespace vornak {

struct MzpeakOptions {
  // A ZIP of stored members, or the same members unpacked in a directory.
  bool directory = false;
  // Profile spectra keep only non-zero points and the zero points next to one (zero-run
  // stripping); number_of_data_points counts the points stored.
  bool trim_zeros = false;
  // Threads that decode spectra; 0: one per hardware thread but one (the calling thread encodes).
  unsigned workers = 0;
  // ZIP64 records even for a small archive (tests of that path).
  bool force_zip64 = false;
  // Polled between spectra; when it becomes true the conversion stops with an error.
  const std::atomic<bool>* cancel = nullptr;
  // Called on the calling thread after each scan is handled.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct MzpeakSummary {
  std::uint64_t scans = 0;
  std::uint64_t spectra_written = 0;     // rows of spectra_metadata
  std::uint64_t data_points = 0;         // rows of spectra_data (profile points)
  std::uint64_t peaks = 0;               // rows of spectra_peaks (centroids)
  std::uint64_t transition_scans = 0;    // MRM and SIM records, written as SRM/SIM chromatograms
  std::vector<DamagedScan> damaged;      // scans left out: no block could be decoded
  // Scans written without one of their blocks because it is damaged (the reason names which).
  std::vector<DamagedScan> partial;
  std::uint64_t bytes_written = 0;
};

// Writes `acquisition` as an mzPeak archive at `output_path`, under a temporary name renamed into
// place when complete (on every failure nothing appears under `output_path`). MRM and SIM records
// of triple-quadrupole runs become one SRM or SIM chromatogram per transition. Every other scan with a
// readable profile block has its points in spectra_data.parquet, every scan with a readable
// centroid block its peaks in spectra_peaks.parquet. A scan none of whose blocks can be decoded
// is left out; one with a damaged block beside a readable one keeps the readable one; both are
// listed in the summary and the conversion succeeds. Errors: Io errors of the output, Parse
// errors for "conversion cancelled" and for failures of the Parquet writer.
[[nodiscard]] Result<MzpeakSummary> write_mzpeak(const Acquisition& acquisition, const std::string& output_path,
                                                 const MzpeakOptions& options);

// True when `path` names an mzPeak output: it ends in ".mzpeak" (any case) or in "/".
[[nodiscard]] bool is_mzpeak_path(std::string_view path) noexcept;

}  // namespace vornak
