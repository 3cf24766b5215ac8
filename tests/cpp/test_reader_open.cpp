// Opening acquisition folders: the AcqData test, path rules, metadata fallbacks, and the
// vornak-info command built on top.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "reader_lib/paths.hpp"
#include "reader_lib/reader.hpp"
#include "scan_index_bytes.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

using namespace vornak::testing;
namespace fs = std::filesystem;

constexpr const char* DEVICES_G6530B =
    "<?xml version=\"1.0\"?><Devices><Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device></Devices>";
constexpr const char* CONTENTS =
    "<?xml version=\"1.0\"?><Contents><AcquiredTime>2021-05-04T10:11:12+02:00</AcquiredTime></Contents>";

// Writes `folder`/AcqData/MSScan.bin with `count` records of `stride` bytes.
void write_index(const TempDir& dir, const std::string& folder, std::uint32_t stride = 220, std::size_t count = 2) {
  dir.write(fs::path(folder) / "AcqData" / "MSScan.bin", index_of(stride, count));
}

TEST(PathRules, JoinAndFinalComponent) {
  EXPECT_EQ(join_path("", "AcqData"), "AcqData");
  EXPECT_EQ(join_path("/data/run.d", "AcqData"), "/data/run.d/AcqData");
  EXPECT_EQ(join_path("/data/run.d/", "AcqData"), "/data/run.d/AcqData");
  EXPECT_EQ(join_path("/", "AcqData"), "/AcqData");

  const std::pair<const char*, std::optional<std::string_view>> cases[] = {
      {"/data/run1.d", "run1.d"}, {"/data/run1.d/", "run1.d"},   {"/data/run1.d/.", "run1.d"},
      {"run1.d", "run1.d"},       {"a//b///", "b"},               {"./run.d", "run.d"},
      {"/data/./run.d/./", "run.d"}, {"", std::nullopt},          {"/", std::nullopt},
      {"//", std::nullopt},       {".", std::nullopt},            {"./", std::nullopt},
      {"/data/..", std::nullopt}, {"..", std::nullopt},           {"/data/../", std::nullopt},
      {"x/../y.d", "y.d"},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(final_component(path), expected) << "path '" << path << "'";
  }
}

TEST(ReaderOpen, FolderLayouts) {
  const TempDir dir;
  const std::string root = dir.str();

  // No AcqData at all, and a dangling symbolic link in its place.
  fs::create_directories(root + "/empty.d");
  fs::create_directories(root + "/dangling.d");
  fs::create_symlink(root + "/nowhere", root + "/dangling.d/AcqData");
  for (const char* folder : {"/empty.d", "/dangling.d", "/absent.d"}) {
    const auto reader = Reader::open(root + folder);
    ASSERT_FALSE(reader.has_value()) << folder;
    EXPECT_EQ(reader.error().display(), "parse error: AcqData directory not found") << folder;
  }

  // AcqData without MSScan.bin, AcqData as a regular file, MSScan.bin as a folder.
  fs::create_directories(root + "/noindex.d/AcqData");
  dir.write("file.d/AcqData", "not a folder");
  fs::create_directories(root + "/folderindex.d/AcqData/MSScan.bin");
  const std::pair<const char*, int> io_cases[] = {
      {"/noindex.d", ENOENT}, {"/file.d", ENOTDIR}, {"/folderindex.d", EISDIR}};
  for (const auto& [folder, error_number] : io_cases) {
    const auto reader = Reader::open(root + folder);
    ASSERT_FALSE(reader.has_value()) << folder;
    EXPECT_EQ(reader.error().kind(), Error::Kind::Io) << folder;
    EXPECT_EQ(reader.error().os_error(), error_number) << folder;
  }

  // A malformed index passes its own message through.
  dir.write("bad.d/AcqData/MSScan.bin", std::string(50, '\0'));
  const auto bad = Reader::open(root + "/bad.d");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "parse error: MSScan.bin too small for header");

  // A symbolic link to a real AcqData folder is followed.
  write_index(dir, "real.d");
  fs::create_directories(root + "/linked.d");
  fs::create_directory_symlink(root + "/real.d/AcqData", root + "/linked.d/AcqData");
  EXPECT_TRUE(Reader::open(root + "/linked.d").has_value());

  // A NUL byte must not let the shorter prefix be opened instead.
  EXPECT_FALSE(Reader::open(root + "/real.d" + std::string("\0/x", 3)).has_value());
}

