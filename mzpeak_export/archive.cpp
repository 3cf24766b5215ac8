// ZIP of stored members with CRC-32 (zlib) and SHA-512 (libcrypto) per member, or a directory;
// both built under a hidden temporary name and renamed into place at the end.
//
//   per member:  local header (sizes and CRC patched in when the member ends, ZIP64 extra always
//                reserved) + the member's bytes
//   at commit:   central directory, [ZIP64 end record + locator], end record; rename
#include "mzpeak_export/archive.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "mzml_export/output_file.hpp"
#include "reader_lib/paths.hpp"

namespace vornak {
namespace {

constexpr std::uint32_t LOCAL_SIGNATURE = 0x04034b50;
constexpr std::uint32_t CENTRAL_SIGNATURE = 0x02014b50;
constexpr std::uint32_t END_SIGNATURE = 0x06054b50;
constexpr std::uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr std::uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr std::uint16_t VERSION_ZIP64 = 45;
constexpr std::uint16_t VERSION_MADE_BY_UNIX = (3u << 8) | VERSION_ZIP64;
constexpr std::uint16_t FLAG_UTF8_NAME = 0x0800;
constexpr std::uint16_t ZIP64_EXTRA_ID = 0x0001;
constexpr std::uint32_t MAX32 = 0xffffffffu;
constexpr std::uint16_t MAX16 = 0xffffu;
constexpr std::size_t LOCAL_FIXED = 30;
constexpr std::size_t LOCAL_EXTRA = 20;  // id, length, uncompressed and compressed sizes

std::atomic<std::uint64_t> folder_counter{0};

void put16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xff));
  out.push_back(static_cast<char>(value >> 8));
}
void put32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}
void put64(std::string& out, std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}
std::uint32_t low32(std::uint64_t value) { return value >= MAX32 ? MAX32 : static_cast<std::uint32_t>(value); }

class Sha512 {
 public:
  Sha512() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha512(), nullptr) == 1;
  }
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;
  ~Sha512() { EVP_MD_CTX_free(context_); }
  void update(std::string_view bytes) {
    if (ok_ && !bytes.empty()) ok_ = EVP_DigestUpdate(context_, bytes.data(), bytes.size()) == 1;
  }
  Result<std::string> hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || EVP_DigestFinal_ex(context_, digest, &length) != 1) {
      return std::unexpected(Error::parse("SHA-512 failed in libcrypto"));
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text.push_back(DIGITS[digest[i] >> 4]);
      text.push_back(DIGITS[digest[i] & 0x0f]);
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
  bool ok_ = false;
};

