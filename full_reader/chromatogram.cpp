// Whole-acquisition passes: metadata columns, selections, and chromatograms decoded in parallel.
#include "full_reader/chromatogram.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

namespace vornak {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

double or_nan(const std::optional<double>& value) noexcept { return value ? *value : not_a_number; }

// The first scan of `scans` that lies past the end of the acquisition, as a failed pass.
std::optional<PassError> out_of_range(const Acquisition& acquisition, std::span<const std::size_t> scans) {
  for (const std::size_t scan : scans) {
    if (scan >= acquisition.size()) {
      return PassError{scan, Error::parse("scan " + std::to_string(scan) + " out of range (the acquisition has " +
                                          std::to_string(acquisition.size()) + " scans)")};
    }
  }
  return std::nullopt;
}

unsigned worker_count(unsigned requested, std::size_t scan_count) noexcept {
  unsigned workers = requested != 0 ? requested : std::max(1U, std::thread::hardware_concurrency());
  if (scan_count < workers) workers = static_cast<unsigned>(std::max<std::size_t>(scan_count, 1));
  return workers;
}

// Decodes the spectrum of every scan in `scans` on options.threads workers and hands it to
// `record(position, spectrum)`; a scan that fails goes to `unreadable(position)` when skipping,
// else stops the pass. Positions are handed out in ascending order, so once position p fails,
// every position before it has been decoded and the failure reported is the first in order.
// `record` and `unreadable` write only their own position's slots.
template <typename Record, typename Unreadable>
std::optional<PassError> run_pass(const Acquisition& acquisition, std::span<const std::size_t> scans,
                                  PassOptions options, Record record, Unreadable unreadable) {
  constexpr std::size_t no_failure = std::numeric_limits<std::size_t>::max();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failure{no_failure};
  std::mutex failure_mutex;  // taken only when a scan fails
  std::optional<PassError> failure;

  auto work = [&] {
    for (;;) {
      const std::size_t position = next.fetch_add(1, std::memory_order_relaxed);
      if (position >= scans.size() || position > first_failure.load(std::memory_order_relaxed)) return;
      Result<Spectrum> spectrum = acquisition.spectrum(scans[position]);
      if (spectrum) {
        record(position, *spectrum);
        continue;
      }
      if (options.skip_unreadable) {
        unreadable(position);
        continue;
      }
      const std::lock_guard lock(failure_mutex);
      if (position < first_failure.load(std::memory_order_relaxed)) {
        first_failure.store(position, std::memory_order_relaxed);
        failure = PassError{scans[position], std::move(spectrum.error())};
      }
    }
  };

  // The calling thread is one of the workers. A thread the system refuses leaves its share to
  // the others.
  std::vector<std::jthread> helpers;
  const unsigned workers = worker_count(options.threads, scans.size());
  helpers.reserve(workers - 1);
  for (unsigned worker = 1; worker < workers; ++worker) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  helpers.clear();  // joins
  return failure;
}

Chromatogram frame(const Acquisition& acquisition, std::span<const std::size_t> scans, std::size_t trace_count) {
  Chromatogram chromatogram;
  chromatogram.scans.assign(scans.begin(), scans.end());
  chromatogram.retention_time_sec.reserve(scans.size());
  for (const std::size_t scan : scans) chromatogram.retention_time_sec.push_back(acquisition.scan(scan).retention_time_sec);
  chromatogram.trace_count = trace_count;
  chromatogram.intensity.resize(scans.size() * trace_count);
  return chromatogram;
}

// The sum of the intensities whose m/z lies in [low, high]; a binary search when the m/z values
// ascend, as instruments store them, a full scan otherwise.
double window_sum(const Spectrum& spectrum, bool ascending, double low, double high) noexcept {
  double sum = 0.0;
  if (ascending) {
    const auto begin = std::lower_bound(spectrum.mz.begin(), spectrum.mz.end(), low);
    const auto end = std::upper_bound(begin, spectrum.mz.end(), high);
    const auto first = static_cast<std::size_t>(begin - spectrum.mz.begin());
    const auto last = static_cast<std::size_t>(end - spectrum.mz.begin());
    for (std::size_t point = first; point < last; ++point) sum += spectrum.intensity[point];
    return sum;
  }
  for (std::size_t point = 0; point < spectrum.mz.size(); ++point) {
    if (spectrum.mz[point] >= low && spectrum.mz[point] <= high) sum += spectrum.intensity[point];
  }
  return sum;
}

bool ascending(std::span<const double> values) noexcept {
  for (std::size_t point = 1; point < values.size(); ++point) {
    if (!(values[point - 1] <= values[point])) return false;
  }
  return true;
}

}  // namespace