TEST(ReaderOpen, NamesPathsAndDefaults) {
  const TempDir dir;
  write_index(dir, "run1.d", 284);
  const std::string folder = dir.str() + "/run1.d/";
  const auto reader = Reader::open(folder);
  ASSERT_TRUE(reader.has_value()) << reader.error().display();
  EXPECT_EQ(reader->folder_path(), folder);  // kept exactly, trailing "/" included
  EXPECT_EQ(reader->acquisition_name(), "run1.d");
  EXPECT_EQ(reader->peak_path(), folder + "AcqData/MSPeak.bin");
  EXPECT_EQ(reader->profile_path(), folder + "AcqData/MSProfile.bin");
  EXPECT_EQ(reader->scan_index().records.size(), 2u);
  // Neither metadata document: no time, the instrument guessed from the record layout.
  EXPECT_FALSE(reader->acquired_time().has_value());
  EXPECT_EQ(reader->instrument().model_name, "Agilent Q-TOF");
  EXPECT_EQ(reader->instrument().accession, "MS:1000461");

  write_index(dir, "qqq.d", 196);
  dir.write("qqq.d/AcqData/Devices.xml", DEVICES_G6530B);
  dir.write("qqq.d/AcqData/Contents.xml", CONTENTS);
  const auto documented = Reader::open(dir.str() + "/qqq.d");
  ASSERT_TRUE(documented.has_value());
  EXPECT_EQ(documented->instrument().model_name, "6530B Q-TOF LC/MS");
  EXPECT_EQ(documented->instrument().accession, "MS:1002787");
  EXPECT_EQ(documented->acquired_time(), "2021-05-04T10:11:12+02:00");

  // A folder reached through ".." has no name of its own; neither has an invalid one.
  fs::create_directories(dir.path() / "run1.d" / "sub");
  const auto dotdot = Reader::open(dir.str() + "/run1.d/sub/..");
  ASSERT_TRUE(dotdot.has_value());
  EXPECT_EQ(dotdot->acquisition_name(), "bundle.d");
  write_index(dir, "bad\xFFname.d");
  const auto lossy = Reader::open(dir.str() + "/bad\xFFname.d");
  ASSERT_TRUE(lossy.has_value());
  EXPECT_EQ(lossy->acquisition_name(), "bad\xEF\xBF\xBDname.d");
}

TEST(ReaderOpen, EmptyPathMeansTheWorkingDirectory) {
  const TempDir dir;
  write_index(dir, "here.d");
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path() / "here.d");
  const auto reader = Reader::open("");
  fs::current_path(previous);
  ASSERT_TRUE(reader.has_value()) << reader.error().display();
  EXPECT_EQ(reader->acquisition_name(), "bundle.d");
  EXPECT_EQ(reader->peak_path(), "AcqData/MSPeak.bin");
}

struct CommandResult {
  int status;
  std::string out;
  std::string err;
};

CommandResult run_info(const std::vector<std::string>& arguments) {
  const TempDir scratch;
  std::string command = VORNAK_INFO_BIN;
  for (const auto& argument : arguments) command += " '" + argument + "'";
  command += " >" + scratch.str() + "/out 2>" + scratch.str() + "/err";
  const int status = std::system(command.c_str());
  const auto slurp = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(scratch.str() + "/out"), slurp(scratch.str() + "/err")};
}

