// Scan record layouts: schema documents at their edges, the built-in layouts against the record
// decoder, typed field reads, and the schemas of real acquisitions against their records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reader_lib/raw/msscan.hpp"
#include "reader_lib/raw/scan_layout.hpp"
#include "scan_index_bytes.hpp"
#include "temp_dir.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

using namespace vornak::testing;

ByteView view(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

Bytes read_bytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string type_name(FieldType type) {
  switch (type) {
    case FieldType::Int8: return "byte";
    case FieldType::Int16: return "short";
    case FieldType::Int32: return "int";
    case FieldType::Int64: return "long";
    case FieldType::Float32: return "float";
    case FieldType::Float64: return "double";
  }
  return "?";
}

// "a:int@0 b:short@4 | F:int@0 | | 6 + 2x4 + 0": scan, block and trailing fields, then the sizes.
std::string describe(const RecordLayout& layout) {
  std::string text;
  for (const auto* slots : {&layout.scan_fields, &layout.block_fields, &layout.trailing_fields}) {
    if (slots != &layout.scan_fields) text += "| ";
    for (const FieldSlot& slot : *slots) {
      text += slot.name + ":" + type_name(slot.type) + "@" + std::to_string(slot.offset) + " ";
    }
  }
  return text + "| " + std::to_string(layout.scan_fields_size) + " + " + std::to_string(layout.descriptor_count) +
         "x" + std::to_string(layout.descriptor_size) + " + " + std::to_string(layout.trailing_size);
}

// What every layout made from a schema must satisfy: each slot inside its region, in order
// without overlap, and the stride the sum of the regions.
void expect_consistent(const RecordLayout& layout) {
  const auto check_region = [](const std::vector<FieldSlot>& slots, std::uint32_t begin, std::uint32_t end) {
    std::uint32_t next = begin;
    for (const FieldSlot& slot : slots) {
      EXPECT_GE(slot.offset, next) << slot.name;
      next = slot.offset + static_cast<std::uint32_t>(field_size(slot.type));
      EXPECT_LE(next, end) << slot.name;
    }
  };
  const std::uint32_t descriptors_end = layout.descriptor_offset(layout.descriptor_count);
  check_region(layout.scan_fields, 0, layout.scan_fields_size);
  check_region(layout.block_fields, 0, layout.descriptor_size);
  check_region(layout.trailing_fields, descriptors_end, layout.stride());
  EXPECT_EQ(layout.stride(), descriptors_end + layout.trailing_size);
  EXPECT_EQ(layout.source, LayoutSource::Schema);
}

std::string outcome(std::string_view document, std::uint32_t count) {
  const Result<RecordLayout> layout = parse_scan_schema(view(document), count);
  if (!layout) {
    EXPECT_EQ(layout.error().kind(), Error::Kind::Parse);
    return "error: " + layout.error().message();
  }
  expect_consistent(*layout);
  return describe(*layout);
}

constexpr std::string_view DESCRIPTOR_ELEMENT =
    R"(<xs:element name="SpectrumParamValues" type="mstns:SpectrumParamsType" maxOccurs="unbounded"/>)";
constexpr std::string_view FORMAT_ONLY = R"(<xs:element name="SpectrumFormatID" type="xs:int"/>)";

// A schema as instruments write them: ScanRecordType holds `record` then the descriptor element
// (unless `record` names it itself), SpectrumParamsType holds `descriptor`, `types` follow.
std::string schema(std::string_view record, std::string_view descriptor = FORMAT_ONLY, std::string_view types = "") {
  std::string record_text(record);
  if (record.find("SpectrumParamsType") == std::string_view::npos) record_text += DESCRIPTOR_ELEMENT;
  return R"(<?xml version="1.0" encoding="utf-8"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:mstns="http://tempuri.org/XMLSchema.xsd"
           xmlns="http://tempuri.org/XMLSchema.xsd" targetNamespace="http://tempuri.org/XMLSchema.xsd">
  <xs:element name="MSScanBin"><xs:complexType><xs:sequence>
    <xs:element name="ScanRecord" type="ScanRecordType" maxOccurs="unbounded"/>
  </xs:sequence></xs:complexType></xs:element>
  <xs:complexType name="ScanRecordType"><xs:sequence>)" +
         record_text + R"(</xs:sequence></xs:complexType>
  <xs:complexType name="SpectrumParamsType"><xs:sequence>)" +
         std::string(descriptor) + "</xs:sequence></xs:complexType>\n" + std::string(types) + "</xs:schema>\n";
}

std::string element(std::string_view name, std::string_view type, std::string_view extra = "") {
  return "<xs:element name=\"" + std::string(name) + "\" type=\"" + std::string(type) + "\" " + std::string(extra) +
         "/>";
}