ScanColumns ScanColumns::read(const Acquisition& acquisition) {
  ScanColumns columns;
  const std::size_t count = acquisition.size();
  auto reserve = [count](auto&... column) { (column.reserve(count), ...); };
  reserve(columns.scan_id, columns.retention_time_sec, columns.ms_level, columns.polarity, columns.tic,
          columns.base_peak_mz, columns.base_peak_intensity, columns.precursor_mz, columns.collision_energy,
          columns.isolation_width, columns.charge_state, columns.has_profile, columns.has_centroid,
          columns.profile_points, columns.centroid_points, columns.scan_type, columns.frame_id,
          columns.drift_time_ms);
  for (std::size_t index = 0; index < count; ++index) {
    const ScanInfo scan = acquisition.scan(index);
    columns.scan_id.push_back(scan.scan_id);
    columns.retention_time_sec.push_back(scan.retention_time_sec);
    columns.ms_level.push_back(scan.ms_level);
    columns.polarity.push_back(scan.polarity == Polarity::Positive   ? std::int8_t{1}
                               : scan.polarity == Polarity::Negative ? std::int8_t{-1}
                                                                     : std::int8_t{0});
    columns.tic.push_back(or_nan(scan.tic));
    columns.base_peak_mz.push_back(or_nan(scan.base_peak_mz));
    columns.base_peak_intensity.push_back(or_nan(scan.base_peak_value));
    columns.precursor_mz.push_back(or_nan(scan.precursor_mz));
    columns.collision_energy.push_back(or_nan(scan.collision_energy));
    columns.isolation_width.push_back(or_nan(scan.isolation_width));
    columns.charge_state.push_back(scan.charge_state.value_or(0));
    columns.has_profile.push_back(scan.profile_block.has_value());
    columns.has_centroid.push_back(scan.peak_block.has_value());
    columns.profile_points.push_back(scan.profile_block ? scan.profile_block->point_count : 0);
    columns.centroid_points.push_back(scan.peak_block ? scan.peak_block->point_count : 0);
    columns.scan_type.push_back(scan.scan_type.value_or(-1));
    columns.frame_id.push_back(scan.frame_id.value_or(-1));
    columns.drift_time_ms.push_back(or_nan(scan.drift_time_ms));
  }
  return columns;
}

ScanTimeline ScanTimeline::read(const Acquisition& acquisition) {
  ScanTimeline timeline;
  const std::size_t count = acquisition.size();
  timeline.retention_times_.reserve(count);
  timeline.ms_levels_.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const ScanInfo scan = acquisition.scan(index);
    timeline.retention_times_.push_back(scan.retention_time_sec);
    timeline.ms_levels_.push_back(scan.ms_level);
  }
  timeline.sorted_ = !timeline.retention_times_.empty() ? !std::isnan(timeline.retention_times_.front()) : true;
  timeline.sorted_ = timeline.sorted_ && ascending(timeline.retention_times_);
  return timeline;
}

std::vector<std::size_t> ScanTimeline::select(const ScanSelection& selection) const {
  std::vector<std::size_t> selected;
  if (std::isnan(selection.rt_low) || std::isnan(selection.rt_high)) return selected;

  auto keep = [&](std::size_t index) {
    if (!selection.ms_level || ms_levels_[index] == *selection.ms_level) selected.push_back(index);
  };
  constexpr double infinity = std::numeric_limits<double>::infinity();
  if (selection.rt_low == -infinity && selection.rt_high == infinity) {
    for (std::size_t index = 0; index < retention_times_.size(); ++index) keep(index);
    return selected;
  }
  if (sorted_) {
    const auto begin = std::lower_bound(retention_times_.begin(), retention_times_.end(), selection.rt_low);
    const auto end = std::upper_bound(begin, retention_times_.end(), selection.rt_high);
    const auto first = static_cast<std::size_t>(begin - retention_times_.begin());
    const auto last = static_cast<std::size_t>(end - retention_times_.begin());
    for (std::size_t index = first; index < last; ++index) keep(index);
    return selected;
  }
  for (std::size_t index = 0; index < retention_times_.size(); ++index) {
    const double time = retention_times_[index];
    if (time >= selection.rt_low && time <= selection.rt_high) keep(index);
  }
  return selected;
}

