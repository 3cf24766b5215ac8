// The metadata tables (Arrow builders over the records of the pass), the chromatograms, the array
// index and mzpeak_index.json (nlohmann::json).
#include "mzpeak_export/tables.hpp"

#include <nlohmann/json.hpp>

#ifndef VORNAK_VERSION
#define VORNAK_VERSION "0"
#endif

namespace vornak::mzpeak {
namespace {

using nlohmann::json;
using ArrayPtr = std::shared_ptr<arrow::Array>;

constexpr std::string_view MS_CV_URI = "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo";
constexpr std::string_view UO_CV_URI =
    "https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo";
constexpr std::string_view SOFTWARE_ID = "vornak";
constexpr std::string_view PROCESSING_ID = "vornak_conversion";
constexpr std::string_view SOURCE_FILE_ID = "MSScan.bin";

// The `parameters` list every table carries; this writer promotes every term it knows to a
// column, so the lists are empty, but the column keeps the layout readers expect.
std::shared_ptr<arrow::DataType> parameter_list_type() {
  auto value = arrow::struct_({arrow::field("integer", arrow::int64()), arrow::field("float", arrow::float64()),
                               arrow::field("string", arrow::large_utf8()), arrow::field("boolean", arrow::boolean())});
  auto item = arrow::struct_({arrow::field("value", value), arrow::field("accession", arrow::large_utf8()),
                              arrow::field("name", arrow::large_utf8()), arrow::field("unit", arrow::large_utf8())});
  return arrow::large_list(arrow::field("item", item));
}

arrow::Result<ArrayPtr> empty_lists(const std::shared_ptr<arrow::DataType>& list_type, std::size_t rows) {
  const auto& list = static_cast<const arrow::LargeListType&>(*list_type);
  arrow::Int64Builder offsets;
  ARROW_RETURN_NOT_OK(offsets.AppendValues(std::vector<int64_t>(rows + 1, 0)));
  ARROW_ASSIGN_OR_RAISE(auto offset_array, offsets.Finish());
  ARROW_ASSIGN_OR_RAISE(auto values, arrow::MakeEmptyArray(list.value_type()));
  ARROW_ASSIGN_OR_RAISE(auto lists, arrow::LargeListArray::FromArrays(list_type, *offset_array, *values));
  return std::static_pointer_cast<arrow::Array>(lists);
}

// A column of `rows` values from `get(i)`, null where it gives none.
template <typename Builder, typename Get>
arrow::Result<ArrayPtr> column(std::size_t rows, Get get) {
  Builder builder;
  ARROW_RETURN_NOT_OK(builder.Reserve(static_cast<int64_t>(rows)));
  for (std::size_t i = 0; i < rows; ++i) {
    const auto value = get(i);
    if (value) {
      ARROW_RETURN_NOT_OK(builder.Append(*value));
    } else {
      ARROW_RETURN_NOT_OK(builder.AppendNull());
    }
  }
  return builder.Finish();
}

template <typename T>
std::optional<T> none() {
  return std::nullopt;
}

// Rows of a precursors table: the entity each belongs to, and its window and energy.
struct PrecursorRows {
  std::vector<std::uint64_t> source;
  std::vector<std::optional<double>> target, half_width, collision_energy;
};

// Columns of a table in the making, and the column mapping of its CV-term columns.
class TableColumns {
 public:
  void add(std::string name, ArrayPtr array, bool nullable = true) {
    fields_.push_back(arrow::field(std::move(name), array->type(), nullable));
    arrays_.push_back(std::move(array));
  }
  // `path` names a column of this table (or a field of a struct column) holding `term`.
  void map(std::string path, const cv::Term& term, const cv::Term* unit = nullptr) {
    mapping_.push_back({{"name", term.name},
                        {"path", std::move(path)},
                        {"accession", term.accession},
                        {"unit", unit != nullptr ? json(unit->accession) : json(nullptr)}});
  }
  MetadataTable finish(std::string name, std::string entity_type, std::string data_kind) {
    return MetadataTable{std::move(name), std::move(entity_type), std::move(data_kind),
                         arrow::Table::Make(arrow::schema(fields_), arrays_), mapping_.dump()};
  }

