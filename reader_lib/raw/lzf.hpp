// Bounded LZF decompression: the output must come out at exactly the expected length.
#pragma once

#include <cstdint>
#include <span>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

#ifdef VORNAK_LZF_CAP
inline constexpr std::uint64_t MAX_DECOMPRESSED_LEN = VORNAK_LZF_CAP;  // lowered for fuzzing
#else
inline constexpr std::uint64_t MAX_DECOMPRESSED_LEN = std::uint64_t{1} << 29;  // 512 MiB
#endif

// Decodes one LZF stream into exactly `expected_length` bytes. Lengths above
// MAX_DECOMPRESSED_LEN are refused before anything is reserved; a damaged stream, or one that
// does not produce exactly the expected length, is a Parse error.
[[nodiscard]] Result<ByteBuffer> decompress(ByteView input, std::uint64_t expected_length);

// The refusal of lengths above MAX_DECOMPRESSED_LEN, for callers that reserve the output themselves.
[[nodiscard]] Result<void> check_decompressed_length(std::uint64_t expected_length);

// The same into `output`, which the stream must fill exactly (its size passed
// check_decompressed_length); on an error its content is unspecified. Used where one buffer
// serves many blocks.
[[nodiscard]] Result<void> decompress_into(ByteView input, std::span<std::uint8_t> output);

}  // namespace vornak
