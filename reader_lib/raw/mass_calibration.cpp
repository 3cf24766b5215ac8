// Mass calibration: the rows of MSMassCal.bin, the default calibrations of DefaultMassCal.xml,
// the choice between them for one scan, and the conversion of a flight time to m/z.
#include "reader_lib/raw/mass_calibration.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "reader_lib/paths.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/metadata.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

// MSMassCal.bin: a header, then one row per scan in acquisition order.
//   header  0x00: u32 tag 0x0104   0x04..0x43: zero   0x44: u32, 1 in every file seen (not used)
//   row     0: i32 value count, always 10   4 + 8k: f64 value k (a, t0, low, high, c1..c6)
// A file cut off in the middle of a row (a slice of a longer run) keeps its complete rows.
constexpr std::size_t HEADER_LEN = 0x48;
constexpr std::uint32_t MASS_CAL_TAG = 0x0104;
constexpr std::size_t ROW_LEN = 84;
constexpr std::int32_t ROW_VALUE_COUNT = 10;
static_assert(4 + 8 * ROW_VALUE_COUNT == ROW_LEN);

constexpr std::size_t MAX_TERMS = 6;
constexpr std::string_view ROW_VALUE_NAMES[] = {"a", "t0", "low", "high", "c1", "c2", "c3", "c4", "c5", "c6"};

// Values of a Step that this reader knows: Traditional a, t0; Polynomial low, high, c1..c6.
constexpr std::size_t TRADITIONAL_VALUES = 2;
constexpr std::size_t POLYNOMIAL_VALUES = 8;

Error parse_error(std::string message) { return Error::parse(std::move(message)); }

// A text from a file, quoted for a message: at most 40 bytes of it, shown as UTF-8.
std::string quoted(std::string_view text) {
  constexpr std::size_t SHOWN = 40;
  if (text.size() <= SHOWN) return "\"" + utf8_lossy(text) + "\"";
  return "\"" + utf8_lossy(text.substr(0, SHOWN)) + "...\"";
}

// Rows of MSMassCal.bin, every one holding 10 finite values; errors name the row.
Result<std::vector<std::array<double, 10>>> decode_rows(ByteView bytes) {
  if (bytes.size() < HEADER_LEN) {
    return std::unexpected(parse_error("MSMassCal.bin holds " + std::to_string(bytes.size()) +
                                       " bytes, fewer than its 72-byte header"));
  }
  const std::uint32_t tag = field_at<std::uint32_t>(bytes, 0);
  if (tag != MASS_CAL_TAG) {
    return std::unexpected(parse_error("MSMassCal.bin starts with tag " + std::to_string(tag) + ", not 0x0104"));
  }
  const ByteView area = bytes.subspan(HEADER_LEN);
  const std::size_t count = area.size() / ROW_LEN;
  std::vector<std::array<double, 10>> rows;
  rows.reserve(count);
  // for each whole row: check the count, then take the ten values and check each is finite
  for (std::size_t index = 0; index < count; ++index) {
    const std::span<const std::uint8_t, ROW_LEN> row = area.subspan(index * ROW_LEN).first<ROW_LEN>();
    const std::string where = "MSMassCal.bin row " + std::to_string(index) + " (at byte " +
                              std::to_string(HEADER_LEN + index * ROW_LEN) + ")";
    const auto value_count = field_at<std::int32_t, 0>(row);
    if (value_count != ROW_VALUE_COUNT) {
      return std::unexpected(
          parse_error(where + " has a value count of " + std::to_string(value_count) + ", not 10"));
    }
    std::array<double, 10> values{};
    for (std::size_t k = 0; k < values.size(); ++k) {
      values[k] = load_le<double>(row.data() + 4 + 8 * k);
      if (!std::isfinite(values[k])) {
        return std::unexpected(parse_error(where + " has a non-finite " + std::string(ROW_VALUE_NAMES[k]) + ": " +
                                           std::to_string(values[k])));
      }
    }
    rows.push_back(values);
  }
  return rows;
}

// --- DefaultMassCal.xml -------------------------------------------------------------------

