// Writes acquisitions laid out as time-of-flight instruments write them: a record schema
// (MSScan.xsd) that fixes the record fields, 256- or 274-byte records, block files with their
// 68-byte headers, LZF or run-length profiles of flight-time bins, format-2 centroids, per-scan
// mass calibration (MSMassCal.bin) and the default one (DefaultMassCal.xml).
//
// Test support like synthetic.hpp: bad options and failed writes throw std::runtime_error or
// std::invalid_argument with a message saying what is wrong.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vornak::synthetic {

using Bytes = std::vector<std::uint8_t>;

// The two record field sets: 256 bytes (the TOF software's set, all integers 32-bit) and
// 274 bytes (the newer Q-TOF set: shorts, floats, a precursor m/z and data-dependent IDs).
enum class RecordFamily : std::uint32_t { bytes_256 = 256, bytes_274 = 274 };

enum class ProfileEncoding {
  lzf,         // the whole block is one LZF stream of (f64 first flight time, f64 step, u32 counts)
  run_length,  // 16 raw bytes, 0x90000000 | N, minus the leading empty bins, variable-width tokens
};

struct RealLayoutOptions {
  RecordFamily family = RecordFamily::bytes_256;
  ProfileEncoding encoding = ProfileEncoding::lzf;
  // MSMassCal.bin with one row of constants per scan, MassCalOffset = 0x48 + 84 * index.
  // false: no MSMassCal.bin, MassCalOffset 0, every scan takes DefaultMassCal.xml's constants.
  bool scan_calibration = true;
  std::size_t profile_scans = 4;  // MS1 scans with a profile block
  std::size_t points = 5000;      // flight-time bins per profile block (at most 2^24 - 1)
  std::size_t ms2_scans = 2;      // MS2 scans with format-2 centroids, spread between the MS1 scans
  // MS2 scans carry a profile block too (profile and centroids stored, as Q-TOFs can be set
  // to). Readers that take one flight-time axis for the whole run need every record to have one.
  bool ms2_profiles = false;
  // One bin of 3e9 to 4e9 counts in every 25th MS1 scan (from the first): its run-length token
  // is 8 bytes wide, so all four token widths occur. Real files keep counts below 2^31.
  bool wide_counts = false;
  std::uint64_t seed = 1;
};

// The `vornak-make-sample --real --bench --scale X` preset: round(600 * X) MS1 scans (at least
// one) of 60,000 bins, LZF, per-scan calibration, round(300 * X) centroided MS2 scans.
[[nodiscard]] RealLayoutOptions real_bench_options(double scale);

// Mass calibration constants. For a flight time t (ns):
//   m/z = (a * (t - t0))^2 - sum_k coefficients[k] * clamp(t, low, high)^p_k
// where p_k is the k-th set bit of value_use_flags, lowest first (terms past the set bits are
// unused).
struct MassCalibration {
  double a = 0.0;
  double t0 = 0.0;
  double low = 0.0;
  double high = 0.0;
  std::array<double, 6> coefficients{};
  std::uint32_t value_use_flags = 0;

  [[nodiscard]] double mz(double flight_time) const;
  // The flight time whose mz() is `mz`, by fixed-point iteration (the polynomial changes slowly
  // with t): mz(flight_time(x)) is x to about 1e-9.
  [[nodiscard]] double flight_time(double mz) const;
};

// Where a block went and its descriptor's counts.
struct WrittenBlock {
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::uint32_t uncompressed_byte_count = 0;
  double min_x = 0.0;  // MinX, MaxX: m/z of the first and last bin or peak by the default
  double max_x = 0.0;  // calibration, as instruments store them
  double max_y = 0.0;  // the largest count or abundance
};

// Everything written for one scan, in record order.
struct WrittenScan {
  std::size_t index = 0;  // record index in MSScan.bin
  std::uint32_t scan_id = 0;
  std::uint16_t ms_level = 1;
  std::uint32_t scan_type = 1;
  std::uint32_t cycle = 1;
  double retention_time_min = 0.0;
  // From the profile when there is one, else from the centroids.
  double tic = 0.0;              // sum of the counts or abundances
  double base_peak_mz = 0.0;     // of the largest bin or peak, by the default calibration
  double base_peak_value = 0.0;  // that bin's count or peak's abundance
  double collision_energy = 0.0;
  std::optional<double> precursor_mz;  // MS2; the 274 records hold it as MzOfInterest
  std::uint64_t mass_cal_offset = 0;   // 0 without MSMassCal.bin
  MassCalibration calibration;         // what the scan's m/z comes from (its row, else the default)

