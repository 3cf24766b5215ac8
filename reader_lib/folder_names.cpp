// Names resolved as the instruments' own system resolves them: the exact name, else the one
// entry that differs from it only by case.
#include "reader_lib/folder_names.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "reader_lib/paths.hpp"
#include "reader_lib/text.hpp"

namespace vornak {
namespace {

constexpr std::string_view ACQDATA = "AcqData";

// Files that lie in the acquisition folder itself, next to AcqData.
constexpr std::string_view BESIDE_ACQDATA[] = {"MSTS_XAddition.xml"};

constexpr char fold(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool lies_beside_acqdata(std::string_view name) {
  for (const std::string_view beside : BESIDE_ACQDATA) {
    if (beside == name) return true;
  }
  return false;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

}  // namespace

bool equal_ignoring_ascii_case(std::string_view left, std::string_view right) noexcept {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (fold(left[i]) != fold(right[i])) return false;
  }
  return true;
}

Result<std::optional<std::string>> match_name(const std::vector<std::string>& entries, std::string_view name,
                                               std::string_view folder) {
  for (const std::string& entry : entries) {
    if (entry == name) return std::optional<std::string>(entry);
  }
  std::optional<std::string> found;
  for (const std::string& entry : entries) {
    if (!equal_ignoring_ascii_case(entry, name)) continue;
    if (found) {
      return std::unexpected(Error::folder(utf8_lossy(folder) + " holds both " + utf8_lossy(*found) + " and " +
                                           utf8_lossy(entry) + ", names that differ only by case: keep one of "
                                           "them as " + std::string(name)));
    }
    found = entry;
  }
  return found;
}

Result<std::vector<std::string>> list_folder(const std::string& path) {
  const std::string shown = utf8_lossy(path);
  // A NUL byte would end the name early at the system call and list some other folder.
  if (path.find('\0') != std::string::npos) return std::unexpected(Error::io(EINVAL).with_context("cannot list " + shown));
  const std::unique_ptr<DIR, DirectoryCloser> directory(::opendir(path.empty() ? "." : path.c_str()));
  if (!directory) return std::unexpected(Error::io(errno).with_context("cannot list the folder " + shown));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  if (errno != 0) return std::unexpected(Error::io(errno).with_context("cannot list the folder " + shown));
  // Sorted, so that a message naming two of them is the same on every system.
  std::ranges::sort(names);
  return names;
}

Result<FolderNames> FolderNames::open(std::string_view folder_path, std::span<const std::string_view> names) {
  FolderNames folder;
  folder.folder_path_ = std::string(folder_path);
  auto folder_entries = list_folder(folder.folder_path_);
  if (!folder_entries) return std::unexpected(std::move(folder_entries.error()));
  folder.folder_entries_ = std::move(*folder_entries);

  const std::string shown = utf8_lossy(folder.folder_path_.empty() ? "." : folder.folder_path_);
  auto acqdata = match_name(folder.folder_entries_, ACQDATA, shown);
  if (!acqdata) return std::unexpected(std::move(acqdata.error()));
  if (!*acqdata) return std::unexpected(Error::folder(shown + " has no AcqData folder"));
  folder.acqdata_path_ = join_path(folder.folder_path_, **acqdata);

  auto acqdata_entries = list_folder(folder.acqdata_path_);
  if (!acqdata_entries) {
    if (acqdata_entries.error().os_error() == ENOTDIR) {
      return std::unexpected(Error::folder(utf8_lossy(folder.acqdata_path_) + " is a file, not the AcqData folder"));
    }
    return std::unexpected(std::move(acqdata_entries.error()));
  }
  folder.acqdata_entries_ = std::move(*acqdata_entries);

  for (const std::string_view name : names) {
    auto path = folder.resolve(name);
    if (!path) return std::unexpected(std::move(path.error()));
    folder.resolved_.emplace_back(std::string(name), std::move(*path));
  }
  return folder;
}

Result<std::string> FolderNames::resolve(std::string_view name) const {
  const bool beside = lies_beside_acqdata(name);
  const std::string& where = beside ? folder_path_ : acqdata_path_;
  auto found = match_name(beside ? folder_entries_ : acqdata_entries_, name, utf8_lossy(where.empty() ? "." : where));
  if (!found) return std::unexpected(std::move(found.error()));
  return join_path(where, *found ? **found : name);
}

std::string FolderNames::path_of(std::string_view name) const {
  for (const auto& [asked, path] : resolved_) {
    if (asked == name) return path;
  }
  auto path = resolve(name);
  if (path) return std::move(*path);
  return join_path(lies_beside_acqdata(name) ? folder_path_ : acqdata_path_, name);
}

bool FolderNames::contains(std::string_view name) const {
  const auto& entries = lies_beside_acqdata(name) ? folder_entries_ : acqdata_entries_;
  for (const std::string& entry : entries) {
    if (equal_ignoring_ascii_case(entry, name)) return true;
  }
  return false;
}

}  // namespace vornak
