// UTF-8 helpers shared by the reader's units: validation and lossy display.
#pragma once

#include <string>
#include <string_view>

namespace vornak {

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// The bytes read as UTF-8, each maximal ill-formed subsequence replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::string_view bytes);

}  // namespace vornak
