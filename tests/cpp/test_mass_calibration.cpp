// Mass calibration: row selection, the powers rule, damaged files, m/z against the real files.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "calibration_constants.hpp"
#include "realdata.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/raw/lzf.hpp"
#include "reader_lib/raw/mass_calibration.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Row = std::array<double, 10>;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

ByteView bytes_of(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

template <typename T>
void put(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// An MSMassCal.bin as instruments write it: the 72-byte header, then a count and 10 values per row.
std::vector<std::uint8_t> mass_cal_bin(const std::vector<Row>& rows) {
  std::vector<std::uint8_t> bytes(72 + 84 * rows.size(), 0);
  put<std::uint32_t>(bytes, 0, 0x0104);
  put<std::uint32_t>(bytes, 0x44, 1);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    put<std::int32_t>(bytes, 72 + 84 * r, 10);
    for (std::size_t k = 0; k < 10; ++k) put<double>(bytes, 72 + 84 * r + 4 + 8 * k, rows[r][k]);
  }
  return bytes;
}

// Row r has a = r + 1, so a tells which row was chosen; its polynomial has three terms.
Row row_numbered(std::size_t r) {
  return {static_cast<double>(r + 1), 1000.0, 10000.0, 90000.0, 0.5, -0.125, 0.0625, 0.0, 0.0, 0.0};
}
const std::vector<std::uint8_t> THREE_ROWS = mass_cal_bin({row_numbered(0), row_numbered(1), row_numbered(2)});

// Calibration 1: no polynomial. Calibration 2: flags 11, powers 0, 1 and 3.
const std::string DEFAULTS = R"(<?xml version="1.0" encoding="UTF-8"?>
<DefaultMassCalibration xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <Version>1</Version>
  <DefaultCalibrations>
    <DefaultCalibration DefaultCalibrationID="1">
      <Step Number="1"><CalibrationFormula>Traditional</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>
        <Values><Value Number="1">0.5</Value><Value Number="2">1000</Value></Values></Step>
      <Step Number="2"><CalibrationFormula>Polynomial</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>
        <Values><Value Number="1">0</Value><Value Number="2">0</Value><Value Number="3">0</Value>
          <Value Number="4">0</Value><Value Number="5">0</Value><Value Number="6">0</Value>
          <Value Number="7">0</Value><Value Number="8">0</Value></Values></Step>
    </DefaultCalibration>
    <DefaultCalibration DefaultCalibrationID="2">
      <Step Number="1"><CalibrationFormula>Traditional</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>
        <Values><Value Number="1">0.25</Value><Value Number="2">2000</Value></Values></Step>
      <Step Number="2"><CalibrationFormula>Polynomial</CalibrationFormula><ValueUseFlags>11</ValueUseFlags>
        <Values><Value Number="1">20000</Value><Value Number="2">80000</Value><Value Number="3">2</Value>
          <Value Number="4">-4</Value><Value Number="5">8</Value><Value Number="6">0</Value>
          <Value Number="7">0</Value><Value Number="8">0</Value></Values></Step>
    </DefaultCalibration>
  </DefaultCalibrations>
</DefaultMassCalibration>
)";

const CalibrationConstants DEFAULT_1{0.5, 1000.0, 0.0, 0.0, {0, 0, 0, 0, 0, 0}, {}, 0};
const CalibrationConstants DEFAULT_2{0.25, 2000.0, 20000.0, 80000.0, {2, -4, 8, 0, 0, 0}, {0, 1, 3}, 3};

// The base document with the first occurrence of `from` replaced by `to`.
std::string defaults_with(std::string_view from, std::string_view to) {
  std::string text = DEFAULTS;
  const std::size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("test document has no " + std::string(from));
  return text.replace(at, from.size(), to);
}

MassCalibrationTable table_of(std::optional<ByteView> bin, std::optional<std::string_view> xml) {
  Result<MassCalibrationTable> table =
      MassCalibrationTable::from_bytes(bin, xml ? std::optional<ByteView>(bytes_of(*xml)) : std::nullopt);
  if (!table) throw std::logic_error("test table failed: " + table.error().message());
  return std::move(*table);
}