std::string complex_type(std::string_view name, std::string_view elements) {
  return "<xs:complexType name=\"" + std::string(name) + "\"><xs:sequence>" + std::string(elements) +
         "</xs:sequence></xs:complexType>\n";
}

// T1 holds T2 holds ... holds T<depth>, which holds one int.
std::string type_chain(int depth) {
  std::string types;
  for (int level = 1; level <= depth; ++level) {
    const std::string inner = level == depth ? "xs:int" : "T" + std::to_string(level + 1);
    types += complex_type("T" + std::to_string(level), element("e", inner));
  }
  return schema(element("e", "T1"), FORMAT_ONLY, types);
}

// `count` elements named <name>0, <name>1, ... of one type.
std::string repeated(std::string_view name, std::string_view type, int count) {
  std::string elements;
  for (int i = 0; i < count; ++i) elements += element(std::string(name) + std::to_string(i), type);
  return elements;
}

TEST(ScanSchema, BoundaryTable) {
  const std::string every_type = element("b", "xs:byte") + element("s", "xs:short") + element("i", "xs:int") +
                                 element("l", "xs:long") + element("f", "xs:float") + element("d", "xs:double");
  const std::string big = complex_type("Big", repeated("d", "xs:double", 300));  // 2400 bytes
  const std::string too_deep = "error: MSScan.xsd: types nested more than 16 deep at element '" +
                               [] {
                                 std::string path = "e";
                                 for (int i = 0; i < 16; ++i) path += ".e";
                                 return path;
                               }() +
                               "'";
  struct Case {
    const char* what;
    std::string document;
    std::uint32_t count;
    std::string expected;
  };
  const Case cases[] = {
      {"every built-in type", schema(every_type), 1,
       "b:byte@0 s:short@1 i:int@3 l:long@7 f:float@15 d:double@19 | SpectrumFormatID:int@0 | | 27 + 1x4 + 0"},
      {"prefix xsd",
       R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:t="urn:t">
            <xsd:complexType name="ScanRecordType"><xsd:sequence>
              <xsd:element name="ScanID" type="xsd:int"/><xsd:element name="P" type="t:SpectrumParamsType"/>
            </xsd:sequence></xsd:complexType>
            <xsd:complexType name="SpectrumParamsType"><xsd:sequence>
              <xsd:element name="F" type="xsd:short"/></xsd:sequence></xsd:complexType></xsd:schema>)",
       2, "ScanID:int@0 | F:short@0 | | 4 + 2x2 + 0"},
      {"schema namespace as default, types prefixed",
       R"(<schema xmlns="http://www.w3.org/2001/XMLSchema" xmlns:t="urn:t">
            <complexType name="ScanRecordType"><sequence>
              <element name="ScanID" type="long"/><element name="P" type="t:SpectrumParamsType"/>
            </sequence></complexType>
            <complexType name="SpectrumParamsType"><sequence><element name="F" type="byte"/></sequence></complexType>
          </schema>)",
       1, "ScanID:long@0 | F:byte@0 | | 8 + 1x1 + 0"},
      {"xs bound on an inner element",
       R"(<s:schema xmlns:s="http://www.w3.org/2001/XMLSchema">
            <s:complexType name="ScanRecordType"><s:sequence xmlns:xs="http://www.w3.org/2001/XMLSchema">
              <s:element name="A" type="xs:float"/><s:element name="P" type="SpectrumParamsType"/>
            </s:sequence></s:complexType>
            <s:complexType name="SpectrumParamsType"><s:sequence><s:element name="F" type="s:int"/></s:sequence>
            </s:complexType></s:schema>)",
       1, "A:float@0 | F:int@0 | | 4 + 1x4 + 0"},
      {"an undeclared prefix like the schema's is built-in",
       R"(<xs:schema><xs:complexType name="ScanRecordType"><xs:sequence>
            <xs:element name="A" type="xs:int"/><xs:element name="P" type="SpectrumParamsType"/></xs:sequence>
            </xs:complexType><xs:complexType name="SpectrumParamsType"><xs:sequence>
            <xs:element name="F" type="xs:int"/></xs:sequence></xs:complexType></xs:schema>)",
       1, "A:int@0 | F:int@0 | | 4 + 1x4 + 0"},
      {"nested types in place, with or without prefix",
       schema(element("ScanID", "xs:int") + element("Outer", "mstns:Outer") + element("Last", "xs:short"),
              std::string(FORMAT_ONLY) + element("Range", "Pair"),
              complex_type("Outer", element("a", "xs:byte") + element("In", "Pair")) +
                  complex_type("Pair", element("lo", "xs:double") + element("hi", "xs:double"))),
       2,
       "ScanID:int@0 Outer.a:byte@4 Outer.In.lo:double@5 Outer.In.hi:double@13 Last:short@21 | "
       "SpectrumFormatID:int@0 Range.lo:double@4 Range.hi:double@12 | | 23 + 2x20 + 0"},
      {"anonymous inner type",
       schema(element("ScanID", "xs:int") +
              R"(<xs:element name="Pad"><xs:complexType><xs:sequence>)" + element("x", "xs:short") +
              "</xs:sequence></xs:complexType></xs:element>"),
       1, "ScanID:int@0 Pad.x:short@4 | SpectrumFormatID:int@0 | | 6 + 1x4 + 0"},
      {"comments, annotations and minOccurs",
       schema("<!-- " + element("Hidden", "xs:double") + " -->" + element("ScanID", "xs:int", R"(minOccurs="0")") +
                  "<xs:annotation><xs:documentation>x</xs:documentation></xs:annotation>",
              std::string(FORMAT_ONLY) + "<!--\n" + element("Gone", "xs:int") + "\n-->",
              "<!-- " + complex_type("ScanRecordType", "") + " -->"),
       1, "ScanID:int@0 | SpectrumFormatID:int@0 | | 4 + 1x4 + 0"},
      {"fields after the descriptor",
       schema(element("ScanID", "xs:int") + std::string(DESCRIPTOR_ELEMENT) + element("X", "XType"), FORMAT_ONLY,
              complex_type("XType", element("Offset", "xs:long") + element("ByteCount", "xs:int"))),
       3, "ScanID:int@0 | SpectrumFormatID:int@0 | X.Offset:long@16 X.ByteCount:int@24 | 4 + 3x4 + 12"},
      {"sixteen types deep", type_chain(16), 1,
       "e.e.e.e.e.e.e.e.e.e.e.e.e.e.e.e.e:int@0 | SpectrumFormatID:int@0 | | 4 + 1x4 + 0"},
      {"sixteen descriptors", schema(element("ScanID", "xs:int")), 16, "ScanID:int@0 | SpectrumFormatID:int@0 | | 4 + 16x4 + 0"},

      {"not UTF-8", schema(element("N\xC3", "xs:int")), 1, "error: MSScan.xsd: not a well-formed UTF-8 XML document"},
      {"a NUL byte", std::string("<xs:schema>\0</xs:schema>", 24), 1,
       "error: MSScan.xsd: not a well-formed UTF-8 XML document"},
      {"no document", "", 1, "error: MSScan.xsd: not a well-formed UTF-8 XML document"},
      {"not a schema", "<root/>", 1, "error: MSScan.xsd: the document element is 'root', not a schema"},
      {"no ScanRecordType", R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"/>)", 1,
       "error: MSScan.xsd: no complexType named 'ScanRecordType'"},
      {"no SpectrumParamsType type",
       R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"><xs:complexType name="ScanRecordType"><xs:sequence>)" +
           std::string(DESCRIPTOR_ELEMENT) + "</xs:sequence></xs:complexType></xs:schema>",
       1, "error: MSScan.xsd: unknown type 'mstns:SpectrumParamsType' of element 'SpectrumParamValues'"},
      {"no descriptor element", schema(element("ScanID", "xs:int") + element("P", "Other")), 1,
       "error: MSScan.xsd: unknown type 'Other' of element 'P'"},
      {"no descriptor element: a flat record, whatever the count",
       R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"><xs:complexType name="ScanRecordType"><xs:sequence>)" +
           element("A", "xs:int") + "</xs:sequence></xs:complexType></xs:schema>",
       1, "A:int@0 | | | 4 + 0x0 + 0"},
      {"two descriptor elements", schema(std::string(DESCRIPTOR_ELEMENT) + element("Again", "SpectrumParamsType")), 1,
       "error: MSScan.xsd: two elements of type 'SpectrumParamsType' in 'ScanRecordType' (the second is 'Again')"},
      {"descriptor inside another type", schema(element("W", "Wrap"), FORMAT_ONLY,
                                                complex_type("Wrap", element("P", "SpectrumParamsType"))),
       1, "error: MSScan.xsd: element 'W.P' of type 'SpectrumParamsType' is not directly in 'ScanRecordType'"},
      {"empty descriptor", schema(element("A", "xs:int"), ""), 1,
       "error: MSScan.xsd: 'SpectrumParamsType' has no fields"},
      {"unknown built-in type", schema(element("Foo", "xs:decimal")), 1,
       "error: MSScan.xsd: unknown type 'xs:decimal' of element 'Foo'"},
      {"a built-in name in another namespace", schema(element("Foo", "mstns:int")), 1,
       "error: MSScan.xsd: unknown type 'mstns:int' of element 'Foo'"},
      {"unknown type inside the descriptor", schema(element("A", "xs:int"), element("Bad", "xs:string")), 1,
       "error: MSScan.xsd: unknown type 'xs:string' of element 'Bad'"},
      {"unknown nested type", schema(element("O", "Outer"), FORMAT_ONLY, complex_type("Outer", element("i", "Nope"))),
       1, "error: MSScan.xsd: unknown type 'Nope' of element 'O.i'"},
      {"cyclic types", schema(element("a", "A"), FORMAT_ONLY,
                              complex_type("A", element("b", "B")) + complex_type("B", element("a", "mstns:A"))),
       1, "error: MSScan.xsd: type 'A' contains itself (at element 'a.b.a')"},
      {"the record inside itself", schema(element("again", "ScanRecordType")), 1,
       "error: MSScan.xsd: type 'ScanRecordType' contains itself (at element 'again')"},
      {"seventeen types deep", type_chain(17), 1, too_deep},
      {"descriptor count 0", schema(element("A", "xs:int")), 0,
       "error: MSScan.bin: 0 block descriptors per record (expected 1 to 16)"},
      {"descriptor count 17", schema(element("A", "xs:int")), 17,
       "error: MSScan.bin: 17 block descriptors per record (expected 1 to 16)"},
      {"descriptor count 2^32 - 1", schema(element("A", "xs:int")), 0xFFFFFFFF,
       "error: MSScan.bin: 4294967295 block descriptors per record (expected 1 to 16)"},
      {"scan fields past 65536 bytes", schema(repeated("b", "Big", 28), FORMAT_ONLY, big), 1,
       "error: MSScan.xsd: the scan record is longer than 65536 bytes at element 'b27.d92'"},
      {"descriptors past 65536 bytes", schema(element("A", "xs:int"), repeated("b", "Big", 16), big), 2,
       "error: MSScan.xsd: the scan record with 2 block descriptors is longer than 65536 bytes"},
      {"work past the element budget",
       schema(element("A", "xs:int") + element("w", "Wide"), FORMAT_ONLY,
              complex_type("Wide", repeated("w", "Wider", 300)) + complex_type("Wider", repeated("e", "Empty", 300)) +
                  complex_type("Empty", "")),
       1, "error: MSScan.xsd: the scan record has more than 65536 elements"},
      {"a repeating field", schema(element("Pad", "xs:byte", R"(maxOccurs="unbounded")")), 1,
       "error: MSScan.xsd: element 'Pad' may occur 'unbounded' times; only the block descriptor repeats"},
      {"a choice", schema(element("A", "xs:int") + "<xs:choice>" + element("B", "xs:int") + "</xs:choice>"), 1,
       "error: MSScan.xsd: type 'ScanRecordType' uses 'xs:choice', which has no fixed layout"},
      {"an element without a name", schema(R"(<xs:element type="xs:int"/>)"), 1,
       "error: MSScan.xsd: an element without a name in type 'ScanRecordType'"},
      {"an element without a type", schema(R"(<xs:element name="A"/>)"), 1,
       "error: MSScan.xsd: element 'A' has no type"},
      {"one name twice", schema(element("A", "xs:int") + element("A", "xs:short")), 1,
       "error: MSScan.xsd: two fields named 'A'"},
      {"a type defined twice", schema(element("A", "xs:int"), FORMAT_ONLY, complex_type("ScanRecordType", "")), 1,
       "error: MSScan.xsd: complexType 'ScanRecordType' is defined twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(c.document, c.count), c.expected);
  }
}

