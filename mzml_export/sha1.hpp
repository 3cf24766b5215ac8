// SHA-1 digests through libcrypto: an incremental hasher, and the digest of a file's leading bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "reader_lib/error.hpp"

namespace vornak {

class Sha1 {
 public:
  // A hasher ready for input; libcrypto failing to set one up is a Parse error.
  [[nodiscard]] static Result<Sha1> create();

  Sha1(Sha1&&) noexcept;
  Sha1& operator=(Sha1&&) noexcept;
  ~Sha1();

  void update(std::string_view bytes) noexcept;
  // The digest of everything given so far, as 40 lowercase hex digits; the hasher starts over.
  [[nodiscard]] std::string hex_digest() noexcept;

 private:
  struct Context;
  explicit Sha1(std::unique_ptr<Context> context) noexcept;
  std::unique_ptr<Context> context_;
};

// The SHA-1 of the whole file at `path`, as lowercase hex; open and read failures are Io errors.
[[nodiscard]] Result<std::string> sha1_of_file(const std::string& path);
// The SHA-1 of the first `length` bytes of the open file `descriptor`, as lowercase hex. A file
// shorter than `length` is an unexpected-end-of-file Io error.
[[nodiscard]] Result<std::string> sha1_of_file_prefix(int descriptor, std::uint64_t length);

}  // namespace vornak
