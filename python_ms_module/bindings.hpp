// What the binding files of vornak_ms share: the Python-facing objects that outlive one call, the
// exception types, and one registration function per exposed class.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"

namespace vornak::python_ms {

namespace nb = nanobind;

// C++ stand-ins for the Python exceptions; errors.cpp maps each to its class. The message is the
// library's error text, unchanged. (Bad arguments are nanobind's value_error and type_error.)
struct LibraryFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct FolderFailure : LibraryFailure {
  using LibraryFailure::LibraryFailure;
};
struct ScanIndexFailure : LibraryFailure {
  using LibraryFailure::LibraryFailure;
};
struct BlockFailure : LibraryFailure {
  using LibraryFailure::LibraryFailure;
};

// The error of Acquisition::open as the exception of its kind: the folder itself (missing,
// unreadable, no AcqData, no MSScan.bin) or the scan index and what opening reads with it.
[[noreturn]] void raise_open_error(const Error& error);
// A spectrum or a pass that could not be decoded.
[[noreturn]] void raise_block_error(const Error& error);

// A read-only NumPy array over `values`, whose memory stays valid while `owner` lives (the
// array holds a reference to it). Never a copy.
template <typename T>
using ArrayView = nb::ndarray<nb::numpy, const T, nb::ndim<1>>;

template <typename T, typename Allocator>
ArrayView<T> array_view(const std::vector<T, Allocator>& values, nb::handle owner) {
  static constexpr T no_values{};  // an empty vector may have no data pointer at all
  const std::size_t shape[1] = {values.size()};
  return ArrayView<T>(values.empty() ? &no_values : values.data(), 1, shape, owner);
}

// Auto: Acquisition::spectrum; Frame: the total spectrum of the ion-mobility frame `info.index`.
enum class SpectrumRequest : std::uint8_t { Auto, Profile, Centroid, Frame };

// One scan's spectrum as Python sees it. The index facts are copied at creation; the arrays are
// decoded on first use by whichever thread asks first and published with one atomic exchange,
// so the object needs no lock: threads that race on the first use each decode, one result is
// kept and the others are dropped. Once published the decoded spectrum never changes.
class SpectrumHandle {
 public:
  SpectrumHandle(std::shared_ptr<const Acquisition> acquisition, ScanInfo info, SpectrumRequest request) noexcept
      : acquisition_(std::move(acquisition)), info_(std::move(info)), request_(request) {}
  SpectrumHandle(const SpectrumHandle&) = delete;
  SpectrumHandle& operator=(const SpectrumHandle&) = delete;
  ~SpectrumHandle() { delete decoded_.load(std::memory_order_acquire); }

  [[nodiscard]] const ScanInfo& info() const noexcept { return info_; }
  [[nodiscard]] SpectrumRequest request() const noexcept { return request_; }
  // The decoded spectrum; decodes with the thread detached from the interpreter on first use.
  // Throws BlockFailure when the block cannot be decoded (every time it is asked).
  [[nodiscard]] const Spectrum& decoded() const;

 private:
  std::shared_ptr<const Acquisition> acquisition_;
  ScanInfo info_;
  SpectrumRequest request_;
  mutable std::atomic<const Spectrum*> decoded_{nullptr};
};

// A chromatogram's arrays, owned by its Python object.
struct ChromatogramHandle {
  Chromatogram chromatogram;
  std::string kind;      // "tic", "stored-tic", "bpc", "xic"
  bool single_trace = true;  // false: intensity is 2-D, one row per target
};

// The MRM and SIM chromatograms of a triple-quadrupole run, owned by their Python object.
struct TransitionHandle {
  TransitionChromatogram chromatogram;
};

void bind_errors(nb::module_& module);
void bind_spectrum(nb::module_& module);
void bind_chromatogram(nb::module_& module);
void bind_acquisition(nb::module_& module);
void bind_convert(nb::module_& module);

}  // namespace vornak::python_ms