// Every prefix of a schema fails cleanly or lays out a consistent record, in a buffer of
// exactly its length so an over-read leaves the heap block.
void check_every_prefix(std::string_view document) {
  for (std::size_t length = 0; length <= document.size(); ++length) {
    const std::vector<std::uint8_t> prefix(document.begin(), document.begin() + static_cast<std::ptrdiff_t>(length));
    const Result<RecordLayout> layout = parse_scan_schema(prefix, 2);
    if (layout) {
      expect_consistent(*layout);
    } else {
      ASSERT_EQ(layout.error().kind(), Error::Kind::Parse);
      ASSERT_TRUE(layout.error().message().starts_with("MSScan.xsd: ")) << layout.error().message();
    }
  }
}

TEST(ScanSchema, EveryPrefixOfASchema) {
  const std::string document =
      schema(element("ScanID", "xs:int") + "<!-- " + element("Old", "xs:int") + " -->" + element("D", "mstns:DD"),
             std::string(FORMAT_ONLY) + element("SpectrumOffset", "xs:long"), complex_type("DD", element("ID", "xs:int")));
  ASSERT_TRUE(parse_scan_schema(view(document), 2).has_value());
  check_every_prefix(document);
}

TEST(FieldReads, EachTypeAndItsConversions) {
  struct Case {
    FieldType type;
    Bytes bytes;
    double as_double;
    std::int64_t as_integer;
  };
  const auto le = [](auto value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  };
  constexpr auto int64_min = std::numeric_limits<std::int64_t>::min();
  constexpr auto int64_max = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {FieldType::Int8, {0xFF}, -1.0, -1},
      {FieldType::Int16, le(std::int16_t{-32768}), -32768.0, -32768},
      {FieldType::Int32, le(std::uint32_t{0xFFFFFFFF}), -1.0, -1},
      {FieldType::Int64, le(int64_min), -0x1p63, int64_min},
      {FieldType::Float32, le(-2.75f), -2.75, -2},
      {FieldType::Float64, le(1e300), 1e300, int64_max},
      {FieldType::Float64, le(-1e300), -1e300, int64_min},
      {FieldType::Float64, le(-0x1p63), -0x1p63, int64_min},
      {FieldType::Float64, le(0x1p63), 0x1p63, int64_max},
      {FieldType::Float32, le(std::numeric_limits<float>::infinity()), HUGE_VAL, int64_max},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(type_name(c.type) + " " + std::to_string(c.as_double));
    ASSERT_EQ(field_size(c.type), c.bytes.size());
    // The field at the very end of the buffer, after one byte that belongs to another field.
    Bytes buffer{0x5A};
    buffer.insert(buffer.end(), c.bytes.begin(), c.bytes.end());
    const FieldValue value = read_field(buffer, FieldSlot{"x", c.type, 1});
    EXPECT_EQ(value.index(), static_cast<std::size_t>(c.type));
    EXPECT_EQ(as_double(value), c.as_double);
    EXPECT_EQ(as_integer(value), c.as_integer);
  }
  EXPECT_EQ(as_integer(FieldValue{std::numeric_limits<double>::quiet_NaN()}), 0);
  EXPECT_EQ(as_integer(FieldValue{std::int64_t{int64_max}}), int64_max);
}

