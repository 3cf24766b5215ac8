// Opening an acquisition folder, and the lazy pass that turns each scan into a spectrum record.
#include "reader_lib/reader.hpp"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "reader_lib/paths.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/raw/mspeak.hpp"
#include "reader_lib/raw/msprofile.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::uint32_t LARGEST_TRIPLE_QUAD_STRIDE = 219;
constexpr std::uint8_t TRIPLE_QUAD_CLASS = 1;
constexpr std::uint8_t QTOF_CLASS = 3;

// Decoded points of one block, or nothing when the block cannot be read or decoded.
template <typename Decode>
std::optional<BlockArrays> read_block(const std::string& path, const BlockLocation& block, Decode decode) {
  const auto bytes = read_bytes(path, block.offset, block.byte_count);
  if (!bytes) return std::nullopt;
  auto arrays = decode(bytes->view());
  if (!arrays) return std::nullopt;
  return std::move(*arrays);
}

class ScanIterator final : public elmbrace::SpectrumIterator {
 public:
  explicit ScanIterator(const Reader& reader)
      : reader_(reader), scans_(reader.scan_index().records) {}

  std::optional<elmbrace::SpectrumRecord> next() override {
    if (position_ == scans_.size()) return std::nullopt;
    return assemble(scans_[position_++]);
  }

  [[nodiscard]] elmbrace::SizeHint size_hint() const override {
    const std::uint64_t left = scans_.size() - position_;
    return {left, left};
  }

 private:
  elmbrace::SpectrumRecord assemble(const ScanRecord& scan) {
    elmbrace::SpectrumRecord record;
    record.index = consumed_++;

    // Profile data first; peak data when the profile gave no points.
    if (scan.profile_block) {
      const double low = scan.mz_range_low.value_or(0.0);
      const double high = scan.mz_range_high.value_or(0.0);
      auto profile = read_block(reader_.profile_path(), *scan.profile_block, [&](ByteView bytes) {
        return decode_profile_block(bytes, *scan.profile_block, low, high);
      });
      if (profile) {
        record.mz = std::move(profile->mz);
        record.intensity = std::move(profile->intensity);
        record.from_profile = true;
      }
    }
    if (record.mz.empty() && scan.peak_block) {
      auto peaks = read_block(reader_.peak_path(), *scan.peak_block,
                              [&](ByteView bytes) { return decode_peak_block(bytes, *scan.peak_block); });
      if (peaks) {
        record.mz = std::move(peaks->mz);
        record.intensity = std::move(peaks->intensity);
      }
    }

    record.native_id = "scanId=" + std::to_string(scan.scan_id);
    record.scan_id = scan.scan_id;
    record.ms_level = scan.ms_level;
    record.retention_time_sec = scan.retention_time_min * 60.0;
    record.mz_range_low = scan.mz_range_low;
    record.mz_range_high = scan.mz_range_high;

    if (scan.ms_level >= 2) {
      elmbrace::Precursor precursor;
      if (scan.mrm_channel) {
        precursor.ref_id = "mrm_channel=" + std::to_string(*scan.mrm_channel);
      } else if (scan.precursor_mz) {
        precursor.precursor_mz = scan.precursor_mz;
        precursor.ref_id = record.native_id;
      }
      precursor.collision_energy = scan.collision_energy;
      record.precursor = std::move(precursor);
    }

    record.instrument_class =
        reader_.scan_index().record_stride > LARGEST_TRIPLE_QUAD_STRIDE ? QTOF_CLASS : TRIPLE_QUAD_CLASS;
    return record;
  }

  const Reader& reader_;
  std::vector<ScanRecord> scans_;
  std::size_t position_ = 0;
  std::uint64_t consumed_ = 0;
};

}  // namespace

Result<Reader> Reader::open(std::string_view path) {
  Reader reader;
  reader.folder_path_ = std::string(path);
  const std::string acqdata = join_path(reader.folder_path_, "AcqData");

  // A path with a NUL byte names no file; the system call would silently see a shorter one.
  struct stat status {};
  if (acqdata.find('\0') != std::string::npos || ::stat(acqdata.c_str(), &status) != 0) return std::unexpected(Error::parse("AcqData directory not found"));

  auto scan_index = MSScan::from_path(join_path(acqdata, "MSScan.bin"));
  if (!scan_index) return std::unexpected(std::move(scan_index.error()));
  reader.scan_index_ = std::move(*scan_index);

  const auto name = final_component(reader.folder_path_);
  reader.acquisition_name_ = name ? utf8_lossy(*name) : std::string("bundle.d");
  reader.instrument_ = resolve_instrument(acqdata, reader.scan_index_);
  reader.acquired_time_ = parse_acquired_time(join_path(acqdata, "Contents.xml"));
  reader.peak_path_ = join_path(acqdata, "MSPeak.bin");
  reader.profile_path_ = join_path(acqdata, "MSProfile.bin");
  return reader;
}

std::unique_ptr<elmbrace::SpectrumIterator> Reader::iter_spectra() const {
  return std::make_unique<ScanIterator>(*this);
}

}  // namespace vornak
