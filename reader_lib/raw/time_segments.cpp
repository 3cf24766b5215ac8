// MSTS.xml time segments and MSTS_XAddition.xml channel transitions.
#include "reader_lib/raw/time_segments.hpp"

#include <algorithm>
#include <string>

#include "reader_lib/raw/metadata.hpp"

namespace vornak {
namespace {

std::optional<double> number_child(const pugi::xml_node& parent, std::string_view name) {
  const auto text = element_text(first_child_element(parent, name));
  if (!text) return std::nullopt;
  return parse_xml_number(*text);
}

}  // namespace

Result<std::vector<TimeSegment>> parse_time_segments(ByteView document_bytes) {
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) {
    return std::unexpected(Error::parse("MSTS.xml: not a well-formed UTF-8 XML document"));
  }
  std::vector<TimeSegment> segments;
  for (const pugi::xml_node node : document.document_element().children()) {
    if (!is_xml_element(node, "TimeSegment")) continue;
    const auto id = parse_xml_integer<std::int64_t>(node.attribute("TimeSegmentID").value());
    if (!id) return std::unexpected(Error::parse("MSTS.xml: a TimeSegment without a numeric TimeSegmentID"));
    TimeSegment segment;
    segment.id = *id;
    segment.start_min = number_child(node, "StartTime");
    segment.end_min = number_child(node, "EndTime");
    if (const auto text = element_text(first_child_element(node, "NumOfScans"))) {
      segment.scans = parse_xml_integer<std::int64_t>(*text);
    }
    segments.push_back(segment);
  }
  return segments;
}

Result<std::vector<ChannelTransition>> parse_channel_transitions(ByteView document_bytes) {
  const auto fail = [](const std::string& text) {
    return std::unexpected(Error::parse("MSTS_XAddition.xml: " + text));
  };
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) return fail("not a well-formed UTF-8 XML document");
  std::vector<ChannelTransition> transitions;
  for (const pugi::xpath_node found : document.select_nodes("//*[local-name()='MSTS_XAddition_IndexedMasses']")) {
    const pugi::xml_node node = found.node();
    const auto index_text = element_text(first_child_element(node, "Index"));
    const auto precursor = number_child(node, "PrecursorIonMZ");
    const auto product = number_child(node, "ProductIonMZ");
    std::int64_t index = 0;
    if (const auto parsed = index_text ? parse_xml_integer<std::int64_t>(*index_text) : std::nullopt) {
      index = *parsed;
    } else {
      return fail("an indexed mass without a numeric Index");
    }
    if (!precursor || !product) return fail("indexed mass " + std::to_string(index) + " lacks PrecursorIonMZ or ProductIonMZ");
    if (std::ranges::find(transitions, index, &ChannelTransition::index) != transitions.end()) {
      return fail("two indexed masses with index " + std::to_string(index));
    }
    transitions.push_back({index, *precursor, *product});
  }
  return transitions;
}

}  // namespace vornak
