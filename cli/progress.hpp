// A one-line progress bar on stderr, drawn only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vornak::cli {

class ProgressBar {
 public:
  // Draws nothing unless `wanted` and stderr is a terminal.
  ProgressBar(std::string label, bool wanted);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() { finish(); }

  // Redraws at most ten times a second, and at the last item: the bar, items done of total,
  // the rate and the time left.
  void update(std::uint64_t done, std::uint64_t total);
  // Clears the line, so that what follows starts on a clean one.
  void finish();

 private:
  std::string label_;
  bool active_ = false;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace vornak::cli