 private:
  std::vector<std::shared_ptr<arrow::Field>> fields_;
  std::vector<ArrayPtr> arrays_;
  json mapping_ = json::array();
};

arrow::Result<ArrayPtr> struct_of(const std::vector<std::pair<std::string, ArrayPtr>>& members) {
  std::vector<ArrayPtr> children;
  std::vector<std::shared_ptr<arrow::Field>> fields;
  for (const auto& [name, array] : members) {
    fields.push_back(arrow::field(name, array->type()));
    children.push_back(array);
  }
  ARROW_ASSIGN_OR_RAISE(auto array, arrow::StructArray::Make(children, fields));
  return std::static_pointer_cast<arrow::Array>(array);
}

std::optional<std::int32_t> polarity_value(Polarity polarity) {
  if (polarity == Polarity::Positive) return 1;
  if (polarity == Polarity::Negative) return -1;
  return std::nullopt;
}

json param(const cv::Term& term, json value = nullptr, const cv::Term* unit = nullptr) {
  json out = {{"name", term.name}, {"accession", term.accession}, {"value", std::move(value)}};
  out["unit"] = unit != nullptr ? json(unit->accession) : json(nullptr);
  return out;
}

// The precursors table of spectra or chromatograms: isolation window and activation (CID).
arrow::Result<MetadataTable> precursor_table(const PrecursorRows& rows, std::string name, std::string entity) {
  const std::size_t m = rows.source.size();
  const auto parameters_type = parameter_list_type();
  TableColumns t;
  ARROW_ASSIGN_OR_RAISE(auto source, column<arrow::UInt64Builder>(m, [&](std::size_t k) {
                          return std::optional<std::uint64_t>(rows.source[k]);
                        }));
  t.add("source_index", source, false);
  // The record does not say which scan the precursor was chosen from.
  ARROW_ASSIGN_OR_RAISE(auto precursor_index,
                        column<arrow::UInt64Builder>(m, [](std::size_t) { return none<std::uint64_t>(); }));
  t.add("precursor_index", precursor_index);
  ARROW_ASSIGN_OR_RAISE(auto precursor_id,
                        column<arrow::LargeStringBuilder>(m, [](std::size_t) { return none<std::string>(); }));
  t.add("precursor_id", precursor_id);
  ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameters_type, m));
  ARROW_ASSIGN_OR_RAISE(auto target, column<arrow::DoubleBuilder>(m, [&](std::size_t k) { return rows.target[k]; }));
  ARROW_ASSIGN_OR_RAISE(auto lower, column<arrow::DoubleBuilder>(m, [&](std::size_t k) { return rows.half_width[k]; }));
  ARROW_ASSIGN_OR_RAISE(auto upper, column<arrow::DoubleBuilder>(m, [&](std::size_t k) { return rows.half_width[k]; }));
  ARROW_ASSIGN_OR_RAISE(auto isolation, struct_of({{"isolation_window_target", target},
                                                   {"isolation_window_lower_offset", lower},
                                                   {"isolation_window_upper_offset", upper},
                                                   {"parameters", parameters}}));
  t.add("isolation_window", isolation);
  t.map("isolation_window.isolation_window_target", cv::ISOLATION_WINDOW_TARGET_MZ, &cv::MZ_UNIT);
  t.map("isolation_window.isolation_window_lower_offset", cv::ISOLATION_WINDOW_LOWER_OFFSET, &cv::MZ_UNIT);
  t.map("isolation_window.isolation_window_upper_offset", cv::ISOLATION_WINDOW_UPPER_OFFSET, &cv::MZ_UNIT);
  ARROW_ASSIGN_OR_RAISE(auto energy,
                        column<arrow::DoubleBuilder>(m, [&](std::size_t k) { return rows.collision_energy[k]; }));
  ARROW_ASSIGN_OR_RAISE(auto method, column<arrow::LargeStringBuilder>(m, [](std::size_t) {
                          return std::optional<std::string_view>(cv::COLLISION_INDUCED_DISSOCIATION.accession);
                        }));
  ARROW_ASSIGN_OR_RAISE(auto activation, struct_of({{"collision_energy", energy},
                                                    {"dissociation_method", method},
                                                    {"parameters", parameters}}));
  t.add("activation", activation);
  t.map("activation.collision_energy", cv::COLLISION_ENERGY, &cv::ELECTRONVOLT);
  t.map("activation.dissociation_method", terms::DISSOCIATION_METHOD);
  return t.finish(std::move(name), std::move(entity), "precursors");
}

}  // namespace

