// The temporary output file: created exclusively beside the final name, written through one
// buffer, made durable and renamed into place at the end, and removed on every other way out.
#include "mzml_export/output_file.hpp"

#include "reader_lib/text.hpp"

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

// fsync, retried when a signal interrupts it.
int sync_descriptor(int descriptor) {
  int result = 0;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Makes the folder's entries durable, so that a rename in it survives a power cut. File systems
// that cannot sync a folder say EINVAL (or ENOTSUP); their renames are as durable as they get.
Result<void> sync_folder(const std::string& folder) {
  const std::string path = folder.empty() ? "." : folder;
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return std::unexpected(Error::io(errno));
  const int result = sync_descriptor(descriptor);
  const int error = errno;
  ::close(descriptor);
  if (result != 0 && error != EINVAL && error != ENOTSUP) return std::unexpected(Error::io(error));
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
  const std::string context = "cannot create a temporary file for " + utf8_lossy(final_path);
  if (final_path.find('\0') != std::string::npos) return std::unexpected(Error::io(EINVAL).with_context(context));
  const auto [folder, name] = split_path(final_path);
  if (name.empty()) return std::unexpected(Error::io(EISDIR).with_context(context));
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
    if (errno != EEXIST) return std::unexpected(Error::io(errno).with_context(context));
  }
  return std::unexpected(Error::io(EEXIST).with_context(context));
}

Result<void> OutputFile::write(std::string_view bytes) {
  offset_ += bytes.size();
  if (bytes.size() > BUFFER_SIZE - buffer_.size()) {
    if (auto flushed = flush(); !flushed) return flushed;
    if (bytes.size() >= BUFFER_SIZE) return written(write_all(descriptor_, bytes.data(), bytes.size()));
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> OutputFile::flush() {
  if (buffer_.empty()) return {};
  auto result = write_all(descriptor_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return written(std::move(result));
}

Result<void> OutputFile::overwrite(std::uint64_t offset, std::string_view bytes) {
  if (offset > offset_ || bytes.size() > offset_ - offset) return written(std::unexpected(Error::io(EINVAL)));
  if (auto flushed = flush(); !flushed) return flushed;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count =
        ::pwrite(descriptor_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      return written(std::unexpected(Error::io(errno)));
    }
    done += static_cast<std::size_t>(count);
  }
  return {};
}

Result<void> OutputFile::written(Result<void> result) const {
  if (result) return result;
  return std::unexpected(result.error().with_context("cannot write " + utf8_lossy(temporary_path_)));
}

// The order makes the file durable under its final name: its bytes reach the disk before the
// name points at them (else a power cut could leave the new name on a short file), and the
// folder after the rename (else the rename itself could be lost).
Result<void> OutputFile::commit() {
  if (auto flushed = flush(); !flushed) return flushed;
  if (sync_descriptor(descriptor_) != 0) {
    return std::unexpected(Error::io(errno).with_context("cannot flush " + utf8_lossy(temporary_path_) + " to disk"));
  }
  const int descriptor = std::exchange(descriptor_, -1);
  if (::close(descriptor) != 0 && errno != EINTR) {
    return std::unexpected(Error::io(errno).with_context("cannot close " + utf8_lossy(temporary_path_)));
  }
  if (::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) {
    return std::unexpected(Error::io(errno).with_context("cannot rename " + utf8_lossy(temporary_path_) + " to " +
                                                         utf8_lossy(final_path_)));
  }
  committed_ = true;
  if (auto synced = sync_folder(split_path(final_path_).first); !synced) {
    return std::unexpected(synced.error().with_context("wrote " + utf8_lossy(final_path_) +
                                                       " but cannot flush its folder to disk"));
  }
  return {};
}

}  // namespace vornak
