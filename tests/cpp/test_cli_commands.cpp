// The vornak command: usage errors, `info`, `spectra` (against the reader and against the real
// files' reference values) and `convert` (exit statuses, several folders, interrupts and kills).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "realdata.hpp"
#include "cli_run.hpp"
#include "mzml_file.hpp"
#include "full_reader/acquisition.hpp"
#include "temp_dir.hpp"
#include "tests/support/real_layout.hpp"
#include "tests/support/synthetic.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
namespace syn = vornak::synthetic;
using nlohmann::json;
using testing::lines_of;
using testing::run_vornak;
using testing::TempDir;

// A small real-layout acquisition: 4 MS1 profile scans and 2 MS2 centroid scans.
fs::path write_sample(const TempDir& dir, const std::string& name = "sample.d", std::size_t profile_scans = 4,
                      std::size_t points = 2000) {
  syn::RealLayoutOptions options;
  options.profile_scans = profile_scans;
  options.points = points;
  options.ms2_scans = 2;
  const fs::path folder = dir.path() / name;
  syn::write_real_acquisition(folder, options);
  return folder;
}

TEST(CliUsage, BadCommandLinesExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"info"},
      {"info", "a.d", "b.d"},
      {"spectra", "--nope", "a.d"},
      {"convert"},
      {"convert", "a.d", "b.d", "-o", "x.mzML"},
      {"convert", "a.d", "-o", "x.mzML", "--output-dir", "out"},
      {"convert", "a.d", "--workers", "many"},
      {"convert", "a.d", "--compression", "zstd"},
      {"convert", "a.d", "--compression", "fast", "--no-compression"},
      {"check"},
      {"check", "--json"},
  };
  for (const auto& arguments : cases) {
    const auto result = run_vornak(arguments);
    std::string shown;
    for (const auto& word : arguments) shown += word + " ";
    EXPECT_EQ(result.status, 2) << shown << "\n" << result.err;
    EXPECT_FALSE(result.err.empty()) << shown;
    EXPECT_TRUE(result.out.empty()) << shown;
  }
  EXPECT_EQ(run_vornak({"--help"}).status, 0);
  const auto version = run_vornak({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("vornak ")) << version.out;
}

