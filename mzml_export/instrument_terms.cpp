// Choosing an instrument-model term from the generated table.
#include "mzml_export/instrument_terms.hpp"

#include <cstddef>

namespace vornak {
namespace {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True when `name` begins with `word` followed by a space or the end.
bool starts_with_word(std::string_view name, std::string_view word) {
  if (word.empty() || word.size() > name.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (ascii_lower(name[i]) != ascii_lower(word[i])) return false;
  }
  return name.size() == word.size() || name[word.size()] == ' ';
}

const cv::Term* model_named(std::string_view word) {
  for (const cv::Term& term : cv::INSTRUMENT_MODELS) {
    if (starts_with_word(term.name, word)) return &term;
  }
  return nullptr;
}

}  // namespace

cv::Term instrument_model_term(std::string_view accession, std::optional<std::string_view> model_number) noexcept {
  for (const cv::Term& term : cv::INSTRUMENT_MODELS) {
    if (term.accession == accession) return term;
  }
  if (model_number) {
    std::string_view candidate = *model_number;
    if (const cv::Term* term = model_named(candidate)) return *term;
    if (candidate.size() > 1 && ascii_lower(candidate.front()) == 'g' && is_digit(candidate[1])) {
      candidate.remove_prefix(1);
      if (const cv::Term* term = model_named(candidate)) return *term;
    }
    while (!candidate.empty() && !is_digit(candidate.back())) candidate.remove_suffix(1);
    if (candidate.size() < model_number->size()) {
      if (const cv::Term* term = model_named(candidate)) return *term;
    }
  }
  return cv::INSTRUMENT_MODEL_GENERIC;
}

}  // namespace vornak
