// Scan record layouts: laying out MSScan.xsd's ScanRecordType, the built-in table of the
// designed strides, and typed reads of one field.
#include "reader_lib/raw/scan_layout.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <pugixml.hpp>

#include "reader_lib/raw/metadata.hpp"

namespace vornak {
namespace {

constexpr std::string_view XML_SCHEMA_NAMESPACE = "http://www.w3.org/2001/XMLSchema";
constexpr std::string_view SCAN_RECORD_TYPE = "ScanRecordType";
constexpr std::string_view DESCRIPTOR_TYPE = "SpectrumParamsType";

constexpr std::uint32_t MAX_DESCRIPTOR_COUNT = 16;
constexpr std::uint32_t MAX_STRIDE = 65536;
constexpr std::size_t MAX_NESTING = 16;
// Elements visited while laying out, nested types counted at every use: a bound on the work a
// document of types that fan out into empty types could ask for.
constexpr std::size_t MAX_ELEMENT_VISITS = 65536;

struct BuiltInType {
  std::string_view name;
  FieldType type;
};
constexpr BuiltInType BUILT_IN_TYPES[] = {
    {"byte", FieldType::Int8},     {"short", FieldType::Int16},   {"int", FieldType::Int32},
    {"long", FieldType::Int64},    {"float", FieldType::Float32}, {"double", FieldType::Float64},
};


std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Whether `prefix` stands for the XML Schema namespace at `node`: by the nearest declaration of
// that prefix on the node or an ancestor, or, where none is in scope, by being the prefix the
// schema element itself is written with.
bool is_schema_prefix(pugi::xml_node node, std::string_view prefix, std::string_view schema_prefix) {
  const std::string attribute = prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(prefix);
  for (; node; node = node.parent()) {
    if (node.type() != pugi::node_element) continue;
    const pugi::xml_attribute declaration = node.attribute(attribute.c_str());
    if (declaration) return declaration.value() == XML_SCHEMA_NAMESPACE;
  }
  return prefix == schema_prefix;
}

// Where the fields being laid out go: a list of slots and the next free offset, which never
// passes `limit`.
struct Region {
  std::vector<FieldSlot>& slots;
  std::uint32_t offset;
  std::uint32_t limit;
};

// Lays out the complex types of one schema document. Every method returns the first problem
// found as a complete message.
class SchemaLayout {
 public:
  SchemaLayout(const pugi::xml_node& schema, std::string_view schema_prefix, std::string_view file_name,
               std::string_view record_type)
      : schema_(schema), schema_prefix_(schema_prefix), file_name_(file_name), record_type_(record_type) {}

  Result<void> index_types() {
    for (const pugi::xml_node type : schema_.children()) {
      if (!is_xml_element(type, "complexType")) continue;
      const std::string_view name = type.attribute("name").value();
      if (name.empty()) return std::unexpected(schema_error("a top-level complexType has no name"));
      if (!types_.emplace(name, type).second) {
        return std::unexpected(schema_error("complexType " + quoted(name) + " is defined twice"));
      }
    }
    return {};
  }

  // Lays out the record type; `descriptor_count` is checked only when the record has a
  // descriptor element (a record without one is flat: every field a scan field).
  Result<RecordLayout> lay_out_record(std::uint32_t descriptor_count);

 private:
  [[nodiscard]] Error schema_error(std::string_view text) const {
    return Error::parse(std::string(file_name_) + ": " + std::string(text));
  }

  // What an element's type attribute refers to.
  struct TypeReference {
    std::optional<FieldType> built_in;  // set for a built-in type
    pugi::xml_node complex_type;        // else the complexType of the document
    std::string_view name;              // the type's local name
  };