std::vector<ChromatogramRecord> chromatogram_records(const std::vector<SpectrumRecord>& spectra,
                                                     const std::vector<SpectrumRecord>& transition_scans,
                                                     const std::vector<TransitionChromatogram>& transitions) {
  ChromatogramRecord tic{"TIC", cv::TIC_CHROMATOGRAM, std::nullopt, {}, {}, std::nullopt, std::nullopt, std::nullopt};
  ChromatogramRecord bpc{"BPC", terms::BASEPEAK_CHROMATOGRAM, std::nullopt, {}, {}, std::nullopt, std::nullopt,
                         std::nullopt};
  std::optional<Polarity> shared;
  bool mixed = false;
  // Both lists ascend by scan: merge them.
  std::size_t s = 0;
  std::size_t t = 0;
  while (s < spectra.size() || t < transition_scans.size()) {
    const bool from_spectra =
        t == transition_scans.size() || (s < spectra.size() && spectra[s].scan < transition_scans[t].scan);
    const SpectrumRecord& spectrum = from_spectra ? spectra[s++] : transition_scans[t++];
    const double minutes = spectrum.info.retention_time_sec / 60.0;
    tic.time.push_back(minutes);
    tic.intensity.push_back(spectrum.tic);
    bpc.time.push_back(minutes);
    bpc.intensity.push_back(spectrum.base_peak_intensity);
    if (!shared) shared = spectrum.info.polarity;
    mixed = mixed || *shared != spectrum.info.polarity;
  }
  if (shared && !mixed) tic.polarity = bpc.polarity = polarity_value(*shared);
  std::vector<ChromatogramRecord> records;
  records.push_back(std::move(tic));
  records.push_back(std::move(bpc));
  for (const TransitionChromatogram& transition : transitions) {
    ChromatogramRecord record;
    record.id = transition.id;
    record.type = transition.kind == TransitionChromatogram::Kind::Srm ? terms::SRM_CHROMATOGRAM
                                                                       : terms::SIM_CHROMATOGRAM;
    if (transition.polarity != Polarity::Unknown) record.polarity = polarity_value(transition.polarity);
    for (const double seconds : transition.time_sec) record.time.push_back(seconds / 60.0);
    record.intensity = transition.intensity;
    record.precursor_mz = transition.precursor_mz;
    record.product_mz = transition.product_mz;
    record.collision_energy = transition.collision_energy;
    records.push_back(std::move(record));
  }
  return records;
}

