// The acquisition's XML documents: the first device of Devices.xml and the acquisition time
// of Contents.xml. Nothing here reports errors: an unusable document yields absent.
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
