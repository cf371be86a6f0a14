// Test support for the translation layer: an emulated partition with its
// context and cluster bitmap, page helpers and a byte-level image builder that
// follows the stored layout independently of the writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsTypes.h"
#include "common/le.h"

namespace ftltest {

using Page = std::vector<uint8_t>;

inline Page pattern(uint32_t seed) {
  Page p(64);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : p) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return p;
}

// A partition of `units` erase units. The volume geometry (data_start,
// volume_size, cluster_count) is set directly; file_count is 65 so cluster
// numbers start at 65.
struct Vol {
  std::vector<uint8_t> flash;
  afs_context_t ctx{};
  std::vector<uint32_t> bitmap;
  uint32_t units;

  Vol(uint32_t units_, uint32_t data_start, uint32_t data_units, uint16_t clusters = 0)
      : flash(static_cast<size_t>(units_) * AFS_EU_SIZE, 0xFF), units(units_) {
    ctx.partition_offset = 0;
    ctx.partition_size = units_ * AFS_EU_SIZE;
    ctx.data_start = data_start;
    ctx.volume_size = data_start + data_units * AFS_DATA_BLOCK_BYTES;
    ctx.cluster_count = clusters ? clusters : static_cast<uint16_t>(data_units * AFS_DATA_SLOTS);
    ctx.file_count = 65;
    ctx.line_size = 64;
    ctx.flash_base = flash.data();
    bitmap.assign((ctx.cluster_count + 1u + 31u) / 32u, 0);
  }
  ~Vol() { ftl_free_state(&ctx); }
  Vol(const Vol&) = delete;
  Vol& operator=(const Vol&) = delete;

  afs_ftl_state_t* st() { return ctx.ftl; }
  afs_eu_record_t& rec(uint32_t u) { return ctx.ftl->eu_records[u]; }

  int format(bool erase = true) {
    afs_physical_ftl_init(&ctx, ctx.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH);
    return afs_physical_ftl_format(&ctx, erase ? 1 : 0);
  }
  // Mounts with the given live clusters (data cluster indices).
  int mount(const std::vector<uint32_t>& live = {}) {
    int r = afs_physical_ftl_init(&ctx, ctx.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH);
    if (r != 0) return r;
    std::fill(bitmap.begin(), bitmap.end(), 0u);
    for (uint32_t c : live) bitmap[c / 32] |= 1u << (c % 32);
    ctx.cluster_bitmap = bitmap.data();
    return afs_physical_ftl_set_allocation_map(&ctx);
  }
  int write_meta(uint32_t lpn, const Page& p) { return afs_physical_ftl_write_page(&ctx, lpn * 64, 64, p.data(), 0); }
  int read_meta(uint32_t lpn, Page& out) {
    out.assign(64, 0xEE);
    return afs_physical_ftl_read_page(&ctx, lpn * 64, 64, out.data(), 0);
  }
  uint32_t data_addr(uint32_t c) const { return ctx.data_start + c * 64; }
  int write_data(uint32_t c, const Page& p) {
    return afs_physical_ftl_write_page(&ctx, data_addr(c), 64, p.data(), 0);
  }
  int read_data(uint32_t c, Page& out) {
    out.assign(64, 0xEE);
    return afs_physical_ftl_read_page(&ctx, data_addr(c), 64, out.data(), 0);
  }
  void trim_data(uint32_t c) { afs_physical_ftl_trim_page(&ctx, data_addr(c), 64, 0); }
  void trim_meta(uint32_t lpn) { afs_physical_ftl_trim_page(&ctx, lpn * 64, 64, 0); }
  // Allocates a cluster, retrying once after the flush-and-retry result as
  // the file layer does. Returns the data cluster index through `c`.
  int allocate(uint32_t& c) {
    uint16_t number = 0;
    int r = afs_physical_ftl_allocate_page(&ctx, &number);
    if (r == FTL_RETRY_AFTER_FLUSH) r = afs_physical_ftl_allocate_page(&ctx, &number);
    if (r == 0) c = number - ctx.file_count;
    return r;
  }
  uint8_t* unit_ptr(uint32_t u) { return flash.data() + static_cast<size_t>(u) * AFS_EU_SIZE; }
};

// ---- Independent image building from the stored layout ----------------------

inline uint16_t check16(const uint8_t* data, uint32_t lpn) {
  uint8_t two[2] = {static_cast<uint8_t>(lpn), static_cast<uint8_t>(lpn >> 8)};
  return crc16(data, 64, two);
}
inline uint16_t key14(uint16_t prev) {
  uint8_t two[2] = {static_cast<uint8_t>(prev), static_cast<uint8_t>(prev >> 8)};
  return crc14(two, 2);
}

// Writes an 18-byte unit header at `p`: the check is computed over bytes
// 0..15 with the live magic, then `magic` is stored.
inline void put_header(uint8_t* p, uint32_t magic, uint32_t seq, uint32_t ec, uint16_t spare, uint16_t first_page,
                       uint8_t state) {
  const uint8_t live[4] = {0x87, 0x78, 0x55, 0xAA};
  std::memcpy(p, live, 4);
  kelvra::le::put32(p + 4, seq);
  kelvra::le::put32(p + 8, ec);
  kelvra::le::put16(p + 12, spare);
  kelvra::le::put16(p + 14, first_page);
  p[16] = crc8(p, 16);
  p[17] = state;
  kelvra::le::put32(p, magic);
}

// Log-unit writer at byte level: entries chained from 0, each committed by the
// next one's high byte.
struct LogBuilder {
  uint8_t* unit;
  uint32_t k = 0;
  uint16_t prev = 0;
  explicit LogBuilder(uint8_t* u) : unit(u) {}
  void put(uint32_t lpn, const Page& data, bool commit = true) {
    const uint16_t e = static_cast<uint16_t>(lpn ^ key14(prev));
    kelvra::le::put16(unit + 18 + 2 * k, e);
    std::memcpy(unit + 260 + 66 * k, data.data(), 64);
    kelvra::le::put16(unit + 260 + 66 * k + 64, check16(data.data(), lpn));
    if (commit) unit[18 + 2 * (k + 1) + 1] = 0x7F;
    prev = static_cast<uint16_t>(lpn);
    ++k;
  }
};

inline void put_data_slot(uint8_t* unit, uint32_t slot, uint32_t lpn, const Page& data, uint8_t status = 0x00) {
  unit[18 + slot] = status;
  std::memcpy(unit + 140 + 66 * slot, data.data(), 64);
  kelvra::le::put16(unit + 140 + 66 * slot + 64, check16(data.data(), lpn));
}

}  // namespace ftltest
