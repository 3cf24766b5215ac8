// Folders as users have them: names in any case, wrong places pointed at, and I/O errors that
// name their file.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "full_reader/acquisition.hpp"
#include "realdata.hpp"
#include "reader_lib/folder_names.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

namespace fs = std::filesystem;
using NameCase = std::function<std::string(const std::string&)>;

std::string upper(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::string lower(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string mixed(std::string name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    name[i] = static_cast<char>(i % 2 == 0 ? std::tolower(c) : std::toupper(c));
  }
  return name;
}

// `source` copied to `target` with AcqData and every name inside it renamed by `rename`.
void copy_renamed(const fs::path& source, const fs::path& target, const NameCase& rename) {
  fs::create_directories(target);
  for (const fs::directory_entry& entry : fs::directory_iterator(source)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory()) {
      fs::copy_file(entry.path(), target / name);
      continue;
    }
    const fs::path acqdata = target / (name == "AcqData" ? rename(name) : name);
    fs::create_directories(acqdata);
    for (const fs::directory_entry& file : fs::directory_iterator(entry.path())) {
      fs::copy_file(file.path(), acqdata / rename(file.path().filename().string()));
    }
  }
}

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Two results of the same call on the original and on a renamed copy: equal spectra, or errors
// whose texts differ only in the folder and the case of the names.
void expect_same(const Result<Spectrum>& original, const Result<Spectrum>& copy, const std::string& original_root,
                 const std::string& copy_root) {
  ASSERT_EQ(original.has_value(), copy.has_value()) << (original ? copy.error().display() : original.error().display());
  if (!original) {
    EXPECT_TRUE(equal_ignoring_ascii_case(replace_all(original.error().display(), original_root, "ROOT"),
                                          replace_all(copy.error().display(), copy_root, "ROOT")))
        << original.error().display() << "\n" << copy.error().display();
    return;
  }
  EXPECT_EQ(original->kind, copy->kind);
  EXPECT_EQ(original->calibration, copy->calibration);
  EXPECT_EQ(original->mz, copy->mz);
  EXPECT_EQ(original->intensity, copy->intensity);
}

// Every real folder of both shared collections; each must open.
std::vector<fs::path> real_folders() {
  std::vector<fs::path> folders;
  for (const fs::path& root : {fs::path(VORNAK_REALDATA_DIR), fs::path(VORNAK_REALDATA2_DIR)}) {
    if (!fs::is_directory(root)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
      if (!entry.is_directory()) continue;
      if (auto opened = Acquisition::open(entry.path().string()); !opened) {
        ADD_FAILURE() << entry.path() << ": " << opened.error().display();
        continue;
      }
      folders.push_back(entry.path());
    }
  }
  return folders;
}

TEST(FolderNames, MatchPrefersTheExactNameAndRefusesTwoCaseVariants) {
  struct Case {
    std::vector<std::string> entries;
    std::optional<std::string> found;
    std::string error;
  };
  const Case cases[] = {
      {{"MSScan.bin"}, "MSScan.bin", ""},
      {{"MSSCAN.BIN"}, "MSSCAN.BIN", ""},
      {{"MSSCAN.BIN", "MSScan.bin", "msscan.bin"}, "MSScan.bin", ""},
      {{"MSScan.xsd", "MSScan.bin.bak"}, std::nullopt, ""},
      {{}, std::nullopt, ""},
      {{"MSSCAN.BIN", "msscan.bin"}, std::nullopt,
       "folder error: F holds both MSSCAN.BIN and msscan.bin, names that differ only by case: keep one of them as "
       "MSScan.bin"},
  };
  for (const Case& c : cases) {
    const auto found = match_name(c.entries, "MSScan.bin", "F");
    if (c.error.empty()) {
      ASSERT_TRUE(found.has_value()) << found.error().display();
      EXPECT_EQ(*found, c.found);
    } else {
      ASSERT_FALSE(found.has_value());
      EXPECT_EQ(found.error().display(), c.error);
    }
  }
}

TEST(FolderNamesRealData, RenamedCopiesReadExactlyAsTheOriginals) {
  SKIP_WITHOUT_REALDATA();
  const testing::TempDir temp;
  const std::pair<std::string, NameCase> variants[] = {
      {"exact", [](const std::string& name) { return name; }}, {"upper", upper}, {"lower", lower}, {"mixed", mixed}};
  const std::vector<fs::path> folders = real_folders();
  ASSERT_GE(folders.size(), 9u);
  for (const fs::path& folder : folders) {
    const auto original = Acquisition::open(folder.string());
    ASSERT_TRUE(original.has_value());
    for (const auto& [variant, rename] : variants) {
      SCOPED_TRACE(folder.filename().string() + " " + variant);
      const fs::path copy_root = temp.path() / variant;
      const fs::path copy = copy_root / folder.filename();
      copy_renamed(folder, copy, rename);
      const auto copied = Acquisition::open(copy.string());
      ASSERT_TRUE(copied.has_value()) << copied.error().display();
      ASSERT_EQ(copied->size(), original->size());
      EXPECT_EQ(copied->instrument(), original->instrument());
      EXPECT_EQ(copied->acquired_time(), original->acquired_time());
      EXPECT_EQ(copied->calibration().has_data(), original->calibration().has_data());
      for (std::size_t i = 0; i < original->size(); ++i) {
        EXPECT_EQ(copied->scan(i).scan_id, original->scan(i).scan_id);
        expect_same(original->profile(i), copied->profile(i), folder.parent_path().string(), copy_root.string());
        expect_same(original->centroid(i), copied->centroid(i), folder.parent_path().string(), copy_root.string());
      }
    }
  }
}

