// Opening an acquisition as instruments write it, and decoding one spectrum on demand.
//
// This file is compiled with -ffp-contract=off (see full_reader/CMakeLists.txt): the m/z of a
// profile bin comes from its flight time F + i * S, and a fused multiply-add would round it
// differently on machines that have one.
#include "full_reader/acquisition.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "full_reader/folder_diagnosis.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/raw/mspeak.hpp"
#include "reader_lib/raw/msprofile.hpp"
#include "reader_lib/raw/msscan.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::size_t DESCRIPTOR_COUNT_OFFSET = 0x4C;  // u32, block descriptors per record

// Every file opening reads, resolved once whatever the case of its name.
constexpr std::string_view FOLDER_FILES[] = {"MSScan.bin",    "MSScan.xsd", "MSMassCal.bin", "DefaultMassCal.xml",
                                             "MSProfile.bin", "MSPeak.bin", "Devices.xml",   "Contents.xml"};

constexpr std::uint32_t PROFILE_FORMAT = 1;  // in MSProfile.bin; in MSPeak.bin: f64 m/z + f64 abundance

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
  // In each block descriptor.
  const FieldSlot* format_id = nullptr;
  const FieldSlot* offset = nullptr;
  const FieldSlot* byte_count = nullptr;
  const FieldSlot* point_count = nullptr;
  const FieldSlot* uncompressed_byte_count = nullptr;
  const FieldSlot* min_x = nullptr;
  const FieldSlot* max_x = nullptr;
  const FieldSlot* min_y = nullptr;
  const FieldSlot* max_y = nullptr;
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
  known.format_id = layout.block_field("SpectrumFormatID");
  known.offset = layout.block_field("SpectrumOffset");
  known.byte_count = layout.block_field("ByteCount");
  known.point_count = layout.block_field("PointCount");
  known.uncompressed_byte_count = layout.block_field("UncompressedByteCount");
  known.min_x = layout.block_field("MinX");
  known.max_x = layout.block_field("MaxX");
  known.min_y = layout.block_field("MinY");
  known.max_y = layout.block_field("MaxY");
  return known;
}

