// Escaping, number formatting and the other small text rules of the mzML writer.
#include "mzml_export/xml_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// `count` digits at `text[position]` whose value lies in [low, high]; moves past them.
bool digits(std::string_view text, std::size_t& position, std::size_t count, int low = 0, int high = 9999) {
  if (count > text.size() - position) return false;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!is_digit(text[position + i])) return false;
    value = value * 10 + (text[position + i] - '0');
  }
  position += count;
  return value >= low && value <= high;
}

bool literal(std::string_view text, std::size_t& position, char c) {
  if (position >= text.size() || text[position] != c) return false;
  ++position;
  return true;
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  const std::string valid = is_valid_utf8(text) ? std::string(text) : utf8_lossy(text);
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const char c = valid[i];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#x9;"; break;
      case '\n': out += "&#xA;"; break;
      case '\r': out += "&#xD;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += REPLACEMENT;
        } else if (c == '\xEF' && valid.size() - i >= 3 && valid[i + 1] == '\xBF' &&
                   (valid[i + 2] == '\xBE' || valid[i + 2] == '\xBF')) {
          out += REPLACEMENT;  // U+FFFE and U+FFFF are not XML characters
          i += 2;
        } else {
          out += c;
        }
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "INF" : "-INF";
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

std::string format_number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

void append_integer(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

std::string xml_identifier(std::string_view text) {
  std::string identifier;
  if (text.empty() || !(is_letter(text.front()) || text.front() == '_')) identifier += '_';
  for (const char c : text) {
    identifier += is_letter(c) || is_digit(c) || c == '.' || c == '-' || c == '_' ? c : '_';
  }
  return identifier;
}

std::string file_uri(std::string_view absolute_path) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (const char c : absolute_path) {
    if (is_letter(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      uri += '%';
      uri += HEX[byte >> 4];
      uri += HEX[byte & 0x0f];
    }
  }
  return uri;
}

bool is_xml_date_time(std::string_view text) noexcept {
  std::size_t position = 0;
  if (position < text.size() && text[position] == '-') ++position;
  if (!digits(text, position, 4) || !literal(text, position, '-') || !digits(text, position, 2, 1, 12) ||
      !literal(text, position, '-') || !digits(text, position, 2, 1, 31) || !literal(text, position, 'T') ||
      !digits(text, position, 2, 0, 23) || !literal(text, position, ':') || !digits(text, position, 2, 0, 59) ||
      !literal(text, position, ':') || !digits(text, position, 2, 0, 59)) {
    return false;
  }
  if (literal(text, position, '.')) {
    if (!digits(text, position, 1)) return false;
    while (position < text.size() && is_digit(text[position])) ++position;
  }
  if (position == text.size()) return true;
  if (literal(text, position, 'Z')) return position == text.size();
  if (text[position] != '+' && text[position] != '-') return false;
  ++position;
  return digits(text, position, 2, 0, 14) && literal(text, position, ':') && digits(text, position, 2, 0, 59) &&
         position == text.size();
}

}  // namespace vornak
