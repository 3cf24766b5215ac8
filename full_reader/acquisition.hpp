// The full reader: an acquisition folder as instruments write it, opened lazily. Opening reads
// the scan index, its record layout, the calibration data and the metadata documents; spectra
// are decoded on demand, from any number of threads at once on one const Acquisition.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "full_reader/block_rule.hpp"
#include "reader_lib/error.hpp"
#include "reader_lib/folder_names.hpp"
#include "reader_lib/instrument.hpp"
#include "reader_lib/raw/ims_frames.hpp"
#include "reader_lib/raw/mass_calibration.hpp"
#include "reader_lib/raw/profile_payload.hpp"
#include "reader_lib/raw/scan_layout.hpp"
#include "reader_lib/raw/time_segments.hpp"
#include "reader_lib/raw/value_array.hpp"

namespace vornak {

enum class SpectrumKind : std::uint8_t { Profile, Centroid };
enum class Polarity : std::uint8_t { Unknown, Positive, Negative };

// "profile", "centroid"; "positive", "negative", "unknown".
[[nodiscard]] std::string_view kind_name(SpectrumKind kind) noexcept;
[[nodiscard]] std::string_view polarity_name(Polarity polarity) noexcept;

// The name of a record's ScanType: "full_scan" (1), "sim" (2), "mrm" (256), "product_ion" (512),
// "precursor_ion" (1024), "neutral_loss" (2048), "neutral_gain" (4096), "high_resolution_scan"
// (4), "total_ion" (8), "unspecified" (0); "unknown" for any other value or none.
[[nodiscard]] std::string_view scan_type_name(std::optional<std::int64_t> scan_type) noexcept;
inline constexpr std::int64_t SCAN_TYPE_SIM = 2;
inline constexpr std::int64_t SCAN_TYPE_MRM = 256;

// What the x values of an ICP-MS channel block are.
enum class ChannelValues : std::uint8_t {
  None,         // not a channel block
  AsStored,     // the stored channel values (the m/z on single-quadrupole ICP-MS)
  Transitions,  // product m/z of each channel's transition in MSTS_XAddition.xml
};
// "", "stored", "transitions".
[[nodiscard]] std::string_view channel_values_name(ChannelValues values) noexcept;

// In the error of a spectrum whose flight times have no calibration file to turn them into m/z
// (a folder of the instruments' layout without MSMassCal.bin and DefaultMassCal.xml).
inline constexpr std::string_view NO_CALIBRATION = "flight times without a mass calibration";

// One block descriptor of a record, with the fields the record's layout has.
struct BlockInfo {
  std::uint32_t format_id = 0;
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::optional<std::uint32_t> uncompressed_byte_count;
  std::optional<double> min_x, max_x, min_y, max_y;
  BlockRoute route;  // the file that holds the block and its decoder
};

// What the scan index says about one scan; no block is read.
struct ScanInfo {
  std::uint64_t index = 0;
  std::uint64_t record_index = 0;  // its MSScan.bin record (ion-mobility runs skip frame sums)
  std::uint32_t scan_id = 0;
  double retention_time_sec = 0.0;  // ScanTime (minutes) * 60
  std::uint32_t ms_level = 0;
  Polarity polarity = Polarity::Unknown;
  std::optional<std::int64_t> scan_type;
  std::optional<double> tic;
  std::optional<double> base_peak_mz;
  std::optional<double> base_peak_value;
  std::optional<std::int64_t> calibration_id;
  std::optional<double> fragmentor;
  std::optional<double> collision_energy;    // MS level 2 and above
  std::optional<double> precursor_mz;        // MzOfInterest, MS level 2 and above
  std::optional<double> isolation_width;     // MzIsolationWidth, MS level 2 and above
  std::optional<std::int64_t> charge_state;  // ChargeState when non-zero
  std::optional<std::int64_t> mass_cal_offset;
  std::optional<double> sampling_period;
  std::optional<std::uint32_t> mrm_channel;
  std::optional<double> mz_range_low;   // the record's m/z range where its layout has one
  std::optional<double> mz_range_high;
  std::optional<std::int64_t> time_segment;  // TimeSegmentID
  // Ion mobility: the frame (FrameID), the drift bin (0: the frame's total spectrum) and the
  // drift time, (DriftBin - 1) * the frame method's FrameDtPeriod, in ms.
  std::optional<std::int64_t> frame_id;
  std::optional<std::int64_t> drift_bin;
  std::optional<double> drift_time_ms;
  std::optional<BlockInfo> profile_block;  // in MSProfile.bin (block_rule() says which)
  std::optional<BlockInfo> peak_block;     // in MSPeak.bin: centroids or a point list

