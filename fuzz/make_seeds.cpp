// vornak-fuzz-seeds: writes the seed inputs of every fuzz target, from the synthetic acquisition
// writer and, when given, from the small real acquisitions.
//
//   vornak-fuzz-seeds OUT_DIR [REALDATA_DIR]
//
// Seeds go to OUT_DIR/<target>/<name>, in each target's own input layout (see the comment at
// the top of each fuzz/targets/<target>.cpp). Real files are cut to a few records, so the
// corpus stays small. Any error prints a message and exits with status 1.
#include <stdlib.h>

#include <array>
#include <bit>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/acquisition_input.hpp"
#include "reader_lib/raw/block.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "tests/support/synthetic.hpp"

namespace {

namespace fs = std::filesystem;
namespace synthetic = vornak::synthetic;
using synthetic::Bytes;

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

template <typename T>
void append_le(Bytes& out, T value) {
  const auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : root_(std::move(root)) {}

  void write(std::string_view target, std::string_view name, const Bytes& bytes) const {
    const fs::path folder = root_ / target;
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + (folder / name).string());
  }

 private:
  fs::path root_;
};

// A private folder for laying out acquisitions, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vornak-seeds-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The files of an acquisition's AcqData folder, in the order of the whole-acquisition target;
// absent files stay absent (a missing file ends the joined input, so later ones go too).
std::array<std::optional<Bytes>, vornak::fuzz::ACQUISITION_FILES.size()> acquisition_files(const fs::path& acq_data) {
  std::array<std::optional<Bytes>, vornak::fuzz::ACQUISITION_FILES.size()> files;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path path = acq_data / vornak::fuzz::ACQUISITION_FILES[i];
    if (fs::exists(path)) files[i] = read_file(path);
  }
  return files;
}

Bytes join(const std::array<std::optional<Bytes>, vornak::fuzz::ACQUISITION_FILES.size()>& files) {
  vornak::fuzz::AcquisitionFiles views;
  for (std::size_t i = 0; i < files.size(); ++i) {
    // A file missing in the middle is written empty, so the files after it keep their place.
    static const Bytes empty;
    const Bytes& bytes = files[i] ? *files[i] : empty;
    views[i] = vornak::fuzz::ByteView(bytes);
  }
  return vornak::fuzz::join_acquisition(views);
}

// A few scans of one layout: MS1 profile scans and MS2 peak scans in both peak formats, with
// short blocks so the seed stays small.
synthetic::Acquisition small_acquisition(std::uint32_t stride) {
  synthetic::Acquisition acquisition;
  acquisition.record_stride = stride;
  acquisition.devices_xml = synthetic::devices_xml("Q-TOF", "G6530B");
  acquisition.contents_xml = synthetic::contents_xml("2024-05-14T10:21:33.4410000+02:00");
  for (std::uint32_t i = 0; i < 4; ++i) {
    synthetic::Scan scan;
    scan.scan_id = 10 + i;
    scan.retention_time_min = 0.1 * i;
    if (i % 2 == 0) {
      scan.ms_level = 1;
      if (stride == 284) {
        scan.mz_range_low = 100.0;
        scan.mz_range_high = 1000.0;
      }
      scan.blocks.push_back(synthetic::profile_block(synthetic::realistic_profile_intensities(24, i)));
    } else {
      scan.ms_level = 2;
      scan.precursor_mz = 445.12;
      scan.collision_energy = 20.0;
      if (stride == 186 || stride == 196) scan.mrm_channel = i;
      synthetic::PeakList peaks = synthetic::centroided_peaks(6, 50.0, 460.0, i);
      const std::uint32_t format = i == 1 ? vornak::PEAK_FORMAT_SPLIT : vornak::PEAK_FORMAT_INTERLEAVED;
      scan.blocks.push_back(synthetic::peak_block(format, std::move(peaks.mz), std::move(peaks.intensity)));
    }
    acquisition.scans.push_back(std::move(scan));
  }
  if (stride == 284) {
    // A scan with both blocks whose profile holds no points: the peaks are the fallback.
    synthetic::Scan scan;
    scan.scan_id = 20;
    scan.mz_range_low = 100.0;
    scan.mz_range_high = 200.0;
    scan.blocks.push_back(synthetic::profile_block({}));
    scan.blocks.push_back(synthetic::peak_block(3, {150.0}, {1000.0f}));
    acquisition.scans.push_back(std::move(scan));
  }
  return acquisition;
}

