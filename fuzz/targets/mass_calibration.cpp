// Fuzz target: loading MSMassCal.bin and DefaultMassCal.xml, and choosing a scan's constants.
//
// Input: u32 length L of the MSMassCal.bin part (0xFFFFFFFF: no such file), then L bytes of it
// (fewer if the input ends), then DefaultMassCal.xml (no such file when nothing is left).
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "reader_lib/raw/mass_calibration.hpp"

using namespace vornak;

namespace {

constexpr std::uint32_t NO_FILE = 0xFFFFFFFF;

bool all_finite(const CalibrationConstants& constants) {
  if (!std::isfinite(constants.a) || !std::isfinite(constants.t0) || !std::isfinite(constants.low) ||
      !std::isfinite(constants.high)) {
    return false;
  }
  for (const double coefficient : constants.coefficients) {
    if (!std::isfinite(coefficient)) return false;
  }
  return true;
}

// At most 6 terms, their powers rising and each a bit of a 32-bit flags word.
bool powers_are_sound(const CalibrationConstants& constants) {
  if (constants.term_count > 6) return false;
  for (std::size_t k = 0; k < constants.term_count; ++k) {
    if (constants.powers[k] >= 32) return false;
    if (k > 0 && constants.powers[k] <= constants.powers[k - 1]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const auto bin_length = input.take<std::uint32_t>();
  std::optional<ByteView> bin;
  if (bin_length != NO_FILE) bin = input.take_bytes(bin_length);
  std::optional<ByteView> xml;
  if (input.remaining() > 0) xml = input.rest();

  const Result<MassCalibrationTable> table = MassCalibrationTable::from_bytes(bin, xml);
  if (!table) return 0;
  FUZZ_CHECK(table->has_data() == (table->row_count() > 0 || !table->defaults().empty()));
  if (bin) FUZZ_CHECK(table->row_count() == (bin->size() - 72) / 84);

  std::vector<std::optional<std::int64_t>> ids = {std::nullopt, 0, 1, 2};
  for (const DefaultCalibration& calibration : table->defaults()) {
    FUZZ_CHECK(all_finite(calibration.constants));
    FUZZ_CHECK(powers_are_sound(calibration.constants));
    if (ids.size() < 8) ids.push_back(calibration.id);
  }

  const std::uint64_t rows = table->row_count();
  const std::uint64_t bin_size = bin ? bin->size() : 0;
  const std::optional<std::int64_t> offsets[] = {
      std::nullopt,
      0,
      -1,
      72,
      static_cast<std::int64_t>(72 + 84 * rows),
      static_cast<std::int64_t>(bin_size),
      static_cast<std::int64_t>(bin_size) - 83,
      static_cast<std::int64_t>(bin_size) + 84,
      std::numeric_limits<std::int64_t>::max(),
  };
  const std::uint64_t scan_indices[] = {0, 1, rows, rows + 1, std::numeric_limits<std::uint64_t>::max()};
  for (const std::uint64_t scan_index : scan_indices) {
    for (const std::optional<std::int64_t>& offset : offsets) {
      for (const std::optional<std::int64_t>& id : ids) {
        const Result<ScanCalibration> calibration = table->for_scan(scan_index, offset, id);
        if (!calibration) {
          FUZZ_CHECK(!calibration.error().message().empty());
          continue;
        }
        FUZZ_CHECK(calibration->source != CalibrationSource::None);
        FUZZ_CHECK(all_finite(calibration->constants));
        FUZZ_CHECK(powers_are_sound(calibration->constants));
        // An offset at the start of a whole row always selects that row.
        if (offset && *offset >= 72 && (*offset - 72) % 84 == 0 && static_cast<std::uint64_t>(*offset - 72) / 84 < rows) {
          FUZZ_CHECK(calibration->source == CalibrationSource::PerScan);
        }
        (void)calibrated_mz(calibration->constants, calibration->constants.t0 + 1000.0);
      }
    }
  }
  return 0;
}
