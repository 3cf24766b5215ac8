// The table from what the scan index says to a block's file and decoder.
#include "full_reader/block_rule.hpp"

namespace vornak {
namespace {

constexpr BlockRoute PROFILE_BY_CONTENT{BlockFileKind::Profile, BlockDecoder::ProfileByContent};
constexpr BlockRoute PEAK_COLUMNS{BlockFileKind::Peak, BlockDecoder::PeakColumns};

}  // namespace

std::optional<BlockRoute> route_descriptor_block(const FolderShape& folder, std::uint32_t format_id) {
  if (folder.layout_word == LAYOUT_WORD_TRIPLE_QUAD) {
    if (format_id == 2) return BlockRoute{BlockFileKind::Profile, BlockDecoder::QuadProfile};
    if (format_id == 1 || format_id == 3) return BlockRoute{BlockFileKind::Peak, BlockDecoder::PointList};
    return std::nullopt;
  }
  if (folder.layout_word == LAYOUT_WORD_SINGLE_CHANNEL) {
    if (format_id == 1) return folder.has_profile_file || !folder.has_peak_file ? PROFILE_BY_CONTENT : PEAK_COLUMNS;
    if (format_id == 2 || format_id == 3) return PEAK_COLUMNS;
    return std::nullopt;
  }
  // Time-of-flight instruments and the layouts known without a schema.
  if (format_id == 1) {
    const bool peaks_only = folder.schema && folder.descriptor_count == 1 && !folder.has_profile_file &&
                            folder.has_peak_file;
    return peaks_only ? PEAK_COLUMNS : PROFILE_BY_CONTENT;
  }
  if (format_id == 2 || format_id == 3) return PEAK_COLUMNS;
  return std::nullopt;
}

BlockRoute flat_profile_route() noexcept { return PROFILE_BY_CONTENT; }
BlockRoute flat_peak_route() noexcept { return PEAK_COLUMNS; }

std::string_view block_rule() noexcept {
  return "Layout word 5 (u32 at 0x48 of MSScan.bin; triple quadrupoles): format 2 is a profile in "
         "MSProfile.bin, f32 first x and step then N i32 counts (8 + 4N bytes) or f64 first x and step then "
         "N f32 abundances (16 + 4N bytes); formats 1 and 3 are point lists in MSPeak.bin, N f32 x then N "
         "i32 counts (8N bytes). Layout word 2 (GC single quadrupoles, ICP-MS): format 1 is a block of "
         "MSProfile.bin, decoded by its content, when the folder has that file, else of MSPeak.bin (f64 m/z "
         "and f64 abundance columns). Records without block descriptors (ion mobility): the MsProf* fields "
         "describe a profile in MSProfile.bin decoded by its content, the MsPeak* fields a peak block in "
         "MSPeak.bin of its format. Every other layout word (time-of-flight instruments: 4 and 6; the "
         "built-in layouts): format 1 is a profile in MSProfile.bin decoded by its content (in a folder "
         "whose schema gives one descriptor and which has MSPeak.bin but no MSProfile.bin, a block of f64 "
         "pairs in MSPeak.bin), format 2 split peaks and format 3 interleaved peaks in MSPeak.bin. Other "
         "formats describe no block. A block must fit its file and its decoder's size exactly; one that "
         "does not is an error for that scan, never decoded another way.";
}

}  // namespace vornak
