// The acquisition's XML documents: the first device of Devices.xml and the acquisition time
// of Contents.xml, and the strict document loading that other XML readers share. Nothing here
// reports errors: an unusable document yields absent.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "reader_lib/raw/bytes.hpp"

namespace vornak {

struct DeviceInfo {
  std::string name;          // never empty
  std::string model_number;  // never empty, e.g. "G6530B"

  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// A qualified XML name split at its colon: "xs:int" has prefix "xs" and local part "int". A
// name without exactly one colon between non-empty parts has no prefix and is its own local part.
struct QualifiedName {
  std::string_view prefix;
  std::string_view local;
};
[[nodiscard]] QualifiedName split_qualified_name(std::string_view name);

// The local part of a node's name ("xs:element" -> "element").
[[nodiscard]] std::string_view local_name(const pugi::xml_node& node);

// Parses `bytes` into `document` as the acquisition's documents are read: valid UTF-8 without
// U+0000, well-formed, one document element, no document type declaration; comments and
// processing instructions are kept as nodes. False when any of that fails.
[[nodiscard]] bool load_xml_document(ByteView bytes, pugi::xml_document& document);

// Trimmed text of the first child element of `element` whose local name is `name`, when that
// child's first node is text. The text may be empty; absent when there is no such child.
[[nodiscard]] std::optional<std::string> child_text(const pugi::xml_node& element, std::string_view name);

// The first Device element of the document, when it has a non-empty Name and ModelNumber.
[[nodiscard]] std::optional<DeviceInfo> parse_devices_xml(const std::string& path);
[[nodiscard]] std::optional<DeviceInfo> parse_devices_xml_text(ByteView document);

// The non-empty AcquiredTime text directly under the document element.
[[nodiscard]] std::optional<std::string> parse_acquired_time(const std::string& path);
[[nodiscard]] std::optional<std::string> parse_acquired_time_text(ByteView document);


// --- Shared by the units that read XML documents of a folder ------------------------------

// True for an element whose local name is `name`.
[[nodiscard]] bool is_xml_element(const pugi::xml_node& node, std::string_view name);
// The first child element of that local name; an empty node when there is none.
[[nodiscard]] pugi::xml_node first_child_element(const pugi::xml_node& parent, std::string_view name);
// The white space that XML Schema strips around a number or a token.
[[nodiscard]] std::string_view trim_xml_space(std::string_view text);
// The text of an element whose children are all character data (plain or CDATA), trimmed;
// absent when it holds an element, a comment or a processing instruction.
[[nodiscard]] std::optional<std::string> element_text(const pugi::xml_node& element);
// The whole text as a decimal or scientific number ("1.59817794359326E-06"), independent of
// the locale; absent for any other text or one out of the range of a double.
[[nodiscard]] std::optional<double> parse_xml_number(std::string_view text);

// A sign of "+" is allowed before a digit, as XML Schema numbers allow it; from_chars does not.
inline std::string_view without_xml_plus(std::string_view text) {
  if (text.size() >= 2 && text[0] == '+' && (text[1] == '.' || (text[1] >= '0' && text[1] <= '9'))) {
    return text.substr(1);
  }
  return text;
}

// The whole text as a decimal integer of type T; absent for any other text or one out of range.
template <typename T>
[[nodiscard]] std::optional<T> parse_xml_integer(std::string_view text) {
  text = without_xml_plus(trim_xml_space(text));
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}


}  // namespace vornak
