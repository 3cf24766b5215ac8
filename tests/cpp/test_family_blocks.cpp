// The decoders of the triple-quad, ion-mobility and ICP-MS families at their edges: point lists
// and quad profiles, flat and frame schemas, the frame table, time segments and channel
// transitions, the schema-less ICP-MS layout, silent trailing bins, and the block routing table.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "full_reader/block_rule.hpp"
#include "reader_lib/raw/ims_frames.hpp"
#include "reader_lib/raw/profile_payload.hpp"
#include "reader_lib/raw/quad_blocks.hpp"
#include "reader_lib/raw/scan_layout.hpp"
#include "reader_lib/raw/time_segments.hpp"
#include "tests/support/real_layout.hpp"

namespace vornak {
namespace {

using Bytes = std::vector<std::uint8_t>;

ByteView view(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

template <typename T>
void append(Bytes& out, T value) {
  const auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

template <typename T>
void put(Bytes& out, std::size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

template <typename T>
std::string outcome(const Result<T>& result) {
  return result ? "ok" : "error: " + result.error().message();
}

// ---- triple-quad blocks -------------------------------------------------------------------

TEST(QuadBlocks, PointListFitsExactlyOrIsRefused) {
  // Three points: x 100.5, 200.25, 300; counts 7, -1 (stored as i32), 2^31 - 1.
  Bytes exact;
  for (const float x : {100.5F, 200.25F, 300.0F}) append(exact, x);
  for (const std::int32_t count : {7, -1, 2147483647}) append(exact, count);
  Bytes over = exact;
  over.push_back(0);
  struct Case {
    const char* what;
    Bytes block;
    std::uint32_t points;
    std::string expected;
  };
  const Case cases[] = {
      {"fits exactly", exact, 3, "ok"},
      {"one byte short", Bytes(exact.begin(), exact.end() - 1), 3,
       "error: point list of 3 points needs 24 bytes, the block has 23"},
      {"one byte over", over, 3, "error: point list of 3 points needs 24 bytes, the block has 25"},
      {"no points, no bytes", {}, 0, "ok"},
      {"a count of 2^32 - 1", exact, 0xFFFFFFFF,
       "error: point list of 4294967295 points needs 34359738360 bytes, the block has 24"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto points = decode_point_list(c.block, c.points);
    EXPECT_EQ(outcome(points), c.expected);
    if (points && c.points == 3) {
      EXPECT_EQ(points->x, (std::vector<double>{100.5, 200.25, 300.0}));
      EXPECT_EQ(points->counts, (std::vector<double>{7.0, -1.0, 2147483647.0}));
    }
  }
}

TEST(QuadBlocks, ProfileEncodingFollowsTheBlockSize) {
  // Two bins: 8 + 4N bytes is f32 axis and i32 counts, 16 + 4N is f64 axis and f32 abundances.
  Bytes counts;
  append(counts, 200.0F);
  append(counts, 0.1000061F);
  append(counts, std::int32_t{-5});
  append(counts, std::int32_t{9});
  Bytes abundances;
  append(abundances, 150.0);
  append(abundances, 0.125);
  append(abundances, 1.5F);
  append(abundances, 2.25F);
  struct Case {
    const char* what;
    Bytes block;
    std::uint32_t bins;
    std::string expected;
  };
  const std::string sizes = "; expected 8 + 4N (16) or 16 + 4N (24)";
  const Case cases[] = {
      {"f32 axis, fits exactly", counts, 2, "ok"},
      {"f64 axis, fits exactly", abundances, 2, "ok"},
      {"one short of the f32 axis", Bytes(counts.begin(), counts.end() - 1), 2,
       "error: profile block of 2 bins has 15 bytes" + sizes},
      {"one over the f32 axis", [&] { Bytes b = counts; b.push_back(0); return b; }(), 2,
       "error: profile block of 2 bins has 17 bytes" + sizes},
      {"one short of the f64 axis", Bytes(abundances.begin(), abundances.end() - 1), 2,
       "error: profile block of 2 bins has 23 bytes" + sizes},
      {"one over the f64 axis", [&] { Bytes b = abundances; b.push_back(0); return b; }(), 2,
       "error: profile block of 2 bins has 25 bytes" + sizes},
      {"no bins, an f32 header", Bytes(counts.begin(), counts.begin() + 8), 0, "ok"},
      {"empty", {}, 0, "error: profile block of 0 bins has 0 bytes; expected 8 + 4N (8) or 16 + 4N (16)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(decode_quad_profile(c.block, c.bins)), c.expected);
  }
  const auto f32 = decode_quad_profile(counts, 2);
  ASSERT_TRUE(f32);
  EXPECT_EQ(f32->encoding, QuadProfileEncoding::F32AxisCounts);
  EXPECT_EQ(f32->step, static_cast<double>(0.1000061F));
  EXPECT_EQ(f32->intensity, (std::vector<double>{-5.0, 9.0}));
  const auto f64 = decode_quad_profile(abundances, 2);
  ASSERT_TRUE(f64);
  EXPECT_EQ(f64->encoding, QuadProfileEncoding::F64AxisAbundances);
  EXPECT_EQ(f64->first_x, 150.0);
  EXPECT_EQ(f64->intensity, (std::vector<double>{1.5, 2.25}));
}

// ---- flat and frame schemas ---------------------------------------------------------------

std::string record_schema(std::string_view type_name, std::string_view elements, std::string_view types = "") {
  return R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema"><xs:complexType name=")" + std::string(type_name) +
         R"("><xs:sequence>)" + std::string(elements) + "</xs:sequence></xs:complexType>" + std::string(types) +
         "</xs:schema>";
}

std::string element(std::string_view name, std::string_view type) {
  return "<xs:element name=\"" + std::string(name) + "\" type=\"" + std::string(type) + "\"/>";
}

const std::string DESCRIPTOR_TYPE = R"(<xs:complexType name="SpectrumParamsType"><xs:sequence>)" +
                                    element("SpectrumFormatID", "xs:int") + "</xs:sequence></xs:complexType>";

// "stride S, descriptors D": the shape of a layout, or the error.
std::string shape(const Result<RecordLayout>& layout) {
  if (!layout) return "error: " + layout.error().message();
  return "stride " + std::to_string(layout->stride()) + ", descriptors " + std::to_string(layout->descriptor_count) +
         (layout->flat() ? ", flat" : "");
}

TEST(FlatSchemas, TheDescriptorCountAppliesOnlyToRecordsWithADescriptor) {
  const std::string flat = record_schema("ScanRecordType", element("ScanID", "xs:int") + element("FrameID", "xs:short"));
  const std::string with_descriptor = record_schema(
      "ScanRecordType", element("ScanID", "xs:int") + element("P", "SpectrumParamsType"), DESCRIPTOR_TYPE);
  struct Case {
    const char* what;
    std::string document;
    std::uint32_t count;
    std::string expected;
  };
  const Case cases[] = {
      {"flat, the word at 0x4C says 2", flat, 2, "stride 6, descriptors 0, flat"},
      {"flat, the word says 0", flat, 0, "stride 6, descriptors 0, flat"},
      {"flat, the word says 2^32 - 1", flat, 0xFFFFFFFF, "stride 6, descriptors 0, flat"},
      {"flat without fields", record_schema("ScanRecordType", ""), 2,
       "error: MSScan.xsd: 'ScanRecordType' has no fields"},
      {"descriptor, count 1", with_descriptor, 1, "stride 8, descriptors 1"},
      {"descriptor, count 0", with_descriptor, 0, "error: MSScan.bin: 0 block descriptors per record (expected 1 to 16)"},
      {"the instruments' flat schema", synthetic::ion_mobility_scan_schema(), 2, "stride 106, descriptors 0, flat"},
      {"the triple quads' schema", synthetic::triple_quad_scan_schema(), 1, "stride 184, descriptors 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(shape(parse_scan_schema(view(c.document), c.count)), c.expected);
  }
  // The triple quads' descriptor keeps the schema's order: the y range before the x range.
  const auto quad = parse_scan_schema(view(synthetic::triple_quad_scan_schema()), 1);
  ASSERT_TRUE(quad);
  EXPECT_EQ(quad->block_field("MinY")->offset, 20U);
  EXPECT_EQ(quad->block_field("MaxX")->offset, 44U);
}

TEST(FrameSchemas, OnlyFlatFrameRecordsAreLaidOut) {
  struct Case {
    const char* what;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"the instruments' frame schema", synthetic::frame_schema(), "stride 130, descriptors 0, flat"},
      {"a frame record with a descriptor",
       record_schema("FrameRecordType", element("FrameId", "xs:short") + element("P", "SpectrumParamsType"),
                     DESCRIPTOR_TYPE),
       "error: IMSFrame.xsd: the frame record has a block descriptor"},
      {"no frame record type", record_schema("ScanRecordType", element("FrameId", "xs:short")),
       "error: IMSFrame.xsd: no complexType named 'FrameRecordType'"},
      {"not XML", "<xs:schema", "error: IMSFrame.xsd: not a well-formed UTF-8 XML document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(shape(parse_frame_schema(view(c.document))), c.expected);
  }
}

// ---- the frame table ----------------------------------------------------------------------

// IMSFrame.bin: the tag, the first record's offset at 0x48, then records of FrameId (short) and
// FrameScanTime (double, minutes), 10 bytes each.
const std::string SMALL_FRAME_SCHEMA =
    record_schema("FrameRecordType", element("FrameId", "xs:short") + element("FrameScanTime", "xs:double"));

Bytes frame_file(std::uint32_t tag, std::uint32_t first, std::size_t header, std::vector<std::int16_t> ids) {
  Bytes bytes(header, 0);
  put(bytes, 0, tag);
  put(bytes, 0x48, first);
  for (const std::int16_t id : ids) {
    append(bytes, id);
    append(bytes, 0.5 * id);
  }
  return bytes;
}

TEST(FrameTable, HeaderAndRecordAreaAtTheirEdges) {
  const std::string methods = R"(<FrameMethods><FrameMethod FrameMethId="1"><FrameDtPeriod>0.25</FrameDtPeriod>
      <DefMassCalId>3</DefMassCalId></FrameMethod></FrameMethods>)";
  struct Case {
    const char* what;
    Bytes frames;
    std::string schema = SMALL_FRAME_SCHEMA;
    std::string methods_document;
    std::string expected;
  };
  const Bytes good = frame_file(0x116, 76, 76, {1, 2});
  const Case cases[] = {
      {"two frames from 76", good, SMALL_FRAME_SCHEMA, methods, "ok"},
      {"no frames: the first record at the end", frame_file(0x116, 76, 76, {}), SMALL_FRAME_SCHEMA, methods, "ok"},
      {"header one byte short", Bytes(good.begin(), good.begin() + 75), SMALL_FRAME_SCHEMA, methods,
       "error: IMSFrame.bin: too small for its header"},
      {"another tag", frame_file(0x117, 76, 76, {1}), SMALL_FRAME_SCHEMA, methods,
       "error: IMSFrame.bin: tag 279 is not that of a frame file"},
      {"first record inside the header", frame_file(0x116, 75, 76, {1}), SMALL_FRAME_SCHEMA, methods,
       "error: IMSFrame.bin: first record offset 75 lies outside the 86-byte file"},
      {"first record one past the end", frame_file(0x116, 87, 76, {1}), SMALL_FRAME_SCHEMA, methods,
       "error: IMSFrame.bin: first record offset 87 lies outside the 86-byte file"},
      {"a record one byte short", Bytes(good.begin(), good.end() - 1), SMALL_FRAME_SCHEMA, methods,
       "error: IMSFrame.bin: record area of 19 bytes is not a whole number of the 10-byte records IMSFrame.xsd "
       "describes"},
      {"no FrameScanTime", good, record_schema("FrameRecordType", element("FrameId", "xs:short")), methods,
       "error: IMSFrame.xsd: the frame record has no field FrameScanTime"},
      {"two methods of one id", good, SMALL_FRAME_SCHEMA,
       R"(<FrameMethods><FrameMethod FrameMethId="1"/><FrameMethod FrameMethId="1"/></FrameMethods>)",
       "error: IMSFrameMeth.xml: two frame methods with id 1"},
      {"a method without an id", good, SMALL_FRAME_SCHEMA, R"(<FrameMethods><FrameMethod/></FrameMethods>)",
       "error: IMSFrameMeth.xml: a FrameMethod without a numeric FrameMethId"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(FrameTable::read(c.frames, view(c.schema), view(c.methods_document))), c.expected);
  }
  const auto table = FrameTable::read(good, view(SMALL_FRAME_SCHEMA), view(methods));
  ASSERT_TRUE(table);
  ASSERT_EQ(table->frames().size(), 2U);
  EXPECT_EQ(table->frames()[1].retention_time_sec, 60.0);  // 1 minute
  EXPECT_EQ(table->frames()[1].ms_level, 1U);              // no FragClass: one level
  EXPECT_EQ(table->find(2), 1U);
  EXPECT_FALSE(table->find(3));
  ASSERT_NE(table->method(1), nullptr);
  EXPECT_EQ(table->method(1)->drift_bin_period_ms, 0.25);
  EXPECT_EQ(table->method(1)->default_calibration_id, 3);
}

// ---- time segments and channel transitions -------------------------------------------------

TEST(TimeSegments, SegmentsAndTransitionsAndTheirErrors) {
  const auto segments = parse_time_segments(view(
      R"(<TimeSegments><Version>3</Version><TimeSegment TimeSegmentID="1"><StartTime>0.5</StartTime>
         <NumOfScans>4</NumOfScans></TimeSegment><TimeSegment TimeSegmentID="2"><EndTime>3</EndTime></TimeSegment>
         </TimeSegments>)"));
  ASSERT_TRUE(segments);
  ASSERT_EQ(segments->size(), 2U);
  EXPECT_EQ((*segments)[0].start_min, 0.5);
  EXPECT_FALSE((*segments)[0].end_min);  // absent, not 0
  EXPECT_EQ((*segments)[0].scans, 4);
  EXPECT_EQ((*segments)[1].id, 2);
  EXPECT_EQ(outcome(parse_time_segments(view("<TimeSegments><TimeSegment TimeSegmentID=\"x\"/></TimeSegments>"))),
            "error: MSTS.xml: a TimeSegment without a numeric TimeSegmentID");
  EXPECT_EQ(outcome(parse_time_segments(view(""))), "error: MSTS.xml: not a well-formed UTF-8 XML document");

  const auto mass = [](std::string_view index, std::string_view precursor, std::string_view product) {
    std::string text = "<MSTS_XAddition_IndexedMasses>";
    if (!index.empty()) text += "<Index>" + std::string(index) + "</Index>";
    if (!precursor.empty()) text += "<PrecursorIonMZ>" + std::string(precursor) + "</PrecursorIonMZ>";
    if (!product.empty()) text += "<ProductIonMZ>" + std::string(product) + "</ProductIonMZ>";
    return text + "</MSTS_XAddition_IndexedMasses>";
  };
  struct Case {
    const char* what;
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {"nested at any depth", "<a><b>" + mass("1", "31", "47") + "</b>" + mass("2", "75", "91") + "</a>", "ok"},
      {"no Index", "<a>" + mass("", "31", "47") + "</a>",
       "error: MSTS_XAddition.xml: an indexed mass without a numeric Index"},
      {"an Index that is not a number", "<a>" + mass("one", "31", "47") + "</a>",
       "error: MSTS_XAddition.xml: an indexed mass without a numeric Index"},
      {"no product", "<a>" + mass("1", "31", "") + "</a>",
       "error: MSTS_XAddition.xml: indexed mass 1 lacks PrecursorIonMZ or ProductIonMZ"},
      {"one index twice", "<a>" + mass("1", "31", "47") + mass("1", "75", "91") + "</a>",
       "error: MSTS_XAddition.xml: two indexed masses with index 1"},
      {"not XML", "<a>", "error: MSTS_XAddition.xml: not a well-formed UTF-8 XML document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(outcome(parse_channel_transitions(view(c.document))), c.expected);
  }
  const auto transitions = parse_channel_transitions(view("<a>" + mass("2", "75", "91") + mass("1", "31", "47") + "</a>"));
  ASSERT_TRUE(transitions);
  ASSERT_EQ(transitions->size(), 2U);
  EXPECT_EQ((*transitions)[0].index, 2);  // document order
  EXPECT_EQ((*transitions)[1].precursor_mz, 31.0);
  EXPECT_EQ((*transitions)[1].product_mz, 47.0);
}

// ---- ICP-MS without a schema --------------------------------------------------------------

// A scan index of `records` 136-byte ICP-MS records from 208, each describing a channel block of
// 3 points (84 bytes) at a non-negative offset.
Bytes icpms_index(std::size_t records) {
  Bytes bytes(208, 0);
  put(bytes, 0, std::uint32_t{257});
  put(bytes, 0x48, std::uint32_t{2});
  put(bytes, 0x4C, std::uint32_t{1});
  put(bytes, 0x58, std::uint32_t{208});
  for (std::size_t i = 0; i < records; ++i) {
    Bytes record(136, 0);
    put(record, 12, 0.01 * static_cast<double>(i + 1));  // ScanTime
    put(record, 72, std::int32_t{1});                      // SpectrumFormatID
    put(record, 76, std::int64_t{68});                     // SpectrumOffset
    put(record, 84, std::int32_t{84});                     // ByteCount
    put(record, 88, std::int32_t{3});                      // PointCount
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
}

TEST(SchemalessIcpms, OnlyRecordsThatFitExactlyAreTakenForTheLayout) {
  const std::size_t last = 208 + 2 * 136;  // the last record of three
  struct Case {
    const char* what;
    std::function<void(Bytes&)> change;
    bool accepted;
  };
  const Case cases[] = {
      {"three records that fit", [](Bytes&) {}, true},
      {"one byte short", [](Bytes& b) { b.pop_back(); }, false},
      {"one byte over", [](Bytes& b) { b.push_back(0); }, false},
      {"no records", [](Bytes& b) { b.resize(208); }, false},
      {"layout word 5", [](Bytes& b) { put(b, 0x48, std::uint32_t{5}); }, false},
      {"two descriptors", [](Bytes& b) { put(b, 0x4C, std::uint32_t{2}); }, false},
      {"format 2 in the last record", [&](Bytes& b) { put(b, last + 72, std::int32_t{2}); }, false},
      {"a negative offset", [&](Bytes& b) { put(b, last + 76, std::int64_t{-1}); }, false},
      {"27 bytes a point", [&](Bytes& b) { put(b, last + 84, std::int32_t{81}); }, false},
      {"29 bytes a point", [&](Bytes& b) { put(b, last + 84, std::int32_t{87}); }, false},
      {"no points, no bytes",
       [&](Bytes& b) {
         put(b, last + 84, std::int32_t{0});
         put(b, last + 88, std::int32_t{0});
       },
       true},
      {"a NaN retention time", [&](Bytes& b) { put(b, last + 12, std::numeric_limits<double>::quiet_NaN()); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = icpms_index(3);
    c.change(bytes);
    const auto layout = schemaless_icpms_layout(bytes, 208);
    EXPECT_EQ(layout.has_value(), c.accepted);
    if (layout) {
      EXPECT_EQ(layout->stride(), ICPMS_BUILTIN_STRIDE);
      EXPECT_EQ(layout->source, LayoutSource::BuiltIn);
    }
  }
  EXPECT_FALSE(schemaless_icpms_layout(icpms_index(1), 209));  // 135 bytes of records
  EXPECT_FALSE(schemaless_icpms_layout(Bytes(0x4F, 0), 0));     // no descriptor word
}

// ---- run-length streams that stop early ---------------------------------------------------

TEST(RunLength, TrailingBinsMayBeSilentOnlyWhereAllowed) {
  // Tokens 4 bytes wide, counts 5 and 6 from bin 1 (one leading empty bin) of N.
  Bytes tokens;
  append(tokens, std::int32_t{5});
  append(tokens, std::int32_t{6});
  const std::string OVER = "error: Run-length count at token byte 4 lies past the last of the 2 bins";
  struct Case {
    const char* what;
    std::uint32_t bins;
    TrailingBins trailing;
    std::string expected;
  };
  const Case cases[] = {
      {"ends on the last bin, must be coded", 3, TrailingBins::MustBeCoded, "ok"},
      {"ends on the last bin, may be silent", 3, TrailingBins::MayBeSilent, "ok"},
      {"one bin short, must be coded", 4, TrailingBins::MustBeCoded, "error: Run-length tokens end at bin 3 of 4"},
      {"one bin short, may be silent", 4, TrailingBins::MayBeSilent, "ok"},
      {"one bin over, must be coded", 2, TrailingBins::MustBeCoded, OVER},
      {"one bin over, may be silent", 2, TrailingBins::MayBeSilent, OVER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> out(c.bins, std::numeric_limits<double>::quiet_NaN());
    const Result<void> result = decode_run_length(tokens, -1, c.bins, out.data(), c.trailing);
    EXPECT_EQ(result ? "ok" : "error: " + result.error().message(), c.expected);
    if (result) {
      // Every bin written, the silent ones empty.
      std::vector<double> expected(c.bins, 0.0);
      expected[1] = 5.0;
      expected[2] = 6.0;
      EXPECT_EQ(out, expected);
    }
  }
  // The same through a whole block: a frame sum whose stream stops early decodes, a drift bin not.
  const std::vector<std::uint32_t> counts = {0, 3, 0, 0};
  const Bytes block = synthetic::encode_run_length_profile(20000.0, 0.5, counts, false);
  EXPECT_EQ(outcome(decode_profile_payload(block, 4, 0, TrailingBins::MustBeCoded)),
            "error: Run-length tokens end at bin 2 of 4");
  const auto silent = decode_profile_payload(block, 4, 0, TrailingBins::MayBeSilent);
  ASSERT_TRUE(silent);
  EXPECT_EQ(silent->intensity, (std::vector<double>{0, 3, 0, 0}));
}

// ---- which file and decoder a block has ---------------------------------------------------

TEST(BlockRule, RouteOfEveryLayoutWordAndFormat) {
  struct Case {
    const char* what;
    FolderShape folder;
    std::uint32_t format;
    std::optional<BlockRoute> expected;
  };
  constexpr BlockRoute profile_by_content{BlockFileKind::Profile, BlockDecoder::ProfileByContent};
  constexpr BlockRoute quad_profile{BlockFileKind::Profile, BlockDecoder::QuadProfile};
  constexpr BlockRoute peak_columns{BlockFileKind::Peak, BlockDecoder::PeakColumns};
  constexpr BlockRoute point_list{BlockFileKind::Peak, BlockDecoder::PointList};
  const FolderShape quad{5, true, 1, true, true};
  const FolderShape single_quad_peaks{2, true, 1, false, true};
  const FolderShape icpms{2, false, 1, true, false};
  const FolderShape tof{4, true, 2, true, true};
  const FolderShape gc_like_tof{6, true, 1, false, true};
  const FolderShape built_in{0, false, 1, false, true};
  const Case cases[] = {
      {"triple quad, format 1: point list", quad, 1, point_list},
      {"triple quad, format 2: profile", quad, 2, quad_profile},
      {"triple quad, format 3: point list", quad, 3, point_list},
      {"triple quad, format 4: none", quad, 4, std::nullopt},
      {"triple quad without MSProfile.bin, format 2: still a profile", {5, true, 1, false, true}, 2, quad_profile},
      {"single quad, format 1 with peaks only", single_quad_peaks, 1, peak_columns},
      {"single quad, format 1 with neither file", {2, true, 1, false, false}, 1, profile_by_content},
      {"ICP-MS, format 1", icpms, 1, profile_by_content},
      {"ICP-MS, format 2", icpms, 2, peak_columns},
      {"ICP-MS, format 0", icpms, 0, std::nullopt},
      {"TOF, format 1", tof, 1, profile_by_content},
      {"TOF, format 2", tof, 2, peak_columns},
      {"TOF, format 3", tof, 3, peak_columns},
      {"one descriptor, peaks only, format 1", gc_like_tof, 1, peak_columns},
      {"built-in layout, peaks only, format 1", built_in, 1, profile_by_content},
      {"TOF, format 5", tof, 5, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto route = route_descriptor_block(c.folder, c.format);
    ASSERT_EQ(route.has_value(), c.expected.has_value());
    if (route) {
      EXPECT_EQ(route->file, c.expected->file);
      EXPECT_EQ(route->decoder, c.expected->decoder);
    }
  }
  EXPECT_TRUE(flat_profile_route().is_profile());
  EXPECT_FALSE(flat_peak_route().is_profile());
}

}  // namespace
}  // namespace vornak