// calibrate_bins takes whole grids a chunk at a time, vectorised: every bin must equal the scalar
// calibrated_mz of its flight time bit for bit, for every power pattern the files use (none, the
// real folders' 0..5 runs, gaps, falling powers), grids that cross the clamp edges L and H, chunk
// boundaries, and the constants of every scan of the real folders.
TEST(CalibrateBins, EqualsTheScalarFormulaBitForBit) {
  const CalibrationConstants base = testing::real_calibration();
  std::vector<CalibrationConstants> cases;
  const struct {
    std::array<std::uint8_t, 6> powers;
    std::uint8_t terms;
  } patterns[] = {{{0, 0, 0, 0, 0, 0}, 0}, {{0, 1, 2, 3, 4, 5}, 6}, {{1, 2, 0, 0, 0, 0}, 2},
                  {{0, 2, 4, 10, 11, 13}, 6}, {{5, 3, 1, 0, 2, 4}, 6}, {{31, 0, 0, 0, 0, 0}, 1}};
  for (const auto& pattern : patterns) {
    CalibrationConstants constants = base;
    constants.powers = pattern.powers;
    constants.term_count = pattern.terms;
    cases.push_back(constants);
  }
  for (const char* folder : {"magenta.D", "gold.D", "copper.D", "black.D"}) {
    const fs::path acqdata = testing::REALDATA_DIR / folder / "AcqData";
    if (!fs::exists(acqdata)) continue;
    auto table = MassCalibrationTable::load(acqdata.string());
    ASSERT_TRUE(table) << folder;
    for (std::int64_t id = 0; id < 4; ++id) {
      if (auto found = table->for_scan(0, std::nullopt, id)) cases.push_back(found->constants);
    }
    for (std::uint64_t scan = 0; scan < 8; ++scan) {
      if (auto found = table->for_scan(scan, std::nullopt, std::nullopt)) cases.push_back(found->constants);
    }
  }
  // Grids: inside [L, H], across L, across H, wider than both; lengths around the chunk size.
  const double step = 0.5;
  const struct {
    double first;
    std::size_t count;
  } grids[] = {{30000.0, 1}, {base.low - 200 * step, 700}, {base.high - 300 * step, 513},
               {1000.0, 257}, {20000.25, 1023}, {-5.0, 3}};
  for (const CalibrationConstants& constants : cases) {
    for (const auto& grid : grids) {
      std::vector<double> vectorised(grid.count);
      calibrate_bins(constants, grid.first, step, grid.count, vectorised.data());
      for (std::size_t i = 0; i < grid.count; ++i) {
        const double scalar = calibrated_mz(constants, grid.first + static_cast<double>(i) * step);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(vectorised[i]), std::bit_cast<std::uint64_t>(scalar))
            << "bin " << i << " of a grid from " << grid.first << ", " << int(constants.term_count) << " terms";
      }
      // A range from inside the grid, as the profile decoder calibrates it a chunk at a time.
      const std::size_t start = grid.count / 3;
      std::vector<double> range(grid.count - start);
      calibrate_bin_range(constants, grid.first, step, start, range.size(), range.data());
      EXPECT_TRUE(std::equal(range.begin(), range.end(), vectorised.begin() + static_cast<std::ptrdiff_t>(start),
                             [](double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }));
    }
  }
}

// AxisCache hands out the first bins of the longest axis it holds for a grid: requests that grow,
// shrink, alternate between grids and constants, and come from several threads at once must all
// get exactly what calibrate_bins gives.
TEST(AxisCache, EveryAxisEqualsItsOwnCalibration) {
  const CalibrationConstants first_constants = testing::real_calibration({0, 1, 2, 0, 0, 0}, 3);
  CalibrationConstants second_constants = first_constants;
  second_constants.a *= 1.0000001;
  const struct {
    const CalibrationConstants* constants;
    double first;
    std::size_t count;
  } requests[] = {{&first_constants, 18465.0, 300}, {&first_constants, 18465.0, 1000}, {&first_constants, 18465.0, 7},
                  {&second_constants, 18465.0, 500}, {&first_constants, 18465.5, 1000}, {&first_constants, 18465.0, 1000},
                  {&second_constants, 18465.0, 2000}, {&first_constants, 18000.0, 10}, {&first_constants, 17000.0, 10},
                  {&first_constants, 16000.0, 10}, {&first_constants, 18465.0, 999}, {&first_constants, 18465.0, 0}};
  const AxisCache cache;
  const auto run_all = [&] {
    for (const auto& request : requests) {
      ValueArray axis;
      cache.fill(*request.constants, request.first, 0.5, request.count, axis);
      std::vector<double> expected(request.count);
      calibrate_bins(*request.constants, request.first, 0.5, request.count, expected.data());
      EXPECT_EQ(axis, expected) << request.count << " bins from " << request.first;
    }
  };
  run_all();
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) threads.emplace_back(run_all);
  for (std::thread& thread : threads) thread.join();
}

// --- Choosing the scan's constants --------------------------------------------------------

struct SelectionCase {
  const char* label;
  std::size_t bin_length;  // THREE_ROWS cut to this length
  std::uint64_t scan_index;
  std::optional<std::int64_t> offset;
  std::optional<std::int64_t> calibration_id;
  CalibrationSource source;  // None: the error below
  double a;                  // the chosen row's or default's a
  std::string error;
};

// calibrated_mz shares products between rising powers; every power must still be the plain
// left-to-right product, bit for bit, whatever the powers and wherever t lies against [L, H].
TEST(CalibratedMz, EqualsTheTermByTermFormulaBitForBit) {
  const std::array<std::array<std::uint8_t, 6>, 4> power_sets = {{
      {0, 1, 2, 4, 10, 11}, {1, 3, 5, 7, 9, 13}, {0, 0, 2, 2, 31, 31}, {5, 3, 1, 0, 2, 4}}};
  for (const auto& powers : power_sets) {
    const CalibrationConstants constants = testing::real_calibration(powers);
    for (const double t : {1000.0, 19573.4992527375, 50000.123, 93949.2315149798, 120000.5}) {
      const double clamped = std::clamp(t, constants.low, constants.high);
      const double scaled = constants.a * (t - constants.t0);
      double correction = 0.0;
      for (std::size_t k = 0; k < 6; ++k) {
        double power = 1.0;
        for (std::uint8_t i = 0; i < powers[k]; ++i) power *= clamped;
        correction += constants.coefficients[k] * power;
      }
      EXPECT_EQ(calibrated_mz(constants, t), scaled * scaled - correction) << "t " << t;
    }
  }
}

