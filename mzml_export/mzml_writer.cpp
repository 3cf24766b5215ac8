// The indexed mzML writer: header, spectra in scan order from a bounded pool of workers, the TIC
// and SRM/SIM chromatograms, the offset index and the file checksum, all in one pass over the
// output.
//
//   header (counts known from the scan index)
//   for each scan, in order:            workers: decode + render the spectrum's content
//     offset[k] = bytes so far          writer:  opening tag with index k, then the content
//     (MRM and SIM records: their points kept for the chromatograms)
//   chromatograms, index list, indexListOffset, <fileChecksum> + SHA-1 of all bytes before it
#include "mzml_export/mzml_writer.hpp"

#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "full_reader/ordered_pool.hpp"
#include "mzml_export/cv_table.hpp"
#include "mzml_export/instrument_terms.hpp"
#include "mzml_export/output_file.hpp"
#include "mzml_export/sha1.hpp"
#include "mzml_export/spectrum_xml.hpp"
#include "mzml_export/xml_text.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/text.hpp"

#ifndef VORNAK_VERSION
#define VORNAK_VERSION "0"
#endif

namespace vornak {
namespace {

constexpr std::string_view MS_CV_URI = "https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo";
constexpr std::string_view UO_CV_URI =
    "https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo";
constexpr std::string_view SOFTWARE_ID = "vornak";
constexpr std::string_view PROCESSING_ID = "vornak_conversion";
constexpr std::string_view SOURCE_FILE_ID = "MSScan.bin";
constexpr unsigned MAX_WORKERS = 64;
// Spectra rendered ahead of the writer, per worker: enough to keep every worker busy while the
// writer catches up, few enough that memory does not grow with the acquisition.
constexpr std::size_t SLOTS_PER_WORKER = 2;

// Transition: an MRM or SIM record kept for the chromatograms only.
enum class Outcome : std::uint8_t { Written, Damaged, NoCentroid, Transition, Failed };

struct RenderedScan {
  Outcome outcome = Outcome::Written;
  std::uint32_t scan_id = 0;
  std::size_t points = 0;
  double retention_time_sec = 0.0;
  double tic = 0.0;
  std::string content;              // Written: what follows the opening tag, closing tag included
  std::string reason;               // Damaged: the decoder's message; Written: why the profile was not
  bool fell_back = false;           // Written: centroids in place of a damaged profile
  std::optional<Error> failure;     // Failed: why the conversion must stop
  std::optional<ScanInfo> transition_scan;  // MRM and SIM records: the record and its points
  Spectrum transition_points;
};

RenderedScan render_scan(const Acquisition& acquisition, std::size_t index, const MzmlOptions& options,
                         RenderScratch& scratch) {
  const ScanInfo scan = acquisition.scan(index);
  RenderedScan rendered;
  rendered.scan_id = scan.scan_id;
  rendered.retention_time_sec = scan.retention_time_sec;
  if (options.centroid_only && !scan.peak_block) {
    rendered.outcome = Outcome::NoCentroid;
    return rendered;
  }
  auto spectrum = options.centroid_only ? acquisition.centroid(index) : acquisition.spectrum(index);
  // The reader names the scan in its messages already; the summary does that itself.
  const auto reason = [index](const Error& error) {
    std::string text = error.message();
    const std::string prefix = "scan " + std::to_string(index) + ": ";
    if (text.starts_with(prefix)) text.erase(0, prefix.size());
    return text;
  };
  if (!spectrum) {
    rendered.outcome = Outcome::Damaged;
    rendered.reason = reason(spectrum.error());
    return rendered;
  }
  if (!options.centroid_only && scan.profile_block && spectrum->kind == SpectrumKind::Centroid) {
    // The reader also falls back when the profile is intact but empty; only damage is reported.
    if (const auto profile = acquisition.profile(index); !profile) {
      rendered.fell_back = true;
      rendered.reason = reason(profile.error());
    }
  }
  if (options.trim_zeros && spectrum->kind == SpectrumKind::Profile) trim_zero_bins(spectrum->mz, spectrum->intensity);
  for (const double value : spectrum->intensity) rendered.tic += value;
  if (is_transition_scan(scan)) {
    rendered.transition_scan = scan;
    if (!options.srm_as_spectra) {
      rendered.outcome = Outcome::Transition;
      rendered.transition_points = std::move(*spectrum);
      return rendered;
    }
    rendered.transition_points = *spectrum;
  }
  rendered.points = spectrum->mz.size();
  // Room for the text at once, so that it is not copied as it grows: the terms, and two arrays
  // whose base64 text is at most that of their uncompressed 64-bit bytes (plus deflate's margin).
  const std::size_t array_text = 4 * ((rendered.points * sizeof(double) + 2) / 3) + 1024;
  rendered.content.reserve(8192 + 2 * array_text);
  const ArrayOptions arrays{options.compression, options.intensity_width, options.numpress};
  if (auto written = append_spectrum_content(rendered.content, scan, spectrum->kind, spectrum->mz,
                                             spectrum->intensity, rendered.tic, arrays, scratch);
      !written) {
    rendered.outcome = Outcome::Failed;
    rendered.failure = written.error();
  }
  return rendered;
}

// The output as the checksum sees it: every byte written goes through the hash too.
class Document {
 public:
  Document(OutputFile& file, Sha1& hash) : file_(file), hash_(hash) {}
  Result<void> write(std::string_view text) {
    hash_.update(text);
    return file_.write(text);
  }
  [[nodiscard]] std::uint64_t offset() const noexcept { return file_.offset(); }