arrow::Result<std::vector<MetadataTable>> spectrum_metadata_tables(const std::vector<SpectrumRecord>& spectra) {
  const std::size_t n = spectra.size();
  const auto parameters_type = parameter_list_type();
  std::vector<MetadataTable> tables;

  {  // spectra_metadata: one row per spectrum
    TableColumns t;
    ARROW_ASSIGN_OR_RAISE(auto index, column<arrow::UInt64Builder>(n, [](std::size_t i) {
                            return std::optional<std::uint64_t>(i);
                          }));
    t.add("index", index, false);
    ARROW_ASSIGN_OR_RAISE(auto id, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                            return std::optional<std::string>(spectra[i].info.native_id());
                          }));
    t.add("id", id);
    ARROW_ASSIGN_OR_RAISE(auto time, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return std::optional<double>(spectra[i].info.retention_time_sec / 60.0);
                          }));
    t.add("time", time);
    t.map("time", cv::SCAN_START_TIME, &terms::MINUTE);
    ARROW_ASSIGN_OR_RAISE(auto level, column<arrow::Int32Builder>(n, [&](std::size_t i) {
                            const std::uint32_t value = spectra[i].info.ms_level;
                            return value >= 1 ? std::optional<std::int32_t>(static_cast<std::int32_t>(value))
                                              : std::nullopt;
                          }));
    t.add("ms_level", level);
    t.map("ms_level", cv::MS_LEVEL);
    ARROW_ASSIGN_OR_RAISE(auto processing, column<arrow::LargeStringBuilder>(n, [](std::size_t) {
                            return none<std::string>();
                          }));
    t.add("data_processing_id", processing);
    ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameters_type, n));
    t.add("parameters", parameters);
    ARROW_ASSIGN_OR_RAISE(auto auxiliary, column<arrow::Int32Builder>(n, [](std::size_t) {
                            return std::optional<std::int32_t>(0);
                          }));
    t.add("number_of_auxiliary_arrays", auxiliary);
    ARROW_ASSIGN_OR_RAISE(auto representation, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                            return std::optional<std::string_view>(spectra[i].representation == SpectrumKind::Profile
                                                                       ? cv::PROFILE_SPECTRUM.accession
                                                                       : cv::CENTROID_SPECTRUM.accession);
                          }));
    t.add("spectrum_representation", representation);
    t.map("spectrum_representation", terms::SPECTRUM_REPRESENTATION);
    ARROW_ASSIGN_OR_RAISE(auto polarity, column<arrow::Int32Builder>(n, [&](std::size_t i) {
                            return polarity_value(spectra[i].info.polarity);
                          }));
    t.add("scan_polarity", polarity);
    t.map("scan_polarity", terms::SCAN_POLARITY);
    ARROW_ASSIGN_OR_RAISE(auto type, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                            return std::optional<std::string_view>(spectra[i].info.ms_level >= 2
                                                                       ? cv::MSN_SPECTRUM.accession
                                                                       : cv::MS1_SPECTRUM.accession);
                          }));
    t.add("spectrum_type", type);
    t.map("spectrum_type", terms::SPECTRUM_TYPE);
    ARROW_ASSIGN_OR_RAISE(auto points, column<arrow::UInt64Builder>(n, [&](std::size_t i) {
                            return spectra[i].data_points;
                          }));
    t.add("number_of_data_points", points);
    t.map("number_of_data_points", terms::NUMBER_OF_DATA_POINTS);
    ARROW_ASSIGN_OR_RAISE(auto peaks, column<arrow::UInt64Builder>(n, [&](std::size_t i) { return spectra[i].peaks; }));
    t.add("number_of_peaks", peaks);
    t.map("number_of_peaks", terms::NUMBER_OF_PEAKS);
    ARROW_ASSIGN_OR_RAISE(auto tic, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return std::optional<double>(spectra[i].tic);
                          }));
    t.add("total_ion_current", tic);
    t.map("total_ion_current", cv::TOTAL_ION_CURRENT, &cv::DETECTOR_COUNTS);
    ARROW_ASSIGN_OR_RAISE(auto base_mz, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return spectra[i].base_peak_mz;
                          }));
    t.add("base_peak_mz", base_mz);
    t.map("base_peak_mz", cv::BASE_PEAK_MZ, &cv::MZ_UNIT);
    ARROW_ASSIGN_OR_RAISE(auto base_intensity, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return spectra[i].base_peak_mz ? std::optional<double>(spectra[i].base_peak_intensity)
                                                           : std::nullopt;
                          }));
    t.add("base_peak_intensity", base_intensity);
    t.map("base_peak_intensity", cv::BASE_PEAK_INTENSITY, &cv::DETECTOR_COUNTS);
    ARROW_ASSIGN_OR_RAISE(auto low, column<arrow::DoubleBuilder>(n, [&](std::size_t i) { return spectra[i].lowest_mz; }));
    t.add("lowest_observed_mz", low);
    t.map("lowest_observed_mz", cv::LOWEST_OBSERVED_MZ, &cv::MZ_UNIT);
    ARROW_ASSIGN_OR_RAISE(auto high,
                          column<arrow::DoubleBuilder>(n, [&](std::size_t i) { return spectra[i].highest_mz; }));
    t.add("highest_observed_mz", high);
    t.map("highest_observed_mz", cv::HIGHEST_OBSERVED_MZ, &cv::MZ_UNIT);
    tables.push_back(t.finish("spectra_metadata.parquet", "spectrum", "metadata"));
  }

  {  // spectra_metadata_scans: one scan per spectrum
    TableColumns t;
    ARROW_ASSIGN_OR_RAISE(auto source, column<arrow::UInt64Builder>(n, [](std::size_t i) {
                            return std::optional<std::uint64_t>(i);
                          }));
    t.add("source_index", source, false);
    t.add("scan_index", source, false);
    ARROW_ASSIGN_OR_RAISE(auto start, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return std::optional<double>(spectra[i].info.retention_time_sec / 60.0);
                          }));
    t.add("scan_start_time", start);
    t.map("scan_start_time", cv::SCAN_START_TIME, &terms::MINUTE);
    ARROW_ASSIGN_OR_RAISE(auto configuration, column<arrow::UInt32Builder>(n, [](std::size_t) {
                            return std::optional<std::uint32_t>(0);
                          }));
    t.add("instrument_configuration_id", configuration);
    // Ion-mobility scans: the drift time in ms, typed by its term.
    ARROW_ASSIGN_OR_RAISE(auto mobility, column<arrow::DoubleBuilder>(n, [&](std::size_t i) {
                            return spectra[i].info.drift_time_ms;
                          }));
    t.add("ion_mobility_value", mobility);
    ARROW_ASSIGN_OR_RAISE(auto mobility_type, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                            if (!spectra[i].info.drift_time_ms) return none<std::string>();
                            return std::optional<std::string>(std::string(terms::ION_MOBILITY_DRIFT_TIME.accession));
                          }));
    t.add("ion_mobility_type", mobility_type);
    t.map("ion_mobility_value", terms::ION_MOBILITY_DRIFT_TIME, &terms::MILLISECOND);
    // scan_windows: the record's m/z range, where its layout has one.
    arrow::Int64Builder offsets;
    arrow::FloatBuilder lower, upper;
    int64_t windows = 0;
    ARROW_RETURN_NOT_OK(offsets.Append(0));
    for (const SpectrumRecord& spectrum : spectra) {
      if (spectrum.info.mz_range_low && spectrum.info.mz_range_high) {
        ARROW_RETURN_NOT_OK(lower.Append(static_cast<float>(*spectrum.info.mz_range_low)));
        ARROW_RETURN_NOT_OK(upper.Append(static_cast<float>(*spectrum.info.mz_range_high)));
        ++windows;
      }
      ARROW_RETURN_NOT_OK(offsets.Append(windows));
    }
    ARROW_ASSIGN_OR_RAISE(auto lower_array, lower.Finish());
    ARROW_ASSIGN_OR_RAISE(auto upper_array, upper.Finish());
    ARROW_ASSIGN_OR_RAISE(auto window_struct, struct_of({{"scan_window_lower_limit", lower_array},
                                                         {"scan_window_upper_limit", upper_array}}));
    ARROW_ASSIGN_OR_RAISE(auto offset_array, offsets.Finish());
    ARROW_ASSIGN_OR_RAISE(auto window_lists, arrow::LargeListArray::FromArrays(*offset_array, *window_struct));
    t.add("scan_windows", window_lists);
    t.map("scan_windows.scan_window_lower_limit", cv::SCAN_WINDOW_LOWER_LIMIT, &cv::MZ_UNIT);
    t.map("scan_windows.scan_window_upper_limit", cv::SCAN_WINDOW_UPPER_LIMIT, &cv::MZ_UNIT);
    ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameters_type, n));
    t.add("parameters", parameters);
    tables.push_back(t.finish("spectra_metadata_scans.parquet", "spectrum", "scans"));
  }

  // Precursors and selected ions: spectra of MS level 2 and above whose record names the m/z.
  std::vector<std::size_t> fragments;
  for (std::size_t i = 0; i < n; ++i) {
    if (spectra[i].info.ms_level >= 2 && spectra[i].info.precursor_mz) fragments.push_back(i);
  }
  const std::size_t m = fragments.size();
  const auto info = [&](std::size_t k) -> const ScanInfo& { return spectra[fragments[k]].info; };
  ARROW_ASSIGN_OR_RAISE(auto source, column<arrow::UInt64Builder>(m, [&](std::size_t k) {
                          return std::optional<std::uint64_t>(fragments[k]);
                        }));
  // The record does not say which scan the precursor was chosen from.
  ARROW_ASSIGN_OR_RAISE(auto precursor_index,
                        column<arrow::UInt64Builder>(m, [](std::size_t) { return none<std::uint64_t>(); }));
  ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameters_type, m));
  {
    PrecursorRows rows;
    for (std::size_t k = 0; k < m; ++k) {
      const auto& width = info(k).isolation_width;
      rows.source.push_back(fragments[k]);
      rows.target.push_back(info(k).precursor_mz);
      rows.half_width.push_back(width && *width > 0 ? std::optional<double>(*width / 2) : std::nullopt);
      rows.collision_energy.push_back(info(k).collision_energy);
    }
    ARROW_ASSIGN_OR_RAISE(auto table, precursor_table(rows, "spectra_metadata_precursors.parquet", "spectrum"));
    tables.push_back(std::move(table));
  }
  {
    TableColumns t;
    t.add("source_index", source, false);
    t.add("precursor_index", precursor_index);
    ARROW_ASSIGN_OR_RAISE(auto selected,
                          column<arrow::DoubleBuilder>(m, [&](std::size_t k) { return info(k).precursor_mz; }));
    t.add("selected_ion_mz", selected);
    t.map("selected_ion_mz", cv::SELECTED_ION_MZ, &cv::MZ_UNIT);
    ARROW_ASSIGN_OR_RAISE(auto charge, column<arrow::Int32Builder>(m, [&](std::size_t k) -> std::optional<std::int32_t> {
                            const auto& state = info(k).charge_state;
                            if (!state || *state < INT32_MIN || *state > INT32_MAX) return std::nullopt;
                            return static_cast<std::int32_t>(*state);
                          }));
    t.add("charge_state", charge);
    t.map("charge_state", cv::CHARGE_STATE);
    ARROW_ASSIGN_OR_RAISE(auto mobility, column<arrow::DoubleBuilder>(m, [](std::size_t) { return none<double>(); }));
    t.add("ion_mobility_value", mobility);
    ARROW_ASSIGN_OR_RAISE(auto mobility_type,
                          column<arrow::LargeStringBuilder>(m, [](std::size_t) { return none<std::string>(); }));
    t.add("ion_mobility_type", mobility_type);
    t.add("parameters", parameters);
    tables.push_back(t.finish("spectra_metadata_selected_ions.parquet", "spectrum", "selected_ions"));
  }
  return tables;
}