void write_synthetic_seeds(const SeedWriter& seeds) {
  ScratchFolder scratch;
  for (const std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
    const fs::path folder = scratch.path() / ("stride-" + std::to_string(stride));
    synthetic::write_acquisition(folder, small_acquisition(stride));
    const auto files = acquisition_files(folder / "AcqData");
    const std::string name = "synthetic-stride-" + std::to_string(stride);
    seeds.write("acquisition", name, join(files));
    seeds.write("msscan", name, *files[0]);
  }
  {
    const fs::path folder = scratch.path() / "demo";
    synthetic::write_acquisition(folder, synthetic::demo_acquisition());
    seeds.write("acquisition", "synthetic-demo", join(acquisition_files(folder / "AcqData")));
  }
  {
    // Records that start at byte 0, over the header.
    synthetic::Acquisition acquisition;
    acquisition.record_stride = 284;
    acquisition.data_offset = 0;
    acquisition.scans.push_back({});
    const fs::path folder = scratch.path() / "data-offset-0";
    synthetic::write_acquisition(folder, acquisition);
    seeds.write("msscan", "synthetic-data-offset-0", read_file(folder / "AcqData" / "MSScan.bin"));
  }

  // LZF streams: counts of a profile payload, compressed and as literal runs only, and a long
  // run of one value, which compresses into the longest back references.
  Bytes payload(16, 0);
  for (const std::uint32_t count : synthetic::realistic_profile_intensities(64, 7)) append_le(payload, count);
  const Bytes zeros(700, 0);
  const auto stream_seed = [](const Bytes& data, synthetic::LzfEncoding encoding) {
    Bytes seed;
    append_le(seed, static_cast<std::uint32_t>(data.size()));
    const Bytes stream = synthetic::lzf_encode(data, encoding);
    seed.insert(seed.end(), stream.begin(), stream.end());
    return seed;
  };
  seeds.write("lzf_decompress", "synthetic-profile-payload", stream_seed(payload, synthetic::LzfEncoding::compressed));
  seeds.write("lzf_decompress", "synthetic-literal-runs", stream_seed(payload, synthetic::LzfEncoding::literal));
  seeds.write("lzf_decompress", "synthetic-long-matches", stream_seed(zeros, synthetic::LzfEncoding::compressed));
  seeds.write("lzf_roundtrip", "synthetic-profile-payload", payload);
  seeds.write("lzf_roundtrip", "synthetic-zeros", zeros);
  seeds.write("lzf_roundtrip", "synthetic-devices-xml", text_bytes(synthetic::devices_xml("Q-TOF", "G6530B")));

  // Peak blocks in both layouts: u32 format, u32 point count, block.
  for (const std::uint32_t format : {vornak::PEAK_FORMAT_SPLIT, vornak::PEAK_FORMAT_INTERLEAVED}) {
    synthetic::PeakList peaks = synthetic::centroided_peaks(20, 50.0, 900.0, format);
    Bytes seed;
    append_le(seed, format);
    append_le(seed, static_cast<std::uint32_t>(peaks.mz.size()));
    const Bytes block = synthetic::encode_peak_block({format, std::move(peaks.mz), std::move(peaks.intensity)});
    seed.insert(seed.end(), block.begin(), block.end());
    seeds.write("peak_block", "synthetic-format-" + std::to_string(format), seed);
  }

  // Profile blocks: u32 point count, u32 uncompressed byte count, u8 flags, f64 low, f64 high,
  // block.
  const auto profile_seed = [](const synthetic::ProfileBlock& block, double low, double high) {
    Bytes seed;
    append_le(seed, static_cast<std::uint32_t>(block.intensities.size()));
    append_le(seed, static_cast<std::uint32_t>(16 + 4 * block.intensities.size() + block.payload_padding));
    seed.push_back(1);
    append_le(seed, low);
    append_le(seed, high);
    const Bytes bytes = synthetic::encode_profile_block(block);
    seed.insert(seed.end(), bytes.begin(), bytes.end());
    return seed;
  };
  const std::vector<std::uint32_t> counts = synthetic::realistic_profile_intensities(80, 3);
  seeds.write("profile_block", "synthetic-compressed", profile_seed({counts, 0, synthetic::LzfEncoding::compressed}, 100.0, 1700.0));
  seeds.write("profile_block", "synthetic-literal-padded",
              profile_seed({counts, 12, synthetic::LzfEncoding::literal}, 50.0, 60.0));
  seeds.write("profile_block", "synthetic-one-point", profile_seed({{16777217}, 0, synthetic::LzfEncoding::compressed}, 5.0, 9.0));

  // Metadata documents, plain and with the forms the readers must see through.
  seeds.write("devices_xml", "synthetic", text_bytes(synthetic::devices_xml("Q-TOF", "G6530B")));
  seeds.write("devices_xml", "namespaced",
              text_bytes("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                         "<d:Devices xmlns:d=\"urn:x\"><d:Group><d:Device><d:Name> QTOF\xC2\xA0</d:Name>"
                         "<!-- model --><d:ModelNumber><![CDATA[G6550A]]></d:ModelNumber></d:Device></d:Group>"
                         "</d:Devices>\n"));
  seeds.write("contents_xml", "synthetic", text_bytes(synthetic::contents_xml("2024-05-14T10:21:33.4410000+02:00")));
  seeds.write("contents_xml", "default-namespace",
              text_bytes("<Contents xmlns=\"urn:x\"><?pi x?>\r\n<AcquiredTime>\t2009-09-19T13:14:15Z&#x3000;</AcquiredTime>"
                         "<AcquiredTime>second</AcquiredTime></Contents>"));
}

