// Finding an acquisition's files whatever the case of their names, as the system that writes
// them does: AcqData and the files in it (and a few beside it) are listed once at opening.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

// True when the two names are equal once ASCII letters are folded to one case. The names the
// reader looks for are ASCII, so no other letter can match one of theirs under any folding.
[[nodiscard]] bool equal_ignoring_ascii_case(std::string_view left, std::string_view right) noexcept;

// The entry of `entries` that stands for `name`: the exact name when present, else the one
// entry equal to it ignoring case; absent when there is none. Two or more entries that equal
// it only ignoring case are a Folder error naming both (`folder` is the path the entries were
// listed from, for the message).
[[nodiscard]] Result<std::optional<std::string>> match_name(const std::vector<std::string>& entries,
                                                             std::string_view name, std::string_view folder);

// The names of every entry of the folder at `path` (but "." and ".."), sorted bytewise. Io
// errors say which folder could not be listed.
[[nodiscard]] Result<std::vector<std::string>> list_folder(const std::string& path);

// The names of one acquisition folder, resolved at opening and not looked up again.
class FolderNames {
 public:
  // Lists the folder at `folder_path` (as the user gave it), finds its AcqData folder, lists
  // that, and resolves each of `names` (files in AcqData; MSTS_XAddition.xml beside it) as
  // match_name does. Errors: the folder cannot be listed (Io, naming it; ENOTDIR when it is a
  // file), it has no AcqData (Folder, "... has no AcqData folder"), AcqData cannot be listed (Io,
  // naming it), or AcqData or one of `names` has two candidates differing only by case (Folder).
  [[nodiscard]] static Result<FolderNames> open(std::string_view folder_path,
                                                std::span<const std::string_view> names);

  [[nodiscard]] const std::string& folder_path() const noexcept { return folder_path_; }
  // The folder's path joined with the AcqData entry's own name, e.g. "GOLD.D/ACQDATA".
  [[nodiscard]] const std::string& acqdata_path() const noexcept { return acqdata_path_; }

  // The path of the file `name`: the folder's path joined with the entry found for it. A name
  // that is absent gives its path as asked, so that opening it fails naming the file. A name not
  // resolved at opening is matched now, and one with two candidates is given as asked too.
  [[nodiscard]] std::string path_of(std::string_view name) const;
  // True when `name` is present (in any case) where path_of looks for it.
  [[nodiscard]] bool contains(std::string_view name) const;

 private:
  [[nodiscard]] Result<std::string> resolve(std::string_view name) const;

  std::string folder_path_;
  std::string acqdata_path_;
  std::vector<std::string> folder_entries_;
  std::vector<std::string> acqdata_entries_;
  std::vector<std::pair<std::string, std::string>> resolved_;  // name asked, path found
};

}  // namespace vornak