arrow::Result<MetadataTable> chromatogram_metadata_table(const std::vector<ChromatogramRecord>& records) {
  const std::size_t n = records.size();
  TableColumns t;
  ARROW_ASSIGN_OR_RAISE(auto index, column<arrow::UInt64Builder>(n, [](std::size_t i) {
                          return std::optional<std::uint64_t>(i);
                        }));
  t.add("index", index, false);
  ARROW_ASSIGN_OR_RAISE(auto id, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                          return std::optional<std::string_view>(records[i].id);
                        }));
  t.add("id", id);
  ARROW_ASSIGN_OR_RAISE(auto polarity,
                        column<arrow::Int32Builder>(n, [&](std::size_t i) { return records[i].polarity; }));
  t.add("scan_polarity", polarity);
  t.map("scan_polarity", terms::SCAN_POLARITY);
  ARROW_ASSIGN_OR_RAISE(auto type, column<arrow::LargeStringBuilder>(n, [&](std::size_t i) {
                          return std::optional<std::string_view>(records[i].type.accession);
                        }));
  t.add("chromatogram_type", type);
  t.map("chromatogram_type", terms::CHROMATOGRAM_TYPE);
  ARROW_ASSIGN_OR_RAISE(auto processing,
                        column<arrow::LargeStringBuilder>(n, [](std::size_t) { return none<std::string>(); }));
  t.add("data_processing_id", processing);
  ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameter_list_type(), n));
  t.add("parameters", parameters);
  ARROW_ASSIGN_OR_RAISE(auto auxiliary, column<arrow::Int32Builder>(n, [](std::size_t) {
                          return std::optional<std::int32_t>(0);
                        }));
  t.add("number_of_auxiliary_arrays", auxiliary);
  ARROW_ASSIGN_OR_RAISE(auto points, column<arrow::UInt64Builder>(n, [&](std::size_t i) {
                          return std::optional<std::uint64_t>(records[i].time.size());
                        }));
  t.add("number_of_data_points", points);
  t.map("number_of_data_points", terms::NUMBER_OF_DATA_POINTS);
  return t.finish("chromatograms_metadata.parquet", "chromatogram", "metadata");
}