double MzTolerance::half_width(double target) const noexcept {
  return unit == Unit::Dalton ? value : target * value * 1e-6;
}

PassResult<Chromatogram> total_ion_chromatogram(const Acquisition& acquisition, std::span<const std::size_t> scans,
                                                PassOptions options) {
  if (auto error = out_of_range(acquisition, scans)) return std::unexpected(std::move(*error));
  Chromatogram chromatogram = frame(acquisition, scans, 1);
  auto failure = run_pass(
      acquisition, scans, options,
      [&](std::size_t position, const Spectrum& spectrum) {
        double sum = 0.0;
        for (const double value : spectrum.intensity) sum += value;
        chromatogram.intensity[position] = sum;
      },
      [&](std::size_t position) { chromatogram.intensity[position] = not_a_number; });
  if (failure) return std::unexpected(std::move(*failure));
  return chromatogram;
}

PassResult<Chromatogram> base_peak_chromatogram(const Acquisition& acquisition, std::span<const std::size_t> scans,
                                                PassOptions options) {
  if (auto error = out_of_range(acquisition, scans)) return std::unexpected(std::move(*error));
  Chromatogram chromatogram = frame(acquisition, scans, 1);
  chromatogram.mz.resize(scans.size());
  auto failure = run_pass(
      acquisition, scans, options,
      [&](std::size_t position, const Spectrum& spectrum) {
        double highest = 0.0;
        double where = not_a_number;
        for (std::size_t point = 0; point < spectrum.intensity.size(); ++point) {
          if (point == 0 || spectrum.intensity[point] > highest) {
            highest = spectrum.intensity[point];
            where = spectrum.mz[point];
          }
        }
        chromatogram.intensity[position] = highest;
        chromatogram.mz[position] = where;
      },
      [&](std::size_t position) {
        chromatogram.intensity[position] = not_a_number;
        chromatogram.mz[position] = not_a_number;
      });
  if (failure) return std::unexpected(std::move(*failure));
  return chromatogram;
}

PassResult<Chromatogram> extracted_ion_chromatograms(const Acquisition& acquisition,
                                                     std::span<const std::size_t> scans,
                                                     std::span<const double> targets, MzTolerance tolerance,
                                                     PassOptions options) {
  if (auto error = out_of_range(acquisition, scans)) return std::unexpected(std::move(*error));
  Chromatogram chromatogram = frame(acquisition, scans, targets.size());
  chromatogram.mz.assign(targets.begin(), targets.end());
  std::vector<std::pair<double, double>> windows;
  windows.reserve(targets.size());
  for (const double target : targets) {
    const double half_width = tolerance.half_width(target);
    windows.emplace_back(target - half_width, target + half_width);
  }
  const std::size_t row = scans.size();
  auto failure = run_pass(
      acquisition, scans, options,
      [&](std::size_t position, const Spectrum& spectrum) {
        const bool sorted = ascending(spectrum.mz);
        for (std::size_t trace = 0; trace < windows.size(); ++trace) {
          chromatogram.intensity[trace * row + position] =
              window_sum(spectrum, sorted, windows[trace].first, windows[trace].second);
        }
      },
      [&](std::size_t position) {
        for (std::size_t trace = 0; trace < windows.size(); ++trace) {
          chromatogram.intensity[trace * row + position] = not_a_number;
        }
      });
  if (failure) return std::unexpected(std::move(*failure));
  return chromatogram;
}

PassResult<Chromatogram> stored_total_ion_chromatogram(const Acquisition& acquisition,
                                                       std::span<const std::size_t> scans) {
  if (auto error = out_of_range(acquisition, scans)) return std::unexpected(std::move(*error));
  Chromatogram chromatogram = frame(acquisition, scans, 1);
  for (std::size_t position = 0; position < scans.size(); ++position) {
    chromatogram.intensity[position] = or_nan(acquisition.scan(scans[position]).tic);
  }
  return chromatogram;
}

std::string_view transition_kind_name(TransitionChromatogram::Kind kind) noexcept {
  return kind == TransitionChromatogram::Kind::Srm ? "srm" : "sim";
}