// Values 1..N of one Step, by their Number attribute; absent entries were not in the document.
using StepValues = std::array<std::optional<double>, POLYNOMIAL_VALUES>;

Result<StepValues> read_step_values(const pugi::xml_node& step, std::size_t value_limit, const std::string& where,
                                    std::string_view step_name) {
  const std::string in_step = where + "the " + std::string(step_name) + " step";
  const pugi::xml_node values_element = first_child_element(step, "Values");
  if (!values_element) return std::unexpected(parse_error(in_step + " has no Values"));
  StepValues values;
  for (const pugi::xml_node value : values_element.children()) {
    if (!is_xml_element(value, "Value")) continue;
    const pugi::xml_attribute number_attribute = value.attribute("Number");
    if (!number_attribute) return std::unexpected(parse_error(in_step + " has a Value without a Number"));
    const std::optional<std::size_t> number = parse_xml_integer<std::size_t>(number_attribute.value());
    if (!number || *number < 1 || *number > value_limit) {
      return std::unexpected(parse_error(in_step + " has a Value whose Number " + quoted(number_attribute.value()) +
                                         " is not a whole number from 1 to " + std::to_string(value_limit)));
    }
    std::optional<double>& slot = values[*number - 1];
    if (slot) {
      return std::unexpected(parse_error(in_step + " has two Values numbered " + std::to_string(*number)));
    }
    const std::string value_name = where + "Value " + std::to_string(*number) + " of the " + std::string(step_name) + " step";
    const std::optional<std::string> text = element_text(value);
    if (!text) return std::unexpected(parse_error(value_name + " is not plain text"));
    const std::optional<double> parsed = parse_xml_number(*text);
    if (!parsed) return std::unexpected(parse_error(value_name + " is not a number: " + quoted(*text)));
    if (!std::isfinite(*parsed)) return std::unexpected(parse_error(value_name + " is not finite: " + quoted(*text)));
    slot = *parsed;
  }
  return values;
}

// Values 1..count must all be there.
Result<void> require_values(const StepValues& values, std::size_t count, const std::string& where,
                            std::string_view step_name) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!values[k]) {
      return std::unexpected(parse_error(where + "the " + std::string(step_name) + " step has no Value " +
                                         std::to_string(k + 1)));
    }
  }
  return {};
}

