// What the spectrum pass gathers about each spectrum and chromatogram, and the Arrow tables and
// index document built from it once the pass is over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"
#include "mzml_export/cv_table.hpp"

namespace vornak::mzpeak {

// PSI-MS terms of the archive that the mzML writer does not use (names as psi-ms.obo gives them).
namespace terms {
inline constexpr cv::Term NUMBER_OF_DATA_POINTS{"MS:1003060", "number of data points"};
inline constexpr cv::Term NUMBER_OF_PEAKS{"MS:1003059", "number of peaks"};
inline constexpr cv::Term SPECTRUM_TYPE{"MS:1000559", "spectrum type"};
inline constexpr cv::Term SPECTRUM_REPRESENTATION{"MS:1000525", "spectrum representation"};
inline constexpr cv::Term SCAN_POLARITY{"MS:1000465", "scan polarity"};
inline constexpr cv::Term CHROMATOGRAM_TYPE{"MS:1000626", "chromatogram type"};
inline constexpr cv::Term BASEPEAK_CHROMATOGRAM{"MS:1000628", "basepeak chromatogram"};
inline constexpr cv::Term SRM_CHROMATOGRAM{"MS:1001473", "selected reaction monitoring chromatogram"};
inline constexpr cv::Term SIM_CHROMATOGRAM{"MS:1001472", "selected ion monitoring chromatogram"};
inline constexpr cv::Term DISSOCIATION_METHOD{"MS:1000044", "dissociation method"};
inline constexpr cv::Term ION_MOBILITY_DRIFT_TIME{"MS:1002476", "ion mobility drift time"};
inline constexpr cv::Term FILE_FORMAT_CONVERSION{"MS:1000530", "file format conversion"};
inline constexpr cv::Term MZPEAK_FORMAT{"MS:1003610", "mzPeak format"};
inline constexpr cv::Term MINUTE{"UO:0000031", "minute"};
inline constexpr cv::Term MILLISECOND{"UO:0000028", "millisecond"};
}  // namespace terms

// One written spectrum: the scan index's facts and what its arrays gave.
struct SpectrumRecord {
  std::uint64_t scan = 0;  // position in the acquisition
  ScanInfo info;
  SpectrumKind representation = SpectrumKind::Profile;
  std::optional<std::uint64_t> data_points;  // rows in spectra_data (a profile block was read)
  std::optional<std::uint64_t> peaks;        // rows in spectra_peaks (a centroid block was read)
  // Of the representation's arrays, in stored order (what the chromatograms of vornak_ms give).
  double tic = 0.0;
  double base_peak_intensity = 0.0;
  std::optional<double> base_peak_mz;
  std::optional<double> lowest_mz, highest_mz;
};

// One chromatogram of chromatograms_data.parquet and its metadata row. Time in minutes.
struct ChromatogramRecord {
  std::string id;
  cv::Term type;
  std::optional<std::int32_t> polarity;
  std::vector<double> time;
  std::vector<double> intensity;
  // Transitions: a row of chromatograms_metadata_precursors (and of _products) when set.
  std::optional<double> precursor_mz;
  std::optional<double> product_mz;
  std::optional<double> collision_energy;
};

// The chromatograms of the archive: TIC and BPC over the written spectra and the MRM/SIM records
// (`transition_scans`, which are not spectra of the archive), in scan order; then one record per
// transition of a triple-quadrupole run (SRM or SIM chromatogram, time in minutes, precursor and
// product m/z and collision energy set), whose precursors and products
// chromatogram_transition_tables() writes.
[[nodiscard]] std::vector<ChromatogramRecord> chromatogram_records(
    const std::vector<SpectrumRecord>& spectra, const std::vector<SpectrumRecord>& transition_scans,
    const std::vector<TransitionChromatogram>& transitions);

// A file of the archive as the index lists it.
struct IndexedFile {
  std::string name;
  std::string entity_type;
  std::string data_kind;
  std::string column_mapping_json = "[]";  // a JSON array
  std::string checksum;                    // SHA-512, hex
};

// A metadata table and the column mapping of its CV-term columns.
struct MetadataTable {
  std::string name;
  std::string entity_type;
  std::string data_kind;
  std::shared_ptr<arrow::Table> table;
  std::string column_mapping_json;
};

// spectra_metadata, _scans, _precursors and _selected_ions.
[[nodiscard]] arrow::Result<std::vector<MetadataTable>> spectrum_metadata_tables(
    const std::vector<SpectrumRecord>& spectra);
// chromatograms_metadata.
[[nodiscard]] arrow::Result<MetadataTable> chromatogram_metadata_table(const std::vector<ChromatogramRecord>& records);
// chromatograms_metadata_precursors and _products, for the records that have precursor or
// product m/z (none for TIC and BPC).
[[nodiscard]] arrow::Result<std::vector<MetadataTable>> chromatogram_transition_tables(
    const std::vector<ChromatogramRecord>& records);

// The array index JSON of a point-layout signal file of `context` ("spectrum", "chromatogram").
[[nodiscard]] std::string array_index_json(std::string_view context, bool time_axis);

struct RunFacts {
  std::string run_id;
  std::string source_location;  // file URI of AcqData
  std::string source_sha1;      // of MSScan.bin
  cv::Term instrument_model;
  std::optional<std::string> start_time;
  bool has_ms1 = false;
  bool has_msn = false;
  bool trim_zeros = false;
};

// mzpeak_index.json: the files with their checksums, and the file-level metadata.
[[nodiscard]] std::string index_json(const std::vector<IndexedFile>& files, const RunFacts& facts);

}  // namespace vornak::mzpeak
