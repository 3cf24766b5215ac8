// Path text helpers of the reader: joining a name to a folder, and a folder's final component.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornak {

// `folder` + "/" + `name`; no separator after an empty folder or one ending in "/".
[[nodiscard]] std::string join_path(std::string_view folder, std::string_view name);

// The last ordinary component of `path` (runs of "/" count as one, trailing ones and "."
// components are ignored); none for "", "/", "." or a path ending in "..".
[[nodiscard]] std::optional<std::string_view> final_component(std::string_view path);

}  // namespace vornak
