// Shared helpers of the translation layer: flash access, verified writes,
// headers, check values, the cluster bitmap and data-block location.
#include <cstdlib>
#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsFtlInternal.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/le.h"
#include "common/status.h"

namespace kelvra {
namespace afs {
namespace ftl {

Header decode_header(const uint8_t* b) {
  Header h;
  h.magic = le::get32(b + 0);
  h.sequence = le::get32(b + 4);
  h.erase_count = le::get32(b + 8);
  h.spare = le::get16(b + 12);
  h.first_page = le::get16(b + 14);
  h.check = b[16];
  h.state = b[17];
  return h;
}

uint8_t header_check(const uint8_t* bytes, uint32_t magic_for_check) {
  uint8_t tmp[16];
  std::memcpy(tmp, bytes, 16);
  le::put32(tmp, magic_for_check);
  return crc8(tmp, 16);
}

void encode_header(const Header& h, uint8_t* b) {
  le::put32(b + 0, AFS_EU_MAGIC);
  le::put32(b + 4, h.sequence);
  le::put32(b + 8, h.erase_count);
  le::put16(b + 12, h.spare);
  le::put16(b + 14, h.first_page);
  b[16] = crc8(b, 16);
  b[17] = h.state;
  le::put32(b + 0, h.magic);
}

bool header_valid(const uint8_t* b) {
  uint32_t magic = le::get32(b);
  if (le::get32(b + 4) == 0 || le::get32(b + 8) == 0) return false;
  uint8_t check = b[16];
  switch (magic) {
    case AFS_EU_MAGIC:
      return crc8(b, 16) == check;
    case AFS_EU_MAGIC_ALT1:
      return crc8(b, 16) == check || header_check(b, AFS_EU_MAGIC) == check;
    case AFS_EU_MAGIC_ALT2:
      return header_check(b, AFS_EU_MAGIC) == check;
    default:
      return false;
  }
}

static uint32_t flash_address(const afs_context_t* ctx, uint32_t unit, uint32_t offset) {
  return ctx->partition_offset + unit * AFS_EU_SIZE + offset;
}

int read_unit(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t length, void* dst) {
  if (!range_fits(offset, length, AFS_EU_SIZE)) return ST_IO;
  return SpiDrvRead(flash_address(ctx, unit, offset), length, dst) == 0 ? ST_OK : ST_IO;
}

int verified_write(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t length, const void* src) {
  if (!range_fits(offset, length, AFS_EU_SIZE)) return ST_IO;
  uint32_t address = flash_address(ctx, unit, offset);
  if (SpiDrvWrite(address, length, src) != 0) return ST_IO;
  uint8_t back[4096];
  const uint8_t* s = static_cast<const uint8_t*>(src);
  for (uint32_t attempt = 0; attempt < AFS_FTL_ATTEMPTS; ++attempt) {
    bool same = true;
    // Compare in chunks of the read-back buffer (every caller stays within
    // one chunk; longer writes would still be checked in full).
    for (uint32_t done = 0; done < length && same;) {
      uint32_t n = length - done < sizeof back ? length - done : static_cast<uint32_t>(sizeof back);
      if (SpiDrvRead(address + done, n, back) != 0) return ST_IO;
      same = std::memcmp(back, s + done, n) == 0;
      done += n;
    }
    if (same) return ST_OK;
  }
  return ST_IO;
}

int erase_unit(const afs_context_t* ctx, uint32_t unit) {
  if (SpiDrvEraseBlock(flash_address(ctx, unit, 0)) != 0) return ST_IO;
  if (SpiDrvEraseBlock(flash_address(ctx, unit, AFS_EU_HALF)) != 0) return ST_IO;
  return ST_OK;
}

static uint16_t page_check(const uint8_t* data, uint32_t lpn) {
  uint8_t two[2];
  le::put16(two, static_cast<uint16_t>(lpn));
  return crc16(data, AFS_PAGE_SIZE, two);
}

void build_slot(const uint8_t* data, uint32_t lpn, uint8_t* slot) {
  std::memcpy(slot, data, AFS_PAGE_SIZE);
  le::put16(slot + AFS_PAGE_SIZE, page_check(data, lpn));
}

bool slot_ok(const uint8_t* slot, uint32_t lpn) {
  return page_check(slot, lpn) == le::get16(slot + AFS_PAGE_SIZE);
}

int read_checked_slot(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t lpn, uint8_t* data64) {
  uint8_t slot[AFS_SLOT_SIZE];
  for (uint32_t attempt = 0; attempt < AFS_FTL_ATTEMPTS; ++attempt) {
    if (read_unit(ctx, unit, offset, AFS_SLOT_SIZE, slot) != ST_OK) return ST_IO;
    if (slot_ok(slot, lpn)) {
      std::memcpy(data64, slot, AFS_PAGE_SIZE);
      return ST_OK;
    }
  }
  return ST_IO;
}

bool bitmap_test(const afs_context_t* ctx, uint32_t c) {
  if (ctx->cluster_bitmap == nullptr || c >= ctx->cluster_count) return false;
  return (ctx->cluster_bitmap[c / 32] >> (c % 32)) & 1u;
}

void bitmap_set(afs_context_t* ctx, uint32_t c) {
  if (ctx->cluster_bitmap == nullptr || c >= ctx->cluster_count) return;
  ctx->cluster_bitmap[c / 32] |= 1u << (c % 32);
}

void bitmap_clear(afs_context_t* ctx, uint32_t c) {
  if (ctx->cluster_bitmap == nullptr || c >= ctx->cluster_count) return;
  ctx->cluster_bitmap[c / 32] &= ~(1u << (c % 32));
}

uint32_t locate_block(const afs_context_t* ctx, uint32_t block) {
  const afs_ftl_state_t* st = ctx->ftl;
  uint64_t fp = static_cast<uint64_t>(meta_pages(ctx)) + static_cast<uint64_t>(AFS_DATA_SLOTS) * block;
  if (fp == 0 || fp > 0xFFFFu) return FTL_NO_UNIT;
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    if (u == st->spare_eu) continue;
    if (st->eu_records[u].first_page == fp) return u;
  }
  return FTL_NO_UNIT;
}

bool unit_base(const afs_context_t* ctx, uint32_t unit, uint32_t* base) {
  const afs_ftl_state_t* st = ctx->ftl;
  if (unit >= st->eu_count) return false;
  uint32_t fp = st->eu_records[unit].first_page;
  uint32_t meta = meta_pages(ctx);
  if (fp == 0 || fp < meta || (fp - meta) % AFS_DATA_SLOTS != 0) return false;
  *base = fp - meta;
  return true;
}

uint32_t usable_slots(const afs_context_t* ctx, uint32_t base) {
  if (base >= ctx->cluster_count) return 0;
  uint32_t n = ctx->cluster_count - base;
  return n < AFS_DATA_SLOTS ? n : AFS_DATA_SLOTS;
}

}  // namespace ftl
}  // namespace afs
}  // namespace kelvra

void ftl_free_state(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr) return;
  std::free(ctx->ftl->eu_records);
  std::free(ctx->ftl->page_map);
  std::free(ctx->ftl);
  ctx->ftl = nullptr;
}
