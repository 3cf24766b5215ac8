// Text pieces of the mzML document: escaped attribute text, numbers, identifiers, file URIs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vornak {

// Appends `text` for use inside a double-quoted attribute or element content: markup characters
// and tab, newline and carriage return become references; ill-formed UTF-8 and characters XML
// does not allow become U+FFFD.
void append_escaped(std::string& out, std::string_view text);
[[nodiscard]] std::string escaped(std::string_view text);

// The shortest decimal text that reads back as exactly `value`; "NaN", "INF" and "-INF" for the
// values that have no decimal form (the xs:double spellings).
[[nodiscard]] std::string format_number(double value);
void append_number(std::string& out, double value);
void append_integer(std::string& out, std::uint64_t value);

// `text` made into an XML identifier (xs:ID): characters other than ASCII letters, digits, '.',
// '-' and '_' become '_', and one '_' goes in front of a first character that cannot start an
// identifier. Empty text gives "_".
[[nodiscard]] std::string xml_identifier(std::string_view text);

// A "file://" URI for an absolute path, with every byte outside the unreserved set and "/"
// percent-encoded.
[[nodiscard]] std::string file_uri(std::string_view absolute_path);

// True when `text` is an xs:dateTime: [-]YYYY-MM-DDThh:mm:ss[.fraction][Z|(+|-)hh:mm], with
// month, day, hour, minute, second and zone offset in range.
[[nodiscard]] bool is_xml_date_time(std::string_view text) noexcept;

}  // namespace vornak
