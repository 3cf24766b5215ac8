// vornak_ms.Spectrum: one scan's facts from the index, and its arrays decoded on first use.
#include <optional>
#include <string>
#include <utility>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "python_ms_module/bindings.hpp"

namespace vornak::python_ms {

const Spectrum& SpectrumHandle::decoded() const {
  if (const Spectrum* ready = decoded_.load(std::memory_order_acquire)) return *ready;

  std::unique_ptr<Spectrum> fresh;
  std::optional<Error> failure;
  {
    // Pure C++ work: the thread is detached while it decodes, and no Python object is touched.
    nb::gil_scoped_release detached;
    Result<Spectrum> result = request_ == SpectrumRequest::Profile    ? acquisition_->profile(info_.index)
                              : request_ == SpectrumRequest::Centroid ? acquisition_->centroid(info_.index)
                              : request_ == SpectrumRequest::Frame    ? acquisition_->frame(info_.index)
                                                                      : acquisition_->spectrum(info_.index);
    if (result) {
      fresh = std::make_unique<Spectrum>(std::move(*result));
    } else {
      failure = std::move(result.error());
    }
  }
  if (failure) raise_block_error(*failure);

  const Spectrum* expected = nullptr;
  if (decoded_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
    return *fresh.release();
  }
  return *expected;  // another thread published first; this decode is dropped
}

namespace {

std::optional<std::pair<double, double>> base_peak(const ScanInfo& info) {
  if (!info.base_peak_mz || !info.base_peak_value) return std::nullopt;
  return std::pair{*info.base_peak_mz, *info.base_peak_value};
}

std::string repr(const SpectrumHandle& spectrum) {
  const ScanInfo& info = spectrum.info();
  std::string text = "<vornak_ms.Spectrum index=" + std::to_string(info.index) +
                     " scan_id=" + std::to_string(info.scan_id) + " ms_level=" + std::to_string(info.ms_level) +
                     " retention_time=" + nb::repr(nb::float_(info.retention_time_sec)).c_str();
  if (spectrum.request() == SpectrumRequest::Profile) text += " profile";
  if (spectrum.request() == SpectrumRequest::Centroid) text += " centroid";
  if (spectrum.request() == SpectrumRequest::Frame) text += " frame";
  return text + ">";
}

}  // namespace

void bind_spectrum(nb::module_& module) {
  nb::class_<SpectrumHandle>(module, "Spectrum", nb::is_weak_referenceable(),
                             "One scan's spectrum. The facts of the scan index are read when the object "
                             "is made; the arrays (and kind, calibration, encoding, len) decode the "
                             "block on first use, and a damaged block raises BlockError there.")
      .def_prop_ro("index", [](const SpectrumHandle& s) { return s.info().index; },
                   "Position of the scan in the acquisition.")
      .def_prop_ro("scan_id", [](const SpectrumHandle& s) { return s.info().scan_id; })
      .def_prop_ro("native_id", [](const SpectrumHandle& s) { return s.info().native_id(); },
                   "'scanId=<scan id>'.")
      .def_prop_ro("retention_time", [](const SpectrumHandle& s) { return s.info().retention_time_sec; },
                   "Retention time in seconds.")
      .def_prop_ro("ms_level", [](const SpectrumHandle& s) { return s.info().ms_level; })
      .def_prop_ro("polarity", [](const SpectrumHandle& s) { return polarity_name(s.info().polarity); },
                   "'positive', 'negative' or 'unknown'.")
      .def_prop_ro("precursor_mz", [](const SpectrumHandle& s) { return s.info().precursor_mz; },
                   "m/z of interest of an MS2 (or higher) scan; None otherwise.")
      .def_prop_ro("collision_energy", [](const SpectrumHandle& s) { return s.info().collision_energy; },
                   "Collision energy of an MS2 (or higher) scan; None otherwise.")
      .def_prop_ro("isolation_width", [](const SpectrumHandle& s) { return s.info().isolation_width; })
      .def_prop_ro("charge", [](const SpectrumHandle& s) { return s.info().charge_state; },
                   "Precursor charge state when the record has a non-zero one.")
      .def_prop_ro("tic", [](const SpectrumHandle& s) { return s.info().tic; },
                   "Total ion current as the scan index records it.")
      .def_prop_ro("base_peak", [](const SpectrumHandle& s) { return base_peak(s.info()); },
                   "(m/z, intensity) of the base peak as the scan index records it.")
      .def_prop_ro("has_profile", [](const SpectrumHandle& s) { return s.info().profile_block.has_value(); })
      .def_prop_ro("has_centroid", [](const SpectrumHandle& s) { return s.info().peak_block.has_value(); })
      .def_prop_ro(
          "mz",
          [](nb::handle_t<SpectrumHandle> self) {
            return array_view(nb::cast<const SpectrumHandle&>(self).decoded().mz, self);
          },
          "m/z values (float64), ascending as stored; read-only, shares the decoded buffer.")
      .def_prop_ro(
          "intensity",
          [](nb::handle_t<SpectrumHandle> self) {
            return array_view(nb::cast<const SpectrumHandle&>(self).decoded().intensity, self);
          },
          "Intensities (float64; counts and abundances exactly); read-only, shares the decoded buffer.")
      .def_prop_ro("kind", [](const SpectrumHandle& s) { return kind_name(s.decoded().kind); },
                   "'profile' or 'centroid': which block the arrays come from.")
      .def_prop_ro("calibration",
                   [](const SpectrumHandle& s) { return calibration_name(s.decoded().calibration); },
                   "The m/z calibration used: 'per-scan', 'default' or 'none'.")
      .def_prop_ro(
          "encoding",
          [](const SpectrumHandle& s) -> std::optional<std::string_view> {
            const auto& encoding = s.decoded().encoding;
            if (!encoding) return std::nullopt;
            return encoding_name(*encoding);
          },
          "How a profile block was stored ('lzf', 'run-length', ...); None for centroids.")
      .def_prop_ro("scan_type", [](const SpectrumHandle& s) { return scan_type_name(s.info().scan_type); },
                   "The record's scan type: 'full_scan', 'sim', 'mrm', 'product_ion', 'precursor_ion', "
                   "'neutral_loss', ... ('unknown' when the record has none).")
      .def_prop_ro("time_segment", [](const SpectrumHandle& s) { return s.info().time_segment; },
                   "The record's TimeSegmentID, or None.")
      .def_prop_ro("frame_id", [](const SpectrumHandle& s) { return s.info().frame_id; },
                   "Ion mobility: the frame (FrameID) the spectrum belongs to; None elsewhere.")
      .def_prop_ro("drift_bin", [](const SpectrumHandle& s) { return s.info().drift_bin; },
                   "Ion mobility: the drift bin (0 for a frame's total spectrum); None elsewhere.")
      .def_prop_ro("drift_time", [](const SpectrumHandle& s) { return s.info().drift_time_ms; },
                   "Ion mobility: the drift time in ms; None elsewhere.")
      .def_prop_ro(
          "channels",
          [](const SpectrumHandle& s) -> std::optional<std::string_view> {
            const ChannelValues values = s.decoded().channels;
            if (values == ChannelValues::None) return std::nullopt;
            return channel_values_name(values);
          },
          "ICP-MS channel blocks: 'stored' (mz holds the channel values as stored) or 'transitions' "
          "(the product m/z of each channel's transition, its first-quadrupole m/z in "
          "channel_precursor_mz); None for other spectra.")
      .def_prop_ro(
          "channel_precursor_mz",
          [](nb::handle_t<SpectrumHandle> self) -> std::optional<ArrayView<double>> {
            const Spectrum& spectrum = nb::cast<const SpectrumHandle&>(self).decoded();
            if (spectrum.channels != ChannelValues::Transitions) return std::nullopt;
            return array_view(spectrum.precursor_mz, self);
          },
          "ICP-MS MS/MS: the first quadrupole's m/z of each channel; None otherwise.")
      .def("__len__", [](const SpectrumHandle& s) { return s.decoded().mz.size(); })
      .def("__repr__", &repr);
}

}  // namespace vornak::python_ms
