// IMSFrame.bin records and IMSFrameMeth.xml frame methods.
#include "reader_lib/raw/ims_frames.hpp"

#include <algorithm>
#include <string>

#include "reader_lib/raw/metadata.hpp"

namespace vornak {
namespace {

constexpr std::uint32_t FRAME_FILE_TAG = 0x116;  // u32 at 0
constexpr std::size_t FIRST_RECORD_OFFSET = 0x48;  // u32: where the first frame record starts
constexpr std::size_t FRAME_HEADER_MIN = FIRST_RECORD_OFFSET + 4;

Error frame_error(const std::string& text) { return Error::parse("IMSFrame.bin: " + text); }

std::optional<double> optional_double(ByteView record, const FieldSlot* slot) {
  if (slot == nullptr) return std::nullopt;
  return as_double(read_field(record, *slot));
}

Result<std::vector<FrameMethod>> read_methods(ByteView document_bytes) {
  pugi::xml_document document;
  if (!load_xml_document(document_bytes, document)) {
    return std::unexpected(Error::parse("IMSFrameMeth.xml: not a well-formed UTF-8 XML document"));
  }
  std::vector<FrameMethod> methods;
  for (const pugi::xml_node node : document.document_element().children()) {
    if (!is_xml_element(node, "FrameMethod")) continue;
    const auto id = parse_xml_integer<std::int64_t>(node.attribute("FrameMethId").value());
    if (!id) return std::unexpected(Error::parse("IMSFrameMeth.xml: a FrameMethod without a numeric FrameMethId"));
    FrameMethod method;
    method.id = *id;
    if (const auto text = element_text(first_child_element(node, "FrameDtPeriod"))) {
      method.drift_bin_period_ms = parse_xml_number(*text);
    }
    if (const auto text = element_text(first_child_element(node, "DefMassCalId"))) {
      method.default_calibration_id = parse_xml_integer<std::int64_t>(*text);
    }
    if (const auto text = element_text(first_child_element(node, "IonPolarity"))) {
      method.ion_polarity = parse_xml_integer<std::int64_t>(*text);
    }
    if (std::ranges::find(methods, method.id, &FrameMethod::id) != methods.end()) {
      return std::unexpected(Error::parse("IMSFrameMeth.xml: two frame methods with id " + std::to_string(*id)));
    }
    methods.push_back(method);
  }
  return methods;
}

}  // namespace

Result<FrameTable> FrameTable::read(ByteView frames, ByteView schema, std::optional<ByteView> methods_document) {
  auto layout = parse_frame_schema(schema);
  if (!layout) return std::unexpected(layout.error());
  const FieldSlot* frame_id = layout->scan_field("FrameId");
  const FieldSlot* scan_time = layout->scan_field("FrameScanTime");
  if (frame_id == nullptr || scan_time == nullptr) {
    return std::unexpected(Error::parse("IMSFrame.xsd: the frame record has no field " +
                                        std::string(frame_id == nullptr ? "FrameId" : "FrameScanTime")));
  }
  const FieldSlot* method_id = layout->scan_field("FrameMethodId");
  const FieldSlot* frag_class = layout->scan_field("FragClass");
  const FieldSlot* frag_energy = layout->scan_field("FragEnergy");
  const FieldSlot* isolation_mz = layout->scan_field("IsolationMz");
  const FieldSlot* isolation_low = layout->scan_field("IsolationStartMz");
  const FieldSlot* isolation_high = layout->scan_field("IsolationEndMz");
  const FieldSlot* tic = layout->scan_field("FrameTic");

  if (frames.size() < FRAME_HEADER_MIN) return std::unexpected(frame_error("too small for its header"));
  if (const auto tag = field_at<std::uint32_t>(frames, 0); tag != FRAME_FILE_TAG) {
    return std::unexpected(frame_error("tag " + std::to_string(tag) + " is not that of a frame file"));
  }
  const std::uint32_t first = field_at<std::uint32_t>(frames, FIRST_RECORD_OFFSET);
  if (first < FRAME_HEADER_MIN || first > frames.size()) {
    return std::unexpected(frame_error("first record offset " + std::to_string(first) + " lies outside the " +
                                       std::to_string(frames.size()) + "-byte file"));
  }
  const std::uint32_t stride = layout->stride();
  const ByteView area = frames.subspan(first);
  if (area.size() % stride != 0) {
    return std::unexpected(frame_error("record area of " + std::to_string(area.size()) +
                                       " bytes is not a whole number of the " + std::to_string(stride) +
                                       "-byte records IMSFrame.xsd describes"));
  }

  FrameTable table;
  const std::size_t count = area.size() / stride;
  table.frames_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const ByteView record = area.subspan(i * stride, stride);
    FrameRecord frame;
    frame.frame_id = as_integer(read_field(record, *frame_id));
    if (method_id != nullptr) frame.method_id = as_integer(read_field(record, *method_id));
    frame.retention_time_sec = as_double(read_field(record, *scan_time)) * 60.0;
    const std::int64_t fragmentation = frag_class == nullptr ? 0 : as_integer(read_field(record, *frag_class));
    frame.ms_level = fragmentation == 2 ? 2 : 1;
    if (frame.ms_level == 2) {
      frame.collision_energy = optional_double(record, frag_energy);
      frame.isolation_mz = optional_double(record, isolation_mz);
      frame.isolation_low = optional_double(record, isolation_low);
      frame.isolation_high = optional_double(record, isolation_high);
    }
    frame.tic = optional_double(record, tic);
    if (!table.frames_.empty() && table.frames_.back().frame_id >= frame.frame_id) table.ids_ascending_ = false;
    table.frames_.push_back(frame);
  }
  if (methods_document) {
    auto methods = read_methods(*methods_document);
    if (!methods) return std::unexpected(methods.error());
    table.methods_ = std::move(*methods);
  }
  return table;
}

std::optional<std::size_t> FrameTable::find(std::int64_t frame_id) const noexcept {
  if (ids_ascending_) {
    const auto found = std::ranges::lower_bound(frames_, frame_id, {}, &FrameRecord::frame_id);
    if (found != frames_.end() && found->frame_id == frame_id) return static_cast<std::size_t>(found - frames_.begin());
    return std::nullopt;
  }
  const auto found = std::ranges::find(frames_, frame_id, &FrameRecord::frame_id);
  if (found == frames_.end()) return std::nullopt;
  return static_cast<std::size_t>(found - frames_.begin());
}

const FrameMethod* FrameTable::method(std::int64_t method_id) const noexcept {
  const auto found = std::ranges::find(methods_, method_id, &FrameMethod::id);
  return found == methods_.end() ? nullptr : &*found;
}

}  // namespace vornak
