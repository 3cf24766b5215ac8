// Rendering spectra and the chromatogram: cvParams with the vocabulary's names, the scan and
// precursor description from the scan index, and the encoded arrays.
#include "mzml_export/spectrum_xml.hpp"

#include <cstddef>

#include "mzml_export/xml_text.hpp"

namespace vornak {
namespace {

// Indentation of <spectrum> and <chromatogram>, and of the nesting levels below them.
constexpr std::string_view I0 = "        ";
constexpr std::string_view I1 = "          ";
constexpr std::string_view I2 = "            ";
constexpr std::string_view I3 = "              ";
constexpr std::string_view I4 = "                ";
constexpr std::string_view I5 = "                  ";

void append_cv_number(std::string& out, std::string_view indent, const cv::Term& term, double value,
                      const cv::Term* unit = nullptr) {
  append_cv_param(out, indent, term, format_number(value), unit);
}

// The term that says how an array's bytes were written.
const cv::Term& compression_term(const PreparedArray& array) {
  switch (array.codec) {
    case ArrayCodec::NumpressLinear:
      return array.deflated ? cv::NUMPRESS_LINEAR_ZLIB_COMPRESSION : cv::NUMPRESS_LINEAR_COMPRESSION;
    case ArrayCodec::NumpressPositiveInteger:
      return array.deflated ? cv::NUMPRESS_POSITIVE_INTEGER_ZLIB_COMPRESSION
                            : cv::NUMPRESS_POSITIVE_INTEGER_COMPRESSION;
    case ArrayCodec::NumpressShortLoggedFloat:
      return array.deflated ? cv::NUMPRESS_SHORT_LOGGED_FLOAT_ZLIB_COMPRESSION
                            : cv::NUMPRESS_SHORT_LOGGED_FLOAT_COMPRESSION;
    case ArrayCodec::Plain: break;
  }
  return array.deflated ? cv::ZLIB_COMPRESSION : cv::NO_COMPRESSION;
}

// One <binaryDataArray> with its encoding terms, its kind and its base64 text. Numpress arrays
// decode to 64-bit floats, which their width term says.
Result<void> append_array(std::string& out, std::string_view indent, std::string_view inner,
                          std::span<const double> values, FloatWidth width, const cv::Term& kind,
                          const cv::Term& unit, const ArrayOptions& options, RenderScratch& scratch,
                          Numpress numpress = Numpress::Off) {
  const auto prepared =
      scratch.encoder.prepare(values, width, options.compression, options.numpress ? numpress : Numpress::Off);
  if (!prepared) return std::unexpected(prepared.error());
  out += indent;
  out += "<binaryDataArray encodedLength=\"";
  append_integer(out, prepared->base64_length);
  out += "\">\n";
  const bool narrow = width == FloatWidth::Bits32 && prepared->codec == ArrayCodec::Plain;
  append_cv_param(out, inner, narrow ? cv::FLOAT_32 : cv::FLOAT_64);
  append_cv_param(out, inner, compression_term(*prepared));
  append_cv_param(out, inner, kind, {}, &unit);
  out += inner;
  out += "<binary>";
  scratch.encoder.append_prepared(out);
  out += "</binary>\n";
  out += indent;
  out += "</binaryDataArray>\n";
  return {};
}

// <activation>: collision-induced dissociation, with its energy when the record has one.
void append_activation(std::string& out, std::string_view indent, std::string_view inner,
                       const std::optional<double>& collision_energy) {
  out += indent;
  out += "<activation>\n";
  append_cv_param(out, inner, cv::COLLISION_INDUCED_DISSOCIATION);
  if (collision_energy) append_cv_number(out, inner, cv::COLLISION_ENERGY, *collision_energy, &cv::ELECTRONVOLT);
  out += indent;
  out += "</activation>\n";
}

void append_precursor(std::string& out, const ScanInfo& scan) {
  out += I1;
  out += "<precursorList count=\"1\">\n";
  out += I2;
  out += "<precursor>\n";
  if (scan.precursor_mz && scan.isolation_width && *scan.isolation_width > 0) {
    out += I3;
    out += "<isolationWindow>\n";
    append_cv_number(out, I4, cv::ISOLATION_WINDOW_TARGET_MZ, *scan.precursor_mz, &cv::MZ_UNIT);
    append_cv_number(out, I4, cv::ISOLATION_WINDOW_LOWER_OFFSET, *scan.isolation_width / 2, &cv::MZ_UNIT);
    append_cv_number(out, I4, cv::ISOLATION_WINDOW_UPPER_OFFSET, *scan.isolation_width / 2, &cv::MZ_UNIT);
    out += I3;
    out += "</isolationWindow>\n";
  }
  if (scan.precursor_mz) {
    out += I3;
    out += "<selectedIonList count=\"1\">\n";
    out += I4;
    out += "<selectedIon>\n";
    append_cv_number(out, I5, cv::SELECTED_ION_MZ, *scan.precursor_mz, &cv::MZ_UNIT);
    if (scan.charge_state) append_cv_param(out, I5, cv::CHARGE_STATE, std::to_string(*scan.charge_state));
    out += I4;
    out += "</selectedIon>\n";
    out += I3;
    out += "</selectedIonList>\n";
  }
  append_activation(out, I3, I4, scan.collision_energy);
  out += I2;
  out += "</precursor>\n";
  out += I1;
  out += "</precursorList>\n";
}

}  // namespace

void append_cv_param(std::string& out, std::string_view indent, const cv::Term& term, std::string_view value,
                     const cv::Term* unit) {
  const auto cv_ref = [](const cv::Term& t) { return t.accession.starts_with("UO:") ? "UO" : "MS"; };
  out += indent;
  out += "<cvParam cvRef=\"";
  out += cv_ref(term);
  out += "\" accession=\"";
  out += term.accession;
  out += "\" name=\"";
  out += term.name;
  out += "\" value=\"";
  append_escaped(out, value);
  out += '"';
  if (unit != nullptr) {
    out += " unitCvRef=\"";
    out += cv_ref(*unit);
    out += "\" unitAccession=\"";
    out += unit->accession;
    out += "\" unitName=\"";
    out += unit->name;
    out += '"';
  }
  out += "/>\n";
}

void trim_zero_bins(ValueArray& mz, ValueArray& intensity) {
  const std::size_t count = intensity.size() < mz.size() ? intensity.size() : mz.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const bool keep = intensity[i] != 0 || (i > 0 && intensity[i - 1] != 0) ||
                      (i + 1 < count && intensity[i + 1] != 0);
    if (!keep) continue;
    // Bin `kept` <= i is written only at step i itself or later, so the neighbours read at
    // step i + 1 still hold their own values.
    mz[kept] = mz[i];
    intensity[kept] = intensity[i];
    ++kept;
  }
  mz.resize(kept);
  intensity.resize(kept);
}

