// Array bytes compressed to zlib streams by libdeflate, inflated by zlib, and turned into base64
// by libcrypto's block encoder.
#include "mzml_export/binary_array.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include <libdeflate.h>
#include <openssl/evp.h>
#include <zlib.h>

namespace vornak {
namespace {

static_assert(std::endian::native == std::endian::little, "mzML arrays are little-endian");

// On spectra, level 2 compresses m/z arrays as well as zlib's default level (level 1 leaves them
// a fifth larger) at about four times its speed, and intensities within a few percent of it.
constexpr int COMPRESSION_LEVEL = 2;

// Base64 is encoded in pieces of this many input bytes (a multiple of 3, so pieces join).
constexpr std::size_t BASE64_PIECE = std::size_t{3} << 20;

void append_encoded(std::string& out, const unsigned char* data, std::size_t length) {
  const std::size_t start = out.size();
  out.resize(start + 4 * ((length + 2) / 3));
  auto* target = reinterpret_cast<unsigned char*>(out.data() + start);
  while (length > 0) {
    const std::size_t piece = length < BASE64_PIECE ? length : BASE64_PIECE;
    const int written = EVP_EncodeBlock(target, data, static_cast<int>(piece));
    target += written;
    data += piece;
    length -= piece;
  }
}

}  // namespace

void ArrayEncoder::CompressorDeleter::operator()(void* compressor) const noexcept {
  libdeflate_free_compressor(static_cast<libdeflate_compressor*>(compressor));
}

Result<std::size_t> ArrayEncoder::append_base64(std::string& out, std::span<const double> values, FloatWidth width,
                                                 bool compress) {
  auto length = prepare(values, width, compress);
  if (!length) return length;
  append_prepared(out);
  return length;
}

Result<std::size_t> ArrayEncoder::prepare(std::span<const double> values, FloatWidth width, bool compress) {
  prepared_ = {};
  // 64-bit values are already the stored bytes (little-endian); 32-bit ones are narrowed first.
  std::span<const unsigned char> raw(reinterpret_cast<const unsigned char*>(values.data()),
                                     values.size() * sizeof(double));
  if (width == FloatWidth::Bits32) {
    raw_.resize(values.size() * sizeof(float));
    for (std::size_t i = 0; i < values.size(); ++i) {
      const float narrow = static_cast<float>(values[i]);
      std::memcpy(raw_.data() + i * sizeof(float), &narrow, sizeof(float));
    }
    raw = raw_;
  }
  if (compress) {
    if (!compressor_) {
      compressor_.reset(libdeflate_alloc_compressor(COMPRESSION_LEVEL));
      if (!compressor_) return std::unexpected(Error::parse("libdeflate could not set up a compressor"));
    }
    auto* compressor = static_cast<libdeflate_compressor*>(compressor_.get());
    packed_.resize(libdeflate_zlib_compress_bound(compressor, raw.size()));
    const std::size_t packed_size =
        libdeflate_zlib_compress(compressor, raw.data(), raw.size(), packed_.data(), packed_.size());
    if (packed_size == 0) {
      return std::unexpected(
          Error::parse("libdeflate could not compress an array of " + std::to_string(values.size()) + " values"));
    }
    raw = std::span<const unsigned char>(packed_.data(), packed_size);
  }
  prepared_ = raw;
  return 4 * ((raw.size() + 2) / 3);
}

void ArrayEncoder::append_prepared(std::string& out) const {
  append_encoded(out, prepared_.data(), prepared_.size());
}

Result<std::vector<unsigned char>> decode_base64_array(std::string_view text, bool compressed) {
  if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return std::unexpected(Error::parse("base64 text of " + std::to_string(text.size()) + " characters"));
  }
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  const int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (decoded < 0) return std::unexpected(Error::parse("malformed base64 text"));
  std::size_t length = static_cast<std::size_t>(decoded);
  // EVP_DecodeBlock counts the padding as zero bytes.
  if (!text.empty() && text.back() == '=') --length;
  if (text.size() >= 2 && text[text.size() - 2] == '=') --length;
  bytes.resize(length);
  if (!compressed) return bytes;

  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return std::unexpected(Error::parse("zlib could not start inflating"));
  std::vector<unsigned char> out;
  std::vector<unsigned char> piece(std::size_t{1} << 16);
  stream.next_in = bytes.data();
  stream.avail_in = static_cast<uInt>(bytes.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = piece.data();
    stream.avail_out = static_cast<uInt>(piece.size());
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), piece.data(), piece.data() + (piece.size() - stream.avail_out));
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::unexpected(Error::parse("the array does not inflate (status " +
                                                                  std::to_string(status) + ")"));
  return out;
}

}  // namespace vornak