TEST(MassCalibrationTable, RowSelectionTable) {
  const std::size_t full = THREE_ROWS.size();  // 324
  const SelectionCase cases[] = {
      {"offset at the first row", full, 5, 72, 2, CalibrationSource::PerScan, 1.0, ""},
      {"offset exactly at the last row", full, 0, 240, 2, CalibrationSource::PerScan, 3.0, ""},
      {"last row one byte short: index row", full - 1, 1, 240, 2, CalibrationSource::PerScan, 2.0, ""},
      {"last row one byte short, no index row: default", full - 1, 2, 240, 2, CalibrationSource::Default, 0.25, ""},
      {"offset at the end of the file: index row", full, 1, 324, 2, CalibrationSource::PerScan, 2.0, ""},
      {"offset far past the end: index row", full, 0, 16620, 2, CalibrationSource::PerScan, 1.0, ""},
      {"past the end, index past the rows: default", full, 3, 16620, 1, CalibrationSource::Default, 0.5, ""},
      {"no offset field: index row", full, 2, std::nullopt, 2, CalibrationSource::PerScan, 3.0, ""},
      {"past the end, no index row, no default", full, 3, 16620, 7, CalibrationSource::None, 0,
       "no calibration for scan 3: MassCalOffset 16620 lies outside MSMassCal.bin (324 bytes) and the file has no "
       "row 3 and DefaultMassCal.xml has no calibration 7"},
      {"row cut short, no index row, no id", full - 1, 2, 240, std::nullopt, CalibrationSource::None, 0,
       "no calibration for scan 2: the row at MassCalOffset 240 runs past the end of MSMassCal.bin (323 bytes) and "
       "the file has no row 2 and the scan record has no CalibrationID"},
      {"no offset field, no index row", full, 9, std::nullopt, 3, CalibrationSource::None, 0,
       "no calibration for scan 9: the scan record has no MassCalOffset and the file has no row 9 and "
       "DefaultMassCal.xml has no calibration 3"},
      {"offset inside the header", full, 0, 0, 2, CalibrationSource::None, 0,
       "no calibration for scan 0: MassCalOffset 0 is not the start of a row of MSMassCal.bin (rows of 84 bytes "
       "from byte 72)"},
      {"offset inside a row", full, 0, 157, 2, CalibrationSource::None, 0,
       "no calibration for scan 0: MassCalOffset 157 is not the start of a row of MSMassCal.bin (rows of 84 bytes "
       "from byte 72)"},
      {"negative offset", full, 0, -84, 2, CalibrationSource::None, 0,
       "no calibration for scan 0: MassCalOffset -84 is negative"},
  };
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(c.label);
    const MassCalibrationTable table = table_of(ByteView(THREE_ROWS).first(c.bin_length), DEFAULTS);
    const Result<ScanCalibration> result = table.for_scan(c.scan_index, c.offset, c.calibration_id);
    if (c.source == CalibrationSource::None) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
      EXPECT_EQ(result.error().message(), c.error);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->source, c.source);
    EXPECT_EQ(result->constants.a, c.a);
  }
}

struct PowersCase {
  const char* label;
  bool with_bin;
  bool zero_coefficients;
  std::optional<std::string_view> xml;
  std::optional<std::int64_t> calibration_id;
  std::optional<CalibrationConstants> expected;
  CalibrationSource source;
  std::string error;
};

