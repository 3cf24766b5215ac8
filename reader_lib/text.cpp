// UTF-8 validation and lossy conversion, following the "maximal subpart" replacement practice.
#include "reader_lib/text.hpp"

#include <cstddef>
#include <cstdint>

namespace vornak {
namespace {

// Length of the well-formed sequence starting at `position`, or 0 when it is ill-formed; then
// `subpart` holds the length of the maximal ill-formed prefix (at least 1) to replace.
std::size_t sequence_length(std::string_view bytes, std::size_t position, std::size_t& subpart) {
  const auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte_at(position);
  subpart = 1;
  if (lead < 0x80) return 1;

  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }

  // The second byte has a lead-dependent range; the rest are plain continuation bytes.
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size() - position) return 0;
    const std::uint8_t next = byte_at(position + i);
    if (next < low || next > high) return 0;
    low = 0x80;
    high = 0xBF;
    subpart = i + 1;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t position = 0;
  while (position < bytes.size()) {
    std::size_t subpart = 0;
    const std::size_t length = sequence_length(bytes, position, subpart);
    if (length == 0) return false;
    position += length;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t position = 0;
  while (position < bytes.size()) {
    std::size_t subpart = 0;
    const std::size_t length = sequence_length(bytes, position, subpart);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      position += subpart;
    } else {
      text.append(bytes.substr(position, length));
      position += length;
    }
  }
  return text;
}

}  // namespace vornak
