// Exact reads from files: one byte range, or a whole file, with nothing left open after a call;
// and a file held open for positioned reads from many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
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

// A file opened once and read by positioned reads (pread), which share no file position, so
// any number of threads may read one BlockFile at once. The size is taken at opening.
class BlockFile {
 public:
  BlockFile(BlockFile&& other) noexcept;
  BlockFile& operator=(BlockFile&& other) noexcept;
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;
  ~BlockFile();

  // Opens `path` for reading. Failures are Io errors.
  [[nodiscard]] static Result<BlockFile> open(const std::string& path);

  // Exactly `length` bytes from `offset`, with read_bytes' checks and messages: a range past
  // the end is a Parse error before anything is read, a file that shrank gives
  // "failed to fill whole buffer".
  [[nodiscard]] Result<ByteBuffer> read(std::uint64_t offset, std::size_t length) const;

  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  BlockFile(int descriptor, std::uint64_t size, std::string path) noexcept
      : descriptor_(descriptor), size_(size), path_(std::move(path)) {}

  int descriptor_ = -1;
  std::uint64_t size_ = 0;
  std::string path_;
};

}  // namespace vornak