 private:
  OutputFile& file_;
  Sha1& hash_;
};

struct HeaderFacts {
  std::string run_id;
  std::string source_location;
  std::string source_sha1;
  cv::Term instrument_model;
  std::optional<std::string> start_time;
  bool has_ms1 = false;
  bool has_msn = false;
  bool trim_zeros = false;
};

// Everything before the spectrumList's count value.
std::string header_head(const HeaderFacts& facts) {
  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  out += "<indexedmzML xmlns=\"http://psi.hupo.org/ms/mzml\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd\">\n";
  out += "  <mzML xmlns=\"http://psi.hupo.org/ms/mzml\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\" id=\"";
  out += facts.run_id;
  out += "\" version=\"1.1.0\">\n";
  out += "    <cvList count=\"2\">\n";
  out += "      <cv id=\"MS\" fullName=\"Proteomics Standards Initiative Mass Spectrometry Ontology\" version=\"";
  out += cv::MS_VERSION;
  out += "\" URI=\"";
  out += MS_CV_URI;
  out += "\"/>\n";
  out += "      <cv id=\"UO\" fullName=\"Unit Ontology\" URI=\"";
  out += UO_CV_URI;
  out += "\"/>\n";
  out += "    </cvList>\n";
  out += "    <fileDescription>\n";
  out += "      <fileContent>\n";
  if (facts.has_ms1) append_cv_param(out, "        ", cv::MS1_SPECTRUM);
  if (facts.has_msn) append_cv_param(out, "        ", cv::MSN_SPECTRUM);
  out += "      </fileContent>\n";
  out += "      <sourceFileList count=\"1\">\n";
  out += "        <sourceFile id=\"";
  out += SOURCE_FILE_ID;
  out += "\" name=\"MSScan.bin\" location=\"";
  append_escaped(out, facts.source_location);
  out += "\">\n";
  append_cv_param(out, "          ", cv::NATIVE_ID_FORMAT);
  append_cv_param(out, "          ", cv::ACQUISITION_FILE_FORMAT);
  append_cv_param(out, "          ", cv::SHA1, facts.source_sha1);
  out += "        </sourceFile>\n";
  out += "      </sourceFileList>\n";
  out += "    </fileDescription>\n";
  out += "    <softwareList count=\"1\">\n";
  out += "      <software id=\"";
  out += SOFTWARE_ID;
  out += "\" version=\"" VORNAK_VERSION "\">\n";
  append_cv_param(out, "        ", cv::CUSTOM_SOFTWARE, "vornak");
  out += "      </software>\n";
  out += "    </softwareList>\n";
  out += "    <instrumentConfigurationList count=\"1\">\n";
  out += "      <instrumentConfiguration id=\"IC1\">\n";
  append_cv_param(out, "        ", facts.instrument_model);
  out += "      </instrumentConfiguration>\n";
  out += "    </instrumentConfigurationList>\n";
  out += "    <dataProcessingList count=\"1\">\n";
  out += "      <dataProcessing id=\"";
  out += PROCESSING_ID;
  out += "\">\n";
  out += "        <processingMethod order=\"0\" softwareRef=\"";
  out += SOFTWARE_ID;
  out += "\">\n";
  append_cv_param(out, "          ", cv::CONVERSION_TO_MZML);
  if (facts.trim_zeros) append_cv_param(out, "          ", cv::ZERO_INTENSITY_TRIMMING);
  out += "        </processingMethod>\n";
  out += "      </dataProcessing>\n";
  out += "    </dataProcessingList>\n";
  out += "    <run id=\"";
  out += facts.run_id;
  out += "\" defaultInstrumentConfigurationRef=\"IC1\" defaultSourceFileRef=\"";
  out += SOURCE_FILE_ID;
  out += '"';
  if (facts.start_time) {
    out += " startTimeStamp=\"";
    append_escaped(out, *facts.start_time);
    out += '"';
  }
  out += ">\n";
  out += "      <spectrumList count=\"";
  return out;
}

// What follows the count value: the closing quote, then the rest of the tag. When scans are left
// out, the smaller count is written over the first one and the spaces in front of the next
// attribute absorb the difference in length, so no offset moves.
constexpr std::string_view AFTER_COUNT = "\" defaultDataProcessingRef=\"vornak_conversion\">\n";

HeaderFacts header_facts(const Acquisition& acquisition, const MzmlOptions& options, std::string source_sha1) {
  HeaderFacts facts;
  facts.run_id = xml_identifier(acquisition.acquisition_name());
  std::error_code ignored;
  const std::filesystem::path acqdata =
      std::filesystem::absolute(acquisition.names().acqdata_path(), ignored).lexically_normal();
  facts.source_location = file_uri(acqdata.string());
  facts.source_sha1 = std::move(source_sha1);
  const auto device = parse_devices_xml(acquisition.names().path_of("Devices.xml"));
  facts.instrument_model = instrument_model_term(
      acquisition.instrument().accession,
      device ? std::optional<std::string_view>(device->model_number) : std::nullopt);
  if (acquisition.acquired_time() && is_xml_date_time(*acquisition.acquired_time())) {
    facts.start_time = acquisition.acquired_time();
  }
  for (std::size_t i = 0; i < acquisition.size(); ++i) {
    const std::uint32_t level = acquisition.scan(i).ms_level;
    if (level >= 2) {
      facts.has_msn = true;
    } else {
      facts.has_ms1 = true;
    }
  }
  facts.trim_zeros = options.trim_zeros;
  return facts;
}

// The number of scans that will be attempted as spectra: all of them, or those with a centroid
// block, less the MRM and SIM records unless they are written as spectra too.
std::uint64_t scans_to_write(const Acquisition& acquisition, const MzmlOptions& options) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < acquisition.size(); ++i) {
    const ScanInfo scan = acquisition.scan(i);
    if (options.centroid_only && !scan.peak_block) continue;
    if (!options.srm_as_spectra && is_transition_scan(scan)) continue;
    ++count;
  }
  return count;
}

