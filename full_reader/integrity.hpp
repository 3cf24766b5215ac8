// The integrity check of an acquisition: every record, block, calibration and metadata document
// read and cross-checked, with what is damaged reported by kind.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

enum class DamageKind : std::uint8_t {
  Unopenable,             // AcqData/MSScan.bin exists but the acquisition cannot be opened
  BlockOutsideFile,       // a record's block lies past the end of its file, or its file is missing
  BlockUndecodable,       // a block inside its file fails to decode
  ProfileTicMismatch,     // profile counts do not sum to the record's TIC (nor do its centroids)
  ProfileMaxMismatch,     // the largest profile count is not the block's MaxY
  PointListTicMismatch,   // a triple-quad point list's counts do not sum to the record's TIC
  FrameSumMismatch,       // an ion-mobility frame's total spectrum is not the sum of its drift bins
  CalibrationMissing,     // a scan whose x values are flight times has no calibration constants
  CalibrationOutOfRange,  // calibrated m/z values that are not finite, positive and ascending
  MetadataMissing,        // Devices.xml or Contents.xml absent
  MetadataUnusable,       // Devices.xml or Contents.xml unreadable, malformed, or without its facts
};

enum class Severity : std::uint8_t { Warning, Damage };

// "unopenable", "block-outside-file", "block-undecodable", "profile-tic-mismatch",
// "profile-max-mismatch", "point-list-tic-mismatch", "frame-sum-mismatch", "calibration-missing", "calibration-out-of-range", "metadata-missing",
// "metadata-unusable"; "warning", "damage".
[[nodiscard]] std::string_view damage_kind_name(DamageKind kind) noexcept;
[[nodiscard]] std::string_view severity_name(Severity severity) noexcept;

struct Finding {
  DamageKind kind = DamageKind::BlockUndecodable;
  Severity severity = Severity::Damage;
  std::optional<std::uint64_t> scan_index;  // absent for findings about the whole folder
  std::optional<std::uint32_t> scan_id;
  std::string message;  // a complete sentence fragment: what is wrong and where
};

struct IntegrityReport {
  std::uint64_t scans = 0;
  std::uint64_t blocks_decoded = 0;
  std::vector<Finding> findings;  // folder findings first, then by scan index

  [[nodiscard]] bool damaged() const noexcept;
};

struct IntegrityOptions {
  // Threads reading the scans, the calling thread included; 0: one per hardware thread.
  unsigned workers = 0;
  // Called on the calling thread as scans are checked.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// Reads the whole acquisition at `path` and reports what is damaged. Severity rules:
//   - damage: an acquisition that has AcqData/MSScan.bin but cannot be opened; blocks outside
//     their files or undecodable; profile counts that disagree with the record's TIC (when
//     neither the profile nor the centroid sum matches it) or with the block's MaxY, where the
//     record has those fields (f32 abundances: their running sum in 32 bits, exactly);
//     triple-quad point lists whose counts do not sum to the TIC; ion-mobility frames whose total
//     spectrum differs from the bin-wise sum of their drift-bin spectra; flight-time spectra without calibration constants in a folder
//     whose layout comes from MSScan.xsd, or whose calibrated m/z are not finite, positive and
//     ascending; Devices.xml or Contents.xml present but unreadable or not well-formed XML;
//   - warning: Devices.xml or Contents.xml missing, or well-formed without the device or the
//     acquisition time (the reader then falls back, as it does for folders of the designed
//     model).
// The error case is a folder that cannot be checked at all: the path is not a folder holding
// AcqData/MSScan.bin, or reading it fails with an I/O error.
[[nodiscard]] Result<IntegrityReport> check_acquisition(std::string_view path, const IntegrityOptions& options);

}  // namespace vornak