Result<void> append_spectrum_content(std::string& out, const ScanInfo& scan, SpectrumKind kind,
                                     std::span<const double> mz, std::span<const double> intensity, double tic,
                                     const ArrayOptions& options, RenderScratch& scratch) {
  if (scan.ms_level >= 1) append_cv_param(out, I1, cv::MS_LEVEL, std::to_string(scan.ms_level));
  if (scan.scan_type == SCAN_TYPE_MRM) {
    append_cv_param(out, I1, cv::SRM_SPECTRUM);
  } else if (scan.scan_type == SCAN_TYPE_SIM) {
    append_cv_param(out, I1, cv::SIM_SPECTRUM);
  } else {
    append_cv_param(out, I1, scan.ms_level >= 2 ? cv::MSN_SPECTRUM : cv::MS1_SPECTRUM);
  }
  append_cv_param(out, I1, kind == SpectrumKind::Profile ? cv::PROFILE_SPECTRUM : cv::CENTROID_SPECTRUM);
  if (scan.polarity == Polarity::Positive) append_cv_param(out, I1, cv::POSITIVE_SCAN);
  if (scan.polarity == Polarity::Negative) append_cv_param(out, I1, cv::NEGATIVE_SCAN);
  append_cv_number(out, I1, cv::TOTAL_ION_CURRENT, tic);
  if (!mz.empty()) {
    std::size_t apex = 0;
    for (std::size_t i = 1; i < intensity.size(); ++i) {
      if (intensity[i] > intensity[apex]) apex = i;
    }
    append_cv_number(out, I1, cv::BASE_PEAK_MZ, mz[apex], &cv::MZ_UNIT);
    append_cv_number(out, I1, cv::BASE_PEAK_INTENSITY, intensity[apex], &cv::DETECTOR_COUNTS);
    append_cv_number(out, I1, cv::LOWEST_OBSERVED_MZ, mz.front(), &cv::MZ_UNIT);
    append_cv_number(out, I1, cv::HIGHEST_OBSERVED_MZ, mz.back(), &cv::MZ_UNIT);
  }

  out += I1;
  out += "<scanList count=\"1\">\n";
  append_cv_param(out, I2, cv::NO_COMBINATION);
  out += I2;
  out += "<scan>\n";
  append_cv_number(out, I3, cv::SCAN_START_TIME, scan.retention_time_sec, &cv::SECOND);
  if (scan.drift_time_ms) append_cv_number(out, I3, cv::ION_MOBILITY_DRIFT_TIME, *scan.drift_time_ms, &cv::MILLISECOND);
  if (scan.mz_range_low && scan.mz_range_high) {
    out += I3;
    out += "<scanWindowList count=\"1\">\n";
    out += I4;
    out += "<scanWindow>\n";
    append_cv_number(out, I5, cv::SCAN_WINDOW_LOWER_LIMIT, *scan.mz_range_low, &cv::MZ_UNIT);
    append_cv_number(out, I5, cv::SCAN_WINDOW_UPPER_LIMIT, *scan.mz_range_high, &cv::MZ_UNIT);
    out += I4;
    out += "</scanWindow>\n";
    out += I3;
    out += "</scanWindowList>\n";
  }
  out += I2;
  out += "</scan>\n";
  out += I1;
  out += "</scanList>\n";

  if (scan.ms_level >= 2 && (scan.precursor_mz || scan.collision_energy)) append_precursor(out, scan);

  out += I1;
  out += "<binaryDataArrayList count=\"2\">\n";
  if (auto written = append_array(out, I2, I3, mz, FloatWidth::Bits64, cv::MZ_ARRAY, cv::MZ_UNIT, options, scratch,
                                  Numpress::Linear);
      !written) {
    return written;
  }
  if (auto written = append_array(out, I2, I3, intensity, options.intensity_width, cv::INTENSITY_ARRAY,
                                  cv::DETECTOR_COUNTS, options, scratch, Numpress::Intensity);
      !written) {
    return written;
  }
  out += I1;
  out += "</binaryDataArrayList>\n";
  out += I0;
  out += "</spectrum>\n";
  return {};
}

