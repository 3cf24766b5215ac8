// The three deflate libraries behind one call. ISA-L and zlib are streaming interfaces: the
// input goes in pieces their 32-bit counters can hold and the output grows while they ask for
// room; libdeflate compresses the whole buffer into its stated bound at once.
#include "mzml_export/deflate.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

namespace vornak {
namespace {

constexpr std::size_t PIECE = std::size_t{1} << 30;  // input handed over at once, below 2^32

// Room for the stream of `length` bytes in the common case: stored blocks cost 5 bytes per
// 64 KiB, the zlib header and trailer 6. The streaming libraries ask for more if needed.
std::size_t first_guess(std::size_t length) { return length + 5 * (length / 65535 + 1) + 64; }

std::size_t isal_level_buffer(int level) {
  switch (level) {
    case 0: return ISAL_DEF_LVL0_DEFAULT;
    case 1: return ISAL_DEF_LVL1_DEFAULT;
    case 2: return ISAL_DEF_LVL2_DEFAULT;
    default: return ISAL_DEF_LVL3_DEFAULT;
  }
}

}  // namespace

std::string_view library_name(DeflateLibrary library) {
  switch (library) {
    case DeflateLibrary::Isal: return "isal";
    case DeflateLibrary::Libdeflate: return "libdeflate";
    case DeflateLibrary::Zlib: return "zlib";
  }
  return "?";
}

struct ZlibDeflater::State {
  // ISA-L
  isal_zstream isal{};
  std::vector<unsigned char> level_buffer;
  // libdeflate
  libdeflate_compressor* libdeflate = nullptr;
  // zlib
  z_stream zlib{};
  bool zlib_ready = false;

  ~State() {
    if (libdeflate != nullptr) libdeflate_free_compressor(libdeflate);
    if (zlib_ready) deflateEnd(&zlib);
  }
};

ZlibDeflater::ZlibDeflater(DeflateLibrary library, int level) : library_(library), level_(level) {}
ZlibDeflater::ZlibDeflater(ZlibDeflater&&) noexcept = default;
ZlibDeflater& ZlibDeflater::operator=(ZlibDeflater&&) noexcept = default;
ZlibDeflater::~ZlibDeflater() = default;

Result<void> ZlibDeflater::compress(std::span<const unsigned char> input, std::vector<unsigned char>& out) {
  if (!state_) state_ = std::make_unique<State>();
  State& state = *state_;
  const auto failed = [&](const std::string& what) {
    return std::unexpected(Error::parse(std::string(library_name(library_)) + " level " + std::to_string(level_) +
                                        " " + what + " (an array of " + std::to_string(input.size()) + " bytes)"));
  };
  out.resize(first_guess(input.size()));

  switch (library_) {
    case DeflateLibrary::Libdeflate: {
      if (state.libdeflate == nullptr) {
        state.libdeflate = libdeflate_alloc_compressor(level_);
        if (state.libdeflate == nullptr) return failed("could not set up a compressor");
      }
      out.resize(libdeflate_zlib_compress_bound(state.libdeflate, input.size()));
      const std::size_t length =
          libdeflate_zlib_compress(state.libdeflate, input.data(), input.size(), out.data(), out.size());
      if (length == 0) return failed("could not compress");
      out.resize(length);
      return {};
    }

    case DeflateLibrary::Isal: {
      if (level_ < 0 || level_ > ISAL_DEF_MAX_LEVEL) return failed("is not a level");
      isal_zstream& stream = state.isal;
      isal_deflate_init(&stream);
      state.level_buffer.resize(isal_level_buffer(level_));
      stream.level = static_cast<std::uint32_t>(level_);
      stream.level_buf = state.level_buffer.data();
      stream.level_buf_size = static_cast<std::uint32_t>(state.level_buffer.size());
      stream.gzip_flag = IGZIP_ZLIB;
      stream.flush = NO_FLUSH;
      std::size_t consumed = 0;
      std::size_t produced = 0;
      while (true) {
        if (stream.avail_in == 0) {
          const std::size_t piece = std::min(PIECE, input.size() - consumed);
          stream.next_in = const_cast<std::uint8_t*>(input.data() + consumed);  // ISA-L only reads it
          stream.avail_in = static_cast<std::uint32_t>(piece);
          consumed += piece;
          stream.end_of_stream = consumed == input.size() ? 1 : 0;
        }
        if (produced == out.size()) out.resize(out.size() + out.size() / 2 + 1024);
        const std::size_t room = std::min(PIECE, out.size() - produced);
        stream.next_out = out.data() + produced;
        stream.avail_out = static_cast<std::uint32_t>(room);
        if (isal_deflate(&stream) != COMP_OK) return failed("could not compress");
        produced += room - stream.avail_out;
        if (stream.internal_state.state == ZSTATE_END) break;
      }
      out.resize(produced);
      return {};
    }

    case DeflateLibrary::Zlib: {
      z_stream& stream = state.zlib;
      if (!state.zlib_ready) {
        if (deflateInit(&stream, level_) != Z_OK) return failed("could not set up a compressor");
        state.zlib_ready = true;
      } else if (deflateReset(&stream) != Z_OK) {
        return failed("could not start again");
      }
      std::size_t consumed = 0;
      std::size_t produced = 0;
      int status = Z_OK;
      while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && consumed < input.size()) {
          const std::size_t piece = std::min(PIECE, input.size() - consumed);
          stream.next_in = const_cast<Bytef*>(input.data() + consumed);  // zlib only reads it
          stream.avail_in = static_cast<uInt>(piece);
          consumed += piece;
        }
        if (produced == out.size()) out.resize(out.size() + out.size() / 2 + 1024);
        const std::size_t room = std::min(PIECE, out.size() - produced);
        stream.next_out = out.data() + produced;
        stream.avail_out = static_cast<uInt>(room);
        status = deflate(&stream, consumed == input.size() ? Z_FINISH : Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return failed("could not compress");
        produced += room - stream.avail_out;
      }
      out.resize(produced);
      return {};
    }
  }
  return failed("is not a library");
}

}  // namespace vornak
