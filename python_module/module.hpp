// What the module's translation units share: the process-wide class objects and the step
// from a spectrum record to a Spectrum object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "spectrum_model/types.hpp"

namespace vornak::python {

// Returns the class stored in `slot`, making it from `type_spec` if no thread has done so yet.
// Every module object of the process gets the same class. Borrowed reference; nullptr with
// an exception set when making the class failed (a later call tries again).
PyTypeObject* class_once(std::atomic<PyObject*>& slot, PyType_Spec& type_spec) noexcept;

// The two classes, as class_once returns them.
PyTypeObject* raw_reader_type() noexcept;
PyTypeObject* spectrum_type() noexcept;

// A new Spectrum holding copies of the record's arrays, its retention time and MS level.
// nullptr with an exception set when memory runs out.
PyObject* make_spectrum(const elmbrace::SpectrumRecord& record) noexcept;

}  // namespace vornak::python
