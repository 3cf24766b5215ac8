// Indexed mzML 1.1 from an Acquisition, in one streaming pass: workers decode and encode
// spectra in parallel, one thread writes them in scan order, counting and hashing every byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "mzml_export/binary_array.hpp"
#include "reader_lib/error.hpp"

namespace vornak {

struct MzmlOptions {
  Compression compression = Compression::Default;  // zlib-format streams, or None: plain base64
  // Spectra's arrays by MS-Numpress (then compressed as `compression` says).
  bool numpress = false;
  FloatWidth intensity_width = FloatWidth::Bits64;  // m/z is always 64-bit
  // Profile spectra keep only non-zero bins and the zero bins next to one.
  bool trim_zeros = false;
  // Each scan's centroid spectrum; scans without a centroid block are left out.
  bool centroid_only = false;
  // MRM and SIM records become SRM and SIM chromatograms; true writes them as spectra as well.
  bool srm_as_spectra = false;
  // Threads that decode and encode spectra; 0: one per hardware thread.
  unsigned workers = 0;
  // Polled between spectra; when it becomes true the conversion stops with an error.
  const std::atomic<bool>* cancel = nullptr;
  // Called on the calling thread after each scan is handled (written or left out).
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// A scan whose spectrum could not be decoded (left out), or whose profile block could not be
// (its centroid spectrum written instead).
struct DamagedScan {
  std::uint64_t index = 0;
  std::uint32_t scan_id = 0;
  std::string reason;  // the decoder's message
};

struct MzmlSummary {
  std::uint64_t scans = 0;                   // scans in the acquisition
  std::uint64_t spectra_written = 0;
  std::uint64_t scans_without_centroid = 0;  // centroid_only: scans with no centroid block
  std::uint64_t transition_scans = 0;        // MRM and SIM records (chromatograms, not spectra by default)
  std::uint64_t chromatograms_written = 0;   // the TIC and one per transition
  std::vector<DamagedScan> damaged;          // left out, in scan order
  // Written as centroid spectra because their profile block is damaged, in scan order.
  std::vector<DamagedScan> profile_fallbacks;
  std::uint64_t bytes_written = 0;
  std::string file_checksum;  // the SHA-1 written at the end of the file
};

// Writes `acquisition` as indexed mzML to `output_path`. The file is written under a temporary
// name in the same folder and renamed to `output_path` only when complete; on every failure the
// temporary file is removed and nothing appears under `output_path`. MRM and SIM records are
// written as one SRM or SIM chromatogram per transition after the TIC (as spectra too with
// srm_as_spectra), and count in the TIC. Each other scan's spectrum is the
// one Acquisition::spectrum gives (its profile, else its centroids), or its centroids with
// centroid_only. A scan whose spectrum cannot be decoded is left out (so is one whose centroids
// cannot be decoded and whose profile block is empty), and one whose profile block is damaged gets
// its centroids; both are listed in the summary and the conversion still succeeds. Errors: Io
// errors of creating, writing or renaming the file, and Parse errors for "conversion cancelled"
// and for failures of the compressor or the hash.
[[nodiscard]] Result<MzmlSummary> write_mzml(const Acquisition& acquisition, const std::string& output_path,
                                             const MzmlOptions& options);

}  // namespace vornak
