// Opening an acquisition as instruments write it, and decoding one spectrum on demand.
//
// This file is compiled with -ffp-contract=off (see full_reader/CMakeLists.txt): the m/z of a
// profile bin comes from its flight time F + i * S, and a fused multiply-add would round it
// differently on machines that have one.
#include "full_reader/acquisition.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <utility>

#include "full_reader/folder_diagnosis.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/raw/mspeak.hpp"
#include "reader_lib/raw/msprofile.hpp"
#include "reader_lib/raw/msscan.hpp"
#include "reader_lib/raw/quad_blocks.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::size_t DESCRIPTOR_COUNT_OFFSET = 0x4C;  // u32, block descriptors per record

constexpr std::size_t LAYOUT_WORD_OFFSET = 0x48;        // u32, which family wrote the index

// The fields of one block: in each descriptor, or scan fields of their own names in flat records.
struct BlockSlots {
  const FieldSlot* format_id = nullptr;
  const FieldSlot* offset = nullptr;
  const FieldSlot* byte_count = nullptr;
  const FieldSlot* point_count = nullptr;
  const FieldSlot* uncompressed_byte_count = nullptr;
  const FieldSlot* min_x = nullptr;
  const FieldSlot* max_x = nullptr;
  const FieldSlot* min_y = nullptr;
  const FieldSlot* max_y = nullptr;

  [[nodiscard]] bool complete() const noexcept {
    return offset != nullptr && byte_count != nullptr && point_count != nullptr;
  }
};

// Every file opening reads, resolved once whatever the case of its name (MSTS_XAddition.xml lies
// beside AcqData).
constexpr std::string_view FOLDER_FILES[] = {
    "MSScan.bin",  "MSScan.xsd",   "MSMassCal.bin", "DefaultMassCal.xml", "MSProfile.bin",    "MSPeak.bin",
    "Devices.xml", "Contents.xml", "IMSFrame.bin",  "IMSFrame.xsd",       "IMSFrameMeth.xml", "MSTS.xml",
    "MSTS_XAddition.xml"};

// Where the fields the reader interprets lie in this folder's records; null when the layout
// has no such field.
struct KnownFields {
  const FieldSlot* scan_id = nullptr;
  const FieldSlot* scan_time = nullptr;
  const FieldSlot* ms_level = nullptr;
  const FieldSlot* scan_type = nullptr;
  const FieldSlot* tic = nullptr;
  const FieldSlot* base_peak_mz = nullptr;
  const FieldSlot* base_peak_value = nullptr;
  const FieldSlot* calibration_id = nullptr;
  const FieldSlot* ion_polarity = nullptr;
  const FieldSlot* fragmentor = nullptr;
  const FieldSlot* collision_energy = nullptr;
  const FieldSlot* precursor_mz = nullptr;
  const FieldSlot* isolation_width = nullptr;
  const FieldSlot* charge_state = nullptr;
  const FieldSlot* mass_cal_offset = nullptr;
  const FieldSlot* sampling_period = nullptr;
  const FieldSlot* mrm_channel = nullptr;
  const FieldSlot* mz_range_low = nullptr;
  const FieldSlot* mz_range_high = nullptr;
  const FieldSlot* time_segment = nullptr;
  const FieldSlot* frame_id = nullptr;
  const FieldSlot* drift_bin = nullptr;
  const FieldSlot* base_abundance = nullptr;  // BaseAbund of flat records
  BlockSlots descriptor;    // in each block descriptor
  BlockSlots flat_profile;  // MsProf* scan fields
  BlockSlots flat_peak;     // MsPeak* scan fields
};

KnownFields resolve_fields(const RecordLayout& layout) {
  KnownFields known;
  known.scan_id = layout.scan_field("ScanID");
  known.scan_time = layout.scan_field("ScanTime");
  known.ms_level = layout.scan_field("MSLevel");
  known.scan_type = layout.scan_field("ScanType");
  known.tic = layout.scan_field("TIC");
  known.base_peak_mz = layout.scan_field("BasePeakMZ");
  known.base_peak_value = layout.scan_field("BasePeakValue");
  known.calibration_id = layout.scan_field("CalibrationID");
  known.ion_polarity = layout.scan_field("IonPolarity");
  known.fragmentor = layout.scan_field("Fragmentor");
  known.collision_energy = layout.scan_field("CollisionEnergy");
  known.precursor_mz = layout.scan_field("MzOfInterest");
  known.isolation_width = layout.scan_field("MzIsolationWidth");
  known.charge_state = layout.scan_field("ChargeState");
  known.mass_cal_offset = layout.scan_field("MassCalOffset");
  known.sampling_period = layout.scan_field("SamplingPeriod");
  known.mrm_channel = layout.scan_field("MRMChannel");
  known.mz_range_low = layout.scan_field("MzRangeLow");
  known.mz_range_high = layout.scan_field("MzRangeHigh");
  known.time_segment = layout.scan_field("TimeSegmentID");
  known.frame_id = layout.scan_field("FrameID");
  known.drift_bin = layout.scan_field("DriftBin");
  known.base_abundance = layout.scan_field("BaseAbund");
  known.descriptor = {layout.block_field("SpectrumFormatID"), layout.block_field("SpectrumOffset"),
                      layout.block_field("ByteCount"),        layout.block_field("PointCount"),
                      layout.block_field("UncompressedByteCount"), layout.block_field("MinX"),
                      layout.block_field("MaxX"),             layout.block_field("MinY"),
                      layout.block_field("MaxY")};
  known.flat_profile = {layout.scan_field("MsProfSpecFmtId"), layout.scan_field("MsProfOffset"),
                        layout.scan_field("MsProfByteCount"), layout.scan_field("MsProfPointCount"),
                        layout.scan_field("MsProfFullByteCount")};
  known.flat_peak = {layout.scan_field("MsPeakSpecFmtId"), layout.scan_field("MsPeakOffset"),
                     layout.scan_field("MsPeakByteCount"), layout.scan_field("MsPeakPointCount"),
                     nullptr, layout.scan_field("MsPeakMinX"), layout.scan_field("MsPeakMaxX")};
  return known;
}

