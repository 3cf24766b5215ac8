// Whole-acquisition passes: metadata columns of every scan, scan selection by retention time and
// MS level, and chromatograms (TIC, BPC, XIC) from spectra decoded on a pool of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
#include <tuple>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "reader_lib/error.hpp"

namespace vornak {

// What the scan index says about every scan, one column per fact; no block is read. Missing
// floating values are NaN; a scan without a block of a kind has has_* false and 0 points.
struct ScanColumns {
  std::vector<std::uint32_t> scan_id;
  std::vector<double> retention_time_sec;
  std::vector<std::uint32_t> ms_level;
  std::vector<std::int8_t> polarity;  // +1 positive, -1 negative, 0 unknown
  std::vector<double> tic;
  std::vector<double> base_peak_mz;
  std::vector<double> base_peak_intensity;
  std::vector<double> precursor_mz;
  std::vector<double> collision_energy;
  std::vector<double> isolation_width;
  std::vector<std::int64_t> charge_state;  // 0 when the record has none
  std::vector<std::uint8_t> has_profile;
  std::vector<std::uint8_t> has_centroid;
  std::vector<std::uint32_t> profile_points;
  std::vector<std::uint32_t> centroid_points;
  std::vector<std::int64_t> scan_type;    // ScanType, -1 when the record has none
  std::vector<std::int64_t> frame_id;     // ion mobility; -1 elsewhere
  std::vector<double> drift_time_ms;      // ion mobility; NaN elsewhere

  // Reads the columns of every scan of `acquisition`.
  [[nodiscard]] static ScanColumns read(const Acquisition& acquisition);
};

// Which scans a pass covers: retention times within [rt_low, rt_high] seconds, both inclusive,
// and one MS level or all.
struct ScanSelection {
  double rt_low = -std::numeric_limits<double>::infinity();
  double rt_high = std::numeric_limits<double>::infinity();
  std::optional<std::uint32_t> ms_level;
};

// The retention time and MS level of every scan, kept for selections.
class ScanTimeline {
 public:
  [[nodiscard]] static ScanTimeline read(const Acquisition& acquisition);

  [[nodiscard]] const std::vector<double>& retention_times() const noexcept { return retention_times_; }
  [[nodiscard]] const std::vector<std::uint32_t>& ms_levels() const noexcept { return ms_levels_; }
  // True when no retention time is NaN and none is below the one before it.
  [[nodiscard]] bool sorted() const noexcept { return sorted_; }

  // The indices of the selected scans, ascending: a binary search over the times when they are
  // sorted, a scan of every time otherwise. Without bounds (both infinite) every scan of the
  // level is selected; otherwise a NaN time never is, and NaN bounds select none.
  [[nodiscard]] std::vector<std::size_t> select(const ScanSelection& selection) const;

 private:
  std::vector<double> retention_times_;
  std::vector<std::uint32_t> ms_levels_;
  bool sorted_ = true;
};

// An m/z window around a target: |mz - target| <= half_width(target), both edges inclusive.
struct MzTolerance {
  enum class Unit : std::uint8_t { Ppm, Dalton };
  double value = 0.0;  // finite and >= 0
  Unit unit = Unit::Ppm;

