// vornak_ms.open and vornak_ms.Acquisition: random access to spectra, the scan table,
// selections and chromatograms of one acquisition folder.
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include "python_ms_module/bindings.hpp"

namespace vornak::python_ms {

namespace {

// An open acquisition as Python holds it. Everything but the acquisition pointer is fixed at
// opening. Readers copy the pointer (spectra keep their copy, so what they decode stays valid
// after close) without a lock: each counts itself in around the copy, and close() marks the handle
// closed, waits for the readers counted in at that moment (each is copying one shared_ptr), and
// only then drops the reference.
class AcquisitionHandle {
 public:
  AcquisitionHandle(Acquisition acquisition, ScanTimeline timeline)
      : size_(acquisition.size()),
        path_(acquisition.folder_path()),
        name_(acquisition.acquisition_name()),
        instrument_(acquisition.instrument().model_name),
        accession_(acquisition.instrument().accession),
        acquired_time_(acquisition.acquired_time()),
        timeline_(std::move(timeline)),
        acquisition_(std::make_shared<const Acquisition>(std::move(acquisition))) {}
  AcquisitionHandle(const AcquisitionHandle&) = delete;
  AcquisitionHandle& operator=(const AcquisitionHandle&) = delete;

  // The acquisition; ValueError once closed. The sequentially consistent pair (count in, then
  // look at closed_) against close()'s (set closed_, then look at the count) means that either
  // this reader sees the handle closed or close() waits for it.
  [[nodiscard]] std::shared_ptr<const Acquisition> get() const {
    readers_.fetch_add(1, std::memory_order_seq_cst);
    std::shared_ptr<const Acquisition> acquisition;
    if (!closed_.load(std::memory_order_seq_cst)) acquisition = acquisition_;
    readers_.fetch_sub(1, std::memory_order_release);
    if (!acquisition) throw nb::value_error("I/O operation on a closed acquisition");
    return acquisition;
  }
  void close() noexcept {
    if (closed_.exchange(true, std::memory_order_seq_cst)) return;  // closed before, or closing
    while (readers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    acquisition_.reset();
  }
  [[nodiscard]] bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

  // `index` from Python (negative counts from the end) as a scan index; IndexError outside.
  [[nodiscard]] std::size_t position(Py_ssize_t index) const {
    const auto count = static_cast<Py_ssize_t>(size_);
    if (index < 0) index += count;
    if (index < 0 || index >= count) throw nb::index_error("acquisition index out of range");
    return static_cast<std::size_t>(index);
  }

  [[nodiscard]] SpectrumHandle* spectrum(std::size_t index, SpectrumRequest request) const {
    std::shared_ptr<const Acquisition> acquisition = get();
    ScanInfo info = acquisition->scan(index);
    return new SpectrumHandle(std::move(acquisition), std::move(info), request);
  }

  // The total spectrum of ion-mobility frame k (0-based); IndexError outside.
  [[nodiscard]] SpectrumHandle* frame(Py_ssize_t k) const {
    std::shared_ptr<const Acquisition> acquisition = get();
    const auto count = static_cast<Py_ssize_t>(acquisition->frame_count());
    if (k < 0) k += count;
    if (k < 0 || k >= count) throw nb::index_error("frame index out of range");
    ScanInfo info = acquisition->frame_scan(static_cast<std::size_t>(k));
    return new SpectrumHandle(std::move(acquisition), std::move(info), SpectrumRequest::Frame);
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] const std::string& instrument() const noexcept { return instrument_; }
  [[nodiscard]] std::string_view accession() const noexcept { return accession_; }
  [[nodiscard]] const std::optional<std::string>& acquired_time() const noexcept { return acquired_time_; }
  [[nodiscard]] const ScanTimeline& timeline() const noexcept { return timeline_; }

 private:
  const std::size_t size_;
  const std::string path_;
  const std::string name_;
  const std::string instrument_;
  const std::string_view accession_;  // static text
  const std::optional<std::string> acquired_time_;
  const ScanTimeline timeline_;
  mutable std::atomic<std::size_t> readers_{0};  // threads copying acquisition_ right now
  std::atomic<bool> closed_{false};
  std::shared_ptr<const Acquisition> acquisition_;  // reset once, by close(), when no reader copies it
};

// Iterates over the spectra of an acquisition; next() hands each index out once, from any thread.
class SpectrumIterator {
 public:
  explicit SpectrumIterator(nb::object acquisition) : acquisition_(std::move(acquisition)) {}

