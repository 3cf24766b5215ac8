// Which file holds a scan's block and which decoder reads it, from what the scan index says:
// the layout word at 0x48 of MSScan.bin, whether records have block descriptors, the block's
// format id, and which block files the folder has. One table, stated in words by block_rule().
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vornak {

enum class BlockFileKind : std::uint8_t { Profile, Peak };  // MSProfile.bin, MSPeak.bin

enum class BlockDecoder : std::uint8_t {
  ProfileByContent,  // run-length, uncompressed ICP-MS channels or LZF, as encoding_rule() says
  QuadProfile,       // triple-quad profile: f32 axis + i32 counts, or f64 axis + f32 abundances
  PeakColumns,       // peak columns of the block's format (1: f64 pairs, 2: split, 3: interleaved)
  PointList,         // triple-quad point list: N f32 x, then N i32 counts
};

struct BlockRoute {
  BlockFileKind file = BlockFileKind::Profile;
  BlockDecoder decoder = BlockDecoder::ProfileByContent;
  // What the block is to the spectrum: a profile, or centroids / points.
  [[nodiscard]] bool is_profile() const noexcept { return file == BlockFileKind::Profile; }
};

// The facts of a folder the rule looks at.
struct FolderShape {
  std::uint32_t layout_word = 0;  // u32 at 0x48 of MSScan.bin
  bool schema = false;            // the layout comes from MSScan.xsd
  std::uint32_t descriptor_count = 0;
  bool has_profile_file = false;
  bool has_peak_file = false;
};

// Where a block of `format_id` in a record's block descriptor lies and how it is decoded; none for
// a format the layout does not use (the descriptor is then ignored).
[[nodiscard]] std::optional<BlockRoute> route_descriptor_block(const FolderShape& folder, std::uint32_t format_id);

// The blocks of a record without descriptors (MsProf* and MsPeak* fields).
[[nodiscard]] BlockRoute flat_profile_route() noexcept;
[[nodiscard]] BlockRoute flat_peak_route() noexcept;

// The rule above in words (for documentation and tools).
[[nodiscard]] std::string_view block_rule() noexcept;

// The layout word of triple-quadrupole, GC single-quadrupole and ICP-MS scan indexes.
inline constexpr std::uint32_t LAYOUT_WORD_TRIPLE_QUAD = 5;
inline constexpr std::uint32_t LAYOUT_WORD_SINGLE_CHANNEL = 2;

}  // namespace vornak
