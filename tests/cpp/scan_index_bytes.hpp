// Byte-level builders of scan index files for the reader's tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vornak::testing {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
inline void put(Bytes& bytes, std::size_t offset, T value) {
  if (bytes.size() < offset + sizeof value) bytes.resize(offset + sizeof value);
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

inline Bytes header(std::uint32_t data_offset, std::uint32_t magic = 257) {
  Bytes bytes(std::max<std::size_t>(data_offset, 92), 0xAB);
  put(bytes, 0, magic);
  put(bytes, 88, data_offset);
  bytes.resize(data_offset);  // a data offset below 92 lets records overlap the header
  return bytes;
}

struct RecordFields {
  std::uint32_t scan_id = 1;
  std::uint16_t ms_level = 1;
  double minutes = 0.5;
};

// Appends one record of `stride` bytes with the common fields set and the rest zero.
inline Bytes& add_record(Bytes& bytes, std::uint32_t stride, RecordFields fields) {
  const std::size_t start = bytes.size();
  bytes.resize(start + stride, 0);
  put(bytes, start + 0, fields.scan_id);
  put(bytes, start + 12, fields.minutes);
  put(bytes, start + 20, fields.ms_level);
  return bytes;
}

inline Bytes index_of(std::uint32_t stride, std::size_t count, std::uint32_t data_offset = 228) {
  Bytes bytes = header(data_offset);
  for (std::size_t i = 0; i < count; ++i) {
    add_record(bytes, stride, {static_cast<std::uint32_t>(100 + i), 1, 0.01 * static_cast<double>(i)});
  }
  return bytes;
}

}  // namespace vornak::testing
