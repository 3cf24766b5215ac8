// The mzPeak writer: one pass over the scans with a bounded pool of decoding workers, the
// profile points streamed into spectra_data.parquet and the centroids into a scratch Parquet file
// (a ZIP holds one member at a time), then the peaks, metadata and chromatogram members and the
// index.
//
//   workers: decode scan i's profile and centroid blocks, sort by m/z where needed
//   writer:  scan i in order -> spectrum index k, rows (k, mz, intensity) into each signal file
//   then:    peaks member (copied from the scratch file), metadata tables, chromatograms, index
#include "mzpeak_export/mzpeak_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

#include <unistd.h>

#include "full_reader/ordered_pool.hpp"
#include "mzml_export/instrument_terms.hpp"
#include "mzml_export/output_file.hpp"
#include "mzml_export/sha1.hpp"
#include "mzml_export/spectrum_xml.hpp"
#include "mzml_export/xml_text.hpp"
#include "mzpeak_export/archive.hpp"
#include "mzpeak_export/parquet_member.hpp"
#include "mzpeak_export/tables.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/metadata.hpp"

namespace vornak {
namespace {

using mzpeak::ForwardingStream;

constexpr unsigned MAX_WORKERS = 64;
constexpr std::size_t SLOTS_PER_WORKER = 2;
constexpr std::size_t COPY_CHUNK = std::size_t{1} << 20;

// One scan as the workers leave it for the writer.
struct DecodedScan {
  ScanInfo info;
  std::optional<Spectrum> profile;
  std::optional<Spectrum> centroid;
  std::string profile_error;   // the block exists and could not be decoded
  std::string centroid_error;
};

// The reader names the scan in its messages already; the summary does that itself.
std::string reason(std::size_t index, const Error& error) {
  std::string text = error.message();
  const std::string prefix = "scan " + std::to_string(index) + ": ";
  if (text.starts_with(prefix)) text.erase(0, prefix.size());
  return text;
}

// An Arrow buffer that owns a spectrum's array: the values go to Arrow without a copy, and their
// memory back to the spectrum buffer cache of the thread that drops the buffer.
class ValueArrayBuffer final : public arrow::Buffer {
 public:
  explicit ValueArrayBuffer(ValueArray values)
      : arrow::Buffer(reinterpret_cast<const std::uint8_t*>(values.data()),
                      static_cast<std::int64_t>(values.size() * sizeof(double))),
        values_(std::move(values)) {}  // a move keeps the buffer the base points at

 private:
  ValueArray values_;
};

std::shared_ptr<arrow::Buffer> value_buffer(ValueArray values) {
  return std::make_shared<ValueArrayBuffer>(std::move(values));
}

// Points sorted by m/z (the first sorted array must ascend within each spectrum); stored blocks
// normally are, so this only checks.
void sort_by_mz(Spectrum& spectrum) {
  if (std::is_sorted(spectrum.mz.begin(), spectrum.mz.end())) return;
  std::vector<std::size_t> order(spectrum.mz.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return spectrum.mz[a] < spectrum.mz[b]; });
  ValueArray mz(order.size()), intensity(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    mz[i] = spectrum.mz[order[i]];
    intensity[i] = spectrum.intensity[order[i]];
  }
  spectrum.mz = std::move(mz);
  spectrum.intensity = std::move(intensity);
}

DecodedScan decode_scan(const Acquisition& acquisition, std::size_t index, bool trim_zeros) {
  DecodedScan decoded;
  decoded.info = acquisition.scan(index);
  if (decoded.info.profile_block) {
    if (auto profile = acquisition.profile(index)) {
      if (trim_zeros) trim_zero_bins(profile->mz, profile->intensity);
      sort_by_mz(*profile);
      decoded.profile = std::move(*profile);
    } else {
      decoded.profile_error = reason(index, profile.error());
    }
  }
  if (decoded.info.peak_block) {
    if (auto centroid = acquisition.centroid(index)) {
      sort_by_mz(*centroid);
      decoded.centroid = std::move(*centroid);
    } else {
      decoded.centroid_error = reason(index, centroid.error());
    }
  }
  return decoded;
}

// A point-layout signal file being written: (entity index, axis, intensity) rows, one record
// batch per entity, over the decoded buffers.
class PointWriter {
 public:
  static Result<PointWriter> open(ForwardingStream::Sink sink, const std::string& index_column,
                                  const std::string& axis_column, std::string_view context, bool time_axis,
                                  const std::string& what) {
    PointWriter writer;
    writer.what_ = what;
    auto point = arrow::struct_({arrow::field(index_column, arrow::uint64(), false),
                                 arrow::field(axis_column, arrow::float64()),
                                 arrow::field("intensity", arrow::float64())});
    auto metadata = arrow::key_value_metadata({std::string(context) + "_array_index"},
                                              {mzpeak::array_index_json(context, time_axis)});
    writer.schema_ = arrow::schema({arrow::field("point", point, false)}, metadata);
    writer.point_type_ = point;
    writer.stream_ = std::make_shared<ForwardingStream>(std::move(sink));
    auto opened = parquet::arrow::FileWriter::Open(
        *writer.schema_, arrow::default_memory_pool(), writer.stream_,
        mzpeak::signal_properties("point." + index_column, {"point." + axis_column, "point.intensity"}),
        mzpeak::arrow_properties());
    if (!opened.ok()) return std::unexpected(mzpeak::arrow_error(opened.status(), writer.stream_.get(), what));
    writer.writer_ = std::move(*opened);
    return writer;
  }

