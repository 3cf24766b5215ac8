// Path text helpers: joining a name to a folder, and a folder's final component.
#include "reader_lib/paths.hpp"

#include <vector>

namespace vornak {

std::string join_path(std::string_view folder, std::string_view name) {
  std::string joined(folder);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::optional<std::string_view> final_component(std::string_view path) {
  // Split at "/", dropping empty components and every "." but a leading one.
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    const bool leading = start == 0;
    if (!component.empty() && (component != "." || leading)) components.push_back(component);
    start = end + 1;
  }
  if (components.empty()) return std::nullopt;
  const std::string_view last = components.back();
  if (last == "." || last == "..") return std::nullopt;
  return last;
}

}  // namespace vornak
