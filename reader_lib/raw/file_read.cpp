// Exact positioned reads and whole-file reads over POSIX file descriptors.
#include "reader_lib/raw/file_read.hpp"

#include <cerrno>
#include <limits>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reader_lib/text.hpp"

namespace vornak {
namespace {

// Owns one open descriptor and closes it on every path out of the caller.
class FileHandle {
 public:
  explicit FileHandle(int descriptor) noexcept : descriptor_(descriptor) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  [[nodiscard]] int get() const noexcept { return descriptor_; }
  // Gives the descriptor up: the caller closes it from now on.
  [[nodiscard]] int release() noexcept { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_;
};

Result<int> open_for_reading(const std::string& path) {
  // A NUL byte would end the name early at the system call and open some other file.
  if (path.find('\0') != std::string::npos) return std::unexpected(Error::io(EINVAL));
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return std::unexpected(Error::io(errno));
  return descriptor;
}

Result<std::uint64_t> file_size(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return std::unexpected(Error::io(errno));
  return static_cast<std::uint64_t>(status.st_size);
}

// Reads into [data, data + length) until full. Returns the count read, which is short only
// at the end of the file.
Result<std::size_t> read_up_to(int descriptor, std::uint8_t* data, std::size_t length) {
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t count = ::read(descriptor, data + filled, length - filled);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  return filled;
}

// The range [offset, offset + length) must lie inside a file of `size` bytes, and the offset
// must be one the system can seek to.
Result<void> check_range(const std::string& path, std::uint64_t size, std::uint64_t offset, std::size_t length) {
  const std::uint64_t remaining = size >= offset ? size - offset : 0;
  if (length > remaining) {
    return std::unexpected(Error::parse("read_bytes: requested " + std::to_string(length) + " bytes at offset " +
                                        std::to_string(offset) + " but " + utf8_lossy(path) + " has only " +
                                        std::to_string(remaining) + " bytes remaining"));
  }
  // An offset that off_t cannot hold is one the system would refuse to seek to.
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(Error::io(EINVAL));
  }
  return {};
}

}  // namespace

Result<ByteBuffer> read_bytes(const std::string& path, std::uint64_t offset, std::size_t length) {
  const auto descriptor = open_for_reading(path);
  if (!descriptor) return std::unexpected(descriptor.error());
  const FileHandle file(*descriptor);

  const auto size = file_size(file.get());
  if (!size) return std::unexpected(size.error());
  if (auto range = check_range(path, *size, offset, length); !range) return std::unexpected(range.error());
  if (::lseek(file.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return std::unexpected(Error::io(errno));
  if (length == 0) return ByteBuffer();

  ByteBuffer buffer(length);
  const auto filled = read_up_to(file.get(), buffer.data(), length);
  if (!filled) return std::unexpected(filled.error());
  if (*filled != length) return std::unexpected(Error::unexpected_eof());
  return buffer;
}

Result<std::vector<std::uint8_t>> read_file(const std::string& path) {
  const auto descriptor = open_for_reading(path);
  if (!descriptor) return std::unexpected(descriptor.error());
  const FileHandle file(*descriptor);

  // The size is a first guess: read on until the end, in case the file grows meanwhile.
  const auto size = file_size(file.get());
  if (!size) return std::unexpected(size.error());
  std::vector<std::uint8_t> contents(static_cast<std::size_t>(*size) + 1);
  std::size_t total = 0;
  for (;;) {
    const auto filled = read_up_to(file.get(), contents.data() + total, contents.size() - total);
    if (!filled) return std::unexpected(filled.error());
    total += *filled;
    if (total < contents.size()) break;
    contents.resize(contents.size() * 2);
  }
  contents.resize(total);
  return contents;
}

BlockFile::BlockFile(BlockFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), size_(other.size_), path_(std::move(other.path_)) {}

BlockFile& BlockFile::operator=(BlockFile&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
    size_ = other.size_;
    path_ = std::move(other.path_);
  }
  return *this;
}

BlockFile::~BlockFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

Result<BlockFile> BlockFile::open(const std::string& path) {
  const auto descriptor = open_for_reading(path);
  if (!descriptor) return std::unexpected(descriptor.error());
  FileHandle file(*descriptor);
  const auto size = file_size(file.get());
  if (!size) return std::unexpected(size.error());
  return BlockFile(file.release(), *size, path);
}

Result<ByteBuffer> BlockFile::read(std::uint64_t offset, std::size_t length) const {
  if (auto range = check_range(path_, size_, offset, length); !range) return std::unexpected(range.error());
  if (length == 0) return ByteBuffer();

  // for filled = 0 while filled < length: count = pread(at offset + filled); 0 means the file shrank
  ByteBuffer buffer(length);
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t count =
        ::pread(descriptor_, buffer.data() + filled, length - filled, static_cast<off_t>(offset + filled));
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    if (count == 0) return std::unexpected(Error::unexpected_eof());
    filled += static_cast<std::size_t>(count);
  }
  return buffer;
}

}  // namespace vornak
