// Ion-mobility frames: IMSFrame.bin (one record per frame, laid out by IMSFrame.xsd) and the
// frame methods of IMSFrameMeth.xml. A frame is one retention time; its drift bins are the
// scan records that name it by FrameID.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/scan_layout.hpp"

namespace vornak {

struct FrameRecord {
  std::int64_t frame_id = 0;
  std::int64_t method_id = 0;
  double retention_time_sec = 0.0;  // FrameScanTime (minutes) * 60
  std::uint32_t ms_level = 1;       // FragClass 2 is MS2; 0 (single-level runs) and 1 are MS1
  std::optional<double> collision_energy;  // FragEnergy, MS2 frames
  std::optional<double> isolation_mz;      // IsolationMz, MS2 frames
  std::optional<double> isolation_low;     // IsolationStartMz
  std::optional<double> isolation_high;    // IsolationEndMz
  std::optional<double> tic;               // FrameTic
};

struct FrameMethod {
  std::int64_t id = 0;
  std::optional<double> drift_bin_period_ms;  // FrameDtPeriod
  std::optional<std::int64_t> default_calibration_id;  // DefMassCalId
  std::optional<std::int64_t> ion_polarity;            // IonPolarity: 0 positive, 1 negative, 3 mixed
};

class FrameTable {
 public:
  // Reads the frame records of IMSFrame.bin (u32 tag 0x116 at 0, the first record at the u32 at
  // 0x48, a whole number of records of the schema's stride) and, when `methods_document` is
  // given, the FrameMethod elements of IMSFrameMeth.xml. Parse errors name the file and what is
  // wrong: a bad tag, a header past the end, a partial record, a schema without FrameId or
  // FrameScanTime, two methods with one id.
  [[nodiscard]] static Result<FrameTable> read(ByteView frames, ByteView schema,
                                               std::optional<ByteView> methods_document);

  [[nodiscard]] const std::vector<FrameRecord>& frames() const noexcept { return frames_; }
  // The position of the frame with this id in record order, or none.
  [[nodiscard]] std::optional<std::size_t> find(std::int64_t frame_id) const noexcept;
  // The method of this id, or null.
  [[nodiscard]] const FrameMethod* method(std::int64_t method_id) const noexcept;

 private:
  std::vector<FrameRecord> frames_;
  std::vector<FrameMethod> methods_;
  bool ids_ascending_ = true;
};

}  // namespace vornak
