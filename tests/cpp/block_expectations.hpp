// The shared check of the block decoders' boundary tables: N points, or one exact message.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "reader_lib/error.hpp"
#include "reader_lib/raw/block.hpp"

namespace vornak::testing {

// An empty `message` means the block decodes to `points` m/z values and intensities.
inline void expect_points_or_message(const Result<BlockArrays>& result, std::size_t points,
                                     const std::string& message) {
  if (message.empty()) {
    ASSERT_TRUE(result.has_value()) << result.error().display();
    EXPECT_EQ(result->mz.size(), points);
    EXPECT_EQ(result->intensity.size(), points);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
    EXPECT_EQ(result.error().message(), message);
  }
}

}  // namespace vornak::testing