// A layout the reader cannot work with lacks one of the fields every scan needs. Retention
// time and MS level of ion-mobility records come from their frames.
Result<void> check_required_fields(const KnownFields& known, bool flat, bool frames) {
  std::vector<std::pair<const FieldSlot*, std::string_view>> required = {{known.scan_id, "ScanID"}};
  if (frames) {
    required.emplace_back(known.frame_id, "FrameID");
  } else {
    required.emplace_back(known.scan_time, "ScanTime");
    required.emplace_back(known.ms_level, "MSLevel");
  }
  if (flat) {
    if (!known.flat_profile.complete() && !known.flat_peak.complete()) {
      return std::unexpected(Error::parse(
          "MSScan.xsd: the scan record has no block descriptor and no MsProf or MsPeak offset, byte and point "
          "count fields"));
    }
  } else {
    required.emplace_back(known.descriptor.format_id, "SpectrumFormatID");
    required.emplace_back(known.descriptor.offset, "SpectrumOffset");
    required.emplace_back(known.descriptor.byte_count, "ByteCount");
    required.emplace_back(known.descriptor.point_count, "PointCount");
  }
  for (const auto& [slot, name] : required) {
    if (slot == nullptr) {
      return std::unexpected(Error::parse("MSScan.xsd: the scan record has no field " + std::string(name)));
    }
  }
  return {};
}

std::optional<FieldValue> read_optional(ByteView bytes, const FieldSlot* slot) {
  if (slot == nullptr) return std::nullopt;
  return read_field(bytes, *slot);
}

std::optional<double> optional_double(ByteView bytes, const FieldSlot* slot) {
  const auto value = read_optional(bytes, slot);
  if (!value) return std::nullopt;
  return as_double(*value);
}

std::optional<std::int64_t> optional_integer(ByteView bytes, const FieldSlot* slot) {
  const auto value = read_optional(bytes, slot);
  if (!value) return std::nullopt;
  return as_integer(*value);
}

// Integers as the designed layouts store them: unsigned, of the field's width.
std::uint64_t unsigned_value(ByteView bytes, const FieldSlot& slot) {
  const std::int64_t value = as_integer(read_field(bytes, slot));
  const std::size_t width = field_size(slot.type);
  if (width >= 8) return static_cast<std::uint64_t>(value);
  return static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << (8 * width)) - 1);
}

template <typename T>
T unsigned_as(ByteView bytes, const FieldSlot& slot) {
  return static_cast<T>(unsigned_value(bytes, slot));
}

// The polarity field holds 0 for positive and 1 for negative ions.
Polarity polarity_of(std::optional<std::int64_t> stored) {
  if (!stored) return Polarity::Unknown;
  if (*stored == 0) return Polarity::Positive;
  if (*stored == 1) return Polarity::Negative;
  return Polarity::Unknown;
}

// Errors name the spectrum: "scan N" by its index, "frame K" for a frame's total spectrum.
std::string scan_error(const ScanInfo& info, const std::string& message) {
  const bool frame_sum = info.drift_bin && *info.drift_bin == 0;
  return (frame_sum ? "frame " : "scan ") + std::to_string(info.index) + ": " + message;
}

// The shortest text that reads back as the same double.
std::string shortest_text(double value) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

// A failed read's text inside a spectrum's error: system errors keep their "I/O error: " prefix.
std::string read_failure(const Error& error) {
  return error.kind() == Error::Kind::Io ? error.display() : error.message();
}

}  // namespace

std::string_view kind_name(SpectrumKind kind) noexcept {
  return kind == SpectrumKind::Profile ? "profile" : "centroid";
}

std::string_view polarity_name(Polarity polarity) noexcept {
  switch (polarity) {
    case Polarity::Positive: return "positive";
    case Polarity::Negative: return "negative";
    case Polarity::Unknown: break;
  }
  return "unknown";
}

std::string_view scan_type_name(std::optional<std::int64_t> scan_type) noexcept {
  if (!scan_type) return "unknown";
  switch (*scan_type) {
    case 0: return "unspecified";
    case 1: return "full_scan";
    case SCAN_TYPE_SIM: return "sim";
    case 4: return "high_resolution_scan";
    case 8: return "total_ion";
    case SCAN_TYPE_MRM: return "mrm";
    case 512: return "product_ion";
    case 1024: return "precursor_ion";
    case 2048: return "neutral_loss";
    case 4096: return "neutral_gain";
    default: return "unknown";
  }
}

