// The vornak_ms exception hierarchy, and the one place that turns library errors into it.
#include <string>

#include "python_ms_module/bindings.hpp"

namespace vornak::python_ms {

namespace {

// Fails at the folder itself, before any file of the scan index has been parsed: it is not an
// acquisition, or a file cannot be read (the message names it).
bool is_folder_error(const Error& error) {
  return error.kind() == Error::Kind::Io || error.kind() == Error::Kind::Folder;
}

}  // namespace

void raise_open_error(const Error& error) {
  if (is_folder_error(error)) throw FolderFailure(error.display());
  throw ScanIndexFailure(error.display());
}

void raise_block_error(const Error& error) { throw BlockFailure(error.display()); }

void bind_errors(nb::module_& module) {
  // nanobind tries translators newest first, so each subclass is registered after its base.
  nb::exception<LibraryFailure> base(module, "Error");
  base.attr("__doc__") = "Base class of every error vornak_ms raises about an acquisition.";
  nb::exception<FolderFailure> folder(module, "FolderError", base);
  folder.attr("__doc__") = "The folder cannot be opened as an acquisition: it or its AcqData folder or "
                 "MSScan.bin is missing or unreadable, or the path is something else (the message says "
                 "what, and what to give instead).";
  nb::exception<ScanIndexFailure> scan_index(module, "ScanIndexError", base);
  scan_index.attr("__doc__") = "The scan index (MSScan.bin, MSScan.xsd) or the calibration read with it "
                     "at opening is damaged.";
  nb::exception<BlockFailure> block(module, "BlockError", base);
  block.attr("__doc__") = "A spectrum's block cannot be read or decoded; the message names the scan index.";
}

}  // namespace vornak::python_ms
