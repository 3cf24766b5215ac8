// vornak check: intact folders give 0, each kind of damage made by truncating or corrupting a
// sample folder gives 4 and its kind, folders that cannot be checked give 1; the library report
// behind it agrees.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "realdata.hpp"
#include "cli_run.hpp"
#include "full_reader/acquisition.hpp"
#include "full_reader/integrity.hpp"
#include "temp_dir.hpp"
#include "tests/support/real_layout.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using nlohmann::json;
using testing::run_vornak;
using testing::TempDir;

// Overwrites bytes of a file in place.
void patch_file(const fs::path& file, std::uint64_t offset, const void* bytes, std::size_t length) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekp(static_cast<std::streamoff>(offset));
  stream.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length));
  if (!stream) throw std::runtime_error("cannot patch " + file.string());
}

// Stores `value` with the stored type of `slot` at `offset` of MSScan.bin.
void patch_field(const fs::path& folder, std::uint64_t offset, FieldType type, double value) {
  const fs::path scan_file = folder / "AcqData" / "MSScan.bin";
  switch (type) {
    case FieldType::Float64: patch_file(scan_file, offset, &value, 8); break;
    case FieldType::Float32: {
      const float narrow = static_cast<float>(value);
      patch_file(scan_file, offset, &narrow, 4);
      break;
    }
    case FieldType::Int16: {
      const auto narrow = static_cast<std::int16_t>(value);
      patch_file(scan_file, offset, &narrow, 2);
      break;
    }
    case FieldType::Int32: {
      const auto narrow = static_cast<std::int32_t>(value);
      patch_file(scan_file, offset, &narrow, 4);
      break;
    }
    default: throw std::runtime_error("unexpected field type");
  }
}

// Where scan `index`'s field `name` lies in MSScan.bin, and its type; `profile_descriptor` asks
// for a field of the profile block's descriptor.
std::pair<std::uint64_t, FieldType> field_location(const fs::path& folder, std::size_t index, const std::string& name,
                                                   bool profile_descriptor = false) {
  auto opened = Acquisition::open(folder.string());
  if (!opened) throw std::runtime_error(opened.error().display());
  const RecordLayout& layout = opened->layout();
  const std::uint64_t record = opened->data_offset() + std::uint64_t{index} * layout.stride();
  if (!profile_descriptor) {
    const FieldSlot* slot = layout.scan_field(name);
    if (slot == nullptr) throw std::runtime_error("no field " + name);
    return {record + slot->offset, slot->type};
  }
  for (std::uint32_t descriptor = 0; descriptor < layout.descriptor_count; ++descriptor) {
    const auto format = opened->block_field(index, descriptor, "SpectrumFormatID");
    if (format && as_integer(*format) == 1) {
      const FieldSlot* slot = layout.block_field(name);
      if (slot == nullptr) throw std::runtime_error("no block field " + name);
      return {record + layout.scan_fields_size + descriptor * layout.descriptor_size + slot->offset, slot->type};
    }
  }
  throw std::runtime_error("no profile descriptor");
}

struct DamageCase {
  const char* name;
  std::function<void(const fs::path& folder, const std::vector<syn::WrittenScan>& scans)> damage;
  int status;
  std::string kind;                          // the kind expected among the findings ("" for none)
  std::optional<std::uint64_t> scan_index;   // the scan it names, when it names one
};

