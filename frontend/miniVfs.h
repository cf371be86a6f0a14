// Mini VFS: names files by their file-table name and turns a name into the
// DFS file number that the DFS layer routes to AFS or EFS.
#pragma once

#include <cstdint>

#include "include/KelvraStorageLib.h"
#include "fcs/FcsTypes.h"

// pathToFileNumber, readVfs and mini_vfs_init are declared with the host's
// interface.

namespace kelvra {
namespace vfs {

// The DFS file number of a file-table entry: file id (11 bits), the
// file-system type shifted to bit 11 (type 1 adds nothing, so it addresses
// AFS like type 0) and the top four bits of the entry's file number.
uint32_t dfs_number_of(const file_table_entry_t& entry);

}  // namespace vfs
}  // namespace kelvra
