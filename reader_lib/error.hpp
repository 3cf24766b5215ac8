// The reader library's one error type: an I/O failure, a ready-made parse message, or a folder
// that is not an acquisition this reader opens.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vornak {

class Error {
 public:
  enum class Kind { Io, Parse, Folder };

  // An operating-system error; its text is the system's description plus " (os error N)".
  [[nodiscard]] static Error io(int error_number);
  // The end of a file reached before an exact read was satisfied.
  [[nodiscard]] static Error unexpected_eof();
  // A malformed, truncated or inconsistent content, described by a complete message.
  [[nodiscard]] static Error parse(std::string message);
  // The path given is not an acquisition folder, or its names are ambiguous; the message says
  // what the path is and what to do.
  [[nodiscard]] static Error folder(std::string message);

  // This error with `context` and ": " in front of its text, e.g. "cannot read X/MSScan.bin";
  // the kind and the system error number stay.
  [[nodiscard]] Error with_context(std::string_view context) const;

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  // The error's own text, without the kind's prefix.
  [[nodiscard]] const std::string& message() const noexcept { return text_; }
  // The system error number of an Io error, 0 for the end-of-file condition and for Parse.
  [[nodiscard]] int os_error() const noexcept { return os_error_; }
  // "I/O error: ", "parse error: " or "folder error: " followed by the error's own text.
  [[nodiscard]] std::string display() const;

 private:
  Error(Kind kind, int os_error, std::string text)
      : kind_(kind), os_error_(os_error), text_(std::move(text)) {}

  Kind kind_;
  int os_error_;
  std::string text_;
};

template <typename T>
using Result = std::expected<T, Error>;

}  // namespace vornak
