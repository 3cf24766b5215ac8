// Writes synthetic acquisition folders for tests and benchmarks: the scan index, the block
// files and the metadata documents, laid out byte by byte without the reader's code.
//
// Everything here is test support: invalid descriptions and failed writes throw
// std::runtime_error (or std::invalid_argument) with a message saying what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tests/support/real_layout.hpp"

namespace vornak::synthetic {

using Bytes = std::vector<std::uint8_t>;

// The two block files of AcqData.
enum class DataFile { profile, peak };

// Descriptor fields that replace what the writer derives from a block. Unset fields keep the
// derived value, so a test can break one field of an otherwise valid descriptor.
struct DescriptorOverride {
  std::optional<std::uint32_t> format_id = std::nullopt;
  std::optional<std::uint64_t> offset = std::nullopt;
  std::optional<std::uint32_t> byte_count = std::nullopt;
  std::optional<std::uint32_t> point_count = std::nullopt;
  std::optional<std::uint32_t> uncompressed_byte_count = std::nullopt;
};

// How the LZF stream of a profile block is produced.
enum class LzfEncoding {
  compressed,  // lzf_compress, with literal runs only when it cannot compress
  literal,     // literal runs only
};

// A profile block: 16-byte preamble, then an LZF stream of a payload made of a 16-byte
// header and one u32 little-endian intensity per point. Its descriptor has format 1,
// point_count = number of intensities and uncompressed_byte_count = payload length.
struct ProfileBlock {
  std::vector<std::uint32_t> intensities;
  std::size_t payload_padding = 0;  // zero bytes after the intensities, still in the payload
  LzfEncoding encoding = LzfEncoding::compressed;
};

// A peak block. Format 3 interleaves (f64 m/z, f32 intensity) per peak; format 2 stores all
// m/z values multiplied by 100.0 as f64, then all intensities as f32. Any other format_id
// is written in the descriptor with the format 3 bytes.
struct PeakBlock {
  std::uint32_t format_id = 3;
  std::vector<double> mz;
  std::vector<float> intensity;  // same length as mz
};

// Bytes appended to a block file as they are. The derived descriptor has format 1 for the
// profile file and 3 for the peak file, the bytes' offset and length, and zero counts.
struct RawBlock {
  DataFile file = DataFile::peak;
  Bytes bytes;
};

// A descriptor with no bytes behind it: every field comes from the override (0 when unset).
struct DescriptorOnly {};

// One descriptor slot of a scan record, and what it points at.
struct Block {
  std::variant<ProfileBlock, PeakBlock, RawBlock, DescriptorOnly> content;
  DescriptorOverride descriptor;
};

[[nodiscard]] Block profile_block(std::vector<std::uint32_t> intensities);
[[nodiscard]] Block peak_block(std::uint32_t format_id, std::vector<double> mz, std::vector<float> intensity);
[[nodiscard]] Block raw_block(DataFile file, Bytes bytes, DescriptorOverride descriptor = {});
[[nodiscard]] Block descriptor_only(DescriptorOverride descriptor);

// One scan record. Optional fields are written whenever they are set and the record has
// room for them, whatever the layout: mrm_channel at 4, collision_energy at 76 and
// precursor_mz at 84 in every layout, the m/z range at 244 and 252 in layout 284 only (an
// error in the others). Which of them the reader takes depends on the layout and MS level.
struct Scan {
  std::uint32_t scan_id = 0;
  double retention_time_min = 0.0;
  std::uint16_t ms_level = 1;
  std::optional<std::uint32_t> mrm_channel;
  std::optional<double> precursor_mz;
  std::optional<double> collision_energy;
  std::optional<double> mz_range_low;
  std::optional<double> mz_range_high;
  // Descriptor slots in record order: at most two in layout 284, one in the others; slots
  // left over are written as zeros (format 0, no block).
  std::vector<Block> blocks;
  // Raw bytes written over the finished record, at offsets inside it.
  std::vector<std::pair<std::size_t, Bytes>> patches;
};

struct Acquisition {
  std::uint32_t record_stride = 284;  // 284, 220, 216, 196 or 186
  // Where the records start. The header is this long, zero apart from the magic at 0 and
  // the data offset at 88; these two fields are written last, so with a data offset below
  // 92 they overwrite the start of the record area.
  std::uint32_t data_offset = 228;
  std::uint32_t magic = 257;
  std::vector<Scan> scans;
  Bytes scan_index_trailer;              // appended after the last record
  std::optional<Bytes> scan_index_bytes;  // when set, MSScan.bin holds exactly these bytes
  bool write_scan_index = true;
  bool write_peak_file = true;
  bool write_profile_file = true;
  Bytes peak_file_prefix;     // bytes at the start of MSPeak.bin, before any block
  Bytes profile_file_prefix;  // bytes at the start of MSProfile.bin, before any block
  std::optional<std::string> devices_xml;   // AcqData/Devices.xml when set
  std::optional<std::string> contents_xml;  // AcqData/Contents.xml when set
};

// Creates `folder`/AcqData (and any missing parents) and writes the acquisition into it.
// Block files and documents the description leaves out are removed if they exist. An
// unknown record stride is refused before anything is written; other errors may leave the
// folder partly written.
void write_acquisition(const std::filesystem::path& folder, const Acquisition& acquisition);

// The bytes of one block as write_acquisition lays them into its file.
[[nodiscard]] Bytes encode_profile_block(const ProfileBlock& block);
[[nodiscard]] Bytes encode_peak_block(const PeakBlock& block);
// One LZF stream that decompresses to `data`.
[[nodiscard]] Bytes lzf_encode(std::span<const std::uint8_t> data, LzfEncoding encoding);

// A typical Devices.xml whose first Device has the given Name and ModelNumber, followed by
// a pump entry as acquisition systems list them.
[[nodiscard]] std::string devices_xml(std::string_view name, std::string_view model_number);
// A typical Contents.xml with the given AcquiredTime.
[[nodiscard]] std::string contents_xml(std::string_view acquired_time);

// Profile intensities of a full scan, deterministic from the seed: a baseline of small
// noisy counts with many zeros, and Gaussian peaks (one per 30 points, up to 400 of them)
// of 10^2 to 10^6 counts.
[[nodiscard]] std::vector<std::uint32_t> realistic_profile_intensities(std::size_t point_count,
                                                                        std::uint64_t seed);

// A centroided MS2 peak list: `peak_count` peaks with increasing m/z inside
// [mz_low, mz_high] and intensities spread over three orders of magnitude.
struct PeakList {
  std::vector<double> mz;
  std::vector<float> intensity;
};
[[nodiscard]] PeakList centroided_peaks(std::size_t peak_count, double mz_low, double mz_high,
                                        std::uint64_t seed);

// The small demo acquisition of `vornak-make-sample OUT_DIR`: layout 284, 12 scans (MS1
// profile scans with an m/z range, MS2 scans with peaks in formats 2 and 3), a Devices.xml
// for model G6530B and a Contents.xml with an acquisition time.
[[nodiscard]] Acquisition demo_acquisition();

// The benchmark acquisition: `profile_scans` MS1 profile scans of `points` points each, with
// `ms2_scans` centroided MS2 scans spread evenly between them; layout 284.
[[nodiscard]] Acquisition benchmark_acquisition(std::size_t profile_scans, std::size_t points,
                                                std::size_t ms2_scans, std::uint64_t seed = 1);

}  // namespace vornak::synthetic