TEST(MassCalibrationTable, PowersTable) {
  CalibrationConstants row_with_powers{1.0, 1000.0, 10000.0, 90000.0, {0.5, -0.125, 0.0625, 0, 0, 0}, {0, 1, 3}, 3};
  CalibrationConstants row_without_terms = row_with_powers;
  row_without_terms.powers = {};
  row_without_terms.term_count = 0;
  CalibrationConstants zero_row = row_without_terms;
  zero_row.coefficients = {};
  const PowersCase cases[] = {
      {"row takes the default's powers", true, false, DEFAULTS, 2, row_with_powers, CalibrationSource::PerScan, ""},
      {"default flags 0: no terms", true, false, DEFAULTS, 1, row_without_terms, CalibrationSource::PerScan, ""},
      {"zero coefficients need no powers", true, true, std::nullopt, std::nullopt, zero_row,
       CalibrationSource::PerScan, ""},
      {"coefficients, no matching default", true, false, DEFAULTS, 9, std::nullopt, CalibrationSource::None,
       "no calibration for scan 0: MSMassCal.bin row 0 has polynomial coefficients but DefaultMassCal.xml has no "
       "calibration 9 to give their powers"},
      {"coefficients, no DefaultMassCal.xml", true, false, std::nullopt, 2, std::nullopt, CalibrationSource::None,
       "no calibration for scan 0: MSMassCal.bin row 0 has polynomial coefficients but there is no "
       "DefaultMassCal.xml to give their powers"},
      {"coefficients, no CalibrationID", true, false, DEFAULTS, std::nullopt, std::nullopt, CalibrationSource::None,
       "no calibration for scan 0: MSMassCal.bin row 0 has polynomial coefficients but the scan record has no "
       "CalibrationID to give their powers"},
      {"default only", false, false, DEFAULTS, 2, DEFAULT_2, CalibrationSource::Default, ""},
      {"default with flags 0", false, false, DEFAULTS, 1, DEFAULT_1, CalibrationSource::Default, ""},
      {"no files at all", false, false, std::nullopt, 2, std::nullopt, CalibrationSource::None,
       "no calibration for scan 0: there is no MSMassCal.bin and there is no DefaultMassCal.xml"},
      {"no file, no such default", false, false, DEFAULTS, 3, std::nullopt, CalibrationSource::None,
       "no calibration for scan 0: there is no MSMassCal.bin and DefaultMassCal.xml has no calibration 3"},
  };
  for (const PowersCase& c : cases) {
    SCOPED_TRACE(c.label);
    Row row = row_numbered(0);
    if (c.zero_coefficients) std::fill(row.begin() + 4, row.end(), 0.0);
    const std::vector<std::uint8_t> bin = mass_cal_bin({row});
    const MassCalibrationTable table = table_of(c.with_bin ? std::optional<ByteView>(bin) : std::nullopt, c.xml);
    const Result<ScanCalibration> result = table.for_scan(0, 72, c.calibration_id);
    if (!c.expected) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(), c.error);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->source, c.source);
    EXPECT_EQ(result->constants, *c.expected);
  }
}

TEST(MassCalibrationTable, ValueUseFlagsGivePowersLowestFirst) {
  struct FlagsCase {
    const char* flags;
    std::vector<std::uint8_t> powers;
  };
  const FlagsCase cases[] = {
      {"0", {}},
      {"3095", {0, 1, 2, 4, 10, 11}},
      {"99", {0, 1, 5, 6}},
      {"92", {2, 3, 4, 6}},
      {"2147483648", {31}},
      {" +11 ", {0, 1, 3}},
  };
  for (const FlagsCase& c : cases) {
    SCOPED_TRACE(c.flags);
    const std::string xml = defaults_with("<ValueUseFlags>11<", "<ValueUseFlags>" + std::string(c.flags) + "<");
    const MassCalibrationTable table = table_of(std::nullopt, xml);
    const CalibrationConstants& constants = table.defaults()[1].constants;
    ASSERT_EQ(constants.term_count, c.powers.size());
    EXPECT_EQ(std::vector<std::uint8_t>(constants.powers.begin(), constants.powers.begin() + constants.term_count),
              c.powers);
  }
}

TEST(MassCalibrationTable, NumbersParseWholeAndLocaleFree) {
  struct NumberCase {
    const char* text;
    double value;
  };
  const NumberCase cases[] = {
      {"1.59817794359326E-06", 1.59817794359326E-06},
      {"-1.99149674726875E-55", -1.99149674726875E-55},
      {" 0.25\n", 0.25},
      {"+.5", 0.5},
      {"-4.5e+2", -450.0},
      {"<![CDATA[0.125]]>", 0.125},
      {"2<![CDATA[5]]>", 25.0},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string xml = defaults_with(">0.25<", ">" + std::string(c.text) + "<");
    const MassCalibrationTable table = table_of(std::nullopt, xml);
    EXPECT_EQ(table.defaults()[1].constants.a, c.value);
  }
}

// --- Damaged files ------------------------------------------------------------------------