// A layout the reader cannot work with lacks one of the fields every scan needs.
Result<void> check_required_fields(const KnownFields& known) {
  const std::pair<const FieldSlot*, std::string_view> required[] = {
      {known.scan_id, "ScanID"},          {known.scan_time, "ScanTime"},  {known.ms_level, "MSLevel"},
      {known.format_id, "SpectrumFormatID"}, {known.offset, "SpectrumOffset"}, {known.byte_count, "ByteCount"},
      {known.point_count, "PointCount"},
  };
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

std::string scan_error(std::size_t index, const std::string& message) {
  return "scan " + std::to_string(index) + ": " + message;
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

struct Acquisition::State {
  std::string folder_path;
  FolderNames names;
  std::string acquisition_name;
  InstrumentInfo instrument;
  std::optional<std::string> acquired_time;
  RecordLayout layout;
  KnownFields known;
  MassCalibrationTable calibration_table;
  std::vector<std::uint8_t> index_bytes;  // the whole MSScan.bin
  std::uint32_t data_offset = 0;
  std::size_t scan_count = 0;
  bool scan_ids_ascending = true;
  // A single descriptor of format 1 names a peak block when the folder has only MSPeak.bin.
  bool format_one_is_peaks = false;
  OpenedFile profile_file;
  OpenedFile peak_file;

  [[nodiscard]] ByteView record(std::size_t index) const {
    const std::uint32_t stride = layout.stride();
    return ByteView(index_bytes).subspan(data_offset + index * stride, stride);
  }

  [[nodiscard]] ByteView descriptor(ByteView record_bytes, std::uint32_t which) const {
    return record_bytes.subspan(layout.scan_fields_size + which * layout.descriptor_size, layout.descriptor_size);
  }

  [[nodiscard]] BlockInfo block_info(ByteView bytes) const {
    BlockInfo block;
    block.format_id = unsigned_as<std::uint32_t>(bytes, *known.format_id);
    block.offset = unsigned_value(bytes, *known.offset);
    block.byte_count = unsigned_as<std::uint32_t>(bytes, *known.byte_count);
    block.point_count = unsigned_as<std::uint32_t>(bytes, *known.point_count);
    if (known.uncompressed_byte_count) {
      block.uncompressed_byte_count = unsigned_as<std::uint32_t>(bytes, *known.uncompressed_byte_count);
    }
    block.min_x = optional_double(bytes, known.min_x);
    block.max_x = optional_double(bytes, known.max_x);
    block.min_y = optional_double(bytes, known.min_y);
    block.max_y = optional_double(bytes, known.max_y);
    return block;
  }

  [[nodiscard]] ScanInfo scan(std::size_t index) const;
  [[nodiscard]] Result<Spectrum> profile(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<Spectrum> centroid(std::size_t index, const ScanInfo& info) const;
  [[nodiscard]] Result<ByteBuffer> read_block(const OpenedFile& file, const BlockInfo& block) const;
  [[nodiscard]] Result<std::optional<ScanCalibration>> calibration_for(std::size_t index, const ScanInfo& info) const;

  // Flight times in a folder of the instruments' layout (it has MSScan.xsd) with no calibration
  // file: any m/z would be invented. The designed layouts keep their designed rules instead.
  [[nodiscard]] Error no_calibration(std::size_t index) const {
    return Error::parse(scan_error(index, std::string(NO_CALIBRATION) + ": " +
                                              utf8_lossy(names.acqdata_path()) +
                                              " has neither MSMassCal.bin nor DefaultMassCal.xml"));
  }
};

ScanInfo Acquisition::State::scan(std::size_t index) const {
  const ByteView bytes = record(index);
  ScanInfo info;
  info.index = index;
  info.scan_id = unsigned_as<std::uint32_t>(bytes, *known.scan_id);
  info.retention_time_sec = as_double(read_field(bytes, *known.scan_time)) * 60.0;
  info.ms_level = unsigned_as<std::uint32_t>(bytes, *known.ms_level);
  info.polarity = polarity_of(optional_integer(bytes, known.ion_polarity));
  info.scan_type = optional_integer(bytes, known.scan_type);
  info.tic = optional_double(bytes, known.tic);
  info.base_peak_mz = optional_double(bytes, known.base_peak_mz);
  info.base_peak_value = optional_double(bytes, known.base_peak_value);
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

  // Descriptors in record order: format 1 is the profile block (or, in a folder with only
  // MSPeak.bin, a peak block of f64 pairs), formats 2 and 3 the peak block; others are ignored.
  for (std::uint32_t which = 0; which < layout.descriptor_count; ++which) {
    BlockInfo block = block_info(descriptor(bytes, which));
    if (block.format_id == PROFILE_FORMAT && !format_one_is_peaks) {
      if (!info.profile_block) info.profile_block = block;
    } else if (block.format_id == PROFILE_FORMAT || block.format_id == PEAK_FORMAT_SPLIT ||
               block.format_id == PEAK_FORMAT_INTERLEAVED) {
      if (!info.peak_block) info.peak_block = block;
    }
  }
  return info;
}

Result<ByteBuffer> Acquisition::State::read_block(const OpenedFile& file, const BlockInfo& block) const {
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

Result<Spectrum> Acquisition::State::profile(std::size_t index, const ScanInfo& info) const {
  if (!info.profile_block) return std::unexpected(Error::parse(scan_error(index, "no profile block")));
  const BlockInfo& block = *info.profile_block;
  auto bytes = read_block(profile_file, block);
  if (!bytes) return std::unexpected(Error::parse(scan_error(index, read_failure(bytes.error()))));
  auto payload = decode_profile_payload(bytes->view(), block.point_count, block.uncompressed_byte_count.value_or(0));
  if (!payload) return std::unexpected(Error::parse(scan_error(index, payload.error().message())));

  Spectrum spectrum;
  spectrum.index = index;
  spectrum.kind = SpectrumKind::Profile;
  spectrum.encoding = payload->encoding;
  spectrum.intensity = std::move(payload->intensity);
  const std::size_t count = spectrum.intensity.size();

  if (!payload->x.empty()) {
    // The block stores each bin's position itself.
    spectrum.mz = std::move(payload->x);
    return spectrum;
  }
  auto calibration = calibration_for(index, info);
  if (!calibration) return std::unexpected(Error::parse(scan_error(index, calibration.error().message())));
  if (!*calibration && layout.source == LayoutSource::Schema) return std::unexpected(no_calibration(index));
  if (*calibration) {
    // Bin i has flight time F + i * S, each taken afresh from its index.
    spectrum.calibration = (*calibration)->source;
    const CalibrationConstants& constants = (*calibration)->constants;
    spectrum.mz.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      spectrum.mz[i] = calibrated_mz(constants, payload->first_x + static_cast<double>(i) * payload->step);
    }
  } else {
    // Without calibration data the bins spread evenly over the record's m/z range, as the
    // designed reader spreads them. Decoded payloads are capped, so the count fits an int32.
    const double low = info.mz_range_low ? *info.mz_range_low : block.min_x.value_or(0.0);
    const double high = info.mz_range_high ? *info.mz_range_high : block.max_x.value_or(0.0);
    spectrum.mz = spread_mz(low, high, static_cast<std::int32_t>(count));
  }
  return spectrum;
}

Result<Spectrum> Acquisition::State::centroid(std::size_t index, const ScanInfo& info) const {
  if (!info.peak_block) return std::unexpected(Error::parse(scan_error(index, "no centroid block")));
  const BlockInfo& block = *info.peak_block;
  auto bytes = read_block(peak_file, block);
  if (!bytes) return std::unexpected(Error::parse(scan_error(index, read_failure(bytes.error()))));
  auto columns = decode_peak_columns(bytes->view(), block.format_id, block.point_count);
  if (!columns) return std::unexpected(Error::parse(scan_error(index, columns.error().message())));

  Spectrum spectrum;
  spectrum.index = index;
  spectrum.kind = SpectrumKind::Centroid;
  spectrum.intensity = std::move(columns->abundance);
  spectrum.mz = std::move(columns->x);
  if (block.format_id != PEAK_FORMAT_SPLIT) return spectrum;

  // Split peaks store flight times, or m/z times 100 in folders without calibration data.
  auto calibration = calibration_for(index, info);
  if (!calibration) return std::unexpected(Error::parse(scan_error(index, calibration.error().message())));
  if (!*calibration && layout.source == LayoutSource::Schema) return std::unexpected(no_calibration(index));
  if (*calibration) {
    spectrum.calibration = (*calibration)->source;
    for (double& x : spectrum.mz) x = calibrated_mz((*calibration)->constants, x);
  } else {
    for (double& x : spectrum.mz) x /= 100.0;
  }
  return spectrum;
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

  // The record layout: from the folder's schema when it has one, else from the known strides.
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
    const auto stride = detect_record_stride(area);
    if (!stride) {
      return std::unexpected(
          Error::parse("Cannot determine record stride for payload len " + std::to_string(area.size())));
    }
    state->layout = *builtin_layout(*stride);
  } else {
    return std::unexpected(schema.error().with_context("cannot read " + utf8_lossy(schema_path)));
  }
  state->known = resolve_fields(state->layout);
  if (auto required = check_required_fields(state->known); !required) return std::unexpected(required.error());
  state->scan_count = area.size() / state->layout.stride();

  auto calibration = MassCalibrationTable::load(folder.path_of("MSMassCal.bin"), folder.path_of("DefaultMassCal.xml"));
  if (!calibration) return std::unexpected(std::move(calibration.error()));
  state->calibration_table = std::move(*calibration);

  state->profile_file = OpenedFile::open(folder.path_of("MSProfile.bin"));
  state->peak_file = OpenedFile::open(folder.path_of("MSPeak.bin"));
  state->format_one_is_peaks = state->layout.source == LayoutSource::Schema && state->layout.descriptor_count == 1 &&
                               !state->profile_file.exists && state->peak_file.exists;

  for (std::size_t i = 1; i < state->scan_count && state->scan_ids_ascending; ++i) {
    state->scan_ids_ascending = unsigned_value(state->record(i - 1), *state->known.scan_id) <
                                unsigned_value(state->record(i), *state->known.scan_id);
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

std::size_t Acquisition::size() const noexcept { return state_->scan_count; }
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
  return read_field(state_->record(index), *slot);
}

std::optional<FieldValue> Acquisition::block_field(std::size_t index, std::uint32_t descriptor,
                                                   std::string_view name) const {
  const FieldSlot* slot = state_->layout.block_field(name);
  if (slot == nullptr || index >= size() || descriptor >= state_->layout.descriptor_count) return std::nullopt;
  return read_field(state_->descriptor(state_->record(index), descriptor), *slot);
}

std::optional<std::size_t> Acquisition::find_scan_id(std::uint32_t scan_id) const {
  const FieldSlot& slot = *state_->known.scan_id;
  const auto id_at = [&](std::size_t i) { return unsigned_as<std::uint32_t>(state_->record(i), slot); };
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
  const ScanInfo info = state_->scan(index);
  if (!info.profile_block && !info.peak_block) {
    Spectrum empty;
    empty.index = index;
    return empty;
  }
  std::optional<Result<Spectrum>> profile;
  if (info.profile_block) {
    profile = state_->profile(index, info);
    if (*profile && (!(*profile)->mz.empty() || !info.peak_block)) return std::move(**profile);
  }
  // No profile, a damaged one or an empty one: the centroid spectrum, or why it cannot be read.
  if (info.peak_block) return state_->centroid(index, info);
  return std::move(*profile);
}

}  // namespace vornak
