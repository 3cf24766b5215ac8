// Arrow output streams over archive members, and the Parquet writer properties of each table kind.
#include "mzpeak_export/parquet_member.hpp"

namespace vornak::mzpeak {
namespace {

// Rows per row group: whole row groups are buffered by the writer, so this bounds its memory
// (about 24 MB of point data before compression) without making the page index coarse.
constexpr int64_t ROW_GROUP_ROWS = int64_t{1} << 20;

}  // namespace

arrow::Status ForwardingStream::Write(const void* data, int64_t nbytes) {
  if (error_) return arrow::Status::IOError(error_->display());
  if (nbytes < 0) return arrow::Status::Invalid("negative write");
  auto written = sink_(std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(nbytes)));
  if (!written) {
    error_ = written.error();
    return arrow::Status::IOError(error_->display());
  }
  position_ += nbytes;
  return arrow::Status::OK();
}

std::shared_ptr<parquet::WriterProperties> signal_properties(const std::string& index_column,
                                                            std::initializer_list<std::string> floats) {
  parquet::WriterProperties::Builder builder;
  builder.compression(parquet::Compression::ZSTD)
      ->enable_write_page_index()
      ->disable_dictionary()
      ->max_row_group_length(ROW_GROUP_ROWS)
      ->encoding(index_column, parquet::Encoding::DELTA_BINARY_PACKED);
  for (const std::string& column : floats) builder.encoding(column, parquet::Encoding::BYTE_STREAM_SPLIT);
  return builder.build();
}

std::shared_ptr<parquet::WriterProperties> metadata_properties() {
  parquet::WriterProperties::Builder builder;
  builder.compression(parquet::Compression::ZSTD)->enable_write_page_index()->max_row_group_length(ROW_GROUP_ROWS);
  return builder.build();
}

std::shared_ptr<parquet::ArrowWriterProperties> arrow_properties() {
  parquet::ArrowWriterProperties::Builder builder;
  builder.store_schema();
  return builder.build();
}

Error arrow_error(const arrow::Status& status, const ForwardingStream* stream, std::string_view what) {
  if (stream != nullptr && stream->error()) return *stream->error();
  return Error::parse(std::string(what) + ": " + status.ToString());
}

Result<std::string> write_table_member(Archive& archive, const std::string& name, const arrow::Table& table) {
  if (auto begun = archive.begin_member(name); !begun) return std::unexpected(begun.error());
  auto stream = std::make_shared<ForwardingStream>([&archive](std::string_view bytes) { return archive.write(bytes); });
  auto writer = parquet::arrow::FileWriter::Open(*table.schema(), arrow::default_memory_pool(), stream,
                                                 metadata_properties(), arrow_properties());
  if (!writer.ok()) return std::unexpected(arrow_error(writer.status(), stream.get(), "writing " + name));
  arrow::Status status = (*writer)->WriteTable(table, ROW_GROUP_ROWS);
  if (status.ok()) status = (*writer)->Close();
  if (!status.ok()) return std::unexpected(arrow_error(status, stream.get(), "writing " + name));
  return archive.end_member();
}

}  // namespace vornak::mzpeak