// The DOS date and time fields of the moment the archive is made (local time).
std::pair<std::uint16_t, std::uint16_t> dos_time_date() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int year = local.tm_year + 1900 < 1980 ? 0 : local.tm_year + 1900 - 1980;
  const auto time = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
  const auto date = static_cast<std::uint16_t>((year << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  return {time, date};
}

struct Entry {
  std::string name;
  std::uint64_t header_offset = 0;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

}  // namespace

struct Archive::State {
  ArchiveLayout layout = ArchiveLayout::Zip;
  bool force_zip64 = false;
  std::string final_path;
  std::string folder;                     // where the temporary output lives
  std::optional<OutputFile> zip;          // Zip
  std::string directory;                  // Directory: the temporary folder
  std::optional<OutputFile> member_file;  // Directory: the current member
  std::vector<Entry> entries;
  std::optional<Entry> current;
  std::optional<Sha512> hash;
  std::uint64_t member_bytes = 0;
  std::uint64_t total_bytes = 0;
  std::uint16_t dos_time = 0, dos_date = 0;
  bool committed = false;

  ~State() {
    if (!committed && !directory.empty()) {
      member_file.reset();
      std::error_code ignored;
      std::filesystem::remove_all(directory, ignored);
    }
  }
};

Archive::Archive(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Archive::Archive(Archive&&) noexcept = default;
Archive& Archive::operator=(Archive&&) noexcept = default;
Archive::~Archive() = default;

Result<Archive> Archive::create(const std::string& final_path, ArchiveLayout layout, bool force_zip64) {
  auto state = std::make_unique<State>();
  state->layout = layout;
  state->force_zip64 = force_zip64;
  std::string path = final_path;
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  state->final_path = path;
  const std::size_t slash = path.rfind('/');
  state->folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::unexpected(Error::io(EISDIR));
  std::tie(state->dos_time, state->dos_date) = dos_time_date();
  if (layout == ArchiveLayout::Zip) {
    auto file = OutputFile::create(path);
    if (!file) return std::unexpected(file.error());
    state->zip.emplace(std::move(*file));
    return Archive(std::move(state));
  }
  const std::string prefix = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." + name +
                             "." + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = prefix + std::to_string(folder_counter.fetch_add(1)) + ".tmp";
    if (::mkdir(candidate.c_str(), 0777) == 0) {
      state->directory = std::move(candidate);
      return Archive(std::move(state));
    }
    if (errno != EEXIST) return std::unexpected(Error::io(errno));
  }
  return std::unexpected(Error::io(EEXIST));
}

Result<void> Archive::begin_member(std::string_view name) {
  State& s = *state_;
  if (s.current || name.empty() || name.find('/') != std::string_view::npos || name.size() > MAX16) {
    return std::unexpected(Error::parse("archive member \"" + std::string(name) + "\" cannot begin here"));
  }
  s.current = Entry{std::string(name), 0, 0, static_cast<std::uint32_t>(crc32(0, nullptr, 0))};
  s.hash.emplace();
  if (s.layout == ArchiveLayout::Directory) {
    auto file = OutputFile::create(join_path(s.directory, name));
    if (!file) return std::unexpected(file.error());
    s.member_file.emplace(std::move(*file));
    return {};
  }
  s.current->header_offset = s.zip->offset();
  std::string header;
  put32(header, LOCAL_SIGNATURE);
  put16(header, VERSION_ZIP64);
  put16(header, FLAG_UTF8_NAME);
  put16(header, 0);  // stored
  put16(header, s.dos_time);
  put16(header, s.dos_date);
  put32(header, 0);      // CRC-32, patched in at the end
  put32(header, MAX32);  // sizes: in the ZIP64 extra field until the end says otherwise
  put32(header, MAX32);
  put16(header, static_cast<std::uint16_t>(name.size()));
  put16(header, static_cast<std::uint16_t>(LOCAL_EXTRA));
  header += name;
  put16(header, ZIP64_EXTRA_ID);
  put16(header, 16);
  put64(header, 0);
  put64(header, 0);
  return s.zip->write(header);
}

Result<void> Archive::write(std::string_view bytes) {
  State& s = *state_;
  if (!s.current) return std::unexpected(Error::parse("archive write outside a member"));
  s.current->size += bytes.size();
  s.current->crc = static_cast<std::uint32_t>(
      crc32_z(s.current->crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
  s.hash->update(bytes);
  s.member_bytes += bytes.size();
  return s.layout == ArchiveLayout::Zip ? s.zip->write(bytes) : s.member_file->write(bytes);
}

Result<std::string> Archive::end_member() {
  State& s = *state_;
  if (!s.current) return std::unexpected(Error::parse("archive member ended twice"));
  auto digest = s.hash->hex();
  if (!digest) return std::unexpected(digest.error());
  Entry entry = std::move(*s.current);
  s.current.reset();
  if (s.layout == ArchiveLayout::Directory) {
    auto committed = s.member_file->commit();
    s.member_file.reset();
    if (!committed) return std::unexpected(committed.error());
  } else {
    // CRC and 32-bit sizes (or the ZIP64 marks when they do not fit), then the ZIP64 sizes.
    std::string fields;
    put32(fields, entry.crc);
    const bool wide = s.force_zip64 || entry.size >= MAX32;
    put32(fields, wide ? MAX32 : static_cast<std::uint32_t>(entry.size));
    put32(fields, wide ? MAX32 : static_cast<std::uint32_t>(entry.size));
    if (auto patched = s.zip->overwrite(entry.header_offset + 14, fields); !patched) {
      return std::unexpected(patched.error());
    }
    std::string sizes;
    put64(sizes, entry.size);
    put64(sizes, entry.size);
    const std::uint64_t extra_values = entry.header_offset + LOCAL_FIXED + entry.name.size() + 4;
    if (auto patched = s.zip->overwrite(extra_values, sizes); !patched) return std::unexpected(patched.error());
  }
  s.entries.push_back(std::move(entry));
  return digest;
}

std::uint64_t Archive::member_bytes() const noexcept { return state_->member_bytes; }
const std::string& Archive::folder() const noexcept { return state_->folder; }
std::uint64_t Archive::total_bytes() const noexcept { return state_->total_bytes; }

namespace {

// Replaces `final_path` by the folder `directory`: a folder there must be empty or an archive.
Result<void> move_directory_into_place(const std::string& directory, const std::string& final_path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::symlink_status(final_path, error);
  if (fs::exists(status)) {
    if (!fs::is_directory(status)) return std::unexpected(Error::io(ENOTDIR));
    const bool replaceable =
        fs::is_empty(final_path, error) || fs::exists(fs::path(final_path) / "mzpeak_index.json", error);
    if (!replaceable) {
      return std::unexpected(Error::parse(final_path + " exists and is not an mzPeak directory; not replaced"));
    }
    const std::string old = directory + ".old";
    if (::rename(final_path.c_str(), old.c_str()) != 0) return std::unexpected(Error::io(errno));
    if (::rename(directory.c_str(), final_path.c_str()) != 0) {
      const int saved = errno;
      (void)::rename(old.c_str(), final_path.c_str());
      return std::unexpected(Error::io(saved));
    }
    fs::remove_all(old, error);
    return {};
  }
  if (::rename(directory.c_str(), final_path.c_str()) != 0) return std::unexpected(Error::io(errno));
  return {};
}

}  // namespace

Result<void> Archive::commit() {
  State& s = *state_;
  if (s.current) return std::unexpected(Error::parse("archive committed inside a member"));
  if (s.layout == ArchiveLayout::Directory) {
    if (auto moved = move_directory_into_place(s.directory, s.final_path); !moved) return moved;
    s.committed = true;
    s.total_bytes = s.member_bytes;
    return {};
  }
  const std::uint64_t directory_offset = s.zip->offset();
  std::string central;
  for (const Entry& entry : s.entries) {
    const bool wide_size = s.force_zip64 || entry.size >= MAX32;
    const bool wide_offset = s.force_zip64 || entry.header_offset >= MAX32;
    std::string extra;
    if (wide_size || wide_offset) {
      put16(extra, ZIP64_EXTRA_ID);
      put16(extra, static_cast<std::uint16_t>((wide_size ? 16 : 0) + (wide_offset ? 8 : 0)));
      if (wide_size) {
        put64(extra, entry.size);
        put64(extra, entry.size);
      }
      if (wide_offset) put64(extra, entry.header_offset);
    }
    put32(central, CENTRAL_SIGNATURE);
    put16(central, VERSION_MADE_BY_UNIX);
    put16(central, VERSION_ZIP64);
    put16(central, FLAG_UTF8_NAME);
    put16(central, 0);
    put16(central, s.dos_time);
    put16(central, s.dos_date);
    put32(central, entry.crc);
    put32(central, wide_size ? MAX32 : static_cast<std::uint32_t>(entry.size));
    put32(central, wide_size ? MAX32 : static_cast<std::uint32_t>(entry.size));
    put16(central, static_cast<std::uint16_t>(entry.name.size()));
    put16(central, static_cast<std::uint16_t>(extra.size()));
    put16(central, 0);  // comment
    put16(central, 0);  // disk
    put16(central, 0);  // internal attributes
    put32(central, 0100644u << 16);
    put32(central, wide_offset ? MAX32 : static_cast<std::uint32_t>(entry.header_offset));
    central += entry.name;
    central += extra;
  }
  const std::uint64_t directory_size = central.size();
  const std::uint64_t count = s.entries.size();
  const bool zip64 = s.force_zip64 || count >= MAX16 || directory_offset >= MAX32 || directory_size >= MAX32;
  if (zip64) {
    const std::uint64_t record_offset = directory_offset + directory_size;
    put32(central, ZIP64_END_SIGNATURE);
    put64(central, 44);
    put16(central, VERSION_MADE_BY_UNIX);
    put16(central, VERSION_ZIP64);
    put32(central, 0);
    put32(central, 0);
    put64(central, count);
    put64(central, count);
    put64(central, directory_size);
    put64(central, directory_offset);
    put32(central, ZIP64_LOCATOR_SIGNATURE);
    put32(central, 0);
    put64(central, record_offset);
    put32(central, 1);
  }
  put32(central, END_SIGNATURE);
  put16(central, 0);
  put16(central, 0);
  put16(central, zip64 ? MAX16 : static_cast<std::uint16_t>(count));
  put16(central, zip64 ? MAX16 : static_cast<std::uint16_t>(count));
  put32(central, zip64 ? MAX32 : low32(directory_size));
  put32(central, zip64 ? MAX32 : low32(directory_offset));
  put16(central, 0);
  if (auto written = s.zip->write(central); !written) return written;
  s.total_bytes = s.zip->offset();
  if (auto committed = s.zip->commit(); !committed) return committed;
  s.committed = true;
  return {};
}

}  // namespace vornak