Result<void> append_tic_chromatogram(std::string& out, std::span<const double> times_sec,
                                     std::span<const double> currents, const ArrayOptions& options,
                                     RenderScratch& scratch) {
  out += I0;
  out += "<chromatogram index=\"0\" id=\"TIC\" defaultArrayLength=\"";
  append_integer(out, times_sec.size());
  out += "\">\n";
  append_cv_param(out, I1, cv::TIC_CHROMATOGRAM);
  out += I1;
  out += "<binaryDataArrayList count=\"2\">\n";
  if (auto written = append_array(out, I2, I3, times_sec, FloatWidth::Bits64, cv::TIME_ARRAY, cv::SECOND, options,
                                  scratch);
      !written) {
    return written;
  }
  if (auto written = append_array(out, I2, I3, currents, FloatWidth::Bits64, cv::INTENSITY_ARRAY,
                                  cv::DETECTOR_COUNTS, options, scratch);
      !written) {
    return written;
  }
  out += I1;
  out += "</binaryDataArrayList>\n";
  out += I0;
  out += "</chromatogram>\n";
  return {};
}

namespace {

// A chromatogram's precursor or product: the isolation window's target m/z, and for the
// precursor the activation (collision-induced, with the record's energy).
void append_isolation_target(std::string& out, std::string_view element, double mz,
                             const TransitionChromatogram* activated) {
  out += I1;
  out += "<";
  out += element;
  out += ">\n";
  out += I2;
  out += "<isolationWindow>\n";
  append_cv_number(out, I3, cv::ISOLATION_WINDOW_TARGET_MZ, mz, &cv::MZ_UNIT);
  out += I2;
  out += "</isolationWindow>\n";
  if (activated != nullptr) append_activation(out, I2, I3, activated->collision_energy);
  out += I1;
  out += "</";
  out += element;
  out += ">\n";
}

}  // namespace

Result<void> append_transition_chromatogram(std::string& out, std::size_t index,
                                            const TransitionChromatogram& chromatogram, const ArrayOptions& options,
                                            RenderScratch& scratch) {
  out += I0;
  out += "<chromatogram index=\"";
  append_integer(out, index);
  out += "\" id=\"";
  append_escaped(out, chromatogram.id);
  out += "\" defaultArrayLength=\"";
  append_integer(out, chromatogram.time_sec.size());
  out += "\">\n";
  const bool srm = chromatogram.kind == TransitionChromatogram::Kind::Srm;
  append_cv_param(out, I1, srm ? cv::SRM_CHROMATOGRAM : cv::SIM_CHROMATOGRAM);
  if (chromatogram.polarity == Polarity::Positive) append_cv_param(out, I1, cv::POSITIVE_SCAN);
  if (chromatogram.polarity == Polarity::Negative) append_cv_param(out, I1, cv::NEGATIVE_SCAN);
  append_isolation_target(out, "precursor", chromatogram.precursor_mz, &chromatogram);
  if (chromatogram.product_mz) append_isolation_target(out, "product", *chromatogram.product_mz, nullptr);
  out += I1;
  out += "<binaryDataArrayList count=\"2\">\n";
  if (auto written = append_array(out, I2, I3, chromatogram.time_sec, FloatWidth::Bits64, cv::TIME_ARRAY, cv::SECOND,
                                  options, scratch);
      !written) {
    return written;
  }
  if (auto written = append_array(out, I2, I3, chromatogram.intensity, FloatWidth::Bits64, cv::INTENSITY_ARRAY,
                                  cv::DETECTOR_COUNTS, options, scratch);
      !written) {
    return written;
  }
  out += I1;
  out += "</binaryDataArrayList>\n";
  out += I0;
  out += "</chromatogram>\n";
  return {};
}

}  // namespace vornak
