// The small pieces of the mzML writer: instrument-model terms, the generated vocabulary table,
// escaping, numbers, identifiers, dates, binary arrays and zero trimming.
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "mzml_export/binary_array.hpp"
#include "mzml_export/cv_table.hpp"
#include "mzml_export/instrument_terms.hpp"
#include "mzml_export/spectrum_xml.hpp"
#include "mzml_export/xml_text.hpp"
#include "mzml_file.hpp"

namespace vornak {
namespace {

TEST(InstrumentTerms, ModelTermFromAccessionThenModelNumber) {
  struct Case {
    std::string_view accession;
    std::optional<std::string_view> model_number;
    std::string_view expected;
  };
  const Case cases[] = {
      {"MS:1002787", std::nullopt, "MS:1002787"},   // identified by the reader: 6530B
      {"MS:1002787", "G6546A", "MS:1002787"},       // the identification wins
      {"MS:1000490", "G6546A", "MS:1003536"},       // "6546 Q-TOF LC/MS": G and the A dropped
      {"MS:1000490", "G6550A", "MS:1002784"},       // "6550A iFunnel Q-TOF LC/MS"
      {"MS:1000490", "G6520B", "MS:1002785"},       // "6520B Q-TOF LC/MS", not "6520 Q-TOF LC/MS"
      {"MS:1000490", "5977", "MS:1003521"},         // "5977 MSD"
      {"MS:1000490", "5977b", "MS:1003523"},        // case ignored: "5977B MSD"
      {"MS:1000490", "G3250AA", "MS:1003545"},      // a term named with its G
      {"MS:1000490", "G7000B", "MS:1002803"},       // "7000B Triple Quadrupole GC/MS"
      {"MS:1000490", "G6545XT", "MS:1003535"},      // "6545XT Q-TOF LC/MS"
      {"MS:1000490", "G1234A", "MS:1000490"},       // no such model: the generic term
      {"MS:1000461", std::nullopt, "MS:1000490"},   // the reader's no-device accession is not a model
      {"MS:1000490", "", "MS:1000490"},
      {"MS:1000490", "G", "MS:1000490"},
      {"MS:1000490", "6", "MS:1000490"},            // a word must match whole: no "6xxx" prefix match
  };
  for (const Case& c : cases) {
    EXPECT_EQ(instrument_model_term(c.accession, c.model_number).accession, c.expected)
        << c.accession << " " << c.model_number.value_or("(none)");
  }
}

TEST(CvTable, EveryTermHasTheVocabularysName) {
  const auto obo = testing::standards_dir() / "psi-ms.obo";
  if (!std::filesystem::exists(obo)) GTEST_SKIP() << "psi-ms.obo not found at " << obo;
  const auto names = testing::load_vocabulary(obo);
  for (const cv::Term& term : cv::INSTRUMENT_MODELS) {
    ASSERT_TRUE(names.contains(std::string(term.accession))) << term.accession;
    EXPECT_EQ(names.at(std::string(term.accession)), term.name);
  }
  // The table holds the whole subtree: every live term whose is_a chain reaches MS:1000490.
  std::map<std::string, std::vector<std::string>> parents;
  std::set<std::string> obsolete;
  {
    std::ifstream stream(obo);
    std::string line;
    std::string id;
    while (std::getline(stream, line)) {
      if (line.starts_with("id: ")) id = line.substr(4);
      if (line.starts_with("is_a: ")) parents[id].push_back(line.substr(6, line.find(' ', 6) - 6));
      if (line == "is_obsolete: true") obsolete.insert(id);
    }
  }
  const std::function<bool(const std::string&)> is_model = [&](const std::string& id) {
    for (const std::string& parent : parents[id]) {
      if (parent == "MS:1000490" || is_model(parent)) return true;
    }
    return false;
  };
  std::set<std::string> subtree;
  for (const auto& [id, ignored] : parents) {
    if (!obsolete.contains(id) && is_model(id)) subtree.insert(id);
  }
  std::set<std::string> table;
  for (const cv::Term& term : cv::INSTRUMENT_MODELS) table.insert(std::string(term.accession));
  EXPECT_EQ(table, subtree);
  const cv::Term used[] = {cv::MS_LEVEL, cv::NATIVE_ID_FORMAT, cv::SECOND, cv::ELECTRONVOLT,
                           cv::ZERO_INTENSITY_TRIMMING, cv::INSTRUMENT_MODEL_GENERIC};
  for (const cv::Term& term : used) EXPECT_EQ(names.at(std::string(term.accession)), term.name);
}

TEST(XmlText, EscapingKeepsAttributesWellFormed) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain", "plain"},
      {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
      {"tab\there\nline\rend", "tab&#x9;here&#xA;line&#xD;end"},
      {std::string_view("nul\0x", 5), "nul\xEF\xBF\xBDx"},
      {"\x01\x1f", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},                    // valid UTF-8 passes
      {"bad\xFF" "byte", "bad\xEF\xBF\xBD" "byte"},       // ill-formed byte replaced
      {"\xEF\xBF\xBE\xEF\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // U+FFFE, U+FFFF
      {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(escaped(text), expected) << text;
}

TEST(XmlText, NumbersReadBackExactly) {
  std::mt19937_64 random(7);
  std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 734.483616875, 1e-310, -1e300,
                                std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::lowest()};
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (std::isfinite(value)) values.push_back(value);
  }
  for (const double value : values) {
    const std::string text = format_number(value);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<std::uint64_t>(value))
        << text;
  }
  EXPECT_EQ(format_number(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_number(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(format_number(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(format_number(2.0), "2");
}

TEST(XmlText, IdentifiersUrisAndDates) {
  const std::pair<std::string_view, std::string_view> identifiers[] = {
      {"black.D", "black.D"}, {"2024 run #3.d", "_2024_run__3.d"}, {"", "_"}, {"-x", "_-x"},
      {"_ok", "_ok"},         {"caf\xC3\xA9", "caf__"},
  };
  for (const auto& [text, expected] : identifiers) EXPECT_EQ(xml_identifier(text), expected) << text;

  EXPECT_EQ(file_uri("/data/run 1/AcqData"), "file:///data/run%201/AcqData");
  EXPECT_EQ(file_uri("/a%b#c?\xC3\xA9"), "file:///a%25b%23c%3F%C3%A9");

  const std::pair<std::string_view, bool> dates[] = {
      {"2019-09-09T13:14:36.9085672+01:00", true},
      {"2020-01-24T12:07:52Z", true},
      {"2020-01-24T12:07:52", true},
      {"-0001-01-01T00:00:00", true},
      {"2020-01-24 12:07:52", false},
      {"2020-13-24T12:07:52", false},
      {"2020-01-32T12:07:52", false},
      {"2020-01-24T24:07:52", false},
      {"2020-01-24T12:07:52.", false},
      {"2020-01-24T12:07:52+1:00", false},
      {"2020-01-24T12:07:52+15:00", false},
      {"2020-01-24T12:07:52Zjunk", false},
      {"1/24/2020 12:07 PM", false},
      {"", false},
  };
  for (const auto& [text, valid] : dates) EXPECT_EQ(is_xml_date_time(text), valid) << text;
}

// Values -> base64 -> values, for both widths, with every compression choice, at every small
// length and across the encoder's 3 MiB piece boundary.
TEST(BinaryArray, RoundTripsAtEveryWidthAndLength) {
  std::mt19937_64 random(11);
  ArrayEncoder encoder;
  for (const std::size_t count : {0u, 1u, 2u, 3u, 4u, 5u, 1000u, 393216u, 393217u}) {
    std::vector<double> values(count);
    for (double& value : values) value = std::ldexp(static_cast<double>(random() >> 11), -40);
    for (const FloatWidth width : {FloatWidth::Bits64, FloatWidth::Bits32}) {
      for (const Compression compression :
           {Compression::None, Compression::Fast, Compression::Default, Compression::Small}) {
        const bool compress = compression != Compression::None;
        std::string text = "prefix";
        const auto prepared = encoder.append_base64(text, values, width, compression);
        ASSERT_TRUE(prepared.has_value());
        ASSERT_EQ(prepared->base64_length, text.size() - 6);
        ASSERT_EQ(prepared->deflated, compress);
        ASSERT_EQ(text.substr(0, 6), "prefix");
        const auto bytes = decode_base64_array(std::string_view(text).substr(6), compress);
        ASSERT_TRUE(bytes.has_value()) << bytes.error().message();
        const std::size_t item = width == FloatWidth::Bits64 ? 8 : 4;
        ASSERT_EQ(bytes->size(), count * item) << count;
        for (std::size_t i = 0; i < count; ++i) {
          double read;
          if (width == FloatWidth::Bits64) {
            std::memcpy(&read, bytes->data() + i * 8, 8);
          } else {
            float narrow;
            std::memcpy(&narrow, bytes->data() + i * 4, 4);
            read = narrow;
          }
          const double expected = width == FloatWidth::Bits64 ? values[i] : static_cast<float>(values[i]);
          ASSERT_EQ(read, expected) << count << " values, index " << i;
        }
      }
    }
  }
}

TEST(BinaryArray, MalformedTextIsAnError) {
  const std::pair<std::string_view, bool> cases[] = {
      {"abc", false},          // not a multiple of 4
      {"ab!d", false},         // not base64
      {"AAAA", true},          // three zero bytes are no zlib stream
      {"eAEDAAAAAA==", true},  // a zlib stream cut before its checksum
  };
  for (const auto& [text, compressed] : cases) {
    EXPECT_FALSE(decode_base64_array(text, compressed).has_value()) << text;
  }
  EXPECT_TRUE(decode_base64_array("eAEDAAAAAAE=", true).has_value());  // the empty stream
}

TEST(ZeroTrimming, KeepsSignalAndTheZerosBesideIt) {
  struct Case {
    std::vector<double> intensity;
    std::vector<double> kept;
  };
  const Case cases[] = {
      {{}, {}},
      {{0}, {}},
      {{5}, {5}},
      {{0, 0, 0}, {}},
      {{0, 0, 3, 0, 0}, {0, 3, 0}},
      {{3, 0, 0, 0, 4}, {3, 0, 0, 4}},
      {{0, 1, 0, 1, 0}, {0, 1, 0, 1, 0}},
      {{0, 0, 0, 2, 2, 0, 0, 0, 0, 7}, {0, 2, 2, 0, 0, 7}},
  };
  for (const Case& c : cases) {
    ValueArray intensity(c.intensity.begin(), c.intensity.end());
    ValueArray mz(intensity.size());
    for (std::size_t i = 0; i < mz.size(); ++i) mz[i] = 100.0 + static_cast<double>(i);
    trim_zero_bins(mz, intensity);
    EXPECT_EQ(std::vector<double>(intensity.begin(), intensity.end()), c.kept);
    ASSERT_EQ(mz.size(), intensity.size());
    // The m/z travel with their intensities: each kept point is the original at that m/z.
    for (std::size_t i = 0; i < mz.size(); ++i) {
      EXPECT_EQ(c.intensity[static_cast<std::size_t>(mz[i] - 100.0)], intensity[i]);
    }
  }
}

}  // namespace
}  // namespace vornak
