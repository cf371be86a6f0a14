// Flash translation layer: 64-byte logical pages over 8192-byte erase units.
// Metadata pages (below data_start) live out of place in log units behind a
// scrambled page map; data pages live in fixed slots of data units; one spare
// unit takes the copy of every reclaim.
//
// Every function takes the volume context first and returns an AFS status
// code (0, 5, 11, 12, 22, 28) or one of the internal results
// FTL_RETRY_AFTER_FLUSH and FTL_NOTHING_RECLAIMED where noted.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"
#include "common/export.h"

// ---- Mount and recovery ----------------------------------------------------
// flags: FTL_INIT_ALLOCATE allocates a fresh state and tables (else the
// context's are reused and reset), FTL_INIT_SET_FLASH first points the flash
// driver at the context's flash_base. Returns 0, 5 or 12.
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_init(afs_context_t* ctx, uint32_t size, uint32_t flags);
// Checks every data unit's status bytes against ctx->cluster_bitmap, counts
// the slots and places the allocation window. Returns 0 or 5.
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_set_allocation_map(afs_context_t* ctx);

// ---- Page I/O and allocation -----------------------------------------------
// The length and partition offset arguments are not used: one 64-byte page
// moves per call, at the context's partition offset.
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_write_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                                           const uint8_t* source, uint32_t partition_offset);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_read_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                                          uint8_t* destination, uint32_t partition_offset);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_trim_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                                          uint32_t partition_offset);
// Reads `count` consecutive data pages starting at `address`; the destination
// must hold 66 bytes per page.
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_read_data_pages(afs_context_t* ctx, uint8_t* destination,
                                                                uint32_t address, uint32_t count);
// Hands out a free cluster number (file_count + data cluster index).
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_allocate_page(afs_context_t* ctx, uint16_t* cluster);
// Data capacity in bytes of the context's partition.
KELVRA_EXTERN_C KELVRA_API uint32_t afs_physical_ftl_get_data_vas(afs_context_t* ctx, uint32_t unused);

// ---- Reclaim and wear levelling (idle entry points) ------------------------
KELVRA_EXTERN_C KELVRA_API bool afs_physical_ftl_idle_reclaim_needed(afs_context_t* ctx, uint32_t* unit,
                                                                     uint32_t* kind);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_idle_reclaim(afs_context_t* ctx);

// ---- Format and maintenance --------------------------------------------------
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_format(afs_context_t* ctx, uint8_t erase_first);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_force_full_reclaim(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_force_dirty_erase(afs_context_t* ctx);
KELVRA_EXTERN_C KELVRA_API int afs_physical_ftl_end_reserved_files_mode(afs_context_t* ctx);

// ---- Internal to the library (not exported) ----------------------------------
// Releases the state with its unit records and page map; sets ctx->ftl to null.
KELVRA_EXTERN_C void ftl_free_state(afs_context_t* ctx);

KELVRA_EXTERN_C int ftl_process_pages(afs_context_t* ctx, uint32_t unit, int current);
KELVRA_EXTERN_C int read_ftl_data_pages(afs_context_t* ctx, uint32_t unit, uint32_t slot, uint32_t count,
                                        uint32_t lpn, uint8_t* destination);
KELVRA_EXTERN_C int reclaim_eu(afs_context_t* ctx, uint32_t unit, bool copy);
KELVRA_EXTERN_C int reclaim_eu_write_eu_header(afs_context_t* ctx, uint32_t target, uint32_t source,
                                               uint32_t target_offset, uint32_t source_offset);
KELVRA_EXTERN_C int ftl_copy_pages(afs_context_t* ctx, uint32_t source_offset, uint32_t target_offset,
                                   uint32_t first_slot, uint32_t count, uint8_t* work, uint8_t* readback,
                                   uint32_t lpn);
// Returns the chosen unit, or FTL_NO_UNIT when there is nothing to choose.
KELVRA_EXTERN_C uint32_t choose_eu_to_reclaim(afs_context_t* ctx, uint32_t kind, bool wear_levelling,
                                              bool* copy, bool idle);
KELVRA_EXTERN_C int reclaim_eu_wrapper(afs_context_t* ctx, uint32_t kind);