arrow::Result<std::vector<MetadataTable>> chromatogram_transition_tables(const std::vector<ChromatogramRecord>& records) {
  std::vector<MetadataTable> tables;
  PrecursorRows precursors;
  std::vector<std::size_t> with_product;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].precursor_mz) {
      precursors.source.push_back(i);
      precursors.target.push_back(records[i].precursor_mz);
      precursors.half_width.push_back(std::nullopt);
      precursors.collision_energy.push_back(records[i].collision_energy);
    }
    if (records[i].product_mz) with_product.push_back(i);
  }
  if (!precursors.source.empty()) {
    ARROW_ASSIGN_OR_RAISE(auto table,
                          precursor_table(precursors, "chromatograms_metadata_precursors.parquet", "chromatogram"));
    tables.push_back(std::move(table));
  }
  if (!with_product.empty()) {
    const std::size_t m = with_product.size();
    TableColumns t;
    ARROW_ASSIGN_OR_RAISE(auto source, column<arrow::UInt64Builder>(m, [&](std::size_t k) {
                            return std::optional<std::uint64_t>(with_product[k]);
                          }));
    t.add("source_index", source, false);
    ARROW_ASSIGN_OR_RAISE(auto product_index, column<arrow::UInt64Builder>(m, [](std::size_t k) {
                            return std::optional<std::uint64_t>(k);
                          }));
    t.add("product_index", product_index, false);
    ARROW_ASSIGN_OR_RAISE(auto parameters, empty_lists(parameter_list_type(), m));
    ARROW_ASSIGN_OR_RAISE(auto target, column<arrow::DoubleBuilder>(m, [&](std::size_t k) {
                            return records[with_product[k]].product_mz;
                          }));
    ARROW_ASSIGN_OR_RAISE(auto isolation, struct_of({{"isolation_window_target", target}, {"parameters", parameters}}));
    t.add("isolation_window", isolation);
    t.map("isolation_window.isolation_window_target", cv::ISOLATION_WINDOW_TARGET_MZ, &cv::MZ_UNIT);
    t.add("parameters", parameters);
    tables.push_back(t.finish("chromatograms_metadata_products.parquet", "chromatogram", "products"));
  }
  return tables;
}