std::string_view channel_values_name(ChannelValues values) noexcept {
  switch (values) {
    case ChannelValues::AsStored: return "stored";
    case ChannelValues::Transitions: return "transitions";
    case ChannelValues::None: break;
  }
  return "";
}

// A block file, or why it could not be opened (a folder may lack one, or both).
struct OpenedFile {
  std::optional<BlockFile> file;
  std::optional<Error> error;
  bool exists = false;

  static OpenedFile open(const std::string& path) {
    OpenedFile opened;
    auto file = BlockFile::open(path);
    if (file) {
      opened.file = std::move(*file);
      opened.exists = true;
    } else {
      opened.exists = file.error().os_error() != ENOENT;
      opened.error = file.error().with_context("cannot open " + utf8_lossy(path));
    }
    return opened;
  }
};

// A whole file that may be absent: none when it does not exist, an error when it cannot be read.
Result<std::optional<std::vector<std::uint8_t>>> read_optional_file(const std::string& path) {
  auto bytes = read_file(path);
  if (bytes) return std::optional<std::vector<std::uint8_t>>(std::move(*bytes));
  if (bytes.error().os_error() == ENOENT) return std::optional<std::vector<std::uint8_t>>();
  if (bytes.error().kind() == Error::Kind::Io) return std::unexpected(bytes.error().with_context("cannot read " + utf8_lossy(path)));
  return std::unexpected(std::move(bytes.error()));
}

struct Acquisition::State {
  std::string folder_path;
  FolderNames names;
  std::string acquisition_name;
  InstrumentInfo instrument;
  std::optional<std::string> acquired_time;
  RecordLayout layout;
  KnownFields known;
  FolderShape shape;
  MassCalibrationTable calibration_table;
  AxisCache default_axes;  // the m/z axes of default-calibrated profiles
  std::vector<std::uint8_t> index_bytes;  // the whole MSScan.bin
  std::uint32_t data_offset = 0;
  std::size_t record_count = 0;
  bool scan_ids_ascending = true;
  OpenedFile profile_file;
  OpenedFile peak_file;
  std::vector<TimeSegment> time_segments;
  std::vector<ChannelTransition> channel_transitions;
  // Ion mobility: the frames, each record's frame position, the records that are spectra (the
  // drift bins, in record order) and each frame's total-spectrum record.
  std::optional<FrameTable> frames;
  std::vector<std::uint32_t> record_frames;
  std::vector<std::uint32_t> spectrum_records;
  std::vector<std::optional<std::uint32_t>> frame_sum_records;

  [[nodiscard]] std::size_t spectrum_count() const noexcept {
    return frames ? spectrum_records.size() : record_count;
  }
  [[nodiscard]] std::size_t record_of(std::size_t index) const noexcept {
    return frames ? spectrum_records[index] : index;
  }

  [[nodiscard]] ByteView record(std::size_t record_index) const {
    const std::uint32_t stride = layout.stride();
    return ByteView(index_bytes).subspan(data_offset + record_index * stride, stride);
  }

  [[nodiscard]] ByteView descriptor(ByteView record_bytes, std::uint32_t which) const {
    return record_bytes.subspan(layout.scan_fields_size + which * layout.descriptor_size, layout.descriptor_size);
  }

  [[nodiscard]] static BlockInfo block_info(ByteView bytes, const BlockSlots& slots, const BlockRoute& route) {
    BlockInfo block;
    if (slots.format_id != nullptr) block.format_id = unsigned_as<std::uint32_t>(bytes, *slots.format_id);
    block.offset = unsigned_value(bytes, *slots.offset);
    block.byte_count = unsigned_as<std::uint32_t>(bytes, *slots.byte_count);
    block.point_count = unsigned_as<std::uint32_t>(bytes, *slots.point_count);
    if (slots.uncompressed_byte_count) {
      block.uncompressed_byte_count = unsigned_as<std::uint32_t>(bytes, *slots.uncompressed_byte_count);
    }
    block.min_x = optional_double(bytes, slots.min_x);
    block.max_x = optional_double(bytes, slots.max_x);
    block.min_y = optional_double(bytes, slots.min_y);
    block.max_y = optional_double(bytes, slots.max_y);
    block.route = route;
    return block;
  }