  Result<TypeReference> resolve_type(const pugi::xml_node& element, std::string_view field_name) const;
  bool is_descriptor_element(const pugi::xml_node& element) const;
  Result<void> lay_out_element(const pugi::xml_node& element, std::string_view type_name, std::string_view prefix,
                               std::size_t depth, Region& region);
  Result<void> lay_out_type(const pugi::xml_node& type, std::string_view type_name, std::string_view prefix,
                            std::size_t depth, Region& region);
  Result<void> lay_out_sequence(const pugi::xml_node& sequence, std::string_view type_name,
                                std::string_view prefix, std::size_t depth, Region& region);
  Result<void> count_visit();

  pugi::xml_node schema_;
  std::string_view schema_prefix_;
  std::string_view file_name_;
  std::string_view record_type_;  // the complexType of one record
  std::map<std::string_view, pugi::xml_node> types_;
  std::vector<std::string_view> open_types_;  // the types being laid out, outermost first
  std::size_t element_visits_ = 0;
};

Result<void> SchemaLayout::count_visit() {
  if (++element_visits_ > MAX_ELEMENT_VISITS) {
    return std::unexpected(schema_error("the scan record has more than " + std::to_string(MAX_ELEMENT_VISITS) +
                                        " elements"));
  }
  return {};
}

Result<SchemaLayout::TypeReference> SchemaLayout::resolve_type(const pugi::xml_node& element,
                                                                std::string_view field_name) const {
  const std::string_view type_name = element.attribute("type").value();
  const QualifiedName name = split_qualified_name(type_name);
  const auto unknown = [&] {
    return std::unexpected(schema_error("unknown type " + quoted(type_name) + " of element " + quoted(field_name)));
  };
  if (is_schema_prefix(element, name.prefix, schema_prefix_)) {
    for (const BuiltInType& built_in : BUILT_IN_TYPES) {
      if (built_in.name == name.local) return TypeReference{built_in.type, {}, name.local};
    }
    return unknown();
  }
  const auto type = types_.find(name.local);
  if (type == types_.end()) return unknown();
  return TypeReference{std::nullopt, type->second, name.local};
}

// Whether the element's type is the block descriptor's (a type of the document, not a built-in).
bool SchemaLayout::is_descriptor_element(const pugi::xml_node& element) const {
  const QualifiedName type = split_qualified_name(element.attribute("type").value());
  return type.local == DESCRIPTOR_TYPE && !is_schema_prefix(element, type.prefix, schema_prefix_);
}

// An element is one field, or the fields of its type in place, named "<element>.<field>".
Result<void> SchemaLayout::lay_out_element(const pugi::xml_node& element, std::string_view type_name,
                                           std::string_view prefix, std::size_t depth, Region& region) {
  if (auto visit = count_visit(); !visit) return visit;
  const std::string_view name = element.attribute("name").value();
  const std::string field_name = prefix.empty() ? std::string(name) : std::string(prefix) + "." + std::string(name);
  if (name.empty()) {
    return std::unexpected(schema_error("an element without a name in type " + quoted(type_name)));
  }
  if (const pugi::xml_attribute repeats = element.attribute("maxOccurs");
      repeats && std::string_view(repeats.value()) != "1") {
    return std::unexpected(schema_error("element " + quoted(field_name) + " may occur " + quoted(repeats.value()) +
                                        " times; only the block descriptor repeats"));
  }

  if (!element.attribute("type")) {
    // An anonymous type written inside the element.
    for (const pugi::xml_node child : element.children()) {
      if (is_xml_element(child, "complexType")) return lay_out_type(child, field_name, field_name, depth + 1, region);
    }
    return std::unexpected(schema_error("element " + quoted(field_name) + " has no type"));
  }
  const auto type = resolve_type(element, field_name);
  if (!type) return std::unexpected(type.error());
  if (type->complex_type) {
    if (type->name == DESCRIPTOR_TYPE) {
      return std::unexpected(schema_error("element " + quoted(field_name) + " of type " + quoted(DESCRIPTOR_TYPE) +
                                          " is not directly in " + quoted(record_type_)));
    }
    return lay_out_type(type->complex_type, type->name, field_name, depth + 1, region);
  }

  const auto size = static_cast<std::uint32_t>(field_size(*type->built_in));
  if (size > region.limit - region.offset) {
    return std::unexpected(schema_error("the scan record is longer than " + std::to_string(MAX_STRIDE) +
                                        " bytes at element " + quoted(field_name)));
  }
  region.slots.push_back(FieldSlot{field_name, *type->built_in, region.offset});
  region.offset += size;
  return {};
}

Result<void> SchemaLayout::lay_out_type(const pugi::xml_node& type, std::string_view type_name,
                                        std::string_view prefix, std::size_t depth, Region& region) {
  if (depth > MAX_NESTING) {
    return std::unexpected(schema_error("types nested more than " + std::to_string(MAX_NESTING) +
                                        " deep at element " + quoted(prefix)));
  }
  // Only a named type can be reached again; an anonymous one is written where it is used.
  const bool named = !std::string_view(type.attribute("name").value()).empty();
  if (named && std::ranges::find(open_types_, type_name) != open_types_.end()) {
    return std::unexpected(schema_error("type " + quoted(type_name) + " contains itself (at element " +
                                        quoted(prefix) + ")"));
  }
  if (named) open_types_.push_back(type_name);
  for (const pugi::xml_node child : type.children()) {
    if (child.type() != pugi::node_element || is_xml_element(child, "annotation")) continue;
    if (!is_xml_element(child, "sequence")) {
      return std::unexpected(schema_error("type " + quoted(type_name) + " uses " + quoted(child.name()) +
                                          ", which has no fixed layout"));
    }
    if (auto laid_out = lay_out_sequence(child, type_name, prefix, depth, region); !laid_out) return laid_out;
  }
  if (named) open_types_.pop_back();
  return {};
}

Result<void> SchemaLayout::lay_out_sequence(const pugi::xml_node& sequence, std::string_view type_name,
                                            std::string_view prefix, std::size_t depth, Region& region) {
  if (depth > MAX_NESTING) {
    return std::unexpected(schema_error("types nested more than " + std::to_string(MAX_NESTING) + " deep in " +
                                        quoted(type_name)));
  }
  for (const pugi::xml_node child : sequence.children()) {
    if (child.type() != pugi::node_element || is_xml_element(child, "annotation")) continue;
    Result<void> laid_out;
    if (is_xml_element(child, "element")) {
      laid_out = lay_out_element(child, type_name, prefix, depth, region);
    } else if (is_xml_element(child, "sequence")) {
      laid_out = lay_out_sequence(child, type_name, prefix, depth + 1, region);
    } else {
      laid_out = std::unexpected(schema_error("type " + quoted(type_name) + " uses " + quoted(child.name()) +
                                              ", which has no fixed layout"));
    }
    if (!laid_out) return laid_out;
  }
  return {};
}

// The record, in three regions:
//   scan fields:   the elements of ScanRecordType before the descriptor element
//   descriptors:   SpectrumParamsType laid out once, repeated descriptor_count times
//   trailing:      the elements after the descriptor element, after the last descriptor
Result<RecordLayout> SchemaLayout::lay_out_record(std::uint32_t descriptor_count) {
  const auto record_type = types_.find(record_type_);
  if (record_type == types_.end()) {
    return std::unexpected(schema_error("no complexType named " + quoted(record_type_)));
  }
  open_types_.push_back(record_type_);

  RecordLayout layout;
  layout.descriptor_count = descriptor_count;
  layout.source = LayoutSource::Schema;
  Region scan{layout.scan_fields, 0, MAX_STRIDE};
  Region trailing{layout.trailing_fields, 0, MAX_STRIDE};
  bool descriptor_seen = false;

  // Only the record's own sequence (or sequences) may hold the descriptor element.
  for (const pugi::xml_node sequence : record_type->second.children()) {
    if (sequence.type() != pugi::node_element || is_xml_element(sequence, "annotation")) continue;
    if (!is_xml_element(sequence, "sequence")) {
      return std::unexpected(schema_error("type " + quoted(record_type_) + " uses " + quoted(sequence.name()) +
                                          ", which has no fixed layout"));
    }
    for (const pugi::xml_node element : sequence.children()) {
      if (element.type() != pugi::node_element || is_xml_element(element, "annotation")) continue;
      Region& region = descriptor_seen ? trailing : scan;
      if (is_xml_element(element, "sequence")) {
        if (auto laid_out = lay_out_sequence(element, record_type_, {}, 1, region); !laid_out) {
          return std::unexpected(laid_out.error());
        }
        continue;
      }
      if (!is_xml_element(element, "element")) {
        return std::unexpected(schema_error("type " + quoted(record_type_) + " uses " + quoted(element.name()) +
                                            ", which has no fixed layout"));
      }
      if (!is_descriptor_element(element)) {
        if (auto laid_out = lay_out_element(element, record_type_, {}, 0, region); !laid_out) {
          return std::unexpected(laid_out.error());
        }
        continue;
      }
      const std::string_view name = element.attribute("name").value();
      if (descriptor_seen) {
        return std::unexpected(schema_error("two elements of type " + quoted(DESCRIPTOR_TYPE) + " in " +
                                            quoted(record_type_) + " (the second is " + quoted(name) + ")"));
      }
      descriptor_seen = true;
      if (descriptor_count == 0 || descriptor_count > MAX_DESCRIPTOR_COUNT) {
        return std::unexpected(Error::parse("MSScan.bin: " + std::to_string(descriptor_count) +
                                            " block descriptors per record (expected 1 to " +
                                            std::to_string(MAX_DESCRIPTOR_COUNT) + ")"));
      }
      if (auto visit = count_visit(); !visit) return std::unexpected(visit.error());
      const auto type = resolve_type(element, name);
      if (!type) return std::unexpected(type.error());
      Region descriptor{layout.block_fields, 0, MAX_STRIDE};
      if (auto laid_out = lay_out_type(type->complex_type, DESCRIPTOR_TYPE, {}, 1, descriptor); !laid_out) {
        return std::unexpected(laid_out.error());
      }
      if (descriptor.offset == 0) {
        return std::unexpected(schema_error(quoted(DESCRIPTOR_TYPE) + " has no fields"));
      }
      layout.scan_fields_size = scan.offset;
      layout.descriptor_size = descriptor.offset;
      // Both are at most 65536 and the count at most 16: no 64-bit product can wrap.
      const std::uint64_t descriptors_end =
          std::uint64_t{scan.offset} + std::uint64_t{descriptor_count} * descriptor.offset;
      if (descriptors_end > MAX_STRIDE) {
        return std::unexpected(schema_error("the scan record with " + std::to_string(descriptor_count) +
                                            " block descriptors is longer than " + std::to_string(MAX_STRIDE) +
                                            " bytes"));
      }
      trailing.offset = static_cast<std::uint32_t>(descriptors_end);
    }
  }
  if (!descriptor_seen) {
    // A flat record (ion mobility): its block fields are scan fields of their own names.
    layout.descriptor_count = 0;
    layout.scan_fields_size = scan.offset;
    if (scan.offset == 0) return std::unexpected(schema_error(quoted(record_type_) + " has no fields"));
  } else {
    layout.trailing_size = trailing.offset - (layout.scan_fields_size + descriptor_count * layout.descriptor_size);
  }

  // One name, one field: a reader looks fields up by name.
  for (const std::vector<FieldSlot>* slots : {&layout.scan_fields, &layout.block_fields, &layout.trailing_fields}) {
    std::vector<std::string_view> names;
    names.reserve(slots->size());
    for (const FieldSlot& slot : *slots) names.push_back(slot.name);
    std::ranges::sort(names);
    const auto twice = std::ranges::adjacent_find(names);
    if (twice != names.end()) return std::unexpected(schema_error("two fields named " + quoted(*twice)));
  }
  return layout;
}

const FieldSlot* find_slot(const std::vector<FieldSlot>& slots, std::string_view name) noexcept {
  const auto slot = std::ranges::find(slots, name, &FieldSlot::name);
  return slot == slots.end() ? nullptr : &*slot;
}

// The designed layouts, as MSScan's record decoder reads them.
struct DesignedLayout {
  std::uint32_t stride;
  std::uint32_t first_descriptor;  // where the first descriptor starts
  std::uint32_t descriptor_count;
  bool packed;          // a 16-bit format number, everything after it two bytes earlier
  bool mrm_channel;     // at 4
  bool precursor;       // collision energy at 76, precursor m/z at 84
  bool mz_range;        // at 244 and 252
};
constexpr DesignedLayout DESIGNED_LAYOUTS[] = {
    {284, 156, 2, false, false, true, true},   {220, 156, 1, false, false, true, false},
    {216, 152, 1, false, false, true, false},  {196, 144, 1, false, true, false, false},
    {186, 136, 1, true, true, false, false},
};

}  // namespace

std::size_t field_size(FieldType type) noexcept {
  switch (type) {
    case FieldType::Int8: return 1;
    case FieldType::Int16: return 2;
    case FieldType::Int32: return 4;
    case FieldType::Int64: return 8;
    case FieldType::Float32: return 4;
    case FieldType::Float64: return 8;
  }
  return 0;
}

double as_double(const FieldValue& value) noexcept {
  return std::visit([](auto held) { return static_cast<double>(held); }, value);
}

std::int64_t as_integer(const FieldValue& value) noexcept {
  return std::visit(
      [](auto held) -> std::int64_t {
        if constexpr (std::is_floating_point_v<decltype(held)>) {
          // 2^63 is exact in both float and double; the cast of anything outside
          // [-2^63, 2^63) would be undefined.
          constexpr double TOP = 9223372036854775808.0;
          if (std::isnan(held)) return 0;
          if (held >= TOP) return std::numeric_limits<std::int64_t>::max();
          if (held < -TOP) return std::numeric_limits<std::int64_t>::min();
          return static_cast<std::int64_t>(held);
        } else {
          return held;
        }
      },
      value);
}

FieldValue read_field(ByteView bytes, const FieldSlot& slot) noexcept {
  switch (slot.type) {
    case FieldType::Int8: return field_at<std::int8_t>(bytes, slot.offset);
    case FieldType::Int16: return field_at<std::int16_t>(bytes, slot.offset);
    case FieldType::Int32: return field_at<std::int32_t>(bytes, slot.offset);
    case FieldType::Int64: return field_at<std::int64_t>(bytes, slot.offset);
    case FieldType::Float32: return field_at<float>(bytes, slot.offset);
    case FieldType::Float64: return field_at<double>(bytes, slot.offset);
  }
  return std::int8_t{0};
}

const FieldSlot* RecordLayout::scan_field(std::string_view name) const noexcept { return find_slot(scan_fields, name); }

const FieldSlot* RecordLayout::block_field(std::string_view name) const noexcept {
  return find_slot(block_fields, name);
}

const FieldSlot* RecordLayout::trailing_field(std::string_view name) const noexcept {
  return find_slot(trailing_fields, name);
}

namespace {

Result<RecordLayout> parse_record_schema(ByteView document_bytes, std::string_view file_name,
                                         std::string_view record_type, std::uint32_t descriptor_count) {
  const auto fail = [&](std::string_view text) {
    return std::unexpected(Error::parse(std::string(file_name) + ": " + std::string(text)));
  };
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) return fail("not a well-formed UTF-8 XML document");
  const pugi::xml_node schema = document.document_element();
  if (local_name(schema) != "schema") {
    return fail("the document element is " + quoted(schema.name()) + ", not a schema");
  }
  SchemaLayout layout(schema, split_qualified_name(schema.name()).prefix, file_name, record_type);
  if (auto indexed = layout.index_types(); !indexed) return std::unexpected(indexed.error());
  return layout.lay_out_record(descriptor_count);
}

}  // namespace

