// Mini VFS: names files by their file-table name and turns a name into the
// DFS file number that the DFS layer routes to AFS or EFS.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "fcs/FcsTypes.h"

extern "C" {

// 0 and the number written; 1 for a null number pointer; 2 for a name that
// the selected file table lacks.
KELVRA_API int32_t pathToFileNumber(const char* name, uint32_t* number);
// 0 when the read succeeded; 2 for an unknown name; 6 when the DFS read failed.
KELVRA_API int32_t readVfs(const char* name, uint32_t offset, uint8_t* buffer, uint32_t len);
// 0 when the MFS image mounted, else 1.
KELVRA_API int32_t mini_vfs_init(uint8_t* image, uint32_t size);

}  // extern "C"

namespace kelvra {
namespace vfs {

// The DFS file number of a file-table entry: file id (11 bits), the
// file-system type shifted to bit 11 (type 1 adds nothing, so it addresses
// AFS like type 0) and the top four bits of the entry's file number.
uint32_t dfs_number_of(const file_table_entry_t& entry);

}  // namespace vfs
}  // namespace kelvra
