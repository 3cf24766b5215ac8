// The mzPeak container: what is left on disk when an archive is committed, dropped or refused.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mzpeak_export/archive.hpp"
#include "mzpeak_export/mzpeak_writer.hpp"
#include "mzpeak_export/tables.hpp"
#include "../temp_dir.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Result<void> write_two_members(Archive& archive) {
  for (const char* name : {"a.parquet", "mzpeak_index.json"}) {
    if (auto begun = archive.begin_member(name); !begun) return begun;
    if (auto written = archive.write("bytes of the member"); !written) return written;
    if (auto ended = archive.end_member(); !ended) return std::unexpected(ended.error());
  }
  return {};
}

TEST(MzpeakArchive, CommittedOrDroppedLeavesOnlyTheFinalName) {
  for (const ArchiveLayout layout : {ArchiveLayout::Zip, ArchiveLayout::Directory}) {
    testing::TempDir dir;
    const std::string target = (dir.path() / "run.mzpeak").string();
    {
      auto archive = Archive::create(target, layout);
      ASSERT_TRUE(archive);
      ASSERT_TRUE(archive->begin_member("a.parquet"));
      ASSERT_TRUE(archive->write("half"));
      EXPECT_EQ(names_in(dir.path()).size(), 1u);  // the hidden temporary output
    }  // dropped inside a member
    EXPECT_TRUE(names_in(dir.path()).empty());
    auto archive = Archive::create(target, layout);
    ASSERT_TRUE(archive);
    ASSERT_TRUE(write_two_members(*archive));
    ASSERT_TRUE(archive->commit());
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"run.mzpeak"});
    EXPECT_EQ(fs::is_directory(target), layout == ArchiveLayout::Directory);
  }
}

TEST(MzpeakArchive, MisuseIsAnError) {
  testing::TempDir dir;
  auto archive = Archive::create((dir.path() / "x.mzpeak").string(), ArchiveLayout::Zip);
  ASSERT_TRUE(archive);
  EXPECT_FALSE(archive->write("outside a member"));
  EXPECT_FALSE(archive->end_member());
  EXPECT_FALSE(archive->begin_member("sub/name"));
  EXPECT_FALSE(archive->begin_member(""));
  ASSERT_TRUE(archive->begin_member("a"));
  EXPECT_FALSE(archive->begin_member("b"));
  EXPECT_FALSE(archive->commit());
  EXPECT_FALSE(Archive::create((dir.path() / "missing" / "x.mzpeak").string(), ArchiveLayout::Zip));
}

TEST(MzpeakArchive, DirectoryReplacesOnlyAnArchiveOrAnEmptyFolder) {
  struct Case {
    const char* existing;  // what the final name holds before the commit
    bool replaced;
  };
  for (const Case c : {Case{"empty", true}, Case{"archive", true}, Case{"other", false}, Case{"file", false}}) {
    testing::TempDir dir;
    const fs::path target = dir.path() / "out";
    const std::string kind = c.existing;
    if (kind == "file") {
      dir.write("out", "a file");
    } else {
      fs::create_directory(target);
      if (kind == "archive") dir.write("out/mzpeak_index.json", "{}");
      if (kind == "other") dir.write("out/notes.txt", "mine");
    }
    bool committed = false;
    {
      auto archive = Archive::create(target.string() + "/", ArchiveLayout::Directory);
      ASSERT_TRUE(archive);
      ASSERT_TRUE(write_two_members(*archive));
      committed = archive->commit().has_value();
    }
    EXPECT_EQ(committed, c.replaced) << kind;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out"}) << kind;
    if (c.replaced) {
      EXPECT_EQ(names_in(target), (std::vector<std::string>{"a.parquet", "mzpeak_index.json"}));
    }
  }
}

TEST(MzpeakArchive, OutputNames) {
  for (const auto& [path, expected] : std::vector<std::pair<std::string, bool>>{
           {"run.mzpeak", true}, {"RUN.MZPEAK", true}, {"out/", true}, {"run.mzML", false}, {"mzpeak", false}}) {
    EXPECT_EQ(is_mzpeak_path(path), expected) << path;
  }
}

TEST(MzpeakTables, TransitionChromatogramsGetPrecursorAndProductRows) {
  using mzpeak::ChromatogramRecord;
  std::vector<ChromatogramRecord> records = mzpeak::chromatogram_records({}, {}, {});
  EXPECT_EQ(records.size(), 2u);  // TIC and BPC, even of no spectra
  auto none = mzpeak::chromatogram_transition_tables(records);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  records.push_back({"SRM 1", mzpeak::terms::SRM_CHROMATOGRAM, 1, {0.5}, {10.0}, 445.1, 120.0, 20.0});
  records.push_back({"SIM 2", mzpeak::terms::SIM_CHROMATOGRAM, 1, {0.5}, {3.0}, 519.1, std::nullopt, std::nullopt});
  auto tables = mzpeak::chromatogram_transition_tables(records);
  ASSERT_TRUE(tables.ok()) << tables.status().ToString();
  ASSERT_EQ(tables->size(), 2u);
  const mzpeak::MetadataTable& precursors = (*tables)[0];
  EXPECT_EQ(precursors.name, "chromatograms_metadata_precursors.parquet");
  EXPECT_EQ(precursors.data_kind, "precursors");
  ASSERT_EQ(precursors.table->num_rows(), 2);
  const auto source = std::static_pointer_cast<arrow::UInt64Array>(precursors.table->column(0)->chunk(0));
  EXPECT_EQ(source->Value(0), 2u);
  EXPECT_EQ(source->Value(1), 3u);
  const mzpeak::MetadataTable& products = (*tables)[1];
  EXPECT_EQ(products.name, "chromatograms_metadata_products.parquet");
  ASSERT_EQ(products.table->num_rows(), 1);
  const auto window = std::static_pointer_cast<arrow::StructArray>(products.table->GetColumnByName("isolation_window")->chunk(0));
  EXPECT_EQ(std::static_pointer_cast<arrow::DoubleArray>(window->field(0))->Value(0), 120.0);
}

}  // namespace
}  // namespace vornak
