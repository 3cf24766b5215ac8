// Exact reads from files: one byte range, or a whole file. Nothing stays open after a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

// Exactly `length` bytes of `path` from `offset`. A range reaching past the end of the file
// fails with a Parse error before anything is read; open, size, seek and read failures are Io
// errors, and a file that shrinks under the read gives "failed to fill whole buffer".
[[nodiscard]] Result<ByteBuffer> read_bytes(const std::string& path, std::uint64_t offset,
                                            std::size_t length);

// The whole file at `path`. Failures are Io errors.
[[nodiscard]] Result<std::vector<std::uint8_t>> read_file(const std::string& path);

}  // namespace vornak