TEST(InfoCommand, ErrorsAndUsage) {
  const TempDir dir;
  fs::create_directories(dir.path() / "none.d");
  const auto missing = run_info({dir.str() + "/none.d"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "parse error: AcqData directory not found\n");
  EXPECT_EQ(missing.out, "");

  fs::create_directories(dir.path() / "noindex.d" / "AcqData");
  const auto no_index = run_info({"--json", dir.str() + "/noindex.d"});
  EXPECT_EQ(no_index.status, 1);
  EXPECT_EQ(no_index.err, "I/O error: " + std::string(std::strerror(ENOENT)) + " (os error 2)\n");

  EXPECT_EQ(run_info({}).status, 2);
  EXPECT_EQ(run_info({"--bogus", dir.str()}).status, 2);
}

TEST(InfoCommand, JsonSummary) {
  const TempDir dir;
  write_index(dir, "run.d", 216, 3);
  dir.write("run.d/AcqData/Devices.xml", DEVICES_G6530B);
  const auto result = run_info({"--json", dir.str() + "/run.d"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto summary = nlohmann::json::parse(result.out);
  EXPECT_EQ(summary["path"], dir.str() + "/run.d");
  EXPECT_EQ(summary["acquisition_name"], "run.d");
  EXPECT_EQ(summary["instrument"]["model_name"], "6530B Q-TOF LC/MS");
  EXPECT_EQ(summary["instrument"]["accession"], "MS:1002787");
  EXPECT_TRUE(summary["acquired_time"].is_null());
  EXPECT_EQ(summary["record_stride"], 216);
  EXPECT_EQ(summary["data_offset"], 228);
  EXPECT_EQ(summary["scan_count"], 3);
  EXPECT_EQ(summary["ms_levels"], nlohmann::json({{"1", 3}}));
  // Minutes 0.00, 0.01, 0.02 as seconds, round-tripped exactly.
  EXPECT_EQ(summary["retention_time_sec"]["min"].get<double>(), 0.0);
  EXPECT_EQ(summary["retention_time_sec"]["max"].get<double>(), 0.02 * 60.0);
  EXPECT_EQ(summary["profile_blocks"], 0);
  EXPECT_EQ(summary["peak_blocks"], 0);
  EXPECT_EQ(summary["points_total"], 0);
}

class RealFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(VORNAK_REALDATA_DIR)) {
      GTEST_SKIP() << "real acquisitions not found at " << VORNAK_REALDATA_DIR << "; skipping";
    }
  }
  static std::string folder(const char* name) { return std::string(VORNAK_REALDATA_DIR) + "/" + name; }
};

TEST_F(RealFolders, OpenWithMetadata) {
  for (const char* name : {"MJA5_1000_090919_001.d", "Propellant_Std_1ug_1_200124-0002.d", "example1.d"}) {
    const auto reader = Reader::open(folder(name));
    ASSERT_TRUE(reader.has_value()) << name << ": " << reader.error().display();
    EXPECT_EQ(reader->acquisition_name(), name);
    EXPECT_EQ(reader->instrument().model_name, "6550A iFunnel Q-TOF LC/MS");
    EXPECT_EQ(reader->instrument().accession, "MS:1002784");
  }
  const auto example = Reader::open(folder("example1.d"));
  ASSERT_TRUE(example.has_value());
  EXPECT_EQ(example->acquired_time(), "2020-03-03T09:59:05.5720965+00:00");

  const auto magenta = Reader::open(folder("magenta.D"));
  ASSERT_TRUE(magenta.has_value());
  EXPECT_EQ(magenta->instrument().model_name, "Agilent Q-TOF");
  EXPECT_EQ(magenta->instrument().accession, "MS:1000461");

  const auto result = run_info({"--json", folder("MJA5_1000_090919_001.d")});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto summary = nlohmann::json::parse(result.out);
  EXPECT_EQ(summary["acquisition_name"], "MJA5_1000_090919_001.d");
  EXPECT_EQ(summary["acquired_time"], "2019-09-09T13:14:36.9085672+01:00");
  EXPECT_EQ(summary["instrument"]["accession"], "MS:1002784");
  EXPECT_EQ(summary["scan_count"], 1065);
  EXPECT_EQ(summary["ms_levels"], nlohmann::json({{"1", 1065}}));
}

}  // namespace
}  // namespace vornak