  // `value` in Da, or target * value * 1e-6 for ppm (this order of operations, so a caller can
  // place a point exactly on the edge).
  [[nodiscard]] double half_width(double target) const noexcept;
};

// One or more traces over the same scans. `intensity` holds trace_count rows of scans.size()
// values each, row-major.
struct Chromatogram {
  std::vector<std::size_t> scans;
  std::vector<double> retention_time_sec;
  std::vector<double> intensity;
  std::vector<double> mz;  // BPC: each scan's base peak m/z (NaN for an empty spectrum); XIC: the targets
  std::size_t trace_count = 1;
};

// How a pass decodes: `threads` workers (0: one per hardware thread, never more than the
// scans), and what a scan whose spectrum cannot be decoded gives.
struct PassOptions {
  unsigned threads = 0;
  bool skip_unreadable = false;  // true: NaN in every trace; false: the pass fails
};

// Why a pass failed: the first scan, in `scans` order, whose spectrum could not be decoded.
struct PassError {
  std::size_t scan = 0;
  Error error;
};

template <typename T>
using PassResult = std::expected<T, PassError>;

// Each pass decodes Acquisition::spectrum of every scan in `scans`, which must all be below
// acquisition.size() (an index past the end fails the pass with a Parse error naming it).

// The sum of each spectrum's intensities.
[[nodiscard]] PassResult<Chromatogram> total_ion_chromatogram(const Acquisition& acquisition,
                                                              std::span<const std::size_t> scans,
                                                              PassOptions options);
// The largest intensity of each spectrum (0 for an empty one) and, in `mz`, where it lies
// (the first point of that intensity).
[[nodiscard]] PassResult<Chromatogram> base_peak_chromatogram(const Acquisition& acquisition,
                                                              std::span<const std::size_t> scans,
                                                              PassOptions options);
// One trace per target: the sum of the intensities of the points within the tolerance window.
[[nodiscard]] PassResult<Chromatogram> extracted_ion_chromatograms(const Acquisition& acquisition,
                                                                   std::span<const std::size_t> scans,
                                                                   std::span<const double> targets,
                                                                   MzTolerance tolerance, PassOptions options);
// The TIC the scan index records (NaN where a record has none); no block is read.
[[nodiscard]] PassResult<Chromatogram> stored_total_ion_chromatogram(const Acquisition& acquisition,
                                                                     std::span<const std::size_t> scans);

// One chromatogram per MRM transition or SIM ion, as triple-quadrupole runs are presented: the
// records of scan type MRM or SIM whose block is a point list, each point one transition's count
// at the record's time. A transition is its kind, polarity, first-quadrupole m/z (the record's
// MzOfInterest; for SIM the ion's stored m/z) and, for MRM, the point's stored product m/z; its
// points follow record order over all time segments. Chromatograms are listed SRM first, then by
// polarity, Q1 and Q3, as the instruments' own software lists them.
struct TransitionChromatogram {
  enum class Kind : std::uint8_t { Srm, Sim };
  std::string id;  // "- SRM SIC Q1=269.0 Q3=195.996", "+ SIM SIC Q1=302.1"
  Kind kind = Kind::Srm;
  Polarity polarity = Polarity::Unknown;
  double precursor_mz = 0.0;
  std::optional<double> product_mz;  // MRM only
  std::optional<double> collision_energy;  // of the transition's first record
  std::vector<double> time_sec;
  std::vector<double> intensity;
  std::vector<std::size_t> scans;  // the record of each point, by scan index
};

// "srm", "sim".
[[nodiscard]] std::string_view transition_kind_name(TransitionChromatogram::Kind kind) noexcept;

// Whether a scan is one of the transition records above: MRM or SIM with a point list.
[[nodiscard]] bool is_transition_scan(const ScanInfo& scan) noexcept;

// Gathers transition chromatograms from decoded point lists, handed over in record order.
class TransitionCollector {
 public:
  void add(const ScanInfo& scan, const Spectrum& points);
  // The chromatograms in a stable order: SRM before SIM, then by polarity, Q1 and Q3.
  [[nodiscard]] std::vector<TransitionChromatogram> take();

 private:
  // Kind, polarity and the bit patterns of Q1 and Q3 (so that a NaN Q1 still names one
  // transition; Q3 of SIM is 0), then the chromatogram's position.
  using Key = std::tuple<std::uint8_t, std::uint8_t, std::uint64_t, std::uint64_t>;
  std::vector<TransitionChromatogram> chromatograms_;
  std::map<Key, std::size_t> positions_;
};

// The chromatograms of every MRM and SIM record of `acquisition`, decoded on options.threads
// workers; a record that cannot be decoded fails the pass, or is left out when skipping.
[[nodiscard]] PassResult<std::vector<TransitionChromatogram>> transition_chromatograms(
    const Acquisition& acquisition, PassOptions options);

}  // namespace vornak
