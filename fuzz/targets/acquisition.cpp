// Fuzz target: a whole acquisition folder, opened and read scan by scan.
//
// Input: the files of AcqData joined as fuzz/acquisition_input.hpp describes. They are written
// to a private temporary folder, made once per process and removed at exit.
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/acquisition_input.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/scratch_folder.hpp"
#include "reader_lib/reader.hpp"

using namespace vornak;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::AcquisitionFiles files = fuzz::split_acquisition(data, size);
  fuzz::write_acquisition_files(fuzz::ACQUISITION_FILES, files);

  const Result<Reader> reader = Reader::open(fuzz::acquisition_folder().string());
  // Opening fails exactly when the scan index does, and with its error.
  const Result<MSScan> index =
      files[0] ? MSScan::from_bytes(*files[0]) : Result<MSScan>(std::unexpected(Error::io(ENOENT)));
  FUZZ_CHECK(reader.has_value() == index.has_value());
  if (!reader) {
    FUZZ_CHECK(reader.error().display() == index.error().display());
    return 0;
  }

  // One record per scan, in order, whatever the blocks hold.
  const std::vector<ScanRecord>& scans = reader->scan_index().records;
  const auto spectra = reader->iter_spectra();
  std::uint64_t count = 0;
  while (std::optional<elmbrace::SpectrumRecord> record = spectra->next()) {
    FUZZ_CHECK(count < scans.size());
    FUZZ_CHECK(record->index == count);
    FUZZ_CHECK(record->scan_id == scans[count].scan_id);
    FUZZ_CHECK(record->mz.size() == record->intensity.size());
    ++count;
  }
  FUZZ_CHECK(count == scans.size());
  FUZZ_CHECK(!spectra->next());
  return 0;
}
