// Lays out synthetic acquisitions byte by byte: MSScan.bin records, profile and peak blocks,
// and the two metadata documents.
#include "tests/support/synthetic.hpp"

#include <lzf.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/msscan.hpp"
#include "tests/support/random.hpp"

namespace vornak::synthetic {
namespace {

constexpr std::size_t PROFILE_PREAMBLE_LEN = 16;
constexpr std::size_t PROFILE_PAYLOAD_HEADER_LEN = 16;
constexpr std::size_t MAGIC_OFFSET = 0;
constexpr std::size_t DATA_OFFSET_OFFSET = 88;
constexpr std::size_t LZF_MAX_LITERAL = 32;

// Record field offsets.
constexpr std::size_t SCAN_ID_AT = 0;
constexpr std::size_t MRM_CHANNEL_AT = 4;
constexpr std::size_t RETENTION_TIME_AT = 12;
constexpr std::size_t MS_LEVEL_AT = 20;
constexpr std::size_t COLLISION_ENERGY_AT = 76;
constexpr std::size_t PRECURSOR_MZ_AT = 84;
constexpr std::size_t MZ_RANGE_LOW_AT = 244;
constexpr std::size_t MZ_RANGE_HIGH_AT = 252;

template <typename T>
void put_le(std::span<std::uint8_t> out, std::size_t at, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (at > out.size() || sizeof(T) > out.size() - at) {
    throw std::logic_error("synthetic writer: field outside its buffer");
  }
  std::memcpy(out.data() + at, &value, sizeof(T));
}

template <typename T>
void append_le(Bytes& out, T value) {
  const auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::uint32_t checked_u32(std::size_t value, const char* what) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument(std::string("synthetic writer: ") + what + " does not fit in 32 bits");
  }
  return static_cast<std::uint32_t>(value);
}

struct DescriptorSlot {
  std::size_t at;
  bool packed;  // 16-bit format number, everything after it two bytes earlier
};

std::vector<DescriptorSlot> descriptor_slots(std::uint32_t stride) {
  switch (stride) {
    case 284: return {{156, false}, {220, false}};
    case 220: return {{156, false}};
    case 216: return {{152, false}};
    case 196: return {{144, false}};
    case 186: return {{136, true}};
    default:
      throw std::invalid_argument("synthetic writer: record stride " + std::to_string(stride) +
                                  " is not one of 284, 220, 216, 196, 186");
  }
}

struct Descriptor {
  std::uint32_t format_id = 0;
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::uint32_t uncompressed_byte_count = 0;
};

void apply(const DescriptorOverride& override_fields, Descriptor& descriptor) {
  if (override_fields.format_id) descriptor.format_id = *override_fields.format_id;
  if (override_fields.offset) descriptor.offset = *override_fields.offset;
  if (override_fields.byte_count) descriptor.byte_count = *override_fields.byte_count;
  if (override_fields.point_count) descriptor.point_count = *override_fields.point_count;
  if (override_fields.uncompressed_byte_count) {
    descriptor.uncompressed_byte_count = *override_fields.uncompressed_byte_count;
  }
}

void put_descriptor(std::span<std::uint8_t> record, DescriptorSlot slot, const Descriptor& descriptor) {
  std::size_t at = slot.at;
  if (slot.packed) {
    if (descriptor.format_id > std::numeric_limits<std::uint16_t>::max()) {
      throw std::invalid_argument("synthetic writer: format_id " + std::to_string(descriptor.format_id) +
                                  " does not fit the 16-bit field of layout 186");
    }
    put_le(record, at, static_cast<std::uint16_t>(descriptor.format_id));
    at += 2;
  } else {
    put_le(record, at, descriptor.format_id);
    at += 4;
  }
  put_le(record, at, descriptor.offset);                    // +0 offset
  put_le(record, at + 8, descriptor.byte_count);            // +8 byte_count
  put_le(record, at + 12, descriptor.point_count);          // +12 point_count
  put_le(record, at + 16, descriptor.uncompressed_byte_count);  // +16 uncompressed
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("synthetic writer: cannot create " + path.string());
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("synthetic writer: cannot write " + path.string());
}

void write_text(const std::filesystem::path& path, std::string_view text) {
  write_file(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void remove_if_present(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::remove(path, error);
  if (error) throw std::runtime_error("synthetic writer: cannot remove " + path.string() + ": " + error.message());
}

// A block file being filled in scan order. When the file is left out, offsets are still
// counted so descriptors point where the blocks would have been.
class BlockFile {
 public:
  BlockFile(const std::filesystem::path& path, bool enabled, const Bytes& prefix) : path_(path) {
    if (!enabled) {
      remove_if_present(path);
    } else {
      out_.open(path, std::ios::binary | std::ios::trunc);
      if (!out_) throw std::runtime_error("synthetic writer: cannot create " + path.string());
    }
    append(prefix);
  }

  std::uint64_t append(std::span<const std::uint8_t> bytes) {
    const std::uint64_t at = size_;
    if (out_.is_open()) {
      out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      if (!out_) throw std::runtime_error("synthetic writer: cannot write " + path_.string());
    }
    size_ += bytes.size();
    return at;
  }

  void close() {
    if (!out_.is_open()) return;
    out_.close();
    if (!out_) throw std::runtime_error("synthetic writer: cannot write " + path_.string());
  }

 private:
  std::filesystem::path path_;
  std::ofstream out_;
  std::uint64_t size_ = 0;
};

// Appends a block's bytes to its file and returns the descriptor that points at them,
// before the scan's overrides are applied.
Descriptor lay_out_block(const Block& block, BlockFile& profile_file, BlockFile& peak_file) {
  Descriptor descriptor;
  if (const auto* profile = std::get_if<ProfileBlock>(&block.content)) {
    const Bytes bytes = encode_profile_block(*profile);
    descriptor.format_id = PROFILE_FORMAT_ID;
    descriptor.offset = profile_file.append(bytes);
    descriptor.byte_count = checked_u32(bytes.size(), "profile block length");
    descriptor.point_count = checked_u32(profile->intensities.size(), "profile point count");
    descriptor.uncompressed_byte_count = checked_u32(
        PROFILE_PAYLOAD_HEADER_LEN + 4 * profile->intensities.size() + profile->payload_padding,
        "profile payload length");
  } else if (const auto* peak = std::get_if<PeakBlock>(&block.content)) {
    const Bytes bytes = encode_peak_block(*peak);
    descriptor.format_id = peak->format_id;
    descriptor.offset = peak_file.append(bytes);
    descriptor.byte_count = checked_u32(bytes.size(), "peak block length");
    descriptor.point_count = checked_u32(peak->mz.size(), "peak count");
  } else if (const auto* raw = std::get_if<RawBlock>(&block.content)) {
    const bool in_profile = raw->file == DataFile::profile;
    descriptor.format_id = in_profile ? PROFILE_FORMAT_ID : PEAK_FORMAT_INTERLEAVED;
    descriptor.offset = (in_profile ? profile_file : peak_file).append(raw->bytes);
    descriptor.byte_count = checked_u32(raw->bytes.size(), "raw block length");
  }
  apply(block.descriptor, descriptor);
  return descriptor;
}

Bytes encode_record(const Scan& scan, std::uint32_t stride, BlockFile& profile_file, BlockFile& peak_file) {
  const std::vector<DescriptorSlot> slots = descriptor_slots(stride);
  if (scan.blocks.size() > slots.size()) {
    throw std::invalid_argument("synthetic writer: scan " + std::to_string(scan.scan_id) + " has " +
                                std::to_string(scan.blocks.size()) + " blocks but layout " +
                                std::to_string(stride) + " holds " + std::to_string(slots.size()));
  }
  Bytes record(stride, 0);
  put_le(std::span(record), SCAN_ID_AT, scan.scan_id);
  if (scan.mrm_channel) put_le(std::span(record), MRM_CHANNEL_AT, *scan.mrm_channel);
  put_le(std::span(record), RETENTION_TIME_AT, scan.retention_time_min);
  put_le(std::span(record), MS_LEVEL_AT, scan.ms_level);
  if (scan.collision_energy) put_le(std::span(record), COLLISION_ENERGY_AT, *scan.collision_energy);
  if (scan.precursor_mz) put_le(std::span(record), PRECURSOR_MZ_AT, *scan.precursor_mz);
  if (scan.mz_range_low || scan.mz_range_high) {
    if (stride != 284) {
      throw std::invalid_argument("synthetic writer: scan " + std::to_string(scan.scan_id) +
                                  " has an m/z range, which only layout 284 holds");
    }
    put_le(std::span(record), MZ_RANGE_LOW_AT, scan.mz_range_low.value_or(0.0));
    put_le(std::span(record), MZ_RANGE_HIGH_AT, scan.mz_range_high.value_or(0.0));
  }
  for (std::size_t i = 0; i < scan.blocks.size(); ++i) {
    put_descriptor(record, slots[i], lay_out_block(scan.blocks[i], profile_file, peak_file));
  }
  for (const auto& [at, bytes] : scan.patches) {
    if (at > record.size() || bytes.size() > record.size() - at) {
      throw std::invalid_argument("synthetic writer: patch at " + std::to_string(at) + " of " +
                                  std::to_string(bytes.size()) + " bytes runs past a " +
                                  std::to_string(stride) + "-byte record");
    }
    std::copy(bytes.begin(), bytes.end(), record.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return record;
}

}  // namespace

Block profile_block(std::vector<std::uint32_t> intensities) {
  return Block{ProfileBlock{std::move(intensities)}, {}};
}

Block peak_block(std::uint32_t format_id, std::vector<double> mz, std::vector<float> intensity) {
  return Block{PeakBlock{format_id, std::move(mz), std::move(intensity)}, {}};
}

Block raw_block(DataFile file, Bytes bytes, DescriptorOverride descriptor) {
  return Block{RawBlock{file, std::move(bytes)}, descriptor};
}

Block descriptor_only(DescriptorOverride descriptor) { return Block{DescriptorOnly{}, descriptor}; }

Bytes lzf_encode(std::span<const std::uint8_t> data, LzfEncoding encoding) {
  if (encoding == LzfEncoding::compressed && !data.empty()) {
    const unsigned int in_len = checked_u32(data.size(), "LZF input length");
    // Literal-only output needs one control byte per 32 bytes; anything longer is useless.
    Bytes out(data.size() + data.size() / LZF_MAX_LITERAL + 1);
    const unsigned int written =
        lzf_compress(data.data(), in_len, out.data(), checked_u32(out.size(), "LZF output length"));
    if (written != 0) {
      out.resize(written);
      return out;
    }
  }
  // Literal runs: a control byte (run length - 1), then up to 32 bytes as they are.
  Bytes out;
  out.reserve(data.size() + data.size() / LZF_MAX_LITERAL + 1);
  for (std::size_t at = 0; at < data.size(); at += LZF_MAX_LITERAL) {
    const std::size_t run = std::min(LZF_MAX_LITERAL, data.size() - at);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + run));
  }
  return out;
}

Bytes encode_profile_block(const ProfileBlock& block) {
  Bytes payload(PROFILE_PAYLOAD_HEADER_LEN, 0);
  payload.reserve(PROFILE_PAYLOAD_HEADER_LEN + 4 * block.intensities.size() + block.payload_padding);
  for (const std::uint32_t intensity : block.intensities) append_le(payload, intensity);
  payload.resize(payload.size() + block.payload_padding, 0);

  Bytes out(PROFILE_PREAMBLE_LEN, 0);
  const Bytes stream = lzf_encode(payload, block.encoding);
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

Bytes encode_peak_block(const PeakBlock& block) {
  if (block.mz.size() != block.intensity.size()) {
    throw std::invalid_argument("synthetic writer: peak block has " + std::to_string(block.mz.size()) +
                                " m/z values but " + std::to_string(block.intensity.size()) + " intensities");
  }
  Bytes out;
  out.reserve(12 * block.mz.size());
  if (block.format_id == PEAK_FORMAT_SPLIT) {
    for (const double mz : block.mz) append_le(out, mz * 100.0);
    for (const float intensity : block.intensity) append_le(out, intensity);
  } else {
    for (std::size_t i = 0; i < block.mz.size(); ++i) {
      append_le(out, block.mz[i]);
      append_le(out, block.intensity[i]);
    }
  }
  return out;
}

void write_acquisition(const std::filesystem::path& folder, const Acquisition& acquisition) {
  (void)descriptor_slots(acquisition.record_stride);  // refuse an unknown layout before writing anything
  const std::filesystem::path acqdata = folder / "AcqData";
  std::error_code error;
  std::filesystem::create_directories(acqdata, error);
  if (error) throw std::runtime_error("synthetic writer: cannot create " + acqdata.string() + ": " + error.message());

  BlockFile profile_file(acqdata / "MSProfile.bin", acquisition.write_profile_file, acquisition.profile_file_prefix);
  BlockFile peak_file(acqdata / "MSPeak.bin", acquisition.write_peak_file, acquisition.peak_file_prefix);

  // Records first, then the header fields over the start of the file, so that a data
  // offset below the header length still carries the magic and the offset where they belong.
  Bytes scan_index(acquisition.data_offset, 0);
  scan_index.reserve(scan_index.size() + acquisition.scans.size() * acquisition.record_stride +
                     acquisition.scan_index_trailer.size());
  for (const Scan& scan : acquisition.scans) {
    const Bytes record = encode_record(scan, acquisition.record_stride, profile_file, peak_file);
    scan_index.insert(scan_index.end(), record.begin(), record.end());
  }
  scan_index.insert(scan_index.end(), acquisition.scan_index_trailer.begin(), acquisition.scan_index_trailer.end());
  if (scan_index.size() >= MAGIC_OFFSET + 4) put_le(std::span(scan_index), MAGIC_OFFSET, acquisition.magic);
  if (scan_index.size() >= DATA_OFFSET_OFFSET + 4) {
    put_le(std::span(scan_index), DATA_OFFSET_OFFSET, acquisition.data_offset);
  }
  profile_file.close();
  peak_file.close();

  const std::filesystem::path scan_path = acqdata / "MSScan.bin";
  if (!acquisition.write_scan_index) {
    remove_if_present(scan_path);
  } else if (acquisition.scan_index_bytes) {
    write_file(scan_path, *acquisition.scan_index_bytes);
  } else {
    write_file(scan_path, scan_index);
  }

  const auto write_document = [&](const char* name, const std::optional<std::string>& text) {
    if (text) {
      write_text(acqdata / name, *text);
    } else {
      remove_if_present(acqdata / name);
    }
  };
  write_document("Devices.xml", acquisition.devices_xml);
  write_document("Contents.xml", acquisition.contents_xml);
}

std::string devices_xml(std::string_view name, std::string_view model_number) {
  std::string text;
  text += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  text += "<Devices>\n";
  text += "  <Version>1</Version>\n";
  text += "  <Device DeviceID=\"1\">\n";
  text += "    <Name>" + std::string(name) + "</Name>\n";
  text += "    <DriverVersion>8.00.00</DriverVersion>\n";
  text += "    <ModelNumber>" + std::string(model_number) + "</ModelNumber>\n";
  text += "    <OrdinalNumber>1</OrdinalNumber>\n";
  text += "    <SerialNumber>SG0000A001</SerialNumber>\n";
  text += "    <Type>6</Type>\n";
  text += "  </Device>\n";
  text += "  <Device DeviceID=\"1013\">\n";
  text += "    <Name>QuatPump</Name>\n";
  text += "    <ModelNumber>G7111B</ModelNumber>\n";
  text += "    <OrdinalNumber>1</OrdinalNumber>\n";
  text += "    <Type>32</Type>\n";
  text += "  </Device>\n";
  text += "</Devices>\n";
  return text;
}

std::string contents_xml(std::string_view acquired_time) {
  std::string text;
  text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<Contents>\n";
  text += "  <Version>3</Version>\n";
  text += "  <!-- time the acquisition started -->\n";
  text += "  <AcquiredTime>" + std::string(acquired_time) + "</AcquiredTime>\n";
  text += "  <AcqStatus>2</AcqStatus>\n";
  text += "  <InstrumentName>Instrument 1</InstrumentName>\n";
  text += "  <SeparationTechnique>3</SeparationTechnique>\n";
  text += "</Contents>\n";
  return text;
}

std::vector<std::uint32_t> realistic_profile_intensities(std::size_t point_count, std::uint64_t seed) {
  Random random(seed);
  std::vector<double> signal(point_count, 0.0);

  // Detector baseline: most points read zero, the rest a few counts of noise.
  for (double& value : signal) {
    if (random.uniform() < 0.6) continue;
    value = std::round(3.0 + 4.0 * std::abs(random.normal()));
  }

  // Ion peaks a few points wide, heights spread from 10^2 to 10^6 counts, each drawn out to
  // where it adds less than one count, so the gaps between peaks keep their zeros.
  const std::size_t peak_count = std::clamp<std::size_t>(point_count / 30, 1, 400);
  const double points = static_cast<double>(point_count);
  for (std::size_t peak = 0; peak < peak_count && point_count > 0; ++peak) {
    const double centre = random.uniform() * points;
    const double sigma = 0.8 + 1.7 * random.uniform();
    const double height = std::pow(10.0, 2.0 + 4.0 * random.uniform());
    const double reach = sigma * std::sqrt(2.0 * std::log(height));
    const auto first = static_cast<std::size_t>(std::max(0.0, std::ceil(centre - reach)));
    const auto last = static_cast<std::size_t>(std::clamp(std::floor(centre + reach), 0.0, points - 1.0));
    for (std::size_t i = first; i <= last; ++i) {
      const double distance = (static_cast<double>(i) - centre) / sigma;
      signal[i] += height * std::exp(-0.5 * distance * distance);
    }
  }

  std::vector<std::uint32_t> intensities(point_count);
  static constexpr double max_count = std::numeric_limits<std::uint32_t>::max();
  std::transform(signal.begin(), signal.end(), intensities.begin(), [](double value) {
    return static_cast<std::uint32_t>(std::min(std::round(value), max_count));
  });
  return intensities;
}

PeakList centroided_peaks(std::size_t peak_count, double mz_low, double mz_high, std::uint64_t seed) {
  Random random(seed);
  PeakList peaks;
  peaks.mz.reserve(peak_count);
  peaks.intensity.reserve(peak_count);
  for (std::size_t i = 0; i < peak_count; ++i) peaks.mz.push_back(mz_low + (mz_high - mz_low) * random.uniform());
  std::sort(peaks.mz.begin(), peaks.mz.end());
  for (std::size_t i = 0; i < peak_count; ++i) {
    peaks.intensity.push_back(static_cast<float>(std::pow(10.0, 1.5 + 3.0 * random.uniform())));
  }
  return peaks;
}

Acquisition demo_acquisition() {
  constexpr double mz_low = 100.0;
  constexpr double mz_high = 1700.0;
  Acquisition acquisition;
  acquisition.record_stride = 284;
  acquisition.devices_xml = devices_xml("Q-TOF", "G6530B");
  acquisition.contents_xml = contents_xml("2024-05-14T10:21:33.4410000+02:00");
  // Block files carry a header of their own on instruments; the reader never looks at it.
  acquisition.profile_file_prefix = Bytes(64, 0);
  acquisition.peak_file_prefix = Bytes(64, 0);

  // Cycles of one MS1 profile scan followed by two MS2 scans.
  Random random(2024);
  for (std::uint32_t i = 0; i < 12; ++i) {
    Scan scan;
    scan.scan_id = i + 1;
    scan.retention_time_min = 0.05 + 0.0112 * i;
    if (i % 3 == 0) {
      scan.ms_level = 1;
      scan.mz_range_low = mz_low;
      scan.mz_range_high = mz_high;
      scan.blocks.push_back(profile_block(realistic_profile_intensities(2000 + 500 * (i / 3), scan.scan_id)));
    } else {
      scan.ms_level = 2;
      const double precursor = std::round((200.0 + 800.0 * random.uniform()) * 1e4) / 1e4;
      scan.precursor_mz = precursor;
      scan.collision_energy = i % 3 == 1 ? 20.0 : 40.0;
      scan.mz_range_low = 50.0;
      scan.mz_range_high = precursor + 50.0;
      PeakList peaks = centroided_peaks(40 + 10 * i, 50.0, precursor + 20.0, scan.scan_id);
      const std::uint32_t format = i % 3 == 1 ? PEAK_FORMAT_SPLIT : PEAK_FORMAT_INTERLEAVED;
      scan.blocks.push_back(peak_block(format, std::move(peaks.mz), std::move(peaks.intensity)));
    }
    acquisition.scans.push_back(std::move(scan));
  }
  return acquisition;
}

Acquisition benchmark_acquisition(std::size_t profile_scans, std::size_t points, std::size_t ms2_scans,
                                  std::uint64_t seed) {
  constexpr double mz_low = 100.0;
  constexpr double mz_high = 1700.0;
  Acquisition acquisition;
  acquisition.record_stride = 284;
  acquisition.devices_xml = devices_xml("QTOF", "G6550A");
  acquisition.contents_xml = contents_xml("2024-05-14T10:21:33.4410000+02:00");
  acquisition.scans.reserve(profile_scans + ms2_scans);

  Random random(seed);
  std::uint32_t next_scan_id = 1;
  const auto add_scan = [&](Scan scan) {
    scan.scan_id = next_scan_id++;
    scan.retention_time_min = 0.01 * static_cast<double>(scan.scan_id);
    acquisition.scans.push_back(std::move(scan));
  };
  const auto add_ms2 = [&] {
    Scan scan;
    scan.ms_level = 2;
    scan.precursor_mz = 150.0 + 1000.0 * random.uniform();
    scan.collision_energy = 10.0 * static_cast<double>(1 + random.next() % 4);
    scan.mz_range_low = 50.0;
    scan.mz_range_high = *scan.precursor_mz + 50.0;
    PeakList peaks = centroided_peaks(50 + random.next() % 250, 50.0, *scan.precursor_mz + 20.0, random.next());
    const std::uint32_t format = random.next() % 2 == 0 ? PEAK_FORMAT_SPLIT : PEAK_FORMAT_INTERLEAVED;
    scan.blocks.push_back(peak_block(format, std::move(peaks.mz), std::move(peaks.intensity)));
    add_scan(std::move(scan));
  };

  // Each MS1 scan is followed by its share of the MS2 scans.
  std::size_t ms2_written = 0;
  for (std::size_t i = 0; i < profile_scans; ++i) {
    Scan scan;
    scan.ms_level = 1;
    scan.mz_range_low = mz_low;
    scan.mz_range_high = mz_high;
    scan.blocks.push_back(profile_block(realistic_profile_intensities(points, seed + i)));
    add_scan(std::move(scan));
    const std::size_t ms2_due = (i + 1) * ms2_scans / profile_scans;
    while (ms2_written < ms2_due) {
      add_ms2();
      ++ms2_written;
    }
  }
  while (ms2_written < ms2_scans) {
    add_ms2();
    ++ms2_written;
  }
  return acquisition;
}

}  // namespace vornak::synthetic
