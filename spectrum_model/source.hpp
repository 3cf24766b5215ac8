// The interface through which a reader hands out its spectra, one record at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "spectrum_model/types.hpp"

namespace elmbrace {

struct SizeHint {
  std::uint64_t lower = 0;
  std::optional<std::uint64_t> upper;
};

// A pass over a source's spectra. It refers to its source, which must outlive it.
class SpectrumIterator {
 public:
  virtual ~SpectrumIterator() = default;

  // The next record, moved to the caller; nothing once the sequence is exhausted, for good.
  virtual std::optional<SpectrumRecord> next() = 0;

  // Lower and optional upper bound of the records still to come.
  [[nodiscard]] virtual SizeHint size_hint() const = 0;

  // Skips up to n records; returns how many of the n steps were left untaken.
  virtual std::uint64_t advance_by(std::uint64_t n) {
    for (std::uint64_t taken = 0; taken < n; ++taken) {
      if (!next()) return n - taken;
    }
    return 0;
  }

  // Skips n records and returns the one after them, or nothing when fewer than n + 1 remain.
  virtual std::optional<SpectrumRecord> nth(std::uint64_t n) {
    if (advance_by(n) != 0) return std::nullopt;
    return next();
  }

 protected:
  SpectrumIterator() = default;
  SpectrumIterator(const SpectrumIterator&) = default;
  SpectrumIterator& operator=(const SpectrumIterator&) = default;
};

class SpectrumSource {
 public:
  virtual ~SpectrumSource() = default;

  // A fresh, independent pass over all spectra of the source.
  [[nodiscard]] virtual std::unique_ptr<SpectrumIterator> iter_spectra() const = 0;

 protected:
  SpectrumSource() = default;
  SpectrumSource(const SpectrumSource&) = default;
  SpectrumSource(SpectrumSource&&) = default;
  SpectrumSource& operator=(const SpectrumSource&) = default;
  SpectrumSource& operator=(SpectrumSource&&) = default;
};

}  // namespace elmbrace