  // Appends the rows of entity `index`; the vectors are handed to Arrow without a copy.
  Result<void> append(std::uint64_t index, ValueArray axis, ValueArray intensity) {
    const auto rows = static_cast<int64_t>(axis.size());
    if (rows == 0) return {};
    auto index_array = std::make_shared<arrow::UInt64Array>(
        rows, arrow::Buffer::FromVector(std::vector<std::uint64_t>(axis.size(), index)));
    auto axis_array = std::make_shared<arrow::DoubleArray>(rows, value_buffer(std::move(axis)));
    auto intensity_array =
        std::make_shared<arrow::DoubleArray>(rows, value_buffer(std::move(intensity)));
    auto point = std::make_shared<arrow::StructArray>(
        point_type_, rows, arrow::ArrayVector{index_array, axis_array, intensity_array});
    auto batch = arrow::RecordBatch::Make(schema_, rows, {point});
    if (auto status = writer_->WriteRecordBatch(*batch); !status.ok()) {
      return std::unexpected(mzpeak::arrow_error(status, stream_.get(), what_));
    }
    rows_ += static_cast<std::uint64_t>(rows);
    return {};
  }

  Result<void> close() {
    if (auto status = writer_->Close(); !status.ok()) {
      return std::unexpected(mzpeak::arrow_error(status, stream_.get(), what_));
    }
    return {};
  }
  [[nodiscard]] std::uint64_t rows() const noexcept { return rows_; }

 private:
  PointWriter() = default;
  std::string what_;
  std::shared_ptr<arrow::Schema> schema_;
  std::shared_ptr<arrow::DataType> point_type_;
  std::shared_ptr<ForwardingStream> stream_;
  std::unique_ptr<parquet::arrow::FileWriter> writer_;
  std::uint64_t rows_ = 0;
};

Result<void> copy_file_into_member(Archive& archive, OutputFile& scratch) {
  if (auto flushed = scratch.flush(); !flushed) return flushed;
  std::vector<char> buffer(COPY_CHUNK);
  std::uint64_t position = 0;
  while (position < scratch.offset()) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(COPY_CHUNK, scratch.offset() - position));
    const ssize_t count = ::pread(scratch.descriptor(), buffer.data(), wanted, static_cast<off_t>(position));
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    if (count == 0) return std::unexpected(Error::unexpected_eof());
    if (auto written = archive.write(std::string_view(buffer.data(), static_cast<std::size_t>(count))); !written) {
      return written;
    }
    position += static_cast<std::uint64_t>(count);
  }
  return {};
}

