// Instrument identification: the model table, the three fallbacks, and Devices.xml in a folder.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "reader_lib/instrument.hpp"

namespace vornak {

void PrintTo(const InstrumentInfo& info, std::ostream* out) {
  *out << "{\"" << info.model_name << "\", \"" << info.accession << "\"}";
}

namespace {

using namespace std::string_literals;

const InstrumentInfo QQQ_6410A{"6410A Triple Quadrupole LC/MS", "MS:1003526"};
const InstrumentInfo QTOF_6530A{"6530A Q-TOF LC/MS", "MS:1002786"};
const InstrumentInfo QTOF_6530B{"6530B Q-TOF LC/MS", "MS:1002787"};
const InstrumentInfo QTOF_6550A{"6550A iFunnel Q-TOF LC/MS", "MS:1002784"};
const InstrumentInfo UNKNOWN_MODEL{"Agilent instrument model", "MS:1000490"};
const InstrumentInfo QTOF_BY_STRIDE{"Agilent Q-TOF", "MS:1000461"};
const InstrumentInfo QQQ_BY_STRIDE{"Agilent QQQ", "MS:1000461"};

TEST(IdentifyInstrument, ModelNumbers) {
  const std::pair<std::string, InstrumentInfo> cases[] = {
      {"G6410A", QQQ_6410A},
      {"G6530A", QTOF_6530A},
      {"G6530B", QTOF_6530B},
      {"G6550A", QTOF_6550A},
      {"g6530b", QTOF_6530B},
      {"G6530b", QTOF_6530B},
      {"g6550A", QTOF_6550A},
      {"G6530B-01", UNKNOWN_MODEL},
      {"G6530BX", UNKNOWN_MODEL},
      {"G6530B\0"s, UNKNOWN_MODEL},
      {"G6530", UNKNOWN_MODEL},
      {"XG6530B", UNKNOWN_MODEL},
      {"G6530C", UNKNOWN_MODEL},
      {"G7111B", UNKNOWN_MODEL},  // a pump
      {"G\x16\x15\x13\x10" "B", UNKNOWN_MODEL},  // equal to G6530B only if non-letters were case-folded
      {"G6530\xC3\x9F", UNKNOWN_MODEL},
      {"", UNKNOWN_MODEL},
  };
  for (const auto& [model_number, expected] : cases) {
    EXPECT_EQ(identify_instrument(DeviceInfo{"QTOF", model_number}, 284), expected) << model_number;
  }
  // The device name takes no part, nor does the record layout once a device was read.
  EXPECT_EQ(identify_instrument(DeviceInfo{"Pump", "G6410A"}, 186), QQQ_6410A);
}

TEST(IdentifyInstrument, RecordStrideFallbackWithoutDevice) {
  const std::pair<std::uint32_t, InstrumentInfo> cases[] = {
      {284, QTOF_BY_STRIDE}, {220, QTOF_BY_STRIDE}, {216, QQQ_BY_STRIDE},
      {219, QQQ_BY_STRIDE},  {196, QQQ_BY_STRIDE},  {186, QQQ_BY_STRIDE},
  };
  for (const auto& [stride, expected] : cases) {
    EXPECT_EQ(identify_instrument(std::nullopt, stride), expected) << stride;
  }
}

class ResolveInstrument : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vornak-instrument-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  void write_devices(const std::string& content) {
    std::ofstream(folder_ / "Devices.xml", std::ios::binary) << content;
  }
  InstrumentInfo resolve(std::uint32_t stride) {
    MSScan scan_index;
    scan_index.record_stride = stride;
    return resolve_instrument(folder_.string(), scan_index);
  }
  std::filesystem::path folder_;
};

TEST_F(ResolveInstrument, FromDevicesXmlOrRecordStride) {
  EXPECT_EQ(resolve(284), QTOF_BY_STRIDE);  // no Devices.xml
  EXPECT_EQ(resolve(196), QQQ_BY_STRIDE);

  write_devices("<Devices><Device><Name>QTOF</Name><ModelNumber> g6530B </ModelNumber></Device></Devices>");
  EXPECT_EQ(resolve(186), QTOF_6530B);
  MSScan scan_index;
  scan_index.record_stride = 186;
  EXPECT_EQ(resolve_instrument(folder_.string() + "/", scan_index), QTOF_6530B);

  write_devices(
      "<Devices><Device><Name>QuatPump</Name><ModelNumber>G7111B</ModelNumber></Device>"
      "<Device><Name>QTOF</Name><ModelNumber>G6550A</ModelNumber></Device></Devices>");
  EXPECT_EQ(resolve(284), UNKNOWN_MODEL);

  write_devices("<Devices><Device><Name> </Name><ModelNumber>G6550A</ModelNumber></Device></Devices>");
  EXPECT_EQ(resolve(216), QQQ_BY_STRIDE);

  write_devices("<Devices><Device><Name>QTOF</Name><ModelNumber>G6550A</ModelNumber></Device>");
  EXPECT_EQ(resolve(220), QTOF_BY_STRIDE);  // truncated
}

const std::filesystem::path REALDATA = VORNAK_REALDATA_DIR;

TEST(RealData, InstrumentOfEachFolder) {
  if (!std::filesystem::is_directory(REALDATA)) {
    GTEST_SKIP() << "real acquisitions not found at " << REALDATA << "; skipping";
  }
  // The strides are those of the folders' scan indexes.
  const std::pair<const char*, std::uint32_t> g6550a_folders[] = {
      {"MJA5_1000_090919_001.d", 284},
      {"Propellant_Std_1ug_1_200124-0002.d", 284},
      {"example1.d", 284},
  };
  for (const auto& [folder, stride] : g6550a_folders) {
    MSScan scan_index;
    scan_index.record_stride = stride;
    EXPECT_EQ(resolve_instrument((REALDATA / folder / "AcqData").string(), scan_index), QTOF_6550A) << folder;
  }
  // magenta.D has no Devices.xml and 220-byte records.
  MSScan magenta;
  magenta.record_stride = 220;
  EXPECT_EQ(resolve_instrument((REALDATA / "magenta.D" / "AcqData").string(), magenta), QTOF_BY_STRIDE);
  EXPECT_EQ(identify_instrument(std::nullopt, 220), QTOF_BY_STRIDE);
}

}  // namespace
}  // namespace vornak
