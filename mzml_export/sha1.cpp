// SHA-1 through libcrypto's EVP interface (the low-level SHA1_* calls are deprecated).
#include "mzml_export/sha1.hpp"

#include <array>
#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace vornak {
namespace {

constexpr std::size_t READ_CHUNK = std::size_t{1} << 20;

std::string to_hex(const unsigned char* digest, unsigned int length) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * std::size_t{length});
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(DIGITS[digest[i] >> 4]);
    text.push_back(DIGITS[digest[i] & 0x0f]);
  }
  return text;
}

// Reads into `buffer` until full or the end of the file; the count read.
Result<std::size_t> read_some(int descriptor, std::uint64_t offset, std::vector<char>& buffer, std::size_t wanted) {
  std::size_t filled = 0;
  while (filled < wanted) {
    const ssize_t count = ::pread(descriptor, buffer.data() + filled, wanted - filled,
                                  static_cast<off_t>(offset + filled));
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io(errno));
    }
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  return filled;
}

}  // namespace

struct Sha1::Context {
  EVP_MD_CTX* context = nullptr;
  ~Context() { EVP_MD_CTX_free(context); }
};

Sha1::Sha1(std::unique_ptr<Context> context) noexcept : context_(std::move(context)) {}
Sha1::Sha1(Sha1&&) noexcept = default;
Sha1& Sha1::operator=(Sha1&&) noexcept = default;
Sha1::~Sha1() = default;

Result<Sha1> Sha1::create() {
  auto context = std::make_unique<Context>();
  context->context = EVP_MD_CTX_new();
  if (context->context == nullptr || EVP_DigestInit_ex(context->context, EVP_sha1(), nullptr) != 1) {
    return std::unexpected(Error::parse("SHA-1 is not available from libcrypto"));
  }
  return Sha1(std::move(context));
}

void Sha1::update(std::string_view bytes) noexcept {
  EVP_DigestUpdate(context_->context, bytes.data(), bytes.size());
}

std::string Sha1::hex_digest() noexcept {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->context, digest.data(), &length);
  EVP_DigestInit_ex(context_->context, EVP_sha1(), nullptr);
  return to_hex(digest.data(), length);
}

Result<std::string> sha1_of_file_prefix(int descriptor, std::uint64_t length) {
  auto hasher = Sha1::create();
  if (!hasher) return std::unexpected(hasher.error());
  std::vector<char> buffer(READ_CHUNK);
  std::uint64_t done = 0;
  while (done < length) {
    const std::size_t wanted = length - done < READ_CHUNK ? static_cast<std::size_t>(length - done) : READ_CHUNK;
    const auto count = read_some(descriptor, done, buffer, wanted);
    if (!count) return std::unexpected(count.error());
    if (*count < wanted) return std::unexpected(Error::unexpected_eof());
    hasher->update({buffer.data(), *count});
    done += *count;
  }
  return hasher->hex_digest();
}

Result<std::string> sha1_of_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::unexpected(Error::io(EINVAL));
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return std::unexpected(Error::io(errno));
  auto hasher = Sha1::create();
  if (!hasher) {
    ::close(descriptor);
    return std::unexpected(hasher.error());
  }
  std::vector<char> buffer(READ_CHUNK);
  std::uint64_t done = 0;
  for (;;) {
    const auto count = read_some(descriptor, done, buffer, READ_CHUNK);
    if (!count) {
      ::close(descriptor);
      return std::unexpected(count.error());
    }
    if (*count == 0) break;
    hasher->update({buffer.data(), *count});
    done += *count;
  }
  ::close(descriptor);
  return hasher->hex_digest();
}

}  // namespace vornak