// One DefaultCalibration element: a Traditional step (a, t0) and a Polynomial step (low, high,
// the flags of the powers, c1..c6); each exactly once, any other step is refused.
Result<DefaultCalibration> parse_default_calibration(const pugi::xml_node& element) {
  const pugi::xml_attribute id_attribute = element.attribute("DefaultCalibrationID");
  if (!id_attribute) {
    return std::unexpected(parse_error("DefaultMassCal.xml has a DefaultCalibration without a DefaultCalibrationID"));
  }
  const std::optional<std::int64_t> id = parse_xml_integer<std::int64_t>(id_attribute.value());
  if (!id) {
    return std::unexpected(parse_error("DefaultMassCal.xml has a DefaultCalibrationID that is not a whole number: " +
                                       quoted(id_attribute.value())));
  }
  const std::string where = "DefaultMassCal.xml calibration " + std::to_string(*id) + ": ";

  DefaultCalibration calibration;
  calibration.id = *id;
  CalibrationConstants& constants = calibration.constants;
  bool has_traditional = false;
  bool has_polynomial = false;
  for (const pugi::xml_node step : element.children()) {
    if (!is_xml_element(step, "Step")) continue;
    const pugi::xml_node formula_element = first_child_element(step, "CalibrationFormula");
    const std::optional<std::string> formula =
        formula_element ? element_text(formula_element) : std::optional<std::string>();
    if (!formula) return std::unexpected(parse_error(where + "a Step has no CalibrationFormula text"));

    if (*formula == "Traditional") {
      if (has_traditional) return std::unexpected(parse_error(where + "two Traditional steps"));
      has_traditional = true;
      const Result<StepValues> values = read_step_values(step, TRADITIONAL_VALUES, where, "Traditional");
      if (!values) return std::unexpected(values.error());
      if (const Result<void> present = require_values(*values, TRADITIONAL_VALUES, where, "Traditional"); !present) {
        return std::unexpected(present.error());
      }
      constants.a = *(*values)[0];
      constants.t0 = *(*values)[1];
    } else if (*formula == "Polynomial") {
      if (has_polynomial) return std::unexpected(parse_error(where + "two Polynomial steps"));
      has_polynomial = true;
      const pugi::xml_node flags_element = first_child_element(step, "ValueUseFlags");
      const std::optional<std::string> flags_text =
          flags_element ? element_text(flags_element) : std::optional<std::string>();
      if (!flags_text) return std::unexpected(parse_error(where + "the Polynomial step has no ValueUseFlags text"));
      const std::optional<std::uint32_t> flags = parse_xml_integer<std::uint32_t>(*flags_text);
      if (!flags) {
        return std::unexpected(parse_error(where + "the Polynomial step's ValueUseFlags " + quoted(*flags_text) +
                                           " is not a whole number from 0 to 4294967295"));
      }
      const auto term_count = static_cast<std::size_t>(std::popcount(*flags));
      if (term_count > MAX_TERMS) {
        return std::unexpected(parse_error(where + "the Polynomial step's ValueUseFlags " + std::to_string(*flags) +
                                           " selects " + std::to_string(term_count) +
                                           " powers, more than the 6 coefficients it has"));
      }
      const Result<StepValues> values = read_step_values(step, POLYNOMIAL_VALUES, where, "Polynomial");
      if (!values) return std::unexpected(values.error());
      if (const Result<void> present = require_values(*values, 2 + term_count, where, "Polynomial"); !present) {
        return std::unexpected(present.error());
      }
      constants.low = *(*values)[0];
      constants.high = *(*values)[1];
      // The powers are the set bits of the flags, lowest first; coefficient k goes with the k-th.
      std::size_t term = 0;
      for (std::uint8_t bit = 0; bit < 32; ++bit) {
        if ((*flags >> bit & 1U) != 0) constants.powers[term++] = bit;
      }
      constants.term_count = static_cast<std::uint8_t>(term_count);
      for (std::size_t k = 0; k < MAX_TERMS; ++k) constants.coefficients[k] = (*values)[2 + k].value_or(0.0);
    } else {
      return std::unexpected(parse_error(where + "a Step has the CalibrationFormula " + quoted(*formula) +
                                         ", which is neither Traditional nor Polynomial"));
    }
  }
  if (!has_traditional) return std::unexpected(parse_error(where + "no Traditional step"));
  if (!has_polynomial) return std::unexpected(parse_error(where + "no Polynomial step"));
  return calibration;
}

// Every DefaultCalibration of the document, with distinct ids.
Result<std::vector<DefaultCalibration>> parse_default_calibrations(ByteView bytes) {
  pugi::xml_document document;
  if (!load_xml_document(bytes, document)) {
    return std::unexpected(parse_error("DefaultMassCal.xml is not a well-formed UTF-8 XML document"));
  }
  const pugi::xml_node root = document.document_element();
  if (!is_xml_element(root, "DefaultMassCalibration")) {
    return std::unexpected(parse_error("DefaultMassCal.xml has no DefaultMassCalibration document element"));
  }
  const pugi::xml_node list = first_child_element(root, "DefaultCalibrations");
  if (!list) return std::unexpected(parse_error("DefaultMassCal.xml has no DefaultCalibrations element"));

  std::vector<DefaultCalibration> calibrations;
  for (const pugi::xml_node element : list.children()) {
    if (!is_xml_element(element, "DefaultCalibration")) continue;
    Result<DefaultCalibration> calibration = parse_default_calibration(element);
    if (!calibration) return std::unexpected(calibration.error());
    for (const DefaultCalibration& earlier : calibrations) {
      if (earlier.id == calibration->id) {
        return std::unexpected(parse_error("DefaultMassCal.xml has two calibrations with DefaultCalibrationID " +
                                           std::to_string(calibration->id)));
      }
    }
    calibrations.push_back(std::move(*calibration));
  }
  return calibrations;
}

