// The SKU's file table, selected from the host's "FTBL" blob, and the lookups
// by name and by file number.
//
// Blob layout (little-endian, unaligned): magic "FTBL" at 0, SKU entry count
// (0..10) at 12, 16-byte SKU entries from 16 ({sku_id, table_offset,
// file_count, -}), then an optional EFST section. A SKU's table is an array
// of 68-byte file_table_entry_t at table_offset.
//
// The selected entries are copied into storage that the library owns, so a
// selection stays valid after the caller frees or replaces its blob; the
// pointers the lookups return stay valid until the next selection.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "fcs/FcsTypes.h"

// Selected file table (exported data, declared with the host's interface).
// g_table_buf points at the library's copy of the selected entries;
// g_table_num_files <= 0 means an empty table. g_dfs_sku is the SKU of the
// last selection, 0xFFFFFFFF before the first.

// Selects the table of `sku` from the blob of `size` bytes, then loads the
// EFS geometry from the blob's EFST section. 0 success, 1 refused or the
// EFST load failed (a selection made before that failure stays in force).
KELVRA_EXTERN_C KELVRA_API int load_file_table(const void* blob, uint32_t sku, uint32_t size);

// First entry whose name equals `name` over at most 48 bytes, or null.
KELVRA_EXTERN_C KELVRA_API file_table_entry_t* get_file_entry_by_file_name(const char* name);

// 0 and the entry's number written; -1 when no entry matches.
KELVRA_API int get_fileno_by_file_name(const char* name, fileno_t* out);
// First entry with that number, or null.
KELVRA_API file_table_entry_t* get_file_entry_by_fileno(const fileno_t* number);
// 0 and all 48 bytes of the entry's name copied (no terminator added); -1
// when no entry has that number.
KELVRA_API int get_file_name_by_fileno(const fileno_t* number, char* out);
// 0 and the entry's attributes and maximum size written; -1 when no entry
// matches or max_size is null (nothing written then).
KELVRA_API int get_file_attributes_by_file_name(const char* name, file_attributes_t* attributes,
                                                unsigned int* max_size);

namespace kelvra {
namespace fcs {

// The selected entries as a range; empty when nothing is selected.
const file_table_entry_t* table_begin();
const file_table_entry_t* table_end();

// The first selected entry whose name equals `name` over at most 48 bytes
// (as strncmp with a limit of 48), or null; `name` must not be null.
file_table_entry_t* find_entry_by_name(const char* name);
// The first selected entry with that file number, or null.
file_table_entry_t* find_entry_by_number(fileno_t number);

// Test hook: when non-zero, the next selections fail to allocate their copy
// (counted down).
extern uint32_t g_fail_table_copies;

// Drops the selection and restores the load-time state (tests only).
void reset_file_table_for_tests();

}  // namespace fcs
}  // namespace kelvra
