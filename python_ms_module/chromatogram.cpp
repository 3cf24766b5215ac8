// vornak_ms.Chromatogram: the arrays of a TIC, BPC or XIC pass, owned by the object.
#include <optional>
#include <string>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "python_ms_module/bindings.hpp"

namespace vornak::python_ms {

namespace {

using Traces = nb::ndarray<nb::numpy, const double, nb::ndim<2>>;

// One row per target for a pass over several targets, else one row.
nb::object intensity(nb::handle_t<ChromatogramHandle> self) {
  const auto& handle = nb::cast<const ChromatogramHandle&>(self);
  const Chromatogram& chromatogram = handle.chromatogram;
  if (handle.single_trace) return nb::cast(array_view(chromatogram.intensity, self));
  static constexpr double no_values = 0.0;
  const std::size_t shape[2] = {chromatogram.trace_count, chromatogram.scans.size()};
  const double* data = chromatogram.intensity.empty() ? &no_values : chromatogram.intensity.data();
  return nb::cast(Traces(data, 2, shape, self));
}

std::string transition_repr(const TransitionHandle& handle) {
  return "<vornak_ms.TransitionChromatogram " + std::string(nb::repr(nb::str(handle.chromatogram.id.c_str())).c_str()) +
         " points=" + std::to_string(handle.chromatogram.time_sec.size()) + ">";
}

std::string repr(const ChromatogramHandle& handle) {
  std::string text = "<vornak_ms.Chromatogram " + handle.kind + " scans=" +
                     std::to_string(handle.chromatogram.scans.size());
  if (!handle.single_trace) text += " targets=" + std::to_string(handle.chromatogram.trace_count);
  return text + ">";
}

}  // namespace

void bind_chromatogram(nb::module_& module) {
  nb::class_<ChromatogramHandle>(module, "Chromatogram",
                                 "Traces over the selected scans. Arrays are read-only views of the "
                                 "object's own buffers.")
      .def_prop_ro("kind", [](const ChromatogramHandle& c) { return c.kind; },
                   "'tic', 'stored-tic', 'bpc' or 'xic'.")
      .def_prop_ro(
          "scan_index",
          [](nb::handle_t<ChromatogramHandle> self) {
            return array_view(nb::cast<const ChromatogramHandle&>(self).chromatogram.scans, self);
          },
          "Index of each scan the chromatogram covers (uint64), ascending.")
      .def_prop_ro(
          "retention_time",
          [](nb::handle_t<ChromatogramHandle> self) {
            return array_view(nb::cast<const ChromatogramHandle&>(self).chromatogram.retention_time_sec, self);
          },
          "Retention time of each scan in seconds.")
      .def_prop_ro("intensity", &intensity,
                   nb::sig("def intensity(self) -> numpy.typing.NDArray[numpy.float64]"),
                   "One value per scan; for an XIC of several targets, one row per target. NaN where "
                   "a scan could not be decoded and unreadable scans were skipped.")
      .def_prop_ro(
          "mz",
          [](nb::handle_t<ChromatogramHandle> self) -> std::optional<ArrayView<double>> {
            const auto& handle = nb::cast<const ChromatogramHandle&>(self);
            if (handle.kind != "bpc" && handle.kind != "xic") return std::nullopt;
            return array_view(handle.chromatogram.mz, self);
          },
          "BPC: the m/z of each scan's base peak (NaN for an empty spectrum); XIC: the targets; "
          "otherwise None.")
      .def("__len__", [](const ChromatogramHandle& c) { return c.chromatogram.scans.size(); })
      .def("__repr__", &repr);

  nb::class_<TransitionHandle>(module, "TransitionChromatogram",
                               "One MRM transition or SIM ion of a triple-quadrupole run: its counts at the "
                               "times of its records. Arrays are read-only views of the object's own buffers.")
      .def_prop_ro("id", [](const TransitionHandle& c) { return c.chromatogram.id; },
                   "e.g. '- SRM SIC Q1=269.0 Q3=195.996' (polarity, kind, first and third quadrupole m/z).")
      .def_prop_ro("kind", [](const TransitionHandle& c) { return transition_kind_name(c.chromatogram.kind); },
                   "'srm' or 'sim'.")
      .def_prop_ro("precursor_mz", [](const TransitionHandle& c) { return c.chromatogram.precursor_mz; },
                   "Q1: the first quadrupole's m/z.")
      .def_prop_ro("product_mz", [](const TransitionHandle& c) { return c.chromatogram.product_mz; },
                   "Q3: the product m/z of an SRM transition; None for SIM.")
      .def_prop_ro("polarity", [](const TransitionHandle& c) { return polarity_name(c.chromatogram.polarity); })
      .def_prop_ro(
          "time",
          [](nb::handle_t<TransitionHandle> self) {
            return array_view(nb::cast<const TransitionHandle&>(self).chromatogram.time_sec, self);
          },
          "Retention time of each point in seconds (float64), in record order.")
      .def_prop_ro(
          "intensity",
          [](nb::handle_t<TransitionHandle> self) {
            return array_view(nb::cast<const TransitionHandle&>(self).chromatogram.intensity, self);
          },
          "The counts (float64).")
      .def_prop_ro(
          "scan_index",
          [](nb::handle_t<TransitionHandle> self) {
            return array_view(nb::cast<const TransitionHandle&>(self).chromatogram.scans, self);
          },
          "The spectrum index each point comes from.")
      .def("__len__", [](const TransitionHandle& c) { return c.chromatogram.time_sec.size(); })
      .def("__repr__", &transition_repr);
}

}  // namespace vornak::python_ms