  [[nodiscard]] ScanInfo scan(std::size_t index) const { return scan_of_record(record_of(index), index); }
  [[nodiscard]] ScanInfo scan_of_record(std::size_t record_index, std::size_t index) const;
  void add_blocks(ByteView bytes, ScanInfo& info) const;
  void add_frame_facts(std::size_t record_index, ScanInfo& info) const;
  [[nodiscard]] Result<Spectrum> profile(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<Spectrum> centroid(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<Spectrum> any_spectrum(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<ByteBuffer> read_block(const BlockInfo& block) const;
  [[nodiscard]] Result<std::optional<ScanCalibration>> calibration_for(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<void> resolve_channels(const ScanInfo& info, Spectrum& spectrum) const;
  [[nodiscard]] Result<void> index_frames();

  // Flight times in a folder of the instruments' layout (it has MSScan.xsd) with no calibration
  // file: any m/z would be invented. The designed layouts keep their designed rules instead.
  [[nodiscard]] Error no_calibration(const ScanInfo& info) const {
    return Error::parse(scan_error(info, std::string(NO_CALIBRATION) + ": " + utf8_lossy(names.acqdata_path()) +
                                             " has neither MSMassCal.bin nor DefaultMassCal.xml"));
  }
};

ScanInfo Acquisition::State::scan_of_record(std::size_t record_index, std::size_t index) const {
  const ByteView bytes = record(record_index);
  ScanInfo info;
  info.index = index;
  info.record_index = record_index;
  info.scan_id = unsigned_as<std::uint32_t>(bytes, *known.scan_id);
  if (known.scan_time) info.retention_time_sec = as_double(read_field(bytes, *known.scan_time)) * 60.0;
  if (known.ms_level) info.ms_level = unsigned_as<std::uint32_t>(bytes, *known.ms_level);
  info.polarity = polarity_of(optional_integer(bytes, known.ion_polarity));
  info.scan_type = optional_integer(bytes, known.scan_type);
  info.tic = optional_double(bytes, known.tic);
  info.base_peak_mz = optional_double(bytes, known.base_peak_mz);
  info.base_peak_value = optional_double(bytes, known.base_peak_value);
  if (!info.base_peak_value) info.base_peak_value = optional_double(bytes, known.base_abundance);
  info.calibration_id = optional_integer(bytes, known.calibration_id);
  info.fragmentor = optional_double(bytes, known.fragmentor);
  if (info.ms_level >= 2) {
    info.collision_energy = optional_double(bytes, known.collision_energy);
    info.precursor_mz = optional_double(bytes, known.precursor_mz);
    info.isolation_width = optional_double(bytes, known.isolation_width);
  }
  if (const auto charge = optional_integer(bytes, known.charge_state); charge && *charge != 0) {
    info.charge_state = charge;
  }
  info.mass_cal_offset = optional_integer(bytes, known.mass_cal_offset);
  info.sampling_period = optional_double(bytes, known.sampling_period);
  if (known.mrm_channel) info.mrm_channel = unsigned_as<std::uint32_t>(bytes, *known.mrm_channel);
  info.mz_range_low = optional_double(bytes, known.mz_range_low);
  info.mz_range_high = optional_double(bytes, known.mz_range_high);
  info.time_segment = optional_integer(bytes, known.time_segment);
  if (frames) add_frame_facts(record_index, info);
  add_blocks(bytes, info);
  return info;
}

// Time, level, precursor and drift time of an ion-mobility record, from its frame.
void Acquisition::State::add_frame_facts(std::size_t record_index, ScanInfo& info) const {
  const FrameRecord& frame = frames->frames()[record_frames[record_index]];
  info.frame_id = frame.frame_id;
  info.retention_time_sec = frame.retention_time_sec;
  info.ms_level = frame.ms_level;
  if (frame.ms_level >= 2) {
    info.collision_energy = frame.collision_energy;
    info.precursor_mz = frame.isolation_mz;
    if (frame.isolation_low && frame.isolation_high) info.isolation_width = *frame.isolation_high - *frame.isolation_low;
  }
  const FrameMethod* method = frames->method(frame.method_id);
  if (!info.calibration_id && method != nullptr) info.calibration_id = method->default_calibration_id;
  if (info.polarity == Polarity::Unknown && method != nullptr) info.polarity = polarity_of(method->ion_polarity);
  if (known.drift_bin) {
    info.drift_bin = as_integer(read_field(record(record_index), *known.drift_bin));
    if (*info.drift_bin > 0 && method != nullptr && method->drift_bin_period_ms) {
      info.drift_time_ms = static_cast<double>(*info.drift_bin - 1) * *method->drift_bin_period_ms;
    }
  }
}

// The record's blocks, routed by block_rule(): descriptors in record order (the first profile and
// the first peak block count; descriptors of unused formats are ignored), or the MsProf and MsPeak
// fields of a flat record.
void Acquisition::State::add_blocks(ByteView bytes, ScanInfo& info) const {
  if (layout.flat()) {
    // A group of -1s, or of no bytes and no points, is no block.
    const auto add_flat = [&](const BlockSlots& slots, const BlockRoute& route, std::optional<BlockInfo>& to) {
      if (!slots.complete()) return;
      const std::int64_t offset = as_integer(read_field(bytes, *slots.offset));
      const std::int64_t byte_count = as_integer(read_field(bytes, *slots.byte_count));
      const std::int64_t point_count = as_integer(read_field(bytes, *slots.point_count));
      if (offset < 0 || (byte_count <= 0 && point_count <= 0)) return;
      to = block_info(bytes, slots, route);
    };
    add_flat(known.flat_profile, flat_profile_route(), info.profile_block);
    add_flat(known.flat_peak, flat_peak_route(), info.peak_block);
    return;
  }
  for (std::uint32_t which = 0; which < layout.descriptor_count; ++which) {
    const ByteView descriptor_bytes = descriptor(bytes, which);
    const auto format_id = unsigned_as<std::uint32_t>(descriptor_bytes, *known.descriptor.format_id);
    const auto route = route_descriptor_block(shape, format_id);
    if (!route) continue;
    std::optional<BlockInfo>& to = route->is_profile() ? info.profile_block : info.peak_block;
    if (!to) to = block_info(descriptor_bytes, known.descriptor, *route);
  }
}

Result<ByteBuffer> Acquisition::State::read_block(const BlockInfo& block) const {
  const OpenedFile& file = block.route.file == BlockFileKind::Profile ? profile_file : peak_file;
  if (!file.file) return std::unexpected(*file.error);
  auto bytes = file.file->read(block.offset, block.byte_count);
  if (!bytes && bytes.error().kind() == Error::Kind::Io) {
    return std::unexpected(bytes.error().with_context("cannot read " + std::to_string(block.byte_count) +
                                                      " bytes at offset " + std::to_string(block.offset) + " of " +
                                                      utf8_lossy(file.file->path())));
  }
  return bytes;
}

Result<std::optional<ScanCalibration>> Acquisition::State::calibration_for(std::size_t index,
                                                                          const ScanInfo& info) const {
  if (!calibration_table.has_data()) return std::optional<ScanCalibration>();
  auto found = calibration_table.for_scan(index, info.mass_cal_offset, info.calibration_id);
  if (!found) return std::unexpected(found.error());
  return std::optional<ScanCalibration>(*found);
}

// ICP-MS channel values are m/z, or channel indices resolved through the run's transitions.
Result<void> Acquisition::State::resolve_channels(const ScanInfo& info, Spectrum& spectrum) const {
  if (channel_transitions.empty()) {
    spectrum.channels = ChannelValues::AsStored;
    return {};
  }
  spectrum.channels = ChannelValues::Transitions;
  spectrum.precursor_mz.resize(spectrum.mz.size());
  for (std::size_t i = 0; i < spectrum.mz.size(); ++i) {
    const double channel = spectrum.mz[i];
    const auto transition = std::ranges::find_if(channel_transitions, [&](const ChannelTransition& candidate) {
      return static_cast<double>(candidate.index) == channel;
    });
    if (transition == channel_transitions.end()) {
      return std::unexpected(Error::parse(scan_error(info, "channel " + shortest_text(channel) +
                                                                " has no transition in MSTS_XAddition.xml")));
    }
    spectrum.mz[i] = transition->product_mz;
    spectrum.precursor_mz[i] = transition->precursor_mz;
  }
  return {};
}

Result<Spectrum> Acquisition::State::profile(std::size_t index, const ScanInfo& info) const {
  if (!info.profile_block) return std::unexpected(Error::parse(scan_error(info, "no profile block")));
  const BlockInfo& block = *info.profile_block;
  auto bytes = read_block(block);
  if (!bytes) return std::unexpected(Error::parse(scan_error(info, read_failure(bytes.error()))));

  Spectrum spectrum;
  spectrum.index = index;
  spectrum.kind = SpectrumKind::Profile;

  if (block.route.decoder == BlockDecoder::QuadProfile) {
    auto quad = decode_quad_profile(bytes->view(), block.point_count);
    if (!quad) return std::unexpected(Error::parse(scan_error(info, quad.error().message())));
    spectrum.intensity = std::move(quad->intensity);
    spectrum.mz.resize(spectrum.intensity.size());
    if (quad->encoding == QuadProfileEncoding::F32AxisCounts) {
      // The stored f32 step is rounded (0.1 is stored as 0.1000061): the axis is the record's
      // first m/z plus whole sampling periods.
      spectrum.encoding = ProfileEncoding::F32AxisCounts;
      const double first = block.min_x.value_or(quad->first_x);
      const double step = info.sampling_period && *info.sampling_period > 0.0 ? *info.sampling_period : quad->step;
      for (std::size_t i = 0; i < spectrum.mz.size(); ++i) spectrum.mz[i] = first + static_cast<double>(i) * step;
    } else {
      spectrum.encoding = ProfileEncoding::F64AxisAbundances;
      for (std::size_t i = 0; i < spectrum.mz.size(); ++i) {
        spectrum.mz[i] = quad->first_x + static_cast<double>(i) * quad->step;
      }
    }
    return spectrum;
  }

  // Ion-mobility frame sums stop their run-length streams at their last non-empty bin.
  const TrailingBins trailing =
      info.drift_bin && *info.drift_bin == 0 ? TrailingBins::MayBeSilent : TrailingBins::MustBeCoded;
  // Per-scan constants go to the decoder, which calibrates each chunk of bins as it widens their
  // counts. A default calibration is shared by many scans (every drift bin of an ion-mobility
  // run), whose axis is taken from default_axes instead. A block that cannot be decoded is
  // reported before a missing calibration.
  auto calibration = calibration_for(index, info);
  const bool per_scan = calibration && *calibration && (**calibration).source == CalibrationSource::PerScan;
  const CalibrationConstants* constants = per_scan ? &(**calibration).constants : nullptr;
  auto payload = decode_profile_payload(bytes->view(), block.point_count, block.uncompressed_byte_count.value_or(0),
                                        trailing, constants);
  if (!payload) return std::unexpected(Error::parse(scan_error(info, payload.error().message())));
  spectrum.encoding = payload->encoding;
  spectrum.intensity = std::move(payload->intensity);
  const std::size_t count = spectrum.intensity.size();

  if (!payload->x.empty()) {
    // The block stores each bin's position itself: ICP-MS channels.
    spectrum.mz = std::move(payload->x);
    if (auto resolved = resolve_channels(info, spectrum); !resolved) return std::unexpected(resolved.error());
    return spectrum;
  }
  if (!calibration) return std::unexpected(Error::parse(scan_error(info, calibration.error().message())));
  if (!*calibration && layout.source == LayoutSource::Schema) return std::unexpected(no_calibration(info));
  if (*calibration) {
    // Bin i has flight time F + i * S, each taken afresh from its index.
    spectrum.calibration = (*calibration)->source;
    if (per_scan) {
      spectrum.mz = std::move(payload->mz);
    } else {
      default_axes.fill((*calibration)->constants, payload->first_x, payload->step, count, spectrum.mz);
    }
  } else {
    // Without calibration data the bins spread evenly over the record's m/z range, as the
    // designed reader spreads them. Decoded payloads are capped, so the count fits an int32.
    const double low = info.mz_range_low ? *info.mz_range_low : block.min_x.value_or(0.0);
    const double high = info.mz_range_high ? *info.mz_range_high : block.max_x.value_or(0.0);
    const std::vector<double> spread = spread_mz(low, high, static_cast<std::int32_t>(count));
    spectrum.mz.assign(spread.begin(), spread.end());
  }
  return spectrum;
}

Result<Spectrum> Acquisition::State::centroid(std::size_t index, const ScanInfo& info) const {
  if (!info.peak_block) return std::unexpected(Error::parse(scan_error(info, "no centroid block")));
  const BlockInfo& block = *info.peak_block;
  auto bytes = read_block(block);
  if (!bytes) return std::unexpected(Error::parse(scan_error(info, read_failure(bytes.error()))));

  Spectrum spectrum;
  spectrum.index = index;
  spectrum.kind = SpectrumKind::Centroid;
  if (block.route.decoder == BlockDecoder::PointList) {
    auto points = decode_point_list(bytes->view(), block.point_count);
    if (!points) return std::unexpected(Error::parse(scan_error(info, points.error().message())));
    spectrum.mz = std::move(points->x);
    spectrum.intensity = std::move(points->counts);
    return spectrum;
  }
  auto columns = decode_peak_columns(bytes->view(), block.format_id, block.point_count);
  if (!columns) return std::unexpected(Error::parse(scan_error(info, columns.error().message())));
  spectrum.intensity = std::move(columns->abundance);
  spectrum.mz = std::move(columns->x);
  if (block.format_id != PEAK_FORMAT_SPLIT) return spectrum;

  // Split peaks store flight times, or m/z times 100 in folders without calibration data.
  auto calibration = calibration_for(index, info);
  if (!calibration) return std::unexpected(Error::parse(scan_error(info, calibration.error().message())));
  if (!*calibration && layout.source == LayoutSource::Schema) return std::unexpected(no_calibration(info));
  if (*calibration) {
    spectrum.calibration = (*calibration)->source;
    for (double& x : spectrum.mz) x = calibrated_mz((*calibration)->constants, x);
  } else {
    for (double& x : spectrum.mz) x /= 100.0;
  }
  return spectrum;
}

Result<Spectrum> Acquisition::State::any_spectrum(std::size_t index, const ScanInfo& info) const {
  if (!info.profile_block && !info.peak_block) {
    Spectrum empty;
    empty.index = index;
    return empty;
  }
  std::optional<Result<Spectrum>> decoded;
  if (info.profile_block) {
    decoded = profile(index, info);
    if (*decoded && (!(*decoded)->mz.empty() || !info.peak_block)) return std::move(**decoded);
  }
  // No profile, a damaged one or an empty one: the centroid spectrum, or why it cannot be read.
  if (info.peak_block) return centroid(index, info);
  return std::move(*decoded);
}

// Ion mobility: IMSFrame.bin (with IMSFrame.xsd and, for drift times and calibration ids,
// IMSFrameMeth.xml), then every record's frame, the drift-bin records that are the spectra and
// each frame's total-spectrum record.
Result<void> Acquisition::State::index_frames() {
  auto frame_bytes = read_optional_file(names.path_of("IMSFrame.bin"));
  if (!frame_bytes) return std::unexpected(std::move(frame_bytes.error()));
  if (!*frame_bytes) return {};
  auto schema = read_optional_file(names.path_of("IMSFrame.xsd"));
  if (!schema) return std::unexpected(std::move(schema.error()));
  if (!*schema) return std::unexpected(Error::parse("IMSFrame.bin cannot be read without IMSFrame.xsd"));
  auto methods = read_optional_file(names.path_of("IMSFrameMeth.xml"));
  if (!methods) return std::unexpected(std::move(methods.error()));
  std::optional<ByteView> methods_view;
  if (*methods) methods_view = ByteView(**methods);
  auto table = FrameTable::read(**frame_bytes, **schema, methods_view);
  if (!table) return std::unexpected(std::move(table.error()));
  if (known.frame_id == nullptr) {
    return std::unexpected(Error::parse("MSScan.xsd: the scan record has no field FrameID, which IMSFrame.bin needs"));
  }

  frames = std::move(*table);
  record_frames.resize(record_count);
  frame_sum_records.assign(frames->frames().size(), std::nullopt);
  for (std::size_t i = 0; i < record_count; ++i) {
    const ByteView bytes = record(i);
    const std::int64_t frame_id = as_integer(read_field(bytes, *known.frame_id));
    const auto position = frames->find(frame_id);
    if (!position) {
      return std::unexpected(Error::parse("MSScan.bin record " + std::to_string(i) + " names frame " +
                                          std::to_string(frame_id) + ", which IMSFrame.bin does not have"));
    }
    record_frames[i] = static_cast<std::uint32_t>(*position);
    const std::int64_t drift_bin = known.drift_bin ? as_integer(read_field(bytes, *known.drift_bin)) : 1;
    if (drift_bin != 0) {
      spectrum_records.push_back(static_cast<std::uint32_t>(i));
    } else if (!frame_sum_records[*position]) {
      frame_sum_records[*position] = static_cast<std::uint32_t>(i);
    }
  }
  return {};
}

Result<Acquisition> Acquisition::open(std::string_view path) {
  auto state = std::make_unique<State>();
  state->folder_path = std::string(path);
  auto names = FolderNames::open(state->folder_path, FOLDER_FILES);
  if (!names) return std::unexpected(diagnose_folder(state->folder_path, names.error()));
  state->names = std::move(*names);
  const FolderNames& folder = state->names;

  const std::string index_path = folder.path_of("MSScan.bin");
  auto index_bytes = read_file(index_path);
  if (!index_bytes) return std::unexpected(index_bytes.error().with_context("cannot read " + utf8_lossy(index_path)));
  state->index_bytes = std::move(*index_bytes);
  const ByteView bytes(state->index_bytes);
  const auto data_offset = scan_index_data_offset(bytes);
  if (!data_offset) return std::unexpected(data_offset.error());
  state->data_offset = *data_offset;
  const ByteView area = bytes.subspan(state->data_offset);
  // The header is longer than 0x50 bytes whenever its data offset check passed.
  state->shape.layout_word = field_at<std::uint32_t>(bytes, LAYOUT_WORD_OFFSET);

  // The record layout: from the folder's schema when it has one, else from the known strides,
  // else the ICP-MS layout when every record fits it.
  const std::string schema_path = folder.path_of("MSScan.xsd");
  auto schema = read_file(schema_path);
  if (schema) {
    const std::uint32_t descriptor_count = field_at<std::uint32_t>(bytes, DESCRIPTOR_COUNT_OFFSET);
    auto layout = parse_scan_schema(*schema, descriptor_count);
    if (!layout) return std::unexpected(std::move(layout.error()));
    state->layout = std::move(*layout);
    const std::uint32_t stride = state->layout.stride();
    if (stride == 0 || area.size() % stride != 0) {
      return std::unexpected(Error::parse("MSScan.bin record area of " + std::to_string(area.size()) +
                                          " bytes is not a whole number of the " + std::to_string(stride) +
                                          "-byte records MSScan.xsd describes"));
    }
  } else if (schema.error().os_error() == ENOENT) {
    if (const auto stride = detect_record_stride(area)) {
      state->layout = *builtin_layout(*stride);
    } else if (auto icpms = schemaless_icpms_layout(bytes, state->data_offset)) {
      state->layout = std::move(*icpms);
    } else {
      return std::unexpected(
          Error::parse("Cannot determine record stride for payload len " + std::to_string(area.size())));
    }
  } else {
    return std::unexpected(schema.error().with_context("cannot read " + utf8_lossy(schema_path)));
  }
  state->known = resolve_fields(state->layout);
  state->record_count = area.size() / state->layout.stride();
  if (auto frames = state->index_frames(); !frames) return std::unexpected(frames.error());
  if (auto required = check_required_fields(state->known, state->layout.flat(), state->frames.has_value());
      !required) {
    return std::unexpected(required.error());
  }

  auto calibration = MassCalibrationTable::load(folder.path_of("MSMassCal.bin"), folder.path_of("DefaultMassCal.xml"));
  if (!calibration) return std::unexpected(std::move(calibration.error()));
  state->calibration_table = std::move(*calibration);

  state->profile_file = OpenedFile::open(folder.path_of("MSProfile.bin"));
  state->peak_file = OpenedFile::open(folder.path_of("MSPeak.bin"));
  state->shape.schema = state->layout.source == LayoutSource::Schema;
  state->shape.descriptor_count = state->layout.descriptor_count;
  state->shape.has_profile_file = state->profile_file.exists;
  state->shape.has_peak_file = state->peak_file.exists;

  // Time segments are a description of the run: a document that does not parse leaves none.
  if (auto segments_document = read_optional_file(folder.path_of("MSTS.xml")); segments_document && *segments_document) {
    if (auto segments = parse_time_segments(**segments_document)) state->time_segments = std::move(*segments);
  }
  // ICP-MS MS/MS transitions live beside AcqData; without them channel values stay as stored.
  auto transitions_document = read_optional_file(folder.path_of("MSTS_XAddition.xml"));
  if (!transitions_document) return std::unexpected(std::move(transitions_document.error()));
  if (*transitions_document) {
    auto transitions = parse_channel_transitions(**transitions_document);
    if (!transitions) return std::unexpected(std::move(transitions.error()));
    state->channel_transitions = std::move(*transitions);
  }

  for (std::size_t i = 1; i < state->spectrum_count() && state->scan_ids_ascending; ++i) {
    state->scan_ids_ascending = unsigned_value(state->record(state->record_of(i - 1)), *state->known.scan_id) <
                                unsigned_value(state->record(state->record_of(i)), *state->known.scan_id);
  }

  const auto name = final_component(state->folder_path);
  state->acquisition_name = name ? utf8_lossy(*name) : std::string("bundle.d");
  state->instrument = identify_instrument(parse_devices_xml(folder.path_of("Devices.xml")), state->layout.stride());
  state->acquired_time = parse_acquired_time(folder.path_of("Contents.xml"));
  return Acquisition(std::move(state));
}

Acquisition::Acquisition(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Acquisition::Acquisition(Acquisition&&) noexcept = default;
Acquisition& Acquisition::operator=(Acquisition&&) noexcept = default;
Acquisition::~Acquisition() = default;

std::size_t Acquisition::size() const noexcept { return state_->spectrum_count(); }
std::size_t Acquisition::record_count() const noexcept { return state_->record_count; }
std::uint32_t Acquisition::layout_word() const noexcept { return state_->shape.layout_word; }
const std::vector<TimeSegment>& Acquisition::time_segments() const noexcept { return state_->time_segments; }
const std::vector<ChannelTransition>& Acquisition::channel_transitions() const noexcept {
  return state_->channel_transitions;
}
const std::string& Acquisition::folder_path() const noexcept { return state_->folder_path; }
const FolderNames& Acquisition::names() const noexcept { return state_->names; }
const std::string& Acquisition::acquisition_name() const noexcept { return state_->acquisition_name; }
const InstrumentInfo& Acquisition::instrument() const noexcept { return state_->instrument; }
const std::optional<std::string>& Acquisition::acquired_time() const noexcept { return state_->acquired_time; }
const RecordLayout& Acquisition::layout() const noexcept { return state_->layout; }
const MassCalibrationTable& Acquisition::calibration() const noexcept { return state_->calibration_table; }
std::uint32_t Acquisition::data_offset() const noexcept { return state_->data_offset; }

ScanInfo Acquisition::scan(std::size_t index) const { return state_->scan(index); }

std::optional<FieldValue> Acquisition::field(std::size_t index, std::string_view name) const {
  const FieldSlot* slot = state_->layout.scan_field(name);
  if (slot == nullptr || index >= size()) return std::nullopt;
  return read_field(state_->record(state_->record_of(index)), *slot);
}

std::optional<FieldValue> Acquisition::block_field(std::size_t index, std::uint32_t descriptor,
                                                   std::string_view name) const {
  const FieldSlot* slot = state_->layout.block_field(name);
  if (slot == nullptr || index >= size() || descriptor >= state_->layout.descriptor_count) return std::nullopt;
  return read_field(state_->descriptor(state_->record(state_->record_of(index)), descriptor), *slot);
}

bool Acquisition::ion_mobility() const noexcept { return state_->frames.has_value(); }

std::size_t Acquisition::frame_count() const noexcept {
  return state_->frames ? state_->frames->frames().size() : 0;
}

const FrameRecord& Acquisition::frame_record(std::size_t k) const { return state_->frames->frames()[k]; }

ScanInfo Acquisition::frame_scan(std::size_t k) const {
  if (const auto record = state_->frame_sum_records[k]) return state_->scan_of_record(*record, k);
  // A frame without a total-spectrum record: its frame's facts and no block.
  const FrameRecord& frame = frame_record(k);
  ScanInfo info;
  info.index = k;
  info.frame_id = frame.frame_id;
  info.drift_bin = 0;
  info.retention_time_sec = frame.retention_time_sec;
  info.ms_level = frame.ms_level;
  info.tic = frame.tic;
  return info;
}

Result<Spectrum> Acquisition::frame(std::size_t k) const {
  if (k >= frame_count()) return std::unexpected(Error::parse("frame " + std::to_string(k) + " out of range"));
  const ScanInfo info = frame_scan(k);
  return state_->any_spectrum(k, info);
}

std::optional<std::size_t> Acquisition::find_scan_id(std::uint32_t scan_id) const {
  const FieldSlot& slot = *state_->known.scan_id;
  const auto id_at = [&](std::size_t i) {
    return unsigned_as<std::uint32_t>(state_->record(state_->record_of(i)), slot);
  };
  if (state_->scan_ids_ascending) {
    std::size_t low = 0;
    std::size_t high = size();
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      if (id_at(middle) < scan_id) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    if (low < size() && id_at(low) == scan_id) return low;
    return std::nullopt;
  }
  for (std::size_t i = 0; i < size(); ++i) {
    if (id_at(i) == scan_id) return i;
  }
  return std::nullopt;
}

Result<Spectrum> Acquisition::profile(std::size_t index) const {
  if (index >= size()) return std::unexpected(Error::parse("scan " + std::to_string(index) + " out of range"));
  return state_->profile(index, state_->scan(index));
}

Result<Spectrum> Acquisition::centroid(std::size_t index) const {
  if (index >= size()) return std::unexpected(Error::parse("scan " + std::to_string(index) + " out of range"));
  return state_->centroid(index, state_->scan(index));
}

Result<Spectrum> Acquisition::spectrum(std::size_t index) const {
  if (index >= size()) return std::unexpected(Error::parse("scan " + std::to_string(index) + " out of range"));
  return state_->any_spectrum(index, state_->scan(index));
}

}  // namespace vornak
