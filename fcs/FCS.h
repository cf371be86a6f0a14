// FCS tables: handles that hold one table as an image file tree, the reader
// that fills a handle from an FCS buffer and the writer (flush) that
// serialises it again. Every file that enters a handle is validated against
// the selected file table (fcs/FileTable.h).
//
// FCS buffer (little-endian, packed): u32 record count N, N 12-byte
// _cfg_file_entry_t headers, then the payload area. flush writes the records
// in name order with the payloads packed back to back in the same order.
//
// Status codes: kelvra::FcsStatus (fcs/FcsTypes.h).
#pragma once

#include <cstdint>

#include "common/export.h"
#include "fcs/FcsTypes.h"
#include "fcs/FileTable.h"

// Creates an empty handle into *slot (the slot's old value is not looked at).
// 0, 1 null slot, 9 allocation failed.
KELVRA_EXTERN_C KELVRA_API int createHandle(void** slot);
// Frees the handle in *slot with all its files and clears the slot.
// 0, 1 null slot, 6 the slot holds null.
KELVRA_EXTERN_C KELVRA_API int closeHandle(void** slot);

// Rewind / advance the name walk and copy the name with its NUL into `name`
// (49 bytes suffice). 0, 1 null `name`, 3 no more files, 6 null handle.
KELVRA_EXTERN_C KELVRA_API int getFirstFileInRoot(void* handle, char* name);
KELVRA_EXTERN_C KELVRA_API int getNextFile(void* handle, char* name);

// Copies the named file's whole record (header + payload) to `out` when
// *room holds it; *room receives the record size on 0 and 5.
// 0, 1 null pointer, 4 not in the tree, 5 room too small, 6 null handle.
KELVRA_EXTERN_C KELVRA_API int getFileData(void* handle, const char* name, uint8_t* out,
                                           uint32_t* room);

// Writes the file's header, then its file-table attributes and maximum size.
// 0, 1 null pointer, 4 not in the tree, 6 null handle, 8 name not in the file
// table (the header is already written then).
KELVRA_EXTERN_C KELVRA_API int getFileAttributes(void* handle, const char* name,
                                                 file_attribute_record_t* out);

// Adds a copy of the record (header + payload, `size` bytes) under `name`.
// A file number of 0 in the record is replaced, in the caller's record, by
// the number of the file-table entry of that name. The directory takes no
// part. 0, 1, 2, 4, 5, 6, 8, 9, 11, 12 (see FcsStatus).
KELVRA_EXTERN_C KELVRA_API int addNewFile(void* handle, const char* directory, const char* name,
                                          void* record, uint32_t size, bool checkMax);

// Removes the file named by the path's first '/'-separated part.
// 0, 4 not removed, 6 null handle.
KELVRA_EXTERN_C KELVRA_API int deleteFile(void* handle, const char* path);

// True exactly when the pointer is not null.
KELVRA_API bool validateAttributs(_cfg_file_entry_t* record);

// Fills `handle` from the FCS buffer; false when the buffer is malformed or a
// record is refused (files added before stay in the handle).
KELVRA_API bool loadDataFromFcsBuffer(void* handle, void* buffer, unsigned int length);

// Creates a handle into *slot and fills it from the buffer. 0, 1 null
// argument, 9, 10 buffer rejected (no handle left, slot cleared).
KELVRA_EXTERN_C KELVRA_API int createHandleFromStructure(void** slot, void* buffer, uint32_t length);

// Serialises the handle into `out`. *room holds the bytes available on entry
// and the serialised length on 0 and 5. 0, 1 null room (or null out with
// enough room), 5 too small (nothing written), 6 null handle.
KELVRA_EXTERN_C KELVRA_API int flush(void* handle, uint8_t* out, uint32_t* room);

namespace kelvra {
namespace fcs {

// Length of an FCS buffer of `count` records with `payload` payload bytes,
// or false when it cannot be represented in 32 bits.
bool fcs_buffer_size(uint64_t count, uint64_t payload, uint32_t* needed);

// Test hooks: when non-zero, the next file-node creations in addNewFile, or
// the next handle allocations in createHandle, fail (counted down).
extern uint32_t g_fail_file_creations;
extern uint32_t g_fail_handle_creations;

}  // namespace fcs
}  // namespace kelvra