TEST(MassCalibrationTable, DamagedMassCalBinTable) {
  struct BinCase {
    const char* label;
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  std::vector<std::uint8_t> wrong_tag = THREE_ROWS;
  put<std::uint32_t>(wrong_tag, 0, 0x0103);
  std::vector<std::uint8_t> count_9 = THREE_ROWS;
  put<std::int32_t>(count_9, 72 + 84, 9);
  std::vector<std::uint8_t> count_negative = THREE_ROWS;
  put<std::int32_t>(count_negative, 72 + 2 * 84, -10);
  Row nan_row = row_numbered(0);
  nan_row[6] = NaN;
  Row inf_row = row_numbered(0);
  inf_row[0] = -INF;
  const BinCase cases[] = {
      {"empty", {}, "MSMassCal.bin holds 0 bytes, fewer than its 72-byte header"},
      {"one byte short of the header", std::vector<std::uint8_t>(THREE_ROWS.begin(), THREE_ROWS.begin() + 71),
       "MSMassCal.bin holds 71 bytes, fewer than its 72-byte header"},
      {"wrong tag", wrong_tag, "MSMassCal.bin starts with tag 259, not 0x0104"},
      {"count 9", count_9, "MSMassCal.bin row 1 (at byte 156) has a value count of 9, not 10"},
      {"count -10", count_negative, "MSMassCal.bin row 2 (at byte 240) has a value count of -10, not 10"},
      {"NaN constant", mass_cal_bin({row_numbered(0), nan_row}),
       "MSMassCal.bin row 1 (at byte 156) has a non-finite c3: nan"},
      {"infinite constant", mass_cal_bin({inf_row}), "MSMassCal.bin row 0 (at byte 72) has a non-finite a: -inf"},
  };
  for (const BinCase& c : cases) {
    SCOPED_TRACE(c.label);
    const Result<MassCalibrationTable> table = MassCalibrationTable::from_bytes(ByteView(c.bytes), std::nullopt);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(table.error().message(), c.error);
  }
}

// Every prefix of a file either fails at the header or keeps exactly its complete rows: a cut
// row (as at the end of a slice of a longer run) is no row and no error.
TEST(MassCalibrationTable, EveryPrefixKeepsItsWholeRows) {
  for (std::size_t length = 0; length <= THREE_ROWS.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<std::uint8_t> prefix(THREE_ROWS.begin(), THREE_ROWS.begin() + static_cast<long>(length));
    const Result<MassCalibrationTable> table = MassCalibrationTable::from_bytes(ByteView(prefix), std::nullopt);
    if (length < 72) {
      EXPECT_FALSE(table);
      continue;
    }
    ASSERT_TRUE(table) << table.error().message();
    EXPECT_EQ(table->row_count(), (length - 72) / 84);
    EXPECT_EQ(table->has_data(), length >= 72 + 84);
  }
}

TEST(MassCalibrationTable, DamagedDefaultMassCalTable) {
  struct XmlCase {
    const char* label;
    std::string document;
    std::string error;
  };
  const std::string in_2 = "DefaultMassCal.xml calibration 2: ";
  const std::string not_xml = "DefaultMassCal.xml is not a well-formed UTF-8 XML document";
  const XmlCase cases[] = {
      {"empty", "", not_xml},
      {"unclosed element", defaults_with("</DefaultCalibrations>", ""), not_xml},
      {"NUL byte", defaults_with("<Version>1", std::string("<Version>1\0", 11)), not_xml},
      {"invalid UTF-8", defaults_with("<Version>1", "<Version>\xC0\xAF"), not_xml},
      {"wrong document element", "<DefaultMassCalibrations/>",
       "DefaultMassCal.xml has no DefaultMassCalibration document element"},
      {"no calibration list", "<DefaultMassCalibration><Version>1</Version></DefaultMassCalibration>",
       "DefaultMassCal.xml has no DefaultCalibrations element"},
      {"calibration without an id", defaults_with(R"( DefaultCalibrationID="2")", ""),
       "DefaultMassCal.xml has a DefaultCalibration without a DefaultCalibrationID"},
      {"id not a number", defaults_with(R"(ID="2")", R"(ID="2a")"),
       "DefaultMassCal.xml has a DefaultCalibrationID that is not a whole number: \"2a\""},
      {"two calibrations with one id", defaults_with(R"(ID="2")", R"(ID="1")"),
       "DefaultMassCal.xml has two calibrations with DefaultCalibrationID 1"},
      {"two Polynomial steps", defaults_with("Traditional</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>\n"
                                            "        <Values><Value Number=\"1\">0.25",
                                            "Polynomial</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>\n"
                                            "        <Values><Value Number=\"1\">0.25"),
       in_2 + "two Polynomial steps"},
      {"Traditional step renamed", defaults_with("<CalibrationFormula>Traditional</CalibrationFormula>", "<Formula>Traditional</Formula>"),
       "DefaultMassCal.xml calibration 1: a Step has no CalibrationFormula text"},
      {"unknown formula", defaults_with(">Traditional<", ">Quadratic<"),
       "DefaultMassCal.xml calibration 1: a Step has the CalibrationFormula \"Quadratic\", which is neither "
       "Traditional nor Polynomial"},
      {"no ValueUseFlags", defaults_with("<ValueUseFlags>11</ValueUseFlags>", ""),
       in_2 + "the Polynomial step has no ValueUseFlags text"},
      {"flags not a number", defaults_with("<ValueUseFlags>11<", "<ValueUseFlags>0x0B<"),
       in_2 + "the Polynomial step's ValueUseFlags \"0x0B\" is not a whole number from 0 to 4294967295"},
      {"negative flags", defaults_with("<ValueUseFlags>11<", "<ValueUseFlags>-1<"),
       in_2 + "the Polynomial step's ValueUseFlags \"-1\" is not a whole number from 0 to 4294967295"},
      {"flags with 7 bits", defaults_with("<ValueUseFlags>11<", "<ValueUseFlags>127<"),
       in_2 + "the Polynomial step's ValueUseFlags 127 selects 7 powers, more than the 6 coefficients it has"},
      {"no Values", defaults_with("<Values><Value Number=\"1\">0.25</Value><Value Number=\"2\">2000</Value></Values>",
                                  ""),
       in_2 + "the Traditional step has no Values"},
      {"Value without a Number", defaults_with(R"(<Value Number="2">2000)", R"(<Value>2000)"),
       in_2 + "the Traditional step has a Value without a Number"},
      {"Value number past the step's values", defaults_with(R"(<Value Number="2">2000)", R"(<Value Number="3">2000)"),
       in_2 + "the Traditional step has a Value whose Number \"3\" is not a whole number from 1 to 2"},
      {"two Values with one number", defaults_with(R"(<Value Number="2">2000)", R"(<Value Number="1">2000)"),
       in_2 + "the Traditional step has two Values numbered 1"},
      {"missing Traditional Value", defaults_with(R"(<Value Number="2">2000</Value>)", ""),
       in_2 + "the Traditional step has no Value 2"},
      {"missing used coefficient", defaults_with(R"(<Value Number="5">8</Value>)", ""),
       in_2 + "the Polynomial step has no Value 5"},
      {"non-numeric value", defaults_with(">2000<", ">2000 Da<"),
       in_2 + "Value 2 of the Traditional step is not a number: \"2000 Da\""},
      {"empty value", defaults_with(">2000<", "><"), in_2 + "Value 2 of the Traditional step is not a number: \"\""},
      {"decimal comma", defaults_with(">0.25<", ">0,25<"),
       in_2 + "Value 1 of the Traditional step is not a number: \"0,25\""},
      {"value out of range", defaults_with(">2000<", ">1e999<"),
       in_2 + "Value 2 of the Traditional step is not a number: \"1e999\""},
      {"NaN value", defaults_with(">-4<", ">nan<"), in_2 + "Value 4 of the Polynomial step is not finite: \"nan\""},
      {"infinite value", defaults_with(">-4<", ">-inf<"),
       in_2 + "Value 4 of the Polynomial step is not finite: \"-inf\""},
      {"comment in a value", defaults_with(">2000<", ">20<!-- x -->00<"),
       in_2 + "Value 2 of the Traditional step is not plain text"},
  };
  for (const XmlCase& c : cases) {
    SCOPED_TRACE(c.label);
    const Result<MassCalibrationTable> table = MassCalibrationTable::from_bytes(std::nullopt, bytes_of(c.document));
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(table.error().message(), c.error);
  }
}

TEST(MassCalibrationTable, MissingStepsAreErrors) {
  // Calibration 1 keeps only its Polynomial step, then only its Traditional step.
  const std::size_t first_step = DEFAULTS.find("<Step Number=\"1\">");
  const std::size_t second_step = DEFAULTS.find("<Step Number=\"2\">");
  const std::size_t end = DEFAULTS.find("</DefaultCalibration>");
  const std::string without_traditional = std::string(DEFAULTS).erase(first_step, second_step - first_step);
  const std::string without_polynomial = std::string(DEFAULTS).erase(second_step, end - second_step);
  const Result<MassCalibrationTable> no_traditional =
      MassCalibrationTable::from_bytes(std::nullopt, bytes_of(without_traditional));
  ASSERT_FALSE(no_traditional);
  EXPECT_EQ(no_traditional.error().message(), "DefaultMassCal.xml calibration 1: no Traditional step");
  const Result<MassCalibrationTable> no_polynomial =
      MassCalibrationTable::from_bytes(std::nullopt, bytes_of(without_polynomial));
  ASSERT_FALSE(no_polynomial);
  EXPECT_EQ(no_polynomial.error().message(), "DefaultMassCal.xml calibration 1: no Polynomial step");
}

// Progressive truncation: every prefix of the document is refused cleanly, never half-read.
TEST(MassCalibrationTable, EveryPrefixOfTheDocumentFailsCleanly) {
  const std::string document = "\xEF\xBB\xBF" + DEFAULTS;
  const std::size_t root_end = document.rfind("</DefaultMassCalibration>");
  for (std::size_t length = 0; length < document.size(); ++length) {
    const std::vector<std::uint8_t> prefix(document.begin(), document.begin() + static_cast<long>(length));
    const Result<MassCalibrationTable> table = MassCalibrationTable::from_bytes(std::nullopt, ByteView(prefix));
    EXPECT_EQ(table.has_value(), length >= root_end + 25) << "prefix of " << length << " bytes";
  }
}

TEST(MassCalibrationTable, LoadReadsWhatThePresentFilesHold) {
  const testing::TempDir folder;
  const Result<MassCalibrationTable> empty = MassCalibrationTable::load(folder.str());
  ASSERT_TRUE(empty) << empty.error().message();
  EXPECT_FALSE(empty->has_data());
  EXPECT_EQ(empty->row_count(), 0U);

  folder.write("DefaultMassCal.xml", "\xEF\xBB\xBF" + DEFAULTS);
  const Result<MassCalibrationTable> defaults_only = MassCalibrationTable::load(folder.str());
  ASSERT_TRUE(defaults_only) << defaults_only.error().message();
  EXPECT_TRUE(defaults_only->has_data());
  ASSERT_EQ(defaults_only->defaults().size(), 2U);
  EXPECT_EQ(defaults_only->defaults()[1].constants, DEFAULT_2);

  folder.write("MSMassCal.bin", std::string_view(reinterpret_cast<const char*>(THREE_ROWS.data()), 71));
  const Result<MassCalibrationTable> damaged = MassCalibrationTable::load(folder.str());
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().message(), "MSMassCal.bin holds 71 bytes, fewer than its 72-byte header");

  folder.write("MSMassCal.bin", std::string_view(reinterpret_cast<const char*>(THREE_ROWS.data()), THREE_ROWS.size()));
  const Result<MassCalibrationTable> both = MassCalibrationTable::load(folder.str());
  ASSERT_TRUE(both) << both.error().message();
  EXPECT_EQ(both->row_count(), 3U);
}