TEST(RecordLayoutLookup, ByExactNameInEachRegion) {
  const auto layout = parse_scan_schema(
      view(schema(element("ScanID", "xs:int") + std::string(DESCRIPTOR_ELEMENT) + element("Tail", "xs:short"))), 1);
  ASSERT_TRUE(layout.has_value()) << layout.error().message();
  ASSERT_NE(layout->scan_field("ScanID"), nullptr);
  EXPECT_EQ(layout->scan_field("ScanID")->offset, 0u);
  EXPECT_EQ(layout->scan_field("scanid"), nullptr);
  EXPECT_EQ(layout->scan_field("SpectrumFormatID"), nullptr);
  ASSERT_NE(layout->block_field("SpectrumFormatID"), nullptr);
  EXPECT_EQ(layout->block_field("ScanID"), nullptr);
  ASSERT_NE(layout->trailing_field("Tail"), nullptr);
  EXPECT_EQ(layout->trailing_field("Tail")->offset, 8u);
  EXPECT_EQ(layout->stride(), 10u);
}

// A record as the record decoder would make it, read through a built-in layout. The layouts
// store signed fields; the decoder's unsigned values are their bits.
ScanRecord decode_with_layout(ByteView record, const RecordLayout& layout) {
  const auto bits = [&](const FieldSlot* slot, std::size_t base = 0) {
    EXPECT_NE(slot, nullptr);
    FieldSlot moved = *slot;
    moved.offset += static_cast<std::uint32_t>(base);
    const std::uint64_t value = static_cast<std::uint64_t>(as_integer(read_field(record, moved)));
    const std::size_t width = field_size(slot->type);
    return width == 8 ? value : value & ((std::uint64_t{1} << (8 * width)) - 1);
  };
  const auto real = [&](const char* name) { return as_double(read_field(record, *layout.scan_field(name))); };
  ScanRecord out;
  out.scan_id = static_cast<std::uint32_t>(bits(layout.scan_field("ScanID")));
  out.retention_time_min = real("ScanTime");
  out.ms_level = static_cast<std::uint32_t>(bits(layout.scan_field("MSLevel")));
  if (layout.scan_field("MRMChannel")) out.mrm_channel = static_cast<std::uint32_t>(bits(layout.scan_field("MRMChannel")));
  if (layout.scan_field("MzOfInterest") && out.ms_level >= 2) {
    out.precursor_mz = real("MzOfInterest");
    out.collision_energy = real("CollisionEnergy");
  }
  if (layout.scan_field("MzRangeLow")) {
    out.mz_range_low = real("MzRangeLow");
    out.mz_range_high = real("MzRangeHigh");
  }
  for (std::uint32_t i = 0; i < layout.descriptor_count; ++i) {
    const std::size_t base = layout.descriptor_offset(i);
    BlockLocation block;
    block.format_id = static_cast<std::uint32_t>(bits(layout.block_field("SpectrumFormatID"), base));
    block.offset = bits(layout.block_field("SpectrumOffset"), base);
    block.byte_count = static_cast<std::uint32_t>(bits(layout.block_field("ByteCount"), base));
    block.point_count = static_cast<std::uint32_t>(bits(layout.block_field("PointCount"), base));
    if (block.format_id == PROFILE_FORMAT_ID) {
      block.uncompressed_byte_count = static_cast<std::uint32_t>(bits(layout.block_field("UncompressedByteCount"), base));
      out.profile_block = block;
    } else if (block.format_id == PEAK_FORMAT_SPLIT || block.format_id == PEAK_FORMAT_INTERLEAVED) {
      out.peak_block = block;
    }
  }
  return out;
}

