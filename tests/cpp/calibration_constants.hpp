// Calibration constants of a real Q-TOF folder, for the tests of the calibration and of the
// decoders that apply it.
#pragma once

#include <array>
#include <cstdint>

#include "reader_lib/raw/mass_calibration.hpp"

namespace vornak::testing {

// a, t0, the clamp range [L, H] and six coefficients as one of the real folders stores them,
// with the given powers (the first `terms` of them are used).
inline CalibrationConstants real_calibration(std::array<std::uint8_t, 6> powers = {0, 1, 2, 4, 10, 11},
                                             std::uint8_t terms = 6) {
  CalibrationConstants constants;
  constants.a = 0.000572828777461133;
  constants.t0 = 1017.4063219081;
  constants.low = 19573.4992527375;
  constants.high = 93949.2315149798;
  constants.coefficients = {0.0194084226842458, -1.59817794359326e-06, 3.21261224707076e-11,
                            -3.5241336728705e-21, 2.07715767354812e-50, -1.99149674726875e-55};
  constants.powers = powers;
  constants.term_count = terms;
  return constants;
}

}  // namespace vornak::testing
