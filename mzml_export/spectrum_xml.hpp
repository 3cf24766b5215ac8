// The mzML elements of one spectrum and of the TIC chromatogram, rendered as text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"
#include "mzml_export/binary_array.hpp"
#include "mzml_export/cv_table.hpp"
#include "reader_lib/error.hpp"

namespace vornak {

struct ArrayOptions {
  Compression compression = Compression::Default;
  FloatWidth intensity_width = FloatWidth::Bits64;
  // Spectra's m/z by Numpress linear prediction, their intensities by Numpress positive integers
  // or short logged floats; chromatograms stay as they are.
  bool numpress = false;
};

// One thread's scratch space for rendering: the array encoder, which keeps its buffers.
struct RenderScratch {
  ArrayEncoder encoder;
};

// Appends `<cvParam .../>` and a newline, after `indent`. The cvRef comes from the accession's
// prefix; `unit` adds the unit attributes.
void append_cv_param(std::string& out, std::string_view indent, const cv::Term& term, std::string_view value = {},
                     const cv::Term* unit = nullptr);

// Removes from a profile spectrum every zero bin that has no non-zero neighbour.
void trim_zero_bins(ValueArray& mz, ValueArray& intensity);

// Appends what lies inside one <spectrum> element and its closing tag: spectrum-level terms
// (MS level, spectrum type, polarity, total ion current, base peak, observed m/z range), the scan
// with its start time and window, the precursor of an MS2+ scan, and the two arrays. `tic` is the
// sum of `intensity`. Compressor failures are Parse errors.
[[nodiscard]] Result<void> append_spectrum_content(std::string& out, const ScanInfo& scan, SpectrumKind kind,
                                                   std::span<const double> mz, std::span<const double> intensity,
                                                   double tic, const ArrayOptions& options, RenderScratch& scratch);

// The indentation of a <spectrum> or <chromatogram> opening tag, which the caller writes.
inline constexpr std::string_view ELEMENT_INDENT = "        ";

// Appends the whole TIC chromatogram element (index 0, id "TIC") after ELEMENT_INDENT: times in
// seconds, 64-bit.
[[nodiscard]] Result<void> append_tic_chromatogram(std::string& out, std::span<const double> times_sec,
                                                   std::span<const double> currents, const ArrayOptions& options,
                                                   RenderScratch& scratch);

// Appends one SRM or SIM chromatogram element after ELEMENT_INDENT: its type and polarity, the
// first quadrupole's m/z as the precursor's isolation window target, the product's for SRM,
// times in seconds and the counts, 64-bit.
[[nodiscard]] Result<void> append_transition_chromatogram(std::string& out, std::size_t index,
                                                          const TransitionChromatogram& chromatogram,
                                                          const ArrayOptions& options, RenderScratch& scratch);

}  // namespace vornak