TEST(CliInfo, SummaryOfRecordsAndOfWhatDecoding) {
  const TempDir dir;
  const fs::path folder = write_sample(dir);
  const auto result = run_vornak({"info", folder.string()});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(lines_of(result.out).size(), 1u);
  const json info = json::parse(result.out);
  EXPECT_EQ(info["scan_count"], 6);
  EXPECT_EQ(info["ms_levels"], json({{"1", 4}, {"2", 2}}));
  EXPECT_EQ(info["layout"]["source"], "MSScan.xsd");
  EXPECT_EQ(info["layout"]["stride"], 256);
  EXPECT_EQ(info["encodings"]["lzf"], 4);
  EXPECT_EQ(info["undecodable_blocks"], 0);
  EXPECT_TRUE(info["calibration"].contains("per-scan"));
  EXPECT_LE(info["retention_time_sec"]["min"].get<double>(), info["retention_time_sec"]["max"].get<double>());

  const auto records = run_vornak({"info", "--no-decode", folder.string()});
  ASSERT_EQ(records.status, 0) << records.err;
  const json summary = json::parse(records.out);
  EXPECT_TRUE(summary["encodings"].is_null());
  EXPECT_EQ(summary["scan_count"], 6);

  syn::write_acquisition(dir.path() / "designed.d", syn::demo_acquisition());
  const auto designed = run_vornak({"info", (dir.path() / "designed.d").string()});
  ASSERT_EQ(designed.status, 0) << designed.err;
  EXPECT_EQ(json::parse(designed.out)["layout"]["source"], "built-in");

  const auto missing = run_vornak({"info", (dir.path() / "absent.d").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_EQ(missing.err, "vornak info: " + (dir.path() / "absent.d").string() + ": I/O error: cannot list the folder " +
                             (dir.path() / "absent.d").string() + ": No such file or directory (os error 2)\n");
}

// Each line's arrays are the reader's, bit for bit, once parsed back from the JSON text.
TEST(CliSpectra, LinesCarryTheReadersSpectra) {
  const TempDir dir;
  const fs::path folder = write_sample(dir);
  auto opened = Acquisition::open(folder.string());
  ASSERT_TRUE(opened.has_value());
  for (const bool centroid : {false, true}) {
    std::vector<std::string> arguments = {"spectra", "--points", folder.string()};
    if (centroid) arguments.insert(arguments.begin() + 1, "--centroid");
    const auto result = run_vornak(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), opened->size());
    for (std::size_t index = 0; index < lines.size(); ++index) {
      const json line = json::parse(lines[index]);
      const ScanInfo scan = opened->scan(index);
      const auto spectrum = centroid ? opened->centroid(index) : opened->spectrum(index);
      ASSERT_TRUE(spectrum.has_value());
      EXPECT_EQ(line["index"], index);
      EXPECT_EQ(line["scan_id"], scan.scan_id);
      EXPECT_EQ(line["native_id"], scan.native_id());
      EXPECT_EQ(line["ms_level"], scan.ms_level);
      EXPECT_EQ(line["retention_time_sec"].get<double>(), scan.retention_time_sec);
      EXPECT_EQ(line["kind"], kind_name(spectrum->kind));
      EXPECT_EQ(line["points"], spectrum->mz.size());
      EXPECT_EQ(line["mz"].get<std::vector<double>>(), spectrum->mz);
      EXPECT_EQ(line["intensity"].get<std::vector<double>>(), spectrum->intensity);
      EXPECT_EQ(line.contains("precursor_mz"), scan.ms_level >= 2);
      EXPECT_FALSE(line.contains("error"));
    }
  }
  // Without --points the lines hold no arrays.
  const auto plain = run_vornak({"spectra", folder.string()});
  ASSERT_EQ(plain.status, 0);
  EXPECT_FALSE(json::parse(lines_of(plain.out).front()).contains("mz"));
}

TEST(CliSpectra, DamagedScansStillGetTheirLine) {
  const TempDir dir;
  const fs::path folder = write_sample(dir);
  fs::resize_file(folder / "AcqData" / "MSPeak.bin", 0);  // the MS2 centroids are gone
  // With --centroid, and without: the MS2 scans' empty profile blocks must not hide the damage.
  for (const bool centroid : {true, false}) {
    std::vector<std::string> arguments = {"spectra", "--points", folder.string()};
    if (centroid) arguments.insert(arguments.begin() + 1, "--centroid");
    const auto result = run_vornak(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 6u);
    std::size_t errors = 0;
    for (const auto& text : lines) {
      const json line = json::parse(text);
      if (!line.contains("error")) {
        EXPECT_EQ(line["ms_level"], 1);
        continue;
      }
      ++errors;
      EXPECT_EQ(line["ms_level"], 2);
      EXPECT_EQ(line["points"], 0);
      EXPECT_EQ(line["kind"], "centroid");
      EXPECT_FALSE(line.contains("mz"));
      EXPECT_NE(line["error"].get<std::string>().find("MSPeak.bin"), std::string::npos) << line["error"];
    }
    EXPECT_EQ(errors, 2u) << (centroid ? "--centroid" : "default");
  }

  const auto missing = run_vornak({"spectra", (dir.path() / "absent.d").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(missing.err.empty());
}

// `vornak spectra` against reference.json: point counts, intensity sums and maxima, intensities
// at the sampled indices exactly, m/z there within 1e-6.
TEST(CliSpectraRealData, EveryFolderMatchesTheReference) {
  SKIP_WITHOUT_REALDATA();
  const json reference = json::parse(testing::file_text(fs::path(VORNAK_REALDATA_DIR) / "reference.json"));
  std::size_t spectra_checked = 0;
  for (const auto& [folder, facts] : reference["folders"].items()) {
    SCOPED_TRACE(folder);
    const fs::path path = fs::path(VORNAK_REALDATA_DIR) / folder;
    std::map<bool, std::vector<json>> lines;
    for (const bool centroid : {false, true}) {
      std::vector<std::string> arguments = {"spectra", "--points", path.string()};
      if (centroid) arguments.insert(arguments.begin() + 1, "--centroid");
      const auto result = run_vornak(arguments);
      ASSERT_EQ(result.status, 0) << result.err;
      for (const auto& text : lines_of(result.out)) lines[centroid].push_back(json::parse(text));
      ASSERT_EQ(lines[centroid].size(), facts["scan_count"].get<std::size_t>());
    }
    for (const json& scan : facts["scans"]) {
      const std::size_t index = scan["index"];
      SCOPED_TRACE(index);
      EXPECT_EQ(lines[false][index]["scan_id"], scan["scan_id"]);
      EXPECT_EQ(lines[false][index]["ms_level"], scan["ms_level"]);
      EXPECT_DOUBLE_EQ(lines[false][index]["retention_time_sec"].get<double>(), scan["rt_min"].get<double>() * 60.0);
      for (const char* key : {"profile", "peak", "icpms"}) {
        if (!scan.contains(key)) continue;
        const json& expected = scan[key];
        // The default line holds the profile; centroids need --centroid unless they are all the
        // scan has (a scan whose profile block is missing falls back to them).
        const bool wants_centroid = std::string(key) == "peak" && lines[false][index]["kind"] != "centroid";
        const json& line = lines[wants_centroid][index];
        ASSERT_FALSE(line.contains("error")) << line["error"];
        const auto mz = line["mz"].get<std::vector<double>>();
        const auto intensity = line["intensity"].get<std::vector<double>>();
        ASSERT_EQ(intensity.size(), expected["points"].get<std::size_t>());
        double sum = 0;
        double largest = intensity.empty() ? 0 : intensity[0];
        for (const double value : intensity) {
          sum += value;
          largest = std::max(largest, value);
        }
        EXPECT_NEAR(sum, expected["intensity_sum"].get<double>(), 1e-9 * expected["intensity_sum"].get<double>());
        EXPECT_EQ(largest, expected["intensity_max"].get<double>());
        for (const auto& [at, value] : expected["intensity"].items()) {
          EXPECT_EQ(intensity.at(std::stoul(at)), value.get<double>()) << key << " point " << at;
        }
        for (const auto& [at, value] : expected["mz"].items()) {
          EXPECT_NEAR(mz.at(std::stoul(at)), value.get<double>(), 1e-6) << key << " point " << at;
        }
        ++spectra_checked;
      }
    }
    // A scan that cannot be read still has its line, with the reason.
    if (folder == "copper.D") {
      EXPECT_EQ(lines[false][3]["points"], 0);
      EXPECT_TRUE(lines[false][3].contains("error"));
    }
  }
  EXPECT_GT(spectra_checked, 20u);
}

// Each compression choice reaches the file: the arrays' terms say what was written.
TEST(CliConvert, CompressionChoicesReachTheFile) {
  const TempDir dir;
  const fs::path folder = write_sample(dir, "run.d");
  struct Case {
    std::vector<std::string> options;
    const char* present;
    const char* absent;
  };
  const Case cases[] = {
      {{"--compression", "fast"}, "MS:1000574", "MS:1000576"},
      {{"--compression", "small"}, "MS:1000574", "MS:1000576"},
      {{"--compression", "default"}, "MS:1000574", "MS:1000576"},
      {{"--compression", "none"}, "MS:1000576", "MS:1000574"},
      {{"--no-compression"}, "MS:1000576", "MS:1000574"},
      {{"--numpress"}, "MS:1002746", "MS:1002312"},
      {{"--numpress", "--compression", "none"}, "MS:1002312", "MS:1002746"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"convert", "-q", folder.string(), "-o", (dir.path() / "out.mzML").string()};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const auto result = run_vornak(arguments);
    ASSERT_EQ(result.status, 0) << c.options.front() << ": " << result.err;
    const std::string bytes = testing::read_whole_file(dir.path() / "out.mzML");
    EXPECT_NE(bytes.find(c.present), std::string::npos) << c.options.back();
    EXPECT_EQ(bytes.find(c.absent), std::string::npos) << c.options.back();
  }
}

TEST(CliConvert, ExitStatusesAndOutputNames) {
  const TempDir dir;
  const fs::path folder = write_sample(dir, "run 1.d");
  // Default output: NAME.mzML in the current folder; no progress bar when stderr is a file.
  const auto single = run_vornak({"convert", folder.string()}, dir.path());
  EXPECT_EQ(single.status, 0) << single.err;
  EXPECT_TRUE(fs::exists(dir.path() / "run 1.mzML"));
  EXPECT_EQ(single.err.find('\r'), std::string::npos);
  EXPECT_NE(single.err.find("6 of 6 scans"), std::string::npos) << single.err;

  // Damaged scans: converted, listed, exit 3.
  const fs::path damaged = write_sample(dir, "damaged.d");
  fs::resize_file(damaged / "AcqData" / "MSPeak.bin", 0);
  const auto partial = run_vornak({"convert", "-q", damaged.string(), "-o", (dir.path() / "d.mzML").string()});
  EXPECT_EQ(partial.status, 3) << partial.err;
  EXPECT_TRUE(fs::exists(dir.path() / "d.mzML"));
  EXPECT_EQ(std::ranges::count(partial.err, '\n'), 2) << partial.err;  // one warning per damaged scan
  EXPECT_NE(partial.err.find("warning: left out damaged scan 2 (scanId="), std::string::npos) << partial.err;

  // Several folders into a folder: a bad one is reported, the others still convert, exit 1.
  const fs::path out = dir.path() / "out";
  const auto several = run_vornak({"convert", "-q", "--output-dir", out.string(), folder.string(),
                                   (dir.path() / "absent.d").string(), damaged.string()});
  EXPECT_EQ(several.status, 1) << several.err;
  EXPECT_TRUE(fs::exists(out / "run 1.mzML"));
  EXPECT_TRUE(fs::exists(out / "damaged.mzML"));
  EXPECT_NE(several.err.find("absent.d: I/O error: cannot list the folder "), std::string::npos) << several.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);

  // Two folders of one name would write one file: the second is refused.
  fs::create_directories(dir.path() / "other");
  const fs::path twin = write_sample(dir, "other/run 1.d");
  const auto twins = run_vornak({"convert", "-q", "--output-dir", out.string(), folder.string(), twin.string()});
  EXPECT_EQ(twins.status, 1);
  EXPECT_NE(twins.err.find("another PATH already writes"), std::string::npos) << twins.err;

  // All good, several folders: exit 0.
  EXPECT_EQ(run_vornak({"convert", "-q", "--output-dir", out.string(), folder.string()}).status, 0);
}

TEST(CliConvertRealData, CopperConvertsItsGoodScansAndReportsTheBadOne) {
  SKIP_WITHOUT_REALDATA();
  const TempDir dir;
  const auto result =
      run_vornak({"convert", "-q", fs::path(VORNAK_REALDATA_DIR) / "copper.D", "-o", dir.path() / "copper.mzML"});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(lines_of(result.err).size(), 1u) << result.err;
  EXPECT_NE(result.err.find("left out damaged scan 3 (scanId=2377)"), std::string::npos) << result.err;
  EXPECT_TRUE(fs::exists(dir.path() / "copper.mzML"));
}

// Starts a conversion that takes a while, waits until its temporary file has grown, and sends
// `signal_number`. Returns the exit status and the names left in the output folder.
std::pair<int, std::vector<std::string>> interrupt_conversion(const fs::path& folder, const fs::path& out,
                                                              int signal_number) {
  fs::create_directories(out);
  const pid_t child = testing::start_program(VORNAK_CLI_BIN,
                                             {"convert", "-q", "--workers", "1", "--no-compression", folder.string(),
                                              "-o", (out / "big.mzML").string()},
                                             {}, out.parent_path() / "out.txt", out.parent_path() / "err.txt");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool grown = false;
  while (!grown && std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : fs::directory_iterator(out)) {
      std::error_code ignored;
      if (entry.path().extension() == ".tmp" && fs::file_size(entry.path(), ignored) > (std::uintmax_t{1} << 20)) {
        grown = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child, signal_number);
  const int status = testing::wait_status(child);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename().string());
  EXPECT_TRUE(grown) << "the conversion never got going";
  return {status, names};
}

TEST(CliConvert, InterruptedConversionsLeaveNothingUnderTheFinalName) {
  const TempDir dir;
  const fs::path folder = write_sample(dir, "big.d", 150, 60000);

  // SIGKILL: the process cannot clean up; its temporary file stays, the final name never appears.
  const auto [killed_status, killed_names] = interrupt_conversion(folder, dir.path() / "killed", SIGKILL);
  EXPECT_EQ(killed_status, 128 + SIGKILL);
  ASSERT_EQ(killed_names.size(), 1u);
  EXPECT_TRUE(killed_names[0].starts_with(".big.mzML.") && killed_names[0].ends_with(".tmp")) << killed_names[0];

  // SIGINT and SIGTERM: the temporary file is removed and the process ends by that signal.
  for (const int signal_number : {SIGINT, SIGTERM}) {
    const auto [status, names] = interrupt_conversion(folder, dir.path() / ("signal" + std::to_string(signal_number)),
                                                      signal_number);
    EXPECT_EQ(status, 128 + signal_number);
    EXPECT_TRUE(names.empty()) << names.front();
  }
}

}  // namespace
}  // namespace vornak