mzpeak::RunFacts run_facts(const Acquisition& acquisition, const MzpeakOptions& options, std::string source_sha1) {
  mzpeak::RunFacts facts;
  facts.run_id = xml_identifier(acquisition.acquisition_name());
  std::error_code ignored;
  const std::filesystem::path acqdata =
      std::filesystem::absolute(join_path(acquisition.folder_path(), "AcqData"), ignored).lexically_normal();
  facts.source_location = file_uri(acqdata.string());
  facts.source_sha1 = std::move(source_sha1);
  const auto device = parse_devices_xml(join_path(join_path(acquisition.folder_path(), "AcqData"), "Devices.xml"));
  facts.instrument_model = instrument_model_term(
      acquisition.instrument().accession,
      device ? std::optional<std::string_view>(device->model_number) : std::nullopt);
  if (acquisition.acquired_time() && is_xml_date_time(*acquisition.acquired_time())) {
    facts.start_time = acquisition.acquired_time();
  }
  facts.trim_zeros = options.trim_zeros;
  return facts;
}

// The spectrum's summary values, from the arrays of its representation in stored order.
void summarise(mzpeak::SpectrumRecord& record, const Spectrum& spectrum) {
  record.representation = spectrum.kind;
  double tic = 0.0;
  for (const double value : spectrum.intensity) tic += value;
  record.tic = tic;
  if (spectrum.mz.empty()) return;
  std::size_t apex = 0;
  for (std::size_t i = 1; i < spectrum.intensity.size(); ++i) {
    if (spectrum.intensity[i] > spectrum.intensity[apex]) apex = i;
  }
  record.base_peak_mz = spectrum.mz[apex];
  record.base_peak_intensity = spectrum.intensity[apex];
  record.lowest_mz = spectrum.mz.front();
  record.highest_mz = spectrum.mz.back();
}

Error parse_error(const arrow::Status& status, std::string_view what) {
  return Error::parse(std::string(what) + ": " + status.ToString());
}

}  // namespace