// What opening a place gives: the folder is built by `make` under a fresh root; "{root}" in the
// expected text stands for that root.
struct PlaceCase {
  std::string name;
  std::function<std::string(const fs::path& root, const fs::path& gold)> make;  // returns the path to open
  Error::Kind kind;
  std::string message;  // exact text, or empty when opening succeeds
};

TEST(FolderNamesRealData, EveryPlaceGetsItsExactOutcome) {
  SKIP_WITHOUT_REALDATA();
  const fs::path gold = fs::path(VORNAK_REALDATA_DIR) / "gold.D";
  const auto copy = [](const fs::path& from, const fs::path& to, const NameCase& rename) {
    copy_renamed(from, to, rename);
    return to.string();
  };
  const auto same = [](const std::string& name) { return name; };
  const PlaceCase cases[] = {
      {"all upper case", [&](auto& root, auto& g) { return copy(g, root / "GOLD.D", upper); }, Error::Kind::Io, ""},
      {"AcqData in two cases",
       [&](auto& root, auto& g) {
         copy(g, root / "g.D", upper);
         fs::create_directory(root / "g.D" / "acqdata");
         return (root / "g.D").string();
       },
       Error::Kind::Folder,
       "{root}/g.D holds both ACQDATA and acqdata, names that differ only by case: keep one of them as AcqData"},
      {"MSScan.bin in two cases",
       [&](auto& root, auto& g) {
         copy(g, root / "g.D", lower);
         fs::copy_file(g / "AcqData" / "MSScan.bin", root / "g.D" / "acqdata" / "MSSCAN.BIN");
         return (root / "g.D").string();
       },
       Error::Kind::Folder,
       "{root}/g.D/acqdata holds both MSSCAN.BIN and msscan.bin, names that differ only by case: keep one of them "
       "as MSScan.bin"},
      {"the exact name wins over a case variant",
       [&](auto& root, auto& g) {
         copy(g, root / "g.D", same);
         fs::create_directory(root / "g.D" / "ACQDATA");
         return (root / "g.D").string();
       },
       Error::Kind::Io, ""},
      {"AcqData itself",
       [&](auto& root, auto& g) { return copy(g, root / "g.D", same) + "/AcqData"; }, Error::Kind::Folder,
       "{root}/g.D/AcqData is the AcqData folder of an acquisition: give the folder that holds it, {root}/g.D"},
      {"a file inside AcqData",
       [&](auto& root, auto& g) { return copy(g, root / "g.D", upper) + "/ACQDATA/MSSCAN.BIN"; }, Error::Kind::Folder,
       "{root}/g.D/ACQDATA/MSSCAN.BIN is a file inside the AcqData folder of an acquisition: give the acquisition "
       "folder, {root}/g.D"},
      {"a parent of several acquisitions",
       [&](auto& root, auto& g) {
         copy(g, root / "runs" / "b.d", same);
         copy(g, root / "runs" / "a.d", lower);
         copy(g, root / "runs" / "c.d", upper);
         copy(g, root / "runs" / "d.d", same);
         return (root / "runs").string();
       },
       Error::Kind::Folder,
       "{root}/runs is not an acquisition but holds 4 of them (a.d, b.d, c.d and 1 more): give one, or convert them "
       "all with `vornak convert {root}/runs/*.d --output-dir OUT`"},
      {"a parent of one",
       [&](auto& root, auto& g) {
         copy(g, root / "runs" / "a.D", same);
         return (root / "runs").string();
       },
       Error::Kind::Folder, "{root}/runs is not an acquisition but holds one: give {root}/runs/a.D"},
      {"MSScan.bin missing",
       [&](auto& root, auto& g) {
         copy(g, root / "g.D", same);
         fs::remove(root / "g.D" / "AcqData" / "MSScan.bin");
         return (root / "g.D").string();
       },
       Error::Kind::Io, "cannot read {root}/g.D/AcqData/MSScan.bin: No such file or directory (os error 2)"},
      {"no such folder", [&](auto& root, auto&) { return (root / "absent.d").string(); }, Error::Kind::Io,
       "cannot list the folder {root}/absent.d: No such file or directory (os error 2)"},
      {"an empty folder",
       [&](auto& root, auto&) {
         fs::create_directory(root / "empty.d");
         return (root / "empty.d").string();
       },
       Error::Kind::Folder, "{root}/empty.d has no AcqData folder"},
      {"ChemStation MS files",
       [&](auto& root, auto&) {
         fs::create_directory(root / "single.D");
         write_text(root / "single.D" / "MSD1.MS", "x");
         return (root / "single.D").string();
       },
       Error::Kind::Folder,
       "{root}/single.D holds ChemStation MS data files (MSD1.MS) and no AcqData folder: this format is not read by "
       "this version"},
      {"a result folder",
       [&](auto& root, auto&) {
         fs::create_directory(root / "batch.sirslt");
         return (root / "batch.sirslt").string();
       },
       Error::Kind::Folder, "{root}/batch.sirslt is an OpenLab CDS result folder (.sirslt): not read by this version"},
      {"a JCAMP-DX text named .dx",
       [&](auto& root, auto&) {
         write_text(root / "spectrum.dx", "\n##TITLE=caffeine\n##JCAMP-DX=5.01\n");
         return (root / "spectrum.dx").string();
       },
       Error::Kind::Folder,
       "{root}/spectrum.dx is a JCAMP-DX text file, not an acquisition folder: not read by this version"},
  };
  for (const PlaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::TempDir temp;
    const std::string path = c.make(temp.path(), gold);
    const auto opened = Acquisition::open(path);
    if (c.message.empty()) {
      EXPECT_TRUE(opened.has_value()) << opened.error().display();
      if (opened) {
        EXPECT_EQ(opened->size(), 3u);
      }
      continue;
    }
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind(), c.kind);
    EXPECT_EQ(opened.error().message(), replace_all(c.message, "{root}", temp.str()));
  }
}

