// Drawing the progress bar: carriage return, the line, erase to its end.
#include "cli/progress.hpp"

#include <cstdio>
#include <utility>

#include <unistd.h>

namespace vornak::cli {
namespace {

constexpr int BAR_WIDTH = 24;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

std::string clock_text(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

ProgressBar::ProgressBar(std::string label, bool wanted)
    : label_(std::move(label)), active_(wanted && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!active_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && done < total && now - last_draw_ < REDRAW_INTERVAL) return;
  last_draw_ = now;
  drawn_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * BAR_WIDTH);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(BAR_WIDTH - filled), '.');
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  const std::string left = rate > 0 ? clock_text(static_cast<double>(total - done) / rate) + " left" : "";
  std::fprintf(stderr, "\r%s [%s] %llu/%llu spectra  %.0f/s  %s\x1b[K", label_.c_str(), bar.c_str(),
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), rate, left.c_str());
  std::fflush(stderr);
}

void ProgressBar::finish() {
  if (!drawn_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace vornak::cli
