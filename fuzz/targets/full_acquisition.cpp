// Fuzz target: a whole acquisition folder opened by the full reader, every spectrum of every
// scan decoded (profile, centroid and the default choice), every ion-mobility frame's total
// spectrum and the MRM/SIM chromatograms.
//
// Input: the files of AcqData in the order of FULL_ACQUISITION_FILES, each a u32 length then
// its bytes, a length of ABSENT_FILE for a file left out (fuzz/acquisition_input.hpp); they
// are written to a private temporary folder.
#include <cstdint>
#include <optional>

#include "full_reader/acquisition.hpp"
#include "full_reader/chromatogram.hpp"
#include "fuzz/acquisition_input.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/scratch_folder.hpp"

using namespace vornak;

namespace {

// What must hold of any spectrum the reader hands out.
void check_spectrum(const Result<Spectrum>& spectrum, std::size_t index) {
  if (!spectrum) {
    FUZZ_CHECK(!spectrum.error().message().empty());
    return;
  }
  FUZZ_CHECK(spectrum->index == index);
  FUZZ_CHECK(spectrum->mz.size() == spectrum->intensity.size());
  // Channel transitions give every point its first quadrupole's m/z.
  FUZZ_CHECK(spectrum->precursor_mz.size() ==
             (spectrum->channels == ChannelValues::Transitions ? spectrum->mz.size() : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto files = fuzz::split_acquisition_with_absent<fuzz::FULL_ACQUISITION_FILES.size()>(data, size);
  fuzz::write_acquisition_files(fuzz::FULL_ACQUISITION_FILES, files);

  const Result<Acquisition> acquisition = Acquisition::open(fuzz::acquisition_folder().string());
  if (!acquisition) {
    FUZZ_CHECK(!acquisition.error().message().empty());
    return 0;
  }
  const RecordLayout& layout = acquisition->layout();
  FUZZ_CHECK(layout.stride() > 0);
  for (std::size_t i = 0; i < acquisition->size(); ++i) {
    const ScanInfo info = acquisition->scan(i);
    FUZZ_CHECK(info.index == i);
    FUZZ_CHECK(acquisition->find_scan_id(info.scan_id).has_value());
    const Result<Spectrum> profile = acquisition->profile(i);
    check_spectrum(profile, i);
    if (profile) FUZZ_CHECK(profile->intensity.size() == info.profile_block->point_count);
    const Result<Spectrum> centroid = acquisition->centroid(i);
    check_spectrum(centroid, i);
    if (centroid) FUZZ_CHECK(centroid->intensity.size() == info.peak_block->point_count);
    check_spectrum(acquisition->spectrum(i), i);
  }
  FUZZ_CHECK(!acquisition->spectrum(acquisition->size()));

  // Ion mobility: every frame's total spectrum.
  if (!acquisition->ion_mobility()) FUZZ_CHECK(acquisition->frame_count() == 0);
  for (std::size_t k = 0; k < acquisition->frame_count(); ++k) {
    const ScanInfo info = acquisition->frame_scan(k);
    FUZZ_CHECK(info.drift_bin == 0);
    const Result<Spectrum> total = acquisition->frame(k);
    if (total) {
      FUZZ_CHECK(total->mz.size() == total->intensity.size());
    } else {
      FUZZ_CHECK(total.error().message().starts_with("frame "));
    }
  }
  FUZZ_CHECK(!acquisition->frame(acquisition->frame_count()));

  // Triple quads: one chromatogram per transition, its points in step.
  const auto chromatograms = transition_chromatograms(*acquisition, {.threads = 1, .skip_unreadable = true});
  FUZZ_CHECK(chromatograms.has_value());
  for (const TransitionChromatogram& chromatogram : *chromatograms) {
    FUZZ_CHECK(!chromatogram.intensity.empty());
    FUZZ_CHECK(chromatogram.time_sec.size() == chromatogram.intensity.size());
    FUZZ_CHECK(chromatogram.scans.size() == chromatogram.intensity.size());
    FUZZ_CHECK(chromatogram.product_mz.has_value() == (chromatogram.kind == TransitionChromatogram::Kind::Srm));
  }
  return 0;
}
