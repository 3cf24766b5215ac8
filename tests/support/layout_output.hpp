// What the writers of instrument layouts share: schema field types, little-endian output, files
// whose length is counted as they are written, and documents with the instruments' line ends.
//
// Test support: a failed write or a value that does not fit throws with a message.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vornak::synthetic::output {

using Bytes = std::vector<std::uint8_t>;

// ---- record fields, as a schema lists them -------------------------------------------------

enum class FieldType { int8, int16, int32, int64, float32, float64 };

struct FieldSpec {
  std::string_view name;
  FieldType type;
  bool optional;  // minOccurs="0" in the schema; still present in every record
};

inline std::size_t field_size(FieldType type) {
  switch (type) {
    case FieldType::int8: return 1;
    case FieldType::int16: return 2;
    case FieldType::int32: return 4;
    case FieldType::int64: return 8;
    case FieldType::float32: return 4;
    case FieldType::float64: return 8;
  }
  throw std::logic_error("layout output: unknown field type");
}

inline std::string_view schema_type(FieldType type) {
  switch (type) {
    case FieldType::int8: return "xs:byte";
    case FieldType::int16: return "xs:short";
    case FieldType::int32: return "xs:int";
    case FieldType::int64: return "xs:long";
    case FieldType::float32: return "xs:float";
    case FieldType::float64: return "xs:double";
  }
  throw std::logic_error("layout output: unknown field type");
}

// ---- little-endian output -----------------------------------------------------------------

template <typename T>
void append_le(Bytes& out, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  const auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

template <typename T>
void put_le(std::span<std::uint8_t> out, std::size_t at, T value) {
  if (at > out.size() || sizeof(T) > out.size() - at) throw std::logic_error("layout output: field outside its buffer");
  std::memcpy(out.data() + at, &value, sizeof(T));
}

inline std::uint32_t checked_u32(std::uint64_t value, const std::string& what) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("layout output: " + what + " (" + std::to_string(value) + ") does not fit in 32 bits");
  }
  return static_cast<std::uint32_t>(value);
}

// An output file whose length is counted as it is written, so offsets are never searched for.
class CountedFile {
 public:
  explicit CountedFile(std::filesystem::path path) : path_(std::move(path)) {
    out_.open(path_, std::ios::binary | std::ios::trunc);
    if (!out_) throw std::runtime_error("layout output: cannot create " + path_.string());
  }

  std::uint64_t append(std::span<const std::uint8_t> bytes) {
    const std::uint64_t at = size_;
    out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out_) throw std::runtime_error("layout output: cannot write " + path_.string());
    size_ += bytes.size();
    return at;
  }

  [[nodiscard]] std::uint64_t size() const { return size_; }

  void close() {
    out_.close();
    if (!out_) throw std::runtime_error("layout output: cannot write " + path_.string());
  }

 private:
  std::filesystem::path path_;
  std::ofstream out_;
  std::uint64_t size_ = 0;
};

inline void write_whole_file(const std::filesystem::path& path, std::string_view text) {
  CountedFile file(path);
  file.append({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  file.close();
}

// Block files and MSMassCal.bin start with a tag word and zeros.
inline Bytes tagged_header(std::uint32_t tag, std::size_t length) {
  Bytes header(length, 0);
  put_le(std::span<std::uint8_t>(header), 0, tag);
  return header;
}

// ---- documents ----------------------------------------------------------------------------

inline constexpr std::string_view BOM = "\xEF\xBB\xBF";

// The shortest of 15, 16 or 17 significant digits that reads back as the same double.
inline std::string decimal(double value) {
  char text[40];
  for (const int digits : {15, 16, 17}) {
    std::snprintf(text, sizeof text, "%.*G", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// Joins lines with CRLF, as the instruments' documents have them.
inline std::string crlf(std::initializer_list<std::string_view> lines, bool final_newline = true) {
  std::string text;
  for (const std::string_view line : lines) {
    text += line;
    text += "\r\n";
  }
  if (!final_newline && !text.empty()) text.resize(text.size() - 2);
  return text;
}

}  // namespace vornak::synthetic::output
