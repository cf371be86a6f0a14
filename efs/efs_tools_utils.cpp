#include "efs/efs_tools_utils.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/le.h"
#include "common/status.h"

extern "C" {
KELVRA_API uint32_t g_efs_bm_num = 2;
KELVRA_API uint32_t g_efs_valid_block_num = 7;
KELVRA_API uint32_t g_efs_non_valid_block_num = 3;
KELVRA_API uint32_t g_efs_files_num = 16;
KELVRA_API uint32_t g_efs_wear_leveling_threshold = 100;
KELVRA_API uint8_t g_efs_layout_id = 0;
KELVRA_API uint8_t g_efs_sku_id = 0;
KELVRA_API uint8_t g_efs_autogen_data_loaded = 0;
KELVRA_API efs_file_entry_t* EFS_files = nullptr;
}

namespace kelvra {
namespace efs {

uint32_t g_fail_table_allocs = 0;

namespace {

constexpr uint32_t FTBL_MAGIC = 0x4C425446u;  // "FTBL"
constexpr uint32_t EFST_MAGIC = 0x54534645u;  // "EFST"
constexpr uint64_t FTBL_ENTRY_SIZE = 16;
constexpr uint64_t EFST_HEADER_SIZE = 16;
constexpr uint64_t EFST_SKU_RECORD_SIZE = 40;
constexpr uint64_t EFST_FILE_RECORD_SIZE = 60;
// File indexes are 16 bits wide.
constexpr uint32_t EFS_MAX_FILES = 0x10000u;

uint32_t s_generation = 0;
// The loader's current table and its entry count.
efs_file_entry_t* s_table = nullptr;
uint32_t s_table_entries = 0;

// Tables are never released (a caller may still hold the address of an
// earlier one); they stay reachable from here for the life of the process.
std::vector<efs_file_entry_t*>& retained_tables() {
  static auto* tables = new std::vector<efs_file_entry_t*>();
  return *tables;
}

// Allocates a zeroed table of `count` entries, or null.
efs_file_entry_t* allocate_table(uint32_t count) {
  if (g_fail_table_allocs > 0) {
    --g_fail_table_allocs;
    return nullptr;
  }
  uint64_t bytes = static_cast<uint64_t>(count) * sizeof(efs_file_entry_t);
  if (bytes > SIZE_MAX) return nullptr;
  // At least one byte so an empty table is still a distinct, non-null table.
  size_t n = bytes == 0 ? 1 : static_cast<size_t>(bytes);
  auto* table = static_cast<efs_file_entry_t*>(std::calloc(1, n));
  if (table == nullptr) return nullptr;
  try {
    retained_tables().push_back(table);
  } catch (...) {
    std::free(table);
    return nullptr;
  }
  return table;
}

}  // namespace

uint32_t geometry_generation() { return s_generation; }

uint32_t usable_file_count() {
  if (EFS_files != nullptr && EFS_files == s_table && g_efs_files_num > s_table_entries)
    return s_table_entries;
  return g_efs_files_num;
}

void reset_geometry_for_tests() {
  g_efs_bm_num = 2;
  g_efs_valid_block_num = 7;
  g_efs_non_valid_block_num = 3;
  g_efs_files_num = 16;
  g_efs_wear_leveling_threshold = 100;
  g_efs_layout_id = 0;
  g_efs_sku_id = 0;
  g_efs_autogen_data_loaded = 0;
  EFS_files = nullptr;
  s_table = nullptr;
  s_table_entries = 0;
  g_fail_table_allocs = 0;
  ++s_generation;
}

void release_tables_for_tests() {
  auto& tables = retained_tables();
  for (efs_file_entry_t* t : tables) std::free(t);
  tables.clear();
  reset_geometry_for_tests();
}

}  // namespace efs
}  // namespace kelvra

using kelvra::range_fits;
namespace le = kelvra::le;

