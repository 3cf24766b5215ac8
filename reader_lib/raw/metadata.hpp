// The acquisition's XML documents: the first device of Devices.xml and the acquisition time
// of Contents.xml, and the strict document loading that other XML readers share. Nothing here
// reports errors: an unusable document yields absent.
#pragma once

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

}  // namespace vornak