  [[nodiscard]] std::string native_id() const { return "scanId=" + std::to_string(scan_id); }
};

// One decoded spectrum: every point of its block, m/z ascending as stored.
struct Spectrum {
  std::uint64_t index = 0;
  SpectrumKind kind = SpectrumKind::Profile;
  CalibrationSource calibration = CalibrationSource::None;
  std::optional<ProfileEncoding> encoding;  // profile spectra only
  ChannelValues channels = ChannelValues::None;
  ValueArray mz;
  ValueArray intensity;  // counts and abundances widened exactly to f64
  // With ChannelValues::Transitions, the first quadrupole's m/z of each point; empty otherwise.
  ValueArray precursor_mz;
};

class Acquisition {
 public:
  // Opens the folder at `path`: AcqData must exist and hold a valid MSScan.bin whose layout
  // comes from MSScan.xsd or, without one, from the built-in table (the designed strides, then
  // the ICP-MS layout when every record fits it). An ion-mobility folder (IMSFrame.bin beside
  // MSScan.bin) also needs IMSFrame.xsd and a frame for every record. Names are found whatever
  // their case (FolderNames). Errors say what is wrong and name the file; a path that is not an
  // acquisition gets a Folder error saying what it is (diagnose_folder).
  [[nodiscard]] static Result<Acquisition> open(std::string_view path);

  Acquisition(Acquisition&&) noexcept;
  Acquisition& operator=(Acquisition&&) noexcept;
  ~Acquisition();

  // The number of spectra: every record, except frame-sum records in ion-mobility runs.
  [[nodiscard]] std::size_t size() const noexcept;
  [[nodiscard]] std::size_t record_count() const noexcept;
  [[nodiscard]] std::uint32_t layout_word() const noexcept;  // u32 at 0x48 of MSScan.bin
  [[nodiscard]] const std::vector<TimeSegment>& time_segments() const noexcept;  // MSTS.xml; may be empty
  // ICP-MS MS/MS channel transitions (MSTS_XAddition.xml beside AcqData); empty without that file.
  [[nodiscard]] const std::vector<ChannelTransition>& channel_transitions() const noexcept;
  [[nodiscard]] const std::string& folder_path() const noexcept;
  // The folder's files as found at opening.
  [[nodiscard]] const FolderNames& names() const noexcept;
  [[nodiscard]] const std::string& acquisition_name() const noexcept;
  [[nodiscard]] const InstrumentInfo& instrument() const noexcept;
  [[nodiscard]] const std::optional<std::string>& acquired_time() const noexcept;
  [[nodiscard]] const RecordLayout& layout() const noexcept;
  [[nodiscard]] const MassCalibrationTable& calibration() const noexcept;
  [[nodiscard]] std::uint32_t data_offset() const noexcept;

  // The scan index's facts on scan `index` (index < size()).
  [[nodiscard]] ScanInfo scan(std::size_t index) const;
  // Any field of scan `index`'s record by its layout name, with its stored type.
  [[nodiscard]] std::optional<FieldValue> field(std::size_t index, std::string_view name) const;
  // Any field of one of the record's block descriptors (descriptor < layout().descriptor_count).
  [[nodiscard]] std::optional<FieldValue> block_field(std::size_t index, std::uint32_t descriptor,
                                                      std::string_view name) const;
  // Ion mobility: the frames of IMSFrame.bin in record order (none in other runs), the scan
  // index facts of frame k's total-spectrum record (its frame's time and level, and no block
  // when it has no such record), and that spectrum (empty when the frame has none).
  [[nodiscard]] bool ion_mobility() const noexcept;
  [[nodiscard]] std::size_t frame_count() const noexcept;
  [[nodiscard]] const FrameRecord& frame_record(std::size_t k) const;
  [[nodiscard]] ScanInfo frame_scan(std::size_t k) const;
  [[nodiscard]] Result<Spectrum> frame(std::size_t k) const;

  // The index of the first scan with this scan id.
  [[nodiscard]] std::optional<std::size_t> find_scan_id(std::uint32_t scan_id) const;

  // The profile spectrum of scan `index`; an error when it has none or its block is damaged.
  [[nodiscard]] Result<Spectrum> profile(std::size_t index) const;
  // The centroid spectrum of scan `index`; an error when it has none or its block is damaged.
  [[nodiscard]] Result<Spectrum> centroid(std::size_t index) const;
  // The profile spectrum, or the centroid spectrum when the scan has a centroid block and no
  // profile block, a profile block that cannot be read or one with no points; then a centroid
  // block that cannot be read is the error. A scan with no block at all gives an empty profile
  // spectrum.
  [[nodiscard]] Result<Spectrum> spectrum(std::size_t index) const;

 private:
  struct State;
  explicit Acquisition(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace vornak
