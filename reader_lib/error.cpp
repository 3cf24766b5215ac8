// Construction and display of reader errors.
#include "reader_lib/error.hpp"

#include <string.h>

namespace vornak {
namespace {

// strerror_r comes in two shapes: the XSI one returns int and fills the buffer, the GNU
// one returns a pointer that may or may not point into the buffer. Accept either.
[[maybe_unused]] const char* describe(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* describe(const char* result, const char*) { return result; }

std::string system_description(int error_number) {
  char buffer[256] = {};
  return describe(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

}  // namespace

Error Error::io(int error_number) {
  return Error(Kind::Io, error_number,
               system_description(error_number) + " (os error " + std::to_string(error_number) + ")");
}

Error Error::unexpected_eof() { return Error(Kind::Io, 0, "failed to fill whole buffer"); }

Error Error::parse(std::string message) { return Error(Kind::Parse, 0, std::move(message)); }

Error Error::folder(std::string message) { return Error(Kind::Folder, 0, std::move(message)); }

Error Error::with_context(std::string_view context) const {
  std::string text(context);
  text += ": ";
  text += text_;
  return Error(kind_, os_error_, std::move(text));
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::Folder: return "folder error: " + text_;
    case Kind::Parse: break;
  }
  return "parse error: " + text_;
}

}  // namespace vornak