// Doubles compared by their bits, so that NaN from random bytes compares too.
std::optional<std::uint64_t> bits_of(std::optional<double> value) {
  if (!value) return std::nullopt;
  return std::bit_cast<std::uint64_t>(*value);
}

void expect_same_records(const Bytes& index) {
  const auto scan = MSScan::from_bytes(index);
  ASSERT_TRUE(scan.has_value()) << scan.error().display();
  const ByteView area = ByteView(index).subspan(scan->data_offset);
  ASSERT_EQ(detect_record_stride(area), scan->record_stride);
  const auto layout = builtin_layout(scan->record_stride);
  ASSERT_TRUE(layout.has_value());
  ASSERT_EQ(layout->stride(), scan->record_stride);
  for (std::size_t i = 0; i < scan->records.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const ScanRecord expected = scan->records[i];
    const ScanRecord actual = decode_with_layout(area.subspan(i * layout->stride(), layout->stride()), *layout);
    EXPECT_EQ(actual.scan_id, expected.scan_id);
    EXPECT_EQ(bits_of(actual.retention_time_min), bits_of(expected.retention_time_min));
    EXPECT_EQ(actual.ms_level, expected.ms_level);
    EXPECT_EQ(actual.mrm_channel, expected.mrm_channel);
    EXPECT_EQ(bits_of(actual.precursor_mz), bits_of(expected.precursor_mz));
    EXPECT_EQ(bits_of(actual.collision_energy), bits_of(expected.collision_energy));
    EXPECT_EQ(bits_of(actual.mz_range_low), bits_of(expected.mz_range_low));
    EXPECT_EQ(bits_of(actual.mz_range_high), bits_of(expected.mz_range_high));
    EXPECT_EQ(actual.profile_block, expected.profile_block);
    EXPECT_EQ(actual.peak_block, expected.peak_block);
  }
}

