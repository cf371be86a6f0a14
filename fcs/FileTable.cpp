// Selection of the SKU's file table from the FTBL blob, and the lookups.

#include "fcs/FileTable.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/le.h"
#include "efs/efs_tools_utils.h"

file_table_entry_t* g_table_buf = nullptr;
int32_t g_table_num_files = 0;
uint32_t g_dfs_sku = 0xFFFFFFFFu;

namespace kelvra {
namespace fcs {

uint32_t g_fail_table_copies = 0;

namespace {

constexpr uint32_t FTBL_MAGIC = 0x4C425446u;  // "FTBL"
constexpr uint32_t FTBL_MIN_SIZE = 1024;
constexpr uint32_t FTBL_MAX_SKUS = 10;
constexpr uint32_t FTBL_SKU_COUNT_OFF = 12;
constexpr uint32_t FTBL_SKUS_OFF = 16;
constexpr uint32_t FTBL_SKU_SIZE = 16;

// Decodes one stored 68-byte entry field by field.
void decode_entry(const uint8_t* p, file_table_entry_t* e) {
  std::memcpy(e->name, p, FTBL_NAME_SIZE);
  e->fileno = le::get32(p + ftbl_off::FILENO);
  e->attributes = le::get16(p + ftbl_off::ATTRIBUTES);
  std::memcpy(e->reserved0, p + ftbl_off::RESERVED0, sizeof e->reserved0);
  e->file_id = le::get16(p + ftbl_off::FILE_ID);
  std::memcpy(e->reserved1, p + ftbl_off::RESERVED1, sizeof e->reserved1);
  e->fs_type = p[ftbl_off::FS_TYPE];
  e->max_size = le::get32(p + ftbl_off::MAX_SIZE);
}

// The selected entries sorted by name and by number, each as positions into
// the selection. Among entries of equal key the lower position sorts first,
// so a binary search finds the entry that a scan from entry 0 would. Built
// for the selection that `base` and `count` describe; a selection that no
// longer matches them (the exported globals were changed) is indexed afresh.
// Without memory for an index the lookups scan, as they always could.
struct TableIndex {
  const file_table_entry_t* base = nullptr;
  int32_t count = 0;
  std::vector<int32_t> byName;
  std::vector<int32_t> byNumber;
};

TableIndex& table_index() {
  // Never destroyed: lookups may run during static destruction.
  static auto* index = new TableIndex();
  return *index;
}

// The lookups' comparison: strncmp over at most 48 bytes. Its sign is a
// total order on the names as it reads them (unsigned bytes up to a NUL or
// the 48th byte), and it is 0 exactly for the names it finds equal.
int compare_names(const char* a, const char* b) { return std::strncmp(a, b, FTBL_NAME_SIZE); }

void forget_index() {
  TableIndex& index = table_index();
  index.base = nullptr;
  index.count = 0;
  index.byName.clear();
  index.byNumber.clear();
}

// The index of the current selection, or null when it cannot be built.
const TableIndex* current_index() {
  TableIndex& index = table_index();
  const file_table_entry_t* base = table_begin();
  const int32_t count = base == nullptr ? 0 : g_table_num_files;
  if (index.base == base && index.count == count) return &index;
  try {
    index.byName.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) index.byName[static_cast<size_t>(i)] = i;
    index.byNumber = index.byName;
  } catch (const std::bad_alloc&) {
    forget_index();
    return nullptr;
  }
  std::sort(index.byName.begin(), index.byName.end(), [base](int32_t a, int32_t b) {
    const int order = compare_names(base[a].name, base[b].name);
    return order < 0 || (order == 0 && a < b);
  });
  std::sort(index.byNumber.begin(), index.byNumber.end(), [base](int32_t a, int32_t b) {
    return base[a].fileno < base[b].fileno || (base[a].fileno == base[b].fileno && a < b);
  });
  index.base = base;
  index.count = count;
  return &index;
}

}  // namespace

file_table_entry_t* find_entry_by_name(const char* name) {
  const TableIndex* index = current_index();
  if (index == nullptr) {
    for (const file_table_entry_t* e = table_begin(); e != table_end(); ++e) {
      if (compare_names(e->name, name) == 0) return g_table_buf + (e - g_table_buf);
    }
    return nullptr;
  }
  const file_table_entry_t* base = index->base;
  const auto it = std::lower_bound(index->byName.begin(), index->byName.end(), name,
                                   [base](int32_t e, const char* n) { return compare_names(base[e].name, n) < 0; });
  if (it == index->byName.end() || compare_names(base[*it].name, name) != 0) return nullptr;
  return g_table_buf + *it;
}

file_table_entry_t* find_entry_by_number(fileno_t number) {
  const TableIndex* index = current_index();
  if (index == nullptr) {
    for (const file_table_entry_t* e = table_begin(); e != table_end(); ++e) {
      if (e->fileno == number) return g_table_buf + (e - g_table_buf);
    }
    return nullptr;
  }
  const file_table_entry_t* base = index->base;
  const auto it = std::lower_bound(index->byNumber.begin(), index->byNumber.end(), number,
                                   [base](int32_t e, fileno_t n) { return base[e].fileno < n; });
  if (it == index->byNumber.end() || base[*it].fileno != number) return nullptr;
  return g_table_buf + *it;
}

const file_table_entry_t* table_begin() {
  return (g_table_buf == nullptr || g_table_num_files <= 0) ? nullptr : g_table_buf;
}

const file_table_entry_t* table_end() {
  const file_table_entry_t* b = table_begin();
  return b == nullptr ? nullptr : b + g_table_num_files;
}

void reset_file_table_for_tests() {
  forget_index();
  delete[] g_table_buf;
  g_table_buf = nullptr;
  g_table_num_files = 0;
  g_dfs_sku = 0xFFFFFFFFu;
  g_fail_table_copies = 0;
}

}  // namespace fcs
}  // namespace kelvra

