// Types shared by the AFS layers: the volume context, the translation layer's
// in-memory state, the erase-unit header layout and the translation layer's
// constants. Plain C-compatible structures; the functions that use them are
// exported with C linkage.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Erase units and pages
// ---------------------------------------------------------------------------
#define AFS_EU_SIZE 8192u            // bytes per erase unit
#define AFS_EU_HALF 4096u            // an erase unit is erased as two blocks
#define AFS_PAGE_SIZE 64u            // bytes per logical page
#define AFS_SLOT_SIZE 66u            // a page plus its 16-bit check value
#define AFS_MAX_EU 255u              // the unit count is kept in 8 bits

#define AFS_EU_MAGIC 0xAA557887u     // a live unit
#define AFS_EU_MAGIC_ALT1 0x82416801u  // accepted, never written
#define AFS_EU_MAGIC_ALT2 0xAA050887u  // accepted, never written
#define AFS_EU_HEADER_SIZE 18u
#define AFS_EU_STATE_OFFSET 17u
#define AFS_EU_STATE_UNCOMMITTED 0xFFu
#define AFS_EU_STATE_COMMITTED 0x00u

// Log units: page map of 121 entries, 120 slots.
#define AFS_LOG_SLOTS 120u
#define AFS_LOG_MAP_OFFSET 18u
#define AFS_LOG_MAP_ENTRIES 121u
#define AFS_LOG_SLOT_OFFSET 260u
#define AFS_LOG_ENTRY_ERASED 0xFFFFu
#define AFS_LOG_ENTRY_END 0x7FFFu
#define AFS_LOG_COMMIT_BYTE 0x7Fu

// Data units: 122 status bytes, 122 slots.
#define AFS_DATA_SLOTS 122u
#define AFS_DATA_STATUS_OFFSET 18u
#define AFS_DATA_SLOT_OFFSET 140u
#define AFS_DATA_BLOCK_BYTES 7808u   // 122 x 64 bytes of data per block
#define AFS_STATUS_FREE 0xFFu
#define AFS_STATUS_WRITING 0x7Fu
#define AFS_STATUS_WRITTEN 0x00u

// Copy runs in a reclaim hold at most 62 slots (62 x 66 = 4092 bytes).
#define AFS_RUN_MAX 62u

// Attempts of a verified write's read-back and of a checked read.
#define AFS_FTL_ATTEMPTS 7u

// Internal results of the translation layer.
#define FTL_RETRY_AFTER_FLUSH 0xFFFD
#define FTL_NOTHING_RECLAIMED 0x9797

// Flags of afs_physical_ftl_init.
#define FTL_INIT_ALLOCATE 0x10000u
#define FTL_INIT_SET_FLASH 0x20000u

// Markers.
#define FTL_NO_UNIT 0xFFFFFFFFu
#define FTL_NO_WINDOW 0xFFFFFFFFu
#define FTL_NO_SPARE 0xFFu
#define FTL_PAGE_UNMAPPED 0xFFFFu

// Reclaim kinds.
#define FTL_KIND_LOG 0u
#define FTL_KIND_DATA 1u
#define FTL_KIND_ANY 2u

// ---------------------------------------------------------------------------
// Erase-unit header: 18 bytes at offset 0 of every unit. The layout is fixed;
// it is read and written field by field through the little-endian helpers,
// never by casting a pointer over the flash.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct afs_eu_header_t {
  uint32_t magic;
  uint32_t sequence;
  uint32_t erase_count;
  uint16_t spare;        // the unit that became the spare when this was written
  uint16_t first_page;   // 0 for a log unit, lpn of slot 0 for a data unit
  uint8_t check;         // crc8 over bytes 0..15 with AFS_EU_MAGIC as magic
  uint8_t state;         // 0xFF uncommitted, 0x00 committed
};
#pragma pack(pop)
static_assert(sizeof(afs_eu_header_t) == 18, "erase-unit header is 18 bytes");
static_assert(offsetof(afs_eu_header_t, sequence) == 4, "header layout");
static_assert(offsetof(afs_eu_header_t, erase_count) == 8, "header layout");
static_assert(offsetof(afs_eu_header_t, spare) == 12, "header layout");
static_assert(offsetof(afs_eu_header_t, first_page) == 14, "header layout");
static_assert(offsetof(afs_eu_header_t, check) == 16, "header layout");
static_assert(offsetof(afs_eu_header_t, state) == 17, "header layout");

// One record per erase unit, in memory only.
struct afs_eu_record_t {
  uint32_t seq;          // header sequence (0 once retired as spare)
  uint32_t erase_count;  // header erase count
  uint16_t first_page;   // 0 for log units and the spare
  uint8_t not_live;      // slots without a live page (dead plus free)
  uint8_t free_count;    // data: erased slots; log: 1 while empty
};

// One entry per metadata page: where its newest copy lives.
struct afs_page_map_entry_t {
  uint8_t unit;  // 0xFF = not mapped
  uint8_t slot;  // 0xFF = not mapped
};

// The translation layer's state, one per context.
struct afs_ftl_state_t {
  uint32_t sequence;
  uint32_t log_eu;
  uint32_t log_slot;
  uint32_t alloc_next;
  uint32_t alloc_end;
  afs_eu_record_t* eu_records;
  afs_page_map_entry_t* page_map;
  uint16_t spare_eu;
  uint16_t prev_lpn;
  uint8_t check_status;
  uint8_t alloc_retry;
  uint8_t eu_count;
  uint8_t first_data_eu;
  uint8_t full_reclaim_cursor;
  // Set when a write or reclaim failed part-way and the in-memory maps may no
  // longer match the flash: every later write and allocation fails with 5
  // until the next mount rebuilds the state from the flash.
  uint8_t write_failed;
  // Entries in page_map (metadata pages of the geometry it was built for).
  uint32_t page_map_entries;
};

// ---------------------------------------------------------------------------
// Page cache and operation table
// ---------------------------------------------------------------------------
struct afs_cache_line_t {
  uint16_t link;  // bit 0 valid, bit 1 dirty, bits 2..15 next line
  uint16_t page;  // logical page number held
};

struct afs_context_t;

struct afs_physical_handler_t {
  int (*read_page)(afs_context_t* ctx, uint32_t address, uint32_t length, uint8_t* destination,
                   uint32_t partition_offset);
  int (*write_page)(afs_context_t* ctx, uint32_t address, uint32_t length, const uint8_t* source,
                    uint32_t partition_offset);
  int (*trim_page)(afs_context_t* ctx, uint32_t address, uint32_t length, uint32_t partition_offset);
  int (*force_full_reclaim)(afs_context_t* ctx);
  int (*force_dirty_erase)(afs_context_t* ctx);
};

// ---------------------------------------------------------------------------
// The volume context
// ---------------------------------------------------------------------------
struct afs_context_t {
  uint32_t data_start;
  uint32_t partition_offset;
  uint32_t partition_size;
  uint32_t volume_size;
  uint32_t header_info;
  uint32_t last_fat_page;
  afs_ftl_state_t* ftl;
  const afs_physical_handler_t* ops;
  uint32_t* cluster_bitmap;
  afs_cache_line_t* cache_dir;
  uint16_t lru_head;
  uint32_t* file_size_table;
  uint8_t* cache_data;
  uint8_t* staging_buffer;
  uint16_t cluster_count;
  uint16_t line_size;
  uint16_t cache_lines;
  uint16_t file_count;
  uint8_t allocator_ready;
  uint8_t no_bitmap;
  uint8_t idle_reclaim_enabled;
  uint8_t* flash_base;
};
