// The input of the whole-acquisition target: the files of one AcqData folder in one byte string,
// so that the fuzzer mutates them together.
//
// For each file of ACQUISITION_FILES, in order: a u32 length (little-endian), then that many
// bytes of content (fewer when the input ends first). A file whose length field the input does
// not reach is absent from the folder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.hpp"

namespace vornak::fuzz {

inline constexpr std::array<std::string_view, 5> ACQUISITION_FILES = {
    "MSScan.bin", "MSPeak.bin", "MSProfile.bin", "Devices.xml", "Contents.xml"};

// The files the full reader looks at, in input order; names are relative to AcqData (the ICP-MS
// transitions lie beside it). Files were added at the end, so older inputs stay valid: the
// files their input does not reach are absent.
inline constexpr std::array<std::string_view, 13> FULL_ACQUISITION_FILES = {
    "MSScan.bin",    "MSScan.xsd",         "MSPeak.bin",   "MSProfile.bin",
    "MSMassCal.bin", "DefaultMassCal.xml", "Devices.xml",  "Contents.xml",
    "MSTS.xml",      "IMSFrame.bin",       "IMSFrame.xsd", "IMSFrameMeth.xml",
    "../MSTS_XAddition.xml"};

template <std::size_t N>
using FileViews = std::array<std::optional<ByteView>, N>;
using AcquisitionFiles = FileViews<ACQUISITION_FILES.size()>;

template <std::size_t N = ACQUISITION_FILES.size()>
inline FileViews<N> split_acquisition(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  FileViews<N> files;
  for (auto& file : files) {
    if (input.remaining() < sizeof(std::uint32_t)) break;
    file = input.take_bytes(input.take<std::uint32_t>());
  }
  return files;
}

// The full reader's input: the same, except that a length of ABSENT_FILE marks a file that
// is absent while later ones are present.
inline constexpr std::uint32_t ABSENT_FILE = 0xFFFFFFFF;

template <std::size_t N>
inline FileViews<N> split_acquisition_with_absent(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  FileViews<N> files;
  for (auto& file : files) {
    if (input.remaining() < sizeof(std::uint32_t)) break;
    const std::uint32_t length = input.take<std::uint32_t>();
    if (length != ABSENT_FILE) file = input.take_bytes(length);
  }
  return files;
}

template <std::size_t N>
inline std::vector<std::uint8_t> join_acquisition(const FileViews<N>& files) {
  std::vector<std::uint8_t> joined;
  for (const auto& file : files) {
    if (!file) break;
    const auto length = static_cast<std::uint32_t>(file->size());
    for (unsigned shift = 0; shift < 32; shift += 8) joined.push_back(static_cast<std::uint8_t>(length >> shift));
    joined.insert(joined.end(), file->begin(), file->end());
  }
  return joined;
}

}  // namespace vornak::fuzz