// --- The conversion -----------------------------------------------------------------------

TEST(CalibratedMz, FormulaTable) {
  // a = 0.5, t0 = 1000: (0.5 (t - 1000))^2; terms 2 t^0 - 4 t^1 + 8 t^3 of t clamped to [20, 80]
  // (t is not a flight time here; small numbers keep every result exact).
  const CalibrationConstants plain{0.5, 1000.0, 20.0, 80.0, {2, -4, 8, 0, 0, 0}, {0, 1, 3}, 0};
  CalibrationConstants terms = plain;
  terms.term_count = 3;
  struct MzCase {
    const char* label;
    const CalibrationConstants& constants;
    double t;
    double mz;
  };
  const auto poly = [](double clamped) { return 2.0 - 4.0 * clamped + 8.0 * clamped * clamped * clamped; };
  const MzCase cases[] = {
      {"no terms", plain, 1040.0, 400.0},
      {"at t0", plain, 1000.0, 0.0},
      {"inside the clamp", terms, 50.0, 225625.0 - poly(50.0)},
      {"below low", terms, 10.0, 245025.0 - poly(20.0)},
      {"above high", terms, 1040.0, 400.0 - poly(80.0)},
      {"at high", terms, 80.0, 211600.0 - poly(80.0)},
  };
  for (const MzCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(calibrated_mz(c.constants, c.t), c.mz);
  }
  CalibrationConstants too_many = terms;
  too_many.term_count = 200;  // never read past the six coefficients
  too_many.coefficients = {1, 1, 1, 1, 1, 1};
  too_many.powers = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(calibrated_mz(too_many, 1040.0), 400.0 - 6.0);
}