bool is_mzpeak_path(std::string_view path) noexcept {
  if (path.ends_with('/')) return true;
  constexpr std::string_view SUFFIX = ".mzpeak";
  if (path.size() < SUFFIX.size()) return false;
  const std::string_view tail = path.substr(path.size() - SUFFIX.size());
  return std::equal(tail.begin(), tail.end(), SUFFIX.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

Result<MzpeakSummary> write_mzpeak(const Acquisition& acquisition, const std::string& output_path,
                                   const MzpeakOptions& options) {
  auto source_sha1 = sha1_of_file(join_path(join_path(acquisition.folder_path(), "AcqData"), "MSScan.bin"));
  if (!source_sha1) return std::unexpected(source_sha1.error());
  auto created = Archive::create(output_path, options.directory ? ArchiveLayout::Directory : ArchiveLayout::Zip,
                                 options.force_zip64);
  if (!created) return std::unexpected(created.error());
  Archive& archive = *created;
  // The centroids go to a scratch file beside the output while the profile member is open.
  std::optional<OutputFile> scratch;
  {
    auto created_scratch = OutputFile::create(join_path(archive.folder(), ".vornak-peaks.parquet"));
    if (!created_scratch) return std::unexpected(created_scratch.error());
    scratch.emplace(std::move(*created_scratch));
  }

  std::vector<mzpeak::IndexedFile> files;
  const auto indexed = [&](std::string name, std::string entity, std::string kind, std::string checksum,
                           std::string mapping = "[]") {
    files.push_back({std::move(name), std::move(entity), std::move(kind), std::move(mapping), std::move(checksum)});
  };

  MzpeakSummary summary;
  summary.scans = acquisition.size();
  std::vector<mzpeak::SpectrumRecord> records;
  // MRM and SIM records are chromatograms, as in the mzML export: their points and TIC entries.
  std::vector<mzpeak::SpectrumRecord> transition_scans;
  TransitionCollector transition_points;
  {
    if (auto begun = archive.begin_member("spectra_data.parquet"); !begun) return std::unexpected(begun.error());
    auto data = PointWriter::open([&archive](std::string_view bytes) { return archive.write(bytes); },
                                  "spectrum_index", "mz", "spectrum", false, "writing spectra_data.parquet");
    if (!data) return std::unexpected(data.error());
    OutputFile& peaks_file = *scratch;
    auto peaks = PointWriter::open([&peaks_file](std::string_view bytes) { return peaks_file.write(bytes); },
                                   "spectrum_index", "mz", "spectrum", false, "writing spectra_peaks.parquet");
    if (!peaks) return std::unexpected(peaks.error());

    const std::size_t total = acquisition.size();
    // By default one core is left to this thread, which encodes every column (decoding is the
    // cheaper half: with as many decoders as cores, they only compete with the encoder).
    unsigned workers = options.workers;
    if (workers == 0) workers = std::thread::hardware_concurrency() > 1 ? std::thread::hardware_concurrency() - 1 : 1;
    workers = std::clamp(workers, 1u, MAX_WORKERS);
    if (total > 0 && workers > total) workers = static_cast<unsigned>(total);
    // Workers decode scans ahead of this thread, which writes them in scan order.
    OrderedPool<DecodedScan> pool(total, SLOTS_PER_WORKER * workers);
    const bool trim_zeros = options.trim_zeros;
    const auto make_decoder = [&acquisition, trim_zeros] {
      return [&acquisition, trim_zeros](std::size_t index) { return decode_scan(acquisition, index, trim_zeros); };
    };
    if (auto started = pool.start(workers, make_decoder); !started) return std::unexpected(started.error());
    for (std::size_t index = 0; index < total; ++index) {
      if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
        return std::unexpected(Error::parse("conversion cancelled"));
      }
      DecodedScan scan = pool.take(index);
      const bool has_block = scan.info.profile_block || scan.info.peak_block;
      if (has_block && !scan.profile && !scan.centroid) {
        std::string why = !scan.profile_error.empty() ? scan.profile_error : scan.centroid_error;
        if (!scan.profile_error.empty() && !scan.centroid_error.empty()) why += "; centroids: " + scan.centroid_error;
        summary.damaged.push_back({index, scan.info.scan_id, std::move(why)});
      } else if (is_transition_scan(scan.info) && scan.centroid && !scan.profile) {
        mzpeak::SpectrumRecord record;
        record.scan = index;
        summarise(record, *scan.centroid);
        transition_points.add(scan.info, *scan.centroid);
        record.info = std::move(scan.info);
        transition_scans.push_back(std::move(record));
      } else {
        if (!scan.profile_error.empty()) {
          summary.partial.push_back({index, scan.info.scan_id, "profile left out: " + scan.profile_error});
        }
        if (!scan.centroid_error.empty()) {
          summary.partial.push_back({index, scan.info.scan_id, "centroids left out: " + scan.centroid_error});
        }
        const std::uint64_t k = records.size();
        mzpeak::SpectrumRecord record;
        record.scan = index;
        // The representation is what Acquisition::spectrum gives: the profile unless it is
        // missing, unreadable or empty and there are centroids.
        const bool profile_first = scan.profile && (!scan.profile->mz.empty() || !scan.centroid);
        if (profile_first) {
          summarise(record, *scan.profile);
        } else if (scan.centroid) {
          summarise(record, *scan.centroid);
        }
        if (scan.profile) {
          record.data_points = scan.profile->mz.size();
          if (auto added = data->append(k, std::move(scan.profile->mz), std::move(scan.profile->intensity)); !added) {
            return std::unexpected(added.error());
          }
        }
        if (scan.centroid) {
          record.peaks = scan.centroid->mz.size();
          if (auto added = peaks->append(k, std::move(scan.centroid->mz), std::move(scan.centroid->intensity));
              !added) {
            return std::unexpected(added.error());
          }
        }
        record.info = std::move(scan.info);
        records.push_back(std::move(record));
      }
      if (options.progress) options.progress(index + 1, total);
    }
    pool.stop();
    if (auto closed = data->close(); !closed) return std::unexpected(closed.error());
    auto data_checksum = archive.end_member();
    if (!data_checksum) return std::unexpected(data_checksum.error());
    indexed("spectra_data.parquet", "spectrum", "data arrays", std::move(*data_checksum));
    if (auto closed = peaks->close(); !closed) return std::unexpected(closed.error());
    summary.data_points = data->rows();
    summary.peaks = peaks->rows();
  }

  if (auto begun = archive.begin_member("spectra_peaks.parquet"); !begun) return std::unexpected(begun.error());
  if (auto copied = copy_file_into_member(archive, *scratch); !copied) return std::unexpected(copied.error());
  auto peaks_checksum = archive.end_member();
  if (!peaks_checksum) return std::unexpected(peaks_checksum.error());
  indexed("spectra_peaks.parquet", "spectrum", "peaks", std::move(*peaks_checksum));
  scratch.reset();  // removes the scratch file
  summary.spectra_written = records.size();

  auto tables = mzpeak::spectrum_metadata_tables(records);
  if (!tables.ok()) return std::unexpected(parse_error(tables.status(), "building the spectrum metadata"));
  for (const mzpeak::MetadataTable& table : *tables) {
    auto checksum = mzpeak::write_table_member(archive, table.name, *table.table);
    if (!checksum) return std::unexpected(checksum.error());
    indexed(table.name, table.entity_type, table.data_kind, std::move(*checksum), table.column_mapping_json);
  }

  summary.transition_scans = transition_scans.size();
  std::vector<mzpeak::ChromatogramRecord> chromatograms =
      mzpeak::chromatogram_records(records, transition_scans, transition_points.take());
  {
    if (auto begun = archive.begin_member("chromatograms_data.parquet"); !begun) return std::unexpected(begun.error());
    auto data = PointWriter::open([&archive](std::string_view bytes) { return archive.write(bytes); },
                                  "chromatogram_index", "time", "chromatogram", true,
                                  "writing chromatograms_data.parquet");
    if (!data) return std::unexpected(data.error());
    for (std::size_t i = 0; i < chromatograms.size(); ++i) {
      const mzpeak::ChromatogramRecord& record = chromatograms[i];
      if (auto added = data->append(i, ValueArray(record.time.begin(), record.time.end()),
                                    ValueArray(record.intensity.begin(), record.intensity.end()));
          !added) {
        return std::unexpected(added.error());
      }
    }
    if (auto closed = data->close(); !closed) return std::unexpected(closed.error());
    auto checksum = archive.end_member();
    if (!checksum) return std::unexpected(checksum.error());
    indexed("chromatograms_data.parquet", "chromatogram", "data arrays", std::move(*checksum));
  }
  auto chromatogram_table = mzpeak::chromatogram_metadata_table(chromatograms);
  if (!chromatogram_table.ok()) {
    return std::unexpected(parse_error(chromatogram_table.status(), "building the chromatogram metadata"));
  }
  auto chromatogram_checksum =
      mzpeak::write_table_member(archive, chromatogram_table->name, *chromatogram_table->table);
  if (!chromatogram_checksum) return std::unexpected(chromatogram_checksum.error());
  indexed(chromatogram_table->name, "chromatogram", "metadata", std::move(*chromatogram_checksum),
          chromatogram_table->column_mapping_json);
  auto transitions = mzpeak::chromatogram_transition_tables(chromatograms);
  if (!transitions.ok()) return std::unexpected(parse_error(transitions.status(), "building the transition tables"));
  for (const mzpeak::MetadataTable& table : *transitions) {
    auto checksum = mzpeak::write_table_member(archive, table.name, *table.table);
    if (!checksum) return std::unexpected(checksum.error());
    indexed(table.name, table.entity_type, table.data_kind, std::move(*checksum), table.column_mapping_json);
  }

  mzpeak::RunFacts facts = run_facts(acquisition, options, std::move(*source_sha1));
  for (const mzpeak::SpectrumRecord& record : records) {
    (record.info.ms_level >= 2 ? facts.has_msn : facts.has_ms1) = true;
  }
  if (auto begun = archive.begin_member("mzpeak_index.json"); !begun) return std::unexpected(begun.error());
  if (auto written = archive.write(mzpeak::index_json(files, facts)); !written) return std::unexpected(written.error());
  if (auto ended = archive.end_member(); !ended) return std::unexpected(ended.error());
  if (auto committed = archive.commit(); !committed) return std::unexpected(committed.error());
  summary.bytes_written = archive.total_bytes();
  return summary;
}

}  // namespace vornak
