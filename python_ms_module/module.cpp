// The vornak_ms._core extension module: NumPy arrays from the full reader, free-threading safe.
#include "python_ms_module/bindings.hpp"

NB_MODULE(_core, module) {
  namespace python_ms = vornak::python_ms;
  module.doc() = "Compiled core of vornak_ms; import vornak_ms instead.";
  module.attr("__version__") = VORNAK_VERSION;
  python_ms::bind_errors(module);
  python_ms::bind_spectrum(module);
  python_ms::bind_chromatogram(module);
  python_ms::bind_acquisition(module);
  python_ms::bind_convert(module);
}