  // The profile block (MS1 scans; MS2 scans with ms2_profiles). Bin i has flight time
  // first_flight_time + i * flight_time_step.
  std::optional<WrittenBlock> profile;
  double first_flight_time = 0.0;
  double flight_time_step = 0.0;
  std::vector<std::uint32_t> counts;

  // MS2 scans: the format-2 centroid block, flight times increasing.
  std::optional<WrittenBlock> peaks;
  std::vector<double> peak_flight_times;
  std::vector<float> peak_abundances;
};

struct RealAcquisitionFacts {
  std::uint32_t record_stride = 0;
  std::uint32_t data_offset = 0;
  std::uint32_t descriptors_per_record = 0;
  std::size_t scan_count = 0;
  std::uint16_t calibration_id = 0;  // every record's CalibrationID
  MassCalibration default_calibration;  // DefaultMassCal.xml's entry for calibration_id
};

// Called once per scan right after its blocks are written (the arrays are not kept).
using WrittenScanSink = std::function<void(const WrittenScan&)>;

// Creates `folder`/AcqData and writes MSScan.bin, MSScan.xsd, MSProfile.bin, MSPeak.bin,
// MSMassCal.bin (or removes it, without per-scan calibration), DefaultMassCal.xml, MSTS.xml,
// Devices.xml and Contents.xml. Block files are written as the scans are made, one scan in
// memory at a time. The same options give the same bytes.
RealAcquisitionFacts write_real_acquisition(const std::filesystem::path& folder, const RealLayoutOptions& options,
                                            const WrittenScanSink& on_scan = {});

// The block encodings, as write_real_acquisition lays them into MSProfile.bin.
// The decoded payload: f64 first flight time, f64 step, then one u32 per bin.
[[nodiscard]] Bytes profile_payload(double first_flight_time, double step, std::span<const std::uint32_t> counts);
[[nodiscard]] Bytes encode_lzf_profile(double first_flight_time, double step, std::span<const std::uint32_t> counts);
// Runs of two or more empty bins become skips; each value is written in the narrowest
// signed width (1, 2, 4 or 8 bytes) that holds it and the next few values.
// With `code_trailing_empty` false the stream stops after the last non-empty bin, as
// ion-mobility frame sums are written.
[[nodiscard]] Bytes encode_run_length_profile(double first_flight_time, double step,
                                              std::span<const std::uint32_t> counts,
                                              bool code_trailing_empty = true);

// The documents, as written.
[[nodiscard]] std::string scan_schema(RecordFamily family);  // MSScan.xsd
[[nodiscard]] std::string default_mass_calibration_xml();   // DefaultMassCal.xml

// ---- other instrument families (family_layout.cpp) ------------------------------------------

// An LC triple quadrupole (layout word 5, one descriptor of the order MinY, MaxY, MinX, MaxX,
// 184-byte records of the 2006 schema), its records in this order: MRM point lists (MSPeak.bin,
// format 3, N f32 x then N i32 counts; MS level 2, ScanType 256, MzOfInterest = Q1), SIM point
// lists (format 1, ScanType 2, each ion's m/z stored as x), then profile scans in MSProfile.bin
// (format 2): f32 first x, truncated f32 step and i32 counts (MaxX the f32 running sum of that
// step, SamplingPeriod f32 0.1: the axis is MinX + i * SamplingPeriod), then f64 first x, f64 step
// and f32 abundances (TIC their f32 running sum). The records fall into `time_segments`
// contiguous segments (TimeSegmentID, MSTS.xml).
struct TripleQuadOptions {
  std::size_t mrm_records = 8;
  std::size_t mrm_precursors = 2;          // Q1 values; MRM records take them in turn
  std::size_t transitions_per_record = 2;  // product ions of each Q1, one point each per record
  std::size_t sim_records = 4;
  std::size_t sim_ions = 2;                // points per SIM record
  std::size_t count_profiles = 2;          // f32 axis + i32 counts
  std::size_t abundance_profiles = 2;      // f64 axis + f32 abundances
  std::size_t points = 200;                // bins per profile
  std::size_t time_segments = 3;           // at least 1, at most the record count
  bool negative = false;                   // IonPolarity 1 in every record
  std::uint64_t seed = 1;
};