Result<RecordLayout> parse_scan_schema(ByteView document_bytes, std::uint32_t descriptor_count) {
  return parse_record_schema(document_bytes, "MSScan.xsd", SCAN_RECORD_TYPE, descriptor_count);
}

Result<RecordLayout> parse_frame_schema(ByteView document_bytes) {
  // A count of one lets a descriptor element be laid out, so that it is refused below by name
  // rather than as a count of MSScan.bin, which has nothing to do with the frame file.
  auto layout = parse_record_schema(document_bytes, "IMSFrame.xsd", "FrameRecordType", 1);
  if (layout && layout->descriptor_size != 0) {
    return std::unexpected(Error::parse("IMSFrame.xsd: the frame record has a block descriptor"));
  }
  return layout;
}

RecordLayout icpms_builtin_layout() {
  // Fields in record order; offsets follow from the sizes.
  struct Field {
    std::string_view name;
    FieldType type;
  };
  constexpr Field SCAN_FIELDS[] = {
      {"ScanID", FieldType::Int32},        {"ScanMethodID", FieldType::Int32}, {"TimeSegmentID", FieldType::Int32},
      {"ScanTime", FieldType::Float64},    {"MSLevel", FieldType::Int32},      {"ScanType", FieldType::Int32},
      {"TIC", FieldType::Float64},         {"BasePeakMZ", FieldType::Float64}, {"BasePeakValue", FieldType::Float64},
      {"Status", FieldType::Int32},        {"IonMode", FieldType::Int32},      {"IonPolarity", FieldType::Int32},
      {"SamplingPeriod", FieldType::Float64},
  };
  constexpr Field BLOCK_FIELDS[] = {
      {"SpectrumFormatID", FieldType::Int32}, {"SpectrumOffset", FieldType::Int64}, {"ByteCount", FieldType::Int32},
      {"PointCount", FieldType::Int32},       {"MinX", FieldType::Float64},         {"MaxX", FieldType::Float64},
      {"MinY", FieldType::Float64},           {"MaxY", FieldType::Float64},
  };
  constexpr Field TRAILING_FIELDS[] = {
      {"XSpecificParamType.Offset", FieldType::Int64},
      {"XSpecificParamType.ByteCount", FieldType::Int32},
  };
  const auto lay_out = [](std::span<const Field> fields, std::uint32_t start, std::vector<FieldSlot>& slots) {
    std::uint32_t offset = start;
    for (const Field& field : fields) {
      slots.push_back({std::string(field.name), field.type, offset});
      offset += static_cast<std::uint32_t>(field_size(field.type));
    }
    return offset - start;
  };
  RecordLayout layout;
  layout.source = LayoutSource::BuiltIn;
  layout.scan_fields_size = lay_out(SCAN_FIELDS, 0, layout.scan_fields);
  layout.descriptor_size = lay_out(BLOCK_FIELDS, 0, layout.block_fields);
  layout.descriptor_count = 1;
  layout.trailing_size =
      lay_out(TRAILING_FIELDS, layout.scan_fields_size + layout.descriptor_size, layout.trailing_fields);
  return layout;
}

