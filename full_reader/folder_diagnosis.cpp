// Telling wrong places apart: by name where a name decides, by content where a name could lie
// (a .dx file is a ZIP container or a JCAMP-DX text).
#include "full_reader/folder_diagnosis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "reader_lib/folder_names.hpp"
#include "reader_lib/paths.hpp"
#include "reader_lib/raw/bytes.hpp"
#include "reader_lib/raw/file_read.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::size_t NAMED_ACQUISITIONS = 3;  // a message names this many and counts the rest

// ZIP structures (little-endian): the end record lies in the last 22 + 65535 bytes.
constexpr std::uint32_t ZIP_LOCAL_SIGNATURE = 0x04034b50;
constexpr std::uint32_t ZIP_END_SIGNATURE = 0x06054b50;
constexpr std::uint32_t ZIP_ENTRY_SIGNATURE = 0x02014b50;
constexpr std::size_t ZIP_END_SIZE = 22;
constexpr std::size_t ZIP_END_SEARCH = ZIP_END_SIZE + 0xFFFF;
constexpr std::size_t ZIP_ENTRY_SIZE = 46;
constexpr std::uint64_t ZIP_DIRECTORY_CAP = std::uint64_t{16} << 20;  // more is no injection container

std::string shown(const std::string& path) { return utf8_lossy(path.empty() ? "." : path); }

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && equal_ignoring_ascii_case(text.substr(text.size() - suffix.size()), suffix);
}

std::optional<struct stat> status_of(const std::string& path) {
  struct stat status {};
  if (path.find('\0') != std::string::npos || ::stat(path.empty() ? "." : path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return status;
}

bool is_folder(const std::string& path) {
  const auto status = status_of(path);
  return status && S_ISDIR(status->st_mode);
}

// The folder that holds `path`, as text: "a/b" for "a/b/c/", "." for "c", "/" for "/c".
std::string parent_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path == "." || path.empty() ? ".." : ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::vector<std::string> entries_of(const std::string& path) {
  auto entries = list_folder(path);
  if (!entries) return {};
  std::ranges::sort(*entries);
  return std::move(*entries);
}

bool holds(const std::vector<std::string>& entries, std::string_view name) {
  return std::ranges::any_of(entries, [&](const std::string& entry) { return equal_ignoring_ascii_case(entry, name); });
}

// An AcqData folder: named so, or holding a scan index.
bool is_acqdata_folder(const std::string& path) {
  const auto name = final_component(path);
  if (name && equal_ignoring_ascii_case(*name, "AcqData")) return true;
  return holds(entries_of(path), "MSScan.bin");
}

bool is_acquisition_folder(const std::string& path) { return holds(entries_of(path), "AcqData"); }

// Whether the ZIP file at `path` lists an entry named injection.acmd (in any folder of it);
// absent when the file is no ZIP file at all.
std::optional<bool> zip_holds_injection(const std::string& path, std::uint64_t size) {
  const auto head = read_bytes(path, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 4)));
  if (!head || head->size() < 4 || load_le<std::uint32_t>(head->data()) != ZIP_LOCAL_SIGNATURE) return std::nullopt;
  if (size < ZIP_END_SIZE) return false;
  const std::uint64_t tail_size = std::min<std::uint64_t>(size, ZIP_END_SEARCH);
  const auto tail = read_bytes(path, size - tail_size, static_cast<std::size_t>(tail_size));
  if (!tail) return false;
  const ByteView bytes = tail->view();
  // The end record is the last one whose signature fits with its fixed part before the end.
  std::optional<std::size_t> end;
  for (std::size_t at = bytes.size() - ZIP_END_SIZE + 1; at-- > 0;) {
    if (load_le<std::uint32_t>(bytes.data() + at) == ZIP_END_SIGNATURE) {
      end = at;
      break;
    }
  }
  if (!end) return false;
  const std::uint64_t directory_size = field_at<std::uint32_t>(bytes, *end + 12);
  const std::uint64_t directory_offset = field_at<std::uint32_t>(bytes, *end + 16);
  if (directory_size > ZIP_DIRECTORY_CAP || directory_offset > size || directory_size > size - directory_offset) {
    return false;
  }
  const auto directory = read_bytes(path, directory_offset, static_cast<std::size_t>(directory_size));
  if (!directory) return false;
  const ByteView entries = directory->view();
  // for each entry: fixed part, then its name, extra field and comment
  std::size_t at = 0;
  while (ZIP_ENTRY_SIZE <= entries.size() - at) {
    if (field_at<std::uint32_t>(entries, at) != ZIP_ENTRY_SIGNATURE) break;
    const std::size_t name_length = field_at<std::uint16_t>(entries, at + 28);
    const std::size_t rest = name_length + field_at<std::uint16_t>(entries, at + 30) +
                             field_at<std::uint16_t>(entries, at + 32);
    if (rest > entries.size() - at - ZIP_ENTRY_SIZE) break;
    std::string_view name(reinterpret_cast<const char*>(entries.data() + at + ZIP_ENTRY_SIZE), name_length);
    if (const std::size_t slash = name.find_last_of("/\\"); slash != std::string_view::npos) {
      name.remove_prefix(slash + 1);
    }
    if (equal_ignoring_ascii_case(name, "injection.acmd")) return true;
    at += ZIP_ENTRY_SIZE + rest;
  }
  return false;
}

