// Devices.xml and Contents.xml: loading a document strictly enough to trust its text nodes,
// then reading the first device and the acquisition time. Every failure yields absent.
#include "reader_lib/raw/metadata.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

// The parse keeps every node that can stand first in an element, so that "first child is
// text" is decided on the document as written:
// - parse_ws_pcdata keeps white-space-only text ("<Name> </Name>" has a text child, and in
//   "<Name> <!--c-->x</Name>" the first child is that white space, not the comment);
// - parse_comments and parse_pi keep comments and processing instructions, which the default
//   drops;
// - parse_declaration makes an XML declaration inside an element an error instead of being
//   skipped, and parse_doctype keeps a document type declaration as a node so it can be
//   refused (without it the parser skips one silently);
// - the defaults stay: CDATA sections as their own nodes, references expanded, line ends
//   normalised to "\n".
constexpr unsigned int PARSE_OPTIONS = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments |
                                       pugi::parse_pi | pugi::parse_declaration | pugi::parse_doctype;

// The UTF-8 forms of the characters with the Unicode White_Space property.
constexpr std::string_view WHITE_SPACE[] = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",      // U+0085
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",  // U+2028
    "\xE2\x80\xA9",  // U+2029
    "\xE2\x80\xAF",  // U+202F
    "\xE2\x81\x9F",  // U+205F
    "\xE3\x80\x80",  // U+3000
};

// Length of the white-space character that `text` starts (or ends) with, 0 when there is none.
// Whole encoded sequences are compared, so a match never splits a character.
std::size_t leading_white_space(std::string_view text) {
  for (const std::string_view space : WHITE_SPACE) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

std::size_t trailing_white_space(std::string_view text) {
  for (const std::string_view space : WHITE_SPACE) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

std::string_view trim_white_space(std::string_view text) {
  while (const std::size_t length = leading_white_space(text)) text.remove_prefix(length);
  while (const std::size_t length = trailing_white_space(text)) text.remove_suffix(length);
  return text;
}

bool is_element_named(const pugi::xml_node& node, std::string_view name) {
  return node.type() == pugi::node_element && local_name(node) == name;
}

// Character data: plain text and CDATA sections alike.
bool is_text(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The checks that the parser leaves to its caller, on the document's top-level nodes: exactly
// one element, no document type declaration, and an XML declaration only as the first node.
bool has_well_formed_top_level(const pugi::xml_document& document) {
  std::size_t elements = 0;
  for (const pugi::xml_node node : document.children()) {
    switch (node.type()) {
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_doctype:
        return false;
      case pugi::node_declaration:
        if (node != document.first_child()) return false;
        break;
      default:
        break;
    }
  }
  return elements == 1;
}

}  // namespace

// A namespace-qualified name has exactly one colon, between a non-empty prefix and a non-empty
// local part; any other name (":x", "x:", "a:b:x") is not qualified and stands whole, so it
// never equals a plain name.
QualifiedName split_qualified_name(std::string_view name) {
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == name.size() ||
      name.find(':', colon + 1) != std::string_view::npos) {
    return {{}, name};
  }
  return {name.substr(0, colon), name.substr(colon + 1)};
}

std::string_view local_name(const pugi::xml_node& node) { return split_qualified_name(node.name()).local; }

// The bytes are always read as UTF-8 (a leading byte-order mark is skipped); there is no
// detection that would convert a UTF-16 text.
bool load_xml_document(ByteView bytes, pugi::xml_document& document) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // U+0000 is not allowed anywhere in XML, and the parser would take it for the end of the
  // text; it is also how a UTF-16 text without byte-order mark passes UTF-8 validation.
  if (text.find('\0') != std::string_view::npos) return false;
  if (!is_valid_utf8(text)) return false;
  if (!document.load_buffer(text.data(), text.size(), PARSE_OPTIONS, pugi::encoding_utf8)) return false;
  return has_well_formed_top_level(document);
}

// The text of the selected child is its leading run of character data: a CDATA section next
// to plain text continues the same text, as XML makes no difference between them, while a
// comment, processing instruction or element ends it.
std::optional<std::string> child_text(const pugi::xml_node& element, std::string_view name) {
  pugi::xml_node child = element.first_child();
  while (child && !is_element_named(child, name)) child = child.next_sibling();
  if (!child) return std::nullopt;

  pugi::xml_node node = child.first_child();
  if (!is_text(node)) return std::nullopt;
  std::string text;
  for (; is_text(node); node = node.next_sibling()) text += node.value();
  // A character reference to a surrogate or past U+10FFFF comes out of the parser as bytes
  // that are not UTF-8; such a document is not well-formed.
  if (!is_valid_utf8(text)) return std::nullopt;
  return std::string(trim_white_space(text));
}

std::optional<DeviceInfo> parse_devices_xml_text(ByteView document_bytes) {
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) return std::nullopt;

  // Depth first, each node before its children: the first Device at any depth, and no other.
  const pugi::xml_node device =
      document.find_node([](const pugi::xml_node& node) { return is_element_named(node, "Device"); });
  if (!device) return std::nullopt;

  std::optional<std::string> name = child_text(device, "Name");
  if (!name || name->empty()) return std::nullopt;
  std::optional<std::string> model_number = child_text(device, "ModelNumber");
  if (!model_number || model_number->empty()) return std::nullopt;
  return DeviceInfo{std::move(*name), std::move(*model_number)};
}

std::optional<DeviceInfo> parse_devices_xml(const std::string& path) {
  const Result<std::vector<std::uint8_t>> bytes = read_file(path);
  if (!bytes) return std::nullopt;
  return parse_devices_xml_text(*bytes);
}

std::optional<std::string> parse_acquired_time_text(ByteView document_bytes) {
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) return std::nullopt;

  std::optional<std::string> time = child_text(document.document_element(), "AcquiredTime");
  if (!time || time->empty()) return std::nullopt;
  return time;
}

std::optional<std::string> parse_acquired_time(const std::string& path) {
  const Result<std::vector<std::uint8_t>> bytes = read_file(path);
  if (!bytes) return std::nullopt;
  return parse_acquired_time_text(*bytes);
}

bool is_xml_element(const pugi::xml_node& node, std::string_view name) {
  return node.type() == pugi::node_element && local_name(node) == name;
}

pugi::xml_node first_child_element(const pugi::xml_node& parent, std::string_view name) {
  for (const pugi::xml_node child : parent.children()) {
    if (is_xml_element(child, name)) return child;
  }
  return {};
}

// The white space that XML Schema strips around a number or a token.
std::string_view trim_xml_space(std::string_view text) {
  constexpr std::string_view SPACE = " \t\r\n";
  const std::size_t first = text.find_first_not_of(SPACE);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(SPACE) - first + 1);
}

// The text of an element whose children are all character data (plain or CDATA), trimmed;
// absent when it holds an element, a comment or a processing instruction.
std::optional<std::string> element_text(const pugi::xml_node& element) {
  std::string text;
  for (const pugi::xml_node child : element.children()) {
    if (child.type() != pugi::node_pcdata && child.type() != pugi::node_cdata) return std::nullopt;
    text += child.value();
  }
  return std::string(trim_xml_space(text));
}

// The whole text as a decimal or scientific number ("1.59817794359326E-06"), independent of
// the locale; absent for any other text or one out of the range of a double.
std::optional<double> parse_xml_number(std::string_view text) {
  text = without_xml_plus(text);
  double value = 0.0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}


}  // namespace vornak