namespace {

// An m/z as instruments state it: the shortest text of the f32 it was stored as (or of the double
// when it is not an f32 value), with at least one decimal ("269.0", "195.996").
std::string mz_text(double mz) {
  char text[40];
  const auto narrow = static_cast<float>(mz);
  const auto written = static_cast<double>(narrow) == mz ? std::to_chars(text, text + sizeof text, narrow)
                                                          : std::to_chars(text, text + sizeof text, mz);
  std::string result(text, written.ptr);
  if (result.find_first_of(".en") == std::string::npos) result += ".0";
  return result;
}

std::string transition_id(const TransitionChromatogram& chromatogram) {
  std::string id = chromatogram.polarity == Polarity::Negative   ? "- "
                   : chromatogram.polarity == Polarity::Positive ? "+ "
                                                                 : "";
  if (chromatogram.kind == TransitionChromatogram::Kind::Srm) {
    return id + "SRM SIC Q1=" + mz_text(chromatogram.precursor_mz) + " Q3=" + mz_text(*chromatogram.product_mz);
  }
  return id + "SIM SIC Q1=" + mz_text(chromatogram.precursor_mz);
}

}  // namespace

bool is_transition_scan(const ScanInfo& scan) noexcept {
  const bool targeted = scan.scan_type == SCAN_TYPE_MRM || scan.scan_type == SCAN_TYPE_SIM;
  return targeted && scan.peak_block && scan.peak_block->route.decoder == BlockDecoder::PointList;
}

void TransitionCollector::add(const ScanInfo& scan, const Spectrum& points) {
  const bool srm = scan.scan_type == SCAN_TYPE_MRM;
  const auto kind = srm ? TransitionChromatogram::Kind::Srm : TransitionChromatogram::Kind::Sim;
  for (std::size_t point = 0; point < points.mz.size(); ++point) {
    const double precursor = srm ? scan.precursor_mz.value_or(not_a_number) : points.mz[point];
    const Key key{static_cast<std::uint8_t>(kind), static_cast<std::uint8_t>(scan.polarity),
                  std::bit_cast<std::uint64_t>(precursor), srm ? std::bit_cast<std::uint64_t>(points.mz[point]) : 0};
    const auto [position, added] = positions_.try_emplace(key, chromatograms_.size());
    if (added) {
      TransitionChromatogram& chromatogram = chromatograms_.emplace_back();
      chromatogram.kind = kind;
      chromatogram.polarity = scan.polarity;
      chromatogram.precursor_mz = precursor;
      if (srm) chromatogram.product_mz = points.mz[point];
      chromatogram.id = transition_id(chromatogram);
      chromatogram.collision_energy = scan.collision_energy;
    }
    TransitionChromatogram& chromatogram = chromatograms_[position->second];
    chromatogram.time_sec.push_back(scan.retention_time_sec);
    chromatogram.intensity.push_back(points.intensity[point]);
    chromatogram.scans.push_back(scan.index);
  }
}

std::vector<TransitionChromatogram> TransitionCollector::take() {
  // A NaN m/z (a damaged record) sorts after every number: compared as it is, it would be
  // equivalent to everything, which is no ordering at all, and the listing would depend on the
  // order the records came in.
  const auto ordered = [](double mz) { return std::pair(std::isnan(mz), std::isnan(mz) ? 0.0 : mz); };
  const auto key = [&](const TransitionChromatogram& c) {
    return std::tuple(c.kind, c.polarity, ordered(c.precursor_mz), ordered(c.product_mz.value_or(0.0)));
  };
  std::ranges::stable_sort(chromatograms_, [&](const auto& a, const auto& b) { return key(a) < key(b); });
  positions_.clear();
  return std::move(chromatograms_);
}

PassResult<std::vector<TransitionChromatogram>> transition_chromatograms(const Acquisition& acquisition,
                                                                         PassOptions options) {
  std::vector<std::size_t> scans;
  std::vector<ScanInfo> infos;
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    ScanInfo info = acquisition.scan(index);
    if (!is_transition_scan(info)) continue;
    scans.push_back(index);
    infos.push_back(std::move(info));
  }
  std::vector<std::optional<Spectrum>> points(scans.size());
  auto failure = run_pass(
      acquisition, scans, options,
      [&](std::size_t position, Spectrum& spectrum) { points[position] = std::move(spectrum); }, [](std::size_t) {});
  if (failure) return std::unexpected(std::move(*failure));

  TransitionCollector collector;
  for (std::size_t position = 0; position < scans.size(); ++position) {
    if (points[position]) collector.add(infos[position], *points[position]);  // else unreadable, skipped
  }
  return collector.take();
}

}  // namespace vornak