// A chromatogram in the index: its id and where its element starts.
struct IndexedChromatogram {
  std::string id;
  std::uint64_t offset = 0;
};

void append_index_list(std::string& out, const std::vector<std::uint64_t>& offsets,
                       const std::vector<std::uint32_t>& scan_ids,
                       const std::vector<IndexedChromatogram>& chromatograms) {
  // An index holds at least one offset: without spectra there is only the chromatogram's.
  out += offsets.empty() ? "  <indexList count=\"1\">\n" : "  <indexList count=\"2\">\n";
  if (!offsets.empty()) {
    out += "    <index name=\"spectrum\">\n";
    for (std::size_t k = 0; k < offsets.size(); ++k) {
      out += "      <offset idRef=\"scanId=";
      append_integer(out, scan_ids[k]);
      out += "\">";
      append_integer(out, offsets[k]);
      out += "</offset>\n";
    }
    out += "    </index>\n";
  }
  out += "    <index name=\"chromatogram\">\n";
  for (const IndexedChromatogram& chromatogram : chromatograms) {
    out += "      <offset idRef=\"";
    append_escaped(out, chromatogram.id);
    out += "\">";
    append_integer(out, chromatogram.offset);
    out += "</offset>\n";
  }
  out += "    </index>\n";
  out += "  </indexList>\n";
}

}  // namespace

