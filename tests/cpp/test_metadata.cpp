// Devices.xml and Contents.xml readers: document tables, text trimming, truncation, real files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "reader_lib/raw/metadata.hpp"

namespace vornak {

void PrintTo(const DeviceInfo& device, std::ostream* out) {
  *out << "{name \"" << device.name << "\", model_number \"" << device.model_number << "\"}";
}

namespace {

using namespace std::string_literals;

ByteView bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::optional<DeviceInfo> device_from(std::string_view text) { return parse_devices_xml_text(bytes_of(text)); }
std::optional<std::string> time_from(std::string_view text) { return parse_acquired_time_text(bytes_of(text)); }

std::string devices_with(std::string_view name_content, std::string_view model_content) {
  return "<Devices><Device><Name>"s.append(name_content) + "</Name><ModelNumber>" + std::string(model_content) +
         "</ModelNumber></Device></Devices>";
}

// The text as UTF-16 code units; only ASCII text is ever converted here.
std::string utf16(std::string_view ascii, bool big_endian, bool byte_order_mark) {
  std::string out = byte_order_mark ? (big_endian ? "\xFE\xFF"s : "\xFF\xFE"s) : ""s;
  for (const char c : ascii) {
    out += big_endian ? "\0"s + c : c + "\0"s;
  }
  return out;
}

const DeviceInfo QTOF{"Q-TOF", "G6530B"};
const std::string CONTENTS = "<Contents><AcquiredTime>T</AcquiredTime></Contents>";

struct DeviceCase {
  const char* label;
  std::string document;
  std::optional<DeviceInfo> expected;
};

TEST(ParseDevicesXml, DocumentTable) {
  const DeviceCase cases[] = {
      {"plain", devices_with("Q-TOF", "G6530B"), QTOF},
      {"ascii white space around", devices_with(" \tQ-TOF\n", "\r\n\t  G6530B \n\t"), QTOF},
      {"no-break and ideographic space", devices_with("\u00A0Q-TOF\u3000", "\u3000G6530B\u00A0"), QTOF},
      {"inner white space kept", devices_with(" Q\u00A0TOF  6 ", "G6530B"), DeviceInfo{"Q\u00A0TOF  6", "G6530B"}},
      {"references expanded", devices_with("Q&amp;A", "&#x47;6530B&#xA0;"), DeviceInfo{"Q&A", "G6530B"}},
      {"line ends normalised", devices_with("Q\r\nTOF", "G6530B"), DeviceInfo{"Q\nTOF", "G6530B"}},
      {"CDATA text", devices_with("<![CDATA[Q-TOF]]>", "<![CDATA[ G6530B ]]>"), QTOF},
      {"CDATA continues text", devices_with("Q-<![CDATA[TOF]]>", "\n  <![CDATA[G6530B]]>\n"), QTOF},
      {"first text only", devices_with("Q-TOF <Empty/> second", "G6530B"), QTOF},
      {"text ends at a comment", devices_with("Q-TOF <!-- note --> second", "G6530B"), QTOF},
      {"comment first", devices_with("<!-- c -->Q-TOF", "G6530B"), std::nullopt},
      {"processing instruction first", devices_with("<?note x?>Q-TOF", "G6530B"), std::nullopt},
      {"element first", devices_with("<b>Q-TOF</b>", "G6530B"), std::nullopt},
      {"white space before a comment", devices_with("  <!-- c -->Q-TOF", "G6530B"), std::nullopt},
      {"empty name", devices_with("", "G6530B"), std::nullopt},
      {"white-space-only model", devices_with("Q-TOF", " \t\n\u3000"), std::nullopt},
      {"self-closing model", "<Devices><Device><Name>Q-TOF</Name><ModelNumber/></Device></Devices>", std::nullopt},
      {"attributes are not children", "<Devices><Device Name='Q-TOF' ModelNumber='G6530B'/></Devices>",
       std::nullopt},
      {"grandchild is not a child",
       "<Devices><Device><Name>Q-TOF</Name><Info><ModelNumber>G6530B</ModelNumber></Info></Device></Devices>",
       std::nullopt},
      {"only the first Name counts",
       "<Devices><Device><Name><!--c--></Name><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device>"
       "</Devices>",
       std::nullopt},
      {"first of two Names", devices_with("Q-TOF</Name><Name>other", "G6530B"), QTOF},
      {"later Device not considered",
       "<Devices><Device><Name>Pump</Name></Device><Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber>"
       "</Device></Devices>",
       std::nullopt},
      {"depth first, not level by level",
       "<Devices><Group><Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device></Group>"
       "<Device><Name>Pump</Name><ModelNumber>G7111B</ModelNumber></Device></Devices>",
       QTOF},
      {"Device in a comment not counted",
       "<Devices><!-- <Device><Name>x</Name></Device> --><Device><Name>Q-TOF</Name>"
       "<ModelNumber>G6530B</ModelNumber></Device></Devices>",
       QTOF},
      {"nested several levels",
       "<a><b><c><d><Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device></d></c></b></a>", QTOF},
      {"Device is the document element", "<Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device>",
       QTOF},
      {"prefixed names",
       "<d:Devices xmlns:d='urn:d'><d:Device><d:Name>Q-TOF</d:Name><d:ModelNumber>G6530B</d:ModelNumber>"
       "</d:Device></d:Devices>",
       QTOF},
      {"default namespace", "<Devices xmlns='urn:d'><Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber>"
       "</Device></Devices>", QTOF},
      {"lower-case device", "<Devices><device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></device></Devices>",
       std::nullopt},
      {"two colons", "<Devices><a:b:Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></a:b:Device>"
       "</Devices>", std::nullopt},
      {"no Device", "<Devices><Version>1</Version></Devices>", std::nullopt},
      {"surrogate reference", devices_with("Q-TOF", "G6530B&#xD800;"), std::nullopt},
  };
  for (const DeviceCase& c : cases) {
    EXPECT_EQ(device_from(c.document), c.expected) << c.label;
  }
}

struct TimeCase {
  const char* label;
  std::string document;
  std::optional<std::string> expected;
};

// What any document must be to be read at all, shown through the simpler of the two readers.
TEST(LoadDocument, AcceptedAndRefusedTexts) {
  const TimeCase cases[] = {
      {"plain", CONTENTS, "T"},
      {"byte-order mark", "\xEF\xBB\xBF" + CONTENTS, "T"},
      {"declaration", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + CONTENTS, "T"},
      {"byte-order mark and declaration", "\xEF\xBB\xBF<?xml version=\"1.0\"?>" + CONTENTS, "T"},
      {"declared Latin-1 still read as UTF-8",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Contents><AcquiredTime>caf\u00E9</AcquiredTime></Contents>",
       "caf\u00E9"},
      {"UTF-16LE with byte-order mark", utf16(CONTENTS, false, true), std::nullopt},
      {"UTF-16BE with byte-order mark", utf16(CONTENTS, true, true), std::nullopt},
      {"UTF-16LE without byte-order mark", utf16(CONTENTS, false, false), std::nullopt},
      {"Latin-1 byte in a comment", "<!-- caf\xE9 -->" + CONTENTS, std::nullopt},
      {"NUL after the document", CONTENTS + "\0<x"s, std::nullopt},
      {"DOCTYPE", "<!DOCTYPE Contents>" + CONTENTS, std::nullopt},
      {"DOCTYPE with internal subset", "<!DOCTYPE Contents [<!ENTITY t \"x\">]>" + CONTENTS, std::nullopt},
      {"DOCTYPE after the document element", CONTENTS + "<!DOCTYPE Contents>", std::nullopt},
      {"DOCTYPE inside a comment", "<!-- <!DOCTYPE Contents> -->" + CONTENTS, "T"},
      {"DOCTYPE inside CDATA",
       "<Contents><Note><![CDATA[<!DOCTYPE x>]]></Note><AcquiredTime>T</AcquiredTime></Contents>", "T"},
      {"two document elements", CONTENTS + "<Other/>", std::nullopt},
      {"declaration after a comment", "<!-- c --><?xml version=\"1.0\"?>" + CONTENTS, std::nullopt},
      {"declaration inside an element", "<Contents><?xml version=\"1.0\"?><AcquiredTime>T</AcquiredTime></Contents>",
       std::nullopt},
      {"mismatched end tag", "<Contents><AcquiredTime>T</Acquiredtime></Contents>", std::nullopt},
      {"unclosed document element", "<Contents><AcquiredTime>T</AcquiredTime>", std::nullopt},
      {"empty text", "", std::nullopt},
      {"declaration only", "<?xml version=\"1.0\"?>", std::nullopt},
  };
  for (const TimeCase& c : cases) {
    EXPECT_EQ(time_from(c.document), c.expected) << c.label;
  }
}

TEST(ParseAcquiredTime, DocumentTable) {
  const TimeCase cases[] = {
      {"time with zone offset, trimmed",
       "<Contents>\n  <AcquiredTime>\n    2020-03-03T09:59:05.5720965+00:00\r\n  </AcquiredTime>\n</Contents>",
       "2020-03-03T09:59:05.5720965+00:00"},
      {"after comments and siblings",
       "<Contents><!-- when --><Version>3</Version><AcquiredTime>2019-09-09 13:14</AcquiredTime></Contents>",
       "2019-09-09 13:14"},
      {"any document element name, prefixed",
       "<c:Run xmlns:c='urn:c'><c:AcquiredTime>T</c:AcquiredTime></c:Run>", "T"},
      {"nested one level deeper", "<Contents><Run><AcquiredTime>T</AcquiredTime></Run></Contents>", std::nullopt},
      {"document element itself", "<AcquiredTime>T</AcquiredTime>", std::nullopt},
      {"empty", "<Contents><AcquiredTime></AcquiredTime></Contents>", std::nullopt},
      {"white space only", "<Contents><AcquiredTime> \u2028 </AcquiredTime></Contents>", std::nullopt},
      {"comment first", "<Contents><AcquiredTime><!--c-->T</AcquiredTime></Contents>", std::nullopt},
      {"first of two is empty",
       "<Contents><AcquiredTime/><AcquiredTime>T</AcquiredTime></Contents>", std::nullopt},
      {"lower case", "<Contents><acquiredTime>T</acquiredTime></Contents>", std::nullopt},
  };
  for (const TimeCase& c : cases) {
    EXPECT_EQ(time_from(c.document), c.expected) << c.label;
  }
}

// child_text on trees built in memory, so that any character can stand in a text node.
class ChildText : public testing::Test {
 protected:
  std::optional<std::string> text_of(const char* element_name, const std::string& content) {
    pugi::xml_document document;
    pugi::xml_node parent = document.append_child("Device");
    parent.append_child(element_name).append_child(pugi::node_pcdata).set_value(content.c_str());
    return child_text(parent, "Name");
  }
};

TEST_F(ChildText, TrimsEveryWhiteSpaceCharacter) {
  const std::string white_space[] = {
      "\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
      "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F",
      "\u3000",
  };
  for (const std::string& space : white_space) {
    EXPECT_EQ(text_of("Name", space + space + "Q" + space + "TOF" + space), "Q" + space + "TOF") << space;
    EXPECT_EQ(text_of("Name", space), "") << space;
  }
  // Look-alikes without the White_Space property stay.
  const std::string kept[] = {"\u200B", "\uFEFF", "\u180E", "\x1F"};
  for (const std::string& other : kept) {
    EXPECT_EQ(text_of("Name", other + "Q" + other), other + "Q" + other) << other;
  }
}

TEST_F(ChildText, MatchesLocalNamesExactly) {
  const std::pair<const char*, bool> names[] = {
      {"Name", true},   {"d:Name", true},   {"name", false},     {"NAME", false}, {"d:name", false},
      {"Names", false}, {"xName", false},   {"a:b:Name", false}, {":Name", false}, {"Name:", false},
      {"Name:x", false},
  };
  for (const auto& [element_name, matches] : names) {
    EXPECT_EQ(text_of(element_name, "v"), matches ? std::optional<std::string>("v") : std::nullopt)
        << element_name;
  }
}

// Every prefix of a valid document either fails cleanly or, once the document element is
// closed, reads the same as the whole. Each prefix gets its own exact allocation so that an
// over-read leaves the heap block.
TEST(Truncation, EveryPrefixFailsCleanlyOrReadsTheWhole) {
  const std::string devices =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<!-- caf\u00E9 \u3000 -->\n"
      "<d:Devices xmlns:d=\"urn:d\">\n  <d:Version>1</d:Version>\n"
      "  <d:Device DeviceID=\"1\">\n    <d:Name>Q&amp;TOF <![CDATA[\u00B5]]></d:Name>\n"
      "    <?pi x?>\n    <d:ModelNumber>\u00A0G6550A\r\n</d:ModelNumber>\n  </d:Device>\n"
      "  <d:Device><d:Name>Pump</d:Name><d:ModelNumber>G7111B</d:ModelNumber></d:Device>\n"
      "</d:Devices>\n";
  const std::string contents =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Contents xmlns:xsi=\"urn:x\">\n"
      "  <Version>3</Version>\n  <!-- \u00E9 -->\n"
      "  <AcquiredTime>2020-03-03T09:59:05.5720965+00:00</AcquiredTime>\n</Contents>\n";

  const std::optional<DeviceInfo> whole_device = device_from(devices);
  ASSERT_EQ(whole_device, (DeviceInfo{"Q&TOF \u00B5", "G6550A"}));
  const std::size_t devices_closed = devices.rfind('>') + 1;
  for (std::size_t length = 0; length <= devices.size(); ++length) {
    const std::vector<std::uint8_t> prefix(devices.begin(), devices.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(parse_devices_xml_text(prefix), length < devices_closed ? std::nullopt : whole_device) << length;
  }

  const std::optional<std::string> whole_time = time_from(contents);
  ASSERT_EQ(whole_time, "2020-03-03T09:59:05.5720965+00:00");
  const std::size_t contents_closed = contents.rfind('>') + 1;
  for (std::size_t length = 0; length <= contents.size(); ++length) {
    const std::vector<std::uint8_t> prefix(contents.begin(), contents.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(parse_acquired_time_text(prefix), length < contents_closed ? std::nullopt : whole_time) << length;
  }
}

TEST(ParseDevicesXml, DeepNestingNeedsNoRecursion) {
  constexpr int depth = 200000;
  std::string document;
  for (int i = 0; i < depth; ++i) document += "<g>";
  document += "<Device><Name>Q-TOF</Name><ModelNumber>G6530B</ModelNumber></Device>";
  for (int i = 0; i < depth; ++i) document += "</g>";
  EXPECT_EQ(device_from(document), QTOF);
}

class MetadataFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vornak-metadata-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string write(const char* name, const std::string& content) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  std::filesystem::path folder_;
};

TEST_F(MetadataFiles, ReadsFilesAndTreatsMissingOnesAsAbsent) {
  EXPECT_EQ(parse_devices_xml(write("Devices.xml", devices_with("Q-TOF", "G6530B"))), QTOF);
  EXPECT_EQ(parse_acquired_time(write("Contents.xml", CONTENTS)), "T");
  const std::string missing = (folder_ / "missing.xml").string();
  EXPECT_EQ(parse_devices_xml(missing), std::nullopt);
  EXPECT_EQ(parse_acquired_time(missing), std::nullopt);
  EXPECT_EQ(parse_devices_xml(folder_.string()), std::nullopt);  // a folder, not a file
  EXPECT_EQ(parse_acquired_time(write("empty.xml", "")), std::nullopt);
}

const std::filesystem::path REALDATA = VORNAK_REALDATA_DIR;

TEST(RealData, DevicesAndAcquisitionTimes) {
  if (!std::filesystem::is_directory(REALDATA)) {
    GTEST_SKIP() << "real acquisitions not found at " << REALDATA << "; skipping";
  }
  const std::pair<const char*, const char*> folders[] = {
      {"MJA5_1000_090919_001.d", "2019-09-09T13:14:36.9085672+01:00"},
      {"Propellant_Std_1ug_1_200124-0002.d", "2020-01-24T12:07:52.9670728+00:00"},
      {"example1.d", "2020-03-03T09:59:05.5720965+00:00"},
  };
  for (const auto& [folder, time] : folders) {
    const std::filesystem::path acqdata = REALDATA / folder / "AcqData";
    EXPECT_EQ(parse_devices_xml((acqdata / "Devices.xml").string()), (DeviceInfo{"QTOF", "G6550A"})) << folder;
    EXPECT_EQ(parse_acquired_time((acqdata / "Contents.xml").string()), time) << folder;
  }
  const std::filesystem::path magenta = REALDATA / "magenta.D" / "AcqData";
  EXPECT_EQ(parse_devices_xml((magenta / "Devices.xml").string()), std::nullopt);
  EXPECT_EQ(parse_acquired_time((magenta / "Contents.xml").string()), std::nullopt);
}

}  // namespace
}  // namespace vornak
