// The temporary output file: created exclusively beside the final name, written through one
// buffer, renamed into place at the end and removed on every other way out.
#include "mzml_export/output_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace vornak {
namespace {

constexpr std::size_t BUFFER_SIZE = std::size_t{4} << 20;
constexpr int NAME_ATTEMPTS = 100;

std::atomic<std::uint64_t> temporary_counter{0};

// The folder part of `path` with its trailing separator ("" for a bare name) and the name.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

Result<void> write_all(int descriptor, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t count = ::write(descriptor, data, length);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    data += count;
    length -= static_cast<std::size_t>(count);
  }
  return {};
}

}  // namespace

OutputFile::OutputFile(int descriptor, std::string temporary_path, std::string final_path)
    : descriptor_(descriptor), temporary_path_(std::move(temporary_path)), final_path_(std::move(final_path)) {
  buffer_.reserve(BUFFER_SIZE);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      temporary_path_(std::move(other.temporary_path_)),
      final_path_(std::move(other.final_path_)),
      buffer_(std::move(other.buffer_)),
      offset_(other.offset_),
      committed_(std::exchange(other.committed_, true)) {}

OutputFile::~OutputFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
  if (!committed_) ::unlink(temporary_path_.c_str());
}

Result<OutputFile> OutputFile::create(const std::string& final_path) {
  if (final_path.find('\0') != std::string::npos) return std::unexpected(Error::io(EINVAL));
  const auto [folder, name] = split_path(final_path);
  if (name.empty()) return std::unexpected(Error::io(EISDIR));
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string candidate = folder + "." + name + "." + std::to_string(::getpid()) + "-" +
                                  std::to_string(temporary_counter.fetch_add(1)) + "-" +
                                  std::to_string(ticks % 1000000007u) + ".tmp";
    int descriptor = -1;
    do {
      descriptor = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor >= 0) return OutputFile(descriptor, candidate, final_path);
    if (errno != EEXIST) return std::unexpected(Error::io(errno));
  }
  return std::unexpected(Error::io(EEXIST));
}

Result<void> OutputFile::write(std::string_view bytes) {
  offset_ += bytes.size();
  if (bytes.size() > BUFFER_SIZE - buffer_.size()) {
    if (auto flushed = flush(); !flushed) return flushed;
    if (bytes.size() >= BUFFER_SIZE) return write_all(descriptor_, bytes.data(), bytes.size());
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> OutputFile::flush() {
  if (buffer_.empty()) return {};
  auto written = write_all(descriptor_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return written;
}

Result<void> OutputFile::overwrite(std::uint64_t offset, std::string_view bytes) {
  if (offset > offset_ || bytes.size() > offset_ - offset) return std::unexpected(Error::io(EINVAL));
  if (auto flushed = flush(); !flushed) return flushed;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count =
        ::pwrite(descriptor_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    done += static_cast<std::size_t>(count);
  }
  return {};
}

Result<void> OutputFile::commit() {
  if (auto flushed = flush(); !flushed) return flushed;
  const int descriptor = std::exchange(descriptor_, -1);
  if (::close(descriptor) != 0 && errno != EINTR) return std::unexpected(Error::io(errno));
  if (::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) return std::unexpected(Error::io(errno));
  committed_ = true;
  return {};
}

}  // namespace vornak