using namespace kelvra;

namespace {

file_table_entry_t* find_by_name(const char* name) {
  return name == nullptr ? nullptr : fcs::find_entry_by_name(name);
}

file_table_entry_t* find_by_number(fileno_t number) { return fcs::find_entry_by_number(number); }

}  // namespace

int load_file_table(const void* blob_arg, uint32_t sku, uint32_t size) {
  const uint8_t* blob = static_cast<const uint8_t*>(blob_arg);
  // Header checks: every refusal here changes nothing and loads no EFST data.
  if (blob == nullptr || size < fcs::FTBL_MIN_SIZE) return FCS_NULL_ARGUMENT;
  if (le::get32(blob) != fcs::FTBL_MAGIC) return FCS_NULL_ARGUMENT;
  const uint32_t sku_count = le::get32(blob + fcs::FTBL_SKU_COUNT_OFF);
  if (sku_count > fcs::FTBL_MAX_SKUS) return FCS_NULL_ARGUMENT;

  // The first entry of the SKU wins; 1024 bytes always hold all ten entries.
  for (uint32_t i = 0; i < sku_count; ++i) {
    const uint8_t* s = blob + fcs::FTBL_SKUS_OFF + fcs::FTBL_SKU_SIZE * i;
    if (le::get32(s) != sku) continue;
    const uint32_t table_offset = le::get32(s + 4);
    const uint32_t file_count = le::get32(s + 8);
    const uint64_t table_bytes = static_cast<uint64_t>(file_count) * FTBL_ENTRY_SIZE;
    if (!range_fits(table_offset, table_bytes, size)) return FCS_NULL_ARGUMENT;

    // Copy the entries into the library's own storage before replacing the
    // old selection, so a failed copy leaves the old one in force. At least
    // one element, so an empty selection still has a valid address.
    file_table_entry_t* copy = nullptr;
    if (fcs::g_fail_table_copies > 0) {
      --fcs::g_fail_table_copies;
    } else {
      copy = new (std::nothrow) file_table_entry_t[file_count == 0 ? 1 : file_count];
    }
    if (copy == nullptr) return FCS_NULL_ARGUMENT;
    std::memset(copy, 0, sizeof(file_table_entry_t));
    for (uint32_t k = 0; k < file_count; ++k) {
      fcs::decode_entry(blob + table_offset + static_cast<uint64_t>(k) * FTBL_ENTRY_SIZE, &copy[k]);
    }
    delete[] g_table_buf;
    g_table_buf = copy;
    g_table_num_files = static_cast<int32_t>(file_count);
    g_dfs_sku = sku;
    // Index the new selection now (the old index described freed storage).
    fcs::forget_index();
    (void)fcs::current_index();
    break;
  }

  return load_autogen_data(blob, sku, size) == 0 ? FCS_OK : FCS_NULL_ARGUMENT;
}

file_table_entry_t* get_file_entry_by_file_name(const char* name) { return find_by_name(name); }

int get_fileno_by_file_name(const char* name, fileno_t* out) {
  const file_table_entry_t* e = find_by_name(name);
  if (e == nullptr || out == nullptr) return -1;
  *out = e->fileno;
  return 0;
}

file_table_entry_t* get_file_entry_by_fileno(const fileno_t* number) {
  return number == nullptr ? nullptr : find_by_number(*number);
}

int get_file_name_by_fileno(const fileno_t* number, char* out) {
  const file_table_entry_t* e = get_file_entry_by_fileno(number);
  if (e == nullptr || out == nullptr) return -1;
  std::memcpy(out, e->name, FTBL_NAME_SIZE);
  return 0;
}

int get_file_attributes_by_file_name(const char* name, file_attributes_t* attributes,
                                     unsigned int* max_size) {
  if (max_size == nullptr || attributes == nullptr) return -1;
  const file_table_entry_t* e = find_by_name(name);
  if (e == nullptr) return -1;
  *attributes = e->attributes;
  *max_size = e->max_size;
  return 0;
}
