// Fuzz target: load_file_table over an arbitrary FTBL blob, then every
// lookup over the selected table. The selection must stay readable after the
// blob is freed, and every lookup must find the first matching entry.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "efs/efs_tools_utils.h"
#include "fcs/FileTable.h"

namespace {

uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The EFS file count of an EFST record sizes a table allocation; keep it
// small so the run measures the loaders, not the allocator's limits.
void clamp_efst(uint8_t* blob, size_t size) {
  if (size < 16) return;
  const uint64_t skus = get32(blob + 12);
  const uint64_t efst = (skus + 1) * 16;
  if (efst + 16 > size || std::memcmp(blob + efst, "EFST", 4) != 0) return;
  const uint64_t records = get32(blob + efst + 12);
  for (uint64_t i = 0; i < records; ++i) {
    const uint64_t at = efst + 16 + 40 * i + 28;
    if (at + 4 > size) break;
    if (get32(blob + at) > 4096) std::memset(blob + at, 0, 4);
  }
}

void check_lookups() {
  for (int32_t i = 0; i < g_table_num_files; ++i) {
    const file_table_entry_t& e = g_table_buf[i];
    const std::string name(e.name, strnlen(e.name, 48));
    const file_table_entry_t* by_name = get_file_entry_by_file_name(name.c_str());
    if (by_name == nullptr || by_name > &e) std::abort();
    if (std::strncmp(by_name->name, e.name, 48) != 0) std::abort();
    const fileno_t n = e.fileno;
    const file_table_entry_t* by_number = get_file_entry_by_fileno(&n);
    if (by_number == nullptr || by_number > &e || by_number->fileno != n) std::abort();
    char out[48];
    if (get_file_name_by_fileno(&n, out) != 0) std::abort();
    fileno_t got = 0;
    if (get_fileno_by_file_name(name.c_str(), &got) != 0 || got != by_name->fileno) std::abort();
    file_attributes_t attr = 0;
    unsigned int max = 0;
    if (get_file_attributes_by_file_name(name.c_str(), &attr, &max) != 0) std::abort();
    if (attr != by_name->attributes || max != by_name->max_size) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0xFFFFFFFFu) return 0;
  // The first byte picks the blob's length: as given, or padded with zeros
  // to the 1024 bytes that every accepted blob has.
  const bool pad = (data[0] & 1) != 0;
  ++data;
  --size;
  const size_t len = pad && size < 1024 ? 1024 : size;
  std::unique_ptr<uint8_t[]> blob(new uint8_t[len == 0 ? 1 : len]);
  std::memset(blob.get(), 0, len == 0 ? 1 : len);
  if (size != 0) std::memcpy(blob.get(), data, size);
  if (pad && len >= 4) std::memcpy(blob.get(), "FTBL", 4);
  clamp_efst(blob.get(), len);
  // Mostly the SKU of the first entry, so a selection happens.
  const uint32_t sku = len >= 20 ? get32(blob.get() + 16) : 0;
  const int rc = load_file_table(blob.get(), sku, static_cast<uint32_t>(len));
  if (rc != 0 && rc != 1) std::abort();
  // Overwrite and free the blob: the selection must not depend on it.
  std::memset(blob.get(), 0xA5, len == 0 ? 1 : len);
  blob.reset();
  check_lookups();
  return 0;
}
