// The PSI-MS instrument-model term of an acquisition's instrument.
#pragma once

#include <optional>
#include <string_view>

#include "mzml_export/cv_table.hpp"

namespace vornak {

// The instrument-model term for an instrument the reader identified as `accession`, whose first
// device has the model number `model_number` (Devices.xml), when known:
//   1. the identified accession, when it is a term of the instrument-model table;
//   2. else the model term whose name begins with the model number as a word, ASCII case
//      ignored: tried as written ("G3250AA"), then without a leading "G" before a digit
//      ("G6546A" -> "6546A"), then also without trailing letters ("6546");
//   3. else the generic MS:1000490.
[[nodiscard]] cv::Term instrument_model_term(std::string_view accession,
                                             std::optional<std::string_view> model_number) noexcept;

}  // namespace vornak