// Cuts from the real acquisitions: whole metadata documents, scan indexes cut to a few records.
void write_realdata_seeds(const SeedWriter& seeds, const fs::path& realdata) {
  const fs::path example = realdata / "example1.d" / "AcqData";
  const fs::path magenta = realdata / "magenta.D" / "AcqData";
  const fs::path copper = realdata / "copper.D" / "AcqData";

  const Bytes devices = read_file(example / "Devices.xml");
  const Bytes contents = read_file(example / "Contents.xml");
  seeds.write("devices_xml", "realdata-example1", devices);
  seeds.write("contents_xml", "realdata-example1", contents);

  // The header of 228 bytes and the first three records of 284 bytes.
  Bytes index = read_file(example / "MSScan.bin");
  index.resize(228 + 3 * 284);
  seeds.write("msscan", "realdata-example1-3-records", index);
  seeds.write("msscan", "realdata-magenta", read_file(magenta / "MSScan.bin"));
  seeds.write("msscan", "realdata-copper", read_file(copper / "MSScan.bin"));

  // Block files are too large to keep; the scans' blocks then lie beyond the end of empty files.
  seeds.write("acquisition", "realdata-example1-3-records", join({index, Bytes{}, Bytes{}, devices, contents}));
  seeds.write("acquisition", "realdata-magenta",
              join({read_file(magenta / "MSScan.bin"), Bytes{}, Bytes{}, devices, contents}));
}

// Run-length tokens for `counts`: the leading-skip word, then tokens that start 4 bytes wide;
// each run of zeros becomes a skip token that also picks the narrowest width for the next count.
struct RunLength {
  std::int32_t leading_skip = 0;
  Bytes tokens;
};

