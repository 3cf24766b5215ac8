// Error display, exact byte-range reads and the UTF-8 helpers behind path display.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/text.hpp"
#include "temp_dir.hpp"

namespace vornak {
namespace {

using testing::TempDir;

std::string as_text(const ByteBuffer& buffer) {
  return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

TEST(ErrorDisplay, KindsAndTexts) {
  EXPECT_EQ(Error::parse("AcqData directory not found").display(), "parse error: AcqData directory not found");
  EXPECT_EQ(Error::unexpected_eof().display(), "I/O error: failed to fill whole buffer");
  EXPECT_EQ(Error::unexpected_eof().kind(), Error::Kind::Io);
  const Error missing = Error::io(ENOENT);
  EXPECT_EQ(missing.kind(), Error::Kind::Io);
  EXPECT_EQ(missing.os_error(), ENOENT);
  EXPECT_EQ(missing.display(), std::string("I/O error: ") + std::strerror(ENOENT) + " (os error 2)");
}

// Reads from a 1120-byte file holding the bytes 0, 1, 2, ... (mod 256).
class ReadBytesRange : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string contents(1120, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i % 256);
    path_ = dir_.write("block.bin", contents);
  }
  std::string range_message(std::size_t length, std::uint64_t offset, std::uint64_t remaining) const {
    return "read_bytes: requested " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
           " but " + path_ + " has only " + std::to_string(remaining) + " bytes remaining";
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(ReadBytesRange, BoundaryTable) {
  struct Case {
    std::uint64_t offset;
    std::size_t length;
    std::optional<std::uint64_t> remaining_in_error;  // absent: the read succeeds
  };
  const Case cases[] = {
      {0, 1120, std::nullopt},     // the whole file
      {1000, 120, std::nullopt},   // ends exactly at the end
      {1000, 121, 120},            // one byte too many
      {1000, 4096, 120},           // far too many
      {1120, 0, std::nullopt},     // empty range at the end
      {5000, 0, std::nullopt},     // empty range past the end
      {1120, 1, 0},                // starts at the end
      {5000, 1, 0},                // starts past the end: remaining is 0, not wrapped
      {~std::uint64_t{0}, 1, 0},   // the largest offset
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " length " + std::to_string(c.length));
    const auto result = read_bytes(path_, c.offset, c.length);
    if (!c.remaining_in_error) {
      ASSERT_TRUE(result.has_value()) << result.error().display();
      ASSERT_EQ(result->size(), c.length);
      for (std::size_t i = 0; i < c.length; ++i) ASSERT_EQ(result->data()[i], (c.offset + i) % 256);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
      EXPECT_EQ(result.error().message(), range_message(c.length, c.offset, *c.remaining_in_error));
    }
  }
}

TEST(ReadBytes, SystemErrors) {
  const TempDir dir;
  const auto missing = read_bytes(dir.str() + "/absent.bin", 0, 1);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().os_error(), ENOENT);
  EXPECT_TRUE(missing.error().display().starts_with("I/O error: "));
  EXPECT_TRUE(missing.error().display().ends_with(" (os error 2)"));

  // A folder opens but cannot be read.
  dir.write("folder/file", "x");
  const auto folder = read_bytes(dir.str() + "/folder", 0, 0);
  if (folder.has_value()) {
    EXPECT_EQ(folder->size(), 0u);
  }
  const auto whole_folder = read_file(dir.str() + "/folder");
  ASSERT_FALSE(whole_folder.has_value());
  EXPECT_EQ(whole_folder.error().os_error(), EISDIR);

  // An embedded NUL must not silently open the shorter name.
  const std::string real = dir.write("data.bin", "abc");
  const auto with_nul = read_bytes(real + std::string("\0suffix", 7), 0, 1);
  ASSERT_FALSE(with_nul.has_value());
  EXPECT_EQ(with_nul.error().kind(), Error::Kind::Io);
}

TEST(ReadBytes, PathShownWithInvalidUtf8Replaced) {
  const TempDir dir;
  const std::string path = dir.write("bad\xFFname.bin", "abc");
  const auto result = read_bytes(path, 0, 4);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "read_bytes: requested 4 bytes at offset 0 but " + dir.str() +
                                          "/bad\xEF\xBF\xBDname.bin has only 3 bytes remaining");
}

TEST(ReadFile, WholeContents) {
  const TempDir dir;
  std::string big(70000, 'q');
  big[69999] = 'z';
  const auto contents = read_file(dir.write("big.bin", big));
  ASSERT_TRUE(contents.has_value());
  EXPECT_EQ(std::string(contents->begin(), contents->end()), big);
  const auto empty = read_file(dir.write("empty.bin", ""));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  const auto ok = read_bytes(dir.str() + "/big.bin", 69998, 2);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(as_text(*ok), "qz");
}

TEST(Utf8, ValidationAndLossyReplacement) {
  struct Case {
    std::string_view input;
    bool valid;
    std::string_view lossy;
  };
  const Case cases[] = {
      {"", true, ""},
      {"plain ascii", true, "plain ascii"},
      {"\xC3\xA9t\xC3\xA9", true, "\xC3\xA9t\xC3\xA9"},
      {"\xF0\x9F\x99\x82", true, "\xF0\x9F\x99\x82"},
      {"a\xFF" "b", false, "a\xEF\xBF\xBD" "b"},
      {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong: each byte replaced
      {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE2\x82", false, "\xEF\xBF\xBD"},                          // truncated: one replacement
      {"\xE2\x82x", false, "\xEF\xBF\xBDx"},
      {"\xF4\x90\x80\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"\xF0\x9F\x99", false, "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input));
    EXPECT_EQ(is_valid_utf8(c.input), c.valid);
    EXPECT_EQ(utf8_lossy(c.input), c.lossy);
  }
}

}  // namespace
}  // namespace vornak
