// Write-back cache of logical pages in front of the flash translation layer,
// the operation table through which the file layer reaches that layer, and
// three raw partition operations.
//
// The cache keeps `cache_lines` lines of `line_size` bytes in the context.
// Its directory is a singly linked most-recently-used list: each line's link
// word carries the valid and dirty bits and the index of the next, less
// recently used line; the least recently used line carries the end mark.
// Dirty lines reach the flash least recently used first, so the line marked
// written last is stored last.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"
#include "common/export.h"

// Link word of a directory entry.
#define AFS_CACHE_VALID 0x1u
#define AFS_CACHE_DIRTY 0x2u
#define AFS_CACHE_FLAGS 0x3u
#define AFS_CACHE_END 0xFFFu        // next-line value of the least recently used line
#define AFS_CACHE_END_LINK 0x3FFCu  // link word AND 0xFFFC of the end mark
#define AFS_CACHE_MIN_LINES 2u
#define AFS_CACHE_MAX_LINES 1000u
// The translation layer moves exactly one page of this size per call.
#define AFS_CACHE_LINE_SIZE 64u

// The one operation table of the library: the translation layer's page
// operations and maintenance steps.
KELVRA_EXTERN_C KELVRA_API const afs_physical_handler_t afs_physical_spi_handler;

// Creates or re-creates the cache with `lines` lines of `line_size` bytes.
// The new buffers are allocated before the old ones are written back and
// released, so a failure keeps the old cache. Does not store the line size.
// Returns 0, 12 (out of memory), 22 (no context or unusable geometry), 99
// (a directory without a data area or the reverse) or a failed write-back.
KELVRA_EXTERN_C KELVRA_API int cache_init(afs_context_t* ctx, uint32_t line_size, uint16_t lines);
// Makes logical page `page` resident and hands out a pointer to its line.
// Refuses with 99 when the context holds no cache, 22 without a context.
KELVRA_EXTERN_C KELVRA_API int cache_ptr(afs_context_t* ctx, uint16_t page, uint8_t** line);
// Marks the line that contains `pointer` dirty and most recently used.
KELVRA_EXTERN_C KELVRA_API void cache_line_written(afs_context_t* ctx, const uint8_t* pointer);
// Stores every dirty line, least recently used first.
KELVRA_EXTERN_C KELVRA_API int cache_flush(afs_context_t* ctx);
// Forgets the content of every line; pending changes are discarded.
KELVRA_EXTERN_C KELVRA_API void cache_invalidate(afs_context_t* ctx);
// Re-sizes the cache of a mounted volume (dirty lines are stored first).
// Over the translation layer only 64-byte lines work; other sizes give 22.
KELVRA_EXTERN_C KELVRA_API int afs_setcache(afs_context_t* ctx, int line_size, int lines);

// Raw partition access without translation: logical address = partition
// offset + address. Nothing in the library uses them.
KELVRA_EXTERN_C KELVRA_API int afs_sub_pt_read(afs_context_t* ctx, uint32_t address, uint32_t length,
                                               uint8_t* destination, uint32_t partition_offset);
KELVRA_EXTERN_C KELVRA_API int afs_sub_pt_write(afs_context_t* ctx, uint32_t address, uint32_t length,
                                                const uint8_t* source, uint32_t partition_offset);
KELVRA_EXTERN_C KELVRA_API int afs_sub_pt_trim(afs_context_t* ctx, uint32_t address, uint32_t length,
                                               uint32_t partition_offset);