TEST(FolderNamesRealData, FlightTimesWithoutCalibrationAreAnErrorNamingWhatIsMissing) {
  SKIP_WITHOUT_REALDATA();
  const testing::TempDir temp;
  const fs::path folder = temp.path() / "GOLD.D";
  copy_renamed(fs::path(VORNAK_REALDATA_DIR) / "gold.D", folder, upper);
  fs::remove(folder / "ACQDATA" / "DEFAULTMASSCAL.XML");
  const auto opened = Acquisition::open(folder.string());
  ASSERT_TRUE(opened.has_value()) << opened.error().display();
  const std::string missing = "flight times without a mass calibration: " + folder.string() +
                              "/ACQDATA has neither MSMassCal.bin nor DefaultMassCal.xml";
  for (std::size_t i = 0; i < opened->size(); ++i) {
    for (const auto& spectrum : {opened->profile(i), opened->centroid(i), opened->spectrum(i)}) {
      ASSERT_FALSE(spectrum.has_value());
      EXPECT_EQ(spectrum.error().message(), "scan " + std::to_string(i) + ": " + missing);
    }
  }
}

// Every way a file of the folder can fail to be read gives a message naming that file.
TEST(FolderNamesRealData, EveryIoErrorNamesItsFile) {
  SKIP_WITHOUT_REALDATA();
  struct Case {
    std::string file;          // in AcqData, replaced by a folder ("dir") or removed ("rm")
    std::string how;
    bool at_open;              // the error comes from opening, else from spectrum(0)
    std::string message;       // "{acq}" stands for the copy's AcqData
  };
  const Case cases[] = {
      {"MSScan.bin", "dir", true, "cannot read {acq}/MSScan.bin: Is a directory (os error 21)"},
      {"MSScan.xsd", "dir", true, "cannot read {acq}/MSScan.xsd: Is a directory (os error 21)"},
      {"DefaultMassCal.xml", "dir", true, "cannot read {acq}/DefaultMassCal.xml: Is a directory (os error 21)"},
      {"MSMassCal.bin", "dir", true, "cannot read {acq}/MSMassCal.bin: Is a directory (os error 21)"},
      {"MSProfile.bin", "rm", false,
       "scan 0: I/O error: cannot open {acq}/MSProfile.bin: No such file or directory (os error 2)"},
      {"MSPeak.bin", "dir", false, ""},  // a folder's size is not a block file's: checked below by prefix
      {"MSProfile.bin", "dir", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.how);
    const testing::TempDir temp;
    const fs::path folder = temp.path() / "g.D";
    copy_renamed(fs::path(VORNAK_REALDATA_DIR) / (c.file == "MSMassCal.bin" ? "magenta.D" : "gold.D"), folder,
                 [](const std::string& name) { return name; });
    const fs::path file = folder / "AcqData" / c.file;
    fs::remove(file);
    if (c.how == "dir") fs::create_directory(file);
    const auto opened = Acquisition::open(folder.string());
    std::string text;
    if (c.at_open) {
      ASSERT_FALSE(opened.has_value());
      text = opened.error().message();
    } else {
      ASSERT_TRUE(opened.has_value()) << opened.error().display();
      const auto spectrum = c.file == "MSPeak.bin" ? opened->centroid(0) : opened->profile(0);
      ASSERT_FALSE(spectrum.has_value());
      text = spectrum.error().message();
    }
    EXPECT_NE(text.find(file.string()), std::string::npos) << text;
    if (!c.message.empty()) {
      EXPECT_EQ(text, replace_all(c.message, "{acq}", (folder / "AcqData").string()));
    }
  }
}

}  // namespace
}  // namespace vornak