TEST(BuiltinLayout, ShapesOfTheDesignedStrides) {
  struct Case {
    std::uint32_t stride;
    std::string scan_fields;
    std::uint32_t first_descriptor;
    std::uint32_t count;
    FieldType format;
  };
  const Case cases[] = {
      {284, "ScanID ScanTime MSLevel CollisionEnergy MzOfInterest MzRangeLow MzRangeHigh ", 156, 2, FieldType::Int32},
      {220, "ScanID ScanTime MSLevel CollisionEnergy MzOfInterest ", 156, 1, FieldType::Int32},
      {216, "ScanID ScanTime MSLevel CollisionEnergy MzOfInterest ", 152, 1, FieldType::Int32},
      {196, "ScanID MRMChannel ScanTime MSLevel ", 144, 1, FieldType::Int32},
      {186, "ScanID MRMChannel ScanTime MSLevel ", 136, 1, FieldType::Int16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stride);
    const auto layout = builtin_layout(c.stride);
    ASSERT_TRUE(layout.has_value());
    std::string names;
    for (const FieldSlot& slot : layout->scan_fields) {
      names += slot.name + " ";
      EXPECT_LE(slot.offset + field_size(slot.type), c.stride);
    }
    EXPECT_EQ(names, c.scan_fields);
    EXPECT_EQ(layout->source, LayoutSource::BuiltIn);
    EXPECT_EQ(layout->stride(), c.stride);
    EXPECT_EQ(layout->scan_fields_size, c.first_descriptor);
    EXPECT_EQ(layout->descriptor_count, c.count);
    EXPECT_EQ(layout->block_field("SpectrumFormatID")->type, c.format);
    const FieldSlot& last = layout->block_fields.back();
    EXPECT_EQ(last.name, "UncompressedByteCount");
    EXPECT_LE(last.offset + field_size(last.type), layout->descriptor_size);
  }
  for (const std::uint32_t other : {0u, 136u, 184u, 256u, 274u, 285u}) EXPECT_FALSE(builtin_layout(other)) << other;
}

