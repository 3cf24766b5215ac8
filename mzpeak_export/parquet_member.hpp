// Parquet members through Arrow's own writer: an Arrow output stream over an archive member or a
// scratch file, the writer properties of signal and metadata tables, and whole-table members.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <arrow/api.h>
#include <arrow/io/interfaces.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>

#include "mzpeak_export/archive.hpp"
#include "reader_lib/error.hpp"

namespace vornak::mzpeak {

// An Arrow output stream that hands every byte to `sink`; the first failure is kept in error().
class ForwardingStream : public arrow::io::OutputStream {
 public:
  using Sink = std::function<Result<void>(std::string_view)>;
  explicit ForwardingStream(Sink sink) : sink_(std::move(sink)) {}

  arrow::Status Close() override {
    closed_ = true;
    return arrow::Status::OK();
  }
  bool closed() const override { return closed_; }
  arrow::Result<int64_t> Tell() const override { return position_; }
  arrow::Status Write(const void* data, int64_t nbytes) override;
  using arrow::io::OutputStream::Write;

  [[nodiscard]] const std::optional<Error>& error() const noexcept { return error_; }

 private:
  Sink sink_;
  int64_t position_ = 0;
  bool closed_ = false;
  std::optional<Error> error_;
};

// Writer properties for a point-layout signal file: zstd pages, page index, no dictionary,
// delta encoding for `index_column` and byte-stream-split for the float columns.
[[nodiscard]] std::shared_ptr<parquet::WriterProperties> signal_properties(const std::string& index_column,
                                                                          std::initializer_list<std::string> floats);
// Writer properties for a metadata table: zstd pages, dictionaries, page index.
[[nodiscard]] std::shared_ptr<parquet::WriterProperties> metadata_properties();
[[nodiscard]] std::shared_ptr<parquet::ArrowWriterProperties> arrow_properties();

// The error of an Arrow status, or of the stream when it failed first.
[[nodiscard]] Error arrow_error(const arrow::Status& status, const ForwardingStream* stream, std::string_view what);

// Writes `table` as the member `name` of `archive`; the member's SHA-512.
[[nodiscard]] Result<std::string> write_table_member(Archive& archive, const std::string& name,
                                                     const arrow::Table& table);

}  // namespace vornak::mzpeak
