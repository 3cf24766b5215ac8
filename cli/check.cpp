// vornak check PATH: reads the whole acquisition and reports what is damaged, as text or as one
// JSON object (--json). Exit status: 0 intact (warnings allowed), 4 damaged, 1 the folder could
// not be checked at all.
#include <iostream>
#include <map>

#include "cli/commands.hpp"
#include "cli/json_output.hpp"
#include "cli/progress.hpp"
#include "full_reader/integrity.hpp"

namespace vornak::cli {
namespace {

// Text output lists this many findings of each kind; --json lists them all.
constexpr std::size_t LINES_PER_KIND = 10;

Json report_json(const std::string& path, const IntegrityReport& report) {
  Json findings = Json::array();
  std::size_t damage = 0;
  for (const Finding& finding : report.findings) {
    if (finding.severity == Severity::Damage) ++damage;
    findings.push_back({{"kind", damage_kind_name(finding.kind)},
                        {"severity", severity_name(finding.severity)},
                        {"scan_index", optional_json(finding.scan_index)},
                        {"scan_id", optional_json(finding.scan_id)},
                        {"message", finding.message}});
  }
  return Json{{"path", path},
              {"status", report.damaged() ? "damaged" : "intact"},
              {"scans", report.scans},
              {"blocks_decoded", report.blocks_decoded},
              {"damage_count", damage},
              {"warning_count", report.findings.size() - damage},
              {"findings", findings}};
}

void print_text(const std::string& path, const IntegrityReport& report) {
  std::size_t damage = 0;
  for (const Finding& finding : report.findings) damage += finding.severity == Severity::Damage ? 1 : 0;
  std::cout << path << ": " << (report.damaged() ? "damaged" : "intact") << " (" << report.scans << " scans, "
            << report.blocks_decoded << " blocks decoded, " << damage << " damage findings, "
            << report.findings.size() - damage << " warnings)\n";
  std::map<DamageKind, std::size_t> shown;
  std::map<DamageKind, std::size_t> hidden;
  for (const Finding& finding : report.findings) {
    if (shown[finding.kind]++ >= LINES_PER_KIND) {
      ++hidden[finding.kind];
      continue;
    }
    std::cout << "  " << severity_name(finding.severity) << "  " << damage_kind_name(finding.kind) << "  "
              << finding.message << '\n';
  }
  for (const auto& [kind, count] : hidden) {
    std::cout << "  ... and " << count << " more " << damage_kind_name(kind) << " findings (--json lists all)\n";
  }
}

}  // namespace

int run_check(const CheckOptions& options) {
  ProgressBar bar("checking", !options.json);
  IntegrityOptions integrity;
  integrity.workers = options.workers;
  integrity.progress = [&bar](std::uint64_t done, std::uint64_t total) { bar.update(done, total); };
  const auto report = check_acquisition(options.path, integrity);
  bar.finish();
  if (!report) {
    std::cerr << "vornak check: " << options.path << ": " << report.error().display() << '\n';
    if (options.json) {
      std::cout << dump(Json{{"path", options.path}, {"status", "error"}, {"error", report.error().display()}})
                << '\n';
    }
    return EXIT_FAILED;
  }
  if (options.json) {
    std::cout << dump(report_json(options.path, *report)) << '\n';
  } else {
    print_text(options.path, *report);
  }
  std::cout.flush();
  if (!std::cout) return EXIT_FAILED;
  return report->damaged() ? EXIT_DAMAGED : EXIT_OK;
}

}  // namespace vornak::cli