// A whole file, or absent when there is no such file; other failures are forwarded.
Result<std::optional<std::vector<std::uint8_t>>> read_if_present(const std::string& path) {
  Result<std::vector<std::uint8_t>> bytes = read_file(path);
  if (!bytes) {
    if (bytes.error().kind() == Error::Kind::Io && bytes.error().os_error() == ENOENT) return std::nullopt;
    return std::unexpected(bytes.error());
  }
  return std::move(*bytes);
}

}  // namespace

std::string_view calibration_name(CalibrationSource source) noexcept {
  switch (source) {
    case CalibrationSource::PerScan: return "per-scan";
    case CalibrationSource::Default: return "default";
    case CalibrationSource::None: break;
  }
  return "none";
}

double calibrated_mz(const CalibrationConstants& constants, double t) noexcept {
  const double scaled = constants.a * (t - constants.t0);
  const double mz = scaled * scaled;
  const std::size_t terms = std::min<std::size_t>(constants.term_count, MAX_TERMS);
  if (terms == 0) return mz;
  const double clamped = t < constants.low ? constants.low : (t > constants.high ? constants.high : t);
  // Each power is a product of `clamped` taken left to right; powers come in rising order, so
  // each term carries on from the last one's product: the same multiplications, done once.
  double correction = 0.0;
  double power = 1.0;
  std::uint8_t raised = 0;
  for (std::size_t k = 0; k < terms; ++k) {
    if (constants.powers[k] < raised) {
      power = 1.0;
      raised = 0;
    }
    for (; raised < constants.powers[k]; ++raised) power *= clamped;
    correction += constants.coefficients[k] * power;
  }
  return mz - correction;
}

namespace {

constexpr std::size_t CHUNK = 256;  // bins per call of calibrate_chunk

// Eight bins in one vector: one AVX-512 register, two AVX2 ones, four SSE2 ones.
constexpr std::size_t LANES = 8;
using Lanes = double __attribute__((vector_size(LANES * sizeof(double))));

// One chunk (count <= CHUNK) of calibrate_bin_range: the operations of calibrated_mz, in its order,
// on eight bins at a time held in registers; the last count % 8 bins go through calibrated_mz
// itself. Bin positions are counted in doubles (exact below 2^53), which every vector unit
// converts, where 64-bit integers to double need AVX-512DQ.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void calibrate_chunk(const CalibrationConstants& c, double first, double step, std::size_t start, std::size_t count,
                     double* out) noexcept {
  const std::size_t terms = std::min<std::size_t>(c.term_count, MAX_TERMS);
  const Lanes lane_offsets = {0, 1, 2, 3, 4, 5, 6, 7};
  std::size_t i = 0;
  for (; count - i >= LANES; i += LANES) {
    const Lanes position = static_cast<double>(start + i) + lane_offsets;
    const Lanes t = first + position * step;
    const Lanes scaled = c.a * (t - c.t0);
    Lanes mz = scaled * scaled;
    if (terms != 0) {
      const Lanes clamped = t < c.low ? c.low : (t > c.high ? c.high : t);
      Lanes correction = Lanes{} + 0.0;
      Lanes power = Lanes{} + 1.0;
      std::uint8_t raised = 0;
      for (std::size_t k = 0; k < terms; ++k) {
        if (c.powers[k] < raised) {
          power = Lanes{} + 1.0;
          raised = 0;
        }
        for (; raised < c.powers[k]; ++raised) power *= clamped;
        correction += c.coefficients[k] * power;
      }
      mz -= correction;
    }
    std::memcpy(out + i, &mz, sizeof mz);
  }
  for (; i < count; ++i) out[i] = calibrated_mz(c, first + static_cast<double>(start + i) * step);
}

}  // namespace

void calibrate_bins(const CalibrationConstants& constants, double first, double step, std::size_t count,
                    double* out) noexcept {
  calibrate_bin_range(constants, first, step, 0, count, out);
}

