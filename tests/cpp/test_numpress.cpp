// MS-Numpress and the deflate libraries: known bytes, round trips within the encodings' bounds on
// synthetic and real arrays, malformed input refused, and every library's stream inflated by zlib.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "full_reader/acquisition.hpp"
#include "mzml_export/deflate.hpp"
#include "mzml_export/numpress.hpp"
#include "realdata.hpp"

namespace vornak {
namespace {

using Bytes = std::vector<unsigned char>;

// A retention-time array whose encoding at fixed point 500 is worked out by hand: the fixed
// point's double most significant byte first, 2156500 and 2158200 as little-endian integers, then
// the differences from the straight line 0, 0, 0 and 50 in half-bytes: 8 | 8 | 8 | 6 2 3 (50 has
// six leading zero half-bytes; its digits go least significant first), padded with a zero.
TEST(Numpress, LinearKnownBytes) {
  const std::vector<double> times = {4313.0, 4316.4, 4319.8, 4323.2, 4326.6, 4330.1};
  Bytes out;
  ASSERT_TRUE(numpress::encode_linear(times, 500, out));
  const Bytes expected = {0x40, 0x7f, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0xd4, 0xe7,
                          0x20, 0x00, 0x78, 0xee, 0x20, 0x00, 0x88, 0x86, 0x23};
  EXPECT_EQ(out, expected);
  const auto decoded = numpress::decode_linear(out);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->size(), times.size());
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR((*decoded)[i], times[i], 0.5 / 500);
}

// Half-bytes of every header, through positive integers: 0 is the header alone, a value with k
// significant half-bytes is 8 - k then its digits, least significant first.
TEST(Numpress, PositiveIntegerKnownBytes) {
  const std::vector<double> values = {0, 1, 0x12, 0x7fffffff};
  Bytes out;
  ASSERT_TRUE(numpress::encode_pic(values, out));
  // 8 | 7 1 | 6 2 1 | 0 f f f f f f f 7, and one zero of padding.
  const Bytes expected = {0x87, 0x16, 0x21, 0x0f, 0xff, 0xff, 0xff, 0x70};
  EXPECT_EQ(out, expected);
  EXPECT_EQ(numpress::decode_pic(out).value(), values);

  // Fractions round half away from zero, and just below a half down (0.49999999999999994 would
  // round up through value + 0.5).
  out.clear();
  ASSERT_TRUE(numpress::encode_pic(std::vector<double>{0.5, 1.5, 2.5, 0.49999999999999994, 7.499999999999999}, out));
  EXPECT_EQ(numpress::decode_pic(out).value(), (std::vector<double>{1, 2, 3, 0, 7}));
}

std::vector<double> profile_axis(std::size_t count, double first, double last) {
  // Time-of-flight bins: m/z grows with the square of the bin number.
  std::vector<double> mz(count);
  const double a = std::sqrt(first);
  const double step = count > 1 ? (std::sqrt(last) - a) / static_cast<double>(count - 1) : 0;
  for (std::size_t i = 0; i < count; ++i) mz[i] = std::pow(a + step * static_cast<double>(i), 2);
  return mz;
}

// Linear prediction: every decoded value within 0.5 / fixed point of its original, the fixed
// point large enough for sub-ppb m/z, and the same count back.
TEST(Numpress, LinearRoundTripsWithinItsBound) {
  std::mt19937_64 random(5);
  std::vector<double> centroids(500);
  double at = 50;
  for (double& value : centroids) value = at += std::uniform_real_distribution<double>(0.001, 30)(random);
  struct Case {
    const char* name;
    std::vector<double> values;
  };
  const Case cases[] = {
      {"empty", {}},
      {"one", {445.12}},
      {"two", {445.12, 445.13}},
      {"zeros", std::vector<double>(100, 0.0)},
      {"profile", profile_axis(60000, 50, 1700)},
      {"centroids", centroids},
      {"large", {1e12, 2e12, 4e12}},
      {"tiny", {1e-200, 2e-200, 3e-200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double fixed_point = numpress::linear_fixed_point(c.values);
    ASSERT_GT(fixed_point, 0);
    Bytes out;
    ASSERT_TRUE(numpress::encode_linear(c.values, fixed_point, out));
    const auto decoded = numpress::decode_linear(out);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
    ASSERT_EQ(decoded->size(), c.values.size());
    double largest = 0;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      largest = std::max(largest, std::abs(c.values[i]));
      ASSERT_LE(std::abs((*decoded)[i] - c.values[i]), 0.5 / fixed_point * (1 + 1e-9)) << i;
    }
    if (largest > 0 && largest <= 2000) {
      EXPECT_LE(0.5 / fixed_point, 2e-6) << "a fixed point too small for m/z";
    }
  }
  EXPECT_EQ(numpress::linear_fixed_point(std::vector<double>{1.0, std::nan("")}), 0);
  EXPECT_EQ(numpress::linear_fixed_point(std::vector<double>{2.0, -1.0}), 0);
  EXPECT_EQ(numpress::linear_fixed_point(std::vector<double>{1e-300, 2e-300}), 0);  // no finite fixed point
  Bytes out;
  EXPECT_FALSE(numpress::encode_linear(std::vector<double>{1.0, 2.0}, 0, out));
  EXPECT_FALSE(numpress::encode_linear(std::vector<double>{1.0, 1e10}, 1, out));  // past 32 bits
  EXPECT_TRUE(out.empty());
}

// Counts: whole numbers up to 2^31 - 1 exactly; larger ones and fractions go to short logged
// floats, whose decoded values keep (v + 1) within exp(0.5 / fixed point) - 1.
TEST(Numpress, IntensitiesRoundTripWithinTheirBounds) {
  std::mt19937_64 random(9);
  std::vector<double> counts(60000);
  for (double& value : counts) value = random() % 7 == 0 ? static_cast<double>(random() % 50000) : 0;
  std::vector<double> abundances(3000);
  for (double& value : abundances) value = std::uniform_real_distribution<double>(0, 1e7)(random);
  struct Case {
    const char* name;
    std::vector<double> values;
    bool pic;
  };
  const Case cases[] = {
      {"empty", {}, true},
      {"one zero", {0}, true},
      {"single count", {17}, true},
      {"zeros", std::vector<double>(1000, 0.0), true},
      {"profile counts", counts, true},
      {"largest 32-bit count", {0, 2147483647.0, 1}, true},
      {"huge counts", {0, 2147483648.0, 4294967295.0, 1e15}, false},
      {"abundances", abundances, false},
      {"half", {0.5}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(numpress::fits_pic(c.values), c.pic);
    Bytes out;
    if (c.pic) {
      ASSERT_TRUE(numpress::encode_pic(c.values, out));
      EXPECT_EQ(numpress::decode_pic(out).value(), c.values);
      continue;
    }
    const double fixed_point = numpress::slof_fixed_point(c.values);
    ASSERT_GT(fixed_point, 0);
    ASSERT_TRUE(numpress::encode_slof(c.values, fixed_point, out));
    const auto decoded = numpress::decode_slof(out);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), c.values.size());
    const double bound = std::expm1(0.5 / fixed_point) + 1e-12;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      ASSERT_LE(std::abs(((*decoded)[i] + 1) / (c.values[i] + 1) - 1), bound) << i << ": " << c.values[i];
    }
  }
  EXPECT_EQ(numpress::slof_fixed_point(std::vector<double>{1, -1}), 0);
  EXPECT_EQ(numpress::slof_fixed_point(std::vector<double>{std::numeric_limits<double>::infinity()}), 0);
  Bytes out;
  EXPECT_FALSE(numpress::encode_pic(std::vector<double>{-1}, out));
}

