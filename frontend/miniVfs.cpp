// Mini VFS over the selected file table and the DFS layer.
#include "frontend/miniVfs.h"

#include "fcs/FileTable.h"
#include "frontend/dfs.h"

namespace kelvra {
namespace vfs {

uint32_t dfs_number_of(const file_table_entry_t& entry) {
  const uint32_t fileId = static_cast<uint32_t>(entry.file_id) & 0x7FFu;
  const uint32_t fsType = entry.fs_type;
  const uint32_t typeBits = fsType == 1 ? 0u : (fsType << 11);
  const uint32_t top = static_cast<uint32_t>(entry.fileno) & 0xF0000000u;
  return fileId | typeBits | top;
}

}  // namespace vfs
}  // namespace kelvra

extern "C" {

KELVRA_API int32_t pathToFileNumber(const char* name, uint32_t* number) {
  if (number == nullptr) return 1;
  if (name == nullptr) return 2;
  const file_table_entry_t* entry = get_file_entry_by_file_name(name);
  if (entry == nullptr) return 2;
  *number = kelvra::vfs::dfs_number_of(*entry);
  return 0;
}

KELVRA_API int32_t readVfs(const char* name, uint32_t offset, uint8_t* buffer, uint32_t len) {
  if (name == nullptr) return 2;
  const file_table_entry_t* entry = get_file_entry_by_file_name(name);
  if (entry == nullptr) return 2;
  const uint32_t number = kelvra::vfs::dfs_number_of(*entry);
  uint32_t length = len;
  return dfs_read(number, offset, &length, buffer) == 0 ? 0 : 6;
}

KELVRA_API int32_t mini_vfs_init(uint8_t* image, uint32_t size) {
  return dfs_init(image, size) == 0 ? 0 : 1;
}

}  // extern "C"
