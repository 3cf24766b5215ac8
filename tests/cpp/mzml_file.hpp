// Reading back an mzML file the writer produced: the document, its spectra with their arrays
// decoded, and independent checks of the offset index, the checksum, the vocabulary and the
// schema. Test support: failures to read throw std::runtime_error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "mzml_export/binary_array.hpp"

namespace vornak::testing {

inline std::filesystem::path standards_dir() {
  return std::filesystem::path(VORNAK_REALDATA_DIR).parent_path() / "standards";
}

inline std::string read_whole_file(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// The standard output of a shell command.
inline std::string command_output(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[4096];
  while (const std::size_t count = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, count);
  ::pclose(pipe);
  return output;
}

inline std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Empty when xmllint accepts the file against the indexed mzML schema; otherwise its complaint.
// Absent when xmllint or the schema is not available.
inline std::optional<std::string> schema_complaint(const std::filesystem::path& file) {
  const auto schema = standards_dir() / "mzML1.1.1_idx.xsd";
  if (!std::filesystem::exists(schema) || std::system("command -v xmllint >/dev/null 2>&1") != 0) {
    return std::nullopt;
  }
  const std::string output = command_output("xmllint --noout --schema " + shell_quoted(schema.string()) + " " +
                                            shell_quoted(file.string()) + " 2>&1");
  return output.find(" validates") != std::string::npos ? std::string() : output;
}

// The names psi-ms.obo gives its terms, and the unit names of its has_units relations.
inline std::map<std::string, std::string> load_vocabulary(const std::filesystem::path& obo) {
  std::ifstream stream(obo);
  if (!stream) throw std::runtime_error("cannot read " + obo.string());
  std::map<std::string, std::string> names;
  std::string line;
  std::string id;
  bool obsolete_term = false;
  std::string name;
  const auto finish_term = [&] {
    if (!id.empty() && !obsolete_term) names[id] = name;
    id.clear();
    name.clear();
    obsolete_term = false;
  };
  while (std::getline(stream, line)) {
    if (line.starts_with("[")) {
      finish_term();
    } else if (line.starts_with("id: ")) {
      id = line.substr(4);
    } else if (line.starts_with("name: ")) {
      name = line.substr(6);
    } else if (line == "is_obsolete: true") {
      obsolete_term = true;
    } else if (line.starts_with("relationship: has_units UO:")) {
      const std::size_t accession = line.find("UO:");
      const std::size_t bang = line.find(" ! ");
      if (bang != std::string::npos) names.emplace(line.substr(accession, 10), line.substr(bang + 3));
    }
  }
  finish_term();
  return names;
}

struct ReadSpectrum {
  std::uint64_t index = 0;
  std::string id;
  std::size_t default_array_length = 0;
  std::map<std::string, std::string> params;  // spectrum-level cvParams: accession -> value
  std::vector<double> mz;
  std::vector<double> intensity;
  bool mz_is_64_bit = true;
  bool intensity_is_64_bit = true;
  std::string mz_compression;  // the accession of each array's compression term
  std::string intensity_compression;
  pugi::xml_node node;

  [[nodiscard]] bool has(const std::string& accession) const { return params.contains(accession); }
};

// The values of one <binaryDataArray>, its width and kind from its cvParams.
struct ReadArray {
  std::string kind;  // the accession of "m/z array", "intensity array", "time array"
  bool is_64_bit = true;
  std::string compression;  // the accession of its compression term
  std::vector<double> values;
};

// How the bytes of an array with this compression term were written.
inline std::optional<std::pair<ArrayCodec, bool>> codec_of(const std::string& accession) {
  static const std::map<std::string, std::pair<ArrayCodec, bool>> codecs = {
      {"MS:1000576", {ArrayCodec::Plain, false}},
      {"MS:1000574", {ArrayCodec::Plain, true}},
      {"MS:1002312", {ArrayCodec::NumpressLinear, false}},
      {"MS:1002313", {ArrayCodec::NumpressPositiveInteger, false}},
      {"MS:1002314", {ArrayCodec::NumpressShortLoggedFloat, false}},
      {"MS:1002746", {ArrayCodec::NumpressLinear, true}},
      {"MS:1002747", {ArrayCodec::NumpressPositiveInteger, true}},
      {"MS:1002748", {ArrayCodec::NumpressShortLoggedFloat, true}},
  };
  const auto found = codecs.find(accession);
  if (found == codecs.end()) return std::nullopt;
  return found->second;
}

inline ReadArray read_array(const pugi::xml_node& array) {
  ReadArray read;
  std::optional<std::pair<ArrayCodec, bool>> codec;
  for (const pugi::xml_node param : array.children("cvParam")) {
    const std::string accession = param.attribute("accession").value();
    if (accession == "MS:1000521") read.is_64_bit = false;
    if (auto found = codec_of(accession)) {
      if (codec) throw std::runtime_error("two compression terms in one array");
      codec = found;
      read.compression = accession;
    }
    if (accession == "MS:1000514" || accession == "MS:1000515" || accession == "MS:1000595") read.kind = accession;
  }
  if (!codec) throw std::runtime_error("an array without a compression term");
  const std::string text = array.child("binary").text().get();
  if (std::to_string(text.size()) != array.attribute("encodedLength").value()) {
    throw std::runtime_error("encodedLength " + std::string(array.attribute("encodedLength").value()) +
                             " for " + std::to_string(text.size()) + " characters");
  }
  const auto bytes = decode_base64_array(text, codec->second);
  if (!bytes) throw std::runtime_error("array does not decode: " + bytes.error().message());
  auto values = decode_array_values(*bytes, codec->first, read.is_64_bit ? FloatWidth::Bits64 : FloatWidth::Bits32);
  if (!values) throw std::runtime_error("array values do not decode: " + values.error().message());
  read.values = std::move(*values);
  return read;
}

class MzmlFile {
 public:
  explicit MzmlFile(const std::filesystem::path& path) : path_(path), bytes_(read_whole_file(path)) {
    const pugi::xml_parse_result parsed = document_.load_buffer(bytes_.data(), bytes_.size());
    if (!parsed) throw std::runtime_error(path.string() + " is not well-formed: " + parsed.description());
  }

  [[nodiscard]] const std::string& bytes() const { return bytes_; }
  [[nodiscard]] const pugi::xml_document& document() const { return document_; }
  [[nodiscard]] pugi::xml_node run() const { return document_.child("indexedmzML").child("mzML").child("run"); }

  [[nodiscard]] std::vector<ReadSpectrum> spectra() const {
    std::vector<ReadSpectrum> spectra;
    for (const pugi::xml_node node : run().child("spectrumList").children("spectrum")) {
      ReadSpectrum spectrum;
      spectrum.node = node;
      spectrum.index = node.attribute("index").as_ullong();
      spectrum.id = node.attribute("id").value();
      spectrum.default_array_length = node.attribute("defaultArrayLength").as_ullong();
      for (const pugi::xml_node param : node.children("cvParam")) {
        spectrum.params[param.attribute("accession").value()] = param.attribute("value").value();
      }
      for (const pugi::xml_node array : node.child("binaryDataArrayList").children("binaryDataArray")) {
        ReadArray read = read_array(array);
        if (read.kind == "MS:1000514") {
          spectrum.mz = std::move(read.values);
          spectrum.mz_is_64_bit = read.is_64_bit;
          spectrum.mz_compression = read.compression;
        } else if (read.kind == "MS:1000515") {
          spectrum.intensity = std::move(read.values);
          spectrum.intensity_is_64_bit = read.is_64_bit;
          spectrum.intensity_compression = read.compression;
        }
      }
      spectra.push_back(std::move(spectrum));
    }
    return spectra;
  }

  // The TIC chromatogram's times and currents.
  [[nodiscard]] std::pair<std::vector<double>, std::vector<double>> chromatogram() const {
    std::pair<std::vector<double>, std::vector<double>> arrays;
    const pugi::xml_node tic = run().child("chromatogramList").find_child_by_attribute("chromatogram", "id", "TIC");
    for (const pugi::xml_node array : tic.child("binaryDataArrayList").children("binaryDataArray")) {
      ReadArray read = read_array(array);
      (read.kind == "MS:1000595" ? arrays.first : arrays.second) = std::move(read.values);
    }
    return arrays;
  }

  // What is wrong with the offset index, indexListOffset and fileChecksum; empty when all is
  // right. The checksum is recomputed by sha1sum over the bytes before the digest.
  [[nodiscard]] std::vector<std::string> index_problems() const {
    std::vector<std::string> problems;
    const pugi::xml_node indexed = document_.child("indexedmzML");
    std::size_t entries = 0;
    for (const pugi::xml_node index : indexed.child("indexList").children("index")) {
      const std::string element = std::string("<") + index.attribute("name").value() + " ";
      for (const pugi::xml_node offset : index.children("offset")) {
        ++entries;
        const std::uint64_t at = offset.text().as_ullong();
        const std::string id = offset.attribute("idRef").value();
        const std::string_view here = std::string_view(bytes_).substr(std::min<std::size_t>(at, bytes_.size()));
        const std::string_view tag = here.substr(0, here.find('>'));
        if (!here.starts_with(element) || tag.find(" id=\"" + id + "\"") == std::string_view::npos) {
          problems.push_back("offset " + std::to_string(at) + " of " + id + " points at '" +
                             std::string(here.substr(0, 40)) + "'");
        }
      }
    }
    const std::size_t elements = run().child("spectrumList").select_nodes("spectrum").size() +
                                 run().child("chromatogramList").select_nodes("chromatogram").size();
    if (entries != elements) {
      problems.push_back(std::to_string(entries) + " index entries for " + std::to_string(elements) + " elements");
    }
    const std::uint64_t list_offset = indexed.child("indexListOffset").text().as_ullong();
    if (!std::string_view(bytes_).substr(std::min<std::size_t>(list_offset, bytes_.size())).starts_with("<indexList ")) {
      problems.push_back("indexListOffset " + std::to_string(list_offset) + " does not point at <indexList");
    }
    const std::size_t checksum_tag = bytes_.rfind("<fileChecksum>");
    if (checksum_tag == std::string::npos) {
      problems.push_back("no <fileChecksum>");
    } else {
      const std::size_t hashed = checksum_tag + std::strlen("<fileChecksum>");
      const std::string expected =
          command_output("head -c " + std::to_string(hashed) + " " + shell_quoted(path_.string()) + " | sha1sum")
              .substr(0, 40);
      const std::string written = indexed.child("fileChecksum").text().get();
      if (written != expected) problems.push_back("fileChecksum " + written + ", sha1sum says " + expected);
    }
    return problems;
  }

  // Every cvParam (and unit) whose accession is not in `vocabulary` under the name written.
  [[nodiscard]] std::vector<std::string> vocabulary_problems(const std::map<std::string, std::string>& vocabulary) const {
    std::vector<std::string> problems;
    for (const pugi::xpath_node found : document_.select_nodes("//cvParam")) {
      const pugi::xml_node param = found.node();
      const std::pair<const char*, const char*> pairs[] = {{"accession", "name"}, {"unitAccession", "unitName"}};
      for (const auto& [accession_attribute, name_attribute] : pairs) {
        const pugi::xml_attribute accession = param.attribute(accession_attribute);
        if (!accession) continue;
        const auto known = vocabulary.find(accession.value());
        const std::string name = param.attribute(name_attribute).value();
        if (known == vocabulary.end() || known->second != name) {
          problems.push_back(std::string(accession.value()) + " named '" + name + "'");
        }
      }
    }
    return problems;
  }

 private:
  std::filesystem::path path_;
  std::string bytes_;
  pugi::xml_document document_;
};

}  // namespace vornak::testing