std::string array_index_json(std::string_view context, bool time_axis) {
  const auto entry = [&](std::string_view path, const cv::Term& array, const cv::Term& unit, json rank) {
    return json{{"context", context},
                {"path", path},
                {"data_type", cv::FLOAT_64.accession},
                {"array_type", array.accession},
                {"array_name", array.name},
                {"unit", unit.accession},
                {"buffer_format", "point"},
                {"transform", nullptr},
                {"data_processing_id", nullptr},
                {"buffer_priority", "primary"},
                {"sorting_rank", std::move(rank)}};
  };
  json entries = json::array();
  if (time_axis) {
    entries.push_back(entry("point.time", cv::TIME_ARRAY, terms::MINUTE, 0));
  } else {
    entries.push_back(entry("point.mz", cv::MZ_ARRAY, cv::MZ_UNIT, 0));
  }
  entries.push_back(entry("point.intensity", cv::INTENSITY_ARRAY, cv::DETECTOR_COUNTS, nullptr));
  return json{{"prefix", "point"}, {"entries", std::move(entries)}}.dump();
}

std::string index_json(const std::vector<IndexedFile>& files, const RunFacts& facts) {
  json file_list = json::array();
  for (const IndexedFile& file : files) {
    file_list.push_back({{"name", file.name},
                         {"entity_type", file.entity_type},
                         {"data_kind", file.data_kind},
                         {"column_mapping", json::parse(file.column_mapping_json)},
                         {"checksum", file.checksum}});
  }
  json contents = json::array();
  if (facts.has_ms1) contents.push_back(param(cv::MS1_SPECTRUM));
  if (facts.has_msn) contents.push_back(param(cv::MSN_SPECTRUM));
  json methods = json::array({param(terms::FILE_FORMAT_CONVERSION, std::string(terms::MZPEAK_FORMAT.name))});
  if (facts.trim_zeros) methods.push_back(param(cv::ZERO_INTENSITY_TRIMMING));
  json run = {{"id", facts.run_id},
              {"default_instrument_id", 0},
              {"default_data_processing_id", PROCESSING_ID},
              {"default_source_file_id", SOURCE_FILE_ID},
              {"start_time", facts.start_time ? json(*facts.start_time) : json(nullptr)},
              {"parameters", json::array()}};
  json metadata = {
      {"version", "0.9.0"},
      {"cv_list",
       json::array({{{"id", "MS"},
                     {"full_name", "Proteomics Standards Initiative Mass Spectrometry Ontology"},
                     {"version", cv::MS_VERSION},
                     {"uri", MS_CV_URI}},
                    {{"id", "UO"},
                     {"full_name", "Unit Ontology"},
                     {"version", "as imported by PSI-MS " + std::string(cv::MS_VERSION)},
                     {"uri", UO_CV_URI}}})},
      {"file_description",
       {{"contents", std::move(contents)},
        {"source_files",
         json::array({{{"id", SOURCE_FILE_ID},
                       {"name", "MSScan.bin"},
                       {"location", facts.source_location},
                       {"parameters", json::array({param(cv::NATIVE_ID_FORMAT), param(cv::ACQUISITION_FILE_FORMAT),
                                                   param(cv::SHA1, facts.source_sha1)})}}})}}},
      {"instrument_configuration_list",
       json::array({{{"id", 0},
                     {"components", json::array()},
                     {"parameters", json::array({param(facts.instrument_model)})},
                     {"software_reference", SOFTWARE_ID}}})},
      {"software_list",
       json::array({{{"id", SOFTWARE_ID},
                     {"version", VORNAK_VERSION},
                     {"parameters", json::array({param(cv::CUSTOM_SOFTWARE, "vornak")})}}})},
      {"data_processing_method_list",
       json::array({{{"id", PROCESSING_ID},
                     {"methods",
                      json::array({{{"order", 0}, {"software_reference", SOFTWARE_ID}, {"parameters", methods}}})}}})},
      {"run", std::move(run)}};
  return json{{"files", std::move(file_list)}, {"metadata", std::move(metadata)}}.dump(2);
}

}  // namespace vornak::mzpeak