Result<MzmlSummary> write_mzml(const Acquisition& acquisition, const std::string& output_path,
                               const MzmlOptions& options) {
  const std::string index_path = acquisition.names().path_of("MSScan.bin");
  auto source_sha1 = sha1_of_file(index_path);
  if (!source_sha1) return std::unexpected(source_sha1.error().with_context("cannot read " + utf8_lossy(index_path)));
  auto hash = Sha1::create();
  if (!hash) return std::unexpected(hash.error());
  auto file = OutputFile::create(output_path);
  if (!file) return std::unexpected(file.error());
  Document document(*file, *hash);

  MzmlSummary summary;
  summary.scans = acquisition.size();
  const std::uint64_t expected = scans_to_write(acquisition, options);
  const std::string expected_text = std::to_string(expected);
  if (auto written = document.write(header_head(header_facts(acquisition, options, std::move(*source_sha1))));
      !written) {
    return std::unexpected(written.error());
  }
  const std::uint64_t count_offset = document.offset();
  if (auto written = document.write(expected_text); !written) return std::unexpected(written.error());
  if (auto written = document.write(AFTER_COUNT); !written) return std::unexpected(written.error());

  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> scan_ids;
  std::vector<double> times;
  std::vector<double> currents;
  TransitionCollector transitions;
  const std::size_t total = acquisition.size();
  unsigned workers = options.workers != 0 ? options.workers : std::thread::hardware_concurrency();
  if (workers == 0) workers = 1;
  if (workers > MAX_WORKERS) workers = MAX_WORKERS;
  if (total > 0 && workers > total) workers = static_cast<unsigned>(total);

  {
    // Workers render scans ahead of this thread, which writes them in scan order.
    OrderedPool<RenderedScan> pool(total, SLOTS_PER_WORKER * workers);
    const auto make_renderer = [&acquisition, &options] {
      return [&acquisition, &options, scratch = RenderScratch{}](std::size_t index) mutable {
        return render_scan(acquisition, index, options, scratch);
      };
    };
    if (auto started = pool.start(workers, make_renderer); !started) {
      return std::unexpected(started.error().with_context("cannot start a conversion thread"));
    }
    std::string opening;
    for (std::size_t index = 0; index < total; ++index) {
      if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
        return std::unexpected(Error::parse("conversion cancelled"));
      }
      RenderedScan rendered = pool.take(index);
      switch (rendered.outcome) {
        case Outcome::Failed:
          return std::unexpected(*rendered.failure);
        case Outcome::Damaged:
          summary.damaged.push_back({index, rendered.scan_id, std::move(rendered.reason)});
          break;
        case Outcome::NoCentroid:
          ++summary.scans_without_centroid;
          break;
        case Outcome::Transition:
          break;
        case Outcome::Written: {
          if (rendered.fell_back) {
            summary.profile_fallbacks.push_back({index, rendered.scan_id, std::move(rendered.reason)});
          }
          opening = ELEMENT_INDENT;
          const std::uint64_t element_offset = document.offset() + opening.size();
          opening += "<spectrum index=\"";
          append_integer(opening, offsets.size());
          opening += "\" id=\"scanId=";
          append_integer(opening, rendered.scan_id);
          opening += "\" defaultArrayLength=\"";
          append_integer(opening, rendered.points);
          opening += "\">\n";
          if (auto written = document.write(opening); !written) return std::unexpected(written.error());
          if (auto written = document.write(rendered.content); !written) return std::unexpected(written.error());
          offsets.push_back(element_offset);
          scan_ids.push_back(rendered.scan_id);
          break;
        }
      }
      if (rendered.outcome == Outcome::Written || rendered.outcome == Outcome::Transition) {
        times.push_back(rendered.retention_time_sec);
        currents.push_back(rendered.tic);
      }
      if (rendered.transition_scan) {
        ++summary.transition_scans;
        transitions.add(*rendered.transition_scan, rendered.transition_points);
      }
      if (options.progress) options.progress(index + 1, total);
    }
  }
  summary.spectra_written = offsets.size();

  const std::vector<TransitionChromatogram> transition_chromatograms = transitions.take();
  std::string tail = "      </spectrumList>\n      <chromatogramList count=\"";
  append_integer(tail, 1 + transition_chromatograms.size());
  tail += "\" defaultDataProcessingRef=\"";
  tail += PROCESSING_ID;
  tail += "\">\n";
  std::vector<IndexedChromatogram> chromatograms;
  chromatograms.push_back({"TIC", document.offset() + tail.size() + ELEMENT_INDENT.size()});
  RenderScratch scratch;
  // Chromatograms are never Numpress-encoded: their times must read back exactly.
  const ArrayOptions chromatogram_arrays{options.compression, FloatWidth::Bits64};
  if (auto rendered = append_tic_chromatogram(tail, times, currents, chromatogram_arrays, scratch); !rendered) {
    return std::unexpected(rendered.error());
  }
  if (auto written = document.write(tail); !written) return std::unexpected(written.error());
  for (const TransitionChromatogram& chromatogram : transition_chromatograms) {
    std::string element;
    chromatograms.push_back({chromatogram.id, document.offset() + ELEMENT_INDENT.size()});
    if (auto rendered = append_transition_chromatogram(element, chromatograms.size() - 1, chromatogram,
                                                       chromatogram_arrays, scratch);
        !rendered) {
      return std::unexpected(rendered.error());
    }
    if (auto written = document.write(element); !written) return std::unexpected(written.error());
  }
  summary.chromatograms_written = chromatograms.size();
  if (auto written = document.write("      </chromatogramList>\n    </run>\n  </mzML>\n"); !written) {
    return std::unexpected(written.error());
  }

  std::string index;
  append_index_list(index, offsets, scan_ids, chromatograms);
  // The offset of "<indexList", after its indentation.
  const std::uint64_t index_offset = document.offset() + index.find('<');
  index += "  <indexListOffset>";
  append_integer(index, index_offset);
  index += "</indexListOffset>\n  <fileChecksum>";
  if (auto written = document.write(index); !written) return std::unexpected(written.error());

  std::string checksum;
  if (summary.spectra_written == expected) {
    checksum = hash->hex_digest();
  } else {
    // Scans were left out: correct the count, then hash the file as it now stands.
    std::string patch = std::to_string(summary.spectra_written);
    patch += '"';
    patch.append(expected_text.size() + 1 - patch.size(), ' ');
    if (auto patched = file->overwrite(count_offset, patch); !patched) return std::unexpected(patched.error());
    if (auto flushed = file->flush(); !flushed) return std::unexpected(flushed.error());
    auto rehashed = sha1_of_file_prefix(file->descriptor(), file->offset());
    if (!rehashed) {
      return std::unexpected(rehashed.error().with_context("cannot read back " + utf8_lossy(file->temporary_path())));
    }
    checksum = std::move(*rehashed);
  }
  if (auto written = file->write(checksum + "</fileChecksum>\n</indexedmzML>\n"); !written) {
    return std::unexpected(written.error());
  }
  summary.bytes_written = file->offset();
  summary.file_checksum = std::move(checksum);
  if (auto committed = file->commit(); !committed) return std::unexpected(committed.error());
  return summary;
}

}  // namespace vornak