const std::vector<DamageCase>& damage_cases() {
  static const std::vector<DamageCase> cases = {
      {"intact", [](const fs::path&, const auto&) {}, 0, "", std::nullopt},
      {"devices-missing", [](const fs::path& folder, const auto&) { fs::remove(folder / "AcqData" / "Devices.xml"); },
       0, "metadata-missing", std::nullopt},
      {"devices-malformed",
       [](const fs::path& folder, const auto&) {
         std::ofstream(folder / "AcqData" / "Devices.xml") << "<Devices><Device><Name>QTOF</Name>";
       },
       4, "metadata-unusable", std::nullopt},
      {"profile-file-cut",
       [](const fs::path& folder, const auto& scans) {
         const auto& block = *scans[0].profile;  // the first profile; every later one is cut too
         fs::resize_file(folder / "AcqData" / "MSProfile.bin", block.offset + block.byte_count);
       },
       4, "block-outside-file", 1},
      {"profile-block-corrupt",
       [](const fs::path& folder, const auto& scans) {
         // An LZF stream cannot start with a back reference: there is nothing to refer to.
         const std::uint8_t back_reference = 0xE0;
         patch_file(folder / "AcqData" / "MSProfile.bin", scans[0].profile->offset, &back_reference, 1);
       },
       4, "block-undecodable", 0},
      {"tic-changed",
       [](const fs::path& folder, const auto& scans) {
         const auto [offset, type] = field_location(folder, 0, "TIC");
         patch_field(folder, offset, type, scans[0].tic + 1000);
       },
       4, "profile-tic-mismatch", 0},
      {"max-y-changed",
       [](const fs::path& folder, const auto& scans) {
         const auto [offset, type] = field_location(folder, 1, "MaxY", true);
         patch_field(folder, offset, type, scans[1].profile->max_y - 1);
       },
       4, "profile-max-mismatch", 1},
      {"calibration-files-missing",
       [](const fs::path& folder, const auto&) {
         fs::remove(folder / "AcqData" / "MSMassCal.bin");
         fs::remove(folder / "AcqData" / "DefaultMassCal.xml");
       },
       4, "calibration-missing", std::nullopt},
      {"calibration-id-unknown",
       [](const fs::path& folder, const auto&) {
         fs::remove(folder / "AcqData" / "MSMassCal.bin");
         const auto [offset, type] = field_location(folder, 0, "CalibrationID");
         patch_field(folder, offset, type, 99);
       },
       4, "calibration-missing", 0},
      {"calibration-constant-huge",
       [](const fs::path& folder, const auto& scans) {
         // The row's A, after its i32 count of 10: finite, but every m/z overflows.
         const double huge = 1e200;
         patch_file(folder / "AcqData" / "MSMassCal.bin", scans[0].mass_cal_offset + 4, &huge, 8);
       },
       4, "calibration-out-of-range", 0},
      {"calibration-constant-nan",
       [](const fs::path& folder, const auto& scans) {
         // A constant that is no number makes the calibration file unusable: nothing opens.
         const double nan = std::numeric_limits<double>::quiet_NaN();
         patch_file(folder / "AcqData" / "MSMassCal.bin", scans[0].mass_cal_offset + 4, &nan, 8);
       },
       4, "unopenable", std::nullopt},
      {"scan-index-cut",
       [](const fs::path& folder, const auto&) {
         const fs::path file = folder / "AcqData" / "MSScan.bin";
         fs::resize_file(file, fs::file_size(file) - 7);
       },
       4, "unopenable", std::nullopt},
  };
  return cases;
}

TEST(CliCheck, EachKindOfDamageIsReportedWithItsExitStatus) {
  const TempDir dir;
  for (const DamageCase& c : damage_cases()) {
    SCOPED_TRACE(c.name);
    const fs::path folder = dir.path() / (std::string(c.name) + ".d");
    std::vector<syn::WrittenScan> scans;
    syn::RealLayoutOptions options;
    options.points = 3000;
    syn::write_real_acquisition(folder, options, [&](const syn::WrittenScan& scan) { scans.push_back(scan); });
    c.damage(folder, scans);

    const auto result = run_vornak({"check", "--json", folder.string()});
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    const json report = json::parse(result.out);
    EXPECT_EQ(report["status"], c.status == 0 ? "intact" : "damaged");
    bool found = c.kind.empty();
    for (const json& finding : report["findings"]) {
      if (c.kind.empty()) {
        ADD_FAILURE() << "unexpected finding " << finding.dump();
      }
      if (finding["kind"] != c.kind) continue;
      EXPECT_EQ(finding["severity"], c.status == 0 ? "warning" : "damage");
      if (!c.scan_index) {
        found = true;
        EXPECT_TRUE(finding["scan_index"].is_null()) << finding.dump();
      } else if (finding["scan_index"] == *c.scan_index) {
        found = true;
        EXPECT_EQ(finding["scan_id"], scans[*c.scan_index].scan_id);
      }
    }
    EXPECT_TRUE(found) << "no " << c.kind << " finding in " << result.out;

    // The text form says the same in its first line.
    const auto text = run_vornak({"check", folder.string()});
    EXPECT_EQ(text.status, c.status);
    EXPECT_NE(text.out.find(c.status == 0 ? ": intact (" : ": damaged ("), std::string::npos) << text.out;
    if (!c.kind.empty()) {
      EXPECT_NE(text.out.find(c.kind), std::string::npos) << text.out;
    }
  }
}

