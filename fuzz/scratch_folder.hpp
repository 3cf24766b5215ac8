// A private temporary acquisition folder for the whole-acquisition targets: made once per
// process, removed at exit, its AcqData files rewritten for every input.
#pragma once

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/fuzz_support.hpp"

namespace vornak::fuzz {

namespace scratch {

inline std::filesystem::path make_folder() {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / "vornak-fuzz-XXXXXX").string();
  FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
  std::filesystem::create_directory(std::filesystem::path(pattern) / "AcqData", error);
  FUZZ_CHECK(!error);
  return pattern;
}

inline void remove_folder();

}  // namespace scratch

inline const std::filesystem::path& acquisition_folder() {
  static const std::filesystem::path folder = scratch::make_folder();
  // Registered after the path is made, so it runs before the path is destroyed at exit.
  static const bool removed_at_exit = std::atexit(scratch::remove_folder) == 0;
  static_cast<void>(removed_at_exit);
  return folder;
}

inline void scratch::remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(acquisition_folder(), ignored);
}

// A new file each time: ext4 flushes a file that was truncated and rewritten when it is closed,
// which would slow every run down to the speed of the disk.
inline void write_file(const std::filesystem::path& path, ByteView bytes) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

// Writes each present file into AcqData and removes each absent one.
template <std::size_t N>
void write_acquisition_files(const std::array<std::string_view, N>& names,
                             const std::array<std::optional<ByteView>, N>& files) {
  const std::filesystem::path acq_data = acquisition_folder() / "AcqData";
  for (std::size_t i = 0; i < N; ++i) {
    const std::filesystem::path path = acq_data / names[i];
    if (files[i]) {
      write_file(path, *files[i]);
    } else {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  }
}

}  // namespace vornak::fuzz