// Every offset and count of the blob is checked before any global changes,
// so a refused blob leaves the previous geometry and table fully in force.
int load_autogen_data(const uint8_t* blob, uint32_t sku, uint32_t size) {
  using namespace kelvra::efs;
  if (blob == nullptr || size < 16) return kelvra::ST_NOT_MOUNTED;
  if (le::get32(blob) != FTBL_MAGIC) return kelvra::ST_NOT_MOUNTED;

  const uint64_t efst = (static_cast<uint64_t>(le::get32(blob + 12)) + 1) * FTBL_ENTRY_SIZE;
  if (size < efst) return kelvra::ST_NOT_MOUNTED;
  // A section too short to hold its magic cannot be an EFST section.
  if (!range_fits(efst, 4, size)) return kelvra::ST_OK;
  if (le::get32(blob + efst) != EFST_MAGIC) return kelvra::ST_OK;
  if (!range_fits(efst, EFST_HEADER_SIZE, size)) return kelvra::ST_NOT_MOUNTED;

  const uint32_t records = le::get32(blob + efst + 12);
  if (records == 0) return kelvra::ST_OK;

  const uint8_t* rec = nullptr;
  for (uint64_t i = 0; i < records; ++i) {
    const uint64_t at = efst + EFST_HEADER_SIZE + i * EFST_SKU_RECORD_SIZE;
    // The walk may not leave the blob before it finds the SKU.
    if (!range_fits(at, EFST_SKU_RECORD_SIZE, size)) return kelvra::ST_NOT_MOUNTED;
    if (le::get32(blob + at) == sku) {
      rec = blob + at;
      break;
    }
  }
  if (rec == nullptr) return kelvra::ST_OK;

  const uint32_t file_off = le::get32(rec + 4);
  const uint32_t file_count = le::get32(rec + 8);
  const uint32_t file_bytes = le::get32(rec + 12);
  const uint32_t bm = le::get32(rec + 16);
  const uint32_t valid = le::get32(rec + 20);
  const uint32_t spare = le::get32(rec + 24);
  const uint32_t files_num = le::get32(rec + 28);
  const uint32_t threshold = le::get32(rec + 32);
  const uint8_t layout = static_cast<uint8_t>(le::get32(rec + 36));

  if (static_cast<uint64_t>(file_bytes) > EFST_FILE_RECORD_SIZE * file_count) {
    return kelvra::ST_NOT_MOUNTED;
  }
  // EFS names a file by a 16-bit index: a larger file count describes no
  // volume and would only size a table that no index can reach.
  if (files_num > EFS_MAX_FILES) return kelvra::ST_NOT_MOUNTED;
  if (file_off > size) return kelvra::ST_NOT_MOUNTED;
  if (!range_fits(file_off, EFST_FILE_RECORD_SIZE * file_count, size)) {
    return kelvra::ST_NOT_MOUNTED;
  }
  for (uint64_t i = 0; i < file_count; ++i) {
    const uint16_t index = le::get16(blob + file_off + i * EFST_FILE_RECORD_SIZE);
    if (index >= files_num) return kelvra::ST_NOT_MOUNTED;
  }

  efs_file_entry_t* table = allocate_table(files_num);
  if (table == nullptr) return kelvra::ST_NOMEM;

  for (uint64_t i = 0; i < file_count; ++i) {
    const uint8_t* fr = blob + file_off + i * EFST_FILE_RECORD_SIZE;
    efs_file_entry_t& e = table[le::get16(fr)];
    e.block = static_cast<uint8_t>(le::get16(fr + 50));
    e.offset = le::get16(fr + 52);
    e.max_size = le::get16(fr + 54);
    e.flags[0] = EFS_FILE_DEFINED;
    e.flags[1] = 0;
    e.flags[2] = 0;
  }

  const uint8_t sku_id = static_cast<uint8_t>(sku);
  const bool geometry_changed = bm != g_efs_bm_num || valid != g_efs_valid_block_num ||
                                spare != g_efs_non_valid_block_num ||
                                layout != g_efs_layout_id || sku_id != g_efs_sku_id;
  g_efs_bm_num = bm;
  g_efs_valid_block_num = valid;
  g_efs_non_valid_block_num = spare;
  g_efs_files_num = files_num;
  g_efs_wear_leveling_threshold = threshold;
  g_efs_layout_id = layout;
  EFS_files = table;
  s_table = table;
  s_table_entries = files_num;
  g_efs_sku_id = sku_id;
  g_efs_autogen_data_loaded = 1;
  if (geometry_changed) ++s_generation;
  return kelvra::ST_OK;
}