RunLength run_length_encode(const std::vector<std::uint32_t>& counts) {
  const auto width_for = [](std::uint32_t count) -> std::size_t {
    return count < 0x80 ? 1 : count < 0x8000 ? 2 : count < 0x80000000u ? 4 : 8;
  };
  const auto code_for = [](std::size_t width) -> std::int64_t {
    return width == 1 ? 3 : width == 2 ? 2 : width == 4 ? 1 : 0;
  };
  RunLength out;
  std::size_t width = 4;
  const auto put = [&](std::int64_t value) {
    for (std::size_t i = 0; i < width; ++i) {
      out.tokens.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
  };
  const auto skip = [&](std::uint64_t bins, std::size_t next_width) {
    const std::int64_t token = static_cast<std::int64_t>(~bins << 2) | code_for(next_width);
    if (token < -(std::int64_t{1} << (8 * width - 1))) {  // too many bins for this width: widen first
      put(static_cast<std::int64_t>(~std::uint64_t{0} << 2) | code_for(8));
      width = 8;
    }
    put(token);
    width = next_width;
  };
  std::size_t i = 0;
  while (i < counts.size() && counts[i] == 0) ++i;
  out.leading_skip = -static_cast<std::int32_t>(i);
  while (i < counts.size()) {
    std::size_t zeros = 0;
    while (i + zeros < counts.size() && counts[i + zeros] == 0) ++zeros;
    if (i + zeros == counts.size()) {  // trailing zeros: one skip to the end
      skip(zeros, width);
      break;
    }
    const std::size_t next_width = width_for(counts[i + zeros]);
    if (zeros > 0 || next_width != width) skip(zeros, next_width);
    i += zeros;
    put(counts[i++]);
  }
  return out;
}

// A profile block of the run-length form: header, the 0x90 word, the leading-skip word, tokens.
Bytes run_length_block(double first_x, double step, std::uint32_t bins, const RunLength& encoded) {
  Bytes block;
  append_le(block, first_x);
  append_le(block, step);
  append_le(block, 0x90000000u | bins);
  append_le(block, encoded.leading_skip);
  block.insert(block.end(), encoded.tokens.begin(), encoded.tokens.end());
  return block;
}

// Seed layouts: run_length is u32 point count, i32 leading-skip word, tokens; profile_payload is
// u32 point count, u32 uncompressed byte count, block.
Bytes run_length_seed(std::uint32_t bins, std::int32_t leading_skip, const Bytes& tokens) {
  Bytes seed;
  append_le(seed, bins);
  append_le(seed, leading_skip);
  seed.insert(seed.end(), tokens.begin(), tokens.end());
  return seed;
}

Bytes payload_seed(std::uint32_t bins, std::uint32_t uncompressed_byte_count, const Bytes& block) {
  Bytes seed;
  append_le(seed, bins);
  append_le(seed, uncompressed_byte_count);
  seed.insert(seed.end(), block.begin(), block.end());
  return seed;
}

void write_block_payload_seeds(const SeedWriter& seeds) {
  // Counts that need every token width, with zero runs at both ends and in between.
  std::vector<std::uint32_t> counts = synthetic::realistic_profile_intensities(300, 9);
  counts.front() = 0;
  counts.back() = 0;
  counts[150] = 3000000000u;
  const auto bins = static_cast<std::uint32_t>(counts.size());
  const RunLength encoded = run_length_encode(counts);
  seeds.write("run_length", "synthetic-every-width", run_length_seed(bins, encoded.leading_skip, encoded.tokens));
  seeds.write("profile_payload", "synthetic-run-length",
              payload_seed(bins, 16 + 4 * bins, run_length_block(35920.0, 0.5, bins, encoded)));

  Bytes payload;
  append_le(payload, 1234.5);
  append_le(payload, 0.5);
  for (const std::uint32_t count : counts) append_le(payload, count);
  seeds.write("profile_payload", "synthetic-whole-block-lzf",
              payload_seed(bins, 0, synthetic::lzf_encode(payload, synthetic::LzfEncoding::compressed)));
  seeds.write("profile_payload", "synthetic-lzf-after-preamble",
              payload_seed(bins, 16 + 4 * bins,
                           synthetic::encode_profile_block({counts, 0, synthetic::LzfEncoding::literal})));

  // Uncompressed channels: N f32 x, then three columns of N f64.
  Bytes channels;
  for (const float x : {1.0f, 2.0f, 7.0f}) append_le(channels, x);
  for (const double column : {1.0, -1.0, 3.0}) {
    for (const double intensity : {204242.6875, 3969.9541015625, 0.0}) append_le(channels, column * intensity);
  }
  seeds.write("profile_payload", "synthetic-channels", payload_seed(3, 0, channels));
}

// Real blocks, cut so each seed stays small: the first tokens of a run-length block (its 0x90
// word set to the bins they cover), the first counts of an LZF block compressed again, and a
// whole channel block.
void write_realdata_block_payload_seeds(const SeedWriter& seeds, const fs::path& realdata) {
  constexpr std::size_t TOKEN_BUDGET = 8192;
  const Bytes magenta = read_file(realdata / "magenta.D" / "AcqData" / "MSProfile.bin");
  // Scan 0's block starts at byte 0: header 16, the 0x90 word, the leading-skip word, tokens.
  const Bytes tokens(magenta.begin() + 24, magenta.begin() + 24 + 4 * TOKEN_BUDGET);
  const auto leading_skip = vornak::load_le<std::int32_t>(magenta.data() + 20);
  std::size_t at = 0, width = 4;
  auto bins = static_cast<std::uint64_t>(-static_cast<std::int64_t>(leading_skip));
  // Whole tokens until the budget is spent, counting the bins they cover:
  //   count (v >= 0): one bin;  skip (v < 0): ~(v >> 2) bins, next width from v & 3
  while (at < TOKEN_BUDGET) {
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < width; ++i) raw |= std::uint64_t{tokens[at + i]} << (8 * i);
    at += width;
    std::int64_t value = static_cast<std::int64_t>(raw);
    if (width < 8 && (raw >> (8 * width - 1)) != 0) value -= std::int64_t{1} << (8 * width);
    if (value >= 0) {
      ++bins;
    } else {
      bins += static_cast<std::uint64_t>(~(value >> 2));
      const std::int64_t code = value & 3;
      width = code == 3 ? 1 : code == 2 ? 2 : code == 1 ? 4 : 8;
    }
  }
  const Bytes cut(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(at));
  const auto cut_bins = static_cast<std::uint32_t>(bins);
  seeds.write("run_length", "realdata-magenta-scan-0", run_length_seed(cut_bins, leading_skip, cut));
  Bytes block(magenta.begin(), magenta.begin() + 16);
  append_le(block, 0x90000000u | cut_bins);
  append_le(block, leading_skip);
  block.insert(block.end(), cut.begin(), cut.end());
  seeds.write("profile_payload", "realdata-magenta-scan-0", payload_seed(cut_bins, 0, block));

  // gold.D scan 0: LZF from byte 68 of MSProfile.bin, 86162 bytes, 74963 counts.
  const Bytes gold = read_file(realdata / "gold.D" / "AcqData" / "MSProfile.bin");
  const auto decoded = vornak::decompress(vornak::ByteView(gold).subspan(68, 86162), 16 + 4 * 74963);
  if (!decoded) throw std::runtime_error("gold.D scan 0: " + decoded.error().display());
  constexpr std::uint32_t GOLD_BINS = 20000;  // the first 20000 bins hold the scan's base peak
  const Bytes payload(decoded->data(), decoded->data() + 16 + 4 * GOLD_BINS);
  seeds.write("profile_payload", "realdata-gold-scan-0",
              payload_seed(GOLD_BINS, 16 + 4 * GOLD_BINS,
                           synthetic::lzf_encode(payload, synthetic::LzfEncoding::compressed)));

  // silver.D scan 0: 2 channels, 56 bytes at byte 68.
  const Bytes silver = read_file(realdata / "silver.D" / "AcqData" / "MSProfile.bin");
  seeds.write("profile_payload", "realdata-silver-scan-0",
              payload_seed(2, 0, Bytes(silver.begin() + 68, silver.begin() + 124)));
}