// Real profiles and centroids of every folder at hand, through the encodings the writer picks.
TEST(NumpressRealData, EveryFolderRoundTripsWithinTheBounds) {
  SKIP_WITHOUT_REALDATA();
  std::size_t arrays = 0;
  for (const auto& entry : std::filesystem::directory_iterator(testing::REALDATA_DIR)) {
    if (!entry.is_directory()) continue;
    const auto& folder = entry.path();
    const auto acquisition = Acquisition::open(folder.string());
    if (!acquisition) continue;
    for (std::size_t index = 0; index < acquisition->size(); index += 7) {
      const auto spectrum = acquisition->spectrum(index);
      if (!spectrum) continue;
      SCOPED_TRACE(folder.string() + " scan " + std::to_string(index));
      Bytes out;
      const double fixed_point = numpress::linear_fixed_point(spectrum->mz);
      double top = 1;
      for (const double value : spectrum->mz) top = std::max(top, value);
      ASSERT_TRUE(numpress::encode_linear(spectrum->mz, fixed_point, out));
      const auto mz = numpress::decode_linear(out).value();
      ASSERT_EQ(mz.size(), spectrum->mz.size());
      for (std::size_t i = 0; i < mz.size(); ++i) {
        ASSERT_LE(std::abs(mz[i] - spectrum->mz[i]), 0.5 / fixed_point * (1 + 1e-9));
        ASSERT_LE(std::abs(mz[i] - spectrum->mz[i]), 1e-9 * top);  // 1 ppb of the spectrum's largest m/z
      }
      out.clear();
      if (numpress::fits_pic(spectrum->intensity)) {
        ASSERT_TRUE(numpress::encode_pic(spectrum->intensity, out));
        ASSERT_EQ(numpress::decode_pic(out).value(), spectrum->intensity);
      } else {
        const double slof = numpress::slof_fixed_point(spectrum->intensity);
        ASSERT_TRUE(numpress::encode_slof(spectrum->intensity, slof, out));
        const auto intensity = numpress::decode_slof(out).value();
        for (std::size_t i = 0; i < intensity.size(); ++i) {
          ASSERT_LE(std::abs((intensity[i] + 1) / (spectrum->intensity[i] + 1) - 1), std::expm1(0.5 / slof) + 1e-12);
        }
      }
      ++arrays;
    }
  }
  EXPECT_GT(arrays, 0u);
}