std::optional<RecordLayout> schemaless_icpms_layout(ByteView bytes, std::uint32_t data_offset) {
  constexpr std::size_t LAYOUT_WORD_OFFSET = 0x48;
  constexpr std::size_t DESCRIPTOR_COUNT_OFFSET = 0x4C;
  constexpr std::uint32_t ICPMS_LAYOUT_WORD = 2;
  constexpr std::uint64_t CHANNEL_POINT_BYTES = 28;
  if (bytes.size() < DESCRIPTOR_COUNT_OFFSET + 4 || data_offset > bytes.size()) return std::nullopt;
  if (field_at<std::uint32_t>(bytes, LAYOUT_WORD_OFFSET) != ICPMS_LAYOUT_WORD ||
      field_at<std::uint32_t>(bytes, DESCRIPTOR_COUNT_OFFSET) != 1) {
    return std::nullopt;
  }
  const ByteView area = bytes.subspan(data_offset);
  if (area.empty() || area.size() % ICPMS_BUILTIN_STRIDE != 0) return std::nullopt;

  RecordLayout layout = icpms_builtin_layout();
  const auto slot = [&](std::string_view name) {
    const FieldSlot* found = layout.scan_field(name);
    return found != nullptr ? found : layout.block_field(name);
  };
  const FieldSlot& scan_time = *slot("ScanTime");
  const std::uint32_t descriptor = layout.descriptor_offset(0);
  const auto block_value = [&](ByteView record, std::string_view name) {
    return as_integer(read_field(record.subspan(descriptor), *layout.block_field(name)));
  };
  for (std::size_t at = 0; at < area.size(); at += ICPMS_BUILTIN_STRIDE) {
    const ByteView record = area.subspan(at, ICPMS_BUILTIN_STRIDE);
    const double time = as_double(read_field(record, scan_time));
    const std::int64_t points = block_value(record, "PointCount");
    const std::int64_t byte_count = block_value(record, "ByteCount");
    if (!std::isfinite(time) || block_value(record, "SpectrumFormatID") != 1 ||
        block_value(record, "SpectrumOffset") < 0 || points < 0 ||
        static_cast<std::uint64_t>(byte_count) != CHANNEL_POINT_BYTES * static_cast<std::uint64_t>(points)) {
      return std::nullopt;
    }
  }
  return layout;
}

