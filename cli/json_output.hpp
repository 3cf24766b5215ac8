// JSON output of the subcommands: one object per line, key order as built, ill-formed UTF-8 in
// paths replaced when dumped.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vornak::cli {

using Json = nlohmann::ordered_json;

// Compact text; doubles as the shortest decimal that reads back to the same value.
inline std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

template <typename T>
Json optional_json(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace vornak::cli