// An ion-mobility Q-TOF: flat MsProf*/MsPeak* records (106 bytes, no block descriptor, though the
// word at 0x4C says 2), IMSFrame.bin (tag 0x116, 130-byte records from 76) with IMSFrame.xsd,
// IMSFrameMeth.xml (FrameDtPeriod, DefMassCalId) and DefaultMassCal.xml. Each frame has a
// frame-sum record (DriftBin 0) followed by its drift-bin records; profiles are run-length
// encoded flight-time bins (F / S = the first MS bin), and a frame sum holds the bin-wise sum
// of its drift bins with a stream that stops after its last non-empty bin.
struct IonMobilityOptions {
  std::size_t frames = 3;
  std::size_t drift_bins = 6;    // drift-bin records per frame
  std::size_t points = 400;      // MS bins per profile (MsProfPointCount)
  bool empty_frame_sum = false;  // the last frame's sum record has no block (ByteCount 0, offsets -1)
  bool ms2_frames = false;       // FragClass 1 and 2 in turn (MS1, MS2); else 0 (one level)
  std::uint64_t seed = 1;
};

// An ICP-MS run without MSScan.xsd: 136-byte records of the built-in layout (layout word 2, one
// descriptor, records from 208) and channel blocks in MSProfile.bin, 28 bytes a point: N f32
// channel values, N f64 counts, the same counts again, N f64 analog values. With `transitions`
// the channel values are indices 1..K and MSTS_XAddition.xml beside AcqData gives each one's
// precursor and product m/z; without, they are the m/z.
struct IcpmsOptions {
  std::size_t scans = 5;     // a count whose record area no designed stride divides
  std::size_t channels = 3;  // at most 8
  bool transitions = false;
  std::uint64_t seed = 1;
};

// One record as written, with what a reader should make of it.
struct FamilyRecord {
  std::size_t record = 0;  // index in MSScan.bin
  std::uint32_t scan_id = 0;
  std::int64_t scan_type = 0;
  std::int64_t time_segment = 1;
  std::uint32_t ms_level = 1;
  double retention_time_min = 0.0;
  bool negative = false;
  std::optional<double> precursor_mz;      // MzOfInterest; an MS2 frame's IsolationMz
  std::optional<double> collision_energy;
  double tic = 0.0;                         // as stored
  // The block: "point-list", "f32-axis-counts", "f64-axis-abundances", "run-length",
  // "uncompressed"; empty when the record has none.
  std::string encoding;
  std::string block_file;  // "MSPeak.bin" or "MSProfile.bin"
  std::uint32_t format_id = 0;
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  // What the spectrum holds: m/z (or stored x), intensities widened, and the first quadrupole's
  // m/z per point (ICP-MS MS/MS only).
  std::vector<double> mz;
  std::vector<double> intensity;
  std::vector<double> precursor_per_point;
  // Ion mobility.
  std::optional<std::int64_t> frame_id;
  std::optional<std::int64_t> drift_bin;    // 0: the frame sum
  std::optional<double> drift_time_ms;      // (DriftBin - 1) * FrameDtPeriod
};

struct FamilyFacts {
  std::uint32_t layout_word = 0;
  std::uint32_t record_stride = 0;
  std::uint32_t data_offset = 0;
  std::size_t record_count = 0;
  std::size_t frame_count = 0;  // ion mobility
};

using FamilyRecordSink = std::function<void(const FamilyRecord&)>;

// Each creates `folder`/AcqData with every file named above, Devices.xml and Contents.xml; the
// same options give the same bytes. Options out of range throw std::invalid_argument.
FamilyFacts write_triple_quad_acquisition(const std::filesystem::path& folder, const TripleQuadOptions& options,
                                          const FamilyRecordSink& on_record = {});
FamilyFacts write_ion_mobility_acquisition(const std::filesystem::path& folder, const IonMobilityOptions& options,
                                           const FamilyRecordSink& on_record = {});
FamilyFacts write_icpms_acquisition(const std::filesystem::path& folder, const IcpmsOptions& options,
                                    const FamilyRecordSink& on_record = {});

// The documents of those families, as written.
[[nodiscard]] std::string triple_quad_scan_schema();  // MSScan.xsd, 184-byte records
[[nodiscard]] std::string ion_mobility_scan_schema();  // MSScan.xsd, flat 106-byte records
[[nodiscard]] std::string frame_schema();  // IMSFrame.xsd, 130-byte frame records

}  // namespace vornak::synthetic