// The full reader's input (FULL_ACQUISITION_FILES, absent files marked) of a folder on disk.
Bytes full_acquisition_seed(const fs::path& folder) {
  Bytes joined;
  for (const std::string_view name : vornak::fuzz::FULL_ACQUISITION_FILES) {
    const fs::path path = folder / "AcqData" / name;
    if (!fs::exists(path)) {
      append_le(joined, vornak::fuzz::ABSENT_FILE);
      continue;
    }
    const Bytes content = read_file(path);
    append_le(joined, static_cast<std::uint32_t>(content.size()));
    joined.insert(joined.end(), content.begin(), content.end());
  }
  return joined;
}

Bytes block_of(const fs::path& folder, const synthetic::FamilyRecord& record) {
  const Bytes file = read_file(folder / "AcqData" / record.block_file);
  const auto at = static_cast<std::ptrdiff_t>(record.offset);
  return Bytes(file.begin() + at, file.begin() + at + record.byte_count);
}

// The other instrument families: small folders for the whole-acquisition target, and their
// blocks and documents for the targets of each decoder.
void write_family_seeds(const SeedWriter& seeds) {
  ScratchFolder scratch;
  const auto documents = [](const fs::path& folder, std::string_view name) {
    return read_file(folder / "AcqData" / name);
  };

  // Triple quad: MRM records of two transitions each, SIM, both profile encodings, 3 segments.
  synthetic::TripleQuadOptions quad;
  quad.mrm_records = 4;
  quad.sim_records = 2;
  quad.count_profiles = 1;
  quad.abundance_profiles = 1;
  quad.points = 24;
  const fs::path quad_folder = scratch.path() / "triple-quad";
  std::vector<synthetic::FamilyRecord> quad_records;
  synthetic::write_triple_quad_acquisition(quad_folder, quad,
                                           [&](const synthetic::FamilyRecord& record) { quad_records.push_back(record); });
  seeds.write("full_acquisition", "synthetic-triple-quad", full_acquisition_seed(quad_folder));
  for (const synthetic::FamilyRecord& record : quad_records) {
    if (record.record != 0 && record.encoding == "point-list") continue;  // one point list is enough
    Bytes seed;
    append_le(seed, record.point_count);
    seed.push_back(record.encoding == "point-list" ? 0 : 1);
    const Bytes block = block_of(quad_folder, record);
    seed.insert(seed.end(), block.begin(), block.end());
    seeds.write("quad_blocks", "synthetic-" + record.encoding, seed);
  }
  Bytes segments{0};
  const Bytes msts = documents(quad_folder, "MSTS.xml");
  segments.insert(segments.end(), msts.begin(), msts.end());
  seeds.write("time_segments", "synthetic-three-segments", segments);
  Bytes quad_schema;
  append_le(quad_schema, 1u);
  const Bytes quad_xsd = documents(quad_folder, "MSScan.xsd");
  quad_schema.insert(quad_schema.end(), quad_xsd.begin(), quad_xsd.end());
  seeds.write("scan_schema", "synthetic-triple-quad", quad_schema);

  // Ion mobility: MS1 and MS2 frames, the last frame sum empty.
  synthetic::IonMobilityOptions mobility;
  mobility.frames = 2;
  mobility.drift_bins = 3;
  mobility.points = 64;
  mobility.ms2_frames = true;
  mobility.empty_frame_sum = true;
  const fs::path mobility_folder = scratch.path() / "ion-mobility";
  std::vector<synthetic::FamilyRecord> mobility_records;
  synthetic::write_ion_mobility_acquisition(
      mobility_folder, mobility, [&](const synthetic::FamilyRecord& record) { mobility_records.push_back(record); });
  seeds.write("full_acquisition", "synthetic-ion-mobility", full_acquisition_seed(mobility_folder));
  const Bytes frame_xsd = documents(mobility_folder, "IMSFrame.xsd");
  const Bytes methods = documents(mobility_folder, "IMSFrameMeth.xml");
  Bytes frames;
  append_le(frames, static_cast<std::uint32_t>(frame_xsd.size()));
  frames.insert(frames.end(), frame_xsd.begin(), frame_xsd.end());
  append_le(frames, static_cast<std::uint32_t>(methods.size()));
  frames.insert(frames.end(), methods.begin(), methods.end());
  const Bytes frame_file = documents(mobility_folder, "IMSFrame.bin");
  frames.insert(frames.end(), frame_file.begin(), frame_file.end());
  seeds.write("ims_frames", "synthetic-ms1-ms2", frames);
  Bytes flat_schema;
  append_le(flat_schema, 2u);  // what the instruments leave at 0x4C
  const Bytes flat_xsd = documents(mobility_folder, "MSScan.xsd");
  flat_schema.insert(flat_schema.end(), flat_xsd.begin(), flat_xsd.end());
  seeds.write("scan_schema", "synthetic-flat", flat_schema);
  // The first frame sum's tokens, whose stream stops after its last non-empty bin.
  const Bytes sum_block = block_of(mobility_folder, mobility_records.front());
  Bytes silent_end;
  append_le(silent_end, 0x80000000u | mobility_records.front().point_count);
  silent_end.insert(silent_end.end(), sum_block.begin() + 20, sum_block.end());
  seeds.write("run_length", "synthetic-frame-sum", silent_end);

  // ICP-MS without a schema, channel values as indices of MSTS_XAddition.xml.
  synthetic::IcpmsOptions icpms;
  icpms.transitions = true;
  const fs::path icpms_folder = scratch.path() / "icpms";
  synthetic::write_icpms_acquisition(icpms_folder, icpms);
  seeds.write("full_acquisition", "synthetic-icpms-transitions", full_acquisition_seed(icpms_folder));
  Bytes transitions{1};
  const Bytes addition = read_file(icpms_folder / "MSTS_XAddition.xml");
  transitions.insert(transitions.end(), addition.begin(), addition.end());
  seeds.write("time_segments", "synthetic-channel-transitions", transitions);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: vornak-fuzz-seeds OUT_DIR [REALDATA_DIR]\n";
    return 1;
  }
  try {
    const SeedWriter seeds{fs::path(argv[1])};
    write_synthetic_seeds(seeds);
    write_block_payload_seeds(seeds);
    write_family_seeds(seeds);
    if (argc == 3) {
      write_realdata_seeds(seeds, argv[2]);
      write_realdata_block_payload_seeds(seeds, argv[2]);
    }
  } catch (const std::exception& error) {
    std::cerr << "vornak-fuzz-seeds: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
