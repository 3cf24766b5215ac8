// vornak_ms._mzpeak: the mzPeak writer of `vornak convert` for vornak_ms.convert(format="mzpeak").
// A module of its own because it links Arrow C++ from pyarrow's wheel: vornak_ms imports it only
// after pyarrow, so `import vornak_ms` never needs pyarrow.
#include <filesystem>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "full_reader/acquisition.hpp"
#include "mzpeak_export/mzpeak_writer.hpp"

namespace nb = nanobind;

namespace {

// (summary, None) on success; (None, (where, message)) on failure, where is "open" with the
// opening error's kind ("io" or "parse"), or "write": vornak_ms turns it into its own exception.
nb::tuple convert(const std::filesystem::path& path, const std::filesystem::path& out, bool directory,
                  bool trim_zeros, std::optional<unsigned> threads, bool force_zip64) {
  if (threads && *threads == 0) throw nb::value_error("threads must be at least 1");
  vornak::MzpeakOptions options;
  options.directory = directory;
  options.trim_zeros = trim_zeros;
  options.workers = threads.value_or(0);
  options.force_zip64 = force_zip64;
  std::optional<vornak::Result<vornak::Acquisition>> opened;
  std::optional<vornak::Result<vornak::MzpeakSummary>> written;
  {
    nb::gil_scoped_release detached;
    opened.emplace(vornak::Acquisition::open(path.native()));
    if (*opened) written.emplace(vornak::write_mzpeak(**opened, out.native(), options));
  }
  if (!*opened) {
    const vornak::Error& error = (*opened).error();
    const bool folder = error.kind() == vornak::Error::Kind::Io || error.message() == "AcqData directory not found";
    return nb::make_tuple(nb::none(), nb::make_tuple(folder ? "folder" : "scan-index", error.display()));
  }
  if (!*written) return nb::make_tuple(nb::none(), nb::make_tuple("write", (*written).error().display()));
  const vornak::MzpeakSummary& summary = **written;
  const auto listed = [](const std::vector<vornak::DamagedScan>& scans) {
    nb::list out_list;
    for (const vornak::DamagedScan& scan : scans) out_list.append(nb::make_tuple(scan.index, scan.scan_id, scan.reason));
    return out_list;
  };
  nb::dict result;
  result["scans"] = summary.scans;
  result["spectra_written"] = summary.spectra_written;
  result["data_points"] = summary.data_points;
  result["transition_scans"] = summary.transition_scans;
  result["peaks"] = summary.peaks;
  result["damaged"] = listed(summary.damaged);
  result["partial"] = listed(summary.partial);
  result["bytes_written"] = summary.bytes_written;
  return nb::make_tuple(result, nb::none());
}

}  // namespace

NB_MODULE(_mzpeak, module) {
  module.doc() = "The mzPeak writer of vornak_ms.convert(format='mzpeak'); import vornak_ms instead.";
  module.def("convert", &convert, nb::arg("path"), nb::arg("out"), nb::arg("directory"), nb::arg("trim_zeros"),
             nb::arg("threads").none(), nb::arg("force_zip64"));
}