TEST(CliCheck, FoldersThatCannotBeCheckedGiveOne) {
  const TempDir dir;
  fs::create_directories(dir.path() / "empty.d");
  fs::create_directories(dir.path() / "no-index.d" / "AcqData");
  for (const char* folder : {"absent.d", "empty.d", "no-index.d"}) {
    const auto result = run_vornak({"check", "--json", (dir.path() / folder).string()});
    EXPECT_EQ(result.status, 1) << folder;
    EXPECT_FALSE(result.err.empty()) << folder;
    EXPECT_EQ(json::parse(result.out)["status"], "error") << folder;
  }
}

TEST(CliCheck, DesignedSamplesAreIntact) {
  const TempDir dir;
  syn::write_acquisition(dir.path() / "demo.d", syn::demo_acquisition());
  const auto report = check_acquisition((dir.path() / "demo.d").string(), {});
  ASSERT_TRUE(report.has_value()) << report.error().display();
  EXPECT_FALSE(report->damaged());
  EXPECT_EQ(report->scans, 12u);
  EXPECT_GT(report->blocks_decoded, 0u);
}

TEST(IntegrityReport, ProgressAndWorkersDoNotChangeTheFindings) {
  const TempDir dir;
  const fs::path folder = dir.path() / "cut.d";
  std::vector<syn::WrittenScan> scans;
  syn::RealLayoutOptions options;
  options.profile_scans = 12;
  options.points = 2000;
  syn::write_real_acquisition(folder, options, [&](const syn::WrittenScan& scan) { scans.push_back(scan); });
  fs::resize_file(folder / "AcqData" / "MSProfile.bin", scans[3].profile->offset + 5);

  std::vector<std::string> first;
  for (const unsigned workers : {1u, 2u, 7u}) {
    std::uint64_t last_done = 0;
    IntegrityOptions integrity;
    integrity.workers = workers;
    integrity.progress = [&](std::uint64_t done, std::uint64_t total) {
      EXPECT_GT(done, last_done);
      EXPECT_EQ(total, scans.size());
      last_done = done;
    };
    const auto report = check_acquisition(folder.string(), integrity);
    ASSERT_TRUE(report.has_value());
    std::vector<std::string> messages;
    for (const Finding& finding : report->findings) messages.push_back(finding.message);
    EXPECT_FALSE(messages.empty());
    if (first.empty()) first = messages;
    EXPECT_EQ(messages, first) << workers << " workers";
  }
}

TEST(CliCheckRealData, IntactAndPartialFolders) {
  SKIP_WITHOUT_REALDATA();
  const std::pair<const char*, int> cases[] = {
      {"magenta.D", 0}, {"gold.D", 0}, {"yellow.D", 0}, {"silver.D", 0},
      {"copper.D", 4},  // its 4th record points past the end of both block files
      {"black.D", 4},   // its MSProfile.bin was not copied
  };
  for (const auto& [folder, status] : cases) {
    const auto result = run_vornak({"check", "--json", (fs::path(VORNAK_REALDATA_DIR) / folder).string()});
    EXPECT_EQ(result.status, status) << folder << "\n" << result.out;
  }
  const auto copper = json::parse(run_vornak({"check", "--json", fs::path(VORNAK_REALDATA_DIR) / "copper.D"}).out);
  std::size_t damage = 0;
  for (const json& finding : copper["findings"]) {
    if (finding["severity"] != "damage") continue;
    ++damage;
    EXPECT_EQ(finding["kind"], "block-outside-file");
    EXPECT_EQ(finding["scan_index"], 3);
  }
  EXPECT_EQ(damage, 2u);  // its profile block and its centroid block
}

}  // namespace
}  // namespace vornak
