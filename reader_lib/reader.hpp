// One opened acquisition folder, and the spectrum source that walks its scans.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "reader_lib/error.hpp"
#include "reader_lib/instrument.hpp"
#include "reader_lib/raw/msscan.hpp"
#include "spectrum_model/source.hpp"

namespace vornak {

class Reader final : public elmbrace::SpectrumSource {
 public:
  // Opens the acquisition folder at `path` (UTF-8 text): AcqData must exist and hold a valid
  // MSScan.bin; missing metadata documents fall back to defaults; block files are not opened.
  [[nodiscard]] static Result<Reader> open(std::string_view path);

  [[nodiscard]] const std::string& folder_path() const noexcept { return folder_path_; }
  [[nodiscard]] const std::string& acquisition_name() const noexcept { return acquisition_name_; }
  [[nodiscard]] const MSScan& scan_index() const noexcept { return scan_index_; }
  [[nodiscard]] const std::string& peak_path() const noexcept { return peak_path_; }
  [[nodiscard]] const std::string& profile_path() const noexcept { return profile_path_; }
  [[nodiscard]] const InstrumentInfo& instrument() const noexcept { return instrument_; }
  [[nodiscard]] const std::optional<std::string>& acquired_time() const noexcept { return acquired_time_; }

  // A lazy pass over every scan in file order, one record per scan; it never fails. The
  // iterator refers to this reader, which must outlive it and must not be moved meanwhile.
  [[nodiscard]] std::unique_ptr<elmbrace::SpectrumIterator> iter_spectra() const override;

 private:
  Reader() = default;

  std::string folder_path_;
  std::string acquisition_name_;
  MSScan scan_index_;
  std::string peak_path_;
  std::string profile_path_;
  InstrumentInfo instrument_;
  std::optional<std::string> acquired_time_;
};

}  // namespace vornak
