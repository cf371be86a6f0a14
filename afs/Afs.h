// AFS volume: a small file system over the logical address space that the
// flash translation layer keeps. Layout of the space:
//
//   0                volume header (14 bytes)
//   14               table of 16-bit entries: one slot per file, then one
//                    link per cluster
//   data_start       data area of 64-byte clusters
//
// A file's slot names the first cluster of its chain; each cluster's entry
// names the next cluster or, with a value of 1 to 64, ends the chain holding
// that many bytes. Files are written copy-on-write: the clusters a write
// touches get new copies, the new chain is linked tail first and the one link
// that makes it part of the file is stored last.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"
#include "common/export.h"

// ---- Volume header ---------------------------------------------------------
#define AFS_VOLUME_MAGIC 0x724F6201u
#define AFS_VOLUME_HEADER_SIZE 14u
#define AFS_TABLE_OFFSET 14u          // logical address of table entry 0
#define AFS_CLUSTER_SIZE 64u
#define AFS_MIN_FILE_COUNT 65u        // keeps end values 1..64 apart from cluster numbers
#define AFS_MAX_FILE_COUNT 2048u
#define AFS_MIN_PARTITION 0x8000u
#define AFS_MAX_PARTITION 0x200000u
#define AFS_STAGING_SIZE 4096u        // the caller's staging buffer

// ---- Table entry values ----------------------------------------------------
#define AFS_SLOT_ABSENT 0x0000u
#define AFS_SLOT_ZOMBIE 0xFFFEu
#define AFS_SLOT_EMPTY 0xFFFFu
#define AFS_NO_SIZE 0xFFFFFFFFu       // size-table value of an absent or zombie slot

// ---- Mount flags -----------------------------------------------------------
#define AFS_INIT_SIZE_TABLE 0x1u
#define AFS_INIT_FTL 0x4u
#define AFS_INIT_NO_BITMAP 0x8u
#define AFS_INIT_CREATE 0x10u
#define AFS_INIT_START_FTL 0x20u
#define AFS_INIT_ZERO_CONTEXT 0x40u
#define AFS_INIT_PREFETCH 0x80u
#define AFS_INIT_FORCE_FORMAT 0x100u
#define AFS_INIT_SET_FLASH 0x20000u
#define AFS_INIT_FORMAT 0x40000u
#define AFS_INIT_FORMAT_ERASE 0x80000u
#define AFS_INIT_MODE_MASK 0x6u       // (flags AND 6) must equal AFS_INIT_FTL

// ---- Write flags -----------------------------------------------------------
#define AFS_WRITE_TRUNCATE 0x1u
#define AFS_MAX_FILE_EXTENT 0x40000u  // no write reaches beyond this byte

// ---- Mount and release -----------------------------------------------------
// Mounts the volume in the partition [partition_offset, partition_offset +
// partition_size) of the flash at flash_base. Returns an AFS status code:
// 0, 5 (no or corrupt volume, translation layer not startable), 12, 22, or
// a failure of the translation layer. Creation (AFS_INIT_CREATE or
// AFS_INIT_FORCE_FORMAT) sizes the volume from the translation layer's data
// capacity, so a created volume mounts again with the library's own flags.
KELVRA_EXTERN_C KELVRA_API int afs_init(afs_context_t* ctx, uint8_t* flash_base, uint32_t line_size,
                                        uint32_t cache_lines, uint32_t file_count, uint32_t partition_offset,
                                        uint32_t partition_size, uint32_t flags, uint8_t header_byte4,
                                        uint32_t header_bits12);
// Releases the bitmap, the size table, the cache and the translation layer's
// state. The staging buffer and the context stay the caller's.
KELVRA_EXTERN_C KELVRA_API void afs_free_context(afs_context_t* ctx);
// Releases the size table; sizes are then computed from the chains.
KELVRA_EXTERN_C KELVRA_API void afs_free_file_size_table(afs_context_t* ctx);

// ---- File operations (a file is addressed by its slot index) ---------------
// Every operation refuses a missing context, or one whose mount failed, with
// 22 (the two queries answer false).
KELVRA_EXTERN_C KELVRA_API int afs_getfilesize(afs_context_t* ctx, int id, uint32_t* size);
// *length: requested bytes on entry, delivered bytes on success.
KELVRA_EXTERN_C KELVRA_API int afs_readfile(afs_context_t* ctx, int id, uint32_t offset, uint32_t* length,
                                            uint8_t* buffer);
KELVRA_EXTERN_C KELVRA_API int afs_writefile(afs_context_t* ctx, int id, uint32_t offset, uint32_t length,
                                             const uint8_t* data, uint32_t flags);
KELVRA_EXTERN_C KELVRA_API int afs_deletefile(afs_context_t* ctx, int id);
KELVRA_EXTERN_C KELVRA_API int afs_mark_zombie_file(afs_context_t* ctx, uint32_t id);

// ---- Reclaim controls ------------------------------------------------------
KELVRA_EXTERN_C KELVRA_API int afs_idle_reclaim(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API bool afs_idle_reclaim_needed(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API bool afs_get_idle_reclaim_enabled(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API void afs_set_idle_reclaim_enabled(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API int afs_force_full_reclaim(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API int afs_force_dirty_erase(afs_context_t* ctx);

// ---- Internal to the library (not exported) --------------------------------
// Reads table entry `index` (a file slot or a cluster) through the cache and
// checks its value; a walk that reaches cluster_count steps gives 5.
int afs_get_next_cid(afs_context_t* ctx, uint16_t index, uint16_t* value);
// Moves the release walk to the table page of cluster file_count + k and
// trims the page it leaves when none of that page's clusters is in use.
void afs_trim_fat_page_if_needed(afs_context_t* ctx, uint16_t k);
// Hands out a free cluster (or FTL_RETRY_AFTER_FLUSH, 28, a failure).
int afs_allocate_chunk(afs_context_t* ctx, uint16_t* cluster);
// Releases clusters starting at `first`: at most `count`, taken from `list`
// when given, else by following the chain.
int afs_release_resources(afs_context_t* ctx, uint16_t first, uint32_t count, const uint16_t* list,
                          uint32_t invalidate);
// True for a context whose last mount succeeded and that still holds its
// cache and translation-layer state.
bool afs_context_mounted(const afs_context_t* ctx);

namespace kelvra {
namespace afs {
// Geometry derived from a volume size and a file count.
struct VolumeGeometry {
  uint32_t volume_size;
  uint32_t data_start;
  uint16_t cluster_count;
  uint16_t file_count;
};
// Computes the geometry of a volume header's values; false when they cannot
// describe a volume inside a partition of `partition_size` bytes.
bool geometry_from_header(uint32_t volume_size, uint32_t file_count, uint32_t partition_size,
                          VolumeGeometry* out);
// The geometry that a newly created volume gets: its data area is exactly
// what the data units of a partition of `partition_size` bytes hold, and its
// header and table fit the remaining log units.
bool geometry_for_creation(uint32_t partition_size, uint32_t data_capacity, uint32_t file_count,
                           VolumeGeometry* out);
// The process-wide step counter of chain walks.
extern uint32_t chunk_cntr;
}  // namespace afs
}  // namespace kelvra