// A JCAMP-DX text starts, after white space, with a "##" labelled record.
bool is_jcamp_text(const std::string& path, std::uint64_t size) {
  const auto head = read_bytes(path, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 256)));
  if (!head) return false;
  std::string_view text(reinterpret_cast<const char*>(head->data()), head->size());
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  return start != std::string_view::npos && text.substr(start).starts_with("##");
}

std::optional<std::string> diagnose_file(const std::string& path, std::uint64_t size) {
  const std::string name = shown(path);
  if (const auto injection = zip_holds_injection(path, size)) {
    if (*injection) {
      return name + " is an OpenLab CDS injection container (a ZIP file holding injection.acmd): "
                    "not read by this version";
    }
    return name + " is a ZIP archive, not an acquisition folder: unpack it and give the .d folder inside";
  }
  if (is_jcamp_text(path, size)) {
    return name + " is a JCAMP-DX text file, not an acquisition folder: not read by this version";
  }
  const std::string parent = parent_of(path);
  if (is_acqdata_folder(parent)) {
    const std::string acquisition = parent_of(parent);
    return name + " is a file inside the AcqData folder of an acquisition: give the acquisition folder, " +
           shown(acquisition);
  }
  if (is_acquisition_folder(parent)) {
    return name + " is a file inside an acquisition: give the acquisition folder, " + shown(parent);
  }
  const auto final_name = final_component(path);
  if (final_name && ends_with_ignoring_case(*final_name, ".ms")) {
    return name + " is a ChemStation MS data file: not read by this version";
  }
  return name + " is a file, not an acquisition folder (a .d folder holding AcqData)";
}

// The shell pattern that picks `names` out of their folder: "*.d", "*.D", "*.[dD]" or "*".
std::string pattern_for(const std::vector<std::string>& names) {
  bool lower = false;
  bool upper = false;
  for (const std::string& name : names) {
    if (name.ends_with(".d")) {
      lower = true;
    } else if (name.ends_with(".D")) {
      upper = true;
    } else {
      return "*";
    }
  }
  if (lower && upper) return "*.[dD]";
  return upper ? "*.D" : "*.d";
}

std::optional<std::string> diagnose_directory(const std::string& path) {
  const std::string name = shown(path);
  if (is_acqdata_folder(path)) {
    return name + " is the AcqData folder of an acquisition: give the folder that holds it, " +
           shown(parent_of(path));
  }
  const auto final_name = final_component(path);
  if (final_name && (ends_with_ignoring_case(*final_name, ".rslt") || ends_with_ignoring_case(*final_name, ".sirslt"))) {
    return name + " is an OpenLab CDS result folder (" + std::string(final_name->substr(final_name->rfind('.'))) +
           "): not read by this version";
  }

  const std::vector<std::string> entries = entries_of(path);
  std::vector<std::string> acquisitions;
  std::optional<std::string> ms_file;
  for (const std::string& entry : entries) {
    const std::string entry_path = join_path(path, entry);
    if (is_folder(entry_path)) {
      if (is_acquisition_folder(entry_path)) acquisitions.push_back(entry);
    } else if (!ms_file && ends_with_ignoring_case(entry, ".ms")) {
      ms_file = entry;
    }
  }
  if (ms_file) {
    return name + " holds ChemStation MS data files (" + utf8_lossy(*ms_file) +
           ") and no AcqData folder: this format is not read by this version";
  }
  if (acquisitions.size() == 1) {
    return name + " is not an acquisition but holds one: give " + shown(join_path(path, acquisitions.front()));
  }
  if (acquisitions.size() > 1) {
    std::string named;
    for (std::size_t i = 0; i < std::min(acquisitions.size(), NAMED_ACQUISITIONS); ++i) {
      named += (i == 0 ? "" : ", ") + utf8_lossy(acquisitions[i]);
    }
    if (acquisitions.size() > NAMED_ACQUISITIONS) {
      named += " and " + std::to_string(acquisitions.size() - NAMED_ACQUISITIONS) + " more";
    }
    return name + " is not an acquisition but holds " + std::to_string(acquisitions.size()) + " of them (" + named +
           "): give one, or convert them all with `vornak convert " + join_path(name, pattern_for(acquisitions)) +
           " --output-dir OUT`";
  }
  return std::nullopt;
}

}  // namespace

Error diagnose_folder(const std::string& path, const Error& error) {
  const auto status = status_of(path);
  if (!status) return error;
  // Only regular files are read: a pipe or a device could block or never end.
  std::optional<std::string> message;
  if (S_ISDIR(status->st_mode)) {
    message = diagnose_directory(path);
  } else if (S_ISREG(status->st_mode)) {
    message = diagnose_file(path, static_cast<std::uint64_t>(status->st_size));
  }
  if (!message) return error;
  return Error::folder(*message);
}

}  // namespace vornak
