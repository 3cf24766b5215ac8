// The file a conversion writes: a temporary file beside the final name, written front to back
// with every byte counted, and renamed to the final name only once it is complete and on disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

class OutputFile {
 public:
  // A new, empty temporary file in the folder of `final_path`, named "." + its file name +
  // ".<unique>.tmp" and created with the permissions a new file gets there. Io errors say why
  // it cannot be created.
  [[nodiscard]] static Result<OutputFile> create(const std::string& final_path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();

  // Appends `bytes` (buffered). The first failure is returned here or by a later call.
  [[nodiscard]] Result<void> write(std::string_view bytes);
  // The number of bytes written so far, the position of the next byte.
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }
  // Replaces bytes already written at `offset`; the range must lie before offset().
  [[nodiscard]] Result<void> overwrite(std::uint64_t offset, std::string_view bytes);
  // Writes out the buffer; afterwards descriptor() holds every byte written so far.
  [[nodiscard]] Result<void> flush();
  [[nodiscard]] int descriptor() const noexcept { return descriptor_; }
  [[nodiscard]] const std::string& temporary_path() const noexcept { return temporary_path_; }

  // Flushes, syncs the file to stable storage, closes and renames the temporary file to the
  // final name (replacing a file there), then syncs the folder so that the rename is durable too.
  // Io errors name the file and the step.
  [[nodiscard]] Result<void> commit();

 private:
  // `result`, its error naming the temporary file.
  [[nodiscard]] Result<void> written(Result<void> result) const;

  OutputFile(int descriptor, std::string temporary_path, std::string final_path);

  int descriptor_ = -1;
  std::string temporary_path_;
  std::string final_path_;
  std::vector<char> buffer_;
  std::uint64_t offset_ = 0;
  bool committed_ = false;
};

}  // namespace vornak
