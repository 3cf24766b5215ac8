// The RawReader class: opens an acquisition, decodes every scan at once and hands out spectra.
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python_module/module.hpp"
#include "reader_lib/error.hpp"
#include "reader_lib/reader.hpp"
#include "spectrum_model/source.hpp"
#include "spectrum_model/types.hpp"

namespace vornak::python {

namespace {

// ---- Binding of a callable's single parameter --------------------------------------------

// The one parameter of a callable, and the name its errors start with.
struct Parameter {
  const char* function;  // "RawReader.__new__", "RawReader.read_spectrum"
  const char* name;
};

// Checks, in order: the positional count, each keyword in the order given, a missing value.
// Each of the three steps returns false with a TypeError set when it fails.
bool check_positional_count(const Parameter& parameter, Py_ssize_t count) noexcept {
  if (count <= 1) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd %s given",
               parameter.function, count, count == 1 ? "was" : "were");
  return false;
}

// `value` is the parameter's value so far (nullptr when unset); a keyword naming the
// parameter fills it.
bool bind_keyword(const Parameter& parameter, PyObject* keyword, PyObject* keyword_value,
                  PyObject*& value) noexcept {
  if (!PyUnicode_Check(keyword) || PyUnicode_EqualToUTF8(keyword, parameter.name) != 1) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 parameter.function, keyword);
    return false;
  }
  if (value != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                 parameter.function, parameter.name);
    return false;
  }
  value = keyword_value;
  return true;
}

bool check_present(const Parameter& parameter, PyObject* value) noexcept {
  if (value != nullptr) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
               parameter.function, parameter.name);
  return false;
}

// Binds a vectorcall-style argument list. Returns a borrowed reference, or nullptr with a
// TypeError set.
PyObject* bind_fastcall(const Parameter& parameter, PyObject* const* args, Py_ssize_t count,
                        PyObject* keywords) noexcept {
  if (!check_positional_count(parameter, count)) return nullptr;
  PyObject* value = count == 1 ? args[0] : nullptr;
  if (keywords != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keywords);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      if (!bind_keyword(parameter, PyTuple_GET_ITEM(keywords, i), args[count + i], value)) {
        return nullptr;
      }
    }
  }
  return check_present(parameter, value) ? value : nullptr;
}

// Binds a tuple and an optional dict of keywords. Returns a borrowed reference (the caller's
// tuple or dict keeps it alive), or nullptr with a TypeError set.
PyObject* bind_tuple(const Parameter& parameter, PyObject* args, PyObject* keywords) noexcept {
  const Py_ssize_t count = PyTuple_GET_SIZE(args);
  if (!check_positional_count(parameter, count)) return nullptr;
  PyObject* value = count == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  bool bound = true;
  if (keywords != nullptr) {
    // The call machinery hands over a dict of its own, so it cannot change meanwhile.
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* keyword_value = nullptr;
    while (bound && PyDict_Next(keywords, &position, &keyword, &keyword_value)) {
      bound = bind_keyword(parameter, keyword, keyword_value, value);
    }
  }
  return bound && check_present(parameter, value) ? value : nullptr;
}

// Adds the note "while processing '<parameter>'" to the exception being raised, as
// BaseException.add_note does. If the note cannot be added, the original exception stays.
void note_parameter(const char* name) noexcept {
  PyObject* exception = PyErr_GetRaisedException();
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
  PyObject* added = note == nullptr ? nullptr : PyObject_CallMethod(exception, "add_note", "O", note);
  if (added == nullptr) PyErr_Clear();
  Py_XDECREF(added);
  Py_XDECREF(note);
  PyErr_SetRaisedException(exception);
}

const Parameter path_parameter{"RawReader.__new__", "path"};
const Parameter scan_index_parameter{"RawReader.read_spectrum", "scan_index"};

// Sets `text` to the UTF-8 text of a str, which lives as long as `path`. Returns false with an
// exception set when `path` is not a str or holds a lone surrogate.
bool path_text(PyObject* path, std::string_view& text) noexcept {
  if (path == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
  } else if (!PyUnicode_Check(path)) {
    PyObject* type_name = PyType_GetQualName(Py_TYPE(path));
    if (type_name != nullptr) {
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", type_name);
      Py_DECREF(type_name);
    }
  } else {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
    if (utf8 != nullptr) {
      text = std::string_view(utf8, static_cast<std::size_t>(size));
      return true;
    }
  }
  note_parameter(path_parameter.name);
  return false;
}