  SpectrumHandle* next() {
    const auto& handle = nb::cast<const AcquisitionHandle&>(acquisition_);
    const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
    if (index >= handle.size()) {
      next_.store(handle.size(), std::memory_order_relaxed);  // stays exhausted
      throw nb::stop_iteration();
    }
    return handle.spectrum(index, SpectrumRequest::Auto);
  }

 private:
  nb::object acquisition_;
  std::atomic<std::size_t> next_{0};
};

using RetentionRange = std::optional<std::pair<std::optional<double>, std::optional<double>>>;

ScanSelection selection_of(const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level) {
  ScanSelection selection;
  if (rt_range) {
    if (rt_range->first) selection.rt_low = *rt_range->first;
    if (rt_range->second) selection.rt_high = *rt_range->second;
  }
  selection.ms_level = ms_level;
  return selection;
}

PassOptions pass_options(std::optional<unsigned> threads, bool skip_unreadable) {
  if (threads && *threads == 0) throw nb::value_error("threads must be at least 1");
  return PassOptions{threads.value_or(0), skip_unreadable};
}

// Runs `pass` over the selected scans with the thread detached and wraps its result.
template <typename Pass>
ChromatogramHandle* chromatogram(const AcquisitionHandle& handle, const ScanSelection& selection, std::string kind,
                                 bool single_trace, Pass pass) {
  std::shared_ptr<const Acquisition> acquisition = handle.get();
  std::optional<PassResult<Chromatogram>> result;
  {
    nb::gil_scoped_release detached;
    const std::vector<std::size_t> scans = handle.timeline().select(selection);
    result.emplace(pass(*acquisition, scans));
  }
  if (!*result) raise_block_error((*result).error().error);
  return new ChromatogramHandle{std::move(**result), std::move(kind), single_trace};
}

MzTolerance tolerance_of(std::optional<double> ppm, std::optional<double> da) {
  if (ppm.has_value() == da.has_value()) throw nb::value_error("give exactly one of ppm= and da=");
  const double value = ppm ? *ppm : *da;
  if (!(value >= 0.0) || value == std::numeric_limits<double>::infinity()) {
    throw nb::value_error("the tolerance must be a finite number >= 0");
  }
  return MzTolerance{value, ppm ? MzTolerance::Unit::Ppm : MzTolerance::Unit::Dalton};
}

AcquisitionHandle* open(const std::filesystem::path& path) {
  std::optional<Result<Acquisition>> opened;
  std::optional<ScanTimeline> timeline;
  {
    nb::gil_scoped_release detached;
    opened.emplace(Acquisition::open(path.native()));
    if (*opened) timeline.emplace(ScanTimeline::read(**opened));
  }
  if (!*opened) raise_open_error((*opened).error());
  return new AcquisitionHandle(std::move(**opened), std::move(*timeline));
}

// The scan table: one array per column, all kept alive by one capsule that owns the columns.
nb::dict scan_table(const AcquisitionHandle& handle) {
  std::shared_ptr<const Acquisition> acquisition = handle.get();
  auto* columns = new ScanColumns();
  nb::capsule owner(columns, [](void* pointer) noexcept { delete static_cast<ScanColumns*>(pointer); });
  {
    nb::gil_scoped_release detached;
    *columns = ScanColumns::read(*acquisition);
  }
  nb::dict table;
  auto flags = [&](const std::vector<std::uint8_t>& column) {
    static constexpr bool no_values = false;
    const std::size_t shape[1] = {column.size()};
    const bool* data = column.empty() ? &no_values : reinterpret_cast<const bool*>(column.data());
    return ArrayView<bool>(data, 1, shape, owner);
  };
  table["scan_id"] = array_view(columns->scan_id, owner);
  table["retention_time"] = array_view(columns->retention_time_sec, owner);
  table["ms_level"] = array_view(columns->ms_level, owner);
  table["polarity"] = array_view(columns->polarity, owner);
  table["tic"] = array_view(columns->tic, owner);
  table["base_peak_mz"] = array_view(columns->base_peak_mz, owner);
  table["base_peak_intensity"] = array_view(columns->base_peak_intensity, owner);
  table["precursor_mz"] = array_view(columns->precursor_mz, owner);
  table["collision_energy"] = array_view(columns->collision_energy, owner);
  table["isolation_width"] = array_view(columns->isolation_width, owner);
  table["charge"] = array_view(columns->charge_state, owner);
  table["has_profile"] = flags(columns->has_profile);
  table["has_centroid"] = flags(columns->has_centroid);
  table["profile_points"] = array_view(columns->profile_points, owner);
  table["centroid_points"] = array_view(columns->centroid_points, owner);
  table["scan_type"] = array_view(columns->scan_type, owner);
  table["frame_id"] = array_view(columns->frame_id, owner);
  table["drift_time"] = array_view(columns->drift_time_ms, owner);
  return table;
}

// The scan table as a pyarrow.Table over the same columns (pyarrow takes numeric NumPy arrays
// without copying them).
nb::object to_arrow(const AcquisitionHandle& handle) {
  nb::object pyarrow;
  try {
    pyarrow = nb::module_::import_("pyarrow");
  } catch (const nb::python_error& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw nb::import_error("an Arrow scan table needs pyarrow, which is not installed; scan_table() gives "
                           "the same columns as NumPy arrays");
  }
  return pyarrow.attr("table")(scan_table(handle));
}

nb::object scan_table_as(const AcquisitionHandle& handle, const std::string& format) {
  if (format == "numpy") return scan_table(handle);
  if (format == "arrow") return to_arrow(handle);
  throw nb::value_error("format must be 'numpy' or 'arrow'");
}

nb::object to_pandas(const AcquisitionHandle& handle) {
  nb::object pandas;
  try {
    pandas = nb::module_::import_("pandas");
  } catch (const nb::python_error& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw nb::import_error("to_pandas() needs pandas, which is not installed; scan_table() gives "
                           "the same columns as NumPy arrays");
  }
  nb::object frame = pandas.attr("DataFrame")(scan_table(handle));
  frame.attr("index").attr("name") = "index";
  return frame;
}

std::string repr(const AcquisitionHandle& handle) {
  std::string text = std::string("<vornak_ms.Acquisition ") + nb::repr(nb::str(handle.name().c_str())).c_str();
  text += " scans=" + std::to_string(handle.size());
  text += " instrument=" + std::string(nb::repr(nb::str(handle.instrument().c_str())).c_str());
  if (handle.closed()) text += " closed";
  return text + ">";
}

}  // namespace

void bind_acquisition(nb::module_& module) {
  nb::class_<SpectrumIterator>(module, "SpectrumIterator")
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); },
           nb::sig("def __iter__(self) -> SpectrumIterator"))
      .def("__next__", &SpectrumIterator::next);

  nb::class_<AcquisitionHandle> acquisition(
      module, "Acquisition", nb::is_weak_referenceable(),
      "An acquisition folder opened by vornak_ms.open(). Opening reads the scan index, its layout, "
      "the calibration data and the metadata documents; blocks are decoded only when a spectrum's "
      "arrays or a chromatogram are asked for. Safe to share between threads.");

  acquisition.def("__len__", &AcquisitionHandle::size)
      .def(
          "__getitem__",
          [](const AcquisitionHandle& handle, Py_ssize_t index) {
            return handle.spectrum(handle.position(index), SpectrumRequest::Auto);
          },
          nb::arg("index"),
          "The scan's profile spectrum, or its centroid spectrum when it has no readable profile.")
      .def(
          "__getitem__",
          [](const AcquisitionHandle& handle, const nb::slice& slice) {
            const auto [start, stop, step, count] = slice.compute(handle.size());
            (void)stop;
            nb::list spectra;
            for (std::size_t taken = 0; taken < count; ++taken) {
              const auto index = static_cast<std::size_t>(start + static_cast<Py_ssize_t>(taken) * step);
              spectra.append(nb::cast(handle.spectrum(index, SpectrumRequest::Auto), nb::rv_policy::take_ownership));
            }
            return spectra;
          },
          nb::arg("indices"), nb::sig("def __getitem__(self, indices: slice, /) -> list[Spectrum]"))
      .def("__iter__", [](nb::object self) { return new SpectrumIterator(std::move(self)); })
      .def("__enter__", [](nb::handle self) { return nb::borrow(self); },
           nb::sig("def __enter__(self) -> Acquisition"))
      .def(
          "__exit__", [](AcquisitionHandle& handle, nb::args) { handle.close(); },
          nb::sig("def __exit__(self, *args: object) -> None"))
      .def("close", &AcquisitionHandle::close,
           "Releases the scan index and the block files. Spectra taken before stay readable.")
      .def("__repr__", &repr)
      .def_prop_ro("closed", &AcquisitionHandle::closed)
      .def_prop_ro("path", &AcquisitionHandle::path, "The folder path as given to open().")
      .def_prop_ro("name", &AcquisitionHandle::name, "The folder's name, e.g. 'sample.d'.")
      .def_prop_ro("instrument", &AcquisitionHandle::instrument, "The instrument model name.")
      .def_prop_ro("instrument_accession", &AcquisitionHandle::accession,
                   "The PSI-MS accession of the instrument model.")
      .def_prop_ro("acquired_time", &AcquisitionHandle::acquired_time)
      .def_prop_ro(
          "frame_count", [](const AcquisitionHandle& handle) { return handle.get()->frame_count(); },
          "Ion mobility: the number of frames of IMSFrame.bin (0 in other runs).")
      .def("frame", &AcquisitionHandle::frame, nb::arg("k"),
           "Ion mobility: the total spectrum of the k-th frame of IMSFrame.bin (0-based; negative counts "
           "from the end), a Spectrum whose frame_id is set and whose arrays are empty when the frame has "
           "no total-spectrum record.")
      .def(
          "chromatograms",
          [](const AcquisitionHandle& handle, std::optional<unsigned> threads, bool skip_unreadable) {
            const PassOptions options = pass_options(threads, skip_unreadable);
            std::shared_ptr<const Acquisition> acquisition = handle.get();
            std::optional<PassResult<std::vector<TransitionChromatogram>>> result;
            {
              nb::gil_scoped_release detached;
              result.emplace(transition_chromatograms(*acquisition, options));
            }
            if (!*result) raise_block_error((*result).error().error);
            nb::list chromatograms;
            for (TransitionChromatogram& chromatogram : **result) {
              chromatograms.append(nb::cast(new TransitionHandle{std::move(chromatogram)}, nb::rv_policy::take_ownership));
            }
            return chromatograms;
          },
          nb::arg("threads") = nb::none(), nb::arg("skip_unreadable") = false,
          nb::sig("def chromatograms(self, threads: int | None = None, skip_unreadable: bool = False) -> "
                  "list[TransitionChromatogram]"),
          "The MRM and SIM chromatograms of a triple-quadrupole run, one per transition (Q1, Q3) or SIM "
          "ion, times and counts in record order over all time segments; an empty list for other runs.")
      .def(
          "spectrum",
          [](const AcquisitionHandle& handle, Py_ssize_t index) {
            return handle.spectrum(handle.position(index), SpectrumRequest::Auto);
          },
          nb::arg("index"), "The same as acquisition[index].")
      .def(
          "profile",
          [](const AcquisitionHandle& handle, Py_ssize_t index) -> SpectrumHandle* {
            const std::size_t position = handle.position(index);
            if (!handle.get()->scan(position).profile_block) return nullptr;
            return handle.spectrum(position, SpectrumRequest::Profile);
          },
          nb::arg("index"), nb::sig("def profile(self, index: int) -> Spectrum | None"),
          "The scan's profile spectrum; None when the scan has no profile block.")
      .def(
          "centroid",
          [](const AcquisitionHandle& handle, Py_ssize_t index) -> SpectrumHandle* {
            const std::size_t position = handle.position(index);
            if (!handle.get()->scan(position).peak_block) return nullptr;
            return handle.spectrum(position, SpectrumRequest::Centroid);
          },
          nb::arg("index"), nb::sig("def centroid(self, index: int) -> Spectrum | None"),
          "The scan's centroid spectrum; None when the scan has no peak block.")
      .def(
          "find_scan_id",
          [](const AcquisitionHandle& handle, std::uint32_t scan_id) { return handle.get()->find_scan_id(scan_id); },
          nb::arg("scan_id"), "The index of the first scan with this scan id, or None.")
      .def(
          "by_scan_id",
          [](const AcquisitionHandle& handle, std::uint32_t scan_id) {
            const auto index = handle.get()->find_scan_id(scan_id);
            if (!index) throw nb::key_error(("no scan with scan id " + std::to_string(scan_id)).c_str());
            return handle.spectrum(*index, SpectrumRequest::Auto);
          },
          nb::arg("scan_id"), "The spectrum of the first scan with this scan id; KeyError when none has it.")
      .def_prop_ro(
          "retention_times",
          [](nb::handle_t<AcquisitionHandle> self) {
            return array_view(nb::cast<const AcquisitionHandle&>(self).timeline().retention_times(), self);
          },
          "Every scan's retention time in seconds (read-only).")
      .def_prop_ro(
          "ms_levels",
          [](nb::handle_t<AcquisitionHandle> self) {
            return array_view(nb::cast<const AcquisitionHandle&>(self).timeline().ms_levels(), self);
          },
          "Every scan's MS level (read-only).")
      .def(
          "select",
          [](const AcquisitionHandle& handle, const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level) {
            auto* selected = new std::vector<std::size_t>(handle.timeline().select(selection_of(rt_range, ms_level)));
            nb::capsule owner(selected, [](void* pointer) noexcept {
              delete static_cast<std::vector<std::size_t>*>(pointer);
            });
            return array_view(*selected, owner);
          },
          nb::arg("rt_range") = nb::none(), nb::arg("ms_level") = nb::none(),
          "Indices (uint64, ascending) of the scans whose retention time lies in rt_range = (low, high) "
          "seconds, both inclusive (None: unbounded), and of MS level ms_level (None: any). A binary "
          "search when the retention times are sorted, as in instrument files; a full scan otherwise.")
      .def("scan_table", &scan_table_as, nb::arg("format") = "numpy",
           nb::sig("def scan_table(self, format: str = 'numpy') -> typing.Any"),
           "Per-scan facts of the scan index as a dict of NumPy arrays, without reading any block: "
           "scan_id, retention_time (s), ms_level, polarity (+1, -1, 0), tic, base_peak_mz, "
           "base_peak_intensity, precursor_mz, collision_energy, isolation_width (NaN where absent), "
           "charge (0 where absent), has_profile, has_centroid, profile_points, centroid_points. "
           "format='arrow' gives the same columns as a pyarrow.Table (ImportError without pyarrow).")
      .def("to_arrow", &to_arrow, nb::sig("def to_arrow(self) -> typing.Any"),
           "scan_table(format='arrow'): the scan table as a pyarrow.Table.")
      .def("to_pandas", &to_pandas, nb::sig("def to_pandas(self) -> typing.Any"),
           "scan_table() as a pandas.DataFrame; ImportError when pandas is not installed.")
      .def(
          "tic",
          [](const AcquisitionHandle& handle, const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level,
             std::optional<unsigned> threads, const std::string& source, bool skip_unreadable) {
            const ScanSelection selection = selection_of(rt_range, ms_level);
            if (source == "stored") {
              return chromatogram(handle, selection, "stored-tic", true,
                                  [](const Acquisition& a, std::span<const std::size_t> scans) {
                                    return stored_total_ion_chromatogram(a, scans);
                                  });
            }
            if (source != "decoded") throw nb::value_error("source must be 'decoded' or 'stored'");
            const PassOptions options = pass_options(threads, skip_unreadable);
            return chromatogram(handle, selection, "tic", true,
                                [&](const Acquisition& a, std::span<const std::size_t> scans) {
                                  return total_ion_chromatogram(a, scans, options);
                                });
          },
          nb::arg("rt_range") = nb::none(), nb::arg("ms_level") = nb::none(), nb::arg("threads") = nb::none(),
          nb::arg("source") = "decoded", nb::arg("skip_unreadable") = false,
          "Total ion chromatogram: the sum of each selected spectrum's intensities, decoded on `threads` "
          "workers (None: one per core). source='stored' takes the TIC the scan index records instead, "
          "reading no block. A scan that cannot be decoded raises BlockError, or gives NaN with "
          "skip_unreadable=True.")
      .def(
          "bpc",
          [](const AcquisitionHandle& handle, const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level,
             std::optional<unsigned> threads, bool skip_unreadable) {
            const PassOptions options = pass_options(threads, skip_unreadable);
            return chromatogram(handle, selection_of(rt_range, ms_level), "bpc", true,
                                [&](const Acquisition& a, std::span<const std::size_t> scans) {
                                  return base_peak_chromatogram(a, scans, options);
                                });
          },
          nb::arg("rt_range") = nb::none(), nb::arg("ms_level") = nb::none(), nb::arg("threads") = nb::none(),
          nb::arg("skip_unreadable") = false,
          "Base peak chromatogram: each selected spectrum's largest intensity, its m/z in .mz.")
      .def(
          "xic",
          [](const AcquisitionHandle& handle, double mz, std::optional<double> ppm, std::optional<double> da,
             const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level, std::optional<unsigned> threads,
             bool skip_unreadable) {
            const MzTolerance tolerance = tolerance_of(ppm, da);
            const PassOptions options = pass_options(threads, skip_unreadable);
            return chromatogram(handle, selection_of(rt_range, ms_level), "xic", true,
                                [&](const Acquisition& a, std::span<const std::size_t> scans) {
                                  return extracted_ion_chromatograms(a, scans, std::span(&mz, 1), tolerance, options);
                                });
          },
          nb::arg("mz"), nb::arg("ppm") = nb::none(), nb::arg("da") = nb::none(), nb::arg("rt_range") = nb::none(),
          nb::arg("ms_level") = nb::none(), nb::arg("threads") = nb::none(), nb::arg("skip_unreadable") = false,
          "Extracted ion chromatogram of one m/z: per selected scan, the sum of the intensities whose m/z "
          "lies within target ± tolerance, edges included. The tolerance is ppm (half-width "
          "target * ppm * 1e-6) or da (half-width in Da); give exactly one.")
      .def(
          "xic",
          [](const AcquisitionHandle& handle, const std::vector<double>& mz, std::optional<double> ppm,
             std::optional<double> da, const RetentionRange& rt_range, std::optional<std::uint32_t> ms_level,
             std::optional<unsigned> threads, bool skip_unreadable) {
            const MzTolerance tolerance = tolerance_of(ppm, da);
            const PassOptions options = pass_options(threads, skip_unreadable);
            return chromatogram(handle, selection_of(rt_range, ms_level), "xic", false,
                                [&](const Acquisition& a, std::span<const std::size_t> scans) {
                                  return extracted_ion_chromatograms(a, scans, mz, tolerance, options);
                                });
          },
          nb::arg("mz"), nb::arg("ppm") = nb::none(), nb::arg("da") = nb::none(), nb::arg("rt_range") = nb::none(),
          nb::arg("ms_level") = nb::none(), nb::arg("threads") = nb::none(), nb::arg("skip_unreadable") = false,
          "Extracted ion chromatograms of several m/z targets in one pass: intensity has one row per "
          "target.");

  module.def("open", &open, nb::arg("path"),
             "Opens the acquisition folder at `path` (str or os.PathLike). Raises FolderError when the "
             "folder cannot be opened and ScanIndexError when its scan index is damaged.");
}

}  // namespace vornak::python_ms