std::optional<RecordLayout> builtin_layout(std::uint32_t stride) {
  const auto designed = std::ranges::find(DESIGNED_LAYOUTS, stride, &DesignedLayout::stride);
  if (designed == std::end(DESIGNED_LAYOUTS)) return std::nullopt;

  RecordLayout layout;
  layout.source = LayoutSource::BuiltIn;
  layout.scan_fields = {
      {"ScanID", FieldType::Int32, 0},      // 0: scan number
      {"ScanTime", FieldType::Float64, 12},  // 12: retention time, minutes
      {"MSLevel", FieldType::Int16, 20},    // 20: MS level
  };
  if (designed->mrm_channel) layout.scan_fields.push_back({"MRMChannel", FieldType::Int32, 4});
  if (designed->precursor) {
    layout.scan_fields.push_back({"CollisionEnergy", FieldType::Float64, 76});
    layout.scan_fields.push_back({"MzOfInterest", FieldType::Float64, 84});
  }
  if (designed->mz_range) {
    layout.scan_fields.push_back({"MzRangeLow", FieldType::Float64, 244});
    layout.scan_fields.push_back({"MzRangeHigh", FieldType::Float64, 252});
  }
  std::ranges::sort(layout.scan_fields, {}, &FieldSlot::offset);

  // After the format number: offset (u64), byte count, point count, uncompressed byte count.
  const std::uint32_t after_format = designed->packed ? 2 : 4;
  layout.block_fields = {
      {"SpectrumFormatID", designed->packed ? FieldType::Int16 : FieldType::Int32, 0},
      {"SpectrumOffset", FieldType::Int64, after_format},
      {"ByteCount", FieldType::Int32, after_format + 8},
      {"PointCount", FieldType::Int32, after_format + 12},
      {"UncompressedByteCount", FieldType::Int32, after_format + 16},
  };
  layout.scan_fields_size = designed->first_descriptor;
  layout.descriptor_count = designed->descriptor_count;
  layout.descriptor_size = (stride - designed->first_descriptor) / designed->descriptor_count;
  return layout;
}

}  // namespace vornak