void calibrate_bin_range(const CalibrationConstants& constants, double first, double step, std::size_t start,
                         std::size_t count, double* out) noexcept {
  for (std::size_t done = 0; done < count; done += CHUNK) {
    calibrate_chunk(constants, first, step, start + done, std::min(CHUNK, count - done), out + done);
  }
}

void AxisCache::fill(const CalibrationConstants& constants, double first, double step, std::size_t count,
                     ValueArray& out) const {
  // Bin i's m/z depends on i alone, so the first `count` bins of a longer axis of the same grid
  // are this one. Bit patterns, not values, are compared: equal grids are equal bit for bit (and
  // a NaN never matches, so such a grid is calibrated every time, as it would be without the cache).
  const auto same_grid = [&](const Axis& axis) {
    return std::bit_cast<std::uint64_t>(axis.first) == std::bit_cast<std::uint64_t>(first) &&
           std::bit_cast<std::uint64_t>(axis.step) == std::bit_cast<std::uint64_t>(step) && axis.constants == constants;
  };
  std::shared_ptr<const ValueArray> found;
  {
    const std::lock_guard lock(mutex_);
    const auto hit = std::ranges::find_if(axes_, same_grid);
    if (hit != axes_.end()) {
      found = hit->values;
      std::rotate(hit, hit + 1, axes_.end());
    }
  }
  if (found && found->size() >= count) {
    out.assign(found->begin(), found->begin() + static_cast<std::ptrdiff_t>(count));
    return;
  }
  out.resize(count);
  calibrate_bins(constants, first, step, count, out.data());
  auto kept = std::make_shared<const ValueArray>(out);
  const std::lock_guard lock(mutex_);
  const auto known = std::ranges::find_if(axes_, same_grid);
  if (known != axes_.end()) {
    // Another thread may have kept a longer one meanwhile.
    if (known->values->size() < count) known->values = std::move(kept);
    return;
  }
  if (axes_.size() == KEPT_AXES) axes_.erase(axes_.begin());
  axes_.push_back({constants, first, step, std::move(kept)});
}

Result<MassCalibrationTable> MassCalibrationTable::from_bytes(std::optional<ByteView> mass_cal_bin,
                                                             std::optional<ByteView> default_mass_cal_xml) {
  MassCalibrationTable table;
  table.rows_offset_ = HEADER_LEN;
  if (mass_cal_bin) {
    Result<std::vector<std::array<double, 10>>> rows = decode_rows(*mass_cal_bin);
    if (!rows) return std::unexpected(rows.error());
    table.rows_ = std::move(*rows);
    table.mass_cal_size_ = mass_cal_bin->size();
  }
  if (default_mass_cal_xml) {
    Result<std::vector<DefaultCalibration>> defaults = parse_default_calibrations(*default_mass_cal_xml);
    if (!defaults) return std::unexpected(defaults.error());
    table.defaults_ = std::move(*defaults);
    table.has_default_document_ = true;
  }
  return table;
}

Result<MassCalibrationTable> MassCalibrationTable::load(const std::string& acqdata_path) {
  return load(join_path(acqdata_path, "MSMassCal.bin"), join_path(acqdata_path, "DefaultMassCal.xml"));
}

Result<MassCalibrationTable> MassCalibrationTable::load(const std::string& mass_cal_bin_path,
                                                        const std::string& default_mass_cal_xml_path) {
  const Result<std::optional<std::vector<std::uint8_t>>> bin = read_if_present(mass_cal_bin_path);
  if (!bin) return std::unexpected(bin.error().with_context("cannot read " + utf8_lossy(mass_cal_bin_path)));
  const Result<std::optional<std::vector<std::uint8_t>>> xml = read_if_present(default_mass_cal_xml_path);
  if (!xml) return std::unexpected(xml.error().with_context("cannot read " + utf8_lossy(default_mass_cal_xml_path)));
  const std::optional<ByteView> bin_view = *bin ? std::optional<ByteView>(ByteView(**bin)) : std::nullopt;
  const std::optional<ByteView> xml_view = *xml ? std::optional<ByteView>(ByteView(**xml)) : std::nullopt;
  return from_bytes(bin_view, xml_view);
}

