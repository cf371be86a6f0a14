// EFS geometry and the loader of the EFS file table from the "EFST" section
// of the host's FTBL blob.
//
// The EFS volume has no geometry of its own: the number of block maps, of
// mapped and spare data blocks, the file count, the wear-levelling threshold,
// the layout id and the table of where each EFS file lives come from the
// blob. The loader fills the globals below; the rest of EFS only reads them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/export.h"

// efs_file_entry_t, one entry per EFS file index, is declared with the host's
// interface. Stored layout, 8 bytes: block (u8, logical block of the file's
// first record), offset (u16, of that record within the block's data area),
// max_size (u16, maximum file length), 24 flag bits (bit 0 of flags[0]: an
// EFST file record described this index).
static_assert(sizeof(efs_file_entry_t) == 8, "efs_file_entry_t is 8 bytes");
static_assert(offsetof(efs_file_entry_t, offset) == 1, "offset at byte 1");
static_assert(offsetof(efs_file_entry_t, max_size) == 3, "max_size at byte 3");
static_assert(offsetof(efs_file_entry_t, flags) == 5, "flags at byte 5");

// Bit 0 of the first flag byte.
constexpr uint8_t EFS_FILE_DEFINED = 0x01;

inline bool efs_file_is_defined(const efs_file_entry_t& e) {
  return (e.flags[0] & EFS_FILE_DEFINED) != 0;
}

// EFS geometry (exported data, declared with the host's interface):
// g_efs_bm_num (default 2), g_efs_valid_block_num (7),
// g_efs_non_valid_block_num (3), g_efs_files_num (16),
// g_efs_wear_leveling_threshold (100), g_efs_layout_id, g_efs_sku_id,
// g_efs_autogen_data_loaded (0) and the file table EFS_files (null).

// Loads the EFS geometry and file table for `sku` from the EFST section of
// the FTBL blob of `size` bytes. 0: loaded, or nothing to load (no section,
// no records, no record for the SKU; nothing changes). 1: the blob or the
// SKU's record is malformed (an EFS file count above 65536 included, since
// file indexes are 16 bits wide). 12: the table could not be allocated. On 1
// and 12 nothing changes.
KELVRA_EXTERN_C KELVRA_API int load_autogen_data(const uint8_t* blob, uint32_t sku, uint32_t size);

namespace kelvra {
namespace efs {

// Raised by every load that changes the block-map geometry (block-map, valid
// and spare counts, layout id or SKU id). A mount remembers the value it was
// made under and stops counting as mounted once it differs, so arrays sized
// by an earlier geometry are never used with a later one.
uint32_t geometry_generation();

// Number of entries of EFS_files that may be read: the file count, limited
// to the entries the loader allocated when EFS_files is its table, so a file
// count raised behind the loader's back never reads past the table.
uint32_t usable_file_count();

// Test hook: when set, the next table allocations fail (counted down).
extern uint32_t g_fail_table_allocs;

// Restores the library-load defaults of every global above (tests only).
void reset_geometry_for_tests();

// Releases every table that loads have allocated, then restores the defaults
// as above (tests only: a long fuzzing run would otherwise keep them all).
void release_tables_for_tests();

}  // namespace efs
}  // namespace kelvra
