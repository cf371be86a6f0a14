// EFS flash file system: a small set of fixed-size files in an image of
// 4096-byte blocks. Block maps at the start of the image say which physical
// data block holds each logical block; every update is written into erased
// spare blocks and made visible by one block-map entry commit.
//
// Image layout (all integers little-endian):
//   block map i (i < bm):   16-byte header, then block-map entries from 16
//   data block p:           16-byte header (erase count, 8 zero bytes,
//                           CRC-32), 4076-byte data area, 4-byte footer
//                           (CRC-32 of the data area)
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/export.h"
#include "efs/EFS_phy_win32.h"
#include "efs/efs_tools_utils.h"

constexpr uint32_t EFS_PAGE_SIZE = 4096;
constexpr uint32_t EFS_HEADER_SIZE = 16;
constexpr uint32_t EFS_DATA_AREA_SIZE = 4076;
constexpr uint32_t EFS_FOOTER_OFFSET = 4092;
constexpr uint32_t EFS_RECORD_HEAD_SIZE = 4;
// Data bytes a block holds behind a record head.
constexpr uint32_t EFS_RECORD_ROOM = 4072;
// Highest offset of a record head inside the data area.
constexpr uint32_t EFS_MAX_RECORD_OFFSET = 4072;
// An entry must end at or before this offset of its block map.
constexpr uint32_t EFS_BM_ENTRY_LIMIT = 4095;
constexpr uint32_t EFS_BM_FIRST_ENTRY = 16;
// Block-map fill level past which idle reclaim erases the next block map.
constexpr uint32_t EFS_BM_ERASE_AHEAD_LEVEL = 2856;
constexpr uint16_t EFS_EMPTY_LENGTH = 0xFFFF;
constexpr uint32_t EFS_RTFD_MARKER = 0x53464452u;  // "RDFS"
constexpr uint32_t EFS_DEFAULT_RETRIES = 7;

// next_bm_state values.
constexpr uint8_t EFS_BM_STATE_UNKNOWN = 0;
constexpr uint8_t EFS_BM_STATE_ERASED = 1;
constexpr uint8_t EFS_BM_STATE_NEEDS_ERASE = 2;
// spare_state values.
constexpr uint8_t EFS_SPARE_DIRTY = 1;
constexpr uint8_t EFS_SPARE_ERASED = 2;

#pragma pack(push, 1)
// Working copy of one block-map entry.
struct efs_bme_t {
  uint8_t* valid_map;  // valid-count bytes: physical block of each logical block
  uint8_t* spare_map;  // spare-count bytes: physical block of each spare slot
  uint32_t a;
  uint32_t b;
  uint32_t crc;
};

// The one EFS volume state.
struct efs_ctx_t {
  uint8_t mounted;
  uint8_t page_buf[4096];
  uint8_t rb_buf[4096];
  uint32_t retries;
  uint8_t bm_switch_pending;
  uint32_t cur_bm;
  uint32_t bm_seq;
  uint8_t next_bm_state;
  uint32_t* ec;
  uint32_t bme_off;
  uint8_t* valid_map;
  uint8_t* spare_map;
  uint32_t bme_a;
  uint32_t bme_b;
  uint32_t bme_crc;
  uint32_t free_spares;
  uint8_t* spare_state;
  uint8_t data_status_known;
};
#pragma pack(pop)

static_assert(sizeof(efs_bme_t) == 2 * sizeof(void*) + 12, "efs_bme_t is packed");
static_assert(offsetof(efs_ctx_t, page_buf) == 1, "page_buf follows mounted");
static_assert(offsetof(efs_ctx_t, retries) == 8193, "retries after both buffers");
static_assert(offsetof(efs_ctx_t, ec) == 8207, "ec after next_bm_state");
static_assert(sizeof(efs_ctx_t) == 8207 + 4 * sizeof(void*) + 4 + 4 * 4 + 1,
              "efs_ctx_t is packed");

KELVRA_EXTERN_C KELVRA_API efs_ctx_t efs_ctx;
// gCrc32_table and gCrc16_table are exported data declared with the host's interface.

