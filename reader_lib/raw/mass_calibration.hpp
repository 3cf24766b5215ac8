// Mass calibration of time-of-flight scans: per-scan constants from MSMassCal.bin, defaults from
// DefaultMassCal.xml, and the conversion of a flight time to m/z.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/value_array.hpp"

namespace vornak {

enum class CalibrationSource : std::uint8_t { None, PerScan, Default };

// "none", "per-scan", "default".
[[nodiscard]] std::string_view calibration_name(CalibrationSource source) noexcept;

// m/z = (a * (t - t0))^2 - sum_k coefficients[k] * clamp(t, low, high)^powers[k], k < term_count.
struct CalibrationConstants {
  double a = 0.0;
  double t0 = 0.0;
  double low = 0.0;
  double high = 0.0;
  std::array<double, 6> coefficients{};
  std::array<std::uint8_t, 6> powers{};
  std::uint8_t term_count = 0;

  friend bool operator==(const CalibrationConstants&, const CalibrationConstants&) = default;
};

struct ScanCalibration {
  CalibrationConstants constants;
  CalibrationSource source = CalibrationSource::None;
};

// The m/z of flight time t under `constants`. The clamp tests t against low first, then high;
// each power is taken by repeated multiplication, left to right, so that the result does not
// depend on the platform's pow(). At most 6 terms are used, whatever term_count says.
[[nodiscard]] double calibrated_mz(const CalibrationConstants& constants, double t) noexcept;

// The m/z of `count` bins at flight times first + i * step into `out`: bit for bit what
// calibrated_mz gives for each, computed a chunk of bins at a time so that the compiler's vector
// units take several bins per instruction (clones for AVX2 and AVX-512 are chosen at run time).
void calibrate_bins(const CalibrationConstants& constants, double first, double step, std::size_t count,
                    double* out) noexcept;

// The same for bins start .. start + count - 1 of that axis, into out[0] .. out[count - 1].
void calibrate_bin_range(const CalibrationConstants& constants, double first, double step, std::size_t start,
                         std::size_t count, double* out) noexcept;

// The m/z axes of the last few grids calibrated through it, by constants and grid, for scans
// that share both: every drift bin of an ion-mobility run takes its frame's default calibration
// over the same grid, with as many bins as its block holds. A hit copies the first bins of the
// longest axis seen (a few times faster than calibrating them); a miss calibrates and keeps a copy.
// Safe to use from several threads at once.
class AxisCache {
 public:
  // out = calibrate_bins(constants, first, step, count), bit for bit.
  void fill(const CalibrationConstants& constants, double first, double step, std::size_t count,
            ValueArray& out) const;

 private:
  struct Axis {
    CalibrationConstants constants;
    double first = 0.0;
    double step = 0.0;
    std::shared_ptr<const ValueArray> values;
  };
  static constexpr std::size_t KEPT_AXES = 4;
  mutable std::mutex mutex_;
  mutable std::vector<Axis> axes_;  // the most recently used last
};

// One default calibration of DefaultMassCal.xml.
struct DefaultCalibration {
  std::int64_t id = 0;
  CalibrationConstants constants;  // a, t0 from the Traditional step; low, high, c, powers from Polynomial
};

// A folder's calibration data, loaded once at opening.
class MassCalibrationTable {
 public:
  // Reads MSMassCal.bin and DefaultMassCal.xml from the AcqData folder. Missing files give an
  // empty part; a file present but unusable is a Parse error naming the file and the fault, and
  // a file that cannot be read is the Io error of the read. A row cut off by the end of
  // MSMassCal.bin (a slice of a longer run) is no row and no error.
  [[nodiscard]] static Result<MassCalibrationTable> load(const std::string& acqdata_path);
  // The same from the two files' paths as found in the folder; Io errors name the file.
  [[nodiscard]] static Result<MassCalibrationTable> load(const std::string& mass_cal_bin_path,
                                                         const std::string& default_mass_cal_xml_path);
  // The same from documents in memory (absent: no such file).
  [[nodiscard]] static Result<MassCalibrationTable> from_bytes(std::optional<ByteView> mass_cal_bin,
                                                               std::optional<ByteView> default_mass_cal_xml);

  // True when the folder holds any calibration data at all.
  [[nodiscard]] bool has_data() const noexcept { return !rows_.empty() || !defaults_.empty(); }
  [[nodiscard]] std::size_t row_count() const noexcept { return rows_.size(); }
  [[nodiscard]] const std::vector<DefaultCalibration>& defaults() const noexcept { return defaults_; }

  // The constants for scan `scan_index`: the MSMassCal.bin row at `mass_cal_offset` (or, when
  // that offset lies outside the file, the row of the scan's index), with the polynomial powers
  // of the default calibration `calibration_id`; else that default calibration. A Parse error
  // says why no constants exist for the scan. Never called when has_data() is false.
  //
  // A row whose 84 bytes do not all lie in the file counts as outside it, as does an absent
  // offset. An offset inside the file that is not the start of a row is an error. A row with
  // polynomial coefficients but no default calibration to give their powers is an error too:
  // leaving the terms out would move m/z by several ppm without a word. A row whose
  // coefficients are all zero needs no powers.
  [[nodiscard]] Result<ScanCalibration> for_scan(std::uint64_t scan_index, std::optional<std::int64_t> mass_cal_offset,
                                                 std::optional<std::int64_t> calibration_id) const;

 private:
  std::vector<std::array<double, 10>> rows_;  // MSMassCal.bin rows: a, t0, low, high, c1..c6
  std::uint64_t rows_offset_ = 0;             // file offset of the first row
  std::optional<std::uint64_t> mass_cal_size_;  // byte size of MSMassCal.bin; absent without one
  bool has_default_document_ = false;           // DefaultMassCal.xml was present
  std::vector<DefaultCalibration> defaults_;
};

}  // namespace vornak
