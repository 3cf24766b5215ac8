// The container of an mzPeak archive: members written one after another into a ZIP of stored
// entries (ZIP64 records where sizes or offsets need them), or as the files of a directory. Each
// member's SHA-512 is computed as it is written; nothing appears under the final name until
// commit(), and an archive dropped before that leaves nothing behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "reader_lib/error.hpp"

namespace vornak {

enum class ArchiveLayout : std::uint8_t { Zip, Directory };

class Archive {
 public:
  // A new archive to be named `final_path` once committed. Zip: a hidden temporary file beside
  // it; Directory: a hidden temporary folder beside it. `force_zip64` writes the ZIP64 records
  // even for a small archive (for tests of that path).
  [[nodiscard]] static Result<Archive> create(const std::string& final_path, ArchiveLayout layout,
                                              bool force_zip64 = false);

  Archive(Archive&&) noexcept;
  Archive& operator=(Archive&&) noexcept;
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  // Removes the temporary file or folder unless commit() succeeded.
  ~Archive();

  // Starts the member `name` (a plain file name); the one before must have been ended.
  [[nodiscard]] Result<void> begin_member(std::string_view name);
  // Appends to the current member.
  [[nodiscard]] Result<void> write(std::string_view bytes);
  // Ends the current member; its SHA-512 as 128 lowercase hex digits.
  [[nodiscard]] Result<std::string> end_member();
  // Bytes of every member so far (the container's own records not counted).
  [[nodiscard]] std::uint64_t member_bytes() const noexcept;
  // The folder the temporary output lives in (for scratch files that must be on the same disk).
  [[nodiscard]] const std::string& folder() const noexcept;

  // Zip: writes the central directory; both: renames the output to the final name. A directory
  // already there is replaced only when it is empty or holds an mzpeak_index.json.
  [[nodiscard]] Result<void> commit();
  // The size of the committed archive in bytes (Zip: the file; Directory: its members).
  [[nodiscard]] std::uint64_t total_bytes() const noexcept;

 private:
  struct State;
  explicit Archive(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace vornak