// Step by step: find the scan's row (at its offset, else by its index), then the default
// calibration of its id, which gives the row its powers or stands in for a missing row.
Result<ScanCalibration> MassCalibrationTable::for_scan(std::uint64_t scan_index,
                                                       std::optional<std::int64_t> mass_cal_offset,
                                                       std::optional<std::int64_t> calibration_id) const {
  const std::string scan_text = "no calibration for scan " + std::to_string(scan_index) + ": ";

  std::optional<std::size_t> row;
  std::string why_no_row;
  if (!mass_cal_size_) {
    why_no_row = "there is no MSMassCal.bin";
  } else {
    const std::uint64_t size = *mass_cal_size_;
    const std::string file_text = "MSMassCal.bin (" + std::to_string(size) + " bytes)";
    if (!mass_cal_offset) {
      why_no_row = "the scan record has no MassCalOffset";
    } else if (*mass_cal_offset < 0) {
      return std::unexpected(parse_error(scan_text + "MassCalOffset " + std::to_string(*mass_cal_offset) + " is negative"));
    } else {
      const auto offset = static_cast<std::uint64_t>(*mass_cal_offset);
      const std::string offset_text = std::to_string(offset);
      if (offset >= size) {
        why_no_row = "MassCalOffset " + offset_text + " lies outside " + file_text;
      } else if (ROW_LEN > size - offset) {
        why_no_row = "the row at MassCalOffset " + offset_text + " runs past the end of " + file_text;
      } else if (offset < rows_offset_ || (offset - rows_offset_) % ROW_LEN != 0) {
        return std::unexpected(parse_error(scan_text + "MassCalOffset " + offset_text +
                                           " is not the start of a row of MSMassCal.bin (rows of 84 bytes from byte " +
                                           std::to_string(rows_offset_) + ")"));
      } else {
        row = static_cast<std::size_t>((offset - rows_offset_) / ROW_LEN);  // < rows_.size(): the row fits
      }
    }
    if (!row) {
      if (scan_index < rows_.size()) {
        row = static_cast<std::size_t>(scan_index);
      } else {
        why_no_row += " and the file has no row " + std::to_string(scan_index);
      }
    }
  }

  const DefaultCalibration* fallback = nullptr;
  std::string why_no_default;
  if (!has_default_document_) {
    why_no_default = "there is no DefaultMassCal.xml";
  } else if (!calibration_id) {
    why_no_default = "the scan record has no CalibrationID";
  } else {
    const auto found = std::find_if(defaults_.begin(), defaults_.end(),
                                    [&](const DefaultCalibration& calibration) { return calibration.id == *calibration_id; });
    if (found != defaults_.end()) {
      fallback = &*found;
    } else {
      why_no_default = "DefaultMassCal.xml has no calibration " + std::to_string(*calibration_id);
    }
  }

  if (row) {
    const std::array<double, 10>& values = rows_[*row];
    CalibrationConstants constants;
    constants.a = values[0];
    constants.t0 = values[1];
    constants.low = values[2];
    constants.high = values[3];
    std::copy(values.begin() + 4, values.end(), constants.coefficients.begin());
    if (fallback) {
      constants.powers = fallback->constants.powers;
      constants.term_count = fallback->constants.term_count;
    } else if (std::any_of(constants.coefficients.begin(), constants.coefficients.end(),
                           [](double coefficient) { return coefficient != 0.0; })) {
      return std::unexpected(parse_error(scan_text + "MSMassCal.bin row " + std::to_string(*row) +
                                         " has polynomial coefficients but " + why_no_default +
                                         " to give their powers"));
    }
    return ScanCalibration{constants, CalibrationSource::PerScan};
  }
  if (fallback) return ScanCalibration{fallback->constants, CalibrationSource::Default};
  return std::unexpected(parse_error(scan_text + why_no_row + " and " + why_no_default));
}

}  // namespace vornak
