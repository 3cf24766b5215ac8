// The record in which one spectrum leaves a reader: a plain value that owns its texts and arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace elmbrace {

// MSn details of a spectrum. Present on a record exactly when its MS level is 2 or more.
struct Precursor {
  std::optional<double> precursor_mz;
  std::optional<double> collision_energy;
  std::optional<std::string> ref_id;

  // Members no reader of this project fills; they keep these values.
  std::optional<double> isolation_target_mz;
  std::optional<double> isolation_lower_offset;
  std::optional<double> isolation_upper_offset;
  std::optional<double> selected_ion_intensity;
  std::int32_t charge = 0;
  std::uint8_t activation_code = 0;
  std::uint8_t isolation_code = 255;
  std::uint8_t dissociation_code = 255;
};

struct SpectrumRecord {
  std::uint64_t index = 0;           // position in the source's sequence, from 0
  std::string native_id;             // identifier within the acquisition, never empty
  std::uint32_t scan_id = 0;
  std::uint32_t ms_level = 0;
  double retention_time_sec = 0.0;
  std::vector<double> mz;            // same length as intensity
  std::vector<float> intensity;
  std::optional<double> mz_range_low;
  std::optional<double> mz_range_high;
  std::optional<Precursor> precursor;
  bool from_profile = false;         // the profile block was decoded, even to zero points
  std::uint8_t instrument_class = 0; // 1: triple quadrupole layouts, 3: Q-TOF layouts

  // Members no reader of this project fills; they keep these values.
  std::optional<double> base_peak_mz;
  std::optional<double> base_peak_intensity;
  std::optional<double> total_ion_current;
  std::optional<double> lowest_observed_mz;
  std::optional<double> highest_observed_mz;
  std::optional<double> ion_injection_time;
  std::optional<std::string> filter_text;
  std::optional<std::vector<float>> ion_mobility;
  std::uint8_t polarity_code = 2;
};

}  // namespace elmbrace
