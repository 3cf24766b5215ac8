// Checks shared by the two metadata targets: what any text read from a document must look like,
// and that a leading byte-order mark changes nothing.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/text.hpp"

namespace vornak::fuzz {

// Non-empty, well-formed UTF-8, no ASCII white space at either end.
inline bool is_trimmed_text(std::string_view text) {
  constexpr std::string_view ascii_space = " \t\n\v\f\r";
  return !text.empty() && is_valid_utf8(text) && ascii_space.find(text.front()) == std::string_view::npos &&
         ascii_space.find(text.back()) == std::string_view::npos;
}

// The document with a UTF-8 byte-order mark in front, when it does not start with one already.
inline bool prefix_byte_order_mark(ByteView document, std::vector<std::uint8_t>& with_mark) {
  constexpr std::uint8_t mark[] = {0xEF, 0xBB, 0xBF};
  if (document.size() >= 3 && document[0] == mark[0] && document[1] == mark[1] && document[2] == mark[2]) {
    return false;
  }
  with_mark.assign(std::begin(mark), std::end(mark));
  with_mark.insert(with_mark.end(), document.begin(), document.end());
  return true;
}

}  // namespace vornak::fuzz