// --- Real acquisitions --------------------------------------------------------------------

const fs::path REALDATA = VORNAK_REALDATA_DIR;

json reference() { return testing::realdata_reference(); }

std::string acqdata(const char* folder) { return (REALDATA / folder / "AcqData").string(); }

CalibrationSource source_named(const std::string& text) {
  if (text.starts_with("MSMassCal.bin")) return CalibrationSource::PerScan;
  if (text == "DefaultMassCal.xml") return CalibrationSource::Default;
  return CalibrationSource::None;
}

double f64_at(ByteView bytes, std::size_t offset) {
  double value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The calibration that for_scan gives the scan, checked against the reference's source.
CalibrationConstants scan_constants(const MassCalibrationTable& table, const json& scan) {
  const Result<ScanCalibration> calibration =
      table.for_scan(scan["index"].get<std::uint64_t>(), scan["mass_cal_offset"].get<std::int64_t>(),
                     scan["calibration_id"].get<std::int64_t>());
  if (!calibration) {
    ADD_FAILURE() << calibration.error().message();
    return {};
  }
  EXPECT_EQ(calibration->source, source_named(scan["calibration_source"].get<std::string>()));
  return calibration->constants;
}

// Compares the m/z at every sampled index, x(i) giving the flight time; returns the largest difference.
double compare_mz(const CalibrationConstants& constants, const json& samples,
                  const std::function<double(std::size_t)>& x) {
  double largest = 0.0;
  for (const auto& [index, expected] : samples.items()) {
    const double mz = calibrated_mz(constants, x(std::stoul(index)));
    EXPECT_NEAR(mz, expected.get<double>(), 1e-6) << "index " << index;
    largest = std::max(largest, std::abs(mz - expected.get<double>()));
  }
  return largest;
}

// The reference rounds m/z to 9 decimals; anything further off means a different computation.
constexpr double REFERENCE_ROUNDING = 5.01e-10;

TEST(MassCalibrationRealData, MagentaProfilesUsePerScanRowsByIndex) {
  SKIP_WITHOUT_REALDATA();
  const json folder = reference()["folders"]["magenta.D"];
  const Result<MassCalibrationTable> table = MassCalibrationTable::load(acqdata("magenta.D"));
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_EQ(table->row_count(), 3U);  // and a 4-byte fragment of a fourth row
  for (const json& scan : folder["scans"]) {
    SCOPED_TRACE(scan["index"].get<int>());
    const CalibrationConstants constants = scan_constants(*table, scan);
    // Run-length blocks keep their 16 leading bytes raw: the first flight time and the step.
    const Result<ByteBuffer> head = read_bytes(acqdata("magenta.D") + "/MSProfile.bin",
                                               scan["blocks"][0]["offset"].get<std::uint64_t>(), 16);
    ASSERT_TRUE(head) << head.error().message();
    const double first = f64_at(head->view(), 0);
    const double step = f64_at(head->view(), 8);
    const auto flight_time = [&](std::size_t i) { return first + static_cast<double>(i) * step; };
    EXPECT_LT(compare_mz(constants, scan["profile"]["mz"], flight_time), REFERENCE_ROUNDING);
    if (scan["index"] == 0) {
      EXPECT_NEAR(calibrated_mz(constants, flight_time(24819)), 734.483617, 1e-6);
    }
  }
}

TEST(MassCalibrationRealData, GoldAndCopperUseTheDefaultCalibration) {
  SKIP_WITHOUT_REALDATA();
  const json folders = reference()["folders"];
  for (const char* name : {"gold.D", "copper.D"}) {
    SCOPED_TRACE(name);
    const Result<MassCalibrationTable> table = MassCalibrationTable::load(acqdata(name));
    ASSERT_TRUE(table) << table.error().message();
    EXPECT_EQ(table->row_count(), 0U);
    for (const json& scan : folders[name]["scans"]) {
      SCOPED_TRACE(scan["index"].get<int>());
      const CalibrationConstants constants = scan_constants(*table, scan);
      if (!scan.contains("profile")) continue;  // copper's fourth scan has its blocks past the files' end
      const json& profile_block = scan["blocks"][0];
      const Result<ByteBuffer> block =
          read_bytes(acqdata(name) + "/MSProfile.bin", profile_block["offset"].get<std::uint64_t>(),
                     profile_block["byte_count"].get<std::size_t>());
      ASSERT_TRUE(block) << block.error().message();
      const Result<ByteBuffer> payload =
          decompress(block->view(), profile_block["uncompressed_byte_count"].get<std::uint64_t>());
      ASSERT_TRUE(payload) << payload.error().message();
      const double first = f64_at(payload->view(), 0);
      const double step = f64_at(payload->view(), 8);
      EXPECT_LT(compare_mz(constants, scan["profile"]["mz"],
                           [&](std::size_t i) { return first + static_cast<double>(i) * step; }),
                REFERENCE_ROUNDING);

      const json& peak_block = scan["blocks"][1];
      const Result<ByteBuffer> peaks = read_bytes(acqdata(name) + "/MSPeak.bin", peak_block["offset"].get<std::uint64_t>(),
                                                  peak_block["byte_count"].get<std::size_t>());
      ASSERT_TRUE(peaks) << peaks.error().message();
      EXPECT_LT(compare_mz(constants, scan["peak"]["mz"], [&](std::size_t i) { return f64_at(peaks->view(), 8 * i); }),
                REFERENCE_ROUNDING);
    }
  }
}

TEST(MassCalibrationRealData, BlackPeaksUsePerScanRowsAtTheirOffset) {
  SKIP_WITHOUT_REALDATA();
  const Result<MassCalibrationTable> table = MassCalibrationTable::load(acqdata("black.D"));
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_EQ(table->row_count(), 10U);
  const json folder = reference()["folders"]["black.D"];
  for (const json& scan : folder["scans"]) {
    SCOPED_TRACE(scan["index"].get<int>());
    const CalibrationConstants constants = scan_constants(*table, scan);
    EXPECT_EQ(constants.term_count, 4);  // flags 99 of calibration 2
    if (!scan.contains("peak")) continue;
    const json& peak_block = scan["blocks"][1];
    const Result<ByteBuffer> peaks = read_bytes(acqdata("black.D") + "/MSPeak.bin", peak_block["offset"].get<std::uint64_t>(),
                                                peak_block["byte_count"].get<std::size_t>());
    ASSERT_TRUE(peaks) << peaks.error().message();
    EXPECT_LT(compare_mz(constants, scan["peak"]["mz"], [&](std::size_t i) { return f64_at(peaks->view(), 8 * i); }),
              REFERENCE_ROUNDING);
  }
}

TEST(MassCalibrationRealData, DefaultDocumentsParseAsWritten) {
  SKIP_WITHOUT_REALDATA();
  const Result<MassCalibrationTable> magenta = MassCalibrationTable::load(acqdata("magenta.D"));
  ASSERT_TRUE(magenta) << magenta.error().message();
  ASSERT_EQ(magenta->defaults().size(), 2U);
  const CalibrationConstants expected{0.000572828777461133,
                                      1017.4063219081,
                                      19573.4992527375,
                                      93949.2315149798,
                                      {0.0194084226842458, -1.59817794359326E-06, 3.21261224707076E-11,
                                       -3.5241336728705E-21, 2.07715767354812E-50, -1.99149674726875E-55},
                                      {0, 1, 2, 4, 10, 11},
                                      6};
  EXPECT_EQ(magenta->defaults()[1].id, 2);
  EXPECT_EQ(magenta->defaults()[1].constants, expected);
  EXPECT_EQ(magenta->defaults()[0].constants.term_count, 0);  // flags 0
}

}  // namespace
}  // namespace vornak
