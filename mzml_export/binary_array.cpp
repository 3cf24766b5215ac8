// Array bytes, Numpress-encoded or not, compressed to zlib streams by the library each choice
// names, inflated by zlib, and turned into base64 by libcrypto's block encoder.
#include "mzml_export/binary_array.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include <openssl/evp.h>
#include <zlib.h>

#include "mzml_export/numpress.hpp"

namespace vornak {
namespace {

static_assert(std::endian::native == std::endian::little, "mzML arrays are little-endian");

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

// Encodes `values` as `numpress` asks into `out` (emptied first); the codec used, or Plain when
// the values do not fit the encoding.
ArrayCodec encode_numpress(std::span<const double> values, Numpress numpress, std::vector<unsigned char>& out) {
  out.clear();
  // A one-value linear stream is valid, but a decoder in wide use (pyteomics' pynumpress) refuses
  // it: such an array is written plain.
  if (numpress == Numpress::Linear && values.size() == 1) return ArrayCodec::Plain;
  if (numpress == Numpress::Linear) {
    return numpress::encode_linear(values, numpress::linear_fixed_point(values), out) ? ArrayCodec::NumpressLinear
                                                                                     : ArrayCodec::Plain;
  }
  if (numpress == Numpress::Intensity) {
    if (numpress::fits_pic(values)) {
      return numpress::encode_pic(values, out) ? ArrayCodec::NumpressPositiveInteger : ArrayCodec::Plain;
    }
    return numpress::encode_slof(values, numpress::slof_fixed_point(values), out)
               ? ArrayCodec::NumpressShortLoggedFloat
               : ArrayCodec::Plain;
  }
  return ArrayCodec::Plain;
}

}  // namespace

DeflateChoice deflate_choice(Compression compression) {
  // Measured on the benchmark acquisition's arrays (bench/convert_floor_main.cpp --survey; the
  // figures are in README.md). ISA-L level 1 deflates about three times as fast as libdeflate's
  // fastest levels, its output a fifth larger than zlib's default level; its level 0 is barely
  // faster and a third larger again. libdeflate 6 is as small as zlib's default at twice its speed;
  // higher levels gain under 1% for several times the time.
  switch (compression) {
    case Compression::Fast: return {DeflateLibrary::Isal, 0};
    case Compression::Small: return {DeflateLibrary::Libdeflate, 6};
    case Compression::None:
    case Compression::Default: break;
  }
  return {DeflateLibrary::Isal, 1};
}

Result<PreparedArray> ArrayEncoder::append_base64(std::string& out, std::span<const double> values, FloatWidth width,
                                                  Compression compression, Numpress numpress) {
  auto prepared = prepare(values, width, compression, numpress);
  if (!prepared) return prepared;
  append_prepared(out);
  return prepared;
}

Result<PreparedArray> ArrayEncoder::prepare(std::span<const double> values, FloatWidth width, Compression compression,
                                            Numpress numpress) {
  prepared_ = {};
  PreparedArray result;
  // 64-bit values are already the stored bytes (little-endian); 32-bit ones are narrowed first.
  std::span<const unsigned char> raw(reinterpret_cast<const unsigned char*>(values.data()),
                                     values.size() * sizeof(double));
  result.codec = encode_numpress(values, numpress, raw_);
  if (result.codec != ArrayCodec::Plain) {
    raw = raw_;
  } else if (width == FloatWidth::Bits32) {
    raw_.resize(values.size() * sizeof(float));
    for (std::size_t i = 0; i < values.size(); ++i) {
      const float narrow = static_cast<float>(values[i]);
      std::memcpy(raw_.data() + i * sizeof(float), &narrow, sizeof(float));
    }
    raw = raw_;
  }
  if (compression != Compression::None) {
    auto& deflater = deflaters_[static_cast<std::size_t>(compression)];
    if (!deflater) {
      const DeflateChoice choice = deflate_choice(compression);
      deflater = std::make_unique<ZlibDeflater>(choice.library, choice.level);
    }
    if (auto packed = deflater->compress(raw, packed_); !packed) return std::unexpected(packed.error());
    raw = packed_;
    result.deflated = true;
  }
  prepared_ = raw;
  result.base64_length = 4 * ((raw.size() + 2) / 3);
  return result;
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

Result<std::vector<double>> decode_array_values(std::span<const unsigned char> bytes, ArrayCodec codec,
                                                FloatWidth width) {
  switch (codec) {
    case ArrayCodec::NumpressLinear: return numpress::decode_linear(bytes);
    case ArrayCodec::NumpressPositiveInteger: return numpress::decode_pic(bytes);
    case ArrayCodec::NumpressShortLoggedFloat: return numpress::decode_slof(bytes);
    case ArrayCodec::Plain: break;
  }
  const std::size_t size = width == FloatWidth::Bits64 ? sizeof(double) : sizeof(float);
  if (bytes.size() % size != 0) {
    return std::unexpected(Error::parse("array of " + std::to_string(bytes.size()) +
                                        " bytes is not a whole number of " + std::to_string(8 * size) + "-bit floats"));
  }
  std::vector<double> values(bytes.size() / size);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (width == FloatWidth::Bits64) {
      std::memcpy(&values[i], bytes.data() + i * size, size);
    } else {
      float narrow = 0;
      std::memcpy(&narrow, bytes.data() + i * size, size);
      values[i] = narrow;
    }
  }
  return values;
}

}  // namespace vornak