// An int (or int subclass) as it is, anything else through __index__. Returns false with an
// exception set; negative values and values of 2**64 or more raise OverflowError.
bool scan_index_value(PyObject* argument, unsigned long long& index) noexcept {
  PyObject* number = PyNumber_Index(argument);
  if (number != nullptr) {
    index = PyLong_AsUnsignedLongLong(number);
    Py_DECREF(number);
    if (index != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return true;
  }
  note_parameter(scan_index_parameter.name);
  return false;
}

// ---- The class ---------------------------------------------------------------------------

struct RawReaderState {
  vornak::Reader reader;
  std::vector<elmbrace::SpectrumRecord> records;
};

// The C++ state lives in raw storage after the object header, constructed in place once the
// interpreter has allocated the object and destroyed in place before it is freed.
struct RawReaderObject {
  PyObject_HEAD
  alignas(RawReaderState) std::byte storage[sizeof(RawReaderState)];
};

const RawReaderState& state_of(PyObject* self) noexcept {
  return *std::launder(reinterpret_cast<const RawReaderState*>(
      reinterpret_cast<RawReaderObject*>(self)->storage));
}

// The one place where a library error becomes a Python exception.
void raise_error(const vornak::Error& error) noexcept {
  PyErr_SetString(PyExc_RuntimeError, error.display().c_str());
}

// Every record of the reader's spectrum stream, in stream order. The stream never fails.
std::vector<elmbrace::SpectrumRecord> read_all_records(const vornak::Reader& reader) noexcept {
  std::vector<elmbrace::SpectrumRecord> records;
  const std::unique_ptr<elmbrace::SpectrumIterator> stream = reader.iter_spectra();
  records.reserve(static_cast<std::size_t>(stream->size_hint().lower));
  while (std::optional<elmbrace::SpectrumRecord> record = stream->next()) {
    records.push_back(std::move(*record));
  }
  return records;
}

// The thread stays attached to the interpreter throughout, file reading included.
PyObject* raw_reader_new(PyTypeObject* type, PyObject* args, PyObject* keywords) noexcept {
  PyObject* path = bind_tuple(path_parameter, args, keywords);
  if (path == nullptr) return nullptr;
  std::string_view text;
  if (!path_text(path, text)) return nullptr;
  vornak::Result<vornak::Reader> opened = vornak::Reader::open(text);
  if (!opened) {
    raise_error(opened.error());
    return nullptr;
  }
  std::vector<elmbrace::SpectrumRecord> records = read_all_records(*opened);

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // the reader and the records are released here
  new (reinterpret_cast<RawReaderObject*>(self)->storage)
      RawReaderState{std::move(*opened), std::move(records)};
  return self;
}

void raw_reader_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::launder(reinterpret_cast<RawReaderState*>(reinterpret_cast<RawReaderObject*>(self)->storage))
      ->~RawReaderState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* raw_reader_repr(PyObject* self) noexcept {
  const RawReaderState& state = state_of(self);
  // Decoded with its length, so a path holding NUL characters is shown whole.
  const std::string& folder = state.reader.folder_path();
  PyObject* path = PyUnicode_DecodeUTF8(folder.data(), static_cast<Py_ssize_t>(folder.size()),
                                        "surrogateescape");
  if (path == nullptr) return nullptr;
  PyObject* text = PyUnicode_FromFormat("RawReader('%U', %llu scans)", path,
                                        static_cast<unsigned long long>(state.records.size()));
  Py_DECREF(path);
  return text;
}

PyObject* get_scan_count(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(state_of(self).records.size());
}

PyObject* read_spectrum(PyObject* self, PyObject* const* args, Py_ssize_t count,
                        PyObject* keywords) noexcept {
  PyObject* argument = bind_fastcall(scan_index_parameter, args, count, keywords);
  if (argument == nullptr) return nullptr;
  unsigned long long index = 0;
  if (!scan_index_value(argument, index)) return nullptr;

  const std::vector<elmbrace::SpectrumRecord>& records = state_of(self).records;
  if (index >= records.size()) {
    PyErr_Format(PyExc_RuntimeError, "scan %llu out of range", index);
    return nullptr;
  }
  return make_spectrum(records[static_cast<std::size_t>(index)]);
}

PyGetSetDef raw_reader_getset[] = {
    {"scan_count", get_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef raw_reader_methods[] = {
    {"read_spectrum",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_spectrum)),
     METH_FASTCALL | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot raw_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(raw_reader_new)},
    {Py_tp_repr, reinterpret_cast<void*>(raw_reader_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(raw_reader_dealloc)},
    {Py_tp_getset, raw_reader_getset},
    {Py_tp_methods, raw_reader_methods},
    {0, nullptr},
};

// The "builtins." prefix gives __module__ "builtins"; without a dot there is no __module__.
PyType_Spec raw_reader_spec = {
    "builtins.RawReader",
    static_cast<int>(sizeof(RawReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    raw_reader_slots,
};

std::atomic<PyObject*> raw_reader_class{nullptr};

}  // namespace

PyTypeObject* raw_reader_type() noexcept { return class_once(raw_reader_class, raw_reader_spec); }

}  // namespace vornak::python
