// The vornak extension module: multi-phase initialisation and the classes made once per process.
#include "python_module/module.hpp"

namespace vornak::python {

namespace {

// Guards the making of both class objects. PyMutex detaches a waiting thread from the
// interpreter, so it cannot deadlock with a stop-the-world pause or a garbage collection.
PyMutex class_mutex{};

// Adds `cls` to the module as `name` and appends `name` to the module's __all__, making that
// list on first use. Returns -1 with an exception set on failure.
int add_class(PyObject* module, const char* name, PyTypeObject* cls) noexcept {
  if (cls == nullptr) return -1;

  PyObject* names = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &names) < 0) return -1;
  if (names == nullptr) {
    names = PyList_New(0);
    if (names == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", names) < 0) {
      Py_DECREF(names);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const int appended = text == nullptr ? -1 : PyList_Append(names, text);
  Py_XDECREF(text);
  Py_DECREF(names);
  if (appended < 0) return -1;

  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(cls));
}

int exec_module(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "expected a module object, got '%s'", Py_TYPE(module)->tp_name);
    return -1;
  }
  if (add_class(module, "RawReader", raw_reader_type()) < 0) return -1;
  if (add_class(module, "Spectrum", spectrum_type()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The class objects are shared by the whole process, so they must never meet a second
    // interpreter: importing the module in a subinterpreter fails with ImportError instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vornak",       // m_name
    "",             // m_doc: __doc__ is the empty string, not None
    0,              // m_size: no per-module state
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

PyTypeObject* class_once(std::atomic<PyObject*>& slot, PyType_Spec& type_spec) noexcept {
  PyObject* made = slot.load(std::memory_order_acquire);
  if (made == nullptr) {
    PyMutex_Lock(&class_mutex);
    made = slot.load(std::memory_order_relaxed);
    if (made == nullptr) {
      // The reference is kept for the life of the process.
      made = PyType_FromSpec(&type_spec);
      slot.store(made, std::memory_order_release);
    }
    PyMutex_Unlock(&class_mutex);
  }
  return reinterpret_cast<PyTypeObject*>(made);
}

}  // namespace vornak::python

PyMODINIT_FUNC PyInit_vornak() noexcept {
  return PyModuleDef_Init(&vornak::python::module_definition);
}