TEST(BuiltinLayout, AgreesWithTheRecordDecoderOnWrittenAcquisitions) {
  using namespace vornak::synthetic;
  for (const std::uint32_t stride : MSSCAN_STRIDES) {
    SCOPED_TRACE(stride);
    Acquisition acquisition;
    acquisition.record_stride = stride;
    const bool two = stride == 284;
    const auto scan = [](std::uint32_t id, double minutes, std::uint16_t level) {
      Scan made;
      made.scan_id = id;
      made.retention_time_min = minutes;
      made.ms_level = level;
      return made;
    };
    Scan ms1 = scan(10, 0.25, 1);
    ms1.mrm_channel = 3;
    ms1.blocks.push_back(profile_block({1, 2, 3, 4}));
    if (two) ms1.blocks.push_back(peak_block(2, {100.5, 200.25}, {5.0f, 6.0f}));
    if (two) {
      ms1.mz_range_low = 100.0;
      ms1.mz_range_high = 1500.0;
    }
    Scan ms2 = scan(11, 0.5, 2);
    ms2.mrm_channel = 0xFFFFFFFF;
    ms2.precursor_mz = 445.12;
    ms2.collision_energy = 35.0;
    ms2.blocks.push_back(peak_block(3, {150.0}, {7.0f}));
    if (two) ms2.blocks.push_back(descriptor_only({.format_id = 5, .offset = 0xFFFFFFFFFFFFFFF0}));
    Scan odd = scan(12, -1.0, 2);
    odd.blocks.push_back(descriptor_only({.format_id = stride == 186 ? 0xFFFFu : 0x80000001u,
                                          .offset = 1ULL << 63, .byte_count = 0xFFFFFFFF}));
    Scan large = scan(13, 2.0, 1);
    large.blocks.push_back(descriptor_only({.format_id = 1, .offset = 0x8000000000000001, .byte_count = 0x80000000,
                                            .point_count = 0xFFFFFFFF, .uncompressed_byte_count = 0x90000000}));
    acquisition.scans = {ms1, ms2, odd, large};
    const TempDir dir;
    write_acquisition(dir.path(), acquisition);
    expect_same_records(read_bytes(dir.path() / "AcqData" / "MSScan.bin"));
  }
}

TEST(BuiltinLayout, AgreesWithTheRecordDecoderOnRandomRecords) {
  std::uint64_t state = 12345;
  const auto next_byte = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint8_t>(state >> 56);
  };
  const std::map<std::uint32_t, std::vector<std::size_t>> descriptor_slots = {
      {284, {156, 220}}, {220, {156}}, {216, {152}}, {196, {144}}, {186, {136}}};
  for (const std::uint32_t stride : MSSCAN_STRIDES) {
    SCOPED_TRACE(stride);
    Bytes index = header(228);
    for (std::uint32_t i = 0; i < 40; ++i) {
      const std::size_t start = index.size();
      for (std::uint32_t b = 0; b < stride; ++b) index.push_back(next_byte());
      // Formats 1 to 3 more often than chance, in the descriptor slots of the layout.
      for (const std::size_t at : descriptor_slots.at(stride)) {
        const std::uint32_t format = next_byte() < 192 ? 1 + i % 3 : next_byte();
        if (stride == 186) {
          put(index, start + at, static_cast<std::uint16_t>(format));
        } else {
          put(index, start + at, format);
        }
      }
      if (i < 2) {
        put(index, start, std::uint32_t{1000 + i});  // a second record that stride detection believes
        put(index, start + 20, std::uint16_t{static_cast<std::uint16_t>(1 + i)});
      }
    }
    expect_same_records(index);
  }
}

// Acquisitions from public repositories, when the shared folder is present.
class RealScanSchemas : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(VORNAK_REALDATA_DIR)) {
      GTEST_SKIP() << "real acquisitions not found at " << VORNAK_REALDATA_DIR << "; skipping";
    }
  }
  static std::filesystem::path root() { return VORNAK_REALDATA_DIR; }
};

TEST_F(RealScanSchemas, EverySchemaEveryPrefix) {
  std::size_t schemas = 0;
  for (const auto& folder : std::filesystem::directory_iterator(root())) {
    const auto path = folder.path() / "AcqData" / "MSScan.xsd";
    if (!std::filesystem::is_regular_file(path)) continue;
    SCOPED_TRACE(path.string());
    const Bytes document = read_bytes(path);
    check_every_prefix(std::string_view(reinterpret_cast<const char*>(document.data()), document.size()));
    ++schemas;
  }
  EXPECT_GE(schemas, 6u);
}

