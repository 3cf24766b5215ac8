// vornak_ms.convert: an acquisition folder written as indexed mzML, with the thread detached.
#include <filesystem>
#include <optional>
#include <string>

#include <nanobind/ndarray.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "python_ms_module/bindings.hpp"

#ifdef VORNAK_MS_WITH_MZML
#include "mzml_export/mzml_writer.hpp"
#endif

namespace vornak::python_ms {

#ifdef VORNAK_MS_WITH_MZML

namespace {

Compression compression_named(const std::string& name) {
  if (name == "fast") return Compression::Fast;
  if (name == "default") return Compression::Default;
  if (name == "small") return Compression::Small;
  if (name == "none") return Compression::None;
  throw nb::value_error("compression must be 'fast', 'default', 'small' or 'none'");
}

nb::dict convert(const std::filesystem::path& path, const std::filesystem::path& out, bool compress,
                 const std::string& compression, bool numpress, int intensity_bits, bool trim_zeros,
                 bool centroid_only, bool srm_as_spectra, std::optional<unsigned> threads) {
  if (intensity_bits != 32 && intensity_bits != 64) throw nb::value_error("intensity_bits must be 32 or 64");
  if (threads && *threads == 0) throw nb::value_error("threads must be at least 1");
  MzmlOptions options;
  options.compression = compress ? compression_named(compression) : Compression::None;
  options.numpress = numpress;
  options.intensity_width = intensity_bits == 32 ? FloatWidth::Bits32 : FloatWidth::Bits64;
  options.trim_zeros = trim_zeros;
  options.centroid_only = centroid_only;
  options.srm_as_spectra = srm_as_spectra;
  options.workers = threads.value_or(0);

  std::optional<Result<Acquisition>> opened;
  std::optional<Result<MzmlSummary>> written;
  {
    nb::gil_scoped_release detached;
    opened.emplace(Acquisition::open(path.native()));
    if (*opened) written.emplace(write_mzml(**opened, out.native(), options));
  }
  if (!*opened) raise_open_error((*opened).error());
  if (!*written) throw LibraryFailure((*written).error().display());

  const MzmlSummary& summary = **written;
  nb::list damaged;
  for (const DamagedScan& scan : summary.damaged) {
    damaged.append(nb::make_tuple(scan.index, scan.scan_id, scan.reason));
  }
  nb::dict result;
  result["scans"] = summary.scans;
  result["spectra_written"] = summary.spectra_written;
  result["scans_without_centroid"] = summary.scans_without_centroid;
  result["transition_scans"] = summary.transition_scans;
  result["chromatograms_written"] = summary.chromatograms_written;
  result["damaged"] = damaged;
  result["bytes_written"] = summary.bytes_written;
  result["checksum"] = summary.file_checksum;
  return result;
}

// The array encoding of the writer for `values`, uncompressed: the MS-Numpress encoding chosen
// ("linear", "positive integer", "short logged float", or "plain" when the values do not fit it)
// and the base64 text, for tests that decode it with independent implementations.
nb::tuple encode_array(nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> values,
                       const std::string& numpress) {
  Numpress kind = Numpress::Off;
  if (numpress == "linear") {
    kind = Numpress::Linear;
  } else if (numpress == "intensity") {
    kind = Numpress::Intensity;
  } else if (numpress != "off") {
    throw nb::value_error("numpress must be 'off', 'linear' or 'intensity'");
  }
  ArrayEncoder encoder;
  std::string text;
  const auto prepared = encoder.append_base64(text, std::span<const double>(values.data(), values.shape(0)),
                                              FloatWidth::Bits64, Compression::None, kind);
  if (!prepared) throw LibraryFailure(prepared.error().display());
  const char* codec = "plain";
  if (prepared->codec == ArrayCodec::NumpressLinear) codec = "linear";
  if (prepared->codec == ArrayCodec::NumpressPositiveInteger) codec = "positive integer";
  if (prepared->codec == ArrayCodec::NumpressShortLoggedFloat) codec = "short logged float";
  return nb::make_tuple(codec, nb::bytes(text.data(), text.size()));
}

}  // namespace

void bind_convert(nb::module_& module) {
  module.def("_encode_array", &encode_array, nb::arg("values"), nb::arg("numpress"),
             "Internal, for tests: the writer's uncompressed encoding of a float64 array as (codec, base64).");
  module.def("convert", &convert, nb::arg("path"), nb::arg("out"), nb::kw_only(), nb::arg("compress") = true,
             nb::arg("compression") = "default", nb::arg("numpress") = false, nb::arg("intensity_bits") = 64,
             nb::arg("trim_zeros") = false, nb::arg("centroid_only") = false,
             nb::arg("srm_as_spectra") = false, nb::arg("threads") = nb::none(),
             nb::sig("def convert(path: str | os.PathLike, out: str | os.PathLike, *, compress: bool = True, "
                     "compression: str = 'default', numpress: bool = False, intensity_bits: int = 64, "
                     "trim_zeros: bool = False, centroid_only: bool = False, srm_as_spectra: bool = False, "
                     "threads: int | None = None) -> dict[str, typing.Any]"),
             "Writes the acquisition at `path` as indexed mzML to `out` (written under a temporary name and "
             "renamed when complete). `compression` is 'fast', 'default', 'small' or 'none' (compress=False "
             "is 'none'); numpress=True writes m/z by MS-Numpress linear prediction and intensities as Numpress "
             "positive integers or short logged floats, compressed afterwards unless compression is 'none'. "
             "Scans whose spectrum cannot be decoded are left out and listed in the returned summary: "
             "{'scans', 'spectra_written', 'scans_without_centroid', 'transition_scans', 'chromatograms_written', "
             "'damaged': [(index, scan_id, reason)], 'bytes_written', 'checksum'}. MRM and SIM records become SRM "
             "and SIM chromatograms (with srm_as_spectra=True, spectra as well). Raises FolderError or ScanIndexError when the folder cannot be "
             "opened, Error when the file cannot be written, ValueError for an unknown compression.");
}

#else

void bind_convert(nb::module_&) {}  // built without the mzML writer

#endif

}  // namespace vornak::python_ms
