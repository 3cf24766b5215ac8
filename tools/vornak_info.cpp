// vornak-info: a summary of one acquisition folder, as text or JSON, optionally with one
// JSON line per spectrum.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "reader_lib/reader.hpp"

namespace {

using nlohmann::ordered_json;

// Paths need not be UTF-8; JSON text must be, so ill-formed bytes are replaced when dumped.
std::string dump(const ordered_json& value) {
  return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

constexpr std::string_view USAGE = "usage: vornak-info [--json] [--scans] [--points] PATH\n";

struct Options {
  bool json = false;
  bool scans = false;
  bool points = false;
  std::optional<std::string> path;
};

std::optional<Options> parse_arguments(int argc, char** argv) {
  Options options;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!options_ended && argument == "--") {
      options_ended = true;
    } else if (!options_ended && argument == "--json") {
      options.json = true;
    } else if (!options_ended && argument == "--scans") {
      options.scans = true;
    } else if (!options_ended && argument == "--points") {
      options.scans = true;
      options.points = true;
    } else if (!options_ended && argument.starts_with("--")) {
      return std::nullopt;
    } else if (options.path) {
      return std::nullopt;
    } else {
      options.path = std::string(argument);
    }
  }
  if (!options.path) return std::nullopt;
  return options;
}

ordered_json optional_number(const std::optional<double>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

ordered_json optional_text(const std::optional<std::string>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

ordered_json describe(const elmbrace::SpectrumRecord& record, bool with_points) {
  ordered_json precursor = nullptr;
  if (record.precursor) {
    precursor = {{"precursor_mz", optional_number(record.precursor->precursor_mz)},
                 {"collision_energy", optional_number(record.precursor->collision_energy)},
                 {"ref_id", optional_text(record.precursor->ref_id)}};
  }
  ordered_json line{
      {"index", record.index},
      {"native_id", record.native_id},
      {"scan_id", record.scan_id},
      {"ms_level", record.ms_level},
      {"retention_time_sec", record.retention_time_sec},
      {"points", record.mz.size()},
      {"from_profile", record.from_profile},
      {"instrument_class", record.instrument_class},
      {"mz_range_low", optional_number(record.mz_range_low)},
      {"mz_range_high", optional_number(record.mz_range_high)},
      {"precursor", precursor},
  };
  if (with_points) {
    line["mz"] = record.mz;
    line["intensity"] = record.intensity;
  }
  return line;
}

// Counts and ranges over the scan index, plus the points of every decoded spectrum. The one
// pass that decodes the spectra also renders them into `lines` when that is given.
ordered_json summarize(const vornak::Reader& reader, std::vector<std::string>* lines, bool with_points) {
  const vornak::MSScan& index = reader.scan_index();
  std::map<std::uint32_t, std::uint64_t> levels;
  std::optional<double> first_time;
  std::optional<double> last_time;
  std::uint64_t profile_blocks = 0;
  std::uint64_t peak_blocks = 0;
  for (const vornak::ScanRecord& scan : index.records) {
    ++levels[scan.ms_level];
    const double seconds = scan.retention_time_min * 60.0;
    if (!std::isnan(seconds)) {
      if (!first_time || seconds < *first_time) first_time = seconds;
      if (!last_time || seconds > *last_time) last_time = seconds;
    }
    if (scan.profile_block) ++profile_blocks;
    if (scan.peak_block) ++peak_blocks;
  }
  std::uint64_t points_total = 0;
  const auto spectra = reader.iter_spectra();
  while (const auto record = spectra->next()) {
    points_total += record->mz.size();
    if (lines != nullptr) lines->push_back(dump(describe(*record, with_points)));
  }

  ordered_json levels_json = ordered_json::object();
  for (const auto& [level, count] : levels) levels_json[std::to_string(level)] = count;
  return ordered_json{
      {"path", reader.folder_path()},
      {"acquisition_name", reader.acquisition_name()},
      {"instrument",
       {{"model_name", reader.instrument().model_name}, {"accession", std::string(reader.instrument().accession)}}},
      {"acquired_time", optional_text(reader.acquired_time())},
      {"record_stride", index.record_stride},
      {"data_offset", index.data_offset},
      {"scan_count", index.records.size()},
      {"ms_levels", levels_json},
      {"retention_time_sec", {{"min", optional_number(first_time)}, {"max", optional_number(last_time)}}},
      {"profile_blocks", profile_blocks},
      {"peak_blocks", peak_blocks},
      {"points_total", points_total},
  };
}

void print_text(const ordered_json& summary) {
  const auto text = [](const ordered_json& value) {
    return value.is_string() ? value.get<std::string>() : dump(value);
  };
  std::string levels;
  for (const auto& [level, count] : summary["ms_levels"].items()) {
    levels += (levels.empty() ? "" : ", ") + ("MS" + level) + ": " + dump(count);
  }
  const auto& instrument = summary["instrument"];
  const auto& times = summary["retention_time_sec"];
  std::cout << "path              " << text(summary["path"]) << '\n'
            << "acquisition name  " << text(summary["acquisition_name"]) << '\n'
            << "instrument        " << text(instrument["model_name"]) << " (" << text(instrument["accession"]) << ")\n"
            << "acquired time     " << (summary["acquired_time"].is_null() ? "unknown" : text(summary["acquired_time"]))
            << '\n'
            << "record stride     " << summary["record_stride"] << " bytes\n"
            << "data offset       " << summary["data_offset"] << '\n'
            << "scans             " << summary["scan_count"] << " (" << levels << ")\n"
            << "retention time    " << text(times["min"]) << " s to " << text(times["max"]) << " s\n"
            << "profile blocks    " << summary["profile_blocks"] << '\n'
            << "peak blocks       " << summary["peak_blocks"] << '\n'
            << "points            " << summary["points_total"] << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_arguments(argc, argv);
  if (!options) {
    std::cerr << USAGE;
    return 2;
  }
  const auto reader = vornak::Reader::open(*options->path);
  if (!reader) {
    std::cerr << reader.error().display() << '\n';
    return 1;
  }
  std::vector<std::string> lines;
  const ordered_json summary = summarize(*reader, options->scans ? &lines : nullptr, options->points);
  if (options->json) {
    std::cout << dump(summary) << '\n';
  } else {
    print_text(summary);
  }
  for (const std::string& line : lines) std::cout << line << '\n';
  return std::cout.flush() ? 0 : 1;
}