// Each folder's schema gives the reference stride, tiles the record area, and its fields
// read the values the reference lists for its scans.
TEST_F(RealScanSchemas, FieldsMatchTheReference) {
  std::ifstream reference_file(root() / "reference.json");
  ASSERT_TRUE(reference_file.good());
  const nlohmann::json reference = nlohmann::json::parse(reference_file);
  std::size_t checked = 0;
  for (const auto& folder : std::filesystem::directory_iterator(root())) {
    const auto schema_path = folder.path() / "AcqData" / "MSScan.xsd";
    if (!std::filesystem::is_regular_file(schema_path)) continue;
    const std::string name = folder.path().filename().string();
    SCOPED_TRACE(name);
    ASSERT_TRUE(reference["folders"].contains(name));
    const nlohmann::json& expected = reference["folders"][name];

    const Bytes index = read_bytes(folder.path() / "AcqData" / "MSScan.bin");
    ASSERT_GE(index.size(), 92u);
    const auto count = load_le<std::uint32_t>(index.data() + 0x4C);
    const auto data_offset = load_le<std::uint32_t>(index.data() + 88);
    const auto layout = parse_scan_schema(read_bytes(schema_path), count);
    ASSERT_TRUE(layout.has_value()) << layout.error().message();
    expect_consistent(*layout);
    EXPECT_EQ(layout->stride(), expected["stride"].get<std::uint32_t>());
    EXPECT_EQ(data_offset, expected["first_record_offset"].get<std::uint32_t>());
    ASSERT_LE(data_offset, index.size());
    EXPECT_EQ((index.size() - data_offset) % layout->stride(), 0u);
    EXPECT_EQ((index.size() - data_offset) / layout->stride(), expected["scan_count"].get<std::size_t>());

    const auto scan_value = [&](ByteView record, const char* field) {
      const FieldSlot* slot = layout->scan_field(field);
      EXPECT_NE(slot, nullptr) << field;
      return slot ? read_field(record, *slot) : FieldValue{};
    };
    for (const nlohmann::json& scan : expected["scans"]) {
      const std::size_t at = data_offset + scan["index"].get<std::size_t>() * layout->stride();
      ASSERT_LE(layout->stride(), index.size() - at);
      const ByteView record = ByteView(index).subspan(at, layout->stride());
      SCOPED_TRACE("scan " + scan["index"].dump());
      EXPECT_EQ(as_integer(scan_value(record, "ScanID")), scan["scan_id"].get<std::int64_t>());
      EXPECT_EQ(as_double(scan_value(record, "ScanTime")) * 60.0, scan["rt_min"].get<double>() * 60.0);
      EXPECT_EQ(as_integer(scan_value(record, "MSLevel")), scan["ms_level"].get<std::int64_t>());
      EXPECT_EQ(as_integer(scan_value(record, "ScanType")), scan["scan_type"].get<std::int64_t>());
      EXPECT_EQ(as_double(scan_value(record, "TIC")), scan["tic"].get<double>());
      EXPECT_EQ(as_double(scan_value(record, "BasePeakMZ")), scan["base_peak_mz"].get<double>());
      EXPECT_EQ(as_double(scan_value(record, "BasePeakValue")), scan["base_peak_value"].get<double>());
      for (const auto& [field, key] : {std::pair{"CalibrationID", "calibration_id"}, {"MassCalOffset", "mass_cal_offset"}}) {
        if (scan[key].is_null()) {
          EXPECT_EQ(layout->scan_field(field), nullptr) << field;
        } else {
          EXPECT_EQ(as_integer(scan_value(record, field)), scan[key].get<std::int64_t>()) << field;
        }
      }

      ASSERT_EQ(scan["blocks"].size(), layout->descriptor_count);
      for (std::uint32_t i = 0; i < layout->descriptor_count; ++i) {
        const nlohmann::json& block = scan["blocks"][i];
        const ByteView descriptor = record.subspan(layout->descriptor_offset(i), layout->descriptor_size);
        const auto block_value = [&](const char* field) { return read_field(descriptor, *layout->block_field(field)); };
        EXPECT_EQ(as_integer(block_value("SpectrumFormatID")), block["format"].get<std::int64_t>());
        EXPECT_EQ(as_integer(block_value("SpectrumOffset")), block["offset"].get<std::int64_t>());
        EXPECT_EQ(as_integer(block_value("ByteCount")), block["byte_count"].get<std::int64_t>());
        EXPECT_EQ(as_integer(block_value("PointCount")), block["point_count"].get<std::int64_t>());
        EXPECT_EQ(as_double(block_value("MaxY")), block["max_y"].get<double>());
        if (block["uncompressed_byte_count"].is_null()) {
          EXPECT_EQ(layout->block_field("UncompressedByteCount"), nullptr);
        } else {
          EXPECT_EQ(as_integer(block_value("UncompressedByteCount")), block["uncompressed_byte_count"].get<std::int64_t>());
        }
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 20u);
}

}  // namespace
}  // namespace vornak
