// The integrity check: the folder's documents first, then every scan on a pool of threads, each
// scan's blocks located, decoded and compared with what its record says about them.
#include "full_reader/integrity.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "full_reader/acquisition.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/raw/mspeak.hpp"

namespace vornak {
namespace {

constexpr unsigned MAX_WORKERS = 64;
// Relative agreement asked of sums and maxima stored as 64-bit floats.
constexpr double DOUBLE_TOLERANCE = 1e-9;

std::optional<std::uint64_t> regular_file_size(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

// True when `computed` is the value a field of type `type` holding `stored` stands for.
bool agrees(double computed, double stored, std::optional<FieldType> type) {
  if (type == FieldType::Float32) return static_cast<float>(computed) == static_cast<float>(stored);
  return std::fabs(computed - stored) <= DOUBLE_TOLERANCE * std::max(1.0, std::fabs(stored));
}


std::string number_text(double value) {
  std::string text = std::to_string(value);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

// The reader's message without its own "scan N: " prefix, which the finding repeats.
std::string without_scan_prefix(const std::string& message, std::size_t index) {
  const std::string prefix = "scan " + std::to_string(index) + ": ";
  return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
}

struct FolderFacts {
  std::optional<std::uint64_t> profile_size;  // MSProfile.bin, absent when missing
  std::optional<std::uint64_t> peak_size;     // MSPeak.bin
  std::optional<FieldType> tic_type;
  std::optional<FieldType> max_y_type;
  bool layout_from_schema = false;
};

// One ion-mobility frame's total spectrum against the bin-wise sum of its drift-bin spectra,
// matched by m/z (the same flight-time grid; a bin of another grid is a mismatch). The drift bins
// are added in scan order by the thread that checks them, which decoded them already. A frame
// with a drift bin that cannot be decoded was reported by the scan pass and is not compared.
class FrameSum {
 public:
  // `total`: absent when the frame has no total spectrum or it cannot be decoded (nothing to compare).
  explicit FrameSum(std::optional<Spectrum> total) : total_(std::move(total)) {
    if (total_) summed_.assign(total_->mz.size(), 0.0);
  }

  // Adds the spectrum of drift-bin scan `index`; nullptr when it cannot be decoded.
  void add(std::size_t index, const Spectrum* bins) {
    if (!total_ || settled_) return;
    if (bins == nullptr) {
      summed_.clear();
      settled_ = true;
      return;
    }
    const ValueArray& grid = total_->mz;
    for (std::size_t i = 0; i < bins->mz.size() && !mismatch_; ++i) {
      if (bins->intensity[i] == 0.0) continue;
      const double mz = bins->mz[i];
      const auto at = std::ranges::lower_bound(grid, mz);
      std::size_t nearest = static_cast<std::size_t>(at - grid.begin());
      if (nearest > 0 && (nearest == grid.size() || mz - grid[nearest - 1] < grid[nearest] - mz)) --nearest;
      if (nearest >= grid.size() || std::fabs(grid[nearest] - mz) > 1e-6 * std::max(1.0, mz)) {
        mismatch_ = "scan " + std::to_string(index) + " has a count at m/z " + number_text(mz) +
                    ", which is not a bin of the frame's total spectrum";
      } else {
        summed_[nearest] += bins->intensity[i];
      }
    }
    if (mismatch_) settled_ = true;
  }

  // After the last drift bin: what disagrees, if anything.
  [[nodiscard]] std::optional<std::string> mismatch() const {
    if (mismatch_ || !total_) return mismatch_;
    for (std::size_t i = 0; i < summed_.size(); ++i) {
      if (summed_[i] != total_->intensity[i]) {
        return "bin " + std::to_string(i) + " (m/z " + number_text(total_->mz[i]) + ") holds " +
               number_text(total_->intensity[i]) + " but its drift bins sum to " + number_text(summed_[i]);
      }
    }
    return std::nullopt;
  }

 private:
  std::optional<Spectrum> total_;
  std::vector<double> summed_;
  std::optional<std::string> mismatch_;
  bool settled_ = false;  // a mismatch or an undecodable drift bin ended the sum
};

// The scan pass's units of work: each ion-mobility frame with its drift-bin scans in scan order,
// so that one thread checks them and sums the frame from what it decoded (and the sums add in
// the same order on every run), then each scan of no frame on its own.
struct WorkPlan {
  std::vector<std::vector<std::size_t>> bins_of_frame;
  std::vector<std::size_t> frameless;  // with ion mobility only; otherwise every scan stands alone
  std::size_t scans = 0;

  [[nodiscard]] std::size_t units() const noexcept {
    return bins_of_frame.size() + (bins_of_frame.empty() ? scans : frameless.size());
  }
  // The scan of a unit past the frames.
  [[nodiscard]] std::size_t lone_scan(std::size_t unit) const {
    const std::size_t position = unit - bins_of_frame.size();
    return bins_of_frame.empty() ? position : frameless[position];
  }
};

WorkPlan plan_work(const Acquisition& acquisition) {
  WorkPlan plan;
  plan.scans = acquisition.size();
  if (!acquisition.ion_mobility() || acquisition.frame_count() == 0) return plan;
  plan.bins_of_frame.resize(acquisition.frame_count());
  std::unordered_map<std::int64_t, std::size_t> frame_of_id;  // FrameID -> position in IMSFrame.bin
  for (std::size_t k = 0; k < acquisition.frame_count(); ++k) frame_of_id.emplace(acquisition.frame_record(k).frame_id, k);
  for (std::size_t index = 0; index < acquisition.size(); ++index) {
    const auto frame = frame_of_id.find(acquisition.scan(index).frame_id.value_or(-1));
    if (frame != frame_of_id.end()) {
      plan.bins_of_frame[frame->second].push_back(index);
    } else {
      plan.frameless.push_back(index);
    }
  }
  return plan;
}

// The frame's total spectrum, when it has one that can be decoded.
std::optional<Spectrum> frame_total(const Acquisition& acquisition, std::size_t k) {
  const ScanInfo frame_scan = acquisition.frame_scan(k);
  if (!frame_scan.profile_block && !frame_scan.peak_block) return std::nullopt;
  auto total = acquisition.frame(k);
  if (!total) return std::nullopt;
  return std::move(*total);
}

class ScanChecker {
 public:
  ScanChecker(const Acquisition& acquisition, const FolderFacts& facts) : acquisition_(acquisition), facts_(facts) {}

  // Checks scan `index`; a drift-bin scan also adds the spectrum it decoded to its frame's sum.
  void check(std::size_t index, FrameSum* frame_sum) {
    const ScanInfo info = acquisition_.scan(index);
    const auto report = [&](DamageKind kind, const std::string& what) {
      findings.push_back({kind, Severity::Damage, index, info.scan_id,
                          "scan " + std::to_string(index) + " (scanId=" + std::to_string(info.scan_id) + "): " + what});
    };

    const bool profile_inside =
        info.profile_block && located(*info.profile_block, "profile", "MSProfile.bin", facts_.profile_size, report);
    const bool peak_inside =
        info.peak_block && located(*info.peak_block, "centroid", "MSPeak.bin", facts_.peak_size, report);

    // Flight-time blocks need constants; a scan without them is reported once, not per block.
    const bool split_peaks = info.peak_block && info.peak_block->route.decoder == BlockDecoder::PeakColumns &&
                             info.peak_block->format_id == PEAK_FORMAT_SPLIT;
    const bool flight_times = (info.profile_block && info.profile_block->route.decoder == BlockDecoder::ProfileByContent &&
                               info.profile_block->point_count > 0) ||
                              (split_peaks && info.peak_block->point_count > 0);
    std::optional<std::string> calibration_error;
    bool uncalibrated = false;
    if (flight_times && acquisition_.calibration().has_data()) {
      const auto constants =
          acquisition_.calibration().for_scan(index, info.mass_cal_offset, info.calibration_id);
      if (!constants) {
        calibration_error = constants.error().message();
        report(DamageKind::CalibrationMissing, *calibration_error);
      }
    }

    const auto decode = [&](bool inside, auto&& decoder) -> std::optional<Spectrum> {
      if (!inside) return std::nullopt;
      auto spectrum = decoder();
      if (spectrum) {
        ++blocks_decoded;
        return std::move(*spectrum);
      }
      const std::string& message = spectrum.error().message();
      // Flight times in a folder with no calibration file at all are counted once, below.
      if (message.find(NO_CALIBRATION) != std::string::npos) {
        uncalibrated = true;
      } else if (!calibration_error || !message.ends_with(*calibration_error)) {
        report(DamageKind::BlockUndecodable, without_scan_prefix(message, index));
      }
      return std::nullopt;
    };
    const auto profile = decode(profile_inside, [&] { return acquisition_.profile(index); });
    const auto centroid = decode(peak_inside, [&] { return acquisition_.centroid(index); });

    if (uncalibrated) ++uncalibrated_scans;
    for (const auto* spectrum : {&profile, &centroid}) {
      if (*spectrum && (*spectrum)->calibration != CalibrationSource::None) check_mz(**spectrum, report);
    }
    if (profile && !profile->intensity.empty()) check_counts(info, *profile, centroid, report);
    if (!profile && centroid && info.tic && info.peak_block->route.decoder == BlockDecoder::PointList) {
      double sum = 0.0;
      for (const double value : centroid->intensity) sum += value;
      if (!agrees(sum, *info.tic, facts_.tic_type)) {
        report(DamageKind::PointListTicMismatch,
               "point-list counts sum to " + number_text(sum) + " but the record's TIC is " + number_text(*info.tic));
      }
    }

    // The frame sum takes what Acquisition::spectrum gives: the profile unless it is unreadable or
    // empty and there are centroids. A block outside its file was not decoded above; reading it
    // would have failed. A scan without blocks has no points to add.
    if (frame_sum != nullptr && (info.profile_block || info.peak_block)) {
      const Spectrum* spectrum = nullptr;
      if (profile && (!profile->mz.empty() || !info.peak_block)) {
        spectrum = &*profile;
      } else if (info.peak_block && centroid) {
        spectrum = &*centroid;
      }
      frame_sum->add(index, spectrum);
    }
  }

  std::vector<Finding> findings;
  std::uint64_t blocks_decoded = 0;
  std::uint64_t uncalibrated_scans = 0;

 private:
  // True when the block lies inside its file; otherwise reports where it lies.
  template <typename Report>
  static bool located(const BlockInfo& block, std::string_view kind, std::string_view file,
                      std::optional<std::uint64_t> file_size, Report& report) {
    if (block.byte_count == 0) return true;  // an empty block reads nothing
    if (!file_size) {
      report(DamageKind::BlockOutsideFile,
             std::string(kind) + " block lies in " + std::string(file) + ", which is missing");
      return false;
    }
    if (block.offset > *file_size || block.byte_count > *file_size - block.offset) {
      report(DamageKind::BlockOutsideFile,
             std::string(kind) + " block of " + std::to_string(block.byte_count) + " bytes at offset " +
                 std::to_string(block.offset) + " lies past the end of " + std::string(file) + " (" +
                 std::to_string(*file_size) + " bytes)");
      return false;
    }
    return true;
  }

  template <typename Report>
  static void check_mz(const Spectrum& spectrum, Report& report) {
    for (std::size_t i = 0; i < spectrum.mz.size(); ++i) {
      const double mz = spectrum.mz[i];
      const bool ascending = i == 0 || mz >= spectrum.mz[i - 1];
      if (!std::isfinite(mz) || mz <= 0 || !ascending) {
        report(DamageKind::CalibrationOutOfRange,
               std::string(kind_name(spectrum.kind)) + " point " + std::to_string(i) + " calibrates to m/z " +
                   number_text(mz) + (ascending ? "" : ", below the point before it") + " (" +
                   std::string(calibration_name(spectrum.calibration)) + " calibration)");
        return;
      }
    }
  }

  template <typename Report>
  void check_counts(const ScanInfo& info, const Spectrum& profile, const std::optional<Spectrum>& centroid,
                    Report& report) const {
    double sum = 0.0;
    double largest = profile.intensity.front();
    for (const double value : profile.intensity) {
      sum += value;
      largest = std::max(largest, value);
    }
    if (info.tic) {
      double centroid_sum = 0.0;
      if (centroid) {
        for (const double value : centroid->intensity) centroid_sum += value;
      }
      // f32 abundances: the instrument's TIC is their running sum in 32 bits, exactly.
      bool matches = agrees(sum, *info.tic, facts_.tic_type);
      if (profile.encoding == ProfileEncoding::F64AxisAbundances) {
        float running = 0.0f;
        for (const double value : profile.intensity) running += static_cast<float>(value);
        matches = static_cast<double>(running) == *info.tic;
      }
      if (!matches && !(centroid && agrees(centroid_sum, *info.tic, facts_.tic_type))) {
        report(DamageKind::ProfileTicMismatch,
               "profile counts sum to " + number_text(sum) + " but the record's TIC is " + number_text(*info.tic));
      }
    }
    if (info.profile_block->max_y && !agrees(largest, *info.profile_block->max_y, facts_.max_y_type)) {
      report(DamageKind::ProfileMaxMismatch, "largest profile count is " + number_text(largest) +
                                                 " but the block's MaxY is " +
                                                 number_text(*info.profile_block->max_y));
    }
  }

  const Acquisition& acquisition_;
  const FolderFacts& facts_;
};

// Devices.xml or Contents.xml: missing is a warning, unreadable or malformed is damage, and
// well-formed without its fact (`has_fact`) is a warning.
void check_document(const FolderNames& folder, std::string_view name, std::string_view fact,
                    bool (*has_fact)(ByteView), std::vector<Finding>& findings) {
  const std::string path = folder.path_of(name);
  const auto add = [&](DamageKind kind, Severity severity, std::string what) {
    findings.push_back({kind, severity, std::nullopt, std::nullopt, std::string(name) + " " + what});
  };
  auto bytes = read_file(path);
  if (!bytes) {
    if (bytes.error().os_error() == ENOENT) {
      add(DamageKind::MetadataMissing, Severity::Warning, "is missing");
    } else {
      add(DamageKind::MetadataUnusable, Severity::Damage, "cannot be read: " + bytes.error().display());
    }
    return;
  }
  pugi::xml_document document;
  if (!load_xml_document(*bytes, document)) {
    add(DamageKind::MetadataUnusable, Severity::Damage, "is not a well-formed XML document");
  } else if (!has_fact(*bytes)) {
    add(DamageKind::MetadataUnusable, Severity::Warning, "names no " + std::string(fact));
  }
}

}  // namespace

std::string_view damage_kind_name(DamageKind kind) noexcept {
  switch (kind) {
    case DamageKind::Unopenable: return "unopenable";
    case DamageKind::BlockOutsideFile: return "block-outside-file";
    case DamageKind::BlockUndecodable: return "block-undecodable";
    case DamageKind::ProfileTicMismatch: return "profile-tic-mismatch";
    case DamageKind::PointListTicMismatch: return "point-list-tic-mismatch";
    case DamageKind::FrameSumMismatch: return "frame-sum-mismatch";
    case DamageKind::ProfileMaxMismatch: return "profile-max-mismatch";
    case DamageKind::CalibrationMissing: return "calibration-missing";
    case DamageKind::CalibrationOutOfRange: return "calibration-out-of-range";
    case DamageKind::MetadataMissing: return "metadata-missing";
    case DamageKind::MetadataUnusable: return "metadata-unusable";
  }
  return "unknown";
}

std::string_view severity_name(Severity severity) noexcept {
  return severity == Severity::Damage ? "damage" : "warning";
}

bool IntegrityReport::damaged() const noexcept {
  return std::ranges::any_of(findings, [](const Finding& finding) { return finding.severity == Severity::Damage; });
}

Result<IntegrityReport> check_acquisition(std::string_view path, const IntegrityOptions& options) {
  IntegrityReport report;
  auto opened = Acquisition::open(path);
  if (!opened) {
    // A folder that holds a scan index but cannot be opened is damaged; anything else is not
    // an acquisition this check can speak about.
    const auto folder = FolderNames::open(path, {});
    const bool has_index = folder && regular_file_size(folder->path_of("MSScan.bin")).has_value();
    if (!has_index || opened.error().kind() != Error::Kind::Parse) return std::unexpected(opened.error());
    report.findings.push_back({DamageKind::Unopenable, Severity::Damage, std::nullopt, std::nullopt,
                               "the acquisition cannot be opened: " + opened.error().message()});
    return report;
  }
  const Acquisition& acquisition = *opened;
  report.scans = acquisition.size();

  const FolderNames& folder = acquisition.names();
  check_document(folder, "Devices.xml", "instrument device",
                 [](ByteView bytes) { return parse_devices_xml_text(bytes).has_value(); }, report.findings);
  check_document(folder, "Contents.xml", "acquisition time",
                 [](ByteView bytes) { return parse_acquired_time_text(bytes).has_value(); }, report.findings);

  FolderFacts facts;
  facts.profile_size = regular_file_size(folder.path_of("MSProfile.bin"));
  facts.peak_size = regular_file_size(folder.path_of("MSPeak.bin"));
  if (const FieldSlot* slot = acquisition.layout().scan_field("TIC")) facts.tic_type = slot->type;
  if (const FieldSlot* slot = acquisition.layout().block_field("MaxY")) facts.max_y_type = slot->type;
  facts.layout_from_schema = acquisition.layout().source == LayoutSource::Schema;

  // Each thread takes the next unchecked unit; the calling thread works too and reports progress.
  unsigned workers = options.workers != 0 ? options.workers : std::thread::hardware_concurrency();
  workers = std::clamp(workers, 1u, MAX_WORKERS);
  const std::size_t total = acquisition.size();
  const WorkPlan plan = plan_work(acquisition);
  const std::size_t frames = plan.bins_of_frame.size();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex merge;
  std::vector<Finding> scan_findings;
  std::vector<std::pair<std::size_t, Finding>> frame_findings;  // by frame position
  std::uint64_t uncalibrated_scans = 0;
  const auto work = [&](bool reports_progress) {
    ScanChecker checker(acquisition, facts);
    std::vector<std::pair<std::size_t, Finding>> mismatches;
    const auto check = [&](std::size_t index, FrameSum* frame_sum) {
      checker.check(index, frame_sum);
      const std::size_t finished = done.fetch_add(1) + 1;
      if (reports_progress && options.progress) options.progress(finished, total);
    };
    for (std::size_t unit = next.fetch_add(1); unit < plan.units(); unit = next.fetch_add(1)) {
      if (unit >= frames) {
        check(plan.lone_scan(unit), nullptr);
        continue;
      }
      FrameSum frame_sum(frame_total(acquisition, unit));
      for (const std::size_t index : plan.bins_of_frame[unit]) check(index, &frame_sum);
      if (auto mismatch = frame_sum.mismatch()) {
        mismatches.push_back({unit, {DamageKind::FrameSumMismatch, Severity::Damage, std::nullopt, std::nullopt,
                                     "frame " + std::to_string(unit) + " (FrameID " +
                                         std::to_string(acquisition.frame_record(unit).frame_id) + "): " + *mismatch}});
      }
    }
    std::lock_guard lock(merge);
    std::ranges::move(checker.findings, std::back_inserter(scan_findings));
    std::ranges::move(mismatches, std::back_inserter(frame_findings));
    report.blocks_decoded += checker.blocks_decoded;
    uncalibrated_scans += checker.uncalibrated_scans;
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers; ++i) {
    try {
      threads.emplace_back(work, false);
    } catch (const std::system_error&) {
      break;  // the threads started so far, and this one, do the work
    }
  }
  work(true);
  for (std::thread& thread : threads) thread.join();

  if (uncalibrated_scans > 0) {
    report.findings.push_back({DamageKind::CalibrationMissing, Severity::Damage, std::nullopt, std::nullopt,
                               std::to_string(uncalibrated_scans) +
                                   " scans hold flight times but the folder has neither MSMassCal.bin nor "
                                   "DefaultMassCal.xml"});
  }
  std::ranges::sort(frame_findings, {}, [](const auto& finding) { return finding.first; });
  for (auto& entry : frame_findings) report.findings.push_back(std::move(entry.second));
  std::ranges::stable_sort(scan_findings, {}, [](const Finding& finding) { return *finding.scan_index; });
  std::ranges::move(scan_findings, std::back_inserter(report.findings));
  return report;
}

}  // namespace vornak
