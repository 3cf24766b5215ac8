// Scan record layouts: where each field of a scan record lies and how it is stored, read from
// the folder's MSScan.xsd or taken from the built-in table of the layouts known without one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"

namespace vornak {

// The stored types a schema may use, by their XML Schema names: xs:byte, xs:short, xs:int,
// xs:long, xs:float, xs:double. All are little-endian and signed.
enum class FieldType : std::uint8_t { Int8, Int16, Int32, Int64, Float32, Float64 };

[[nodiscard]] std::size_t field_size(FieldType type) noexcept;

// One field's value with its stored type.
using FieldValue = std::variant<std::int8_t, std::int16_t, std::int32_t, std::int64_t, float, double>;

// The value as a double (exact for every type but 64-bit integers beyond 2^53).
[[nodiscard]] double as_double(const FieldValue& value) noexcept;
// The value as a 64-bit integer; floating values are truncated toward zero, saturate at the
// ends of the range, and NaN gives 0.
[[nodiscard]] std::int64_t as_integer(const FieldValue& value) noexcept;

struct FieldSlot {
  std::string name;      // the element name; fields of a nested type are "Outer.Inner"
  FieldType type = FieldType::Int32;
  std::uint32_t offset = 0;  // from the start of the record (scan and trailing fields) or of the
                             // descriptor (block fields)

  friend bool operator==(const FieldSlot&, const FieldSlot&) = default;
};

enum class LayoutSource : std::uint8_t { Schema, BuiltIn };

// A record is `scan_fields_size` bytes of scan fields followed by `descriptor_count` block
// descriptors of `descriptor_size` bytes each, then `trailing_size` bytes of fields that a
// schema places after the descriptors (ICP-MS records have an XSpecificParamType there; no
// other layout has any).
struct RecordLayout {
  std::vector<FieldSlot> scan_fields;      // in record order
  std::vector<FieldSlot> block_fields;     // in descriptor order
  std::vector<FieldSlot> trailing_fields;  // in record order, offsets from the record's start
  std::uint32_t scan_fields_size = 0;
  std::uint32_t descriptor_size = 0;
  std::uint32_t descriptor_count = 0;
  std::uint32_t trailing_size = 0;
  LayoutSource source = LayoutSource::Schema;

  // A record without block descriptors (ion mobility): its blocks are described by scan fields
  // of their own names (MsProf*, MsPeak*).
  [[nodiscard]] bool flat() const noexcept { return descriptor_size == 0; }
  // At most 65536 for every layout made here, so the sum cannot wrap.
  [[nodiscard]] std::uint32_t stride() const noexcept {
    return scan_fields_size + descriptor_count * descriptor_size + trailing_size;
  }
  // Where descriptor `index` (< descriptor_count) starts in the record.
  [[nodiscard]] std::uint32_t descriptor_offset(std::uint32_t index) const noexcept {
    return scan_fields_size + index * descriptor_size;
  }
  // The slot of a scan, block or trailing field by exact name; null when there is none.
  [[nodiscard]] const FieldSlot* scan_field(std::string_view name) const noexcept;
  [[nodiscard]] const FieldSlot* block_field(std::string_view name) const noexcept;
  [[nodiscard]] const FieldSlot* trailing_field(std::string_view name) const noexcept;

  friend bool operator==(const RecordLayout&, const RecordLayout&) = default;
};

// The layout an MSScan.xsd document describes, with `descriptor_count` block descriptors (the
// u32 at 0x4C of MSScan.bin). The record is the sequence of the complexType ScanRecordType: an
// element of a built-in type (xs:byte, short, int, long, float, double, with any prefix bound to
// the XML Schema namespace) is a field, an element of another complexType of the document is
// laid out in place ("Outer.Inner"), and the one element of type SpectrumParamsType is the
// block descriptor, repeated `descriptor_count` times where it stands; a record type without
// such an element is flat (descriptor_count 0, every field a scan field, and the word at 0x4C
// says nothing). minOccurs does not make
// a field absent; elements inside comments do not count. Each field name is unique within its
// region. Parse errors, with a message naming what is wrong: a document that is not UTF-8 XML,
// no ScanRecordType, no or two SpectrumParamsType elements, an unknown type, an element that may
// repeat (maxOccurs other than 1, except the descriptor's), a choice or other variable content,
// a type that contains itself or nests more than 16 deep, a descriptor count of 0 or above 16
// for a record with a descriptor, or a stride above 65536 bytes.
[[nodiscard]] Result<RecordLayout> parse_scan_schema(ByteView document, std::uint32_t descriptor_count);

// The frame record of an ion-mobility folder's IMSFrame.xsd (complexType FrameRecordType), laid
// out by the same rules; a frame record has no block descriptor. Errors name IMSFrame.xsd.
[[nodiscard]] Result<RecordLayout> parse_frame_schema(ByteView document);

// The layout ICP-MS instruments write without a schema: 136-byte records of 72 bytes of scan
// fields (ScanID, ScanMethodID, TimeSegmentID, ScanTime, MSLevel, ScanType, TIC, BasePeakMZ,
// BasePeakValue, Status, IonMode, IonPolarity, SamplingPeriod), one 52-byte descriptor
// (SpectrumFormatID, SpectrumOffset, ByteCount, PointCount, MinX, MaxX, MinY, MaxY) and a trailing
// XSpecificParamType (Offset, ByteCount) into MSScan_XSpecific.bin. Its source is BuiltIn.
[[nodiscard]] RecordLayout icpms_builtin_layout();
inline constexpr std::uint32_t ICPMS_BUILTIN_STRIDE = 136;

// The ICP-MS layout for a scan index without a schema, when it fits exactly: the layout word
// (u32 at 0x48) is 2, one descriptor per record (u32 at 0x4C), a non-empty record area of whole
// 136-byte records, and every record describes a channel block: format 1, a non-negative offset,
// 28 bytes per point, a finite retention time. None otherwise. `bytes` is the whole MSScan.bin
// and `data_offset` its checked first-record offset.
[[nodiscard]] std::optional<RecordLayout> schemaless_icpms_layout(ByteView bytes, std::uint32_t data_offset);

// The built-in layout of a record stride detected without a schema (one of MSSCAN_STRIDES):
// exactly the fields that MSScan's record decoder reads, at its offsets. Its scan fields use
// the schema's names for what they hold (ScanID, ScanTime, MSLevel, CollisionEnergy,
// MzOfInterest), plus "MRMChannel" (186, 196) and "MzRangeLow"/"MzRangeHigh" (284); its block
// fields are SpectrumFormatID (Int16 in the packed 186 layout, Int32 in the others),
// SpectrumOffset, ByteCount, PointCount and UncompressedByteCount. The decoder reads these
// as unsigned; the slots are signed, so a caller reinterprets the bits where it needs to. In
// layout 284 MzRangeLow and MzRangeHigh lie inside the second descriptor (offsets 244 and 252
// of the record), where that decoder reads them. Absent for any other stride.
[[nodiscard]] std::optional<RecordLayout> builtin_layout(std::uint32_t stride);

// The value of `slot` in `bytes`; the caller has checked slot.offset + field_size <= bytes.size().
[[nodiscard]] FieldValue read_field(ByteView bytes, const FieldSlot& slot) noexcept;

}  // namespace vornak
