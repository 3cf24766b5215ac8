// The real acquisitions of ../shared/realdata and their reference values, for tests that skip
// with a clear message when that folder is absent.
#pragma once

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vornak::testing {

inline const std::filesystem::path REALDATA_DIR = VORNAK_REALDATA_DIR;
// The second set: triple quadrupoles, ion mobility, ICP-MS without a schema.
inline const std::filesystem::path REALDATA2_DIR = VORNAK_REALDATA2_DIR;

// reference.json: what independent readers agree on for each real folder.
inline nlohmann::json realdata_reference() {
  std::ifstream file(REALDATA_DIR / "reference.json");
  return nlohmann::json::parse(file);
}

inline nlohmann::json read_json(const std::filesystem::path& path) {
  std::ifstream file(path);
  return nlohmann::json::parse(file);
}

}  // namespace vornak::testing

#define SKIP_WITHOUT_REALDATA()                                                                    \
  do {                                                                                             \
    if (!std::filesystem::exists(::vornak::testing::REALDATA_DIR / "reference.json")) {            \
      GTEST_SKIP() << "real acquisitions not found at " << ::vornak::testing::REALDATA_DIR;        \
    }                                                                                              \
  } while (false)

#define SKIP_WITHOUT_REALDATA2()                                                                   \
  do {                                                                                             \
    if (!std::filesystem::exists(::vornak::testing::REALDATA2_DIR / "reference.json")) {           \
      GTEST_SKIP() << "real acquisitions (second set) not found at " << ::vornak::testing::REALDATA2_DIR; \
    }                                                                                              \
  } while (false)