TEST(Numpress, MalformedBytesAreErrors) {
  const Bytes fixed_500 = {0x40, 0x7f, 0x40, 0, 0, 0, 0, 0};
  const auto with = [&](std::initializer_list<unsigned char> tail) {
    Bytes bytes = fixed_500;
    bytes.insert(bytes.end(), tail);
    return bytes;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    char decoder;  // 'l' linear, 'p' positive integers, 's' short logged floats
  };
  const Case cases[] = {
      {"linear: no fixed point", {0x40, 0x7f}, 'l'},
      {"linear: zero fixed point", {0, 0, 0, 0, 0, 0, 0, 0}, 'l'},
      {"linear: first value cut", with({1, 2}), 'l'},
      {"linear: second value cut", with({1, 2, 3, 4, 5}), 'l'},
      {"linear: difference cut", with({1, 0, 0, 0, 2, 0, 0, 0, 0x01}), 'l'},
      {"positive integers: cut after a header", {0x71, 0x00, 0x00}, 'p'},
      {"short logged floats: odd length", with({1, 2, 3}), 's'},
      {"short logged floats: negative fixed point", {0xc0, 0x7f, 0x40, 0, 0, 0, 0, 0, 1, 0}, 's'},
  };
  for (const Case& c : cases) {
    const auto decoded = c.decoder == 'l'   ? numpress::decode_linear(c.bytes)
                         : c.decoder == 'p' ? numpress::decode_pic(c.bytes)
                                            : numpress::decode_slof(c.bytes);
    EXPECT_FALSE(decoded.has_value()) << c.name;
  }
  // The padding half-byte ends an odd count; the empty encodings hold no values.
  EXPECT_EQ(numpress::decode_pic(Bytes{0x80}).value(), std::vector<double>{0});
  EXPECT_TRUE(numpress::decode_pic(Bytes{}).value().empty());
  EXPECT_TRUE(numpress::decode_linear(fixed_500).value().empty());
  EXPECT_TRUE(numpress::decode_slof(fixed_500).value().empty());
}

Bytes inflate_all(const Bytes& stream, std::size_t expected) {
  Bytes out(expected + 1);
  uLongf length = static_cast<uLongf>(out.size());
  const int status = uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size()));
  if (status != Z_OK) throw std::runtime_error("zlib could not inflate: status " + std::to_string(status));
  out.resize(length);
  return out;
}

// Every library at every level writes zlib streams that zlib inflates back to the input: empty,
// compressible and incompressible input, the last larger than a first guess at the output.
TEST(Deflate, EveryLibraryWritesZlibStreams) {
  std::mt19937_64 random(3);
  Bytes noise(300000);
  for (unsigned char& byte : noise) byte = static_cast<unsigned char>(random());
  std::vector<double> axis = profile_axis(20000, 100, 1000);
  const auto* axis_bytes = reinterpret_cast<const unsigned char*>(axis.data());
  const Bytes inputs[] = {{}, Bytes(axis_bytes, axis_bytes + axis.size() * sizeof(double)), noise};
  const std::pair<DeflateLibrary, std::vector<int>> levels[] = {
      {DeflateLibrary::Isal, {0, 1, 2, 3}},
      {DeflateLibrary::Libdeflate, {0, 1, 6, 12}},
      {DeflateLibrary::Zlib, {0, 1, 6, 9}},
  };
  for (const auto& [library, list] : levels) {
    for (const int level : list) {
      ZlibDeflater deflater(library, level);
      for (const Bytes& input : inputs) {
        SCOPED_TRACE(std::string(library_name(library)) + " " + std::to_string(level) + ", " +
                     std::to_string(input.size()) + " bytes");
        Bytes stream = {1, 2, 3};  // replaced, not appended to
        ASSERT_TRUE(deflater.compress(input, stream).has_value());
        EXPECT_EQ(inflate_all(stream, input.size()), input);
      }
    }
  }
  ZlibDeflater wrong(DeflateLibrary::Isal, 4);
  Bytes stream;
  EXPECT_FALSE(wrong.compress(inputs[1], stream).has_value());
}

}  // namespace
}  // namespace vornak
