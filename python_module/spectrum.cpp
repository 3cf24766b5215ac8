// The Spectrum class: a read-only copy of one record's arrays, retention time and MS level.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include "python_module/module.hpp"

namespace vornak::python {

namespace {

struct SpectrumState {
  std::vector<double> mz;
  std::vector<float> intensity;
  double retention_time_sec;
  std::uint32_t ms_level;
};

// The C++ state lives in raw storage after the object header, constructed in place once the
// interpreter has allocated the object and destroyed in place before it is freed.
struct SpectrumObject {
  PyObject_HEAD
  alignas(SpectrumState) std::byte storage[sizeof(SpectrumState)];
};

const SpectrumState& state_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<const SpectrumState*>(
      reinterpret_cast<SpectrumObject*>(self)->storage));
}

template <typename Value>
PyObject* float_list(const std::vector<Value>& values) noexcept {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) {
      Py_DECREF(list);  // the slots not yet filled are NULL, which list deallocation allows
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* get_mz(PyObject* self, void*) noexcept { return float_list(state_of(self).mz); }

PyObject* get_intensity(PyObject* self, void*) noexcept {
  return float_list(state_of(self).intensity);
}

PyObject* get_ms_level(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(state_of(self).ms_level);
}

PyObject* get_retention_time_sec(PyObject* self, void*) noexcept {
  return PyFloat_FromDouble(state_of(self).retention_time_sec);
}

Py_ssize_t spectrum_length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(state_of(self).mz.size());
}

PyObject* spectrum_repr(PyObject* self) noexcept {
  const SpectrumState& state = state_of(self);
  const auto peaks = static_cast<unsigned long long>(state.mz.size());
  if (std::isnan(state.retention_time_sec)) {
    return PyUnicode_FromFormat("Spectrum(%llu peaks, RT NaNs)", peaks);
  }
  // printf's fixed notation rounds the exact binary value half-to-even and writes "inf",
  // "-inf" and "-0.00" as wanted. The largest double has 309 integer digits.
  char seconds[400];
  std::snprintf(seconds, sizeof seconds, "%.2f", state.retention_time_sec);
  return PyUnicode_FromFormat("Spectrum(%llu peaks, RT %ss)", peaks, seconds);
}

void spectrum_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::launder(reinterpret_cast<SpectrumState*>(reinterpret_cast<SpectrumObject*>(self)->storage))
      ->~SpectrumState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef spectrum_getset[] = {
    {"mz", get_mz, nullptr, nullptr, nullptr},
    {"intensity", get_intensity, nullptr, nullptr, nullptr},
    {"ms_level", get_ms_level, nullptr, nullptr, nullptr},
    {"retention_time_sec", get_retention_time_sec, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_mp_length, reinterpret_cast<void*>(spectrum_length)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(spectrum_dealloc)},
    {Py_tp_getset, spectrum_getset},
    {0, nullptr},
};

// No __new__ of its own, so instances come only from RawReader.read_spectrum.
PyType_Spec spectrum_spec = {
    "builtins.Spectrum",
    static_cast<int>(sizeof(SpectrumObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

std::atomic<PyObject*> spectrum_class{nullptr};

}  // namespace

PyTypeObject* spectrum_type() noexcept { return class_once(spectrum_class, spectrum_spec); }

PyObject* make_spectrum(const elmbrace::SpectrumRecord& record) noexcept {
  PyTypeObject* type = spectrum_type();
  if (type == nullptr) return nullptr;
  SpectrumState state{record.mz, record.intensity, record.retention_time_sec, record.ms_level};
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // the copies are released with `state`
  new (reinterpret_cast<SpectrumObject*>(self)->storage) SpectrumState(std::move(state));
  return self;
}

}  // namespace vornak::python