// Check values.
KELVRA_EXTERN_C KELVRA_API uint32_t EFS_crc32(uint32_t crc, const uint8_t* buf, uint32_t len);
KELVRA_EXTERN_C KELVRA_API uint16_t EFS_crc16(uint16_t crc, const uint8_t* buf, uint32_t len);

// Verified I/O.
KELVRA_EXTERN_C int EFS_read_and_verify_data_block_header_and_footer(uint32_t block,
                                                                      bool check_footer,
                                                                      bool whole_block);
KELVRA_EXTERN_C int EFS_read_and_verify_file(uint8_t logical_block, uint16_t offset,
                                             bool use_stored_length, uint16_t expected_length);
KELVRA_EXTERN_C KELVRA_API int EFS_write_with_read_check(uint32_t address, uint32_t length,
                                                         const uint8_t* data, bool check_erased);

// Mount, format and block maps.
KELVRA_EXTERN_C KELVRA_API int EFS_init(uint8_t format);
KELVRA_EXTERN_C KELVRA_API int EFS_init_tools(uint8_t* image);
KELVRA_EXTERN_C KELVRA_API uint32_t EFS_get_efs_size(void);
KELVRA_EXTERN_C KELVRA_API int EFS_do_format(void);
KELVRA_EXTERN_C KELVRA_API int EFS_switch_BM(efs_bme_t* entry);
KELVRA_EXTERN_C KELVRA_API int EFS_erase_next_BM(uint32_t index);
KELVRA_EXTERN_C KELVRA_API int EFS_check_next_BM_state(uint32_t index);
KELVRA_EXTERN_C KELVRA_API int EFS_erase(void);
KELVRA_EXTERN_C KELVRA_API int EFS_write_RTFD_marker(void);

// Data blocks, spares and the entry commit.
KELVRA_EXTERN_C KELVRA_API int EFS_scan_for_Data_Blocks_status_and_EC(void);
KELVRA_EXTERN_C KELVRA_API int EFS_select_free_page_for_write(uint32_t* slot);
KELVRA_EXTERN_C KELVRA_API int EFS_erase_dirty_block(void);
KELVRA_EXTERN_C KELVRA_API int EFS_bme_swap_and_write_new_block(efs_bme_t* work, uint32_t logical,
                                                                const uint8_t* data);
KELVRA_EXTERN_C KELVRA_API int EFS_commit_BME(efs_bme_t* work, uint32_t a, uint32_t b);

// Data block erase and data-area writes.
KELVRA_EXTERN_C KELVRA_API int EFS_erase_data_block(uint32_t block, uint32_t erase_count);
KELVRA_EXTERN_C KELVRA_API int EFS_write_data_block(uint32_t block, const uint8_t* data);
KELVRA_EXTERN_C KELVRA_API int EFS_write_data_footer(uint32_t block, const uint8_t* data);

// File operations.
KELVRA_EXTERN_C KELVRA_API int EFS_read(uint32_t file, uint32_t offset, uint32_t* len, uint8_t* buf);
KELVRA_EXTERN_C KELVRA_API int EFS_write(uint32_t file, uint32_t offset, uint32_t len,
                                         const uint8_t* data);
KELVRA_EXTERN_C KELVRA_API int EFS_delete(uint32_t file);
KELVRA_EXTERN_C KELVRA_API int EFS_get_file_size(uint32_t file, uint32_t* size);
KELVRA_EXTERN_C KELVRA_API uint8_t EFS_is_initialized(void);
KELVRA_EXTERN_C KELVRA_API int EFS_wear_leveling(uint32_t a, uint32_t b);
KELVRA_EXTERN_C KELVRA_API int EFS_idle_reclaim(void);

namespace kelvra {
namespace efs {

// Test hooks: the next allocations of each kind fail (counted down).
extern uint32_t g_fail_array_allocs;  // the mount's four arrays
extern uint32_t g_fail_work_allocs;   // working records and entry buffers

// Stops the volume: it no longer counts as mounted and the image layer lets
// go of the image buffer, so nothing reaches a buffer that its owner may
// have released. The next EFS_init_tools starts it again. Not exported.
void stop();

// Stops the volume and releases the arrays of every mount so far (tests only:
// a long fuzzing run would otherwise keep them all).
void release_arrays_for_tests();

}  // namespace efs
}  // namespace kelvra
