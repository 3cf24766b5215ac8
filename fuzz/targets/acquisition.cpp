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
#include "reader_lib/reader.hpp"

using namespace vornak;
namespace fs = std::filesystem;

namespace {

fs::path make_folder() {
  std::error_code error;
  std::string pattern = (fs::temp_directory_path(error) / "vornak-fuzz-XXXXXX").string();
  FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
  fs::create_directory(fs::path(pattern) / "AcqData", error);
  FUZZ_CHECK(!error);
  return pattern;
}

void remove_folder();

const fs::path& acquisition_folder() {
  static const fs::path folder = make_folder();
  // Registered after the path is made, so it runs before the path is destroyed at exit.
  static const bool removed_at_exit = std::atexit(remove_folder) == 0;
  static_cast<void>(removed_at_exit);
  return folder;
}

void remove_folder() {
  std::error_code ignored;
  fs::remove_all(acquisition_folder(), ignored);
}

// A new file each time: ext4 flushes a file that was truncated and rewritten when it is closed,
// which would slow every run down to the speed of the disk.
void write_file(const fs::path& path, ByteView bytes) {
  std::error_code ignored;
  fs::remove(path, ignored);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::AcquisitionFiles files = fuzz::split_acquisition(data, size);
  const fs::path acq_data = acquisition_folder() / "AcqData";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path path = acq_data / fuzz::ACQUISITION_FILES[i];
    if (files[i]) {
      write_file(path, *files[i]);
    } else {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
  }

  const Result<Reader> reader = Reader::open(acquisition_folder().string());
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
